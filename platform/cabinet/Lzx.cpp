// The LZX entries of the block codec interface: one LzxEncoder / LzxDecoder
// per folder, one frame per data block.
#include <new>

#include "platform/cabinet/Codec.h"
#include "platform/cabinet/LzxDecoder.h"
#include "platform/cabinet/LzxEncoder.h"

namespace cabinet {

namespace {

class LzxBlockCompressor final : public BlockCompressor {
public:
    LzxBlockCompressor(int windowBits, const lzx::LzxEncoderOptions& options)
        : m_encoder(windowBits, options) {}

    // Every block but a folder's last must hold a whole frame (kFrameSize
    // bytes): readers place frame n at n * 32768. Frames come back when the
    // LZX block holding them is closed.
    bool CompressBlocks(const std::uint8_t* in, std::size_t n, bool lastBlockOfFolder,
                        std::vector<std::uint8_t>& out,
                        std::vector<CompressedBlock>& blocks) override {
        if (n > kMaxBlockUncompressed || (in == nullptr && n != 0)) {
            return false;
        }
        m_encoder.EncodeFrame(in, n);
        if (n != 0) {
            m_sizes.push_back(static_cast<std::uint32_t>(n));
        }
        if (lastBlockOfFolder) {
            m_encoder.Flush();
        }
        for (std::size_t before = out.size(); m_encoder.TakeFrame(out); before = out.size()) {
            blocks.push_back({static_cast<std::uint32_t>(out.size() - before), m_sizes[m_next++]});
        }
        if (m_next == m_sizes.size()) {
            m_sizes.clear();
            m_next = 0;
        }
        return true;
    }
    std::size_t HeldBytes() const override { return m_encoder.HeldBytes(); }

private:
    lzx::LzxEncoder m_encoder;
    // Uncompressed sizes of the frames not yet returned.
    std::vector<std::uint32_t> m_sizes;
    std::size_t m_next = 0;
};

class LzxBlockDecompressor final : public BlockDecompressor {
public:
    explicit LzxBlockDecompressor(int windowBits) : m_decoder(windowBits) {}

    bool DecompressBlock(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                         std::size_t outSize) override {
        return m_decoder.DecodeFrame(in, inSize, out, outSize);
    }

private:
    lzx::LzxDecoder m_decoder;
};

}  // namespace

std::unique_ptr<BlockCompressor> CreateLzxCompressor(int windowBits) {
    if (lzx::NumPositionSlots(windowBits) == 0) {
        return nullptr;
    }
    try {
        return std::make_unique<LzxBlockCompressor>(windowBits, lzx::LzxEncoderOptions{});
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

std::unique_ptr<BlockDecompressor> CreateLzxDecompressor(int windowBits) {
    if (lzx::NumPositionSlots(windowBits) == 0) {
        return nullptr;
    }
    try {
        return std::make_unique<LzxBlockDecompressor>(windowBits);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace cabinet
