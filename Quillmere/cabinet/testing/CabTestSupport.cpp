#include "Quillmere/cabinet/testing/CabTestSupport.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <stdlib.h>
#include <sys/wait.h>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/cabinet/Extract.h"
#include "platform/win/Environment.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace Cabinet::testing {

namespace fs = std::filesystem;

ScratchUser::ScratchUser() {
    std::string pattern = (fs::temp_directory_path() / "qmcab-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_root = buffer.data();
    fs::create_directories(m_root + "/user/drive_c");
    win::SetUserDirectory(m_root + "/user");
}

ScratchUser::~ScratchUser() {
    std::error_code ignored;
    // Extracted files may be read-only.
    for (auto it = fs::recursive_directory_iterator(m_root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(m_root, ignored);
}

std::string ScratchUser::Host(const std::wstring& windowsPath) {
    auto host = win::HostPath(windowsPath);
    if (!host) {
        throw std::runtime_error("unmapped path");
    }
    return *host;
}

void WriteHostFile(const std::string& hostPath, const Bytes& data) {
    fs::create_directories(fs::path(hostPath).parent_path());
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

Bytes ReadHostFile(const std::string& hostPath) {
    std::error_code error;
    auto size = fs::file_size(hostPath, error);
    if (error) {
        return Bytes();
    }
    // One read of the whole file: the tests read files of several megabytes,
    // which byte-wise stream iteration makes slow in unoptimised builds.
    Bytes data(static_cast<std::size_t>(size));
    std::ifstream in(hostPath, std::ios::binary);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    data.resize(static_cast<std::size_t>(in.gcount()));
    return data;
}

bool HostFileExists(const std::string& hostPath) {
    return fs::exists(hostPath);
}

std::vector<std::string> ListHostFiles(const std::string& hostDir) {
    std::vector<std::string> files;
    std::error_code ignored;
    if (!fs::exists(hostDir)) {
        return files;
    }
    for (const auto& entry : fs::recursive_directory_iterator(hostDir, ignored)) {
        if (entry.is_regular_file()) {
            files.push_back(fs::relative(entry.path(), hostDir).string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

Bytes RandomBytes(std::uint32_t seed, std::size_t size) {
    std::mt19937 random(seed);
    Bytes data(size);
    for (auto& b : data) {
        b = static_cast<std::uint8_t>(random());
    }
    return data;
}

Bytes MailText(std::uint32_t seed, std::size_t size) {
    static const std::array<const char*, 12> kWords = {
        "meeting",  "folder",  "calendar", "please",  "attached", "review",
        "Thursday", "project", "update",   "contact", "thanks",   "schedule"};
    std::mt19937 random(seed);
    std::string text;
    int message = 0;
    while (text.size() < size) {
        text += "From: user" + std::to_string(random() % 7) + "@example.org\r\n";
        text += "To: team@example.org\r\nSubject: Re: " + std::string(kWords[random() % 12]) + " " +
                std::to_string(message++) + "\r\nContent-Type: text/plain\r\n\r\n";
        int lines = 3 + static_cast<int>(random() % 12);
        for (int l = 0; l < lines; ++l) {
            std::string line = (random() % 3 == 0) ? "> " : "";
            int words = 4 + static_cast<int>(random() % 10);
            for (int w = 0; w < words; ++w) {
                line += kWords[random() % 12];
                line += (w + 1 < words) ? " " : ".";
            }
            text += line + "\r\n";
        }
        text += "\r\n";
    }
    text.resize(size);
    return Bytes(text.begin(), text.end());
}

int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string collected;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        collected.append(buffer, n);
    }
    int status = pclose(pipe);
    if (output != nullptr) {
        *output = collected;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string KeyBytes(const std::wstring& key) {
    if (key.empty()) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_THREAD_ACP, 0, key.c_str(), static_cast<int>(key.size()),
                                   nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, key.c_str(), static_cast<int>(key.size()), bytes.data(),
                        size, nullptr, nullptr);
    return bytes;
}

bool PackFiles(const std::wstring& cabinet, const std::vector<PackSource>& sources,
               const std::wstring& key, TCOMP compression, std::wstring* error) {
    CCompress writer;
    std::string bytes = KeyBytes(key);
    writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()));
    writer.AllocateBuffer();
    bool ok = writer.CreateFCIContext(cabinet.c_str(), TRUE, TRUE, 0x7FFFFFFF, 23364, 0);
    for (const auto& source : sources) {
        ok = ok && writer.AddFile(source.path.c_str(), source.name.c_str(), compression);
    }
    ok = writer.CleanUp() && ok;
    if (!ok && error != nullptr) {
        *error = writer.GetLastErrorText();
    }
    return ok;
}

bool UnpackFiles(const std::wstring& cabinet, const std::wstring& target, const std::wstring& key,
                 std::wstring* error) {
    CExtract reader;
    std::string bytes = KeyBytes(key);
    reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(bytes.data()),
                           static_cast<DWORD>(bytes.size()));
    reader.AllocateBuffer();
    bool ok = reader.CreateFDIContext() && reader.ExtractFile(cabinet.c_str(), target.c_str(), 0);
    std::wstring text = reader.GetLastErrorText();
    ok = reader.CleanUp() && ok;
    if (!ok && error != nullptr) {
        *error = text;
    }
    return ok;
}

}  // namespace Cabinet::testing
