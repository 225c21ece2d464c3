#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Folder.h"
#include "platform/store/Profile.h"
#include "platform/store/Session.h"
#include "platform/win/Environment.h"

namespace {

std::wstring Text(const CComBSTR& b) {
    return std::wstring(b.View());
}

class ApplicationServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("qm-outlook-server-" + std::to_string(::getpid()));
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        win::SetUserDirectory(m_dir.string());
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        CoInitialize(nullptr);
    }
    void TearDown() override {
        CoUninitialize();
        std::filesystem::remove_all(m_dir);
    }
    // A profile of the user directory with one store.
    std::string MakeProfile(const std::wstring& name, const std::wstring& storeName) {
        std::string path = store::Profile::FileFor(m_dir.string(), name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        store::Profile profile;
        profile.name = name;
        store::ProfileStore s;
        s.file = "mailbox.qst";
        s.displayName = storeName;
        s.isDefault = true;
        profile.stores.push_back(s);
        EXPECT_EQ(profile.Save(path), S_OK);
        EXPECT_EQ(profile.CreateMissingStores(path), S_OK);
        return path;
    }
    CComPtr<_Application> ClassObject() {
        CComPtr<_Application> app;
        m_hr = CoGetClassObject(CLSID_OutlookApplication, CLSCTX_ALL, nullptr, IID__Application,
                                reinterpret_cast<void**>(&app));
        return app;
    }
    std::filesystem::path m_dir;
    HRESULT m_hr = S_OK;
};

// One scenario: the class object is the user's default profile's client
// while the process hosts none, and the hosted client once there is one.
TEST_F(ApplicationServer, ClassObjectIsTheRunningClientElseTheDefaultProfiles) {
    ASSERT_EQ(outlook::RegisterApplicationServer(), S_OK);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Outlook.Application", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_OutlookApplication);

    EXPECT_FALSE(ClassObject());
    EXPECT_EQ(m_hr, MAPI_E_NOT_FOUND) << "no profile, no client";

    std::string profilePath = MakeProfile(L"Main", L"Main Mailbox");
    CComPtr<_Application> standalone = ClassObject();
    ASSERT_TRUE(standalone) << std::hex << m_hr;
    _NameSpacePtr ns = standalone->GetNamespace(L"MAPI");
    EXPECT_EQ(Text(ns->GetCurrentProfileName()), L"Main");
    // Its writes land in the profile's store.
    MAPIFolderPtr root(static_cast<IUnknown*>(ns->GetDefaultFolder(olFolderInbox)->GetParent()));
    root->GetFolders()->Add(L"Quillmere");
    {
        store::Profile profile;
        ASSERT_EQ(store::Profile::Load(profilePath, &profile), S_OK);
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(store::Profile::StorePath(profilePath, profile.stores[0]),
                                       &session),
                  S_OK);
        store::Folder top, found;
        ASSERT_EQ(session->GetRootFolder(&top), S_OK);
        EXPECT_EQ(top.FindSubfolder(L"Quillmere", &found), S_OK);
    }
    EXPECT_EQ(static_cast<IUnknown*>(ClassObject().p), static_cast<IUnknown*>(standalone.p))
        << "one standalone client per process";

    // A client hosted in the process wins, through the class factory too.
    outlook::ApplicationOptions options;
    ASSERT_EQ(outlook::OutlookApplication::ProfileFromFile(MakeProfile(L"Other", L"Other Mailbox"),
                                                           &options.profile),
              S_OK);
    options.ui = std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> hosted;
    ASSERT_EQ(outlook::OutlookApplication::Create(options, &hosted), S_OK);
    CComPtr<_Application> created;
    ASSERT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_INPROC_SERVER,
                               IID__Application, reinterpret_cast<void**>(&created)),
              S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(created.p), static_cast<IUnknown*>(hosted->Application().p));
    EXPECT_EQ(static_cast<IUnknown*>(ClassObject().p),
              static_cast<IUnknown*>(hosted->Application().p));
    created.Release();
    hosted.reset();
    EXPECT_EQ(static_cast<IUnknown*>(ClassObject().p), static_cast<IUnknown*>(standalone.p));
}

}  // namespace
