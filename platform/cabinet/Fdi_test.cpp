// Reader tests: the cabinet corpus against cabextract, hostile input, sets,
// notifications and error codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "platform/cabinet/CabFormat.h"
#include "platform/cabinet/CabinetTestSupport.h"

namespace {

using namespace cabtest;
namespace fs = std::filesystem;

const std::string kCorpus = std::string(QM_TESTDATA_DIR) + "/cab";

// Names as cabextract writes them: backslashes become directory separators.
std::string AsCabextractName(const Extracted& e) {
    std::string out = e.name;
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

// name -> bytes of every regular file below dir.
std::map<std::string, std::vector<std::uint8_t>> FilesBelow(const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> out;
    for (auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            out[fs::relative(e.path(), dir).string()] = ReadFile(e.path().string());
        }
    }
    return out;
}

// Runs FDI over dir/name (following the set) and cabextract over the same
// file, and compares what each extracted. Later files of the same name
// replace earlier ones, as they do on disk.
void ExpectSameAsCabextract(const std::string& dir, const std::string& name,
                            const std::set<std::string>& ignore = {}) {
    SCOPED_TRACE(name);
    FdiEnv env;
    ERF erf{};
    ASSERT_TRUE(Extract(dir, name, env, erf)) << "erfOper " << erf.erfOper;
    std::map<std::string, std::vector<std::uint8_t>> ours;
    for (const Extracted& e : env.files) {
        EXPECT_TRUE(e.closed) << e.name;
        if (!ignore.count(AsCabextractName(e))) {
            ours[AsCabextractName(e)] = e.data;
        }
    }
    TempDir out;
    std::string log;
    ASSERT_EQ(RunCommand("cabextract -q -d '" + out.Path() + "' '" + dir + "/" + name + "'", &log),
              0)
        << log;
    auto theirs = FilesBelow(out.Path());
    for (const std::string& n : ignore) {
        theirs.erase(n);
    }
    ASSERT_EQ(ours.size(), theirs.size());
    for (const auto& [n, bytes] : theirs) {
        auto it = ours.find(n);
        ASSERT_NE(it, ours.end()) << n;
        EXPECT_TRUE(it->second == bytes) << n;
    }
}

TEST(FdiCorpus, WellFormedCabinetsExtractAsCabextractDoes) {
    const char* names[] = {
        "case-ascii.cab",
        "case-utf8.cab",
        "dir.cab",
        "encoding-koi8.cab",
        "encoding-latin1.cab",
        "encoding-sjis.cab",
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
        "simple.cab",
    };
    for (const char* n : names) {
        ExpectSameAsCabextract(kCorpus, n);
    }
    // cabextract writes the noncharacters U+FFFE and U+FFFF as "x"; we hand
    // them on. Every malformed sequence is U+FFFD for both.
    ExpectSameAsCabextract(kCorpus, "utf8-stresstest.cab", {"\xEF\xBF\xBE", "\xEF\xBF\xBF", "x"});
}

// cabextract also searches a file for further cabinets; a cabinet reader
// takes the one the file begins with, which here lists two empty files.
TEST(FdiCorpus, OnlyTheCabinetAtTheStartIsRead) {
    FdiEnv env;
    ERF erf{};
    ASSERT_TRUE(Extract(kCorpus, "hidden-files.cab", env, erf));
    ASSERT_EQ(env.files.size(), 2u);
    EXPECT_EQ(env.files[0].name, "hidden1.txt");
    EXPECT_EQ(env.files[1].name, "hidden2.txt");
    for (const char* n : {"search.cab", "search_basic.cab"}) {
        FdiEnv s;
        EXPECT_FALSE(Extract(kCorpus, n, s, erf));
        EXPECT_EQ(erf.erfOper, FDIERROR_NOT_A_CABINET) << n;
    }
}

// Sets name their parts with other spellings than the corpus files have;
// the parts are copied under the names the headers give.
TEST(FdiCorpus, SetsAreFollowedThroughEveryPart) {
    struct Set {
        const char* first;
        std::vector<std::pair<std::string, std::string>> parts;  // corpus name, header name
    } sets[] = {
        {"Split-1.CAB",
         {{"split-1.cab", "Split-1.CAB"},
          {"split-2.cab", "Split-2.CAB"},
          {"split-3.cab", "Split-3.CAB"},
          {"split-4.cab", "Split-4.CAB"},
          {"split-5.cab", "Split-5.CAB"}}},
        {"cabd_multi_basic_pt1.cab",
         {{"multi_basic_pt1.cab", "cabd_multi_basic_pt1.cab"},
          {"multi_basic_pt2.cab", "cabd_multi_basic_pt2.cab"},
          {"multi_basic_pt3.cab", "cabd_multi_basic_pt3.cab"},
          {"multi_basic_pt4.cab", "cabd_multi_basic_pt4.cab"},
          {"multi_basic_pt5.cab", "cabd_multi_basic_pt5.cab"}}},
    };
    for (const Set& s : sets) {
        TempDir dir;
        for (const auto& [from, to] : s.parts) {
            fs::copy_file(kCorpus + "/" + from, dir.File(to));
        }
        ExpectSameAsCabextract(dir.Path(), s.first);
    }
}

TEST(FdiCorpus, QuantumFoldersFailAsUnknownCompressionType) {
    for (const char* n : {"mszip_lzx_qtm.cab", "mixed.cab"}) {
        FdiEnv env;
        ERF erf{};
        EXPECT_FALSE(Extract(kCorpus, n, env, erf)) << n;
        EXPECT_EQ(erf.erfOper, FDIERROR_BAD_COMPR_TYPE) << n;
        // The MSZIP and LZX folders before it were read.
        ASSERT_EQ(env.files.size(), 2u) << n;
        for (const Extracted& e : env.files) {
            EXPECT_TRUE(e.closed);
            EXPECT_FALSE(e.data.empty());
        }
    }
}

// Every malformed cabinet ends FDICopy with an error code, quickly, having
// written nothing past what it declared.
TEST(FdiCorpus, MalformedCabinetsFailCleanly) {
    std::set<std::string> wellFormed = {
        "case-ascii.cab", "case-utf8.cab", "dir.cab", "encoding-koi8.cab", "encoding-latin1.cab",
        "encoding-sjis.cab", "hidden-files.cab", "normal_255c_filename.cab",
        "normal_2files_1folder.cab", "normal_2files_2folders.cab", "simple.cab",
        "utf8-stresstest.cab",
        // Well-formed for the library; its names are for the caller to refuse.
        "dirwalk-vulns.cab",
        // The last part of a set holds only the ends of earlier files.
        "multi_basic_pt5.cab", "split-5.cab"};
    int checked = 0;
    for (auto& entry : fs::directory_iterator(kCorpus)) {
        std::string n = entry.path().filename().string();
        if (entry.path().extension() != ".cab" || wellFormed.count(n) ||
            n.rfind("reserve_", 0) == 0) {
            continue;
        }
        SCOPED_TRACE(n);
        FdiEnv env;
        env.maxOutput = 1 << 20;
        ERF erf{};
        auto start = std::chrono::steady_clock::now();
        bool ok = Extract(kCorpus, n, env, erf);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(ok);
        EXPECT_NE(erf.erfOper, FDIERROR_NONE);
        EXPECT_TRUE(erf.fError);
        EXPECT_LT(took, std::chrono::seconds(5));
        for (const Extracted& e : env.files) {
            if (e.closed) {
                EXPECT_FALSE(e.name.empty());
            }
        }
        ++checked;
    }
    EXPECT_GE(checked, 45);
}

// Keeping names inside a target directory is the caller's business (the
// library writes nothing itself): names that climb out are handed on as stored.
TEST(FdiCorpus, StoredNamesReachTheCallerUnchanged) {
    FdiEnv env;
    ERF erf{};
    EXPECT_TRUE(Extract(kCorpus, "dirwalk-vulns.cab", env, erf)) << erf.erfOper;
    bool absolute = false, climbing = false;
    for (const Extracted& e : env.files) {
        absolute |= !e.name.empty() && (e.name[0] == '/' || e.name[0] == '\\');
        climbing |= e.name.find("..") != std::string::npos;
    }
    EXPECT_TRUE(absolute);
    EXPECT_TRUE(climbing);
}

// ---- Built cabinets -------------------------------------------------------

struct Built {
    TempDir dir;
    std::vector<std::uint8_t> data = TextBytes(200000, 3);
    Built(TCOMP type = tcompTYPE_MSZIP) {
        WriteFile(dir.File("src"), data);
        ERF erf{};
        FciEnv env;
        EXPECT_TRUE(Build(dir.Path(), "t.cab",
                          {{dir.File("src"), "a.txt", type}, {dir.File("src"), "b.txt", type}}, {},
                          erf, env));
    }
    std::vector<std::uint8_t> Cab() { return ReadFile(dir.File("t.cab")); }
    void Rewrite(const std::vector<std::uint8_t>& cab) { WriteFile(dir.File("t.cab"), cab); }
};

std::size_t FirstDataBlock(const std::vector<std::uint8_t>& cab) {
    return cabinet::GetU32(cab.data() + cabinet::kHeaderSize + cabinet::kFolderDataOffset);
}

// The reader takes the entries of a cabinet of many small files in a few
// reads, not in one read per byte of each name.
TEST(Fdi, ManyFileEntriesTakeFewReads) {
    TempDir dir;
    WriteFile(dir.File("src"), TextBytes(64, 5));
    std::vector<AddSpec> files;
    for (int i = 0; i < 300; ++i) {
        files.push_back({dir.File("src"), "folder/some-longer-name-of-item-" + std::to_string(i),
                         tcompTYPE_MSZIP});
    }
    ERF built{};
    FciEnv fci;
    ASSERT_TRUE(Build(dir.Path(), "t.cab", files, {}, built, fci));
    FdiEnv env;
    ERF erf{};
    FdiReadCalls() = 0;
    ASSERT_TRUE(Extract(dir.Path(), "t.cab", env, erf)) << erf.erfOper;
    ASSERT_EQ(env.files.size(), files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(env.files[i].name, "folder/some-longer-name-of-item-" + std::to_string(i));
        EXPECT_TRUE(env.files[i].data == TextBytes(64, 5)) << i;
    }
    EXPECT_LT(FdiReadCalls(), 20);
}

TEST(Fdi, ChecksumMismatchIsCorruptCabinet) {
    for (TCOMP type : {tcompTYPE_NONE, tcompTYPE_MSZIP, TCOMPfromLZXWindow(21)}) {
        Built b(type);
        auto cab = b.Cab();
        cab[FirstDataBlock(cab) + cabinet::kDataHeaderSize + 5] ^= 0x20;
        b.Rewrite(cab);
        FdiEnv env;
        ERF erf{};
        EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", env, erf));
        EXPECT_EQ(erf.erfOper, FDIERROR_CORRUPT_CABINET) << type;
    }
}

TEST(Fdi, CorruptDataWithoutChecksumFailsDecoding) {
    for (TCOMP type : {tcompTYPE_MSZIP, TCOMPfromLZXWindow(21)}) {
        Built b(type);
        auto cab = b.Cab();
        std::size_t at = FirstDataBlock(cab);
        cabinet::PutU32(cab.data() + at, 0);  // no checksum
        for (std::size_t i = 2; i < 40; ++i) {
            cab[at + cabinet::kDataHeaderSize + i] = static_cast<std::uint8_t>(0xFF - i);
        }
        b.Rewrite(cab);
        FdiEnv env;
        ERF erf{};
        EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", env, erf));
        EXPECT_EQ(erf.erfOper, FDIERROR_MDI_FAIL) << type;
    }
}

TEST(Fdi, EveryTruncationFailsCleanly) {
    Built b;
    auto cab = b.Cab();
    for (std::size_t len = 0; len < cab.size(); len += 1 + len / 16) {
        auto cut = std::vector<std::uint8_t>(cab.begin(), cab.begin() + len);
        b.Rewrite(cut);
        FdiEnv env;
        ERF erf{};
        EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", env, erf)) << len;
        EXPECT_NE(erf.erfOper, FDIERROR_NONE) << len;
    }
}

TEST(Fdi, HeaderFaultsHaveTheirCodes) {
    struct Case {
        const char* label;
        std::size_t offset;
        std::uint8_t value;
        int oper;
    } cases[] = {
        {"signature", 0, 'X', FDIERROR_NOT_A_CABINET},
        {"major version", cabinet::kHeaderVersionMajor, 2, FDIERROR_UNKNOWN_CABINET_VERSION},
        {"no folders", cabinet::kHeaderFolderCount, 0, FDIERROR_CORRUPT_CABINET},
        {"folder index", cabinet::kHeaderSize + cabinet::kFolderSize + cabinet::kFileFolderIndex, 7,
         FDIERROR_CORRUPT_CABINET},
        {"compression type", cabinet::kHeaderSize + cabinet::kFolderCompression, 2,
         FDIERROR_BAD_COMPR_TYPE},
    };
    for (const Case& c : cases) {
        Built b;
        auto cab = b.Cab();
        cab[c.offset] = c.value;
        b.Rewrite(cab);
        FdiEnv env;
        ERF erf{};
        EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", env, erf)) << c.label;
        EXPECT_EQ(erf.erfOper, c.oper) << c.label;
    }
    Built missing;
    FdiEnv env;
    ERF erf{};
    EXPECT_FALSE(Extract(missing.dir.Path(), "absent.cab", env, erf));
    EXPECT_EQ(erf.erfOper, FDIERROR_CABINET_NOT_FOUND);
}

TEST(Fdi, CopyFileHandleZeroSkipsAndMinusOneAborts) {
    Built b;
    FdiEnv skip;
    skip.skipAll = true;
    ERF erf{};
    EXPECT_TRUE(Extract(b.dir.Path(), "t.cab", skip, erf));
    EXPECT_TRUE(skip.files.empty());

    FdiEnv abort;
    abort.abortOnCopy = true;
    EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", abort, erf));
    EXPECT_EQ(erf.erfOper, FDIERROR_USER_ABORT);
}

TEST(Fdi, WriteFailureIsTargetFile) {
    Built b;
    FdiEnv env;
    env.maxOutput = 1000;
    ERF erf{};
    EXPECT_FALSE(Extract(b.dir.Path(), "t.cab", env, erf));
    EXPECT_EQ(erf.erfOper, FDIERROR_TARGET_FILE);
}

void* NoMemory(ULONG) {
    return nullptr;
}

// The reader's "Memory allocation failed" from the library comes from here.
TEST(Fdi, CreateWithoutMemoryGivesAllocFail) {
    ERF erf{};
    HFDI h =
        FDICreate(NoMemory, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386, &erf);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(erf.erfOper, FDIERROR_ALLOC_FAIL);
    EXPECT_TRUE(erf.fError);
}

TEST(Fdi, IsCabinetReportsTheHeader) {
    Built b;
    HFDI h =
        FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386, nullptr);
    EXPECT_EQ(h, nullptr);  // no error record
    ERF erf{};
    h = FDICreate(Alloc, Free, FdiOpen, FdiRead, FdiWrite, FdiClose, FdiSeek, cpu80386, &erf);
    ASSERT_NE(h, nullptr);
    int fd = ::open(b.dir.File("t.cab").c_str(), O_RDONLY);
    FDICABINETINFO info{};
    EXPECT_TRUE(FDIIsCabinet(h, fd, &info));
    EXPECT_EQ(info.cbCabinet, static_cast<LONG>(b.Cab().size()));
    EXPECT_EQ(info.cFolders, 1);
    EXPECT_EQ(info.cFiles, 2);
    EXPECT_EQ(info.setID, 23364);
    EXPECT_EQ(info.iCabinet, 1);
    EXPECT_FALSE(info.hasprev);
    EXPECT_FALSE(info.hasnext);
    ::close(fd);
    fd = ::open(b.dir.File("src").c_str(), O_RDONLY);
    EXPECT_FALSE(FDIIsCabinet(h, fd, &info));
    EXPECT_EQ(erf.erfOper, FDIERROR_NOT_A_CABINET);
    ::close(fd);
    EXPECT_TRUE(FDIDestroy(h));
}

// A set written by FCI with parts in another directory: the caller points
// fdintNEXT_CABINET there; without that, the missing part is reported.
TEST(Fdi, NextCabinetPathCanBeChangedByTheCaller) {
    TempDir dir;
    auto data = RandomBytes(120000, 8);
    WriteFile(dir.File("src"), data);
    BuildOptions o;
    o.cb = 50000;
    ERF erf{};
    FciEnv fci;
    ASSERT_TRUE(Build(dir.Path(), "part1.cab", {{dir.File("src"), "big.bin"}}, o, erf, fci));
    ASSERT_GE(fci.cabinets.size(), 3u);
    fs::create_directories(dir.File("later"));
    for (std::size_t i = 1; i < fci.cabinets.size(); ++i) {
        fs::rename(fci.cabinets[i],
                   dir.File("later/" + fs::path(fci.cabinets[i]).filename().string()));
    }
    FdiEnv lost;
    EXPECT_FALSE(Extract(dir.Path(), "part1.cab", lost, erf));
    EXPECT_EQ(lost.lastNextError, FDIERROR_CABINET_NOT_FOUND);
    EXPECT_EQ(erf.erfOper, FDIERROR_USER_ABORT);

    FdiEnv found;
    found.nextPathOverride = dir.File("later/");
    ASSERT_TRUE(Extract(dir.Path(), "part1.cab", found, erf, false)) << erf.erfOper;
    ASSERT_EQ(found.files.size(), 1u);
    EXPECT_TRUE(found.files[0].data == data);
    EXPECT_GE(found.nextCabinetCalls, 2);
}

// Starting in the middle of a set: files continued from the previous part
// are reported as partial, the files that begin here are extracted.
TEST(Fdi, CopyFromALaterPartReportsPartialFiles) {
    TempDir dir;
    auto first = RandomBytes(70000, 1);
    auto second = TextBytes(30000, 2);
    WriteFile(dir.File("a"), first);
    WriteFile(dir.File("b"), second);
    BuildOptions o;
    o.cb = 50000;
    ERF erf{};
    FciEnv fci;
    ASSERT_TRUE(
        Build(dir.Path(), "part1.cab", {{dir.File("a"), "a"}, {dir.File("b"), "b"}}, o, erf, fci));
    ASSERT_EQ(fci.cabinets.size(), 2u);
    FdiEnv env;
    ASSERT_TRUE(Extract(dir.Path(), "part2.cab", env, erf)) << erf.erfOper;
    ASSERT_EQ(env.partial.size(), 1u);
    EXPECT_EQ(env.partial[0], "a");
    ASSERT_EQ(env.files.size(), 1u);
    EXPECT_EQ(env.files[0].name, "b");
    EXPECT_TRUE(env.files[0].data == second);
}

TEST(Fdi, WrongCabinetInSetIsReported) {
    TempDir dir;
    WriteFile(dir.File("src"), RandomBytes(90000, 2));
    BuildOptions o;
    o.cb = 50000;
    ERF erf{};
    FciEnv fci;
    ASSERT_TRUE(Build(dir.Path(), "part1.cab", {{dir.File("src"), "x"}}, o, erf, fci));
    // Another set's second part in place of ours.
    TempDir other;
    WriteFile(other.File("src"), RandomBytes(90000, 3));
    o.setId = 99;
    FciEnv fci2;
    ASSERT_TRUE(Build(other.Path(), "part1.cab", {{other.File("src"), "x"}}, o, erf, fci2));
    fs::copy_file(other.File("part2.cab"), dir.File("part2.cab"),
                  fs::copy_options::overwrite_existing);
    FdiEnv env;
    EXPECT_FALSE(Extract(dir.Path(), "part1.cab", env, erf));
    EXPECT_EQ(env.lastNextError, FDIERROR_WRONG_CABINET);
}

}  // namespace
