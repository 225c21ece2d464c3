// Shared helpers of the cabinet class tests: a private user directory (so that
// drive C: and the temporary directory live in a fresh host directory), host
// file access, deterministic test data and external commands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/cabinet/fci.h"

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

// One file to pack: its Windows path and its name in the cabinet.
struct PackSource {
    std::wstring path;
    std::wstring name;
};

// Packs the sources into `cabinet` the way the add-in does (UTC times, UTF-8
// names, no split, set id 23364) with the password `key` (wide, converted to
// the thread's code page; empty: plain). On failure *error gets the writer's
// text.
bool PackFiles(const std::wstring& cabinet, const std::vector<PackSource>& sources,
               const std::wstring& key, TCOMP compression, std::wstring* error = nullptr);
// Extracts `cabinet` below `target` with the password `key`.
bool UnpackFiles(const std::wstring& cabinet, const std::wstring& target, const std::wstring& key,
                 std::wstring* error = nullptr);
// The password's bytes in the thread's code page.
std::string KeyBytes(const std::wstring& key);

}  // namespace Cabinet::testing
