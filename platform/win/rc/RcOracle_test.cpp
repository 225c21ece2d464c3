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
using Key = std::tuple<std::uint16_t, std::uint16_t, std::uint16_t>;  // type, name, language

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
// characteristics) each followed by its data, all on 32-bit boundaries. Only
// ordinal types and names occur in the script.
std::map<Key, Bytes> ParseRes(const Bytes& b) {
    std::map<Key, Bytes> out;
    std::size_t pos = 0;
    while (pos + 32 <= b.size()) {
        const std::uint32_t dataSize = rsrc::ReadU32(&b[pos]);
        const std::uint32_t headerSize = rsrc::ReadU32(&b[pos + 4]);
        EXPECT_EQ(rsrc::ReadU16(&b[pos + 8]), 0xFFFF) << "type is no ordinal";
        EXPECT_EQ(rsrc::ReadU16(&b[pos + 12]), 0xFFFF) << "name is no ordinal";
        const std::uint16_t type = rsrc::ReadU16(&b[pos + 10]);
        const std::uint16_t name = rsrc::ReadU16(&b[pos + 14]);
        const std::uint16_t language = rsrc::ReadU16(&b[pos + 22]);
        if (pos + headerSize + dataSize > b.size()) {
            ADD_FAILURE() << "resource past the end of the .res file";
            break;
        }
        if (type != 0)  // the leading empty entry marks a 32-bit .res file
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
    cmd += " /FO '" + res.string() + "' '" + script.string() + "' >'" + (dir / "log").string() +
           "' 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
    std::map<Key, Bytes> out = ParseRes(ReadFile(res));
    fs::remove_all(dir);
    return out;
}

std::map<Key, Bytes> CompileWithQmrc(const fs::path& script,
                                     const std::vector<std::string>& defines) {
    RcCompiler c;
    for (const auto& d : defines) {
        auto eq = d.find('=');
        c.Define(d.substr(0, eq), d.substr(eq + 1));
    }
    Bytes text = ReadFile(script);
    EXPECT_TRUE(c.Compile(std::string(text.begin(), text.end()), script.string())) << c.Error();
    std::map<Key, Bytes> out;
    for (const auto& r : c.Resources())
        out[{r.type.ordinal, r.name.ordinal, r.language}] = r.data;
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

}  // namespace
}  // namespace win::rc
