// The cabinet reader: the signature table, decrypting reads at any offset, the
// one-reader-per-thread rule, memory mode, and every failure it reports.
#include "Quillmere/cabinet/Extract.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/cabinet/testing/CabTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"

namespace Cabinet {
namespace {

using testing::Bytes;
using testing::ScratchUser;

constexpr TCOMP kAddInCompression = 0x1503;

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

class ExtractTest : public ::testing::Test {
protected:
    std::wstring Source(const std::wstring& name, const Bytes& data) {
        std::wstring path = L"C:\\src\\" + name;
        testing::WriteHostFile(ScratchUser::Host(path), data);
        return path;
    }
    void Pack(const std::wstring& cabinet, const std::vector<testing::PackSource>& sources,
              const std::wstring& key, TCOMP compression = kAddInCompression) {
        std::wstring error;
        ASSERT_TRUE(testing::PackFiles(cabinet, sources, key, compression, &error))
            << Narrow(error);
    }
    // Extracts with a fresh reader; returns the result and the error text.
    bool Unpack(const std::wstring& cabinet, const std::wstring& target, const std::string& key,
                std::wstring* text) {
        CExtract reader;
        reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        reader.AllocateBuffer();
        EXPECT_TRUE(reader.CreateFDIContext());
        bool ok = reader.ExtractFile(cabinet.c_str(), target.c_str(), 0);
        *text = reader.GetLastErrorText();
        EXPECT_TRUE(reader.CleanUp());
        return ok;
    }

    ScratchUser m_user;
};

struct SignatureRow {
    const char* file;  // "plain", "crypt" or "other"
    const char* key;
    bool ok;
    const wchar_t* text;
};

TEST_F(ExtractTest, SignatureTable) {
    Bytes item = testing::MailText(1, 4000);
    std::wstring source = Source(L"item.msg", item);
    Pack(L"C:\\cabs\\plain.zuf", {{source, L"sync.msg"}}, L"");
    Pack(L"C:\\cabs\\crypt.zuf", {{source, L"sync.msg"}}, L"pw");
    Bytes other = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\plain.zuf"));
    std::memcpy(other.data(), "MSCX", 4);
    testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\other.zuf"), other);
    const SignatureRow rows[] = {
        {"plain", "", true, L"Success"},
        {"plain", "pw", false, L"The CAB archive is not encrypted but a decryption key was set."},
        {"crypt", "pw", true, L"Success"},
        {"crypt", "", false, L"The CAB archive is encrypted but no decryption key was set."},
        {"other", "", false, L"The file is not a cabinet"},
        {"other", "pw", false, L"The file is not a cabinet"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.file) + " key '" + row.key + "'");
        std::wstring file(row.file, row.file + std::strlen(row.file));
        std::wstring target = L"C:\\out\\sig" + std::to_wstring(n++);
        std::wstring text;
        EXPECT_EQ(Unpack(L"C:\\cabs\\" + file + L".zuf", target, row.key, &text), row.ok);
        EXPECT_EQ(text, row.text);
        std::string extracted = ScratchUser::Host(target + L"\\sync.msg");
        EXPECT_EQ(testing::HostFileExists(extracted), row.ok);
        if (row.ok) {
            EXPECT_TRUE(testing::ReadHostFile(extracted) == item);
        }
    }
}

// Reaches the reader's cabinet file access directly, as the library does.
class ProbeExtract : public CExtract {
public:
    using CExtract::OpenCabinetFile;
    using CExtract::ReadCabinetFile;
    using CExtract::SeekCabinetFile;
};

TEST_F(ExtractTest, DecryptingReadsAtAnyOffsetAndLength) {
    std::wstring source = Source(L"big.bin", testing::RandomBytes(2, 200000));
    Pack(L"C:\\cabs\\plain.zuf", {{source, L"sync.msg"}}, L"", tcompTYPE_NONE);
    Pack(L"C:\\cabs\\crypt.zuf", {{source, L"sync.msg"}}, L"key", tcompTYPE_NONE);
    Bytes plain = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\plain.zuf"));
    ProbeExtract reader;
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>("key"), 3);
    reader.AllocateBuffer();
    INT_PTR handle = reader.OpenCabinetFile(L"C:\\cabs\\crypt.zuf", _O_BINARY | _O_RDONLY);
    ASSERT_NE(handle, -1);

    auto readAt = [&](std::uint32_t offset, UINT count) {
        Bytes out(count);
        EXPECT_EQ(reader.SeekCabinetFile(handle, static_cast<LONG>(offset), 0),
                  static_cast<LONG>(offset));
        EXPECT_EQ(reader.ReadCabinetFile(handle, out.data(), count), count);
        return out;
    };
    // Three bytes at 53 all lie in the plain header; three at 54 take two
    // plain bytes and the first decrypted byte of the block at 56.
    EXPECT_TRUE(readAt(53, 3) == Bytes(plain.begin() + 53, plain.begin() + 56));
    EXPECT_TRUE(readAt(54, 3) == Bytes(plain.begin() + 54, plain.begin() + 57));
    // The signature is handed on as the plain cabinet's.
    EXPECT_TRUE(readAt(0, 60) == Bytes(plain.begin(), plain.begin() + 60));

    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i) {
        std::uint32_t offset = random() % static_cast<std::uint32_t>(plain.size());
        UINT limit = static_cast<UINT>(plain.size() - offset);
        UINT count = 1 + random() % (i % 10 == 0 ? limit : std::min<UINT>(limit, 300));
        SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(count));
        ASSERT_TRUE(readAt(offset, count) ==
                    Bytes(plain.begin() + offset, plain.begin() + offset + count));
    }
    // Sequential reads carry on from the recorded position.
    readAt(10, 1);
    Bytes next(100);
    ASSERT_EQ(reader.ReadCabinetFile(handle, next.data(), 100), 100u);
    EXPECT_TRUE(next == Bytes(plain.begin() + 11, plain.begin() + 111));
    _close(static_cast<int>(handle));
}

TEST_F(ExtractTest, OneReaderPerThread) {
    CExtract first;
    CExtract second;
    ASSERT_TRUE(first.CreateFDIContext());
    EXPECT_FALSE(second.CreateFDIContext());
    EXPECT_STREQ(second.GetLastErrorText(),
                 L"There must be only one CExtract instance per thread at the same time! Call "
                 L"CleanUp() before you use another instance in the same thread!");
    // A reader on another thread is independent.
    BOOL elsewhere = FALSE;
    std::thread other([&] {
        CExtract third;
        elsewhere = third.CreateFDIContext() && third.CleanUp();
    });
    other.join();
    EXPECT_TRUE(elsewhere);
    // Cleaning up a reader that holds no context leaves the other's claim alone.
    EXPECT_TRUE(second.CleanUp());
    EXPECT_FALSE(second.CreateFDIContext());
    ASSERT_TRUE(first.CleanUp());
    EXPECT_TRUE(second.CreateFDIContext());
    EXPECT_TRUE(second.CleanUp());
}

TEST_F(ExtractTest, ForeignThreadGets1011) {
    CExtract reader;
    BOOL created = TRUE;
    BOOL extracted = TRUE;
    BOOL cleaned = TRUE;
    std::thread other([&] {
        created = reader.CreateFDIContext();
        extracted = reader.ExtractFile(L"C:\\cabs\\x.cab", L"C:\\out", 0);
        cleaned = reader.CleanUp();
    });
    other.join();
    EXPECT_FALSE(created);
    EXPECT_FALSE(extracted);
    EXPECT_FALSE(cleaned);
    EXPECT_STREQ(reader.GetLastErrorText(),
                 L"Cabinet.dll does not support calling the same CAB context from two different "
                 L"threads.");
}

TEST_F(ExtractTest, InvalidParametersGive1002) {
    std::wstring source = Source(L"p.txt", testing::MailText(3, 100));
    Pack(L"C:\\cabs\\p.zuf", {{source, L"p.txt"}}, L"");
    struct Case {
        const wchar_t* cabinet;
        const wchar_t* target;
        bool ok;
    };
    const Case cases[] = {{L"C:\\cabs\\p.zuf", L"ab", false},
                          {L"C:\\cabs\\p", L"C:\\out", false},
                          {L"p.zuf", L"C:\\out", false},
                          {L"C:\\cabs\\p.zuf", L"C:\\out", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.cabinet) + " " + Narrow(c.target));
        std::wstring text;
        EXPECT_EQ(Unpack(c.cabinet, c.target, "", &text), c.ok);
        if (!c.ok) {
            EXPECT_EQ(text,
                      L"Invalid parameters passed to extraction function. Read the "
                      L"documentation!");
        }
    }
}

class MissingLibraryExtract : public CExtract {
protected:
    const wchar_t* CabinetLibraryName() const override { return L"NoSuchCabinet.dll"; }
};

TEST_F(ExtractTest, MissingLibraryGives1000) {
    MissingLibraryExtract reader;
    EXPECT_FALSE(reader.CreateFDIContext());
    EXPECT_STREQ(reader.GetLastErrorText(), L"Could not load Cabinet.dll");
    EXPECT_TRUE(reader.CleanUp());
}

TEST_F(ExtractTest, MissingCabinetGivesError1) {
    std::wstring text;
    EXPECT_FALSE(Unpack(L"C:\\cabs\\missing.cab", L"C:\\out", "", &text));
    EXPECT_EQ(text.substr(0, 48), L"Cabinet file (or part of splitted CAB) not found");
}

std::vector<std::wstring> g_memoryNames;
Bytes g_memoryData;

BOOL NoteName(const wchar_t* path, const wchar_t* name, LONG, std::uintptr_t) {
    g_memoryNames.push_back(name);
    return TRUE;
}

void KeepData(const wchar_t*, const BYTE* data, DWORD size, std::uintptr_t) {
    g_memoryData.assign(data, data + size);
}

TEST_F(ExtractTest, MemoryTargetExtractsIntoTheBuffer) {
    Bytes item = testing::MailText(4, 50000);
    std::wstring source = Source(L"m.txt", item);
    Pack(L"C:\\cabs\\m.zuf", {{source, L"sync.msg"}}, L"pw");
    CExtract reader;
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>("pw"), 2);
    reader.AllocateBuffer();
    reader.SetBeforeFileCallback(NoteName);
    reader.SetAfterFileCallback(KeepData);
    ASSERT_TRUE(reader.CreateFDIContext());
    ASSERT_TRUE(reader.ExtractFile(L"C:\\cabs\\m.zuf", L"memory\\", 0))
        << Narrow(reader.GetLastErrorText());
    EXPECT_TRUE(g_memoryData == item);
    EXPECT_TRUE(Bytes(reader.MemoryData(), reader.MemoryData() + reader.MemorySize()) == item);
    EXPECT_EQ(g_memoryNames, std::vector<std::wstring>{L"sync.msg"});
    EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\memory")));
    EXPECT_TRUE(reader.CleanUp());
}

TEST_F(ExtractTest, ReadOnlyTargetIsReplacedAndGetsStoredAttributesAndTime) {
    Bytes item = testing::MailText(5, 1000);
    std::wstring source = Source(L"ro.txt", item);
    SYSTEMTIME st = {2021, 3, 0, 14, 15, 9, 26, 0};
    FILETIME stamp = {};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &stamp));
    HANDLE file = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
    CloseHandle(file);
    ASSERT_TRUE(
        SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    Pack(L"C:\\cabs\\ro.zuf", {{source, L"sync.msg"}}, L"");

    std::wstring target = L"C:\\out\\ro\\sync.msg";
    testing::WriteHostFile(ScratchUser::Host(target), Bytes{'o', 'l', 'd'});
    ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
    std::wstring text;
    ASSERT_TRUE(Unpack(L"C:\\cabs\\ro.zuf", L"C:\\out\\ro", "", &text)) << Narrow(text);
    EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(target)) == item);
    DWORD attributes = GetFileAttributesW(target.c_str());
    EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    HANDLE extracted = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(extracted, INVALID_HANDLE_VALUE);
    FILETIME written = {};
    ASSERT_TRUE(GetFileTime(extracted, nullptr, nullptr, &written));
    CloseHandle(extracted);
    SYSTEMTIME back = {};
    FileTimeToSystemTime(&written, &back);
    EXPECT_EQ(back.wYear, 2021);
    EXPECT_EQ(back.wMonth, 3);
    EXPECT_EQ(back.wDay, 14);
    EXPECT_EQ(back.wHour, 15);
    EXPECT_EQ(back.wMinute, 9);
    EXPECT_EQ(back.wSecond, 26);
}

CExtract* g_aborting = nullptr;

void AbortOnFirstProgress(const wchar_t*, const wchar_t* name, DWORD, DWORD written, double,
                          std::uintptr_t) {
    if (written > 0 && std::wcscmp(name, L"second.bin") == 0) {
        g_aborting->Abort();
    }
}

TEST_F(ExtractTest, AbortLeavesNoPartialFile) {
    std::wstring first = Source(L"first.txt", testing::MailText(6, 1000));
    std::wstring second = Source(L"second.bin", testing::RandomBytes(7, 300000));
    Pack(L"C:\\cabs\\ab.zuf", {{first, L"first.txt"}, {second, L"second.bin"}}, L"pw");
    CExtract reader;
    g_aborting = &reader;
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>("pw"), 2);
    reader.AllocateBuffer();
    reader.SetProgressCallback(AbortOnFirstProgress);
    ASSERT_TRUE(reader.CreateFDIContext());
    EXPECT_FALSE(reader.ExtractFile(L"C:\\cabs\\ab.zuf", L"C:\\out\\ab", 0));
    EXPECT_STREQ(reader.GetLastErrorText(), L"User aborted");
    EXPECT_TRUE(reader.CleanUp());
    EXPECT_TRUE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\ab\\first.txt")));
    EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\ab\\second.bin")));
}

// Cut short anywhere, or with a damaged data block, a cabinet fails with its
// code in bounded time; the files completed before stay, and no partly
// written file is left behind.
TEST_F(ExtractTest, CorruptOrTruncatedCabinetLeavesNoPartialFile) {
    const Bytes firstData = testing::MailText(8, 1000);
    const Bytes secondData = testing::MailText(9, 400000);
    const Bytes thirdData = testing::RandomBytes(18, 70000);
    std::wstring first = Source(L"first.txt", firstData);
    std::wstring second = Source(L"second.txt", secondData);
    std::wstring third = Source(L"third.bin", thirdData);
    const std::vector<std::pair<std::string, const Bytes*>> sources = {
        {"first.txt", &firstData}, {"second.txt", &secondData}, {"third.bin", &thirdData}};
    constexpr DWORD kBoundMs = 10000;
    int completeFiles = 0;
    for (TCOMP type : {tcompTYPE_MSZIP, kAddInCompression}) {
        for (const std::string key : {"", "pw"}) {
            SCOPED_TRACE("type " + std::to_string(type) + " key '" + key + "'");
            std::wstring wideKey(key.begin(), key.end());
            Pack(L"C:\\cabs\\c.zuf",
                 {{first, L"first.txt"}, {second, L"second.txt"}, {third, L"third.bin"}}, wideKey,
                 type);
            const Bytes whole = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\c.zuf"));
            struct Broken {
                std::string label;
                Bytes bytes;
                const wchar_t* text;
            };
            std::vector<Broken> cases;
            for (std::size_t cut : {std::size_t{2}, std::size_t{20}, std::size_t{55},
                                    std::size_t{57}, std::size_t{100}}) {
                cases.push_back({"cut at " + std::to_string(cut),
                                 Bytes(whole.begin(), whole.begin() + cut),
                                 cut < 4 ? L"The file is not a cabinet" : L"Corrupt cabinet"});
            }
            for (int eighth = 1; eighth < 8; ++eighth) {
                std::size_t cut = whole.size() * eighth / 8;
                cases.push_back({"cut at " + std::to_string(cut),
                                 Bytes(whole.begin(), whole.begin() + cut), L"Corrupt cabinet"});
                Bytes flipped = whole;
                flipped[cut] ^= 0x5A;
                if (!key.empty()) {
                    // Damage the plain data rather than the cipher text.
                    CBlowfish cipher;
                    cipher.SetKey(reinterpret_cast<const BYTE*>(key.data()),
                                  static_cast<DWORD>(key.size()));
                    flipped = whole;
                    cipher.DecryptBlocks(flipped.data() + 56, (flipped.size() - 56) / 8);
                    flipped[cut] ^= 0x5A;
                    cipher.EncryptBlocks(flipped.data() + 56, (flipped.size() - 56) / 8);
                }
                cases.push_back({"flip at " + std::to_string(cut), flipped, L"Corrupt cabinet"});
            }
            for (const auto& c : cases) {
                SCOPED_TRACE(c.label);
                testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\broken.zuf"), c.bytes);
                testing::RunCommand("rm -rf " + ScratchUser::Host(L"C:\\out\\c"));
                std::wstring text;
                DWORD start = GetTickCount();
                EXPECT_FALSE(Unpack(L"C:\\cabs\\broken.zuf", L"C:\\out\\c", key, &text));
                EXPECT_LT(GetTickCount() - start, kBoundMs);
                EXPECT_EQ(text, c.text);
                // Whatever is there is complete.
                std::string out = ScratchUser::Host(L"C:\\out\\c");
                for (const auto& name : testing::ListHostFiles(out)) {
                    auto source = std::find_if(sources.begin(), sources.end(),
                                               [&](const auto& s) { return s.first == name; });
                    ASSERT_NE(source, sources.end()) << name;
                    EXPECT_TRUE(testing::ReadHostFile(out + "/" + name) == *source->second)
                        << name << " was left partly written";
                    ++completeFiles;
                }
            }
        }
    }
    // Later cuts leave the files before them.
    EXPECT_GT(completeFiles, 0);
}

// Stored names are joined to the target directory; one that is absolute,
// names a drive (or a stream) or climbs out with ".." is not written, that
// file fails with 8, and the others before and after it extract.
TEST_F(ExtractTest, NamesThatWouldLeaveTheTargetFailWith8WhileTheOthersExtract) {
    Bytes good = testing::MailText(10, 500);
    std::wstring ok1 = Source(L"ok1.txt", good);
    std::wstring ok2 = Source(L"ok2.txt", good);
    std::wstring bad = Source(L"bad.txt", testing::MailText(11, 500));
    const wchar_t* badNames[] = {L"\\abs.txt",
                                 L"/abs.txt",
                                 L"\\\\server\\share\\unc.txt",
                                 L"C:\\drive.txt",
                                 L"C:drive.txt",
                                 L"ab:stream.txt",
                                 L"..\\up.txt",
                                 L"../up.txt",
                                 L"sub/../../up.txt",
                                 L"sub\\..\\..\\..\\up.txt",
                                 L"..\\..\\..\\..\\..\\..\\..\\deep.txt",
                                 L"..",
                                 L".. \\escape.txt",
                                 L"sub\\...\\x.txt"};
    const std::wstring expected = L"Failure writing to target file\nError 123: ";
    for (const wchar_t* badName : badNames) {
        SCOPED_TRACE(Narrow(badName));
        Pack(L"C:\\cabs\\walk.zuf", {{ok1, L"ok1.txt"}, {bad, badName}, {ok2, L"sub/ok2.txt"}},
             L"");
        testing::RunCommand("rm -rf " + ScratchUser::Host(L"C:\\out"));
        std::wstring text;
        EXPECT_FALSE(Unpack(L"C:\\cabs\\walk.zuf", L"C:\\out\\walk", "", &text));
        EXPECT_EQ(text.substr(0, expected.size()), expected);
        // Nothing anywhere on the drive but the sources, the cabinet and the
        // two good files.
        std::vector<std::string> written;
        for (const auto& name : testing::ListHostFiles(ScratchUser::Host(L"C:\\"))) {
            if (name.rfind("src/", 0) != 0 && name.rfind("cabs/", 0) != 0) {
                written.push_back(name);
            }
        }
        EXPECT_EQ(written, (std::vector<std::string>{"out/walk/ok1.txt", "out/walk/sub/ok2.txt"}));
        for (const auto& name : testing::ListHostFiles(m_user.Root())) {
            EXPECT_EQ(name.rfind("user/drive_c/", 0), 0u) << name;
        }
    }
}

TEST_F(ExtractTest, EveryExtractionMakesTheDirectoriesItsFilesNeed) {
    // Files alternate between directories, and the second extraction by the
    // same reader finds the tree of the first removed.
    std::wstring a = Source(L"a.txt", testing::MailText(12, 300));
    std::wstring b = Source(L"b.txt", testing::MailText(13, 300));
    Pack(L"C:\\cabs\\tree.zuf",
         {{a, L"one/a.txt"}, {b, L"one/b.txt"}, {a, L"two/a.txt"}, {b, L"one/c.txt"}}, L"");
    const std::vector<std::string> all = {"one/a.txt", "one/b.txt", "one/c.txt", "two/a.txt"};
    CExtract reader;
    reader.AllocateBuffer();
    ASSERT_TRUE(reader.CreateFDIContext());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        testing::RunCommand("rm -rf " + ScratchUser::Host(L"C:\\out"));
        EXPECT_TRUE(reader.ExtractFile(L"C:\\cabs\\tree.zuf", L"C:\\out", 0))
            << Narrow(reader.GetLastErrorText());
        EXPECT_EQ(testing::ListHostFiles(ScratchUser::Host(L"C:\\out")), all);
    }
    EXPECT_TRUE(reader.CleanUp());
}

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) |
           (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Defects of a sound cabinet and the library codes the reader reports for them.
TEST_F(ExtractTest, DamagedCabinetsGiveTheLibraryCodes) {
    std::wstring source = Source(L"d.txt", testing::MailText(13, 20000));
    Pack(L"C:\\cabs\\sound.cab", {{source, L"d.txt"}}, L"", tcompTYPE_MSZIP);
    const Bytes sound = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\sound.cab"));
    // Offsets of the header fields and of the first data block.
    constexpr std::size_t kVersionMinor = 24;
    constexpr std::size_t kFirstFolder = 36;
    std::size_t data = Le32(sound, kFirstFolder);
    std::size_t payload = data + 8;

    Bytes version = sound;
    version[kVersionMinor] = 9;
    Bytes checksum = sound;
    checksum[payload + 100] ^= 0xFF;
    Bytes undecodable = sound;
    std::fill(undecodable.begin() + data, undecodable.begin() + data + 4, 0);  // no checksum
    for (std::size_t i = payload + 2; i < payload + 40; ++i) {
        undecodable[i] = 0xFF;
    }
    struct Case {
        const char* label;
        const Bytes* bytes;
        const wchar_t* text;
    };
    const Case cases[] = {{"version", &version, L"Unknown cabinet version"},
                          {"checksum", &checksum, L"Corrupt cabinet"},
                          {"deflate", &undecodable, L"Failure decompressing data"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\damaged.cab"), *c.bytes);
        std::wstring text;
        EXPECT_FALSE(Unpack(L"C:\\cabs\\damaged.cab", L"C:\\out\\damaged", "", &text));
        EXPECT_EQ(text, c.text);
        EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\damaged\\d.txt")));
    }
}

TEST_F(ExtractTest, PartOfAnotherSetGivesError10) {
    std::wstring source = Source(L"s.bin", testing::RandomBytes(14, 70000));
    for (USHORT setId : {1, 2}) {
        CCompress writer;
        std::wstring pattern = L"C:\\set" + std::to_wstring(setId) + L"\\part%d.cab";
        ASSERT_TRUE(writer.CreateFCIContext(pattern.c_str(), TRUE, TRUE, 30000, setId, 0));
        ASSERT_TRUE(writer.AddFile(source.c_str(), L"s.bin", tcompTYPE_NONE));
        ASSERT_TRUE(writer.CleanUp());
    }
    // The second part of set 1 is replaced by the second part of set 2.
    testing::WriteHostFile(ScratchUser::Host(L"C:\\set1\\part2.cab"),
                           testing::ReadHostFile(ScratchUser::Host(L"C:\\set2\\part2.cab")));
    std::wstring text;
    EXPECT_FALSE(Unpack(L"C:\\set1\\part1.cab", L"C:\\out\\set", "", &text));
    EXPECT_EQ(text, L"Cabinet returned on fdintNEXT_CABINET is incorrect");
    EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\set\\s.bin")));
}

void AddLe32(Bytes& b, std::size_t at, std::uint32_t add) {
    std::uint32_t v = Le32(b, at) + add;
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<BYTE>(v >> (8 * i));
    }
}

// Header fields of a cabinet: its size, the offset of the file entries, the
// folder count, the flags, and the end of the fixed header, where the folder
// entries (or the reserve fields) begin.
constexpr std::size_t kCabSize = 8;
constexpr std::size_t kCabFilesOffset = 16;
constexpr std::size_t kCabFolderCount = 26;
constexpr std::size_t kCabFlags = 30;
constexpr std::size_t kCabFixedHeader = 36;
constexpr std::size_t kFolderEntry = 8;

// Inserts `bytes` right after the fixed header and moves every offset that
// points behind it.
void InsertAfterFixedHeader(Bytes& cab, const Bytes& bytes) {
    const auto grow = static_cast<std::uint32_t>(bytes.size());
    AddLe32(cab, kCabSize, grow);
    AddLe32(cab, kCabFilesOffset, grow);
    std::size_t folders = cab[kCabFolderCount] | (cab[kCabFolderCount + 1] << 8);
    std::size_t firstFolder = kCabFixedHeader;
    if ((cab[kCabFlags] & 0x0004) != 0) {
        firstFolder += 4 + (cab[kCabFixedHeader] | (cab[kCabFixedHeader + 1] << 8));
    }
    // Folder entries follow the reserve and the names of the set's neighbours.
    std::size_t at = firstFolder;
    for (int names = (cab[kCabFlags] & 0x0001 ? 2 : 0) + (cab[kCabFlags] & 0x0002 ? 2 : 0);
         names > 0; --names) {
        while (cab[at] != 0) {
            ++at;
        }
        ++at;
    }
    for (std::size_t f = 0; f < folders; ++f) {
        AddLe32(cab, at + kFolderEntry * f, grow);
    }
    cab.insert(cab.begin() + kCabFixedHeader, bytes.begin(), bytes.end());
}

TEST_F(ExtractTest, PartWithOtherReserveSizesGivesError9) {
    std::wstring source = Source(L"r.bin", testing::RandomBytes(16, 70000));
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\set\\part%d.cab", TRUE, TRUE, 30000, 7, 0));
    ASSERT_TRUE(writer.AddFile(source.c_str(), L"r.bin", tcompTYPE_NONE));
    ASSERT_TRUE(writer.CleanUp());
    // The second part gets a header reserve of four bytes that the first lacks.
    Bytes second = testing::ReadHostFile(ScratchUser::Host(L"C:\\set\\part2.cab"));
    ASSERT_EQ(second[kCabFlags] & 0x0004, 0);
    InsertAfterFixedHeader(second, Bytes{4, 0, 0, 0, 'r', 's', 'v', 'd'});
    second[kCabFlags] |= 0x0004;
    testing::WriteHostFile(ScratchUser::Host(L"C:\\set\\part2.cab"), second);
    std::wstring text;
    EXPECT_FALSE(Unpack(L"C:\\set\\part1.cab", L"C:\\out\\reserve", "", &text));
    EXPECT_EQ(text, L"Cabinets in set have different RESERVE sizes");
    EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\reserve\\r.bin")));
}

// A declared size that no buffer can hold (memory mode) fails with 5 before
// anything is allocated, instead of wrapping the buffer size around.
TEST_F(ExtractTest, OversizedFileInMemoryGivesError5) {
    std::wstring source = Source(L"big.txt", testing::MailText(17, 3000));
    Pack(L"C:\\cabs\\big.zuf", {{source, L"sync.msg"}}, L"pw", tcompTYPE_MSZIP);
    Bytes cab = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\big.zuf"));
    // The file entry lies in the encrypted part: decrypt, patch, encrypt.
    CBlowfish cipher;
    cipher.SetKey(reinterpret_cast<const BYTE*>("pw"), 2);
    cipher.DecryptBlocks(cab.data() + 56, (cab.size() - 56) / 8);
    std::size_t files = Le32(cab, kCabFilesOffset);
    for (std::uint32_t size : {0xFFFFFFFFu, 0x7FFF0001u}) {
        SCOPED_TRACE(size);
        Bytes patched = cab;
        AddLe32(patched, files, size - Le32(cab, files));
        cipher.EncryptBlocks(patched.data() + 56, (patched.size() - 56) / 8);
        testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\huge.zuf"), patched);
        CExtract reader;
        reader.Cipher().SetKey(reinterpret_cast<const BYTE*>("pw"), 2);
        reader.AllocateBuffer();
        ASSERT_TRUE(reader.CreateFDIContext());
        EXPECT_FALSE(reader.ExtractFile(L"C:\\cabs\\huge.zuf", L"MEMORY", 0));
        std::wstring text = reader.GetLastErrorText();
        EXPECT_EQ(text.substr(0, 34), L"Memory allocation failed\nError 8: ") << Narrow(text);
        EXPECT_EQ(reader.MemorySize(), 0u);
        EXPECT_TRUE(reader.CleanUp());
    }
}

// A cabinet that names itself as the next one of its set: the reader follows
// the set no further than once around.
TEST_F(ExtractTest, SetThatNamesItsOwnCabinetAgainEnds) {
    Bytes item = testing::MailText(15, 3000);
    std::wstring source = Source(L"loop.txt", item);
    Pack(L"C:\\cabs\\self.cab", {{source, L"loop.txt"}}, L"", tcompTYPE_MSZIP);
    Bytes cab = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\self.cab"));
    constexpr std::size_t kSize = 8, kFiles = 16, kFolderCount = 26, kFlags = 30, kHeader = 36;
    constexpr std::uint16_t kFlagNextCabinet = 0x0002;
    const std::string names("self.cab\0disk\0", 14);
    auto addLe32 = [&](std::size_t at, std::uint32_t add) {
        std::uint32_t v = Le32(cab, at) + add;
        for (int i = 0; i < 4; ++i) {
            cab[at + i] = static_cast<BYTE>(v >> (8 * i));
        }
    };
    ASSERT_EQ(cab[kFlags] & kFlagNextCabinet, 0);
    cab[kFlags] |= kFlagNextCabinet;
    addLe32(kSize, static_cast<std::uint32_t>(names.size()));
    addLe32(kFiles, static_cast<std::uint32_t>(names.size()));
    for (std::size_t f = 0; f < cab[kFolderCount]; ++f) {
        addLe32(kHeader + 8 * f, static_cast<std::uint32_t>(names.size()));
    }
    cab.insert(cab.begin() + kHeader, names.begin(), names.end());
    testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\self.cab"), cab);
    std::wstring text;
    EXPECT_FALSE(Unpack(L"C:\\cabs\\self.cab", L"C:\\out\\self", "", &text));
    EXPECT_EQ(text, L"Cabinet returned on fdintNEXT_CABINET is incorrect");
    EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(L"C:\\out\\self\\loop.txt")) == item);
}

// A received cabinet may name a next part of its set; only a bare file name
// beside it is followed, never a path that leads elsewhere.
TEST_F(ExtractTest, NextCabinetOutsideTheCabinetsDirectoryIsNotOpened) {
    std::wstring other = Source(L"escaped.txt", testing::MailText(16, 500));
    Pack(L"C:\\elsewhere\\other.cab", {{other, L"escaped.txt"}}, L"", tcompTYPE_NONE);
    Pack(L"C:\\cabs\\sub\\other.cab", {{other, L"escaped.txt"}}, L"", tcompTYPE_NONE);
    Bytes item = testing::MailText(17, 300);
    std::wstring source = Source(L"first.txt", item);
    for (const char* next :
         {"..\\elsewhere\\other.cab", "../elsewhere/other.cab", "C:\\elsewhere\\other.cab",
          "\\elsewhere\\other.cab", "sub\\other.cab", ".."}) {
        SCOPED_TRACE(next);
        Pack(L"C:\\cabs\\first.cab", {{source, L"first.txt"}}, L"", tcompTYPE_NONE);
        Bytes cab = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\first.cab"));
        constexpr std::size_t kSize = 8, kFiles = 16, kFolderCount = 26, kFlags = 30, kHeader = 36;
        const std::string names = std::string(next) + '\0' + "disk" + '\0';
        auto addLe32 = [&](std::size_t at, std::uint32_t add) {
            std::uint32_t v = Le32(cab, at) + add;
            for (int i = 0; i < 4; ++i) {
                cab[at + i] = static_cast<BYTE>(v >> (8 * i));
            }
        };
        cab[kFlags] |= 0x0002;  // a next cabinet follows
        addLe32(kSize, static_cast<std::uint32_t>(names.size()));
        addLe32(kFiles, static_cast<std::uint32_t>(names.size()));
        for (std::size_t f = 0; f < cab[kFolderCount]; ++f) {
            addLe32(kHeader + 8 * f, static_cast<std::uint32_t>(names.size()));
        }
        cab.insert(cab.begin() + kHeader, names.begin(), names.end());
        testing::WriteHostFile(ScratchUser::Host(L"C:\\cabs\\first.cab"), cab);

        std::wstring text;
        EXPECT_FALSE(Unpack(L"C:\\cabs\\first.cab", L"C:\\out\\next", "", &text));
        EXPECT_EQ(text.substr(0, text.find(L'\n')),
                  L"Cabinet file (or part of splitted CAB) not found")
            << text;
        EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(L"C:\\out\\next\\first.txt")) == item);
        EXPECT_FALSE(testing::HostFileExists(ScratchUser::Host(L"C:\\out\\next\\escaped.txt")));
    }
}

TEST_F(ExtractTest, UnwritableTargetGives8WithTheWindowsError) {
    std::wstring source = Source(L"w.txt", testing::MailText(12, 100));
    Pack(L"C:\\cabs\\w.zuf", {{source, L"w.txt"}}, L"");
    testing::WriteHostFile(ScratchUser::Host(L"C:\\blocker"), Bytes{1});
    std::wstring text;
    EXPECT_FALSE(Unpack(L"C:\\cabs\\w.zuf", L"C:\\blocker\\out", "", &text));
    EXPECT_EQ(text.substr(0, 37), L"Failure writing to target file\nError ");
}

}  // namespace
}  // namespace Cabinet
