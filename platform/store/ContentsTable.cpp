#include "platform/store/ContentsTable.h"

#include <algorithm>

#include "platform/store/PropCodec.h"
#include "platform/store/Session.h"
#include "platform/store/StoreDatabase.h"
#include "platform/win/Errors.h"
#include "platform/win/Text.h"

namespace store {

using namespace mapi;

struct ContentsTable::Cache {
    // The store's change counter when the order was computed: any later
    // commit to the store makes it stale.
    ULONGLONG stamp = 0;
    std::vector<ObjectId> ids;
};

namespace {

bool IsModificationTimeOrder(const std::vector<SortOrder>& order) {
    return order.size() == 1 && PROP_ID(order[0].tag) == PROP_ID(PR_LAST_MODIFICATION_TIME);
}

bool NeedsStoredProps(const std::vector<ULONG>& tags) {
    return std::any_of(tags.begin(), tags.end(), [](ULONG t) {
        return !internal::IsComputedMessageProp(t) || PROP_ID(t) == PROP_ID(PR_CREATION_TIME) ||
               PROP_ID(t) == PROP_ID(PR_MESSAGE_SIZE) || PROP_ID(t) == PROP_ID(PR_HASATTACH);
    });
}

// The row's bag: the stored columns asked for plus the computed ones.
HRESULT RowBag(const Session::Impl& impl, const db::Statement& st, const std::vector<ULONG>& tags,
               PropertyBag* bag) {
    internal::MessageRow row = internal::ReadMessageRow(st);
    if (NeedsStoredProps(tags) &&
        !codec::DecodeSelected(st.BlobData(internal::kMessagePropsColumn),
                               st.BlobSize(internal::kMessagePropsColumn), tags, bag)) {
        return MAPI_E_CORRUPT_STORE;
    }
    internal::AddComputedMessageProps(impl, row, bag);
    return S_OK;
}

TableRow MakeRow(const PropertyBag& bag, const std::vector<ULONG>& columns) {
    TableRow row;
    row.reserve(columns.size());
    for (ULONG tag : columns) {
        const PropValue* v = bag.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
        if (v != nullptr && PROP_TYPE(tag) != PT_UNSPECIFIED && v->Type() != PROP_TYPE(tag)) {
            // 8-bit and wide text convert into each other, as MAPI tables do.
            if (PROP_TYPE(tag) == PT_STRING8 && v->Wide() != nullptr) {
                row.push_back({tag, PropValue::String8(win::ToAnsi(*v->Wide()))});
                continue;
            }
            if (PROP_TYPE(tag) == PT_UNICODE && v->Str8() != nullptr) {
                row.push_back({tag, PropValue::Unicode(win::FromAnsi(*v->Str8()))});
                continue;
            }
            v = nullptr;
        }
        if (v == nullptr) {
            row.push_back({PROP_TAG(PT_ERROR, PROP_ID(tag)), PropValue::Error(MAPI_E_NOT_FOUND)});
        } else {
            row.push_back({PROP_TAG(v->Type(), PROP_ID(tag)), *v});
        }
    }
    return row;
}

// -1, 0, 1; an absent value sorts lowest.
int CompareValues(const PropValue* a, const PropValue* b) {
    if (a == nullptr || b == nullptr) {
        return (a == nullptr ? 0 : 1) - (b == nullptr ? 0 : 1);
    }
    auto sign = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    if (a->Raw().index() != b->Raw().index()) {
        return sign(a->Raw().index(), b->Raw().index());
    }
    if (a->Integer())
        return sign(*a->Integer(), *b->Integer());
    if (a->Bool())
        return sign(*a->Bool(), *b->Bool());
    if (a->Real())
        return sign(*a->Real(), *b->Real());
    if (a->Wide())
        return sign(win::ToLower(*a->Wide()), win::ToLower(*b->Wide()));
    if (a->Str8()) {
        return sign(win::ToLower(win::FromAnsi(*a->Str8())),
                    win::ToLower(win::FromAnsi(*b->Str8())));
    }
    if (a->Bin())
        return sign(*a->Bin(), *b->Bin());
    if (a->Guid())
        return sign(*a->Guid(), *b->Guid());
    return 0;
}

}  // namespace

ContentsTable::ContentsTable(Folder folder, bool associated)
    : m_folder(folder),
      m_associated(associated),
      m_columns{PR_ENTRYID, PR_LAST_MODIFICATION_TIME},
      m_order{{PR_LAST_MODIFICATION_TIME, true}} {}

ContentsTable::~ContentsTable() = default;

HRESULT ContentsTable::SetColumns(const std::vector<ULONG>& tags) {
    if (tags.empty()) {
        return E_INVALIDARG;
    }
    m_columns = tags;
    return S_OK;
}

HRESULT ContentsTable::SortTable(const std::vector<SortOrder>& order) {
    if (order.empty()) {
        return E_INVALIDARG;
    }
    for (const SortOrder& o : order) {
        if (IsMultiValued(PROP_TYPE(o.tag))) {
            return E_INVALIDARG;
        }
    }
    m_order = order;
    m_cache.reset();
    m_continuation.reset();
    m_position = 0;
    return S_OK;
}

HRESULT ContentsTable::GetRowCount(ULONG* count) {
    if (m_folder.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    return m_folder.GetContentCount(m_associated, count);
}

HRESULT ContentsTable::QueryRows(LONG maxRows, std::vector<TableRow>* rows) {
    rows->clear();
    if (maxRows <= 0) {
        return E_INVALIDARG;
    }
    if (m_folder.IsNull()) {
        return MAPI_E_INVALID_OBJECT;
    }
    return IsModificationTimeOrder(m_order) ? ReadRowsByModificationTime(maxRows, rows)
                                            : ReadRowsBySortedIds(maxRows, rows);
}

HRESULT ContentsTable::ReadRowsByModificationTime(LONG maxRows, std::vector<TableRow>* rows) {
    Session::Impl& impl = m_folder.GetSession()->GetImpl();
    const bool descending = m_order[0].descending;
    const bool resume = m_continuation && m_continuation->position == m_position;
    std::string sql = std::string("SELECT ") + internal::kMessageHeaderColumns +
                      " FROM messages WHERE folder = ? AND assoc = ?";
    if (resume) {
        sql += descending ? " AND (mtime, id) < (?, ?)" : " AND (mtime, id) > (?, ?)";
    }
    sql += descending ? " ORDER BY mtime DESC, id DESC" : " ORDER BY mtime ASC, id ASC";
    sql += resume ? " LIMIT ?" : " LIMIT ? OFFSET ?";
    auto st = impl.Prepare(sql.c_str());
    st.Bind(1, m_folder.Id()).Bind(2, m_associated ? 1 : 0);
    if (resume) {
        st.Bind(3, m_continuation->modificationTime).Bind(4, m_continuation->id).Bind(5, maxRows);
    } else {
        st.Bind(3, maxRows).Bind(4, static_cast<std::int64_t>(m_position));
    }
    int rc;
    Continuation last;
    while ((rc = st.Step()) == SQLITE_ROW) {
        PropertyBag bag;
        HRESULT hr = RowBag(impl, st, m_columns, &bag);
        if (FAILED(hr)) {
            return hr;
        }
        last.id = st.Int(0);
        last.modificationTime = st.Int(5);
        rows->push_back(MakeRow(bag, m_columns));
    }
    if (rc != SQLITE_DONE) {
        return db::MapError(rc);
    }
    m_position += static_cast<ULONG>(rows->size());
    if (!rows->empty()) {
        last.position = m_position;
        m_continuation = last;
    }
    return S_OK;
}

HRESULT ContentsTable::ReadRowsBySortedIds(LONG maxRows, std::vector<TableRow>* rows) {
    Session::Impl& impl = m_folder.GetSession()->GetImpl();
    ReadTransaction rt(impl);
    HRESULT hr = rt.Begin();
    if (FAILED(hr)) {
        return hr;
    }
    ULONGLONG stamp = 0;
    hr = impl.ReadCounter(&stamp);
    if (FAILED(hr)) {
        return hr;
    }
    if (!m_cache || m_cache->stamp != stamp) {
        std::vector<ULONG> sortTags;
        for (const SortOrder& o : m_order) {
            sortTags.push_back(o.tag);
        }
        struct Entry {
            ObjectId id;
            PropertyBag keys;
        };
        std::vector<Entry> entries;
        std::string sql = std::string("SELECT ") + internal::kMessageHeaderColumns +
                          " FROM messages WHERE folder = ? AND assoc = ?";
        auto st = impl.Prepare(sql.c_str());
        st.Bind(1, m_folder.Id()).Bind(2, m_associated ? 1 : 0);
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            Entry e{st.Int(0), {}};
            hr = RowBag(impl, st, sortTags, &e.keys);
            if (FAILED(hr)) {
                return hr;
            }
            entries.push_back(std::move(e));
        }
        if (rc != SQLITE_DONE) {
            return db::MapError(rc);
        }
        const std::vector<SortOrder> order = m_order;
        auto find = [](const PropertyBag& bag, ULONG tag) {
            const PropValue* v = bag.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
            if (v != nullptr && PROP_TYPE(tag) != PT_UNSPECIFIED && v->Type() != PROP_TYPE(tag) &&
                !((v->Type() == PT_STRING8 || v->Type() == PT_UNICODE) &&
                  (PROP_TYPE(tag) == PT_STRING8 || PROP_TYPE(tag) == PT_UNICODE))) {
                return static_cast<const PropValue*>(nullptr);
            }
            return v;
        };
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
            for (const SortOrder& o : order) {
                int c = CompareValues(find(a.keys, o.tag), find(b.keys, o.tag));
                if (c != 0) {
                    return o.descending ? c > 0 : c < 0;
                }
            }
            return order[0].descending ? a.id > b.id : a.id < b.id;
        });
        m_cache = std::make_unique<Cache>();
        m_cache->stamp = stamp;
        for (const Entry& e : entries) {
            m_cache->ids.push_back(e.id);
        }
    }
    std::string sql =
        std::string("SELECT ") + internal::kMessageHeaderColumns + " FROM messages WHERE id = ?";
    auto st = impl.Prepare(sql.c_str());
    while (m_position < m_cache->ids.size() && rows->size() < static_cast<std::size_t>(maxRows)) {
        st.Reset();
        st.Bind(1, m_cache->ids[m_position]);
        ++m_position;
        int rc = st.Step();
        if (rc == SQLITE_DONE) {
            continue;  // cannot happen within one snapshot; be safe anyway
        }
        if (rc != SQLITE_ROW) {
            return db::MapError(rc);
        }
        PropertyBag bag;
        hr = RowBag(impl, st, m_columns, &bag);
        if (FAILED(hr)) {
            return hr;
        }
        rows->push_back(MakeRow(bag, m_columns));
    }
    return S_OK;
}

HRESULT ContentsTable::SeekRow(SeekOrigin origin, LONG rows, LONG* sought) {
    ULONG count = 0;
    HRESULT hr = GetRowCount(&count);
    if (FAILED(hr)) {
        return hr;
    }
    std::int64_t start = 0;
    switch (origin) {
        case SeekOrigin::Beginning:
            start = 0;
            break;
        case SeekOrigin::Current:
            start = std::min<std::int64_t>(m_position, count);
            break;
        case SeekOrigin::End:
            start = count;
            break;
        default:
            return E_INVALIDARG;
    }
    std::int64_t target = std::clamp<std::int64_t>(start + rows, 0, count);
    if (sought != nullptr) {
        *sought = static_cast<LONG>(target - start);
    }
    m_position = static_cast<ULONG>(target);
    return S_OK;
}

}  // namespace store
