#include "platform/win/Resources.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/win/Errors.h"
#include "platform/win/Paths.h"
#include "platform/win/ResourceImage.h"
#include "platform/win/Text.h"
#include "platform/win/rc/ResourceFormat.h"

namespace win {

ResourceName ResourceNameOf(const WCHAR* typeOrName) {
    if (IS_INTRESOURCE(typeOrName)) {
        return ResourceName{
            false, static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(typeOrName)), {}};
    }
    std::wstring_view text(typeOrName);
    if (text.size() > 1 && text[0] == L'#') {
        std::uint32_t v = 0;
        bool digits = true;
        for (wchar_t c : text.substr(1)) {
            if (c < L'0' || c > L'9' || v > 0xFFFF) {
                digits = false;
                break;
            }
            v = v * 10 + static_cast<std::uint32_t>(c - L'0');
        }
        if (digits && v <= 0xFFFF)
            return ResourceName{false, static_cast<std::uint16_t>(v), {}};
    }
    // Names are stored upper-cased in ASCII, as the compiler writes them.
    std::u16string units = ToUtf16(text);
    for (auto& c : units) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return ResourceName{true, 0, units};
}

std::shared_ptr<const ResourceImage> ResourceImageOfModule(HMODULE module, std::uint32_t* error) {
    std::optional<std::string> path = HostPathOfModule(module);
    if (!path) {
        *error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return ResourceImageOfFile(*path, error);
}

std::shared_ptr<const ResourceImage> ResourceImageOfPath(const WCHAR* path, std::uint32_t* error) {
    if (!path || !*path) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    std::optional<std::string> host;
    if (path[0] == L'/') {
        host = ToUtf8(path);
    } else {
        host = HostPath(path);
    }
    if (!host) {
        *error = ERROR_PATH_NOT_FOUND;
        return nullptr;
    }
    // A module's Windows name ("P:\Quillmere.dll", "P:\outlook-host.exe", as
    // GetModuleFileNameW gives it) stands for its host file ("libQuillmere.so",
    // "outlook-host") when no file of the Windows name exists.
    struct stat st {};
    if (path[0] != L'/' && ::stat(host->c_str(), &st) != 0) {
        const std::size_t slash = host->rfind('/');
        const std::string dir = slash == std::string::npos ? "." : host->substr(0, slash);
        const std::string moduleFile =
            dir + "/" + HostModuleFileName(FromUtf8(host->substr(slash + 1)));
        if (::stat(moduleFile.c_str(), &st) == 0)
            return ResourceImageOfFile(moduleFile, error);
    }
    return ResourceImageOfFile(*host, error);
}

}  // namespace win

namespace {

const win::ResourceEntry* EntryOf(HRSRC resource) {
    return reinterpret_cast<const win::ResourceEntry*>(resource);
}

}  // namespace

HRSRC FindResourceExW(HMODULE module, const WCHAR* type, const WCHAR* name, WORD language) {
    if (!type || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::uint32_t error = 0;
    auto image = win::ResourceImageOfModule(module, &error);
    if (!image) {
        SetLastError(error);
        return nullptr;
    }
    if (image->Empty()) {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    const win::ResourceEntry* entry =
        image->Find(win::ResourceNameOf(type), win::ResourceNameOf(name), language, &error);
    if (!entry) {
        SetLastError(error);
        return nullptr;
    }
    // The entry lives in an image the cache never frees, so the handle stays valid.
    return reinterpret_cast<HRSRC>(const_cast<win::ResourceEntry*>(entry));
}

HRSRC FindResourceW(HMODULE module, const WCHAR* name, const WCHAR* type) {
    return FindResourceExW(module, type, name, LANGIDFROMLCID(GetThreadLocale()));
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<std::uint8_t*>(EntryOf(resource)->data);
}

void* LockResource(HGLOBAL data) {
    return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
    if (!resource) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return EntryOf(resource)->size;
}

BOOL FreeResource(HGLOBAL data) {
    return FALSE;
}

int LoadStringW(HINSTANCE instance, UINT id, WCHAR* buffer, int bufferMax) {
    if (!buffer || bufferMax < 0 || id > 0xFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::uint32_t error = 0;
    auto image = win::ResourceImageOfModule(instance, &error);
    if (!image) {
        SetLastError(error);
        return 0;
    }
    const auto block = static_cast<std::uint16_t>(id / win::rsrc::kStringsPerBlock + 1);
    const win::ResourceEntry* entry =
        image->Find(win::ResourceName{false, win::rsrc::kTypeString, {}},
                    win::ResourceName{false, block, {}}, LANGIDFROMLCID(GetThreadLocale()), &error);
    if (!entry) {
        SetLastError(image->Empty() ? ERROR_RESOURCE_DATA_NOT_FOUND : error);
        return 0;
    }
    // Walk the counted entries up to the id's position, never past the block.
    const std::uint8_t* p = entry->data;
    std::uint32_t left = entry->size;
    std::uint32_t count = 0;
    for (UINT i = 0; i <= id % win::rsrc::kStringsPerBlock; ++i) {
        if (left < 2) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        count = win::rsrc::ReadU16(p);
        p += 2;
        left -= 2;
        if (count * 2u > left) {
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
            return 0;
        }
        if (i < id % win::rsrc::kStringsPerBlock) {
            p += count * 2u;
            left -= count * 2u;
        }
    }
    if (count == 0) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    const std::wstring& text = image->WideCopy(p, count);
    const int length = static_cast<int>(text.size());
    if (bufferMax == 0) {
        *reinterpret_cast<const WCHAR**>(buffer) = text.c_str();
        return length;
    }
    const int copied = std::min(length, bufferMax - 1);
    std::copy(text.begin(), text.begin() + copied, buffer);
    buffer[copied] = L'\0';
    return copied;
}
