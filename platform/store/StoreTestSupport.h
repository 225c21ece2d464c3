// Test helpers for the store engine: a temporary directory per test and
// stores made in it. Test code only.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/win/Errors.h"

namespace store::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qmstore.XXXXXX").string();
        char* made = ::mkdtemp(pattern.data());
        if (made != nullptr) {
            m_path = made;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline StoreOptions OptionsFor(StoreKind kind, ChangeTracking tracking) {
    StoreOptions o;
    o.kind = kind;
    o.tracking = tracking;
    o.displayName = L"Test store";
    o.providerId = Bytes(16, 0x42);
    return o;
}

inline std::unique_ptr<Session> MakeStore(const std::string& path, StoreKind kind,
                                          ChangeTracking tracking) {
    std::unique_ptr<Session> s;
    HRESULT hr = Session::Create(path, OptionsFor(kind, tracking), &s);
    EXPECT_EQ(hr, S_OK);
    return s;
}

inline std::unique_ptr<Session> OpenStore(const std::string& path) {
    std::unique_ptr<Session> s;
    EXPECT_EQ(Session::Open(path, &s), S_OK);
    return s;
}

inline Folder DefaultFolderOf(Session& s, DefaultFolder role) {
    Folder f;
    EXPECT_EQ(s.GetDefaultFolder(role, &f), S_OK);
    return f;
}

// Saves a new normal message with that subject into folder; its entry id.
inline Bytes AddMessage(Folder folder, const std::wstring& subject) {
    std::unique_ptr<Message> m;
    EXPECT_EQ(folder.CreateMessage(false, &m), S_OK);
    if (!m) {
        return {};
    }
    m->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(subject));
    EXPECT_EQ(m->Save(), S_OK);
    return m->EntryId();
}

}  // namespace store::testing
