#include "platform/win/rc/RcCompiler.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/win/rc/ResourceFormat.h"

namespace win::rc {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Le16(std::initializer_list<std::uint16_t> words) {
    Bytes out;
    for (auto w : words)
        rsrc::AppendU16(out, w);
    return out;
}

// The resources of one script, or a test failure with the compiler's message.
std::vector<CompiledResource> CompileOk(const std::string& script, RcCompiler& c) {
    EXPECT_TRUE(c.Compile(script, "test.rc")) << c.Error();
    return c.Resources();
}
std::vector<CompiledResource> CompileOk(const std::string& script) {
    RcCompiler c;
    return CompileOk(script, c);
}

const CompiledResource* Find(const std::vector<CompiledResource>& all, std::uint16_t type,
                             std::uint16_t name, std::uint16_t language) {
    for (const auto& r : all) {
        if (!r.type.isString && r.type.ordinal == type && !r.name.isString &&
            r.name.ordinal == name && r.language == language)
            return &r;
    }
    return nullptr;
}

// Entry `index` of a string block, decoded by walking the counted entries.
std::u16string BlockEntry(const Bytes& block, unsigned index) {
    std::size_t pos = 0;
    for (unsigned i = 0;; ++i) {
        std::uint16_t len = rsrc::ReadU16(&block[pos]);
        pos += 2;
        if (i == index) {
            std::u16string s;
            for (unsigned k = 0; k < len; ++k)
                s.push_back(rsrc::ReadU16(&block[pos + 2 * k]));
            return s;
        }
        pos += 2u * len;
    }
}

TEST(RcCompilerTest, StringTableIsLaidOutInBlocksOfSixteenCountedEntries) {
    auto all = CompileOk(
        "LANGUAGE 0, 0\n"
        "STRINGTABLE\nBEGIN\n  1, \"Ab\"\n  17 \"x\"\nEND\n");
    ASSERT_EQ(all.size(), 2u);
    // Block 1 holds ids 0..15: id 0 empty, id 1 = "Ab", 14 empty entries after it.
    const auto* b1 = Find(all, rsrc::kTypeString, 1, 0);
    ASSERT_NE(b1, nullptr);
    Bytes expected = Le16({0, 2, u'A', u'b', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(b1->data, expected);
    // Block 2 holds ids 16..31: id 17 at position 1.
    const auto* b2 = Find(all, rsrc::kTypeString, 2, 0);
    ASSERT_NE(b2, nullptr);
    EXPECT_EQ(b2->data, Le16({0, 1, u'x', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RcCompilerTest, StringIdSelectsBlockIdDividedBySixteenPlusOne) {
    auto all = CompileOk("STRINGTABLE BEGIN 1220 \"a\" 1231 \"b\" 1232 \"c\" END");
    const auto* b77 = Find(all, rsrc::kTypeString, 77, 0);  // 1216..1231
    const auto* b78 = Find(all, rsrc::kTypeString, 78, 0);  // 1232..1247
    ASSERT_NE(b77, nullptr);
    ASSERT_NE(b78, nullptr);
    EXPECT_EQ(BlockEntry(b77->data, 4), u"a");
    EXPECT_EQ(BlockEntry(b77->data, 15), u"b");
    EXPECT_EQ(BlockEntry(b78->data, 0), u"c");
    EXPECT_EQ(BlockEntry(b77->data, 5), u"");
    EXPECT_EQ(all.size(), 2u);
}

TEST(RcCompilerTest, StringEscapesAreDecoded) {
    struct Case {
        const char* literal;
        std::u16string text;
    } cases[] = {
        {R"("line\nfeed")", u"line\nfeed"},
        {R"("say ""private""")", u"say \"private\""},
        {R"("\"q\"")", u"\"q\""},
        {R"(L"\x00e9t\xe9")", u"\u00e9t\u00e9"},
        {R"("\x4142\xe9")", u"A42\u00e9"},  // narrow: two digits at most
        {R"("tab\tback\\slash")", u"tab\tback\\slash"},
        {R"("\101\0z")", std::u16string(u"A\0z", 3)},
        {"\"gr\xC3\xBC\xC3\x9F\"", u"gr\u00fc\u00df"},  // UTF-8 source text
        {"\"\xF0\x9F\x98\x80\"", u"\U0001F600"},        // surrogate pair
        {R"("two" " parts")", u"two parts"},
        {R"(L"wide")", u"wide"},
        {R"("two  blanks")", u"two  blanks"},
        {R"("keep\q")", u"keep\\q"},
    };
    for (const auto& c : cases) {
        auto all = CompileOk(std::string("STRINGTABLE BEGIN 5, ") + c.literal + " END");
        ASSERT_EQ(all.size(), 1u) << c.literal;
        EXPECT_EQ(BlockEntry(all[0].data, 5), c.text) << c.literal;
    }
}

TEST(RcCompilerTest, LanguageStatementTagsFollowingTables) {
    auto all = CompileOk(
        "LANGUAGE LANG_NEUTRAL, SUBLANG_NEUTRAL\nSTRINGTABLE BEGIN 1 \"n\" END\n"
        "LANGUAGE LANG_GERMAN, SUBLANG_NEUTRAL\nSTRINGTABLE BEGIN 1 \"de\" END\n"
        "LANGUAGE 0x0c, 0x01\nSTRINGTABLE BEGIN 1 \"fr\" END\n"
        "STRINGTABLE LANGUAGE 0x0a, 0 BEGIN 1 \"es\" END\n");
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0x0000)->data, 1), u"n");
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0x0007)->data, 1), u"de");
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0x040C)->data, 1), u"fr");
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0x000A)->data, 1), u"es");
}

TEST(RcCompilerTest, DefinesAndConditionalsApply) {
    RcCompiler c;
    c.Define("FROM_CMDLINE", "42");
    auto all = CompileOk(
        "#include <winver.h>\n"
        "#pragma code_page(65001)\n"
        "#define IDS_HELLO 3 // comment\n"
        "#define GREETING \"hi\"\n"
        "#ifdef NOT_DEFINED\n"
        "STRINGTABLE BEGIN 4 \"skipped\" END\n"
        "#else\n"
        "STRINGTABLE BEGIN IDS_HELLO GREETING\n FROM_CMDLINE \"cmd\" END\n"
        "#endif\n",
        c);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0)->data, 3), u"hi");
    EXPECT_EQ(BlockEntry(Find(all, 6, 1, 0)->data, 4), u"");
    EXPECT_EQ(BlockEntry(Find(all, 6, 3, 0)->data, 10), u"cmd");  // 42 = block 3, index 10
}

TEST(RcCompilerTest, IncludedHeadersContributeOnlyTheirDefines) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("qm_rc_inc_" + std::to_string(::getpid()));
    fs::create_directories(dir / "more");
    std::ofstream(dir / "ids.h") << "#pragma once\n"
                                    "#ifndef IDS_H\n#define IDS_H\n"
                                    "#define IDS_A 7\n"
                                    "#include \"more/nested.h\"\n"
                                    "inline constexpr int kIgnored = IDS_A; // C++ is skipped\n"
                                    "#endif\n";
    std::ofstream(dir / "more" / "nested.h") << "#define IDS_B (IDS_A + 1)\n";
    std::ofstream(dir / "bad.h") << "#if 1\n";
    RcCompiler c;
    c.SetBaseDirectory(dir.string());
    auto all = CompileOk(
        "#include <windows.h>\n#include \"ids.h\"\n#include \"ids.h\"\n"
        "STRINGTABLE BEGIN IDS_A \"a\" IDS_B \"b\" END\n",
        c);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(BlockEntry(all[0].data, 7), u"a");
    EXPECT_EQ(BlockEntry(all[0].data, 8), u"b");
    ASSERT_EQ(c.Dependencies().size(), 3u);  // the guard skips nested.h the second time
    EXPECT_EQ(c.Dependencies()[1], (dir / "more" / "nested.h").string());

    struct Case {
        const char* script;
        const char* error;
    } cases[] = {
        {"\n#include \"missing.h\"\n", "test.rc:2: cannot open include file missing.h"},
        {"#include \"bad.h\"\n", "test.rc:1: bad.h:1: unsupported directive #if"},
        {"#include \"other.rc\"\n", "test.rc:1: only C and C++ headers can be included: other.rc"},
    };
    for (const auto& k : cases) {
        RcCompiler failing;
        failing.SetBaseDirectory(dir.string());
        EXPECT_FALSE(failing.Compile(k.script, "test.rc"));
        EXPECT_EQ(failing.Error(), k.error);
    }
    fs::remove_all(dir);
}

TEST(RcCompilerTest, ErrorsNameFileAndLine) {
    struct Case {
        const char* script;
        const char* error;
    } cases[] = {
        {"STRINGTABLE BEGIN\n1 \"a\"\n1 \"b\"\nEND", "test.rc:3: string id 1 defined twice"},
        {"STRINGTABLE BEGIN\n1 \"open\nEND", "test.rc:2: unterminated string"},
        {"STRINGTABLE BEGIN\nIDS_MISSING \"a\"\nEND", "test.rc:2: undefined name 'IDS_MISSING'"},
        {"STRINGTABLE BEGIN 70000 \"a\" END", "test.rc:1: string id out of range"},
        {"STRINGTABLE BEGIN 1 \"a\"", "test.rc:1: END expected"},
        {"LANGUAGE 0x400, 0", "test.rc:1: language out of range"},
        {"#if 1\n", "test.rc:1: unsupported directive #if"},
        {"#ifdef X\n", "test.rc:1: #ifdef without #endif"},
        {"STRINGTABLE BEGIN 1 \"\xC3\" END", "test.rc:1: string is not valid UTF-8"},
        {"#define A A\nSTRINGTABLE BEGIN A \"x\" END", "test.rc:2: macro 'A' expands too deeply"},
    };
    for (const auto& c : cases) {
        RcCompiler compiler;
        EXPECT_FALSE(compiler.Compile(c.script, "test.rc")) << c.script;
        EXPECT_EQ(compiler.Error(), c.error) << c.script;
        EXPECT_TRUE(compiler.Resources().empty());
    }
}

// One node of a version tree, decoded by walking the bytes as a reader does.
struct Node {
    std::uint16_t length, valueLength, type;
    std::u16string key;
    std::size_t valueOffset;
    std::vector<Node> children;
};

Node Parse(const Bytes& b, std::size_t at) {
    Node n{};
    n.length = rsrc::ReadU16(&b[at]);
    n.valueLength = rsrc::ReadU16(&b[at + 2]);
    n.type = rsrc::ReadU16(&b[at + 4]);
    std::size_t p = at + 6;
    while (rsrc::ReadU16(&b[p]) != 0) {
        n.key.push_back(rsrc::ReadU16(&b[p]));
        p += 2;
    }
    p = (p + 2 + 3) & ~std::size_t{3};
    n.valueOffset = p;
    p += n.type == 1 ? 2u * n.valueLength : n.valueLength;
    std::size_t end = at + n.length;
    for (p = (p + 3) & ~std::size_t{3}; p < end; p = (p + 3) & ~std::size_t{3}) {
        Node c = Parse(b, p);
        EXPECT_LE(p + c.length, end) << "child passes its parent's end";
        p += c.length;
        n.children.push_back(std::move(c));
    }
    return n;
}

TEST(RcCompilerTest, VersionInfoHasThePlatformLayout) {
    RcCompiler c;
    c.Define("QM_VERSION_MAJOR", "3");
    auto all = CompileOk(
        "VS_VERSION_INFO VERSIONINFO\n"
        " FILEVERSION QM_VERSION_MAJOR,2,1,0\n"
        " PRODUCTVERSION 3,2,1,7\n"
        " FILEFLAGSMASK VS_FFI_FILEFLAGSMASK\n"
        " FILEFLAGS 0x0L\n"
        " FILEOS VOS_NT_WINDOWS32\n"
        " FILETYPE VFT_DLL\n"
        " FILESUBTYPE VFT2_UNKNOWN\n"
        "BEGIN\n"
        " BLOCK \"StringFileInfo\"\n BEGIN\n  BLOCK \"040904b0\"\n  BEGIN\n"
        "   VALUE \"FileVersion\", \"3.2.1\"\n"
        "   VALUE \"ProductName\", \"Quillmere\"\n"
        "  END\n END\n"
        " BLOCK \"VarFileInfo\"\n BEGIN\n  VALUE \"Translation\", 0x409, 1200\n END\n"
        "END\n",
        c);
    const auto* v = Find(all, rsrc::kTypeVersion, 1, 0);
    ASSERT_NE(v, nullptr);
    const Bytes& b = v->data;
    Node root = Parse(b, 0);
    EXPECT_EQ(root.length, b.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(root.type, 0);
    EXPECT_EQ(root.valueLength, 52);
    // 6 header bytes + 16 key units = 38, padded to 40.
    EXPECT_EQ(root.valueOffset, 40u);
    const std::uint8_t* f = &b[root.valueOffset];
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixSignature), 0xFEEF04BDu);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixStrucVersion), 0x00010000u);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixFileVersionMS), 0x00030002u);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixFileVersionLS), 0x00010000u);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixProductVersionLS), 0x00010007u);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixFileFlagsMask), 0x3Fu);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixFileOS), 0x40004u);
    EXPECT_EQ(rsrc::ReadU32(f + rsrc::kFixFileType), 2u);

    ASSERT_EQ(root.children.size(), 2u);
    const Node& sfi = root.children[0];
    EXPECT_EQ(sfi.key, u"StringFileInfo");
    EXPECT_EQ(sfi.type, 1);
    EXPECT_EQ(sfi.valueLength, 0);
    ASSERT_EQ(sfi.children.size(), 1u);
    const Node& table = sfi.children[0];
    EXPECT_EQ(table.key, u"040904b0");
    ASSERT_EQ(table.children.size(), 2u);
    const Node& fv = table.children[0];
    EXPECT_EQ(fv.key, u"FileVersion");
    EXPECT_EQ(fv.type, 1);
    EXPECT_EQ(fv.valueLength, 6);  // "3.2.1" and its terminator, in UTF-16 units
    EXPECT_EQ(rsrc::ReadU16(&b[fv.valueOffset]), u'3');
    EXPECT_EQ(rsrc::ReadU16(&b[fv.valueOffset + 10]), 0);

    const Node& vfi = root.children[1];
    EXPECT_EQ(vfi.key, u"VarFileInfo");
    ASSERT_EQ(vfi.children.size(), 1u);
    const Node& tr = vfi.children[0];
    EXPECT_EQ(tr.key, u"Translation");
    EXPECT_EQ(tr.type, 0);
    EXPECT_EQ(tr.valueLength, 4);  // bytes
    EXPECT_EQ(rsrc::ReadU16(&b[tr.valueOffset]), 0x409);
    EXPECT_EQ(rsrc::ReadU16(&b[tr.valueOffset + 2]), 1200);
}

TEST(RcCompilerTest, BlobHeaderAndDirectoryDescribeEveryResource) {
    RcCompiler c;
    CompileOk(
        "LANGUAGE 7, 0\nSTRINGTABLE BEGIN 1 \"de\" END\n"
        "LANGUAGE 0, 0\nSTRINGTABLE BEGIN 1 \"en\" 40 \"later\" END\n"
        "7 RCDATA BEGIN \"ab\", 0x0102, 0x03040506L END\n"
        "Logo CUSTOMTYPE BEGIN L\"w\" END\n",
        c);
    Bytes blob = c.BuildBlob();
    ASSERT_FALSE(blob.empty()) << c.Error();
    EXPECT_EQ(rsrc::ReadU32(&blob[rsrc::kHdrMagic]), rsrc::kBlobMagic);
    EXPECT_EQ(rsrc::ReadU16(&blob[rsrc::kHdrVersion]), 1);
    EXPECT_EQ(rsrc::ReadU16(&blob[rsrc::kHdrHeaderSize]), rsrc::kHeaderSize);
    EXPECT_EQ(rsrc::ReadU32(&blob[rsrc::kHdrBlobSize]), blob.size());
    EXPECT_EQ(blob.size() % rsrc::kBlobAlignment, 0u);
    ASSERT_EQ(rsrc::ReadU32(&blob[rsrc::kHdrEntryCount]), 5u);

    struct Want {
        std::uint32_t type, name;
        std::uint16_t language;
    } want[] = {{6, 1, 0}, {6, 1, 7}, {6, 3, 0}, {10, 7, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::uint8_t* e = &blob[rsrc::kHeaderSize + i * rsrc::kEntrySize];
        EXPECT_EQ(rsrc::ReadU32(e + rsrc::kEntType), want[i].type) << i;
        EXPECT_EQ(rsrc::ReadU32(e + rsrc::kEntName), want[i].name) << i;
        EXPECT_EQ(rsrc::ReadU16(e + rsrc::kEntLanguage), want[i].language) << i;
        std::uint32_t off = rsrc::ReadU32(e + rsrc::kEntDataOffset);
        EXPECT_EQ(off % rsrc::kDataAlignment, 0u);
        EXPECT_LE(off + rsrc::ReadU32(e + rsrc::kEntDataSize), blob.size());
    }
    const std::uint8_t* raw = &blob[rsrc::kHeaderSize + 3 * rsrc::kEntrySize];
    EXPECT_EQ(rsrc::ReadU32(raw + rsrc::kEntDataSize), 8u);
    Bytes rawData(&blob[rsrc::ReadU32(raw + rsrc::kEntDataOffset)],
                  &blob[rsrc::ReadU32(raw + rsrc::kEntDataOffset)] + 8);
    EXPECT_EQ(rawData, (Bytes{'a', 'b', 0x02, 0x01, 0x06, 0x05, 0x04, 0x03}));
    // The named resource sorts after the ordinal ones, with upper-cased names.
    auto all = c.Resources();
    ASSERT_EQ(all.size(), 5u);
    EXPECT_TRUE(all[4].type.isString);
    EXPECT_EQ(all[4].type.name, u"CUSTOMTYPE");
    EXPECT_EQ(all[4].name.name, u"LOGO");
}

TEST(RcCompilerTest, DialogTemplateHasThePlatformLayout) {
    auto all = CompileOk(
        "131 DIALOGEX 0, 0, 253, 263\n"
        "STYLE DS_SETFONT | DS_FIXEDSYS | DS_CONTROL | WS_CHILD\n"
        "EXSTYLE WS_EX_CONTROLPARENT | WS_EX_TRANSPARENT\n"
        "FONT 8, \"MS Shell Dlg\"\n"
        "BEGIN\n"
        "  EDITTEXT 1001, 10, 20, 30, 12, ES_AUTOHSCROLL | NOT WS_BORDER\n"
        "  CONTROL \"\", IDC_STATIC, \"msctls_progress32\", PBS_SMOOTH, -1, 2, 3, 4\n"
        "END\n");
    const auto* d = Find(all, rsrc::kTypeDialog, 131, 0);
    ASSERT_NE(d, nullptr);
    const Bytes& b = d->data;
    // DLGTEMPLATEEX: dlgVer, signature, helpID, exStyle, style, cDlgItems, x, y, cx, cy.
    EXPECT_EQ(rsrc::ReadU16(&b[0]), 1);
    EXPECT_EQ(rsrc::ReadU16(&b[2]), 0xFFFF);
    EXPECT_EQ(rsrc::ReadU32(&b[8]), 0x00010020u);
    EXPECT_EQ(rsrc::ReadU32(&b[12]), 0x40000448u);
    EXPECT_EQ(rsrc::ReadU16(&b[16]), 2);
    EXPECT_EQ(rsrc::ReadU16(&b[22]), 253);
    EXPECT_EQ(rsrc::ReadU16(&b[24]), 263);
    // No menu, no class, empty title; then the font: size, weight, italic, charset, face.
    EXPECT_EQ(Bytes(b.begin() + 26, b.begin() + 32), (Bytes{0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rsrc::ReadU16(&b[32]), 8);
    EXPECT_EQ(rsrc::ReadU16(&b[34]), 0);
    EXPECT_EQ(b[36], 0);
    EXPECT_EQ(b[37], 1);
    std::size_t p = 38 + 2 * (12 + 1);  // "MS Shell Dlg" and its terminator
    p = (p + 3) & ~std::size_t{3};
    // DLGITEMTEMPLATEEX: helpID, exStyle, style, x, y, cx, cy, id, class, title, extra.
    EXPECT_EQ(rsrc::ReadU32(&b[p + 8]), 0x50010080u);  // WS_BORDER cleared, WS_TABSTOP kept
    EXPECT_EQ(rsrc::ReadU32(&b[p + 20]), 1001u);
    EXPECT_EQ(rsrc::ReadU16(&b[p + 24]), 0xFFFF);
    EXPECT_EQ(rsrc::ReadU16(&b[p + 26]), 0x81);  // the edit class atom
    EXPECT_EQ(rsrc::ReadU16(&b[p + 28]), 0);     // no text
    EXPECT_EQ(rsrc::ReadU16(&b[p + 30]), 0);     // no creation data
    p = (p + 32 + 3) & ~std::size_t{3};
    EXPECT_EQ(rsrc::ReadU32(&b[p + 8]), 0x50000001u);
    EXPECT_EQ(static_cast<std::int16_t>(rsrc::ReadU16(&b[p + 12])), -1);
    EXPECT_EQ(rsrc::ReadU32(&b[p + 20]), 0xFFFFFFFFu);  // IDC_STATIC
    EXPECT_EQ(rsrc::ReadU16(&b[p + 24]), u'm');         // class by name
}

TEST(RcCompilerTest, DuplicateResourceFailsTheBlob) {
    RcCompiler c;
    CompileOk("1 RCDATA BEGIN 1 END\n", c);
    CompileOk("1 RCDATA BEGIN 2 END\n", c);
    EXPECT_TRUE(c.BuildBlob().empty());
    EXPECT_EQ(c.Error(), "two resources of the same type, name and language");
}

TEST(RcCompilerTest, EmittedSourcePlacesTheBytesInTheResourceSection) {
    std::string src = EmitCpp({0x51, 0x4d, 0xff}, "blob_x", true, "a.rc");
    EXPECT_NE(src.find("section(\".qmrsrc\")"), std::string::npos);
    EXPECT_NE(src.find("extern \"C\""), std::string::npos);
    EXPECT_NE(src.find("blob_x[3] = {\n    0x51, 0x4d, 0xff,\n};"), std::string::npos);
    std::string local = EmitCpp({0x00}, "blob_y", false, "a.rc");
    EXPECT_EQ(local.find("extern"), std::string::npos);
    EXPECT_NE(local.find("static const unsigned char blob_y[1]"), std::string::npos);
}

}  // namespace
}  // namespace win::rc
