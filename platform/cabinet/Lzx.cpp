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
    explicit LzxBlockCompressor(int windowBits) : m_encoder(windowBits) {}

    // Every block but a folder's last must hold a whole frame (kFrameSize
    // bytes): readers place frame n at n * 32768.
    bool CompressBlock(const std::uint8_t* in, std::size_t n, bool /*lastBlockOfFolder*/,
                       std::vector<std::uint8_t>& out) override {
        if (n > kMaxBlockUncompressed || (in == nullptr && n != 0)) {
            return false;
        }
        m_encoder.EncodeFrame(in, n, out);
        return true;
    }

private:
    lzx::LzxEncoder m_encoder;
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
        return std::make_unique<LzxBlockCompressor>(windowBits);
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
