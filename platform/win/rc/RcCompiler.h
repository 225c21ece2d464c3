// qmrc: the stand-in's resource compiler. It reads the subset of the
// resource-script language that the product's .rc files use and lays the
// resources out as the platform does (string tables in blocks of 16,
// VS_VERSIONINFO trees), packed into one blob of the module resource section
// (ResourceFormat.h, doc/resource_format.md).
//
// Accepted:
//   #define NAME text, #undef, #ifdef/#ifndef/#else/#endif; #pragma is
//     ignored; #include <...> too (the platform's constants are built in);
//     #include "x.h" reads only the preprocessor lines of a C/C++ header.
//   LANGUAGE primary, sub
//   STRINGTABLE [options] [LANGUAGE p, s] BEGIN id [,] "text"... END
//     strings: "" and \" for a quote, \n \r \t \a \\, \xHH (L"": \xHHHH),
//     octal \ooo;
//     an optional L prefix; adjacent literals are joined.
//   name VERSIONINFO FILEVERSION a,b,c,d PRODUCTVERSION a,b,c,d FILEFLAGSMASK x
//     FILEFLAGS x FILEOS x FILETYPE x FILESUBTYPE x BEGIN BLOCK "key" BEGIN ...
//     END VALUE "key", "text" | number [, number...] END
//   name DIALOG|DIALOGEX x, y, cx, cy [, helpid] STYLE s EXSTYLE x CAPTION "t"
//     FONT size, "face" [, weight, italic, charset] MENU m CLASS "c"
//     BEGIN controls END; controls: CONTROL "text"|n, id, "class"|atom, style,
//     x, y, cx, cy [, exstyle [, helpid]] and LTEXT RTEXT CTEXT EDITTEXT
//     PUSHBUTTON DEFPUSHBUTTON CHECKBOX AUTOCHECKBOX RADIOBUTTON AUTORADIOBUTTON
//     STATE3 AUTO3STATE GROUPBOX COMBOBOX LISTBOX SCROLLBAR with their implied
//     classes and styles; in styles "NOT x" clears bits x.
//   name ICON "file.ico"             (RT_ICON images and an RT_GROUP_ICON)
//   name BITMAP "file.bmp"           (RT_BITMAP, without the file header)
//   name RCDATA|type "file"          (file relative to the script)
//   name RCDATA|type BEGIN "text" | L"text" | number[L] , ... END
//   Numbers: decimal, 0x hex, an L suffix (32-bit), with | + - ~ and ( ).
//   The platform headers' constants for languages, version and window, dialog
//   and control styles are predefined.
//   BEGIN/END may be written { }; keywords are case-insensitive.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace win::rc {

// A resource type or name: an ordinal, or an upper-cased text name.
struct ResourceId {
    bool isString = false;
    std::uint16_t ordinal = 0;
    std::u16string name;

    static ResourceId Ordinal(std::uint16_t n) { return ResourceId{false, n, {}}; }
    friend bool operator<(const ResourceId& a, const ResourceId& b);
    friend bool operator==(const ResourceId& a, const ResourceId& b) = default;
};

struct CompiledResource {
    ResourceId type;
    ResourceId name;
    std::uint16_t language = 0;
    std::vector<std::uint8_t> data;
};

class RcCompiler {
public:
    // Predefines a macro, as -DNAME=VALUE on the command line does.
    void Define(const std::string& name, const std::string& value);
    // Directory that file names in the script are relative to.
    void SetBaseDirectory(const std::string& dir) { m_baseDir = dir; }
    // Further directories searched for #include "header.h" after the script's own.
    void AddIncludeDirectory(const std::string& dir) { m_includeDirs.push_back(dir); }
    // The headers read by the scripts compiled so far (for a depfile).
    const std::vector<std::string>& Dependencies() const { return m_dependencies; }

    // Compiles one script (UTF-8) and adds its resources to those compiled
    // before. False with Error() = "<file>:<line>: <message>" on the first
    // error; the resources of a failed script are not added.
    bool Compile(std::string_view text, std::string_view fileName);
    const std::string& Error() const { return m_error; }

    // The resources compiled so far, sorted by type, name and language.
    std::vector<CompiledResource> Resources() const;
    // The blob for the module resource section. Fails (empty result, Error()
    // set) when two resources share type, name and language or it would
    // exceed the format's 32-bit sizes.
    std::vector<std::uint8_t> BuildBlob();

private:
    friend class RcParser;
    std::map<std::string, std::string> m_defines;
    std::string m_baseDir;
    std::vector<std::string> m_includeDirs;
    std::vector<std::string> m_dependencies;
    std::string m_error;
    // language -> id -> text, merged into blocks when the blob is built.
    std::map<std::uint16_t, std::map<std::uint16_t, std::u16string>> m_strings;
    std::vector<CompiledResource> m_other;
    std::uint32_t m_nextIconId = 1;  // RT_ICON ordinals are handed out in order
};

// The C++ source that places a blob in the resource section of whatever
// module links it. With exported, the array has external C linkage under
// symbol (so that code can reference it and pull the object from a static
// library); otherwise internal linkage.
std::string EmitCpp(const std::vector<std::uint8_t>& blob, const std::string& symbol, bool exported,
                    const std::string& sourceName);

// UTF-8 to UTF-16; false on malformed input.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

}  // namespace win::rc
