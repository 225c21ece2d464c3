// Test scaffolding for the helper library: a throw-away machine (user and
// install directories), stores made in it, a profile provider that answers
// from a description the test can change while sessions run, COM set up for
// the test's thread. Test code only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "platform/com/Com.h"
#include "platform/rdo/Profile.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/rdo/Server.h"
#include "platform/store/Session.h"
#include "platform/win/Environment.h"
#include "platform/win/TestMachine.h"

namespace rdo::testing {

inline CComVariant Empty() {
    return CComVariant();
}

// A profile whose description the test holds and may change.
class FakeProfiles {
public:
    FakeProfiles() {
        SetProfileProvider([this](const std::wstring& name, ProfileDescription* out) {
            std::lock_guard<std::mutex> lock(m_lock);
            for (const auto& p : m_profiles) {
                if (name.empty() ? p.name == m_defaultName : p.name == name) {
                    *out = p;
                    return S_OK;
                }
            }
            return MAPI_E_NOT_FOUND;
        });
    }
    ~FakeProfiles() { SetProfileProvider(nullptr); }

    void Add(ProfileDescription profile, bool isDefault = true) {
        std::lock_guard<std::mutex> lock(m_lock);
        if (isDefault)
            m_defaultName = profile.name;
        m_profiles.push_back(std::move(profile));
    }
    template <class F>
    void Change(const std::wstring& name, F change) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (auto& p : m_profiles) {
            if (p.name == name)
                change(p);
        }
    }

private:
    std::mutex m_lock;
    std::wstring m_defaultName;
    std::vector<ProfileDescription> m_profiles;
};

class RdoTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    }
    void TearDown() override { CoUninitialize(); }

    // A new store file in the machine's user directory.
    std::string MakeStore(const std::string& file,
                          store::StoreKind kind = store::StoreKind::PersonalUnicode,
                          const std::wstring& name = L"Personal Folders") {
        std::string path = m_machine.User() + "/" + file;
        store::StoreOptions options;
        options.kind = kind;
        options.tracking = store::IsExchangeKind(kind) ? store::ChangeTracking::Incremental
                                                       : store::ChangeTracking::ChangeKeys;
        options.displayName = name;
        std::unique_ptr<store::Session> session;
        EXPECT_EQ(store::Session::Create(path, options, &session), S_OK);
        return path;
    }

    // The profile "Ann" with one default store of that kind.
    ProfileDescription MakeProfile(const std::wstring& name = L"Ann",
                                   store::StoreKind kind = store::StoreKind::PersonalUnicode) {
        ProfileDescription p;
        p.name = name;
        p.stores.push_back({MakeStore(win::PathToUtf8(name) + ".qms", kind), true});
        p.accounts = {{L"Ann Work", 7, L"ann@work.example"}, {L"Ann Home", 3, L"ann@home.example"}};
        p.categories = {L"Red", L"Quillmere-Journal"};
        p.addressBook = {{L"Bert Brown", L"bert@example.org", L"SMTP", {0x42, 0x01}}};
        p.connectionMode = 0;
        return p;
    }

    // An object of a creatable kind from the library's class factory (the
    // registration path has its own tests).
    template <class I>
    static HRESULT Create(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
        CComPtr<IClassFactory> factory;
        HRESULT hr =
            DllGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&out));
    }

    static HRESULT Logon(QMRRDOSession* session) {
        return session->Logon(Empty(), Empty(), Empty(), Empty(), Empty(), Empty());
    }

    win::testing::TestMachine m_machine;
    FakeProfiles m_profiles;
};

}  // namespace rdo::testing
