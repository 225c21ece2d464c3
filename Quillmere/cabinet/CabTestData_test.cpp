// The shared cabinet corpus: every well-formed cabinet extracts the names,
// sizes and bytes cabextract gives; every malformed one fails cleanly, in
// bounded time, writing nothing outside the target directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/cabinet/testing/CabTestSupport.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace Cabinet {
namespace {

namespace fs = std::filesystem;
using testing::ScratchUser;

const std::string kCorpus = std::string(QM_TESTDATA_DIR) + "/cab";

struct Outcome {
    bool ok;
    std::wstring text;
};

bool IsUtf8(const std::string& text) {
    std::wstring wide = win::FromUtf8(text);
    return wide.find(L'\uFFFD') == std::wstring::npos;
}

// cabextract writes names that are not marked UTF-8 as their raw bytes; the
// reader decodes them with code page 1252 and the host path is UTF-8.
std::string AsOurName(const std::string& oracleName) {
    if (IsUtf8(oracleName)) {
        return oracleName;
    }
    int n = MultiByteToWideChar(1252, 0, oracleName.data(), static_cast<int>(oracleName.size()),
                                nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(1252, 0, oracleName.data(), static_cast<int>(oracleName.size()),
                        wide.data(), n);
    return win::ToUtf8(wide);
}

class CabTestDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string cabs = ScratchUser::Host(L"C:\\cabs");
        fs::create_directories(cabs);
        fs::copy(kCorpus, cabs, fs::copy_options::overwrite_existing | fs::copy_options::recursive);
    }

    Outcome Extract(const std::string& file) {
        std::wstring wide(file.begin(), file.end());
        CExtract reader;
        EXPECT_TRUE(reader.CreateFDIContext());
        Outcome outcome;
        auto start = std::chrono::steady_clock::now();
        outcome.ok = reader.ExtractFile((L"C:\\cabs\\" + wide).c_str(),
                                        (L"C:\\out\\" + wide).c_str(), 0) != FALSE;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        outcome.text = reader.GetLastErrorText();
        EXPECT_TRUE(reader.CleanUp());
        return outcome;
    }
    std::string OurDir(const std::string& file) {
        return ScratchUser::Host(L"C:\\out\\" + std::wstring(file.begin(), file.end()));
    }
    // cabextract's files, by the names the reader gives them.
    std::vector<std::string> OracleFiles(const std::string& file, std::string* dir) {
        *dir = m_user.Root() + "/oracle/" + file;
        fs::create_directories(*dir);
        testing::RunCommand("cabextract -q -d " + testing::ShellQuote(*dir) + " " +
                            testing::ShellQuote(kCorpus + "/" + file));
        return testing::ListHostFiles(*dir);
    }
    // Every file the reader extracted is one cabextract gives, byte for byte;
    // with `all`, it extracted every one of them but those in `missing`.
    void CompareWithOracle(const std::string& file, bool all,
                           const std::set<std::string>& missing = {}, bool namesComparable = true) {
        std::string ours = OurDir(file);
        std::string oracle;
        std::vector<std::string> oracleFiles = OracleFiles(file, &oracle);
        std::vector<std::string> expected;
        for (const auto& name : oracleFiles) {
            if (missing.count(name) == 0) {
                expected.push_back(AsOurName(name));
            }
        }
        std::sort(expected.begin(), expected.end());
        std::vector<std::string> ourFiles = testing::ListHostFiles(ours);
        if (all) {
            EXPECT_EQ(ourFiles, expected);
        }
        for (const auto& name : oracleFiles) {
            std::string mine = ours + "/" + AsOurName(name);
            std::error_code tooLong;
            if (!fs::exists(mine, tooLong)) {
                continue;
            }
            SCOPED_TRACE(name);
            EXPECT_TRUE(testing::ReadHostFile(mine) == testing::ReadHostFile(oracle + "/" + name));
        }
        for (const auto& name : ourFiles) {
            if (namesComparable) {
                EXPECT_NE(std::find(expected.begin(), expected.end(), name), expected.end())
                    << name;
            }
        }
    }

    ScratchUser m_user;
};

const char* kWellFormed[] = {
    "simple.cab",
    "normal_255c_filename.cab",
    "normal_2files_1folder.cab",
    "normal_2files_2folders.cab",
    "reserve_---.cab",
    "reserve_--D.cab",
    "reserve_-F-.cab",
    "reserve_-FD.cab",
    "reserve_H--.cab",
    "reserve_H-D.cab",
    "reserve_HF-.cab",
    "reserve_HFD.cab",
    "split-1.cab",
    "case-ascii.cab",
    "case-utf8.cab",
    "encoding-latin1.cab",
    "encoding-sjis.cab",
    "dir.cab",
};

TEST_F(CabTestDataTest, WellFormedCabinetsMatchCabextract) {
    for (const char* file : kWellFormed) {
        SCOPED_TRACE(file);
        Outcome outcome = Extract(file);
        EXPECT_TRUE(outcome.ok) << std::string(outcome.text.begin(), outcome.text.end());
        CompareWithOracle(file, true);
    }
}

TEST_F(CabTestDataTest, QuantumFoldersFailWithUnknownCompressionType) {
    for (const char* file : {"mszip_lzx_qtm.cab", "mixed.cab"}) {
        SCOPED_TRACE(file);
        Outcome outcome = Extract(file);
        EXPECT_FALSE(outcome.ok);
        EXPECT_EQ(outcome.text, L"Unknown compression type");
        CompareWithOracle(file, true, {"qtm.txt"});
    }
}

struct Divergence {
    const char* file;
    const wchar_t* text;   // null: any failure
    bool namesComparable;  // false: stored names that are not valid text
};

// Well-formed cabinets that this platform reads differently from cabextract:
// a stored name with a character file names may not hold ("?"), names that
// are not valid UTF-8 although marked so (the library refuses the cabinet),
// cabinets embedded after other data (the library reads a cabinet from its
// first byte, cabextract searches for one), and a set whose first part names
// a next part that does not exist (cabextract leaves empty files behind).
const Divergence kDivergent[] = {
    {"multi_basic_pt1.cab", L"Cabinet file (or part of splitted CAB) not found", true},
    {"encoding-koi8.cab", L"Failure writing to target file", true},
    {"utf8-stresstest.cab", nullptr, false},
    {"search.cab", L"The file is not a cabinet", true},
};

TEST_F(CabTestDataTest, DivergentCabinetsFailCleanlyAndExtractOnlyWhatCabextractGives) {
    for (const auto& d : kDivergent) {
        SCOPED_TRACE(d.file);
        Outcome outcome = Extract(d.file);
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.text, L"Success");
        if (d.text != nullptr) {
            EXPECT_EQ(outcome.text.substr(0, std::wcslen(d.text)), d.text);
        }
        CompareWithOracle(d.file, false, {}, d.namesComparable);
    }
}

bool IsMalformed(const std::string& name) {
    for (const char* prefix : {"bad_", "partial_", "cve-", "filename-read-violation-",
                               "hidden-file", "lzx-", "qtm-max-size-block", "dirwalk-vulns"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST_F(CabTestDataTest, MalformedCabinetsFailCleanlyInsideTheTarget) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(kCorpus)) {
        std::string file = entry.path().filename().string();
        if (!IsMalformed(file)) {
            continue;
        }
        ++count;
        SCOPED_TRACE(file);
        Outcome outcome = Extract(file);
        if (file == "hidden-files.cab") {
            // The header's file offset skips the two entries that follow the
            // folder; the library reads the entries where the header points,
            // cabextract those after the folder. All four files are empty.
            EXPECT_TRUE(outcome.ok);
            EXPECT_EQ(testing::ListHostFiles(OurDir(file)),
                      (std::vector<std::string>{"hidden1.txt", "hidden2.txt"}));
            continue;
        }
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.text, L"Success");
    }
    EXPECT_GE(count, 30);
    // Nothing landed anywhere but below C:\out\<cabinet name>\.
    std::string drive = ScratchUser::Host(L"C:\\");
    for (const auto& name : testing::ListHostFiles(drive)) {
        bool inCabs = name.rfind("cabs/", 0) == 0 && name.find('/', 5) == std::string::npos;
        bool inOut = name.rfind("out/", 0) == 0;
        EXPECT_TRUE(inCabs || inOut) << name;
        if (inOut) {
            std::string cabinet = name.substr(4, name.find('/', 4) - 4);
            EXPECT_TRUE(IsMalformed(cabinet)) << name;
        }
    }
}

TEST_F(CabTestDataTest, DirectoryWalkWritesNothingOutsideTheTarget) {
    Outcome outcome = Extract("dirwalk-vulns.cab");
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.text.rfind(L"Failure writing to target file", 0), 0u) << outcome.text.c_str();
    std::string root = m_user.Root();
    int inside = 0;
    for (const auto& name : testing::ListHostFiles(root)) {
        bool allowed = name.rfind("user/drive_c/cabs/", 0) == 0 ||
                       name.rfind("user/drive_c/out/dirwalk-vulns.cab/", 0) == 0;
        EXPECT_TRUE(allowed) << name;
        inside += name.rfind("user/drive_c/out/dirwalk-vulns.cab/", 0) == 0;
    }
    // The names that stay inside the target are extracted all the same.
    EXPECT_GT(inside, 0);
}

}  // namespace
}  // namespace Cabinet
