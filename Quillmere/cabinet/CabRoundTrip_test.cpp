// Round trips through the writer and the reader, with and without a password,
// checked against independent cabinet readers (cabextract, gcab).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Quillmere/cabinet/Blowfish.h"
#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/cabinet/testing/CabTestSupport.h"

namespace Cabinet {
namespace {

using testing::Bytes;
using testing::ScratchUser;

struct Compression {
    const char* label;
    TCOMP type;
};

const std::vector<Compression>& AllCompressions() {
    static const std::vector<Compression> kAll = [] {
        std::vector<Compression> all = {{"none", tcompTYPE_NONE}, {"mszip", tcompTYPE_MSZIP}};
        static const char* kLzx[] = {"lzx15", "lzx16", "lzx17", "lzx18", "lzx19", "lzx20", "lzx21"};
        for (int window = 15; window <= 21; ++window) {
            all.push_back({kLzx[window - 15], TCOMPfromLZXWindow(window)});
        }
        return all;
    }();
    return kAll;
}

struct File {
    std::wstring name;
    Bytes data;
};

class CabRoundTripTest : public ::testing::Test {
protected:
    // Writes the files below C:\src\ and returns them as pack sources.
    std::vector<testing::PackSource> Sources(const std::vector<File>& files) {
        std::vector<testing::PackSource> sources;
        for (const auto& file : files) {
            std::wstring path = L"C:\\src\\" + file.name;
            testing::WriteHostFile(ScratchUser::Host(path), file.data);
            sources.push_back({path, file.name});
        }
        return sources;
    }

    void ExpectExtracted(const std::wstring& target, const std::vector<File>& files) {
        for (const auto& file : files) {
            SCOPED_TRACE(std::string(file.name.begin(), file.name.end()));
            std::string host = ScratchUser::Host(target + L"\\" + file.name);
            ASSERT_TRUE(testing::HostFileExists(host));
            EXPECT_TRUE(testing::ReadHostFile(host) == file.data);
        }
    }

    // cabextract -t accepts the cabinet, and cabextract and gcab both extract
    // the same bytes.
    void ExpectOraclesAgree(const std::wstring& cabinet, const std::vector<File>& files) {
        std::string host = ScratchUser::Host(cabinet);
        std::string output;
        EXPECT_EQ(testing::RunCommand("cabextract -t " + testing::ShellQuote(host), &output), 0)
            << output;
        EXPECT_NE(output.find("All done, no errors."), std::string::npos) << output;
        std::string byCabextract = m_user.Root() + "/oracle-cabextract";
        std::string byGcab = m_user.Root() + "/oracle-gcab";
        ASSERT_EQ(testing::RunCommand("mkdir -p " + byCabextract + " " + byGcab), 0);
        EXPECT_EQ(
            testing::RunCommand(
                "cabextract -q -d " + byCabextract + " " + testing::ShellQuote(host), &output),
            0)
            << output;
        EXPECT_EQ(testing::RunCommand("cd " + byGcab + " && gcab -x " + testing::ShellQuote(host),
                                      &output),
                  0)
            << output;
        for (const auto& file : files) {
            std::string name(file.name.begin(), file.name.end());
            SCOPED_TRACE(name);
            EXPECT_TRUE(testing::ReadHostFile(byCabextract + "/" + name) == file.data);
            EXPECT_TRUE(testing::ReadHostFile(byGcab + "/" + name) == file.data);
        }
        testing::RunCommand("rm -rf " + byCabextract + " " + byGcab);
    }

    ScratchUser m_user;
};

// A file full of 0xE8 bytes: every fifth byte looks like a call to the LZX
// translation, across several frames and with a short last one.
Bytes CallBytes(std::size_t size) {
    return Bytes(size, 0xE8);
}

// Sizes around the 32 KiB data block, a megabyte of noise, five of mail text,
// and call bytes across frames.
std::vector<File> EveryKindOfFile() {
    return {{L"empty.bin", {}},
            {L"one.bin", testing::RandomBytes(1, 1)},
            {L"block-1.bin", testing::MailText(2, 32767)},
            {L"block.bin", testing::RandomBytes(3, 32768)},
            {L"block+1.bin", testing::MailText(4, 32769)},
            {L"random.bin", testing::RandomBytes(5, 1 << 20)},
            {L"mail.txt", testing::MailText(6, 5 << 20)},
            {L"calls.bin", CallBytes(4 * 32768 + 7)}};
}

// The encrypted file is the plain cabinet with "CRYP" for "MSCF", bytes 4 to
// 55 as they are, and Blowfish blocks from offset 56, the last one completed
// with zeros.
void ExpectEncryptedFormOf(const Bytes& plain, const Bytes& encrypted, const std::string& key) {
    ASSERT_GT(plain.size(), 56u);
    ASSERT_EQ(encrypted.size(), 56 + (plain.size() - 56 + 7) / 8 * 8);
    EXPECT_EQ(std::string(encrypted.begin(), encrypted.begin() + 4), "CRYP");
    EXPECT_TRUE(std::equal(plain.begin() + 4, plain.begin() + 56, encrypted.begin() + 4));
    CBlowfish cipher;
    cipher.SetKey(reinterpret_cast<const BYTE*>(key.data()), static_cast<DWORD>(key.size()));
    Bytes decrypted(encrypted.begin() + 56, encrypted.end());
    cipher.DecryptBlocks(decrypted.data(), decrypted.size() / 8);
    Bytes padded(plain.begin() + 56, plain.end());
    padded.resize(decrypted.size(), 0);
    EXPECT_TRUE(decrypted == padded);
}

class EveryCompressionTest : public CabRoundTripTest,
                             public ::testing::WithParamInterface<Compression> {};

TEST_P(EveryCompressionTest, RoundTripsWithAndWithoutPasswordAndReadsInOtherReaders) {
    const Compression& compression = GetParam();
    auto files = EveryKindOfFile();
    auto sources = Sources(files);
    const std::wstring plainCabinet = L"C:\\cabs\\plain.zuf";
    const std::wstring keyedCabinet = L"C:\\cabs\\keyed.zuf";
    std::wstring error;
    ASSERT_TRUE(testing::PackFiles(plainCabinet, sources, L"", compression.type, &error))
        << std::string(error.begin(), error.end());
    ASSERT_TRUE(testing::PackFiles(keyedCabinet, sources, L"s3cret", compression.type, &error))
        << std::string(error.begin(), error.end());
    ASSERT_TRUE(testing::UnpackFiles(plainCabinet, L"C:\\out\\plain", L"", &error))
        << std::string(error.begin(), error.end());
    ExpectExtracted(L"C:\\out\\plain", files);
    ASSERT_TRUE(testing::UnpackFiles(keyedCabinet, L"C:\\out\\keyed", L"s3cret", &error))
        << std::string(error.begin(), error.end());
    ExpectExtracted(L"C:\\out\\keyed", files);

    Bytes plain = testing::ReadHostFile(ScratchUser::Host(plainCabinet));
    ASSERT_GE(plain.size(), 4u);
    EXPECT_EQ(std::string(plain.begin(), plain.begin() + 4), "MSCF");
    ExpectEncryptedFormOf(plain, testing::ReadHostFile(ScratchUser::Host(keyedCabinet)), "s3cret");
    ExpectOraclesAgree(plainCabinet, files);
}

// Frame 32768 of a folder starts at 1 GiB; from there on LZX translates no
// more calls. The file runs two frames and a few bytes past its start.
constexpr std::uint64_t kPastTranslationLimit = (32768ull + 2) * 32768 + 7;

// Writes `size` bytes of 0xE8 to a host file, a megabyte at a time.
void WriteCallBytes(const std::string& host, std::uint64_t size) {
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    const Bytes chunk(1 << 20, 0xE8);
    for (std::uint64_t left = size; left > 0;) {
        auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        left -= n;
    }
}

bool SameFile(const std::string& a, const std::string& b, std::string* output) {
    return testing::RunCommand("cmp " + testing::ShellQuote(a) + " " + testing::ShellQuote(b),
                               output) == 0;
}

// Over a gigabyte per cabinet and minutes of work for the whole table, so it
// runs on request only:
//   addin_cabinet_CabRoundTrip_test --gtest_also_run_disabled_tests
//       --gtest_filter='*CallBytesPastTheTranslationLimit*'
// (about ten minutes for the nine types).
TEST_P(EveryCompressionTest, DISABLED_CallBytesPastTheTranslationLimit) {
    const Compression& compression = GetParam();
    const std::wstring source = L"C:\\src\\calls.bin";
    const std::string sourceHost = ScratchUser::Host(source);
    WriteCallBytes(sourceHost, kPastTranslationLimit);
    std::string output;
    for (const std::wstring key : {L"", L"s3cret"}) {
        SCOPED_TRACE(key.empty() ? "plain" : "keyed");
        const std::wstring cabinet = L"C:\\cabs\\calls.zuf";
        const std::wstring target = L"C:\\out\\calls";
        std::wstring error;
        ASSERT_TRUE(
            testing::PackFiles(cabinet, {{source, L"calls.bin"}}, key, compression.type, &error))
            << std::string(error.begin(), error.end());
        const std::string cabinetHost = ScratchUser::Host(cabinet);
        Bytes head(4);
        std::ifstream(cabinetHost, std::ios::binary).read(reinterpret_cast<char*>(head.data()), 4);
        EXPECT_EQ(std::string(head.begin(), head.end()), key.empty() ? "MSCF" : "CRYP");
        ASSERT_TRUE(testing::UnpackFiles(cabinet, target, key, &error))
            << std::string(error.begin(), error.end());
        const std::string extracted = ScratchUser::Host(target + L"\\calls.bin");
        EXPECT_TRUE(SameFile(sourceHost, extracted, &output)) << output;
        std::filesystem::remove(extracted);
        if (key.empty()) {
            EXPECT_EQ(
                testing::RunCommand("cabextract -t " + testing::ShellQuote(cabinetHost), &output),
                0)
                << output;
            EXPECT_NE(output.find("All done, no errors."), std::string::npos) << output;
            EXPECT_EQ(testing::RunCommand("cabextract -q -p " + testing::ShellQuote(cabinetHost) +
                                              " | cmp - " + testing::ShellQuote(sourceHost),
                                          &output),
                      0)
                << output;
            const std::string byGcab = m_user.Root() + "/oracle-gcab";
            std::filesystem::create_directories(byGcab);
            EXPECT_EQ(
                testing::RunCommand(
                    "cd " + byGcab + " && gcab -x " + testing::ShellQuote(cabinetHost), &output),
                0)
                << output;
            EXPECT_TRUE(SameFile(sourceHost, byGcab + "/calls.bin", &output)) << output;
            std::filesystem::remove_all(byGcab);
        }
        std::filesystem::remove(cabinetHost);
    }
}

INSTANTIATE_TEST_SUITE_P(Types, EveryCompressionTest, ::testing::ValuesIn(AllCompressions()),
                         [](const ::testing::TestParamInfo<Compression>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(CabRoundTripTest, StoredNamesWithDirectoriesLandBelowTheTarget) {
    std::vector<File> files = {{L"top.txt", testing::MailText(7, 100)}};
    auto sources = Sources(files);
    testing::WriteHostFile(ScratchUser::Host(L"C:\\src\\deep.txt"), testing::MailText(8, 50));
    sources.push_back({L"C:\\src\\deep.txt", L"dir/sub/file.txt"});
    ASSERT_TRUE(testing::PackFiles(L"C:\\cabs\\dirs.cab", sources, L"", tcompTYPE_MSZIP));
    ASSERT_TRUE(testing::UnpackFiles(L"C:\\cabs\\dirs.cab", L"C:\\out\\dirs", L""));
    EXPECT_TRUE(testing::ReadHostFile(ScratchUser::Host(L"C:\\out\\dirs\\dir\\sub\\file.txt")) ==
                testing::MailText(8, 50));
}

TEST_F(CabRoundTripTest, NonAsciiNamesRoundTripAsUtf8) {
    std::vector<File> files = {{L"caf\u00e9-\u20ac.txt", testing::MailText(9, 300)}};
    auto sources = Sources(files);
    ASSERT_TRUE(testing::PackFiles(L"C:\\cabs\\names.cab", sources, L"pw", tcompTYPE_MSZIP));
    ASSERT_TRUE(testing::UnpackFiles(L"C:\\cabs\\names.cab", L"C:\\out\\names", L"pw"));
    ExpectExtracted(L"C:\\out\\names", files);
}

}  // namespace
}  // namespace Cabinet
