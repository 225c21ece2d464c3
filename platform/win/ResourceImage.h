// The resources of one module file, read from its resource section
// (doc/resource_format.md): the directory of (type, name, language) -> bytes
// that the resource and version calls search.
//
// Images are read from the module's file, not from its mapped memory, so the
// same code serves loaded modules and files named by path. An image is never
// freed once read (the cache keeps every image it handed out alive), because
// HRSRC and HGLOBAL values point into it for the rest of the process, as they
// point into a loaded module on the platform. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Module.h"

namespace win {

// A resource type or name as the directory stores it.
struct ResourceName {
    bool isString = false;
    std::uint16_t ordinal = 0;
    std::u16string text;  // upper-cased

    friend bool operator==(const ResourceName&, const ResourceName&) = default;
};

struct ResourceEntry {
    ResourceName type;
    ResourceName name;
    std::uint16_t language = 0;
    const std::uint8_t* data = nullptr;  // into the owning image
    std::uint32_t size = 0;
};

class ResourceImage {
public:
    // Parses a resource section's bytes. A section that is damaged anywhere
    // (bad magic or version, a field or range past its blob or the section)
    // yields an image without resources: it counts as missing, and nothing
    // is ever read outside the bytes given.
    static std::shared_ptr<const ResourceImage> FromSection(std::vector<std::uint8_t> bytes);

    bool Empty() const { return m_entries.empty(); }
    const std::vector<ResourceEntry>& Entries() const { return m_entries; }

    // The entry of that type and name for a language, searched in this order:
    // the language itself; the same primary language with SUBLANG_NEUTRAL;
    // the same primary language with any sublanguage (the lowest); neutral
    // (0x0000); LANG_NEUTRAL with SUBLANG_DEFAULT (0x0400) and
    // SUBLANG_SYS_DEFAULT (0x0800); any language (the lowest). Null with
    // *error set to ERROR_RESOURCE_TYPE_NOT_FOUND or
    // ERROR_RESOURCE_NAME_NOT_FOUND when there is none.
    const ResourceEntry* Find(const ResourceName& type, const ResourceName& name,
                              std::uint16_t language, std::uint32_t* error) const;

    // A persistent wide copy of UTF-16LE text inside this image (for the
    // pointer form of LoadStringW); valid as long as the image.
    const std::wstring& WideCopy(const std::uint8_t* units, std::uint32_t count) const;

private:
    ResourceImage() = default;
    bool Parse();

    std::vector<std::uint8_t> m_bytes;
    std::vector<ResourceEntry> m_entries;
    struct WideCache;
    std::shared_ptr<WideCache> m_wide;
};

// The bytes of the named section of an ELF64 little-endian file, read field
// by field with every offset checked against the file's size. False when the
// file cannot be read, is no such ELF file, has no such section, or the
// section's range lies outside the file; *error gets the Win32 code
// (ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_BAD_FORMAT,
// ERROR_RESOURCE_DATA_NOT_FOUND).
bool ReadElfSection(const std::string& hostPath, std::string_view sectionName,
                    std::vector<std::uint8_t>& bytes, std::uint32_t* error);

// The resource image of a module file, cached by path and re-read when the
// file changes (size, modification time or inode). Null with *error set when
// the file cannot be read (see ReadElfSection); a file without a resource
// section gives an empty image.
std::shared_ptr<const ResourceImage> ResourceImageOfFile(const std::string& hostPath,
                                                         std::uint32_t* error);

// The resource image of a loaded module's file (null module = the executable);
// null with ERROR_MOD_NOT_FOUND when the value names no module.
std::shared_ptr<const ResourceImage> ResourceImageOfModule(HMODULE module, std::uint32_t* error);

// The resource image of a file named by a Windows path (mapped through the
// drive map) or by an absolute host path (starting with '/').
std::shared_ptr<const ResourceImage> ResourceImageOfPath(const WCHAR* path, std::uint32_t* error);

// A type or name argument of the resource calls (ordinal, "#123" or text).
ResourceName ResourceNameOf(const WCHAR* typeOrName);

}  // namespace win
