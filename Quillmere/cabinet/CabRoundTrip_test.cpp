// Round trips through the writer and the reader, with and without a password,
// checked against independent cabinet readers (cabextract, gcab).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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

std::vector<File> BoundaryFiles() {
    return {{L"empty.bin", {}},
            {L"one.bin", testing::RandomBytes(1, 1)},
            {L"block-1.bin", testing::MailText(2, 32767)},
            {L"block.bin", testing::RandomBytes(3, 32768)},
            {L"block+1.bin", testing::MailText(4, 32769)}};
}

TEST_F(CabRoundTripTest, BoundarySizesEveryCompressionWithAndWithoutPassword) {
    auto files = BoundaryFiles();
    auto sources = Sources(files);
    for (const auto& compression : AllCompressions()) {
        for (const std::wstring key : {L"", L"s3cret"}) {
            SCOPED_TRACE(std::string(compression.label) + (key.empty() ? " plain" : " keyed"));
            std::wstring tag(compression.label, compression.label + std::strlen(compression.label));
            std::wstring cabinet = L"C:\\cabs\\" + tag + (key.empty() ? L"" : L"-k") + L".zuf";
            std::wstring target = L"C:\\out\\" + tag + (key.empty() ? L"" : L"-k");
            std::wstring error;
            ASSERT_TRUE(testing::PackFiles(cabinet, sources, key, compression.type, &error))
                << std::string(error.begin(), error.end());
            ASSERT_TRUE(testing::UnpackFiles(cabinet, target, key, &error))
                << std::string(error.begin(), error.end());
            ExpectExtracted(target, files);
            Bytes head = testing::ReadHostFile(ScratchUser::Host(cabinet));
            ASSERT_GE(head.size(), 4u);
            EXPECT_EQ(std::string(head.begin(), head.begin() + 4), key.empty() ? "MSCF" : "CRYP");
            if (key.empty()) {
                ExpectOraclesAgree(cabinet, files);
            }
        }
    }
}

TEST_F(CabRoundTripTest, LargeFilesForSomeCombinations) {
    std::vector<File> files = {{L"random.bin", testing::RandomBytes(5, 1 << 20)},
                               {L"mail.txt", testing::MailText(6, 5 << 20)}};
    auto sources = Sources(files);
    struct Case {
        TCOMP type;
        const wchar_t* key;
        bool oracle;
    };
    const Case cases[] = {{TCOMPfromLZXWindow(21), L"folder password", false},
                          {TCOMPfromLZXWindow(21), L"", true},
                          {tcompTYPE_MSZIP, L"", true},
                          {tcompTYPE_NONE, L"k", false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(n);
        std::wstring cabinet = L"C:\\cabs\\large" + std::to_wstring(n) + L".zuf";
        std::wstring target = L"C:\\out\\large" + std::to_wstring(n++);
        std::wstring error;
        ASSERT_TRUE(testing::PackFiles(cabinet, sources, c.key, c.type, &error))
            << std::string(error.begin(), error.end());
        ASSERT_TRUE(testing::UnpackFiles(cabinet, target, c.key, &error))
            << std::string(error.begin(), error.end());
        ExpectExtracted(target, files);
        if (c.oracle) {
            ExpectOraclesAgree(cabinet, files);
        }
    }
}

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
