// libFuzzer target: arbitrary bytes as the frames of one LZX folder. The first
// byte picks the window; then each frame is a 16-bit input length, a 16-bit
// output length and the frame's bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/cabinet/LzxDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    cabinet::lzx::LzxDecoder decoder(15 + data[0] % 7);
    std::size_t at = 1;
    std::vector<std::uint8_t> out;
    while (at + 4 <= size) {
        std::size_t inSize = data[at] | (data[at + 1] << 8);
        std::size_t outSize = (data[at + 2] | (data[at + 3] << 8)) % (cabinet::lzx::kFrameSize + 1);
        at += 4;
        inSize = inSize > size - at ? size - at : inSize;
        // A copy of exactly inSize bytes, so that the sanitizer sees any over-read.
        std::vector<std::uint8_t> in(data + at, data + at + inSize);
        out.assign(outSize, 0);
        if (!decoder.DecodeFrame(in.data(), in.size(), out.data(), out.size())) {
            break;
        }
        at += inSize;
    }
    return 0;
}
