#include "platform/win/Menu.h"

#include <cstdint>
#include <unordered_map>

#include "platform/win/Errors.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"
#include "platform/win/Resources.h"
#include "platform/win/Threads.h"

namespace win {
namespace {

const WCHAR* const kRtMenu = MAKEINTRESOURCEW(4);

struct MenuObject {
    std::vector<UINT> flags;
    std::vector<UINT> ids;
    std::vector<std::wstring> texts;
    std::vector<HMENU> subMenus;  // null unless MF_POPUP
};

struct MenuTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, MenuObject> menus GUARDED_BY(mutex);
    std::uintptr_t next GUARDED_BY(mutex) = 0x40010;  // never reused
    std::function<UINT(const PopupMenuCall&)> handler GUARDED_BY(mutex);

    MenuObject* Find(HMENU menu) REQUIRES(mutex) {
        auto it = menus.find(reinterpret_cast<std::uintptr_t>(menu));
        return it == menus.end() ? nullptr : &it->second;
    }
    HMENU Create() REQUIRES(mutex) {
        auto menu = reinterpret_cast<HMENU>(next);
        next += 4;
        menus.emplace(reinterpret_cast<std::uintptr_t>(menu), MenuObject{});
        return menu;
    }
};
MenuTable& Table() {
    static MenuTable* table = new MenuTable;
    return *table;
}

MenuObject* FindOrFail(MenuTable& t, HMENU menu) REQUIRES(t.mutex) {
    MenuObject* m = t.Find(menu);
    if (!m)
        SetLastError(ERROR_INVALID_MENU_HANDLE);
    return m;
}

void Destroy(MenuTable& t, HMENU menu) REQUIRES(t.mutex) {
    MenuObject* m = t.Find(menu);
    if (!m)
        return;
    std::vector<HMENU> subs = m->subMenus;
    t.menus.erase(reinterpret_cast<std::uintptr_t>(menu));
    for (HMENU sub : subs)
        if (sub)
            Destroy(t, sub);
}

std::vector<MenuItem> Items(MenuTable& t, HMENU menu, int depth) REQUIRES(t.mutex) {
    std::vector<MenuItem> out;
    MenuObject* m = t.Find(menu);
    if (!m || depth > 32)
        return out;
    for (std::size_t i = 0; i < m->flags.size(); ++i) {
        MenuItem item;
        item.flags = m->flags[i];
        item.id = m->ids[i];
        item.text = m->texts[i];
        if (m->subMenus[i])
            item.subItems = Items(t, m->subMenus[i], depth + 1);
        out.push_back(std::move(item));
    }
    return out;
}

void Append(MenuObject& m, UINT flags, UINT id, std::wstring text, HMENU sub) {
    m.flags.push_back(flags);
    m.ids.push_back(id);
    m.texts.push_back(std::move(text));
    m.subMenus.push_back(sub);
}

// Menu template reader (the classic MENU form, not MENUEX): every read is
// bounded by the resource's size.
constexpr int kMaxMenuDepth = 16;

class TemplateReader {
public:
    TemplateReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool ReadWord(WORD* value) {
        if (m_pos > m_size || m_size - m_pos < 2)
            return false;
        *value = static_cast<WORD>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        m_pos += 2;
        return true;
    }
    bool ReadText(std::wstring* text) {
        text->clear();
        for (;;) {
            WORD unit = 0;
            if (!ReadWord(&unit))
                return false;
            if (unit == 0)
                return true;
            text->push_back(static_cast<wchar_t>(unit));
        }
    }
    bool Skip(std::size_t n) {
        if (m_pos > m_size || m_size - m_pos < n)
            return false;
        m_pos += n;
        return true;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// Reads one level of items into menu; false on damaged data.
bool ReadLevel(MenuTable& t, TemplateReader& reader, HMENU menu, int depth) REQUIRES(t.mutex) {
    if (depth > kMaxMenuDepth)
        return false;
    for (;;) {
        WORD flags = 0;
        if (!reader.ReadWord(&flags))
            return false;
        WORD id = 0;
        if (!(flags & MF_POPUP) && !reader.ReadWord(&id))
            return false;
        std::wstring text;
        if (!reader.ReadText(&text))
            return false;
        HMENU sub = nullptr;
        if (flags & MF_POPUP) {
            sub = t.Create();
            if (!ReadLevel(t, reader, sub, depth + 1)) {
                Destroy(t, sub);
                return false;
            }
        }
        // An item with neither text nor id is a separator in a template.
        UINT kept = flags & ~MF_END;
        if (!(flags & MF_POPUP) && id == 0 && text.empty())
            kept |= MF_SEPARATOR;
        Append(*t.Find(menu), kept, id, std::move(text), sub);
        if (flags & MF_END)
            return true;
    }
}

}  // namespace

void SetPopupMenuHandler(std::function<UINT(const PopupMenuCall&)> handler) {
    MenuTable& t = Table();
    MutexLock lock(t.mutex);
    t.handler = std::move(handler);
}

HMENU LoadMenuFromTemplate(const std::uint8_t* data, std::size_t size) {
    TemplateReader reader(data, data ? size : 0);
    WORD version = 0;
    WORD headerSize = 0;  // extra header bytes before the first item
    MenuTable& t = Table();
    MutexLock lock(t.mutex);
    if (!reader.ReadWord(&version) || !reader.ReadWord(&headerSize) || version != 0 ||
        !reader.Skip(headerSize)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    HMENU menu = t.Create();
    if (!ReadLevel(t, reader, menu, 0)) {
        Destroy(t, menu);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return menu;
}

std::vector<MenuItem> MenuItems(HMENU menu) {
    MenuTable& t = Table();
    MutexLock lock(t.mutex);
    return Items(t, menu, 0);
}

}  // namespace win

HMENU CreateMenu() {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    return t.Create();
}

HMENU CreatePopupMenu() {
    return CreateMenu();
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idOrSubMenu, const WCHAR* text) {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    win::MenuObject* m = win::FindOrFail(t, menu);
    if (!m)
        return FALSE;
    HMENU sub = nullptr;
    UINT id = 0;
    if (flags & MF_POPUP) {
        sub = reinterpret_cast<HMENU>(idOrSubMenu);
        if (!t.Find(sub) || sub == menu) {
            SetLastError(ERROR_INVALID_MENU_HANDLE);
            return FALSE;
        }
    } else {
        id = static_cast<UINT>(idOrSubMenu);
    }
    bool hasText = !(flags & MF_SEPARATOR) && text;
    win::Append(*m, flags, id, hasText ? std::wstring(text) : std::wstring(), sub);
    return TRUE;
}

BOOL DestroyMenu(HMENU menu) {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    if (!win::FindOrFail(t, menu))
        return FALSE;
    win::Destroy(t, menu);
    return TRUE;
}

HMENU GetSubMenu(HMENU menu, int position) {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    win::MenuObject* m = win::FindOrFail(t, menu);
    if (!m || position < 0 || static_cast<std::size_t>(position) >= m->subMenus.size())
        return nullptr;
    return m->subMenus[static_cast<std::size_t>(position)];
}

int GetMenuItemCount(HMENU menu) {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    win::MenuObject* m = win::FindOrFail(t, menu);
    return m ? static_cast<int>(m->flags.size()) : -1;
}

UINT GetMenuItemID(HMENU menu, int position) {
    win::MenuTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    win::MenuObject* m = win::FindOrFail(t, menu);
    if (!m || position < 0 || static_cast<std::size_t>(position) >= m->flags.size())
        return static_cast<UINT>(-1);
    auto i = static_cast<std::size_t>(position);
    return m->subMenus[i] ? static_cast<UINT>(-1) : m->ids[i];
}

HMENU LoadMenuW(HINSTANCE instance, const WCHAR* name) {
    HRSRC found = FindResourceW(instance, name, win::kRtMenu);
    win::MenuTable& t = win::Table();
    if (!found) {
        DWORD error = GetLastError();
        if (error != ERROR_RESOURCE_TYPE_NOT_FOUND && error != ERROR_RESOURCE_DATA_NOT_FOUND)
            return nullptr;
        win::MutexLock lock(t.mutex);
        HMENU menu = t.Create();
        HMENU popup = t.Create();
        win::Append(*t.Find(menu), MF_POPUP, 0, L"", popup);
        return menu;
    }
    auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(instance, found)));
    return win::LoadMenuFromTemplate(data, SizeofResource(instance, found));
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect) {
    if (!IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    win::PopupMenuCall call;
    std::function<UINT(const win::PopupMenuCall&)> handler;
    {
        win::MenuTable& t = win::Table();
        win::MutexLock lock(t.mutex);
        if (!win::FindOrFail(t, menu))
            return FALSE;
        call.items = win::Items(t, menu, 0);
        handler = t.handler;
    }
    call.menu = menu;
    call.flags = flags;
    call.point = POINT{x, y};
    call.owner = owner;
    call.threadId = GetCurrentThreadId();
    UINT chosen = handler ? handler(call) : 0;
    if (flags & TPM_RETURNCMD)
        return static_cast<BOOL>(chosen);
    if (chosen == 0)
        return FALSE;
    if (!(flags & TPM_NONOTIFY))
        PostMessageW(owner, WM_COMMAND, chosen, 0);
    return TRUE;
}
