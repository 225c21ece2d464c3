// Current positions of the files a cabinet reader has open, by handle.
//
// The decrypting read needs each handle's position to align its reads on
// cipher blocks; the library's own calls only ever pass handles. Small and
// linear: a reader has at most a handful of files open.
//
// Threading: belongs to one reader, used on its thread. Allocation failures
// throw "Fatal error: Out of memory!".
#pragma once

#include <cstddef>
#include <cstdint>

namespace Cabinet {

class CFilePosMap {
public:
    CFilePosMap();
    ~CFilePosMap();
    CFilePosMap(const CFilePosMap&) = delete;
    CFilePosMap& operator=(const CFilePosMap&) = delete;

    // Updates the handle's entry or appends one; handles 0 and -1 are ignored.
    void SetPos(std::int64_t handle, std::uint32_t position);
    // False when the handle has no entry.
    bool GetPos(std::int64_t handle, std::uint32_t* position) const;
    // Removes the handle's entry (the last entry moves into its place).
    void Close(std::int64_t handle);
    void Clear() { m_count = 0; }
    std::size_t Count() const { return m_count; }
    std::size_t Capacity() const { return m_capacity; }

private:
    std::size_t Find(std::int64_t handle) const;

    std::int64_t* m_handles = nullptr;
    std::uint32_t* m_positions = nullptr;
    std::size_t m_count = 0;
    std::size_t m_capacity = 0;
};

}  // namespace Cabinet
