#include "Quillmere/exchange/Mail2Send.h"

#include <cwchar>

#include "Quillmere/core/DebugLog.h"
#include "platform/com/ComError.h"

namespace {

// A byte-length copy of an id the record keeps; null for null.
BSTR CopyId(BSTR id) {
    if (!id)
        return nullptr;
    BSTR copy = SysAllocStringByteLen(reinterpret_cast<const char*>(id), SysStringByteLen(id));
    if (!copy)
        _com_issue_error(E_OUTOFMEMORY);
    return copy;
}

HRESULT GiveId(BSTR id, BSTR* out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!id)
        return E_OUTOFMEMORY;
    *out = SysAllocStringByteLen(reinterpret_cast<const char*>(id), SysStringByteLen(id));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Copies at most size - 1 characters of a zero-terminated text read from a
// buffer of sourceSize characters, and terminates.
void CopyText(wchar_t* dest, std::size_t size, const wchar_t* source, std::size_t sourceSize) {
    if (!dest || size == 0)
        return;
    std::size_t n = 0;
    if (source)
        while (n + 1 < size && n < sourceSize && source[n] != L'\0') {
            dest[n] = source[n];
            ++n;
        }
    dest[n] = L'\0';
}

}  // namespace

CMail2Send::CMail2Send(VARIANT* syncId, BSTR folderEntryId, BSTR storeEntryId,
                       const wchar_t* password, const wchar_t* shareName, std::size_t passwordSize,
                       std::size_t shareNameSize, BYTE formFlag)
    : m_formFlag(formFlag) {
    VariantInit(&m_syncId);
    if (syncId) {
        if (syncId->vt == VT_BSTR)
            LogHResult(0, "CMail2Send::Parameter falsch");
        // Take the value over: a plain move of the VARIANT, the caller's is
        // left empty so that it frees nothing.
        m_syncId = *syncId;
        VariantInit(syncId);
    }
    try {
        m_folderEntryId = CopyId(folderEntryId);
        m_storeEntryId = CopyId(storeEntryId);
    } catch (...) {
        SysFreeString(m_folderEntryId);
        VariantClear(&m_syncId);
        throw;
    }
    CopyText(m_password, kTextSize, password, passwordSize);
    CopyText(m_shareName, kTextSize, shareName, shareNameSize);
}

CMail2Send::~CMail2Send() {
    SysFreeString(m_folderEntryId);
    SysFreeString(m_storeEntryId);
    VariantClear(&m_syncId);
}

HRESULT CMail2Send::GetSyncID(VARIANT* out) const {
    if (!out)
        return E_POINTER;
    VariantInit(out);
    return VariantCopy(out, &m_syncId);
}

HRESULT CMail2Send::GetFolderEntryID(BSTR* out) const {
    return GiveId(m_folderEntryId, out);
}

HRESULT CMail2Send::GetStoreEntryID(BSTR* out) const {
    return GiveId(m_storeEntryId, out);
}

void CMail2Send::GetPassword(wchar_t* buffer, std::size_t size) const {
    CopyText(buffer, size, m_password, kTextSize);
}

void CMail2Send::GetShareName(wchar_t* buffer, std::size_t size) const {
    CopyText(buffer, size, m_shareName, kTextSize);
}

CDelMail2Send::CDelMail2Send(BSTR syncIdText, std::wstring shareName)
    : m_syncIdText(syncIdText), m_shareName(std::move(shareName)) {}

CDelMail2Send::~CDelMail2Send() {
    SysFreeString(m_syncIdText);
}

HRESULT CDelMail2Send::GetSyncID(BSTR* out) const {
    return GiveId(m_syncIdText, out);
}
