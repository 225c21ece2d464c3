// Field helpers and the block checksum, checked against cabinets written by
// another writer.
#include <gtest/gtest.h>

#include "platform/cabinet/CabFormat.h"
#include "platform/cabinet/CabinetTestSupport.h"

namespace {

using namespace cabinet;

TEST(CabFormat, LittleEndianFieldsRoundTrip) {
    std::uint8_t b[4];
    PutU32(b, 0x12345678);
    EXPECT_EQ(b[0], 0x78);
    EXPECT_EQ(b[3], 0x12);
    EXPECT_EQ(GetU32(b), 0x12345678u);
    PutU16(b, 0xBEEF);
    EXPECT_EQ(b[0], 0xEF);
    EXPECT_EQ(GetU16(b), 0xBEEF);
}

TEST(CabFormat, ChecksumFoldsTrailingBytesHighestFirst) {
    const std::uint8_t d[] = {1, 2, 3, 4, 5, 6, 7};
    struct Case {
        std::size_t n;
        std::uint32_t seed;
        std::uint32_t sum;
    } cases[] = {
        {0, 0, 0},
        {0, 0xABCD, 0xABCD},
        {1, 0, 0x01},
        {2, 0, 0x0102},
        {3, 0, 0x010203},
        {4, 0, 0x04030201},
        {7, 0, 0x04030201 ^ 0x050607},
        {7, 0xFFFFFFFF, ~(0x04030201u ^ 0x050607u)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Checksum(d, c.n, c.seed), c.sum) << c.n;
    }
}

// Every checksummed block of the corpus's well-formed cabinets verifies.
TEST(CabFormat, BlockChecksumsOfForeignCabinetsVerify) {
    int verified = 0;
    for (const char* name : {"split-1.cab", "split-2.cab", "split-3.cab", "split-4.cab",
                             "split-5.cab", "mixed.cab", "normal_2files_2folders.cab"}) {
        auto cab = cabtest::ReadFile(std::string(QM_TESTDATA_DIR) + "/cab/" + name);
        ASSERT_GE(cab.size(), kHeaderSize) << name;
        std::uint16_t flags = GetU16(cab.data() + kHeaderFlags);
        std::size_t pos = kHeaderSize;
        std::size_t resFolder = 0, resData = 0;
        if (flags & kFlagReservePresent) {
            resFolder = cab[pos + 2];
            resData = cab[pos + 3];
            pos += kReserveFieldsSize + GetU16(cab.data() + pos);
        }
        for (int names =
                 ((flags & kFlagPrevCabinet) ? 2 : 0) + ((flags & kFlagNextCabinet) ? 2 : 0);
             names > 0; --names) {
            while (cab.at(pos) != 0)
                ++pos;
            ++pos;
        }
        for (std::size_t f = 0; f < GetU16(cab.data() + kHeaderFolderCount); ++f) {
            const std::uint8_t* e = cab.data() + pos + f * (kFolderSize + resFolder);
            std::size_t at = GetU32(e + kFolderDataOffset);
            for (std::size_t b = 0; b < GetU16(e + kFolderBlockCount); ++b) {
                std::uint32_t sum = GetU32(cab.data() + at);
                std::size_t cb = GetU16(cab.data() + at + kDataCompressed);
                std::size_t headerLen = kDataHeaderSize + resData;
                ASSERT_LE(at + headerLen + cb, cab.size()) << name;
                if (sum != 0) {
                    EXPECT_EQ(
                        BlockChecksum(cab.data() + at + kDataCompressed,
                                      headerLen - kDataCompressed, cab.data() + at + headerLen, cb),
                        sum)
                        << name << " block " << b;
                    ++verified;
                }
                at += headerLen + cb;
            }
        }
    }
    EXPECT_GE(verified, 12);
}

}  // namespace
