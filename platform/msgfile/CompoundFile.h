// Compound files (structured storage): a tree of storages and streams kept
// whole in memory, written as version 3 (512-byte sectors, 64-byte mini
// sectors for streams under 4096 bytes, DIFAT sectors once the FAT outgrows
// the header's 109 slots) and read in versions 3 and 4.
//
// The reader treats its input as hostile: every sector index is range
// checked, every chain is followed at most once through each sector (cycles
// and chains shared between streams are corruption), sizes are checked
// against what the file holds before anything is allocated, and the nesting
// of storages is bounded. It tolerates a partial last sector (a file whose
// length is not a whole number of sectors, such as one stray byte at the end).
//
// Free functions; no shared state, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Guid.h"
#include "platform/win/Types.h"

namespace msgfile {

using Bytes = std::vector<std::uint8_t>;

struct CfbNode {
    enum class Kind { Storage, Stream };

    Kind kind = Kind::Storage;
    // At most 31 UTF-16 units; sibling names differ case-insensitively.
    std::wstring name;
    // Class id of a storage (the root's names the kind of document).
    GUID clsid{};
    // Content of a stream.
    Bytes data;
    // Members of a storage, in the order they were added or read (the file
    // keeps them in its own order, which is not preserved).
    std::vector<CfbNode> children;

    static CfbNode MakeStorage(std::wstring name, const GUID& clsid = GUID{}) {
        CfbNode n;
        n.kind = Kind::Storage;
        n.name = std::move(name);
        n.clsid = clsid;
        return n;
    }
    static CfbNode MakeStream(std::wstring name, Bytes data) {
        CfbNode n;
        n.kind = Kind::Stream;
        n.name = std::move(name);
        n.data = std::move(data);
        return n;
    }
    bool IsStorage() const { return kind == Kind::Storage; }
    bool IsStream() const { return kind == Kind::Stream; }

    // The child of this name (compared case-insensitively as the format
    // does), or null. The pointer lives until children changes.
    const CfbNode* Find(std::wstring_view childName) const;
    CfbNode& AddStorage(std::wstring childName, const GUID& childClsid = GUID{});
    CfbNode& AddStream(std::wstring childName, Bytes content);
};

// Compares two entry names in the order of the directory's sibling trees:
// shorter names first, then by upper-cased UTF-16 units. <0, 0, >0.
int CompareEntryNames(std::wstring_view a, std::wstring_view b);
// The upper-cased form CompareEntryNames compares: two sibling names collide
// exactly when their folded forms are equal.
std::wstring FoldEntryName(std::wstring_view name);

// Writes root (a storage, whose name is ignored and written as "Root Entry")
// to *out. S_OK; E_INVALIDARG for a name longer than 31 units, siblings
// whose names collide, a stream where the root should be, or a tree too
// large for the format (*out is left empty on failure).
HRESULT WriteCompoundFile(const CfbNode& root, Bytes* out);

// Reads a compound file into *root. S_OK; MAPI_E_CORRUPT_DATA for anything
// that is not a well-formed compound file (bad signature or header, sector
// index out of range, cycle or shared sector in a chain, stream longer than
// its chain, directory tree cycle, nesting deeper than kMaxStorageDepth);
// E_INVALIDARG for null arguments. *root is cleared first.
HRESULT ReadCompoundFile(const std::uint8_t* data, std::size_t size, CfbNode* root);

constexpr int kMaxStorageDepth = 64;

}  // namespace msgfile
