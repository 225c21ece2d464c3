// Fixtures shared by the transport tests: temporary post offices, messages
// built field by field, seeded random bytes and the Python email oracle.
#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/mapi/PropTags.h"

namespace transport::testing {

// A directory under TMPDIR removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/qm_transport_XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        m_path = mkdtemp(buf.data());
    }
    ~TempDir() { RemoveTree(m_path); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

    static void RemoveTree(const std::string& path) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            if (DIR* d = opendir(path.c_str())) {
                while (struct dirent* e = readdir(d)) {
                    std::string n = e->d_name;
                    if (n != "." && n != "..") {
                        RemoveTree(path + "/" + n);
                    }
                }
                closedir(d);
            }
            rmdir(path.c_str());
        } else {
            unlink(path.c_str());
        }
    }

private:
    std::string m_path;
};

inline std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") {
                names.push_back(n);
            }
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline mapi::Bytes RandomBytes(std::uint32_t seed, std::size_t size) {
    std::mt19937 rng(seed);
    mapi::Bytes out(size);
    for (auto& b : out) {
        b = static_cast<std::uint8_t>(rng());
    }
    return out;
}

inline mapi::PropertyBag Recipient(LONG type, const std::wstring& name,
                                   const std::wstring& address) {
    mapi::PropertyBag row;
    row.Set(mapi::PR_RECIPIENT_TYPE, mapi::PropValue::Long(type));
    row.Set(mapi::PR_DISPLAY_NAME, mapi::PropValue::Unicode(name));
    row.Set(mapi::PR_EMAIL_ADDRESS, mapi::PropValue::Unicode(address));
    row.Set(mapi::PR_ADDRTYPE, mapi::PropValue::Unicode(L"SMTP"));
    return row;
}

inline mapi::AttachmentContent FileAttachment(const std::wstring& name, mapi::Bytes data) {
    mapi::AttachmentContent a;
    a.props.Set(mapi::PR_ATTACH_METHOD, mapi::PropValue::Long(mapi::ATTACH_BY_VALUE));
    a.props.Set(mapi::PR_ATTACH_LONG_FILENAME, mapi::PropValue::Unicode(name));
    a.props.Set(mapi::PR_DISPLAY_NAME, mapi::PropValue::Unicode(name));
    a.data = std::move(data);
    return a;
}

// A message as the sync-mail builder makes one: marker subject, the marker
// body with its mix of CR LF and bare LF, and the cabinet attachment.
inline mapi::MessageContent SyncLikeMail() {
    mapi::MessageContent m;
    m.props.Set(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(L"IPM.Note"));
    m.props.Set(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L">-Quillmere-< 12/10/2026 9:54:23 AM"));
    std::wstring body =
        L"This mail is a synchronization mail for Quillmere, it will be automatically "
        L"processed.  \n\nDebug:Subject:trailing blanks   ";
    for (int i = 0; i < 60; ++i) {
        body += L"\r\n";
    }
    body += L"is:TRUE:is\nlf:Projekt Ärger:lf\r\nid:0123456789ABCDEF0123456789ABCDEF:id\r\n";
    m.props.Set(mapi::PR_BODY, mapi::PropValue::Unicode(body));
    m.recipients.push_back(Recipient(mapi::MAPI_TO, L"bob@example.org", L"bob@example.org"));
    m.attachments.push_back(FileAttachment(L"sync.zuf", RandomBytes(7, 5000)));
    return m;
}

inline std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out.empty() ? "-" : out;
}

// The oracle's facts about the mail in path, one line each.
inline std::vector<std::string> RunOracle(const std::string& path) {
    std::string command = std::string("/usr/bin/python3 ") + QM_SOURCE_DIR +
                          "/platform/transport/mime_oracle.py '" + path + "'";
    std::vector<std::string> lines;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return lines;
    }
    std::string cur;
    int c;
    while ((c = fgetc(p)) != EOF) {
        if (c == '\n') {
            lines.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(c);
        }
    }
    if (!cur.empty()) {
        lines.push_back(cur);
    }
    pclose(p);
    return lines;
}

}  // namespace transport::testing
