// The records of the two send queues: CMail2Send (one sync mail to build)
// and CDelMail2Send (one deletion notice to build).
//
// A record is made by the thread that queues a change, handed to its queue
// (which owns it) and taken by that queue's sender thread, which destroys it
// after use. A record is used by one thread at a time and has no lock.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/win/Types.h"

// One queued sync mail.
class CMail2Send {
public:
    // Buffer size (characters with the terminator) of password and share name.
    static constexpr std::size_t kTextSize = 260;

    // syncId: the item's binary search key (VT_ARRAY | VT_UI1); its value is
    // taken over and *syncId is left VT_EMPTY. A VT_BSTR sync id is kept as it
    // is but reported to the error log ("CMail2Send::Parameter falsch").
    // folderEntryId, storeEntryId: hex entry id texts, copied by byte length
    // (null keeps none). password, shareName: zero-terminated texts read from
    // buffers of passwordSize / shareNameSize characters (null reads as ""),
    // kept cut to kTextSize - 1 characters. formFlag: 1 for a hidden
    // folder-design item. Throws _com_error(E_OUTOFMEMORY) when a copy fails.
    CMail2Send(VARIANT* syncId, BSTR folderEntryId, BSTR storeEntryId, const wchar_t* password,
               const wchar_t* shareName, std::size_t passwordSize, std::size_t shareNameSize,
               BYTE formFlag);
    ~CMail2Send();
    CMail2Send(const CMail2Send&) = delete;
    CMail2Send& operator=(const CMail2Send&) = delete;

    // A copy of the sync id into *out (which the caller clears). E_POINTER
    // for a null out; the VariantCopy failure otherwise.
    HRESULT GetSyncID(VARIANT* out) const;
    // Byte-length copies the caller frees. E_POINTER for a null out;
    // E_OUTOFMEMORY when the record holds no such id or the copy fails.
    HRESULT GetFolderEntryID(BSTR* out) const;
    HRESULT GetStoreEntryID(BSTR* out) const;
    // Copy into the caller's buffer of size characters (cut, always
    // terminated; nothing for a null buffer or size 0).
    void GetPassword(wchar_t* buffer, std::size_t size) const;
    void GetShareName(wchar_t* buffer, std::size_t size) const;
    BYTE GetFormFlag() const { return m_formFlag; }
    // The sync id's text form, when the thread that made the record gave it
    // (the queue files are written from threads whose helper objects can't
    // convert it): empty otherwise.
    void SetSyncIdText(std::wstring text) { m_syncIdText = std::move(text); }
    const std::wstring& SyncIdText() const { return m_syncIdText; }

private:
    VARIANT m_syncId;
    BSTR m_folderEntryId = nullptr;
    BSTR m_storeEntryId = nullptr;
    wchar_t m_password[kTextSize] = {};
    wchar_t m_shareName[kTextSize] = {};
    BYTE m_formFlag = 0;
    std::wstring m_syncIdText;
};

// One queued deletion notice.
class CDelMail2Send {
public:
    // Takes over syncIdText (a BSTR the record frees; null keeps none) and
    // shareName.
    CDelMail2Send(BSTR syncIdText, std::wstring shareName);
    ~CDelMail2Send();
    CDelMail2Send(const CDelMail2Send&) = delete;
    CDelMail2Send& operator=(const CDelMail2Send&) = delete;

    std::wstring GetShareName() const { return m_shareName; }
    // A byte-length copy the caller frees. E_POINTER for a null out;
    // E_OUTOFMEMORY when the record holds none or the copy fails.
    HRESULT GetSyncID(BSTR* out) const;

private:
    BSTR m_syncIdText;
    std::wstring m_shareName;
};
