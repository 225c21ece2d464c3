// Writer tests: cabinets built through FCI are read back through FDI and by
// the independent readers cabextract and gcab.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/cabinet/CabFormat.h"
#include "platform/cabinet/CabinetTestSupport.h"

namespace {

using namespace cabtest;

struct TypeCase {
    const char* label;
    TCOMP type;
};

const TypeCase kTypes[] = {
    {"none", tcompTYPE_NONE},
    {"mszip", tcompTYPE_MSZIP},
    {"lzx21", TCOMPfromLZXWindow(21)},
    {"lzx15", TCOMPfromLZXWindow(15)},
};

struct SizeCase {
    const char* label;
    std::size_t size;
    bool text;
};

const SizeCase kSizes[] = {
    {"empty", 0, false},
    {"one", 1, false},
    {"block_minus_1", 32767, false},
    {"block", 32768, true},
    {"block_plus_1", 32769, false},
    {"random_1MiB", 1 << 20, false},
    {"text_5MiB", 5 << 20, true},
};

class FciRoundTrip : public ::testing::TestWithParam<std::tuple<TypeCase, SizeCase>> {};

// Extracts with cabextract into a fresh directory and returns the bytes of
// `name` there; fails the test when cabextract reports an error.
std::vector<std::uint8_t> CabextractFile(const TempDir& dir, const std::string& cab,
                                         const std::string& name) {
    std::string out = dir.File("cabextract_out");
    std::filesystem::create_directories(out);
    std::string log;
    int rc = RunCommand("cabextract -q -d '" + out + "' '" + cab + "'", &log);
    EXPECT_EQ(rc, 0) << log;
    return ReadFile(out + "/" + name);
}

TEST_P(FciRoundTrip, ReadsBackThroughFdiCabextractAndGcab) {
    auto [type, size] = GetParam();
    TempDir dir;
    std::vector<std::uint8_t> data =
        size.text ? TextBytes(size.size, 7) : RandomBytes(size.size, 11);
    WriteFile(dir.File("source.bin"), data);
    ERF erf{};
    FciEnv env;
    ASSERT_TRUE(Build(dir.Path(), "test.cab", {{dir.File("source.bin"), "sync.msg", type.type}}, {},
                      erf, env))
        << "erfOper " << erf.erfOper << " erfType " << erf.erfType;

    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "test.cab", out, derf)) << derf.erfOper;
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_EQ(out.files[0].name, "sync.msg");
    EXPECT_TRUE(out.files[0].data == data);

    std::string log;
    EXPECT_EQ(RunCommand("cabextract -t '" + dir.File("test.cab") + "'", &log), 0) << log;
    EXPECT_TRUE(CabextractFile(dir, dir.File("test.cab"), "sync.msg") == data);

    std::string gout = dir.File("gcab_out");
    std::filesystem::create_directories(gout);
    ASSERT_EQ(RunCommand("cd '" + gout + "' && gcab -x '" + dir.File("test.cab") + "'", &log), 0)
        << log;
    EXPECT_TRUE(ReadFile(gout + "/sync.msg") == data);
}

INSTANTIATE_TEST_SUITE_P(TypesAndSizes, FciRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(kTypes),
                                            ::testing::ValuesIn(kSizes)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    std::get<1>(info.param).label;
                         });

TEST(Fci, SeveralFilesAndTypesKeepTheirBytesAndOrder) {
    TempDir dir;
    std::vector<AddSpec> specs;
    std::vector<std::vector<std::uint8_t>> datas;
    TCOMP types[] = {tcompTYPE_MSZIP, tcompTYPE_MSZIP, tcompTYPE_NONE, TCOMPfromLZXWindow(21),
                     tcompTYPE_MSZIP};
    for (int i = 0; i < 5; ++i) {
        datas.push_back(i % 2 ? TextBytes(10000 + 70000 * i, i) : RandomBytes(5000 * i + 3, i));
        std::string src = dir.File("src" + std::to_string(i));
        WriteFile(src, datas.back());
        specs.push_back({src, "file" + std::to_string(i) + ".bin", types[i]});
    }
    ERF erf{};
    FciEnv env;
    ASSERT_TRUE(Build(dir.Path(), "multi.cab", specs, {}, erf, env)) << erf.erfOper;
    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "multi.cab", out, derf)) << derf.erfOper;
    ASSERT_EQ(out.files.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(out.files[i].name, specs[i].stored);
        EXPECT_TRUE(out.files[i].data == datas[i]) << i;
        EXPECT_TRUE(CabextractFile(dir, dir.File("multi.cab"), specs[i].stored) == datas[i]) << i;
    }
    // Folders: MSZIP, none, LZX, MSZIP (a change of type closes the folder).
    std::vector<std::uint8_t> cab = ReadFile(dir.File("multi.cab"));
    EXPECT_EQ(cabinet::GetU16(cab.data() + cabinet::kHeaderFolderCount), 4);
    EXPECT_EQ(cabinet::GetU16(cab.data() + cabinet::kHeaderFileCount), 5);
}

TEST(Fci, AttributesTimesAndUtf8NamesRoundTrip) {
    TempDir dir;
    WriteFile(dir.File("a"), TextBytes(1000, 1));
    std::string utf8Name = "d\xC3\xA9j\xC3\xA0/\xE6\x97\xA5\xE6\x9C\xAC.msg";  // déjà/日本.msg
    USHORT attribs = _A_RDONLY | _A_HIDDEN | _A_SYSTEM | _A_ARCH | _A_NAME_IS_UTF | 0x100;
    ERF erf{};
    FciEnv env;
    env.date = 0x5B21;
    env.time = 0x7BCF;
    ASSERT_TRUE(Build(dir.Path(), "attr.cab",
                      {{dir.File("a"), utf8Name, tcompTYPE_MSZIP, attribs},
                       {dir.File("a"), "plain.txt", tcompTYPE_MSZIP, _A_ARCH}},
                      {}, erf, env));
    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "attr.cab", out, derf));
    ASSERT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.files[0].name, utf8Name);
    EXPECT_EQ(out.files[0].attribs, attribs);
    EXPECT_EQ(out.files[0].date, 0x5B21);
    EXPECT_EQ(out.files[0].time, 0x7BCF);
    EXPECT_EQ(out.files[1].attribs, _A_ARCH);
    std::string log;
    RunCommand("cabextract -l '" + dir.File("attr.cab") + "'", &log);
    EXPECT_NE(log.find("\xE6\x97\xA5\xE6\x9C\xAC.msg"), std::string::npos) << log;
    EXPECT_NE(log.find("01.09.2025 15:30:30"), std::string::npos) << log;
}

// Sets: each part within the size limit, read back through FDI one FDICopy
// per part, and by cabextract from the first part.
struct SplitCase {
    const char* label;
    ULONG cb;
    TCOMP type;
    UINT reserveData;
};

class FciSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(FciSplit, PartsStayWithinLimitAndReadBack) {
    const SplitCase& c = GetParam();
    TempDir dir;
    std::vector<std::vector<std::uint8_t>> datas = {
        RandomBytes(150000, 1), TextBytes(300, 2), TextBytes(400000, 3), RandomBytes(70000, 4), {}};
    std::vector<AddSpec> specs;
    for (std::size_t i = 0; i < datas.size(); ++i) {
        std::string src = dir.File("s" + std::to_string(i));
        WriteFile(src, datas[i]);
        specs.push_back({src, "f" + std::to_string(i), c.type});
    }
    BuildOptions o;
    o.cb = c.cb;
    o.reserveData = c.reserveData;
    ERF erf{};
    FciEnv env;
    env.pattern = "part%d.cab";
    ASSERT_TRUE(Build(dir.Path(), "part1.cab", specs, o, erf, env)) << erf.erfOper;
    ASSERT_GT(env.cabinets.size(), 2u);
    for (const std::string& part : env.cabinets) {
        auto bytes = ReadFile(part);
        ASSERT_FALSE(bytes.empty()) << part;
        EXPECT_LE(bytes.size(), c.cb) << part;
        EXPECT_EQ(cabinet::GetU32(bytes.data() + cabinet::kHeaderCabinetSize), bytes.size());
    }
    // Every file was placed once as itself; those crossing a cut once more
    // for each further part they reach, as continuations.
    for (const AddSpec& spec : specs) {
        int first = 0;
        for (const std::string& p : env.placed) {
            first += p.rfind(spec.stored + "|0|", 0) == 0;
        }
        EXPECT_EQ(first, 1) << spec.stored;
    }
    EXPECT_GT(env.placed.size(), datas.size());

    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "part1.cab", out, derf)) << derf.erfOper;
    ASSERT_EQ(out.files.size(), datas.size());
    for (std::size_t i = 0; i < datas.size(); ++i) {
        EXPECT_EQ(out.files[i].name, specs[i].stored);
        EXPECT_TRUE(out.files[i].data == datas[i]) << i;
    }
    EXPECT_FALSE(out.partial.empty());

    std::string log;
    EXPECT_EQ(RunCommand("cabextract -t '" + dir.File("part1.cab") + "'", &log), 0) << log;
    for (std::size_t i = 0; i < datas.size(); ++i) {
        EXPECT_TRUE(CabextractFile(dir, dir.File("part1.cab"), specs[i].stored) == datas[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FciSplit,
    ::testing::Values(SplitCase{"mszip_50000", 50000, tcompTYPE_MSZIP, 0},
                      SplitCase{"none_20000", 20000, tcompTYPE_NONE, 0},
                      SplitCase{"mszip_20000_reserve", 20000, tcompTYPE_MSZIP, 8},
                      SplitCase{"lzx_30000", 30000, TCOMPfromLZXWindow(17), 0},
                      SplitCase{"lzx21_24000", 24000, TCOMPfromLZXWindow(21), 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Fci, ReservesAreWrittenAndReadable) {
    TempDir dir;
    WriteFile(dir.File("a"), TextBytes(100000, 5));
    BuildOptions o;
    o.reserveHeader = 26;
    o.reserveFolder = 13;
    o.reserveData = 7;
    ERF erf{};
    FciEnv env;
    ASSERT_TRUE(Build(dir.Path(), "res.cab", {{dir.File("a"), "a.txt"}}, o, erf, env));
    auto cab = ReadFile(dir.File("res.cab"));
    EXPECT_TRUE(cabinet::GetU16(cab.data() + cabinet::kHeaderFlags) & cabinet::kFlagReservePresent);
    EXPECT_EQ(cabinet::GetU16(cab.data() + cabinet::kHeaderSize), 26);
    EXPECT_EQ(cab[cabinet::kHeaderSize + 2], 13);
    EXPECT_EQ(cab[cabinet::kHeaderSize + 3], 7);
    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "res.cab", out, derf));
    EXPECT_TRUE(out.files.at(0).data == TextBytes(100000, 5));
    EXPECT_TRUE(CabextractFile(dir, dir.File("res.cab"), "a.txt") == TextBytes(100000, 5));
}

// The cabinet is written once, front to back: the add-in's write callback
// encrypts the stream and cannot go back.
struct StreamLog {
    bool sought = false;
    std::size_t maxWrite = 0;
    std::vector<std::uint8_t> first;
};
StreamLog* g_log = nullptr;

UINT LoggingWrite(INT_PTR hf, void* mem, UINT cb, int* err, void* pv) {
    auto* env = static_cast<FciEnv*>(pv);
    if (env->cabHandles.count(hf)) {
        g_log->maxWrite = std::max<std::size_t>(g_log->maxWrite, cb);
        if (g_log->first.empty()) {
            g_log->first.assign(static_cast<std::uint8_t*>(mem),
                                static_cast<std::uint8_t*>(mem) + cb);
        }
    }
    return FciWrite(hf, mem, cb, err, pv);
}
LONG LoggingSeek(INT_PTR hf, LONG dist, int type, int* err, void* pv) {
    if (static_cast<FciEnv*>(pv)->cabHandles.count(hf))
        g_log->sought = true;
    return FciSeek(hf, dist, type, err, pv);
}

TEST(Fci, CabinetIsWrittenSequentiallyInBoundedWrites) {
    TempDir dir;
    WriteFile(dir.File("a"), RandomBytes(300000, 9));
    StreamLog log;
    g_log = &log;
    FciEnv env;
    env.tempDir = dir.Path();
    CCAB ccab{};
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "seq.cab");
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.Path().c_str());
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, LoggingWrite, FciClose,
                       LoggingSeek, FciDelete, FciTemp, &ccab, &env);
    ASSERT_NE(h, nullptr);
    std::string src = dir.File("a"), name = "a";
    ASSERT_TRUE(
        FCIAddFile(h, src.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo, 0x1503));
    ASSERT_TRUE(FCIFlushCabinet(h, FALSE, FciNext, FciStatus));
    ASSERT_TRUE(FCIDestroy(h));
    g_log = nullptr;
    EXPECT_FALSE(log.sought);
    EXPECT_LE(log.maxWrite, 32768u);
    ASSERT_GE(log.first.size(), 4u);
    EXPECT_EQ(std::string(log.first.begin(), log.first.begin() + 4), "MSCF");
    // The temporary file is gone.
    for (auto& e : std::filesystem::directory_iterator(dir.Path())) {
        EXPECT_EQ(e.path().filename().string().find("CabTmp_"), std::string::npos);
    }
}

TEST(Fci, FailuresAreReportedWithTheirCodes) {
    TempDir dir;
    WriteFile(dir.File("a"), TextBytes(70000, 1));
    struct Case {
        const char* label;
        std::string source;
        TCOMP type;
        int failWrite;
        bool abortStatus;
        int oper;
        int errnoValue;
    } cases[] = {
        {"missing source", dir.File("missing"), tcompTYPE_MSZIP, -1, false, FCIERR_OPEN_SRC,
         ENOENT},
        {"quantum", dir.File("a"), tcompTYPE_QUANTUM, -1, false, FCIERR_BAD_COMPR_TYPE, 0},
        {"lzx window 22", dir.File("a"), TCOMPfromLZXWindow(22), -1, false, FCIERR_BAD_COMPR_TYPE,
         0},
        {"disk full", dir.File("a"), tcompTYPE_MSZIP, 0, false, FCIERR_CAB_FILE, ENOSPC},
        {"status abort", dir.File("a"), tcompTYPE_MSZIP, -1, true, FCIERR_USER_ABORT, 0},
    };
    for (const Case& c : cases) {
        FciEnv env;
        env.failWriteAfter = c.failWrite;
        env.abortStatus = c.abortStatus;
        ERF erf{};
        EXPECT_FALSE(Build(dir.Path(), "fail.cab", {{c.source, "x", c.type}}, {}, erf, env))
            << c.label;
        EXPECT_EQ(erf.erfOper, c.oper) << c.label;
        EXPECT_EQ(erf.erfType, c.errnoValue) << c.label;
        EXPECT_TRUE(erf.fError) << c.label;
    }
}

UINT FailingRead(INT_PTR, void*, UINT, int* err, void*) {
    *err = EIO;
    return static_cast<UINT>(-1);
}

TEST(Fci, SourceReadFailureIsReadSrc) {
    TempDir dir;
    WriteFile(dir.File("a"), TextBytes(1000, 1));
    FciEnv env;
    env.tempDir = dir.Path();
    CCAB ccab{};
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "r.cab");
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.Path().c_str());
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FailingRead, FciWrite, FciClose,
                       FciSeek, FciDelete, FciTemp, &ccab, &env);
    ASSERT_NE(h, nullptr);
    std::string src = dir.File("a"), name = "a";
    EXPECT_FALSE(FCIAddFile(h, src.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                            tcompTYPE_MSZIP));
    EXPECT_EQ(erf.erfOper, FCIERR_READ_SRC);
    EXPECT_EQ(erf.erfType, EIO);
    EXPECT_TRUE(FCIDestroy(h));
}

// Flushing a cabinet with a next one wanted, and flushing a folder, end the
// cabinet or folder at a file boundary.
TEST(Fci, ExplicitFlushesStartNewCabinetsAndFolders) {
    TempDir dir;
    std::vector<std::vector<std::uint8_t>> datas = {TextBytes(50000, 1), TextBytes(60000, 2),
                                                    RandomBytes(7000, 3)};
    for (int i = 0; i < 3; ++i) {
        WriteFile(dir.File("s" + std::to_string(i)), datas[i]);
    }
    FciEnv env;
    env.tempDir = dir.Path();
    CCAB ccab{};
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    ccab.iCab = 1;
    ccab.setID = 77;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "part1.cab");
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.Path().c_str());
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                       FciDelete, FciTemp, &ccab, &env);
    ASSERT_NE(h, nullptr);
    auto add = [&](int i) {
        std::string src = dir.File("s" + std::to_string(i)), name = "f" + std::to_string(i);
        return FCIAddFile(h, src.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                          tcompTYPE_MSZIP);
    };
    ASSERT_TRUE(add(0));
    ASSERT_TRUE(FCIFlushCabinet(h, TRUE, FciNext, FciStatus));
    ASSERT_TRUE(add(1));
    ASSERT_TRUE(FCIFlushFolder(h, FciNext, FciStatus));
    ASSERT_TRUE(add(2));
    ASSERT_TRUE(FCIFlushCabinet(h, FALSE, FciNext, FciStatus));
    ASSERT_TRUE(FCIDestroy(h));

    auto first = ReadFile(dir.File("part1.cab"));
    auto second = ReadFile(dir.File("part2.cab"));
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(cabinet::GetU16(first.data() + cabinet::kHeaderFlags), cabinet::kFlagNextCabinet);
    EXPECT_EQ(cabinet::GetU16(second.data() + cabinet::kHeaderFlags), cabinet::kFlagPrevCabinet);
    EXPECT_EQ(cabinet::GetU16(second.data() + cabinet::kHeaderCabinetIndex), 2);
    EXPECT_EQ(cabinet::GetU16(second.data() + cabinet::kHeaderSetId), 77);
    EXPECT_EQ(cabinet::GetU16(second.data() + cabinet::kHeaderFolderCount), 2);

    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "part1.cab", out, derf)) << derf.erfOper;
    ASSERT_EQ(out.files.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(out.files[i].data == datas[i]) << i;
        EXPECT_TRUE(CabextractFile(dir, dir.File("part1.cab"), "f" + std::to_string(i)) == datas[i])
            << i;
    }
}

TEST(Fci, FolderThresholdClosesFoldersBetweenFiles) {
    TempDir dir;
    std::vector<AddSpec> specs;
    for (int i = 0; i < 4; ++i) {
        WriteFile(dir.File("s" + std::to_string(i)), RandomBytes(40000, i));
        specs.push_back({dir.File("s" + std::to_string(i)), "f" + std::to_string(i)});
    }
    BuildOptions o;
    o.thresh = 30000;
    ERF erf{};
    FciEnv env;
    ASSERT_TRUE(Build(dir.Path(), "t.cab", specs, o, erf, env));
    auto cab = ReadFile(dir.File("t.cab"));
    EXPECT_EQ(cabinet::GetU16(cab.data() + cabinet::kHeaderFolderCount), 4);
    std::string log;
    EXPECT_EQ(RunCommand("cabextract -t '" + dir.File("t.cab") + "'", &log), 0) << log;
}

LONG HugeSourceSeek(INT_PTR hf, LONG dist, int type, int* err, void* pv) {
    if (type == 2) {
        return 0x7FFF9000;  // a source past the folder limit
    }
    return FciSeek(hf, dist, type, err, pv);
}

TEST(Fci, SourceBeyondTheFolderLimitIsRefused) {
    TempDir dir;
    WriteFile(dir.File("a"), TextBytes(100, 1));
    FciEnv env;
    env.tempDir = dir.Path();
    CCAB ccab{};
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "h.cab");
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.Path().c_str());
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose,
                       HugeSourceSeek, FciDelete, FciTemp, &ccab, &env);
    ASSERT_NE(h, nullptr);
    std::string src = dir.File("a"), name = "a";
    EXPECT_FALSE(FCIAddFile(h, src.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                            tcompTYPE_MSZIP));
    EXPECT_EQ(erf.erfOper, FCIERR_CAB_FORMAT_LIMIT);
    EXPECT_TRUE(FCIDestroy(h));
}

// Contexts share nothing: writers and readers on several threads at once.
TEST(Fci, ContextsOnSeparateThreadsAreIndependent) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &good] {
            TempDir dir;
            auto data = TextBytes(300000 + 1000 * t, t);
            WriteFile(dir.File("s"), data);
            TCOMP type = t % 2 ? tcompTYPE_MSZIP : TCOMPfromLZXWindow(18);
            ERF erf{};
            FciEnv env;
            if (!Build(dir.Path(), "t.cab", {{dir.File("s"), "s", type}}, {}, erf, env)) {
                return;
            }
            FdiEnv out;
            ERF derf{};
            if (Extract(dir.Path(), "t.cab", out, derf) && out.files.size() == 1 &&
                out.files[0].data == data) {
                ++good;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(good.load(), 4);
}

TEST(Fci, ContextStaysUsableAfterAFileThatCannotBeOpened) {
    TempDir dir;
    auto data = TextBytes(5000, 4);
    WriteFile(dir.File("a"), data);
    FciEnv env;
    env.tempDir = dir.Path();
    CCAB ccab{};
    ccab.cb = 0x7FFFFFFF;
    ccab.cbFolderThresh = 0x7FFFFFFF;
    std::snprintf(ccab.szCab, sizeof(ccab.szCab), "u.cab");
    std::snprintf(ccab.szCabPath, sizeof(ccab.szCabPath), "%s/", dir.Path().c_str());
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                       FciDelete, FciTemp, &ccab, &env);
    ASSERT_NE(h, nullptr);
    std::string missing = dir.File("missing"), src = dir.File("a"), name = "a";
    EXPECT_FALSE(FCIAddFile(h, missing.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                            tcompTYPE_MSZIP));
    EXPECT_EQ(erf.erfOper, FCIERR_OPEN_SRC);
    EXPECT_TRUE(FCIAddFile(h, src.data(), name.data(), FALSE, FciNext, FciStatus, FciOpenInfo,
                           tcompTYPE_MSZIP));
    EXPECT_TRUE(FCIFlushCabinet(h, FALSE, FciNext, FciStatus));
    EXPECT_TRUE(FCIDestroy(h));
    FdiEnv out;
    ERF derf{};
    ASSERT_TRUE(Extract(dir.Path(), "u.cab", out, derf));
    ASSERT_EQ(out.files.size(), 1u);
    EXPECT_TRUE(out.files[0].data == data);
}

BOOL NoTempFile(char*, int, void*) {
    return FALSE;
}

TEST(Fci, CreateFailsWithoutTemporaryFile) {
    CCAB ccab{};
    ccab.cb = 100000;
    FciEnv env;
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, Alloc, Free, FciOpen, FciRead, FciWrite, FciClose, FciSeek,
                       FciDelete, NoTempFile, &ccab, &env);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(erf.erfOper, FCIERR_TEMP_FILE);
    EXPECT_TRUE(erf.fError);
    EXPECT_FALSE(FCIDestroy(nullptr));
}

void* NoMemory(ULONG) {
    return nullptr;
}

// The writer's "Insufficient memory in FCI" comes from here.
TEST(Fci, CreateWithoutMemoryGivesAllocFail) {
    CCAB ccab{};
    ccab.cb = 100000;
    FciEnv env;
    ERF erf{};
    HFCI h = FCICreate(&erf, FciPlaced, NoMemory, Free, FciOpen, FciRead, FciWrite, FciClose,
                       FciSeek, FciDelete, FciTemp, &ccab, &env);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(erf.erfOper, FCIERR_ALLOC_FAIL);
    EXPECT_TRUE(erf.fError);
}

TEST(Fci, FlushWithoutFilesWritesNothing) {
    TempDir dir;
    FciEnv env;
    ERF erf{};
    EXPECT_TRUE(Build(dir.Path(), "empty.cab", {}, {}, erf, env));
    EXPECT_FALSE(std::filesystem::exists(dir.File("empty.cab")));
}

}  // namespace
