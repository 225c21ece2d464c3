#include "platform/store/Synchronizer.h"

#include <algorithm>
#include <cstdio>

#include "platform/store/Faults.h"
#include "platform/store/Session.h"
#include "platform/store/StoreDatabase.h"
#include "platform/win/Errors.h"

namespace store {
namespace {

constexpr const char* kStatePrefix = "QMS1-";
constexpr std::size_t kGuidHex = 32;
constexpr std::size_t kNumberHex = 16;

struct SyncState {
    GUID storeGuid{};
    ObjectId folder = 0;
    ULONGLONG changeNumber = 0;
};

void AppendHex(std::string& out, const std::uint8_t* p, std::size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(kDigits[p[i] >> 4]);
        out.push_back(kDigits[p[i] & 15]);
    }
}

void AppendNumber(std::string& out, ULONGLONG v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
    }
    AppendHex(out, bytes, 8);
}

bool ParseHex(const std::string& text, std::size_t pos, std::size_t digits, std::uint8_t* out) {
    auto value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < digits; i += 2) {
        int hi = value(text[pos + i]);
        int lo = value(text[pos + i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i / 2] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return true;
}

std::string FormatState(const SyncState& s) {
    std::string out = kStatePrefix;
    auto g = win::GuidToBytes(s.storeGuid);
    AppendHex(out, g.data(), g.size());
    AppendNumber(out, static_cast<ULONGLONG>(s.folder));
    AppendNumber(out, s.changeNumber);
    return out;
}

bool ParseState(const std::string& text, SyncState* out) {
    const std::size_t prefix = std::char_traits<char>::length(kStatePrefix);
    if (text.size() != prefix + kGuidHex + 2 * kNumberHex ||
        text.compare(0, prefix, kStatePrefix) != 0) {
        return false;
    }
    std::uint8_t guid[16];
    std::uint8_t folder[8];
    std::uint8_t number[8];
    if (!ParseHex(text, prefix, kGuidHex, guid) ||
        !ParseHex(text, prefix + kGuidHex, kNumberHex, folder) ||
        !ParseHex(text, prefix + kGuidHex + kNumberHex, kNumberHex, number)) {
        return false;
    }
    out->storeGuid = win::GuidFromBytes(guid);
    ULONGLONG f = 0, n = 0;
    for (int i = 0; i < 8; ++i) {
        f = (f << 8) | folder[i];
        n = (n << 8) | number[i];
    }
    out->folder = static_cast<ObjectId>(f);
    out->changeNumber = n;
    return true;
}

}  // namespace

HRESULT Synchronizer::GetDifferingItems(const std::string& stateText, DifferingItems* out) {
    // A copy first: stateText may be out->newState itself.
    const std::string state = stateText;
    out->items.clear();
    out->newState.clear();
    if (m_folder.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    Session& session = *m_folder.GetSession();
    Session::Impl& impl = session.GetImpl();
    if (impl.info.tracking != ChangeTracking::Incremental) {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT hr = CurrentFault(FaultSite::Synchronize, impl.info.storeGuid);
    if (FAILED(hr)) {
        return hr;
    }
    SyncState base{impl.info.storeGuid, m_folder.Id(), 0};
    if (!state.empty()) {
        SyncState given;
        if (!ParseState(state, &given) || given.storeGuid != impl.info.storeGuid ||
            given.folder != m_folder.Id()) {
            return E_INVALIDARG;
        }
        base = given;
    }
    ReadTransaction rt(impl);
    hr = rt.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    bool exists = false;
    hr = impl.FolderExists(m_folder.Id(), &exists);
    if (FAILED(hr)) {
        return hr;
    }
    if (!exists) {
        return MAPI_E_NOT_FOUND;
    }
    ULONGLONG current = 0;
    hr = impl.ReadCounter(&current);
    if (FAILED(hr)) {
        return hr;
    }
    if (base.changeNumber > current) {
        return E_INVALIDARG;  // a state from the future: another store's copy, or damaged
    }
    struct Ordered {
        ULONGLONG changeNumber;
        ObjectId id;
        DifferingItem item;
    };
    std::vector<Ordered> found;
    std::string sql = std::string("SELECT ") + internal::kMessageHeaderColumns +
                      " FROM messages WHERE folder = ? AND assoc = 0 AND cn > ?";
    auto st = impl.Prepare(sql.c_str());
    st.Bind(1, m_folder.Id()).Bind(2, static_cast<std::int64_t>(base.changeNumber));
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        internal::MessageRow row = internal::ReadMessageRow(st);
        DifferingItem item;
        item.sourceKey = impl.SourceKeyOf(row.created);
        item.kind = ChangeKind::NewOrChanged;
        item.isNew = row.movedIn > base.changeNumber;
        item.changeKey = impl.ChangeKeyOf(row.changeNumber);
        item.entryId = impl.EntryIdOf(ObjectType::Message, row.id);
        item.lastModificationTime = row.modificationTime;
        found.push_back({row.changeNumber, row.id, std::move(item)});
    }
    if (rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    // Deletions of items the state knew: those in the folder at or before it.
    auto tomb = impl.Prepare(
        "SELECT created, cn FROM tombstones WHERE folder = ? AND cn > ? AND known <= ?");
    tomb.Bind(1, m_folder.Id())
        .Bind(2, static_cast<std::int64_t>(base.changeNumber))
        .Bind(3, static_cast<std::int64_t>(base.changeNumber));
    while ((rc = tomb.Step()) == SQLITE_ROW) {
        DifferingItem item;
        item.sourceKey = impl.SourceKeyOf(static_cast<ULONGLONG>(tomb.Int(0)));
        item.kind = ChangeKind::Deleted;
        found.push_back({static_cast<ULONGLONG>(tomb.Int(1)), 0, std::move(item)});
    }
    if (rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    std::stable_sort(found.begin(), found.end(), [](const Ordered& a, const Ordered& b) {
        return a.changeNumber != b.changeNumber ? a.changeNumber < b.changeNumber : a.id < b.id;
    });
    for (auto& f : found) {
        out->items.push_back(std::move(f.item));
    }
    out->newState = FormatState({impl.info.storeGuid, m_folder.Id(), current});
    return S_OK;
}

}  // namespace store
