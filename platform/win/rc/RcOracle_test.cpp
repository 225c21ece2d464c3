// The compiler's output checked against an independent resource compiler:
// llvm-rc compiles the same script to a .res file, whose resources must hold
// the same bytes as ours.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/win/rc/RcCompiler.h"
#include "platform/win/rc/ResourceFormat.h"

namespace win::rc {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
// Type, name ("#6" for an ordinal, else the upper-case name) and language.
using Key = std::tuple<std::string, std::string, std::uint16_t>;

std::string IdText(const ResourceId& id) {
    if (!id.isString)
        return "#" + std::to_string(id.ordinal);
    std::string s;
    for (char16_t c : id.name)
        s.push_back(static_cast<char>(c));
    return s;
}

std::string FindLlvmRc() {
    for (const char* p :
         {"/usr/lib/llvm-14/bin/llvm-rc", "/usr/bin/llvm-rc-14", "/usr/bin/llvm-rc"}) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return {};
}

Bytes ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The resources of a .res file: a sequence of headers (data size, header
// size, type, name, data version, memory flags, language, version,
// characteristics) each followed by its data, all on 32-bit boundaries. A
// type or name is 0xFFFF and an ordinal, or NUL-terminated UTF-16.
std::map<Key, Bytes> ParseRes(const Bytes& b) {
    std::map<Key, Bytes> out;
    std::size_t pos = 0;
    auto readId = [&](std::size_t& p) {
        if (rsrc::ReadU16(&b[p]) == 0xFFFF) {
            std::string id = "#" + std::to_string(rsrc::ReadU16(&b[p + 2]));
            p += 4;
            return id;
        }
        std::string id;
        for (; rsrc::ReadU16(&b[p]) != 0; p += 2)
            id.push_back(static_cast<char>(b[p]));
        p += 2;
        return id;
    };
    while (pos + 32 <= b.size()) {
        const std::uint32_t dataSize = rsrc::ReadU32(&b[pos]);
        const std::uint32_t headerSize = rsrc::ReadU32(&b[pos + 4]);
        std::size_t p = pos + 8;
        const std::string type = readId(p);
        const std::string name = readId(p);
        p = (p + 3) & ~std::size_t{3};
        const std::uint16_t language = rsrc::ReadU16(&b[p + 6]);
        if (pos + headerSize + dataSize > b.size()) {
            ADD_FAILURE() << "resource past the end of the .res file";
            break;
        }
        if (type != "#0")  // the leading empty entry marks a 32-bit .res file
            out[{type, name, language}] =
                Bytes(b.begin() + static_cast<std::ptrdiff_t>(pos + headerSize),
                      b.begin() + static_cast<std::ptrdiff_t>(pos + headerSize + dataSize));
        pos = (pos + headerSize + dataSize + 3) & ~std::size_t{3};
    }
    return out;
}

// Compiles a script with llvm-rc (with defines, through its preprocessor, or
// without one) and returns the resources of the .res file.
std::map<Key, Bytes> CompileWithLlvmRc(const fs::path& script,
                                       const std::vector<std::string>& defines) {
    const std::string llvmRc = FindLlvmRc();
    EXPECT_FALSE(llvmRc.empty()) << "llvm-rc is missing (package llvm-14, tools/install-deps.sh)";
    if (llvmRc.empty())
        return {};
    const fs::path dir = fs::temp_directory_path() / ("qm_rc_oracle_" + std::to_string(getpid()));
    fs::create_directories(dir);
    const fs::path res = dir / "out.res";
    std::string cmd = "'" + llvmRc + "' /C 65001";
    if (defines.empty())
        cmd += " /no-preprocess";
    for (const auto& d : defines)
        cmd += " /D '" + d + "'";
    // llvm-rc takes Windows-style options, so an absolute host path such as
    // "/check/..." would be read as its "/C" option; "--" ends the options.
    cmd += " /FO '" + res.string() + "' -- '" + script.string() + "' >'" + (dir / "log").string() +
           "' 2>&1";
    if (std::system(cmd.c_str()) != 0) {
        const Bytes log = ReadFile(dir / "log");
        ADD_FAILURE() << cmd << "\n" << std::string(log.begin(), log.end());
    }
    std::map<Key, Bytes> out = ParseRes(ReadFile(res));
    fs::remove_all(dir);
    return out;
}

std::map<Key, Bytes> CompileWithQmrc(const fs::path& script,
                                     const std::vector<std::string>& defines) {
    RcCompiler c;
    c.SetBaseDirectory(script.parent_path().string());
    for (const auto& d : defines) {
        auto eq = d.find('=');
        c.Define(d.substr(0, eq), d.substr(eq + 1));
    }
    Bytes text = ReadFile(script);
    EXPECT_TRUE(c.Compile(std::string(text.begin(), text.end()), script.string())) << c.Error();
    std::map<Key, Bytes> out;
    for (const auto& r : c.Resources())
        out[{IdText(r.type), IdText(r.name), r.language}] = r.data;
    return out;
}

TEST(RcOracleTest, ResourcesMatchAnIndependentCompiler) {
    // The platform headers' names the add-in's scripts use, for the other
    // compiler's preprocessor (qmrc knows them itself).
    const std::vector<std::string> platformNames = {"LANG_NEUTRAL=0",
                                                    "SUBLANG_NEUTRAL=0",
                                                    "LANG_GERMAN=7",
                                                    "LANG_SPANISH=10",
                                                    "LANG_FRENCH=12",
                                                    "VS_VERSION_INFO=1",
                                                    "VS_FFI_FILEFLAGSMASK=0x3FL",
                                                    "VOS_NT_WINDOWS32=0x40004L",
                                                    "VFT_DLL=2",
                                                    "VFT2_UNKNOWN=0"};
    const std::vector<std::string> version = {"QM_VERSION_MAJOR=3", "QM_VERSION_MINOR=2",
                                              "QM_VERSION_PATCH=1", "QM_VERSION_STRING=\"3.2.1\""};
    const fs::path src(QM_SOURCE_DIR);
    struct Case {
        fs::path script;
        bool preprocess;
        std::size_t minResources;
    } cases[] = {
        {src / "platform/win/rc/testdata/oracle.rc", false, 14},
        {src / "Quillmere/resources/strings_en.rc", true, 6},
        {src / "Quillmere/resources/strings_de.rc", true, 6},
        {src / "Quillmere/resources/strings_es.rc", true, 6},
        {src / "Quillmere/resources/strings_fr.rc", true, 6},
        {src / "Quillmere/resources/Version.rc", true, 1},
    };
    for (const auto& c : cases) {
        std::vector<std::string> theirDefines;
        if (c.preprocess) {
            theirDefines = platformNames;
            theirDefines.insert(theirDefines.end(), version.begin(), version.end());
        }
        std::map<Key, Bytes> theirs = CompileWithLlvmRc(c.script, theirDefines);
        std::map<Key, Bytes> ours = CompileWithQmrc(c.script, version);
        EXPECT_EQ(ours.size(), theirs.size()) << c.script;
        EXPECT_GE(ours.size(), c.minResources) << c.script;
        for (const auto& [key, data] : theirs) {
            auto it = ours.find(key);
            std::ostringstream what;
            what << c.script.filename() << ": type " << std::get<0>(key) << " name "
                 << std::get<1>(key) << " language " << std::get<2>(key);
            ASSERT_NE(it, ours.end()) << what.str();
            EXPECT_EQ(it->second, data) << what.str();
        }
    }
}

void ExpectSame(const std::map<Key, Bytes>& ours, const std::map<Key, Bytes>& theirs,
                const std::string& what) {
    EXPECT_EQ(ours.size(), theirs.size()) << what;
    for (const auto& [key, data] : theirs) {
        auto it = ours.find(key);
        std::string where = what + ": type " + std::get<0>(key) + " name " + std::get<1>(key) +
                            " language " + std::to_string(std::get<2>(key));
        ASSERT_NE(it, ours.end()) << where;
        EXPECT_EQ(it->second, data) << where;
    }
}

void PutU16(Bytes& b, std::uint16_t v) {
    rsrc::AppendU16(b, v);
}
void PutU32(Bytes& b, std::uint32_t v) {
    rsrc::AppendU32(b, v);
}

// A device-independent bitmap: BITMAPINFOHEADER (height doubled for icons,
// which carry an AND mask after the colours), palette, pixels.
Bytes Dib(int w, int h, int bits, bool icon) {
    Bytes b;
    PutU32(b, 40);
    PutU32(b, static_cast<std::uint32_t>(w));
    PutU32(b, static_cast<std::uint32_t>(icon ? 2 * h : h));
    PutU16(b, 1);
    PutU16(b, static_cast<std::uint16_t>(bits));
    for (int i = 0; i < 6; ++i)
        PutU32(b, 0);
    if (bits <= 8)
        b.insert(b.end(), 4u << bits, 0x7F);
    const std::size_t stride = ((static_cast<std::size_t>(w) * bits + 31) / 32) * 4;
    for (std::size_t i = 0; i < stride * static_cast<std::size_t>(h); ++i)
        b.push_back(static_cast<std::uint8_t>(i * 7));
    if (icon)
        b.insert(b.end(),
                 ((static_cast<std::size_t>(w) + 31) / 32) * 4 * static_cast<std::size_t>(h), 0);
    return b;
}

TEST(RcOracleTest, IconsAndBitmapsMatchAnIndependentCompiler) {
    const fs::path dir = fs::temp_directory_path() / ("qm_rc_images_" + std::to_string(getpid()));
    fs::create_directories(dir);
    // An icon of two images (16x16 4-bit, 32x32 32-bit), the second entry
    // leaving planes and bit count 0 as some icon writers do.
    const Bytes small = Dib(16, 16, 4, true), large = Dib(32, 32, 32, true);
    Bytes ico;
    PutU16(ico, 0);
    PutU16(ico, 1);
    PutU16(ico, 2);
    ico.insert(ico.end(), {16, 16, 16, 0});
    PutU16(ico, 1);
    PutU16(ico, 4);
    PutU32(ico, static_cast<std::uint32_t>(small.size()));
    PutU32(ico, 6 + 32);
    ico.insert(ico.end(), {32, 32, 0, 0});
    PutU16(ico, 0);
    PutU16(ico, 0);
    PutU32(ico, static_cast<std::uint32_t>(large.size()));
    PutU32(ico, static_cast<std::uint32_t>(6 + 32 + small.size()));
    ico.insert(ico.end(), small.begin(), small.end());
    ico.insert(ico.end(), large.begin(), large.end());
    const Bytes dib = Dib(3, 2, 24, false);
    Bytes bmp = {'B', 'M'};
    PutU32(bmp, static_cast<std::uint32_t>(14 + dib.size()));
    PutU32(bmp, 0);
    PutU32(bmp, 14 + 40);
    bmp.insert(bmp.end(), dib.begin(), dib.end());
    std::ofstream(dir / "tray.ico", std::ios::binary)
        .write(reinterpret_cast<const char*>(ico.data()), static_cast<std::streamsize>(ico.size()));
    std::ofstream(dir / "button.bmp", std::ios::binary)
        .write(reinterpret_cast<const char*>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
    std::ofstream(dir / "images.rc") << "LANGUAGE 0, 0\n"
                                        "201 ICON \"tray.ico\"\n"
                                        "Tray ICON \"tray.ico\"\n"
                                        "LANGUAGE 7, 0\n"
                                        "300 BITMAP \"button.bmp\"\n";
    std::map<Key, Bytes> theirs = CompileWithLlvmRc(dir / "images.rc", {});
    std::map<Key, Bytes> ours = CompileWithQmrc(dir / "images.rc", {});
    fs::remove_all(dir);
    EXPECT_EQ(ours.size(), 7u);  // 4 images, 2 groups, 1 bitmap
    ExpectSame(ours, theirs, "images.rc");
}

}  // namespace
}  // namespace win::rc
