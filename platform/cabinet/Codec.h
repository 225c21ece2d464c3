// Block codecs of the cabinet library: one compressor/decompressor object per
// folder, fed the folder's data blocks (CFDATA) in order.
//
// A folder's blocks form one stream for the codec: history (and, for LZX, the
// translation and tree state) carries from one block into the next, and only
// a new folder starts afresh. Objects are used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cabinet {

// Largest uncompressed size of one data block.
constexpr std::size_t kMaxBlockUncompressed = 32768;
// Largest compressed size of one data block a compressor may produce (the
// uncompressed size plus the codec's worst-case overhead).
constexpr std::size_t kMaxBlockCompressed = 32768 + 6144;

// Sizes of one compressed data block.
struct CompressedBlock {
    std::uint32_t compressed;
    std::uint32_t uncompressed;
};

class BlockCompressor {
public:
    virtual ~BlockCompressor() = default;
    // Compresses one block of 1..kMaxBlockUncompressed input bytes (0 only for
    // an empty folder's single block), appending the block's compressed bytes
    // to out. lastBlockOfFolder lets the codec finish its stream. The result
    // must decode with the matching BlockDecompressor to exactly n bytes and be
    // at most kMaxBlockCompressed bytes. false on an internal failure (memory),
    // or when the codec only works through CompressBlocks.
    virtual bool CompressBlock(const std::uint8_t* in, std::size_t n, bool lastBlockOfFolder,
                               std::vector<std::uint8_t>& out) {
        return false;
    }
    // Takes the next block's input (as for CompressBlock; n may be 0 with
    // lastBlockOfFolder to finish the folder) and appends every data block
    // that is now complete, in order: its bytes to out, its sizes to blocks.
    // A codec may hold input back (HeldBytes) until later input decides how
    // to code it; lastBlockOfFolder releases all of it. Blocks obey the
    // limits of CompressBlock, and all but the folder's last hold
    // kMaxBlockUncompressed bytes. The default codes one block per call.
    virtual bool CompressBlocks(const std::uint8_t* in, std::size_t n, bool lastBlockOfFolder,
                                std::vector<std::uint8_t>& out,
                                std::vector<CompressedBlock>& blocks) {
        const std::size_t before = out.size();
        if (!CompressBlock(in, n, lastBlockOfFolder, out)) {
            return false;
        }
        blocks.push_back(
            {static_cast<std::uint32_t>(out.size() - before), static_cast<std::uint32_t>(n)});
        return true;
    }
    // Input taken but not yet in a returned block.
    virtual std::size_t HeldBytes() const { return 0; }
};

class BlockDecompressor {
public:
    virtual ~BlockDecompressor() = default;
    // Decodes one block (inSize bytes, the block's compressed data without its
    // header and reserve) into exactly outSize bytes (the block's uncompressed
    // size, <= kMaxBlockUncompressed). false on corrupt input: never reads or
    // writes out of bounds, and takes time bounded by inSize and outSize. After
    // false the object is unusable for the rest of the folder.
    virtual bool DecompressBlock(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                                 std::size_t outSize) = 0;
};

// LZX with a window of 2^windowBits bytes (15..21). Null when windowBits is out
// of range or memory is short.
std::unique_ptr<BlockCompressor> CreateLzxCompressor(int windowBits);
std::unique_ptr<BlockDecompressor> CreateLzxDecompressor(int windowBits);

// MSZIP: each block "CK" + raw deflate, the 32 KiB history carried across the
// blocks of a folder. Null when memory is short.
std::unique_ptr<BlockCompressor> CreateMszipCompressor();
std::unique_ptr<BlockDecompressor> CreateMszipDecompressor();

}  // namespace cabinet
