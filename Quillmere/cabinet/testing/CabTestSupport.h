// Shared helpers of the cabinet class tests: a private user directory (so that
// drive C: and the temporary directory live in a fresh host directory), host
// file access, deterministic test data and external commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace Cabinet::testing {

using Bytes = std::vector<std::uint8_t>;

// Creates a fresh host directory, makes it the user directory and removes it
// again on destruction. Windows paths below "C:\" then land inside it.
class ScratchUser {
public:
    ScratchUser();
    ~ScratchUser();
    ScratchUser(const ScratchUser&) = delete;
    ScratchUser& operator=(const ScratchUser&) = delete;

    const std::string& Root() const { return m_root; }
    // The host path of a Windows path.
    static std::string Host(const std::wstring& windowsPath);

private:
    std::string m_root;
};

void WriteHostFile(const std::string& hostPath, const Bytes& data);
Bytes ReadHostFile(const std::string& hostPath);
bool HostFileExists(const std::string& hostPath);
// Relative paths of every regular file below a host directory, sorted.
std::vector<std::string> ListHostFiles(const std::string& hostDir);

// Deterministic data made from a seed.
Bytes RandomBytes(std::uint32_t seed, std::size_t size);
// Mail-like text: headers, quoted lines and prose, repetitive as mail is.
Bytes MailText(std::uint32_t seed, std::size_t size);

// Runs a shell command; returns its exit status and collects stdout+stderr.
int RunCommand(const std::string& command, std::string* output = nullptr);
// Quotes a text for the shell.
std::string ShellQuote(const std::string& text);

}  // namespace Cabinet::testing
