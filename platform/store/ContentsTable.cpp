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

// A single key whose order an index of the messages table gives: the
// modification time (messages_mtime), or the creation time, whose order is
// the row order (messages_folder): a message gets its creation time at its
// first save, inside the write transaction that gives it its row id, and
// keeps it.
enum class IndexedOrder { None, ModificationTime, CreationTime };

IndexedOrder IndexedOrderOf(const std::vector<SortOrder>& order) {
    if (order.size() != 1) {
        return IndexedOrder::None;
    }
    if (PROP_ID(order[0].tag) == PROP_ID(PR_LAST_MODIFICATION_TIME)) {
        return IndexedOrder::ModificationTime;
    }
    if (PROP_ID(order[0].tag) == PROP_ID(PR_CREATION_TIME)) {
        return IndexedOrder::CreationTime;
    }
    return IndexedOrder::None;
}

// The columns a row read selects, at the places ReadMessageRow reads the
// header from: a header column that no asked property needs is a constant
// (the id and the modification time are always read, as a continuation
// needs them); then the search key, and the property blob only when a column
// lives there.
constexpr int kSearchKeyColumn = 7;
constexpr int kPropsColumn = 8;

bool NeedsPropsBlob(const std::vector<ULONG>& tags) {
    return std::any_of(tags.begin(), tags.end(), [](ULONG t) {
        return internal::IsStoredMessageProp(t) && PROP_ID(t) != PROP_ID(PR_SEARCH_KEY);
    });
}

std::string RowSelect(const std::vector<ULONG>& tags, bool withProps) {
    auto asks = [&tags](std::initializer_list<ULONG> wanted) {
        return std::any_of(tags.begin(), tags.end(), [&wanted](ULONG t) {
            return std::any_of(wanted.begin(), wanted.end(),
                               [t](ULONG w) { return PROP_ID(t) == PROP_ID(w); });
        });
    };
    std::string sql = "SELECT id, ";
    sql += asks({PR_PARENT_ENTRYID}) ? "folder" : "0";
    sql += ", 0, ";
    sql += asks({PR_SOURCE_KEY}) ? "created" : "0";
    sql += ", ";
    sql += asks({PR_CHANGE_KEY}) ? "cn" : "0";
    sql += ", mtime, 0, ";
    sql += asks({PR_SEARCH_KEY}) ? "search_key" : "NULL";
    sql += withProps ? ", props FROM messages" : " FROM messages";
    return sql;
}

// One cell: v as the column's type asks, or the not-found error.
RowValue CellOf(ULONG tag, const PropValue* v) {
    if (v != nullptr && PROP_TYPE(tag) != PT_UNSPECIFIED && v->Type() != PROP_TYPE(tag)) {
        // 8-bit and wide text convert into each other, as MAPI tables do.
        if (PROP_TYPE(tag) == PT_STRING8 && v->Wide() != nullptr) {
            return {tag, PropValue::String8(win::ToAnsi(*v->Wide()))};
        }
        if (PROP_TYPE(tag) == PT_UNICODE && v->Str8() != nullptr) {
            return {tag, PropValue::Unicode(win::FromAnsi(*v->Str8()))};
        }
        v = nullptr;
    }
    if (v == nullptr) {
        return {PROP_TAG(PT_ERROR, PROP_ID(tag)), PropValue::Error(MAPI_E_NOT_FOUND)};
    }
    return {PROP_TAG(v->Type(), PROP_ID(tag)), *v};
}

// As CellOf, taking the value over when its type fits.
RowValue CellOf(ULONG tag, PropValue&& v) {
    if (PROP_TYPE(tag) == PT_UNSPECIFIED || v.Type() == PROP_TYPE(tag)) {
        const ULONG type = v.Type();
        return {PROP_TAG(type, PROP_ID(tag)), std::move(v)};
    }
    return CellOf(tag, &v);
}

// The stored properties among tags of the message with that id, read apart:
// for a row whose search-key column is empty, whose blob was not selected.
HRESULT ReadStoredProps(Session::Impl& impl, ObjectId id, const std::vector<ULONG>& tags,
                        PropertyBag* out) {
    auto st = impl.Prepare("SELECT props FROM messages WHERE id = ?");
    st.Bind(1, id);
    int rc = st.Step();
    if (rc != SQLITE_ROW) {
        return rc == SQLITE_DONE ? MAPI_E_NOT_FOUND : db::MapError(rc);
    }
    return codec::DecodeSelected(st.BlobData(0), st.BlobSize(0), tags, out) ? S_OK
                                                                            : MAPI_E_CORRUPT_STORE;
}

// The cells of the current row of st (selected by RowSelect(columns, withProps)) for
// columns. Only the asked columns are made; the blob is decoded only for the
// stored ones.
HRESULT ReadRow(Session::Impl& impl, const db::Statement& st, const std::vector<ULONG>& columns,
                bool withProps, TableRow* out) {
    const internal::MessageRow row = internal::ReadMessageRow(st);
    PropertyBag stored;
    bool haveStored = withProps;
    if (withProps && !codec::DecodeSelected(st.BlobData(kPropsColumn), st.BlobSize(kPropsColumn),
                                            columns, &stored)) {
        return MAPI_E_CORRUPT_STORE;
    }
    out->clear();
    out->reserve(columns.size());
    for (ULONG tag : columns) {
        if (PROP_ID(tag) == PROP_ID(PR_SEARCH_KEY) && !st.IsNull(kSearchKeyColumn)) {
            // The column is the copy of PR_SEARCH_KEY that every save writes.
            out->push_back(CellOf(tag, PropValue::Binary(st.Blob(kSearchKeyColumn))));
        } else if (internal::IsStoredMessageProp(tag)) {
            if (!haveStored) {
                HRESULT hr = ReadStoredProps(impl, row.id, columns, &stored);
                if (FAILED(hr)) {
                    return hr;
                }
                haveStored = true;
            }
            out->push_back(CellOf(tag, stored.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)))));
        } else if (auto value = internal::ComputedMessageProp(impl, row, tag)) {
            out->push_back(CellOf(tag, std::move(*value)));
        } else {
            out->push_back(CellOf(tag, nullptr));
        }
    }
    return S_OK;
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
    return IndexedOrderOf(m_order) != IndexedOrder::None ? ReadRowsInIndexOrder(maxRows, rows)
                                                         : ReadRowsBySortedIds(maxRows, rows);
}

HRESULT ContentsTable::ReadRowsInIndexOrder(LONG maxRows, std::vector<TableRow>* rows) {
    Session::Impl& impl = m_folder.GetSession()->GetImpl();
    const bool byTime = IndexedOrderOf(m_order) == IndexedOrder::ModificationTime;
    const bool descending = m_order[0].descending;
    const bool resume = m_continuation && m_continuation->position == m_position;
    const bool withProps = NeedsPropsBlob(m_columns);
    std::string sql = RowSelect(m_columns, withProps) + " WHERE folder = ? AND assoc = ?";
    if (resume) {
        if (byTime) {
            sql += descending ? " AND (mtime, id) < (?, ?)" : " AND (mtime, id) > (?, ?)";
        } else {
            sql += descending ? " AND id < ?" : " AND id > ?";
        }
    }
    if (byTime) {
        sql += descending ? " ORDER BY mtime DESC, id DESC" : " ORDER BY mtime ASC, id ASC";
    } else {
        sql += descending ? " ORDER BY id DESC" : " ORDER BY id ASC";
    }
    sql += resume ? " LIMIT ?" : " LIMIT ? OFFSET ?";
    auto st = impl.Prepare(sql);
    st.Bind(1, m_folder.Id()).Bind(2, m_associated ? 1 : 0);
    int next = 3;
    if (resume) {
        if (byTime) {
            st.Bind(next++, m_continuation->modificationTime);
        }
        st.Bind(next++, m_continuation->id);
        st.Bind(next, maxRows);
    } else {
        st.Bind(next, maxRows).Bind(next + 1, static_cast<std::int64_t>(m_position));
    }
    rows->reserve(std::min<std::size_t>(static_cast<std::size_t>(maxRows), 1024));
    int rc;
    Continuation last;
    while ((rc = st.Step()) == SQLITE_ROW) {
        TableRow row;
        HRESULT hr = ReadRow(impl, st, m_columns, withProps, &row);
        if (FAILED(hr)) {
            return hr;
        }
        last.id = st.Int(0);
        last.modificationTime = st.Int(5);
        rows->push_back(std::move(row));
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
            TableRow keys;
        };
        std::vector<Entry> entries;
        const bool withProps = NeedsPropsBlob(sortTags);
        auto st = impl.Prepare(RowSelect(sortTags, withProps) + " WHERE folder = ? AND assoc = ?");
        st.Bind(1, m_folder.Id()).Bind(2, m_associated ? 1 : 0);
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            Entry e{st.Int(0), {}};
            hr = ReadRow(impl, st, sortTags, withProps, &e.keys);
            if (FAILED(hr)) {
                return hr;
            }
            entries.push_back(std::move(e));
        }
        if (rc != SQLITE_DONE) {
            return db::MapError(rc);
        }
        const std::vector<SortOrder> order = m_order;
        // The key cells are in the order's order; an error cell is no value.
        auto find = [](const TableRow& keys, std::size_t i) {
            const PropValue& v = keys[i].value;
            return v.Type() == PT_ERROR ? nullptr : &v;
        };
        std::stable_sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
            for (std::size_t i = 0; i < order.size(); ++i) {
                int c = CompareValues(find(a.keys, i), find(b.keys, i));
                if (c != 0) {
                    return order[i].descending ? c > 0 : c < 0;
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
    const bool withProps = NeedsPropsBlob(m_columns);
    auto st = impl.Prepare(RowSelect(m_columns, withProps) + " WHERE id = ?");
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
        TableRow row;
        hr = ReadRow(impl, st, m_columns, withProps, &row);
        if (FAILED(hr)) {
            return hr;
        }
        rows->push_back(std::move(row));
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
