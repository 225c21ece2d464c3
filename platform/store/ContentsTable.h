// A contents table: the normal or hidden messages of one folder as rows of
// chosen columns, in a chosen order, read in batches from a cursor.
//
// The table reads the folder at each QueryRows, so rows added or removed
// meanwhile can shift the positions that follow. A table sorted only by
// PR_LAST_MODIFICATION_TIME (either direction; the default order is that,
// descending) or only by PR_CREATION_TIME reads just the rows it returns,
// through an index of the folder's rows (creation order is row order): its
// cost does not grow with the folder. Other orders read the sort keys of the
// whole folder and sort them once per SortTable (and again after any later
// commit to the store), and keep that order for the reads that follow. A
// row read decodes the stored properties only when a column asks for one.
//
// Threading: as its Session, which must outlive the table.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "platform/store/Folder.h"
#include "platform/store/StoreTypes.h"

namespace store {

class ContentsTable {
public:
    ContentsTable(Folder folder, bool associated);
    ~ContentsTable();
    ContentsTable(const ContentsTable&) = delete;
    ContentsTable& operator=(const ContentsTable&) = delete;

    // Columns of the rows that follow (default: PR_ENTRYID,
    // PR_LAST_MODIFICATION_TIME). A PT_UNSPECIFIED tag takes the property's
    // stored type. E_INVALIDARG for an empty set.
    HRESULT SetColumns(const std::vector<ULONG>& tags);
    // Order of the rows; earlier keys first, ties by creation order (newest
    // first when the first key is descending). Rows without the property sort
    // as the lowest values. Moves the cursor to the beginning. E_INVALIDARG
    // for an empty order or a multi-valued column.
    HRESULT SortTable(const std::vector<SortOrder>& order);
    // All rows of the table (no restriction).
    HRESULT GetRowCount(ULONG* count);
    // Up to maxRows rows from the cursor on, advancing it; an empty result at
    // the end. E_INVALIDARG for maxRows <= 0.
    HRESULT QueryRows(LONG maxRows, std::vector<TableRow>* rows);
    // Moves the cursor by rows (negative: backwards) from origin, clamped to
    // 0..row count; *sought (may be null) gets the rows actually moved.
    HRESULT SeekRow(SeekOrigin origin, LONG rows, LONG* sought);
    // The cursor's row number (0-based).
    ULONG QueryPosition() const { return m_position; }

private:
    struct Cache;
    HRESULT ReadRowsInIndexOrder(LONG maxRows, std::vector<TableRow>* rows);
    HRESULT ReadRowsBySortedIds(LONG maxRows, std::vector<TableRow>* rows);

    // Where the last read in index order ended, so that the next one at the
    // same position continues from that key through the index instead of
    // counting rows from the start again.
    struct Continuation {
        ULONG position = 0;
        std::int64_t modificationTime = 0;
        ObjectId id = 0;
    };

    Folder m_folder;
    bool m_associated = false;
    std::optional<Continuation> m_continuation;
    std::vector<ULONG> m_columns;
    std::vector<SortOrder> m_order;
    ULONG m_position = 0;
    std::unique_ptr<Cache> m_cache;
};

}  // namespace store
