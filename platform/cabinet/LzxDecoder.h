// LZX decoder for cabinet folders: one object per folder, fed the folder's
// data blocks in order, one 32 KiB frame per block.
//
// Hostile input is expected: every table, run and match is bounds-checked, a
// frame costs time linear in its sizes, and a corrupt frame makes DecodeFrame
// return false (the decoder then stays failed until Reset).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cabinet/LzxBitReader.h"
#include "platform/cabinet/LzxConstants.h"
#include "platform/cabinet/LzxHuffman.h"

namespace cabinet::lzx {

class LzxDecoder {
public:
    // windowBits 15..21; anything else gives a decoder whose DecodeFrame fails.
    explicit LzxDecoder(int windowBits);

    // Starts a new folder: empty window, repeated offsets 1, all tree lengths 0.
    void Reset();

    // Decodes the next frame from in[0..inSize) (one data block's compressed
    // bytes) into exactly outSize bytes (<= kFrameSize; only a folder's last
    // frame may be shorter). false on corrupt or truncated input.
    bool DecodeFrame(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                     std::size_t outSize);

    // Tests only: pretend the folder starts this many bytes into a stream, so
    // that the 1 GiB limit of the call translation can be reached without
    // decoding a gigabyte. Must match the encoder's setting.
    void SetStreamOffsetForTest(std::uint64_t offset) { m_e8Bias = offset; }

private:
    bool ReadStreamHeader();
    bool ReadBlockHeader();
    bool ReadLengths(std::uint8_t* lengths, int first, int last);
    bool DecodeSymbols(std::uint64_t limit);
    bool CopyUncompressed(std::uint64_t limit);
    bool CopyMatch(std::uint32_t offset, std::uint32_t length);
    void CopyFrameOut(std::uint64_t frameStart, std::uint8_t* out, std::size_t size) const;
    // Makes the window hold stream positions below end (up to its full size).
    void GrowWindow(std::uint64_t end);

    int m_windowBits;
    int m_numSlots;
    int m_mainSize;
    std::uint32_t m_windowMask;  // of the window's current size
    std::vector<std::uint8_t> m_window;
    LzxBitReader m_in;

    bool m_failed = false;
    bool m_headerRead = false;
    bool m_e8 = false;
    std::uint32_t m_e8Size = 0;
    std::uint64_t m_e8Bias = 0;

    std::uint64_t m_pos = 0;         // bytes decoded into the window so far
    std::uint64_t m_frameStart = 0;  // stream position of the current frame
    std::uint32_t m_r[3] = {1, 1, 1};

    BlockType m_blockType = BlockType::kVerbatim;
    std::uint32_t m_blockRemaining = 0;
    bool m_inRawBytes = false;  // inside an uncompressed block's bytes

    std::uint8_t m_mainLengths[kMaxMainTreeSize] = {};
    std::uint8_t m_lengthLengths[kLengthTreeSize] = {};
    std::uint8_t m_alignedLengths[kAlignedTreeSize] = {};
    LzxDecodeTable m_pretree{8};
    LzxDecodeTable m_mainTree{11};
    LzxDecodeTable m_lengthTree{10};
    LzxDecodeTable m_alignedTree{7};
};

}  // namespace cabinet::lzx
