#include "platform/win/Resources.h"

#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/Errors.h"
#include "platform/win/ResourceImage.h"
#include "platform/win/Text.h"
#include "platform/win/rc/ResourceFormat.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const std::string kModulePath = std::string(QM_BINARY_DIR) + "/bin/libQmResourceTestModule.so";

// The test module, loaded once; its HMODULE is its load address.
HMODULE TestModule() {
    static HMODULE module = [] {
        void* lib = dlopen(kModulePath.c_str(), RTLD_NOW);
        EXPECT_NE(lib, nullptr) << dlerror();
        Dl_info info{};
        EXPECT_TRUE(dladdr(dlsym(lib, "QmResourceTestModuleMarker"), &info));
        return reinterpret_cast<HMODULE>(info.dli_fbase);
    }();
    return module;
}

// Entry `index` of the string block of a resource, decoded from its bytes.
std::wstring BlockString(HMODULE module, HRSRC res, unsigned index) {
    const auto* p = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, res)));
    const DWORD size = SizeofResource(module, res);
    std::size_t pos = 0;
    for (unsigned i = 0; i < index; ++i)
        pos += 2 + 2u * win::rsrc::ReadU16(p + pos);
    EXPECT_LE(pos + 2, size);
    const std::uint16_t len = win::rsrc::ReadU16(p + pos);
    return win::FromUtf16Le(p + pos + 2, 2u * len);
}

TEST(ResourcesTest, StringBlockIsFoundPerLanguageWithPrimaryLanguageAndNeutralFallback) {
    struct Case {
        WORD language;
        const wchar_t* text;
    } cases[] = {
        {0x0000, L"one"},       // neutral table
        {0x0007, L"eins"},      // German table, exact
        {0x0407, L"eins"},      // German (Germany) -> German table
        {0x0C07, L"eins"},      // German (Austria) -> German table
        {0x040A, L"uno (MX)"},  // Spanish: the only Spanish table has another sublanguage
        {0x0411, L"one"},       // Japanese: no table -> neutral
        {0x0409, L"one"},       // English: no table of its own -> neutral
    };
    for (const auto& c : cases) {
        HRSRC res = FindResourceExW(TestModule(), RT_STRING, MAKEINTRESOURCE(1), c.language);
        ASSERT_NE(res, nullptr) << std::hex << c.language;
        EXPECT_EQ(BlockString(TestModule(), res, 1), c.text) << std::hex << c.language;
        EXPECT_EQ(SizeofResource(TestModule(), res) % 2, 0u);
    }
}

TEST(ResourcesTest, BlocksHoldSixteenIdsEach) {
    HRSRC one = FindResourceExW(TestModule(), RT_STRING, MAKEINTRESOURCE(1), 0);
    HRSRC two = FindResourceExW(TestModule(), RT_STRING, MAKEINTRESOURCE(2), 0);
    ASSERT_NE(one, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(BlockString(TestModule(), one, 15), L"last of block one");
    EXPECT_EQ(BlockString(TestModule(), two, 0), L"first of block two");
    EXPECT_EQ(BlockString(TestModule(), one, 2), L"");
}

TEST(ResourcesTest, LoadStringWUsesTheThreadLanguageAndBuffersAsThePlatform) {
    ASSERT_TRUE(SetThreadLocale(0x0407));
    wchar_t buf[64];
    EXPECT_EQ(LoadStringW(TestModule(), 1, buf, 64), 4);
    EXPECT_STREQ(buf, L"eins");
    EXPECT_EQ(LoadStringW(TestModule(), 4000, buf, 64), 12);  // only in the neutral table
    EXPECT_STREQ(buf, L"neutral only");
    ASSERT_TRUE(SetThreadLocale(0x0409));
    EXPECT_EQ(LoadStringW(TestModule(), 1, buf, 64), 3);
    EXPECT_STREQ(buf, L"one");

    // Cut to the buffer, always terminated.
    EXPECT_EQ(LoadStringW(TestModule(), 15, buf, 5), 4);
    EXPECT_STREQ(buf, L"last");
    EXPECT_EQ(LoadStringW(TestModule(), 15, buf, 1), 0);
    EXPECT_STREQ(buf, L"");
    // bufferMax 0: a read-only pointer to the whole string.
    const wchar_t* direct = nullptr;
    EXPECT_EQ(LoadStringW(TestModule(), 16, reinterpret_cast<wchar_t*>(&direct), 0), 18);
    ASSERT_NE(direct, nullptr);
    EXPECT_EQ(std::wstring(direct, 18), L"first of block two");

    // Missing and empty strings give 0 and leave the buffer alone.
    wcscpy(buf, L"unchanged");
    EXPECT_EQ(LoadStringW(TestModule(), 2, buf, 64), 0);     // empty entry
    EXPECT_EQ(LoadStringW(TestModule(), 3, buf, 64), 0);     // no entry in a present block
    EXPECT_EQ(LoadStringW(TestModule(), 5224, buf, 64), 0);  // no block
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_STREQ(buf, L"unchanged");
    EXPECT_EQ(LoadStringW(TestModule(), 1, nullptr, 64), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ResourcesTest, NamedResourcesMatchCaseInsensitivelyAndOrdinalsByHashText) {
    for (const wchar_t* name : {L"Payload", L"PAYLOAD", L"payload"}) {
        HRSRC res = FindResourceW(TestModule(), name, RT_RCDATA);
        ASSERT_NE(res, nullptr);
        ASSERT_EQ(SizeofResource(TestModule(), res), 11u);
        const auto* p =
            static_cast<const std::uint8_t*>(LockResource(LoadResource(TestModule(), res)));
        EXPECT_EQ(Bytes(p, p + 11), (Bytes{'p', 'a', 'y', 'l', 'o', 'a', 'd', 0x0B, 0x0A, 0, 0}));
    }
    EXPECT_NE(FindResourceW(TestModule(), L"payload", L"#10"), nullptr);
    EXPECT_NE(FindResourceExW(TestModule(), L"#6", L"#77", 0), nullptr);  // block of 1220
}

TEST(ResourcesTest, DialogTemplateIsFoundByTypeAndId) {
    HRSRC res = FindResourceW(TestModule(), MAKEINTRESOURCE(123), RT_DIALOG);
    ASSERT_NE(res, nullptr);
    const auto* p = static_cast<const std::uint8_t*>(LockResource(LoadResource(TestModule(), res)));
    ASSERT_GE(SizeofResource(TestModule(), res), 26u);
    EXPECT_EQ(win::rsrc::ReadU16(p), 1);           // DLGTEMPLATEEX version
    EXPECT_EQ(win::rsrc::ReadU16(p + 2), 0xFFFF);  // and signature
    EXPECT_EQ(win::rsrc::ReadU16(p + 16), 1);      // one control
}

TEST(ResourcesTest, ConcurrentLookupsAgree) {
    HMODULE module = TestModule();
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const WORD language = (i + t) % 2 ? 0x0407 : 0x0411;
                HRSRC res = FindResourceExW(module, RT_STRING, MAKEINTRESOURCE(1), language);
                if (!res || BlockString(module, res, 1) != (language == 0x0407 ? L"eins" : L"one"))
                    ++wrong;
                const wchar_t* direct = nullptr;
                if (LoadStringW(module, 16, reinterpret_cast<wchar_t*>(&direct), 0) != 18)
                    ++wrong;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(ResourcesTest, FailuresSetThePlatformErrors) {
    EXPECT_EQ(FindResourceExW(TestModule(), MAKEINTRESOURCE(99), MAKEINTRESOURCE(1), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_EQ(FindResourceExW(TestModule(), RT_STRING, MAKEINTRESOURCE(300), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
    // This test program carries no resources.
    EXPECT_EQ(FindResourceExW(nullptr, RT_STRING, MAKEINTRESOURCE(1), 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
    int notAModule = 0;
    EXPECT_EQ(
        FindResourceExW(reinterpret_cast<HMODULE>(&notAModule), RT_STRING, MAKEINTRESOURCE(1), 0),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadResource(TestModule(), nullptr), nullptr);
    EXPECT_EQ(SizeofResource(TestModule(), nullptr), 0u);
}

class DamagedModuleTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("qm_res_" + std::to_string(getpid()));
        fs::create_directories(m_dir);
        std::ifstream in(kModulePath, std::ios::binary);
        m_original.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ASSERT_FALSE(m_original.empty());
        static const std::uint8_t kMagic[] = {'Q', 'M', 'R', 'S'};
        auto it =
            std::search(m_original.begin(), m_original.end(), std::begin(kMagic), std::end(kMagic));
        ASSERT_NE(it, m_original.end());
        m_blob = static_cast<std::size_t>(it - m_original.begin());
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Write(const std::string& name, const Bytes& bytes) {
        std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // File offset of the section header whose data starts at the first blob
    // (ELF64: e_shoff at 0x28, e_shentsize at 0x3A, e_shnum at 0x3C; sh_offset at 0x18).
    std::size_t SectionHeader(const Bytes& b) {
        const std::uint64_t shoff = win::rsrc::ReadU64(&b[0x28]);
        const std::uint16_t entSize = win::rsrc::ReadU16(&b[0x3A]);
        const std::uint16_t count = win::rsrc::ReadU16(&b[0x3C]);
        for (std::uint16_t i = 0; i < count; ++i) {
            std::size_t at = static_cast<std::size_t>(shoff) + std::size_t{i} * entSize;
            if (win::rsrc::ReadU64(&b[at + 0x18]) == m_blob)
                return at;
        }
        ADD_FAILURE() << "no section header for the resource section";
        return 0;
    }
    void PutU32(Bytes& b, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

    fs::path m_dir;
    Bytes m_original;
    std::size_t m_blob = 0;  // file offset of the first blob
};

TEST_F(DamagedModuleTest, IntactCopyHasItsResources) {
    std::uint32_t error = 0;
    auto image = win::ResourceImageOfFile(Write("intact.so", m_original), &error);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->Entries().size(), 10u);
}

TEST_F(DamagedModuleTest, DamagedSectionsCountAsMissing) {
    const std::size_t entry0 = m_blob + win::rsrc::kHeaderSize;
    struct Case {
        const char* defect;
        std::function<void(Bytes&)> damage;
    } cases[] = {
        {"section size past the end of the file",
         [&](Bytes& b) { PutU32(b, SectionHeader(b) + 0x20, 0x00F00000); }},
        {"section offset past the end of the file",
         [&](Bytes& b) { PutU32(b, SectionHeader(b) + 0x18, 0x7FFFFFF0); }},
        {"bad magic", [&](Bytes& b) { b[m_blob] ^= 0xFF; }},
        {"unknown version", [&](Bytes& b) { b[m_blob + win::rsrc::kHdrVersion] = 2; }},
        {"entry count past the blob",
         [&](Bytes& b) { PutU32(b, m_blob + win::rsrc::kHdrEntryCount, 0xFFFFFFFF); }},
        {"blob size past the section",
         [&](Bytes& b) { PutU32(b, m_blob + win::rsrc::kHdrBlobSize, 0x7FFFFFF0); }},
        {"data offset past the blob",
         [&](Bytes& b) { PutU32(b, entry0 + win::rsrc::kEntDataOffset, 0x00FFFFF0); }},
        {"data size past the blob",
         [&](Bytes& b) { PutU32(b, entry0 + win::rsrc::kEntDataSize, 0xFFFFFFF0); }},
        {"name offset past the blob",
         [&](Bytes& b) { PutU32(b, entry0 + win::rsrc::kEntName, 0x8000FFFF); }},
        {"ordinal above 16 bits",
         [&](Bytes& b) { PutU32(b, entry0 + win::rsrc::kEntType, 0x00010006); }},
    };
    int n = 0;
    for (const auto& c : cases) {
        Bytes b = m_original;
        c.damage(b);
        std::uint32_t error = 0;
        auto image =
            win::ResourceImageOfFile(Write("damaged" + std::to_string(n++) + ".so", b), &error);
        ASSERT_NE(image, nullptr) << c.defect;
        EXPECT_TRUE(image->Empty()) << c.defect;
    }
}

TEST_F(DamagedModuleTest, CutFileHasNoResources) {
    for (std::size_t len : {m_blob + 40, m_original.size() - 1}) {
        Bytes b(m_original.begin(), m_original.begin() + static_cast<std::ptrdiff_t>(len));
        std::uint32_t error = 0;
        auto image =
            win::ResourceImageOfFile(Write("cut" + std::to_string(len) + ".so", b), &error);
        // The section headers sit at the end of the file: without them the
        // file is no readable module.
        EXPECT_EQ(image, nullptr);
        EXPECT_EQ(error, ERROR_BAD_FORMAT);
    }
}

TEST_F(DamagedModuleTest, NonModuleFilesFailAsBadFormat) {
    std::uint32_t error = 0;
    EXPECT_EQ(win::ResourceImageOfFile(Write("text.so", Bytes{'h', 'i'}), &error), nullptr);
    EXPECT_EQ(error, ERROR_BAD_FORMAT);
    Bytes header(m_original.begin(), m_original.begin() + 64);
    EXPECT_EQ(win::ResourceImageOfFile(Write("header-only.so", header), &error), nullptr);
    EXPECT_EQ(error, ERROR_BAD_FORMAT);
    EXPECT_EQ(win::ResourceImageOfFile((m_dir / "missing.so").string(), &error), nullptr);
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
}

TEST_F(DamagedModuleTest, EveryCutOfTheSectionIsWholeOrMissing) {
    Bytes section;
    std::uint32_t error = 0;
    ASSERT_TRUE(win::ReadElfSection(kModulePath, ".qmrsrc", section, &error));
    const std::size_t whole = win::ResourceImage::FromSection(section)->Entries().size();
    ASSERT_GT(whole, 0u);
    const std::size_t blobSize = win::rsrc::ReadU32(&section[win::rsrc::kHdrBlobSize]);
    ASSERT_LE(blobSize, section.size());
    for (std::size_t len = 0; len <= section.size(); ++len) {
        Bytes cut(section.begin(), section.begin() + static_cast<std::ptrdiff_t>(len));
        auto image = win::ResourceImage::FromSection(std::move(cut));
        EXPECT_EQ(image->Entries().size(), len < blobSize ? 0u : whole) << len;
    }
    // Zero padding after a blob (alignment, sanitizer red zones) is skipped,
    // and a second blob is read as well.
    Bytes two = section;
    two.insert(two.end(), 32, 0);
    two.insert(two.end(), section.begin(), section.end());
    EXPECT_EQ(win::ResourceImage::FromSection(two)->Entries().size(), 2 * whole);
}

TEST_F(DamagedModuleTest, ChangedFileIsReadAgain) {
    std::string path = Write("changing.so", m_original);
    std::uint32_t error = 0;
    auto first = win::ResourceImageOfFile(path, &error);
    ASSERT_FALSE(first->Empty());
    Bytes b = m_original;
    b[m_blob] ^= 0xFF;
    b.push_back(0);  // a different size, whatever the clock's granularity
    Write("changing.so", b);
    auto second = win::ResourceImageOfFile(path, &error);
    EXPECT_TRUE(second->Empty());
    // Handles into the first image stay valid.
    EXPECT_FALSE(first->Empty());
    EXPECT_EQ(win::ResourceImageOfFile(path, &error), second);  // cached while unchanged
}

}  // namespace
