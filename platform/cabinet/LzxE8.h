// The x86 call translation of LZX: before compression, the 32-bit relative
// displacement after each 0xE8 byte becomes an absolute target, so that calls
// to one function look alike; after decompression the decoder turns it back.
// Applied per frame, in place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cabinet::lzx {

// frameOffset: uncompressed bytes of the stream before this frame. Frames at
// or past 1 GiB, and frames of 10 bytes or less, are left alone; so are the
// last 10 bytes of every frame.
void E8Encode(std::uint8_t* frame, std::size_t size, std::uint64_t frameOffset,
              std::uint32_t translationSize);
void E8Decode(std::uint8_t* frame, std::size_t size, std::uint64_t frameOffset,
              std::uint32_t translationSize);

}  // namespace cabinet::lzx
