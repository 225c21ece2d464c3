// A throw-away user directory for tests of the file, path and shell calls:
// made under the host's temporary directory, made the process's user
// directory, and removed with everything below it at the end. Test code only.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/win/Environment.h"
#include "platform/win/Paths.h"

namespace win::testing {

class TestMachine {
public:
    TestMachine() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm-win-XXXXXX";
        char* made = mkdtemp(pattern.data());
        m_root = made ? made : "/tmp";
        m_user = m_root + "/ann";
        mkdir(m_user.c_str(), 0777);
        mkdir(DriveC().c_str(), 0777);
        unsetenv("QUILLMERE_USER_NAME");
        SetUserDirectory(m_user);
        SetCurrentDirectoryW(L"C:\\");
    }
    ~TestMachine() {
        SetCurrentDirectoryW(L"C:\\");
        for (wchar_t d = L'A'; d <= L'Z'; ++d)
            MapDrive(d, "");
        nftw(m_root.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    TestMachine(const TestMachine&) = delete;
    TestMachine& operator=(const TestMachine&) = delete;

    const std::string& Root() const { return m_root; }
    const std::string& User() const { return m_user; }
    std::string DriveC() const { return m_user + "/drive_c"; }

    // Host files for arranging and checking a test.
    static void WriteHostFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string ReadHostFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool HostExists(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0;
    }

private:
    static int Remove(const char* path, const struct stat*, int, FTW*) {
        chmod(path, 0777);
        return std::remove(path);
    }

    std::string m_root;
    std::string m_user;
};

}  // namespace win::testing
