// The cabinet writer: its encrypted file layout and every failure it reports.
#include "Quillmere/cabinet/Compress.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/cabinet/CabinetModule.h"
#include "Quillmere/cabinet/testing/CabTestSupport.h"
#include "platform/win/Crt.h"
#include "platform/win/FormatMessage.h"
#include "platform/win/Threads.h"

namespace Cabinet {
namespace {

using testing::Bytes;
using testing::ScratchUser;

constexpr TCOMP kAddInCompression = 0x1503;
constexpr DWORD kNoSplit = 0x7FFFFFFF;

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

std::wstring SystemText(DWORD code) {
    wchar_t buffer[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, 512, nullptr);
    return n != 0 ? buffer : L"";
}

class CompressTest : public ::testing::Test {
protected:
    std::wstring Source(const std::wstring& name, const Bytes& data) {
        std::wstring path = L"C:\\src\\" + name;
        testing::WriteHostFile(ScratchUser::Host(path), data);
        return path;
    }

    // Packs one file with the add-in's parameters and returns the file bytes.
    Bytes Pack(const std::wstring& cabinet, const std::wstring& source, const std::string& key,
               TCOMP compression = kAddInCompression) {
        CCompress writer;
        writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        writer.AllocateBuffer();
        EXPECT_TRUE(writer.CreateFCIContext(cabinet.c_str(), TRUE, TRUE, kNoSplit, 23364, 0))
            << Narrow(writer.GetLastErrorText());
        EXPECT_TRUE(writer.AddFile(source.c_str(), L"sync.msg", compression))
            << Narrow(writer.GetLastErrorText());
        EXPECT_TRUE(writer.CleanUp()) << Narrow(writer.GetLastErrorText());
        return testing::ReadHostFile(ScratchUser::Host(cabinet));
    }

    ScratchUser m_user;
};

// The encrypted file is the plain cabinet with "CRYP" for "MSCF", bytes 4 to
// 55 unchanged and the rest in Blowfish blocks from offset 56, the last block
// completed with zeros.
TEST_F(CompressTest, EncryptedLayoutAndPaddingRule) {
    const std::string key = "folder password";
    CBlowfish cipher;
    cipher.SetKey(reinterpret_cast<const BYTE*>(key.data()), static_cast<DWORD>(key.size()));
    bool sawUnpadded = false;
    bool sawPadded = false;
    for (std::size_t size = 100; size < 108; ++size) {
        SCOPED_TRACE(size);
        std::wstring source = Source(L"item" + std::to_wstring(size), testing::MailText(1, size));
        Bytes plain = Pack(L"C:\\cabs\\plain.zuf", source, "", tcompTYPE_NONE);
        Bytes encrypted = Pack(L"C:\\cabs\\crypt.zuf", source, key, tcompTYPE_NONE);
        ASSERT_GT(plain.size(), 56u);
        std::size_t expected = 56 + (plain.size() - 56 + 7) / 8 * 8;
        ASSERT_EQ(encrypted.size(), expected);
        (plain.size() == encrypted.size() ? sawUnpadded : sawPadded) = true;
        EXPECT_EQ(std::string(plain.begin(), plain.begin() + 4), "MSCF");
        EXPECT_EQ(std::string(encrypted.begin(), encrypted.begin() + 4), "CRYP");
        EXPECT_TRUE(std::equal(plain.begin() + 4, plain.begin() + 56, encrypted.begin() + 4));
        Bytes decrypted(encrypted.begin() + 56, encrypted.end());
        cipher.DecryptBlocks(decrypted.data(), decrypted.size() / 8);
        Bytes padded(plain.begin() + 56, plain.end());
        padded.resize(decrypted.size(), 0);
        EXPECT_TRUE(decrypted == padded);
        // The size field still gives the unpadded cabinet length.
        std::uint32_t sizeField = encrypted[8] | (encrypted[9] << 8) | (encrypted[10] << 16) |
                                  (static_cast<std::uint32_t>(encrypted[11]) << 24);
        EXPECT_EQ(sizeField, plain.size());
    }
    EXPECT_TRUE(sawUnpadded);
    EXPECT_TRUE(sawPadded);
}

TEST_F(CompressTest, EmptyPasswordWritesThePlainCabinet) {
    std::wstring source = Source(L"a.txt", testing::MailText(2, 5000));
    Bytes withEmptyKey = Pack(L"C:\\cabs\\empty.zuf", source, "");
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\nokey.zuf", TRUE, TRUE, kNoSplit, 23364, 0));
    ASSERT_TRUE(writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression));
    ASSERT_TRUE(writer.CleanUp());
    Bytes withoutKey = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\nokey.zuf"));
    EXPECT_EQ(std::string(withEmptyKey.begin(), withEmptyKey.begin() + 4), "MSCF");
    EXPECT_TRUE(withEmptyKey == withoutKey);
}

TEST_F(CompressTest, PasswordsAgreeingInTheFirst72BytesGiveTheSameFile) {
    std::wstring source = Source(L"b.txt", testing::MailText(3, 3000));
    std::string longKey(100, 'k');
    std::string sameStart = longKey;
    sameStart[90] = 'z';
    std::string differs = longKey;
    differs[10] = 'z';
    Bytes a = Pack(L"C:\\cabs\\a.zuf", source, longKey);
    Bytes b = Pack(L"C:\\cabs\\b.zuf", source, sameStart);
    Bytes c = Pack(L"C:\\cabs\\c.zuf", source, differs);
    Bytes one = Pack(L"C:\\cabs\\one.zuf", source, "x");
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == c);
    EXPECT_FALSE(a == one);
    std::wstring error;
    EXPECT_TRUE(testing::UnpackFiles(L"C:\\cabs\\one.zuf", L"C:\\out\\one", L"x", &error))
        << Narrow(error);
    EXPECT_TRUE(testing::UnpackFiles(L"C:\\cabs\\a.zuf", L"C:\\out\\a",
                                     std::wstring(longKey.begin(), longKey.end()), &error))
        << Narrow(error);
}

// Reaches the writer's encrypting file layer directly, as the library does.
class ProbeCompress : public CCompress {
public:
    using CCompress::AddCabinetPath;
    using CCompress::CloseCabinetFile;
    using CCompress::OpenCabinetFile;
    using CCompress::SeekCabinetFile;
    using CCompress::WriteCabinetFile;
};

Bytes ExpectedEncryption(const Bytes& plain, const std::string& key) {
    CBlowfish cipher;
    cipher.SetKey(reinterpret_cast<const BYTE*>(key.data()), static_cast<DWORD>(key.size()));
    Bytes out = plain;
    std::memcpy(out.data(), "CRYP", 4);
    out.resize(56 + (out.size() - 56 + 7) / 8 * 8, 0);
    cipher.EncryptBlocks(out.data() + 56, (out.size() - 56) / 8);
    return out;
}

TEST_F(CompressTest, EncryptingWritesOfAnySizeAndPositionQueries) {
    const std::wstring path = L"C:\\cabs\\probe.zuf";
    testing::WriteHostFile(ScratchUser::Host(path), Bytes{});
    ProbeCompress writer;
    writer.Cipher().SetKey(reinterpret_cast<const BYTE*>("k"), 1);
    writer.AllocateBuffer();
    writer.AddCabinetPath(path.c_str());
    int error = 0;
    INT_PTR handle = writer.OpenCabinetFile(
        path.c_str(), _O_BINARY | _O_WRONLY | _O_CREAT | _O_TRUNC, _S_IREAD | _S_IWRITE, &error);
    ASSERT_NE(handle, -1);
    Bytes plain = testing::RandomBytes(12, 300001);
    std::memcpy(plain.data(), "MSCF", 4);
    Bytes original = plain;
    // Pieces that end inside the header, straddle offset 56, end mid-block,
    // and one far larger than the staging buffer.
    const UINT pieces[] = {4, 1, 56, 7, 200000, 3, 65536};
    std::size_t at = 0;
    for (UINT piece : pieces) {
        ASSERT_EQ(writer.WriteCabinetFile(handle, plain.data() + at, piece, &error), piece);
        at += piece;
        ASSERT_EQ(writer.SeekCabinetFile(handle, 0, 1, &error), static_cast<LONG>(at));
    }
    UINT rest = static_cast<UINT>(plain.size() - at);
    ASSERT_EQ(writer.WriteCabinetFile(handle, plain.data() + at, rest, &error), rest);
    ASSERT_EQ(writer.CloseCabinetFile(handle, &error), 0);
    EXPECT_TRUE(plain == original);  // the caller's buffer is left as it was
    EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(path)) ==
                ExpectedEncryption(original, "k"));
}

TEST_F(CompressTest, SeekEndsEncryptionAndLaterWritesPastTheHeaderAreRefused) {
    const std::wstring path = L"C:\\cabs\\seek.zuf";
    testing::WriteHostFile(ScratchUser::Host(path), Bytes{});
    ProbeCompress writer;
    writer.Cipher().SetKey(reinterpret_cast<const BYTE*>("k"), 1);
    writer.AllocateBuffer();
    writer.AddCabinetPath(path.c_str());
    int error = 0;
    INT_PTR handle = writer.OpenCabinetFile(path.c_str(), _O_BINARY | _O_RDWR | _O_CREAT,
                                            _S_IREAD | _S_IWRITE, &error);
    ASSERT_NE(handle, -1);
    Bytes plain = testing::RandomBytes(13, 100);
    std::memcpy(plain.data(), "MSCF", 4);
    ASSERT_EQ(writer.WriteCabinetFile(handle, plain.data(), 100, &error), 100u);
    // Moving flushes the pending 4 bytes as one zero-padded block.
    ASSERT_EQ(writer.SeekCabinetFile(handle, 0, 0, &error), 0);
    EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(path)) == ExpectedEncryption(plain, "k"));
    // Below offset 56 writes stay plain, with the signature rule again.
    ASSERT_EQ(writer.WriteCabinetFile(handle, "MSCF", 4, &error), 4u);
    EXPECT_EQ(writer.SeekCabinetFile(handle, 60, 0, &error), 60);
    EXPECT_EQ(writer.WriteCabinetFile(handle, "abcd", 4, &error), static_cast<UINT>(-1));
    ASSERT_EQ(writer.CloseCabinetFile(handle, &error), 0);
    Bytes file = testing::ReadHostFile(ScratchUser::Host(path));
    EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "CRYP");
    EXPECT_TRUE(file == ExpectedEncryption(plain, "k"));
}

TEST_F(CompressTest, SplitCabinetSetIsEncryptedPartByPartAndReadBack) {
    Bytes item = testing::RandomBytes(14, 70000);
    std::wstring source = Source(L"split.bin", item);
    Bytes second = testing::MailText(15, 30000);
    std::wstring source2 = Source(L"split2.txt", second);
    for (const std::string key : {"", "pw"}) {
        SCOPED_TRACE("key '" + key + "'");
        CCompress writer;
        writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        writer.AllocateBuffer();
        ASSERT_TRUE(writer.CreateFCIContext(L"C:\\set\\part%d.cab", TRUE, TRUE, 30000, 7, 0));
        ASSERT_TRUE(writer.AddFile(source.c_str(), L"split.bin", tcompTYPE_NONE));
        ASSERT_TRUE(writer.AddFile(source2.c_str(), L"split2.txt", tcompTYPE_NONE));
        ASSERT_TRUE(writer.CleanUp()) << Narrow(writer.GetLastErrorText());
        auto parts = testing::ListHostFiles(ScratchUser::Host(L"C:\\set"));
        ASSERT_GE(parts.size(), 3u);
        for (const auto& part : parts) {
            Bytes bytes = testing::ReadHostFile(ScratchUser::Host(L"C:\\set") + "/" + part);
            ASSERT_GE(bytes.size(), 4u) << part;
            EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), key.empty() ? "MSCF" : "CRYP")
                << part;
        }
        std::wstring error;
        std::wstring wideKey(key.begin(), key.end());
        ASSERT_TRUE(testing::UnpackFiles(L"C:\\set\\part1.cab", L"C:\\out\\set", wideKey, &error))
            << Narrow(error);
        EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(L"C:\\out\\set\\split.bin")) == item);
        EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(L"C:\\out\\set\\split2.txt")) ==
                    second);
        if (key.empty()) {
            std::string output;
            EXPECT_EQ(testing::RunCommand(
                          "cabextract -t " + ScratchUser::Host(L"C:\\set\\part1.cab"), &output),
                      0)
                << output;
        }
        testing::RunCommand("rm -rf " + ScratchUser::Host(L"C:\\set") + " " +
                            ScratchUser::Host(L"C:\\out"));
    }
}

TEST_F(CompressTest, PasswordsAreKeyedInTheThreadCodePage) {
    std::wstring source = Source(L"cp.txt", testing::MailText(16, 2000));
    EXPECT_EQ(testing::KeyBytes(L"p\u00e4ss\u20ac"), "p\xe4ss\x80");
    EXPECT_EQ(testing::KeyBytes(L"\u65e5\u672c"), "??");
    ASSERT_TRUE(testing::PackFiles(L"C:\\cabs\\cjk.zuf", {{source, L"sync.msg"}}, L"\u65e5\u672c",
                                   kAddInCompression));
    Bytes byCjk = testing::ReadHostFile(ScratchUser::Host(L"C:\\cabs\\cjk.zuf"));
    Bytes byQuestionMarks = Pack(L"C:\\cabs\\qq.zuf", source, "??");
    // Characters the code page lacks all become its default character.
    EXPECT_TRUE(byCjk == byQuestionMarks);
    std::wstring error;
    EXPECT_TRUE(testing::UnpackFiles(L"C:\\cabs\\cjk.zuf", L"C:\\out\\cjk", L"??", &error))
        << Narrow(error);
    EXPECT_FALSE(testing::UnpackFiles(L"C:\\cabs\\cjk.zuf", L"C:\\out\\cjk2", L"x", &error));
}

struct ParameterCase {
    const wchar_t* path;
    DWORD splitSize;
    int code;
};

TEST_F(CompressTest, InvalidContextParameters) {
    const ParameterCase cases[] = {
        {L"sync.zuf", kNoSplit, 1001},                  // no directory
        {L"C:\\cabs\\ab", kNoSplit, 1001},              // two-character name
        {L"C:\\cabs\\sync.zuf", 19999, 1001},           // split too small
        {L"C:\\cabs\\sync.zuf", 20000, 1001},           // real split without "%"
        {L"C:\\cabs\\sync%s.zuf", 20000, 1001},         // a conversion printf can't feed
        {L"C:\\cabs\\sync\u00e9.zuf", kNoSplit, 1007},  // non-ASCII name
        {L"C:\\cabs\\sync%d.zuf", 20000, 0},
        {L"C:\\cabs\\sync.zuf", kNoSplit, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        CCompress writer;
        BOOL ok = writer.CreateFCIContext(c.path, TRUE, TRUE, c.splitSize, 1, 0);
        EXPECT_EQ(ok != FALSE, c.code == 0);
        EXPECT_EQ(writer.GetError().OwnCode(), c.code);
        if (c.code == 1001) {
            EXPECT_STREQ(writer.GetLastErrorText(),
                         L"Invalid parameters passed to compression function. Read the "
                         L"documentation!");
        }
        if (c.code == 1007) {
            EXPECT_STREQ(writer.GetLastErrorText(),
                         L"The name of the CAB file must never contain characters above ASCII "
                         L"127.");
        }
    }
}

TEST_F(CompressTest, SecondContextFailsWith1001) {
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\one.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_FALSE(writer.CreateFCIContext(L"C:\\cabs\\two.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_EQ(writer.GetError().OwnCode(), 1001);
}

TEST_F(CompressTest, UncreatableDirectoryGives1002WithTheWindowsError) {
    testing::WriteHostFile(ScratchUser::Host(L"C:\\blocker"), Bytes{1});
    CCompress writer;
    EXPECT_FALSE(writer.CreateFCIContext(L"C:\\blocker\\sub\\x.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_EQ(writer.GetError().OwnCode(), 1002);
    int windowsError = writer.GetError().OwnWindowsError();
    EXPECT_NE(windowsError, 0);
    EXPECT_EQ(std::wstring(writer.GetLastErrorText()),
              L"Could not create the directory where to save the CAB file.\nError " +
                  std::to_wstring(windowsError) + L": " + SystemText(windowsError));
}

TEST_F(CompressTest, DirectoryBeyond255Utf8BytesGives1003) {
    std::wstring directory = L"C:\\";
    for (int i = 0; i < 3; ++i) {
        directory += std::wstring(90, static_cast<wchar_t>(L'a' + i)) + L"\\";
    }
    CCompress writer;
    EXPECT_FALSE(
        writer.CreateFCIContext((directory + L"x.zuf").c_str(), TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_EQ(writer.GetError().OwnCode(), 1003);
    EXPECT_STREQ(writer.GetLastErrorText(),
                 L"The path is too long. (Max 250 Ansii characters or approx 100 Unicode "
                 L"characters).");
    // The directory is judged before the name.
    CCompress second;
    EXPECT_FALSE(
        second.CreateFCIContext((directory + L"\u00e9.zuf").c_str(), TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_EQ(second.GetError().OwnCode(), 1003);
}

class MissingLibraryCompress : public CCompress {
protected:
    const wchar_t* CabinetLibraryName() const override { return L"NoSuchCabinet.dll"; }
};

TEST_F(CompressTest, MissingLibraryGives1000) {
    MissingLibraryCompress writer;
    EXPECT_FALSE(writer.CreateFCIContext(L"C:\\cabs\\x.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_STREQ(writer.GetLastErrorText(), L"Could not load Cabinet.dll");
}

TEST_F(CompressTest, MissingSourceGivesError1WithTheWindowsError) {
    Source(L"present.txt", Bytes{1});
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\x.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_FALSE(writer.AddFile(L"C:\\src\\missing.txt", L"sync.msg", kAddInCompression));
    EXPECT_EQ(std::wstring(writer.GetLastErrorText()),
              L"Failure opening file to be stored in cabinet\nError 2: " + SystemText(2));
}

TEST_F(CompressTest, SourceAbove0x7FFF0000BytesGives1006) {
    std::wstring source = Source(L"huge.bin", Bytes{});
    std::filesystem::resize_file(ScratchUser::Host(source), 0x7FFF0001ull);
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\x.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_FALSE(writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression));
    EXPECT_STREQ(writer.GetLastErrorText(),
                 L"Cabinet.dll does not support compressing files bigger than 2 GB.");
}

TEST_F(CompressTest, UnicodeNamesNeedUtf8) {
    std::wstring source = Source(L"n.txt", testing::MailText(4, 100));
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\x.zuf", TRUE, FALSE, kNoSplit, 1, 0));
    EXPECT_FALSE(writer.AddFile(source.c_str(), L"\u20ac.txt", kAddInCompression));
    EXPECT_EQ(writer.GetError().OwnCode(), 1004);
    EXPECT_STREQ(writer.GetLastErrorText(),
                 L"To store files with names containing Unicode characters into the CAB file "
                 L"you must enable UTF8 encoding!");
    // Latin-1 names are fine without UTF-8.
    EXPECT_TRUE(writer.AddFile(source.c_str(), L"caf\u00e9.txt", kAddInCompression));
    EXPECT_TRUE(writer.CleanUp());
}

TEST_F(CompressTest, AsciiNameIsStoredWithoutTheUtf8Attribute) {
    std::wstring source = Source(L"ascii.txt", testing::MailText(5, 100));
    Bytes cabinet = Pack(L"C:\\cabs\\ascii.zuf", source, "");
    std::string listing;
    ASSERT_EQ(
        testing::RunCommand("cabextract -l " + ScratchUser::Host(L"C:\\cabs\\ascii.zuf"), &listing),
        0);
    EXPECT_NE(listing.find("sync.msg"), std::string::npos);
    // CFFILE attributes follow the first file entry's size, offset, folder,
    // date and time; the entry starts at the header's coffFiles field.
    std::uint32_t files = cabinet[16] | (cabinet[17] << 8) | (cabinet[18] << 16) |
                          (static_cast<std::uint32_t>(cabinet[19]) << 24);
    std::uint16_t attributes = cabinet[files + 14] | (cabinet[files + 15] << 8);
    EXPECT_EQ(attributes & _A_NAME_IS_UTF, 0);
}

TEST_F(CompressTest, UnknownCompressionTypeGivesTheLibraryCode) {
    std::wstring source = Source(L"t.txt", testing::MailText(6, 100));
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\x.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    EXPECT_FALSE(writer.AddFile(source.c_str(), L"sync.msg", tcompTYPE_QUANTUM));
    EXPECT_STREQ(writer.GetLastErrorText(), L"Unknown compression type");
}

TEST_F(CompressTest, AddFileFromAnotherThreadGives1005AndChangesNothing) {
    std::wstring source = Source(L"c.txt", testing::MailText(7, 2000));
    CCompress writer;
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\t.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    ASSERT_TRUE(writer.AddFile(source.c_str(), L"first.txt", kAddInCompression));
    BOOL addedElsewhere = TRUE;
    BOOL cleanedElsewhere = TRUE;
    std::thread other([&] {
        addedElsewhere = writer.AddFile(source.c_str(), L"second.txt", kAddInCompression);
        cleanedElsewhere = writer.CleanUp();
    });
    other.join();
    EXPECT_FALSE(addedElsewhere);
    EXPECT_FALSE(cleanedElsewhere);
    EXPECT_STREQ(writer.GetLastErrorText(),
                 L"Cabinet.dll does not support calling the same CAB context from two different "
                 L"threads.");
    ASSERT_TRUE(writer.CleanUp());
    std::string listing;
    testing::RunCommand("cabextract -l " + ScratchUser::Host(L"C:\\cabs\\t.zuf"), &listing);
    EXPECT_NE(listing.find("first.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("second.txt"), std::string::npos) << listing;
}

TEST_F(CompressTest, CleanUpTwiceSucceedsAndAddFileWithoutContextFailsQuietly) {
    CCompress writer;
    EXPECT_TRUE(writer.CleanUp());
    EXPECT_FALSE(writer.AddFile(L"C:\\src\\x", L"x", kAddInCompression));
    EXPECT_STREQ(writer.GetLastErrorText(), L"Success");
    std::wstring source = Source(L"d.txt", testing::MailText(8, 100));
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\twice.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    ASSERT_TRUE(writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression));
    EXPECT_TRUE(writer.CleanUp());
    EXPECT_TRUE(writer.CleanUp());
    // The writer can be used again.
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\again.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    ASSERT_TRUE(writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression));
    EXPECT_TRUE(writer.CleanUp());
    EXPECT_TRUE(testing::HostFileExists(ScratchUser::Host(L"C:\\cabs\\again.zuf")));
}

// Test double: the C runtime calls fail for chosen files.
class FailingCompress : public CCompress {
public:
    std::wstring failOpenContaining;
    bool failCabinetWrite = false;
    bool failSourceRead = false;

protected:
    INT_PTR OpenFile(const wchar_t* path, int flags, int mode, int* error) override {
        if (!failOpenContaining.empty() && std::wcsstr(path, failOpenContaining.c_str())) {
            *error = EACCES;
            return -1;
        }
        INT_PTR handle = CCompress::OpenFile(path, flags, mode, error);
        if (std::wcsstr(path, L".zuf") != nullptr) {
            m_cabinet = handle;
        } else if (std::wcsstr(path, L"\\src\\") != nullptr) {
            m_source = handle;
        }
        return handle;
    }
    UINT WriteFile(INT_PTR handle, const void* buffer, UINT count, int* error) override {
        if (failCabinetWrite && handle == m_cabinet && count > 0) {
            *error = ENOSPC;
            return count / 2;
        }
        return CCompress::WriteFile(handle, buffer, count, error);
    }
    UINT ReadFile(INT_PTR handle, void* buffer, UINT count, int* error) override {
        if (failSourceRead && handle == m_source) {
            *error = EIO;
            return static_cast<UINT>(-1);
        }
        return CCompress::ReadFile(handle, buffer, count, error);
    }

private:
    INT_PTR m_cabinet = -2;
    INT_PTR m_source = -2;
};

struct LibraryFailure {
    const char* label;
    const wchar_t* failOpen;
    bool failWrite;
    bool failRead;
    const wchar_t* text;
};

TEST_F(CompressTest, FailingFilesGiveTheLibraryCodes) {
    std::wstring source = Source(L"e.txt", testing::MailText(9, 70000));
    const LibraryFailure cases[] = {
        {"cabinet not creatable", L".zuf", false, false, L"Could not create cabinet file"},
        {"cabinet write short", L"", true, false, L"Could not create cabinet file"},
        {"temporary file", L"CabTmp_", false, false, L"Could not create a temporary file"},
        {"source read", L"", false, true, L"Failure reading file to be stored in cabinet"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const std::string key : {"", "pw"}) {
            FailingCompress writer;
            writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                                   static_cast<DWORD>(key.size()));
            writer.AllocateBuffer();
            writer.failOpenContaining = c.failOpen;
            writer.failCabinetWrite = c.failWrite;
            writer.failSourceRead = c.failRead;
            BOOL ok = writer.CreateFCIContext(L"C:\\cabs\\fail.zuf", TRUE, TRUE, kNoSplit, 1, 0);
            ok = ok && writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression);
            ok = writer.CleanUp() && ok;
            EXPECT_FALSE(ok);
            std::wstring text = writer.GetLastErrorText();
            EXPECT_EQ(text.substr(0, std::wcslen(c.text)), c.text) << Narrow(text);
        }
    }
}

BOOL RefuseProgress(DWORD, DWORD, DWORD, std::uintptr_t) {
    return FALSE;
}

TEST_F(CompressTest, ProgressCallbackCanAbort) {
    std::wstring source = Source(L"f.txt", testing::MailText(10, 100000));
    CCompress writer;
    writer.SetProgressCallback(RefuseProgress);
    ASSERT_TRUE(writer.CreateFCIContext(L"C:\\cabs\\abort.zuf", TRUE, TRUE, kNoSplit, 1, 0));
    BOOL ok = writer.AddFile(source.c_str(), L"sync.msg", kAddInCompression);
    ok = writer.CleanUp() && ok;
    EXPECT_FALSE(ok);
    EXPECT_STREQ(writer.GetLastErrorText(), L"Client requested abort");
}

TEST_F(CompressTest, ModuleStartUpKeepsTheSlotAndRestartsTheInstanceCount) {
    DWORD slot = CabinetTlsIndex();
    EXPECT_NE(slot, TLS_OUT_OF_INDEXES);
    CCompress before;
    EXPECT_TRUE(InitCabinetTlsIndex());
    EXPECT_EQ(CabinetTlsIndex(), slot);
    CCompress first;
    EXPECT_EQ(first.InstanceNumber(), 1u);
}

TEST_F(CompressTest, InstanceNumbersCountUpAndTemporaryFilesAreRemoved) {
    CCompress first;
    CCompress second;
    EXPECT_EQ(second.InstanceNumber(), first.InstanceNumber() + 1);
    std::wstring source = Source(L"g.txt", testing::MailText(11, 50000));
    Pack(L"C:\\cabs\\tmp.zuf", source, "pw");
    for (const auto& name : testing::ListHostFiles(ScratchUser::Host(L"C:\\Users"))) {
        EXPECT_EQ(name.find("CabTmp_"), std::string::npos) << name;
    }
}

// A writer per sync mail: the cabinet library is loaded by the first and
// stays loaded when it is destroyed, and a later writer packs through it the
// same bytes.
TEST_F(CompressTest, TheLibraryStaysLoadedAcrossWriters) {
    std::wstring source = Source(L"h.txt", testing::MailText(12, 4096));
    Bytes first = Pack(L"C:\\cabs\\one.zuf", source, "pw");
    HMODULE loaded = GetModuleHandleW(L"Cabinet.dll");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(loaded, CabinetLibrary(L"Cabinet.dll"));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Pack(L"C:\\cabs\\one.zuf", source, "pw"), first);
        EXPECT_EQ(GetModuleHandleW(L"Cabinet.dll"), loaded);
    }
}

}  // namespace
}  // namespace Cabinet
