// The item list shared by list boxes and combo boxes (not for product code):
// items with their data and selection, the platform's case-insensitive sort
// order and searches, and the current selection kept on its item across
// inserts and deletes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Types.h"

namespace win::controls {

struct ListItem {
    std::wstring text;
    LPARAM data = 0;
    bool selected = false;  // multi-selection lists
};

class ItemList {
public:
    explicit ItemList(bool sorted) : m_sorted(sorted) {}

    int Count() const { return static_cast<int>(m_items.size()); }
    bool Valid(int index) const { return index >= 0 && index < Count(); }
    ListItem& At(int index) { return m_items[static_cast<std::size_t>(index)]; }
    const ListItem& At(int index) const { return m_items[static_cast<std::size_t>(index)]; }

    // Sorted lists: after the items that compare less or equal, ignoring
    // case; unsorted: at the end. The index, or -2 when the list is full.
    int Add(std::wstring text);
    // At index (-1: the end), never sorted. The index, -1 for an index past
    // the end, -2 when the list is full.
    int Insert(int index, std::wstring text);
    bool Delete(int index);
    void Clear();

    // The first item after start (-1 or out of range: from the first),
    // wrapping round to start itself, whose text begins with text (prefix)
    // or equals it (exact), ignoring case; -1 when none.
    int Find(int start, std::wstring_view text, bool exact) const;

    // The current item (selection of a single-selection list, caret of a
    // multi-selection one); -1 for none.
    int current = -1;

private:
    bool m_sorted;
    std::vector<ListItem> m_items;
};

// The numbers one list kind (list box or combo box) gives the item messages
// that both kinds answer alike.
struct ItemMessages {
    UINT add;            // text in lParam; the new index
    UINT insert;         // at index wParam (-1: the end)
    UINT remove;         // index wParam; the count left
    UINT count;          // the number of items
    UINT find;           // prefix search after index wParam
    UINT findExact;      // whole-text search after index wParam
    UINT getText;        // index wParam into the caller's buffer in lParam
    UINT getTextLength;  // index wParam
    UINT getData;        // index wParam
    UINT setData;        // index wParam, data in lParam
};

// Answers msg when it is one of messages' item messages on items: true with
// result set, as the platform answers (-1 for a bad index or no match, -2
// for a full list; LB_ERR = CB_ERR and LB_ERRSPACE = CB_ERRSPACE); false for
// any other message, with nothing changed. The control's thread.
bool AnswerItemMessage(ItemList& items, const ItemMessages& messages, UINT msg, WPARAM wParam,
                       LPARAM lParam, LRESULT& result);

}  // namespace win::controls
