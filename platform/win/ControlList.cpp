#include "platform/win/ControlList.h"

#include "platform/win/ControlSupport.h"
#include "platform/win/Controls.h"
#include "platform/win/Text.h"

namespace win::controls {
namespace {

int Compare(std::wstring_view a, std::wstring_view b) {
    if (a.empty() || b.empty())
        return a.size() == b.size() ? CSTR_EQUAL : (a.empty() ? CSTR_LESS_THAN : CSTR_GREATER_THAN);
    return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(),
                          static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()));
}

}  // namespace

int ItemList::Add(std::wstring text) {
    if (Count() >= kMaxListItems)
        return -2;
    int index = Count();
    if (m_sorted) {
        index = 0;
        while (index < Count() && Compare(At(index).text, text) != CSTR_GREATER_THAN)
            ++index;
    }
    return Insert(index, std::move(text));
}

int ItemList::Insert(int index, std::wstring text) {
    if (Count() >= kMaxListItems)
        return -2;
    if (index == -1)
        index = Count();
    if (index < 0 || index > Count())
        return -1;
    m_items.insert(m_items.begin() + index, ListItem{std::move(text), 0, false});
    if (current >= index)
        ++current;
    return index;
}

bool ItemList::Delete(int index) {
    if (!Valid(index))
        return false;
    m_items.erase(m_items.begin() + index);
    if (current == index)
        current = -1;
    else if (current > index)
        --current;
    return true;
}

void ItemList::Clear() {
    m_items.clear();
    current = -1;
}

int ItemList::Find(int start, std::wstring_view text, bool exact) const {
    int n = Count();
    if (n == 0)
        return -1;
    if (start < 0 || start >= n)
        start = n - 1;  // so that the search begins with item 0
    for (int k = 1; k <= n; ++k) {
        int i = (start + k) % n;
        std::wstring_view item = At(i).text;
        if (exact) {
            if (Compare(item, text) == CSTR_EQUAL)
                return i;
        } else if (item.size() >= text.size() &&
                   Compare(item.substr(0, text.size()), text) == CSTR_EQUAL) {
            return i;
        }
    }
    return -1;
}

bool AnswerItemMessage(ItemList& items, const ItemMessages& messages, UINT msg, WPARAM wParam,
                       LPARAM lParam, LRESULT& result) {
    static_assert(LB_ERR == CB_ERR && LB_ERRSPACE == CB_ERRSPACE);
    auto index = static_cast<int>(static_cast<LONG_PTR>(wParam));
    if (msg == messages.add) {
        int at = items.Add(TextArg(lParam));
        result = at == -2 ? LB_ERRSPACE : at;
    } else if (msg == messages.insert) {
        int at = items.Insert(index, TextArg(lParam));
        result = at == -2 ? LB_ERRSPACE : (at < 0 ? LB_ERR : at);
    } else if (msg == messages.remove) {
        result = items.Delete(index) ? items.Count() : LB_ERR;
    } else if (msg == messages.count) {
        result = items.Count();
    } else if (msg == messages.find || msg == messages.findExact) {
        int at = items.Find(index, TextArg(lParam), msg == messages.findExact);
        result = at < 0 ? LB_ERR : at;
    } else if (msg == messages.getText) {
        result = items.Valid(index) ? CopyWhole(items.At(index).text, lParam) : LB_ERR;
    } else if (msg == messages.getTextLength) {
        result = items.Valid(index) ? static_cast<LRESULT>(items.At(index).text.size()) : LB_ERR;
    } else if (msg == messages.getData) {
        result = items.Valid(index) ? items.At(index).data : LB_ERR;
    } else if (msg == messages.setData) {
        result = LB_ERR;
        if (items.Valid(index)) {
            items.At(index).data = lParam;
            result = TRUE;
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace win::controls
