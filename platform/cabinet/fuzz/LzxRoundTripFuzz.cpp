// libFuzzer target: arbitrary bytes through the LZX encoder and back through
// the decoder must come out unchanged. The first byte picks the window and
// the forced block type, translation and parse; the rest is the folder's data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/cabinet/LzxDecoder.h"
#include "platform/cabinet/LzxEncoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace cabinet::lzx;
    if (size < 1) {
        return 0;
    }
    const int windowBits = kMinWindowBits + data[0] % 7;
    LzxEncoderOptions options;
    options.forceBlockType = (data[0] >> 3) % 4;  // 0: the encoder's choice
    options.e8Translation = (data[0] & 0x80) == 0;
    options.optimalParse = (data[0] & 0x40) != 0;
    ++data;
    --size;
    LzxEncoder encoder(windowBits, options);
    LzxDecoder decoder(windowBits);
    std::vector<std::uint8_t> frame;
    std::vector<std::uint8_t> out;
    std::size_t decoded = 0;
    // Frames come back once their block is closed; each decodes on its own.
    auto check = [&] {
        for (frame.clear(); encoder.TakeFrame(frame); frame.clear()) {
            const std::size_t n = size - decoded < kFrameSize ? size - decoded : kFrameSize;
            out.assign(n, 0);
            if (!decoder.DecodeFrame(frame.data(), frame.size(), out.data(), n) ||
                std::memcmp(out.data(), data + decoded, n) != 0) {
                std::abort();
            }
            decoded += n;
        }
    };
    for (std::size_t pos = 0; pos < size; pos += kFrameSize) {
        const std::size_t n = size - pos < kFrameSize ? size - pos : kFrameSize;
        encoder.EncodeFrame(data + pos, n);
        check();
    }
    encoder.Flush();
    check();
    if (decoded != size) {
        std::abort();
    }
    return 0;
}
