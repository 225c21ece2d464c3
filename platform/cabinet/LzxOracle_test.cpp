// Cabinets whose LZX folders come from our encoder, read by independent
// readers: cabextract (which must test them clean and extract the same bytes)
// and gcab.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/cabinet/LzxEncoder.h"
#include "platform/cabinet/LzxTestSupport.h"

namespace cabinet::lzx {
namespace {

using Bytes = std::vector<std::uint8_t>;

void PutLe16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    PutLe16(b, at, v & 0xFFFF);
    PutLe16(b, at + 2, v >> 16);
}

// Cabinet header, folder, file and data block fields.
constexpr std::size_t kCfHeaderSize = 36;
constexpr std::size_t kCfHeaderCabinetSize = 8;
constexpr std::size_t kCfHeaderFilesOffset = 16;
constexpr std::size_t kCfHeaderVersionMinor = 24;
constexpr std::size_t kCfHeaderVersionMajor = 25;
constexpr std::size_t kCfHeaderFolderCount = 26;
constexpr std::size_t kCfHeaderFileCount = 28;
constexpr std::size_t kCfFolderSize = 8;
constexpr std::size_t kCfFolderDataOffset = 0;
constexpr std::size_t kCfFolderDataCount = 4;
constexpr std::size_t kCfFolderCompression = 6;
constexpr std::size_t kCfFileSize = 16;
constexpr std::size_t kCfDataSize = 8;

// The cabinet checksum: XOR of little-endian 32-bit words; a 1..3 byte tail
// is taken most significant byte first.
std::uint32_t Checksum(const std::uint8_t* p, std::size_t n, std::uint32_t seed) {
    std::uint32_t sum = seed;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        sum ^= p[i] | (p[i + 1] << 8) | (p[i + 2] << 16) |
               (static_cast<std::uint32_t>(p[i + 3]) << 24);
    }
    std::uint32_t tail = 0;
    for (; i < n; ++i) {
        tail = (tail << 8) | p[i];
    }
    return sum ^ tail;
}

// One folder of LZX:windowBits holding one file.
Bytes MakeCabinet(const Bytes& data, int windowBits, const std::string& name,
                  const LzxEncoderOptions& options) {
    const auto frames = testing::EncodeFolder(data, windowBits, options);
    const std::size_t filesAt = kCfHeaderSize + kCfFolderSize;
    const std::size_t dataAt = filesAt + kCfFileSize + name.size() + 1;
    Bytes cab(dataAt, 0);
    cab[0] = 'M';
    cab[1] = 'S';
    cab[2] = 'C';
    cab[3] = 'F';
    PutLe32(cab, kCfHeaderFilesOffset, static_cast<std::uint32_t>(filesAt));
    cab[kCfHeaderVersionMinor] = 3;
    cab[kCfHeaderVersionMajor] = 1;
    PutLe16(cab, kCfHeaderFolderCount, 1);
    PutLe16(cab, kCfHeaderFileCount, 1);
    const std::size_t folder = kCfHeaderSize;
    PutLe32(cab, folder + kCfFolderDataOffset, static_cast<std::uint32_t>(dataAt));
    PutLe16(cab, folder + kCfFolderDataCount, static_cast<std::uint32_t>(frames.size()));
    PutLe16(cab, folder + kCfFolderCompression, 3u | (static_cast<std::uint32_t>(windowBits) << 8));
    PutLe32(cab, filesAt, static_cast<std::uint32_t>(data.size()));
    PutLe16(cab, filesAt + 10, (44u << 9) | (1u << 5) | 1u);  // 2024-01-01
    PutLe16(cab, filesAt + 14, 0x20);
    std::copy(name.begin(), name.end(), cab.begin() + static_cast<std::ptrdiff_t>(filesAt + 16));
    std::size_t pos = 0;
    for (const Bytes& frame : frames) {
        const std::size_t at = cab.size();
        cab.resize(at + kCfDataSize);
        PutLe16(cab, at + 4, static_cast<std::uint32_t>(frame.size()));
        PutLe16(cab, at + 6, static_cast<std::uint32_t>(std::min(kFrameSize, data.size() - pos)));
        cab.insert(cab.end(), frame.begin(), frame.end());
        // Over the compressed bytes, then the two size fields.
        PutLe32(cab, at, Checksum(cab.data() + at + 4, 4, Checksum(frame.data(), frame.size(), 0)));
        pos += kFrameSize;
    }
    PutLe32(cab, kCfHeaderCabinetSize, static_cast<std::uint32_t>(cab.size()));
    return cab;
}

class OracleTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
        tmpl += "/lzx_oracle_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static Bytes Read(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    static int Run(const std::string& cmd, std::string* output = nullptr) {
        FILE* p = popen((cmd + " 2>&1").c_str(), "r");
        if (p == nullptr) {
            return -1;
        }
        char buf[512];
        std::string text;
        while (fgets(buf, sizeof buf, p)) {
            text += buf;
        }
        if (output) {
            *output = text;
        }
        return pclose(p);
    }

    // Both readers must agree with the data.
    void ExpectReadersAgree(const Bytes& data, int windowBits,
                            const LzxEncoderOptions& options = {}) {
        const std::string tag = std::to_string(windowBits) + (options.optimalParse ? "o" : "") +
                                std::to_string(options.forceBlockType) + "b" +
                                std::to_string(options.maxBlockFrames);
        const std::string cab =
            Write("w" + tag + ".cab", MakeCabinet(data, windowBits, "sync.msg", options));
        std::string text;
        EXPECT_EQ(Run("cabextract -t '" + cab + "'", &text), 0) << text;
        EXPECT_NE(text.find("All done, no errors."), std::string::npos) << text;

        const std::string cabOut = m_dir + "/cabextract" + tag;
        ASSERT_EQ(Run("cabextract -q -d '" + cabOut + "' '" + cab + "'", &text), 0) << text;
        EXPECT_TRUE(Read(cabOut + "/sync.msg") == data) << "cabextract bytes differ";

        const std::string gcabOut = m_dir + "/gcab" + tag;
        ASSERT_EQ(
            Run("mkdir -p '" + gcabOut + "' && gcab -x -C '" + gcabOut + "' '" + cab + "'", &text),
            0)
            << text;
        EXPECT_TRUE(Read(gcabOut + "/sync.msg") == data) << "gcab bytes differ";
    }

    std::string m_dir;
};

// Text, noise (stored blocks), far repeats and call bytes in one folder.
Bytes MixedData() {
    Bytes data = testing::SampleText(90001, 21);
    const Bytes noise = testing::RandomBytes(40000, 22);
    data.insert(data.end(), noise.begin(), noise.end());
    Bytes calls = testing::RandomBytes(50000, 23);
    for (std::size_t i = 0; i + 5 < calls.size(); i += 13) {
        calls[i] = 0xE8;
        calls[i + 4] = (i & 64) ? 0xFF : 0x00;
    }
    data.insert(data.end(), calls.begin(), calls.end());
    const Bytes again = testing::SampleText(60000, 21);
    data.insert(data.end(), again.begin(), again.end());
    return data;
}

TEST_F(OracleTest, EveryWindowSizeReadsBackThroughCabextractAndGcab) {
    const Bytes data = MixedData();
    for (int windowBits = kMinWindowBits; windowBits <= kMaxWindowBits; ++windowBits) {
        SCOPED_TRACE(windowBits);
        ExpectReadersAgree(data, windowBits);
    }
}

TEST_F(OracleTest, OptimalParseAndEachForcedBlockTypeReadBack) {
    const Bytes data = MixedData();
    LzxEncoderOptions options;
    options.optimalParse = true;
    ExpectReadersAgree(data, 21, options);
    options.optimalParse = false;
    for (int type = 1; type <= 3; ++type) {
        options.forceBlockType = type;
        ExpectReadersAgree(data, 17, options);
    }
}

TEST_F(OracleTest, FrameBoundarySizesReadBack) {
    for (std::size_t size : {std::size_t{1}, std::size_t{32767}, std::size_t{32768},
                             std::size_t{32769}, std::size_t{65536 + 11}}) {
        SCOPED_TRACE(size);
        ExpectReadersAgree(testing::SampleText(size, static_cast<std::uint32_t>(size)), 21);
    }
}

TEST_F(OracleTest, BlocksSpanningFramesReadBack) {
    // Steady text shares one block over many frames; the noise in the mixed
    // part ends it, and the text after the noise opens another.
    Bytes data = testing::SampleText(8 * kFrameSize + 123, 31);
    const Bytes mixed = MixedData();
    data.insert(data.end(), mixed.begin(), mixed.end());
    LzxEncoderOptions single;
    single.maxBlockFrames = 1;
    const LzxEncoderOptions spanning;
    EXPECT_LT(testing::TotalSize(testing::EncodeFolder(data, 21, spanning)),
              testing::TotalSize(testing::EncodeFolder(data, 21, single)));
    ExpectReadersAgree(data, 21, spanning);
    LzxEncoderOptions aligned = spanning;
    aligned.forceBlockType = static_cast<int>(BlockType::kAligned);
    ExpectReadersAgree(data, 18, aligned);
}

TEST_F(OracleTest, CallBytesEverywhereReadBack) {
    ExpectReadersAgree(Bytes(3 * kFrameSize + 17, 0xE8), 16);
}

}  // namespace
}  // namespace cabinet::lzx
