#include "platform/msgfile/CompoundFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/msgfile/LittleEndian.h"
#include "platform/msgfile/Utf16.h"
#include "platform/win/Errors.h"

namespace msgfile {
namespace {

constexpr std::size_t kSector = 512;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        b[i] = static_cast<std::uint8_t>(seed >> 16);
    }
    return b;
}

// Order-insensitive comparison of two trees.
void ExpectSameTree(const CfbNode& a, const CfbNode& b, const std::wstring& path = L"") {
    ASSERT_EQ(a.kind, b.kind) << std::string(path.begin(), path.end());
    if (a.IsStream()) {
        EXPECT_TRUE(a.data == b.data) << std::string(path.begin(), path.end());
        return;
    }
    EXPECT_EQ(a.clsid, b.clsid);
    ASSERT_EQ(a.children.size(), b.children.size()) << std::string(path.begin(), path.end());
    for (const CfbNode& child : a.children) {
        const CfbNode* other = b.Find(child.name);
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(other->name, child.name);
        ExpectSameTree(child, *other, path + L"/" + child.name);
    }
}

CfbNode SampleTree() {
    CfbNode root =
        CfbNode::MakeStorage(L"Root Entry", GUID{0x00020D0B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}});
    const std::size_t sizes[] = {0, 1, 63, 64, 65, 4095, 4096, 5000, 20000};
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        root.AddStream(L"stream" + std::to_wstring(sizes[i]),
                       Pattern(sizes[i], static_cast<std::uint32_t>(i)));
    }
    CfbNode* level = &root;
    for (int depth = 0; depth < 3; ++depth) {
        level = &level->AddStorage(L"level" + std::to_wstring(depth),
                                   GUID{static_cast<DWORD>(depth + 1)});
        for (int k = 0; k < 20; ++k) {
            level->AddStream(
                L"s\u00E9" + std::to_wstring(k * 7),
                Pattern(static_cast<std::size_t>(k * 300), static_cast<std::uint32_t>(k)));
        }
    }
    return root;
}

Bytes Write(const CfbNode& root) {
    Bytes out;
    EXPECT_EQ(WriteCompoundFile(root, &out), S_OK);
    return out;
}

// Raw access to a file we wrote (directory and FAT are contiguous there).
struct Raw {
    Bytes& b;
    std::size_t SectorOffset(std::uint32_t s) const { return kSector + std::size_t{s} * kSector; }
    std::uint32_t FirstDir() const { return le::Get32(&b[48]); }
    std::size_t EntryOffset(std::uint32_t id) const {
        return SectorOffset(FirstDir() + id / 4) + (id % 4) * 128;
    }
    std::uint32_t EntryCount() const {
        std::uint32_t n = 0;
        while (EntryOffset(n) + 128 <= b.size() && le::Get16(&b[EntryOffset(n) + 64]) != 0) {
            ++n;
        }
        return n;
    }
    std::wstring Name(std::uint32_t id) const { return DecodeUtf16Le(&b[EntryOffset(id)], 64); }
    std::uint32_t Find(const std::wstring& name) const {
        for (std::uint32_t i = 0; i < EntryCount(); ++i) {
            if (Name(i) == name) {
                return i;
            }
        }
        ADD_FAILURE() << "no entry";
        return 0;
    }
    std::uint32_t Field(std::uint32_t id, std::size_t off) const {
        return le::Get32(&b[EntryOffset(id) + off]);
    }
    void SetField(std::uint32_t id, std::size_t off, std::uint32_t v) {
        le::Put32(&b[EntryOffset(id) + off], v);
    }
    std::size_t FatEntryOffset(std::uint32_t s) const {
        return SectorOffset(le::Get32(&b[76 + 4 * (s / 128)])) + (s % 128) * 4;
    }
    std::size_t MiniFatEntryOffset(std::uint32_t s) const {
        return SectorOffset(le::Get32(&b[60]) + s / 128) + (s % 128) * 4;
    }
};

constexpr std::size_t kLeft = 68, kRight = 72, kChild = 76, kStart = 116, kSize = 120;

TEST(CompoundFileTest, TreeOfStoragesAndStreamsRoundTrips) {
    const CfbNode root = SampleTree();
    Bytes bytes = Write(root);
    ASSERT_EQ(bytes.size() % kSector, 0u);
    CfbNode read;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &read), S_OK);
    ExpectSameTree(root, read);
}

TEST(CompoundFileTest, StrayByteAfterTheLastSectorIsTolerated) {
    const CfbNode root = SampleTree();
    Bytes bytes = Write(root);
    bytes.push_back(0x5A);
    CfbNode read;
    ASSERT_EQ(ReadCompoundFile(bytes.data(), bytes.size(), &read), S_OK);
    ExpectSameTree(root, read);
}

TEST(CompoundFileTest, EntryNamesOrderByLengthThenUpperCase) {
    struct Case {
        const wchar_t* a;
        const wchar_t* b;
        int sign;
    } cases[] = {
        {L"b", L"aa", -1},         {L"abc", L"ABC", 0},
        {L"abc", L"abd", -1},      {L"Z", L"a", 1},
        {L"\u00E9", L"\u00C9", 0}, {L"__substg1.0_0037001F", L"__substg1.0_0037001E", 1},
    };
    for (const auto& c : cases) {
        const int r = CompareEntryNames(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << std::wstring(c.a).size();
        EXPECT_EQ(-((r > 0) - (r < 0)),
                  (CompareEntryNames(c.b, c.a) > 0) - (CompareEntryNames(c.b, c.a) < 0));
    }
}

// Every storage's children form a binary search tree in name order with
// red-black colouring: no red node has a red child, every path to a leaf
// passes the same number of black nodes.
TEST(CompoundFileTest, SiblingTreesAreOrderedRedBlackTrees) {
    for (int n : {1, 2, 3, 4, 5, 7, 8, 15, 16, 40}) {
        CfbNode root = CfbNode::MakeStorage(L"Root Entry");
        for (int k = 0; k < n; ++k) {
            root.AddStream(
                L"n" + std::wstring(static_cast<std::size_t>(k % 5 + 1), L'x') + std::to_wstring(k),
                Bytes{1});
        }
        Bytes bytes = Write(root);
        Raw raw{bytes};
        std::vector<std::wstring> inOrder;
        std::function<int(std::uint32_t, bool)> walk = [&](std::uint32_t id,
                                                           bool parentRed) -> int {
            if (id == kNoStream) {
                return 1;
            }
            const bool red = bytes[raw.EntryOffset(id) + 67] == 0;
            EXPECT_FALSE(red && parentRed) << "n=" << n;
            const int left = walk(raw.Field(id, kLeft), red);
            inOrder.push_back(raw.Name(id));
            const int right = walk(raw.Field(id, kRight), red);
            EXPECT_EQ(left, right) << "n=" << n;
            return left + (red ? 0 : 1);
        };
        const std::uint32_t top = raw.Field(0, kChild);
        EXPECT_NE(bytes[raw.EntryOffset(top) + 67], 0) << "root of the tree is black";
        walk(top, false);
        ASSERT_EQ(inOrder.size(), static_cast<std::size_t>(n));
        EXPECT_TRUE(std::is_sorted(
            inOrder.begin(), inOrder.end(),
            [](const auto& a, const auto& b) { return CompareEntryNames(a, b) < 0; }));
    }
}

TEST(CompoundFileTest, BadNamesAreRefused) {
    CfbNode tooLong = CfbNode::MakeStorage(L"");
    tooLong.AddStream(std::wstring(32, L'a'), Bytes{1});
    CfbNode collide = CfbNode::MakeStorage(L"");
    collide.AddStream(L"Props", Bytes{1});
    collide.AddStream(L"PROPS", Bytes{2});
    CfbNode empty = CfbNode::MakeStorage(L"");
    empty.AddStorage(L"");
    Bytes out{1};
    EXPECT_EQ(WriteCompoundFile(tooLong, &out), E_INVALIDARG);
    EXPECT_EQ(WriteCompoundFile(collide, &out), E_INVALIDARG);
    EXPECT_EQ(WriteCompoundFile(empty, &out), E_INVALIDARG);
    EXPECT_EQ(WriteCompoundFile(CfbNode::MakeStream(L"x", {}), &out), E_INVALIDARG);
    EXPECT_TRUE(out.empty());
    CfbNode longest = CfbNode::MakeStorage(L"");
    longest.AddStream(std::wstring(31, L'a'), Bytes{1});
    EXPECT_EQ(WriteCompoundFile(longest, &out), S_OK);
}

// Each damage names the defect it reproduces; all must fail cleanly.
TEST(CompoundFileTest, DamagedFilesAreRejected) {
    const CfbNode root = SampleTree();
    const Bytes good = Write(root);
    struct Damage {
        const char* name;
        std::function<void(Bytes&)> apply;
    };
    const Damage damages[] = {
        {"BadSignature", [](Bytes& b) { b[0] = 0; }},
        {"BadByteOrder", [](Bytes& b) { b[28] = 0; }},
        {"UnknownSectorShift", [](Bytes& b) { b[30] = 10; }},
        {"TruncatedHeader", [](Bytes& b) { b.resize(300); }},
        {"TruncatedAfterHeader", [](Bytes& b) { b.resize(kSector + 10); }},
        {"FatSectorCountTooLarge", [](Bytes& b) { le::Put32(&b[44], 0x10000000); }},
        {"FatSectorOutOfRange", [](Bytes& b) { le::Put32(&b[76], 0x00FFFFF0); }},
        {"DirectoryStartOutOfRange", [](Bytes& b) { le::Put32(&b[48], 0x7FFFFFF0); }},
        {"FatCycleInStream",
         [](Bytes& b) {
             Raw r{b};
             const std::uint32_t id = r.Find(L"stream20000");
             const std::uint32_t start = r.Field(id, kStart);
             le::Put32(&b[r.FatEntryOffset(start + 2)], start);
         }},
        {"FatSelfLoopInDirectory",
         [](Bytes& b) {
             Raw r{b};
             le::Put32(&b[r.FatEntryOffset(r.FirstDir())], r.FirstDir());
         }},
        {"StreamStartOutOfRange",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream5000"), kStart, 0xFFFFFF00);
         }},
        {"StreamLongerThanItsChain",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream5000"), kSize, 100000);
         }},
        {"StreamSizeBeyondFile",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream20000"), kSize, 0xFFFFFFF0);
         }},
        {"TwoStreamsShareAChain",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream4096"), kStart, r.Field(r.Find(L"stream20000"), kStart));
         }},
        {"MiniFatCycle",
         [](Bytes& b) {
             Raw r{b};
             const std::uint32_t start = r.Field(r.Find(L"stream4095"), kStart);
             le::Put32(&b[r.MiniFatEntryOffset(start + 1)], start);
         }},
        {"MiniStreamStartOutOfRange",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream65"), kStart, 0x00100000);
         }},
        {"SiblingPointsToItself",
         [](Bytes& b) {
             Raw r{b};
             const std::uint32_t id = r.Find(L"stream63");
             r.SetField(id, kLeft, id);
         }},
        {"ChildPointsBackToRoot",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"level2"), kChild, 0);
         }},
        {"StorageIsItsOwnChild",
         [](Bytes& b) {
             Raw r{b};
             const std::uint32_t id = r.Find(L"level1");
             r.SetField(id, kChild, id);
         }},
        {"SiblingOutOfRange",
         [](Bytes& b) {
             Raw r{b};
             r.SetField(r.Find(L"stream1"), kRight, 100000);
         }},
        {"TreeReachesUnusedEntry",
         [](Bytes& b) {
             Raw r{b};
             const std::uint32_t unused = r.EntryCount();
             r.SetField(r.Find(L"stream1"), kRight, unused);
         }},
        {"RootIsNoRoot", [](Bytes& b) { b[Raw{b}.EntryOffset(0) + 66] = 1; }},
    };
    for (const Damage& d : damages) {
        Bytes bad = good;
        d.apply(bad);
        CfbNode read;
        read.name = L"stale";
        EXPECT_EQ(ReadCompoundFile(bad.data(), bad.size(), &read), MAPI_E_CORRUPT_DATA) << d.name;
        EXPECT_TRUE(read.children.empty() && read.name.empty()) << d.name;
    }
    CfbNode read;
    EXPECT_EQ(ReadCompoundFile(nullptr, 0, &read), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(ReadCompoundFile(good.data(), good.size(), nullptr), E_INVALIDARG);
}

// A version 4 file (4096-byte sectors) laid out by hand: FAT, directory,
// mini FAT, mini stream, then a two-sector stream.
Bytes Version4File() {
    constexpr std::size_t kBig = 4096;
    Bytes b(kBig * 7, 0);
    const std::uint8_t sig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(sig), std::end(sig), b.begin());
    le::Put16(&b[24], 0x3E);
    le::Put16(&b[26], 4);
    le::Put16(&b[28], 0xFFFE);
    le::Put16(&b[30], 12);
    le::Put16(&b[32], 6);
    le::Put32(&b[40], 1);  // directory sectors
    le::Put32(&b[44], 1);  // FAT sectors
    le::Put32(&b[48], 1);  // first directory sector
    le::Put32(&b[56], 4096);
    le::Put32(&b[60], 2);  // first mini FAT sector
    le::Put32(&b[64], 1);
    le::Put32(&b[68], 0xFFFFFFFE);
    for (std::size_t k = 0; k < 109; ++k) {
        le::Put32(&b[76 + 4 * k], k == 0 ? 0 : 0xFFFFFFFF);
    }
    auto sector = [&](std::uint32_t s) { return &b[kBig * (s + 1)]; };
    const std::uint32_t fat[] = {0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFE, 0xFFFFFFFE, 5, 0xFFFFFFFE};
    for (std::size_t k = 0; k < kBig / 4; ++k) {
        le::Put32(sector(0) + 4 * k, k < std::size(fat) ? fat[k] : 0xFFFFFFFF);
        le::Put32(sector(2) + 4 * k, k == 0 ? 1 : (k == 1 ? 0xFFFFFFFE : 0xFFFFFFFF));
    }
    auto entry = [&](std::uint32_t id, const std::wstring& name, std::uint8_t type,
                     std::uint32_t right, std::uint32_t child, std::uint32_t start,
                     std::uint64_t size) {
        std::uint8_t* e = sector(1) + id * 128;
        Bytes units = EncodeUtf16Le(name);
        std::copy(units.begin(), units.end(), e);
        le::Put16(e + 64, static_cast<std::uint16_t>(units.size() + 2));
        e[66] = type;
        e[67] = 1;
        le::Put32(e + kLeft, kNoStream);
        le::Put32(e + kRight, right);
        le::Put32(e + kChild, child);
        le::Put32(e + kStart, start);
        le::Put64(e + kSize, size);
    };
    entry(0, L"Root Entry", 5, kNoStream, 1, 3, 128);
    entry(1, L"small", 2, 2, kNoStream, 0, 100);
    entry(2, L"bigstream", 2, kNoStream, kNoStream, 4, 5000);
    for (std::uint32_t id = 3; id < 32; ++id) {
        le::Put32(sector(1) + id * 128 + kLeft, kNoStream);
        le::Put32(sector(1) + id * 128 + kRight, kNoStream);
        le::Put32(sector(1) + id * 128 + kChild, kNoStream);
    }
    const Bytes small = Pattern(100, 1);
    std::copy(small.begin(), small.end(), sector(3));
    const Bytes big = Pattern(5000, 2);
    std::copy(big.begin(), big.end(), sector(4));
    return b;
}

TEST(CompoundFileTest, Version4FilesAreRead) {
    Bytes b = Version4File();
    CfbNode root;
    ASSERT_EQ(ReadCompoundFile(b.data(), b.size(), &root), S_OK);
    ASSERT_EQ(root.children.size(), 2u);
    EXPECT_EQ(root.Find(L"small")->data, Pattern(100, 1));
    EXPECT_EQ(root.Find(L"bigstream")->data, Pattern(5000, 2));
    // In version 4 the stream size's high half counts.
    le::Put32(&b[4096 * 2 + 2 * 128 + kSize + 4], 1);
    EXPECT_EQ(ReadCompoundFile(b.data(), b.size(), &root), MAPI_E_CORRUPT_DATA);
}

TEST(CompoundFileTest, Version3IgnoresTheHighHalfOfStreamSizes) {
    CfbNode tree = SampleTree();
    Bytes b = Write(tree);
    Raw raw{b};
    raw.SetField(raw.Find(L"stream5000"), kSize + 4, 0xDEADBEEF);
    CfbNode read;
    ASSERT_EQ(ReadCompoundFile(b.data(), b.size(), &read), S_OK);
    ExpectSameTree(tree, read);
}

TEST(CompoundFileTest, DeepNestingIsBounded) {
    CfbNode root = CfbNode::MakeStorage(L"Root Entry");
    CfbNode* level = &root;
    for (int depth = 0; depth <= kMaxStorageDepth + 1; ++depth) {
        level = &level->AddStorage(L"d");
    }
    Bytes out;
    EXPECT_EQ(WriteCompoundFile(root, &out), E_INVALIDARG);
}

}  // namespace
}  // namespace msgfile
