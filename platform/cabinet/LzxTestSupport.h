// Helpers shared by the LZX tests: deterministic sample data and a whole-
// folder round trip through the encoder and decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "platform/cabinet/LzxDecoder.h"
#include "platform/cabinet/LzxEncoder.h"

namespace cabinet::lzx::testing {

inline std::vector<std::uint8_t> RandomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) {
        b = static_cast<std::uint8_t>(rng());
    }
    return v;
}

// Text of words drawn from a small vocabulary with a skewed distribution, in
// lines of varying length: compresses like prose.
inline std::vector<std::uint8_t> SampleText(std::size_t n, std::uint32_t seed) {
    static const char* const kWords[] = {
        "the",      "folder",   "synchronised", "partner", "mail",     "cabinet",  "item",
        "change",   "of",       "and",          "to",      "a",        "Outlook",  "message",
        "calendar", "contacts", "subject",      "is",      "with",     "for",      "deleted",
        "received", "queue",    "sender",       "store",   "password", "share",    "version",
        "in",       "that",     "on",           "import",  "notice",   "Quillmere"};
    constexpr std::size_t kCount = sizeof kWords / sizeof kWords[0];
    std::mt19937 rng(seed);
    std::geometric_distribution<int> pick(0.12);
    std::vector<std::uint8_t> v;
    v.reserve(n + 32);
    std::size_t line = 0;
    while (v.size() < n) {
        const char* w = kWords[static_cast<std::size_t>(pick(rng)) % kCount];
        v.insert(v.end(), w, w + std::char_traits<char>::length(w));
        line += 1;
        if (line > 8 + rng() % 10) {
            v.push_back('.');
            v.push_back('\r');
            v.push_back('\n');
            line = 0;
        } else {
            v.push_back(' ');
        }
        if (rng() % 97 == 0) {
            std::string num = std::to_string(rng() % 100000);
            v.insert(v.end(), num.begin(), num.end());
            v.push_back(' ');
        }
    }
    v.resize(n);
    return v;
}

// The folder's data cut into frames and compressed, one vector per frame.
inline std::vector<std::vector<std::uint8_t>> EncodeFolder(const std::vector<std::uint8_t>& data,
                                                           int windowBits,
                                                           const LzxEncoderOptions& options = {}) {
    LzxEncoder encoder(windowBits, options);
    std::vector<std::vector<std::uint8_t>> frames;
    auto take = [&] {
        for (std::vector<std::uint8_t> frame; encoder.TakeFrame(frame); frame.clear()) {
            frames.push_back(frame);
        }
    };
    for (std::size_t pos = 0; pos < data.size(); pos += kFrameSize) {
        const std::size_t n = std::min(kFrameSize, data.size() - pos);
        encoder.EncodeFrame(data.data() + pos, n);
        take();
    }
    encoder.Flush();
    take();
    return frames;
}

// Decodes the frames of EncodeFolder; false when a frame fails.
inline bool DecodeFolder(const std::vector<std::vector<std::uint8_t>>& frames,
                         std::size_t totalSize, int windowBits, std::vector<std::uint8_t>& out,
                         std::uint64_t streamOffset = 0) {
    LzxDecoder decoder(windowBits);
    decoder.SetStreamOffsetForTest(streamOffset);
    out.assign(totalSize, 0);
    std::size_t pos = 0;
    for (const auto& frame : frames) {
        const std::size_t n = std::min(kFrameSize, totalSize - pos);
        if (!decoder.DecodeFrame(frame.data(), frame.size(), out.data() + pos, n)) {
            return false;
        }
        pos += n;
    }
    return pos == totalSize;
}

inline std::size_t TotalSize(const std::vector<std::vector<std::uint8_t>>& frames) {
    std::size_t n = 0;
    for (const auto& f : frames) {
        n += f.size();
    }
    return n;
}

}  // namespace cabinet::lzx::testing
