// qmrc: compiles resource scripts into a C++ source whose object carries the
// resources in the module resource section.
//
//   qmrc [-D NAME[=VALUE]]... [-I DIR]... [--symbol NAME] [--export]
//        [--depfile out.d] -o out.cpp script.rc...
//
// Exit code 0 on success; 1 with a "file:line: message" on stderr otherwise.
// The output is written to a temporary file and renamed into place, so a
// failed run never leaves a half-written source behind.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win/rc/RcCompiler.h"

namespace {

int Usage() {
    std::cerr << "usage: qmrc [-D NAME[=VALUE]]... [-I DIR]... [--symbol NAME] [--export] "
                 "[--depfile out.d] -o out.cpp script.rc...\n";
    return 1;
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv) {
    win::rc::RcCompiler compiler;
    std::string output, depfile, symbol = "qmrsrc_blob";
    bool exported = false;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a.rfind("-D", 0) == 0) {
            std::string def = a.size() > 2 ? a.substr(2) : (i + 1 < argc ? argv[++i] : "");
            auto eq = def.find('=');
            if (def.empty())
                return Usage();
            compiler.Define(def.substr(0, eq), eq == std::string::npos ? "1" : def.substr(eq + 1));
        } else if (a.rfind("-I", 0) == 0) {
            std::string dir = a.size() > 2 ? a.substr(2) : (i + 1 < argc ? argv[++i] : "");
            if (dir.empty())
                return Usage();
            compiler.AddIncludeDirectory(dir);
        } else if (a == "--depfile" && i + 1 < argc) {
            depfile = argv[++i];
        } else if (a == "-o" && i + 1 < argc) {
            output = argv[++i];
        } else if (a == "--symbol" && i + 1 < argc) {
            symbol = argv[++i];
        } else if (a == "--export") {
            exported = true;
        } else if (!a.empty() && a[0] == '-') {
            return Usage();
        } else {
            inputs.push_back(a);
        }
    }
    if (output.empty() || inputs.empty())
        return Usage();
    for (const auto& in : inputs) {
        std::ifstream f(in, std::ios::binary);
        if (!f) {
            std::cerr << in << ": cannot open\n";
            return 1;
        }
        std::ostringstream text;
        text << f.rdbuf();
        compiler.SetBaseDirectory(DirectoryOf(in));
        if (!compiler.Compile(text.str(), in)) {
            std::cerr << compiler.Error() << "\n";
            return 1;
        }
    }
    std::vector<std::uint8_t> blob = compiler.BuildBlob();
    if (blob.empty()) {
        std::cerr << output << ": " << compiler.Error() << "\n";
        return 1;
    }
    std::string tmp = output + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << win::rc::EmitCpp(blob, symbol, exported, inputs.front());
        if (!out.flush()) {
            std::cerr << tmp << ": cannot write\n";
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), output.c_str()) != 0) {
        std::cerr << output << ": cannot rename into place\n";
        return 1;
    }
    if (!depfile.empty()) {
        // Make syntax: the output depends on every script and header read.
        auto escaped = [](const std::string& path) {
            std::string e;
            for (char c : path) {
                if (c == ' ' || c == '#')
                    e.push_back('\\');
                if (c == '$')
                    e.push_back('$');
                e.push_back(c);
            }
            return e;
        };
        std::ofstream d(depfile, std::ios::trunc);
        d << escaped(output) << ":";
        for (const auto& in : inputs)
            d << " \\\n  " << escaped(in);
        for (const auto& dep : compiler.Dependencies())
            d << " \\\n  " << escaped(dep);
        d << "\n";
        if (!d.flush()) {
            std::cerr << depfile << ": cannot write\n";
            return 1;
        }
    }
    return 0;
}
