// Blowfish (16 rounds, standard tables) as the encrypted cabinet file uses it.
//
// Byte order: an 8-byte block is two 32-bit words read little-endian, bytes 0-3
// the left half and bytes 4-7 the right half, and written back the same way.
// This is the reverse of the big-endian convention of the published test
// vectors; it is what the file format has always used, so it must not change.
//
// Besides the key-dependent tables the object carries the writer's pending
// partial block and its fill index (-1 while no file is being encrypted); the
// cabinet writer drives those, the cipher itself never looks at them.
//
// Threading: one object per writer or reader, used by that object's thread.
// Encrypt/Decrypt only read the tables, so a keyed object may be shared for
// reading once SetKey has returned.
#pragma once

#include <cstddef>
#include <cstdint>

#include "Quillmere/cabinet/BlowfishTables.h"
#include "platform/win/Types.h"

namespace Cabinet {

class CBlowfish {
public:
    static constexpr int kBlockSize = 8;

    // Unkeyed: no key set, fill index -1, tables as published.
    CBlowfish();

    // Key schedule. Clears the key-set flag and sets the fill index to -1
    // first; an empty key (length 0 or null) stops there and returns FALSE.
    // Key bytes are cycled most significant first into the 18 P-words, so
    // bytes beyond the 72nd have no effect. Returns TRUE when a key was set.
    BOOL SetKey(const BYTE* key, DWORD length);
    bool IsKeySet() const { return m_keySet != 0; }

    // Encrypt or decrypt one block in place (file byte order, see above).
    void EncryptBlock(BYTE* block) const;
    void DecryptBlock(BYTE* block) const;
    // The same for `count` consecutive blocks.
    void EncryptBlocks(BYTE* blocks, std::size_t count) const;
    void DecryptBlocks(BYTE* blocks, std::size_t count) const;

    // Writer state: the pending partial block and how many bytes it holds.
    BYTE* PendingBlock() { return m_pending; }
    int FillIndex() const { return m_fillIndex; }
    void SetFillIndex(int index) { m_fillIndex = index; }

private:
    void EncryptWords(std::uint32_t& left, std::uint32_t& right) const;
    void DecryptWords(std::uint32_t& left, std::uint32_t& right) const;
    std::uint32_t Round(std::uint32_t x) const {
        return ((m_s[0][x >> 24] + m_s[1][(x >> 16) & 0xFF]) ^ m_s[2][(x >> 8) & 0xFF]) +
               m_s[3][x & 0xFF];
    }

    BYTE m_pending[kBlockSize] = {};
    std::int32_t m_fillIndex = -1;
    std::uint32_t m_keySet = 0;
    std::uint32_t m_p[kBlowfishRounds + 2];
    std::uint32_t m_s[4][256];
};

}  // namespace Cabinet
