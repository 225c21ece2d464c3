#include <gtest/gtest.h>

#include <filesystem>

#include "platform/com/Com.h"
#include "platform/com/LocalServer.h"
#include "platform/outlook/MapiObjects.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/outlook/Proxies.h"
#include "platform/store/Profile.h"
#include "platform/win/Environment.h"
#include "platform/win/Registry.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"

namespace {

std::wstring Text(const CComBSTR& b) {
    return std::wstring(b.View());
}

std::wstring ClassesText(const std::wstring& key) {
    HKEY k = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
        return L"(missing)";
    WCHAR value[260] = {};
    DWORD size = sizeof value / sizeof value[0] * 2;
    DWORD type = 0;
    LSTATUS status = RegQueryValueExW(k, nullptr, nullptr, &type, value, &size);
    RegCloseKey(k);
    return status == ERROR_SUCCESS ? value : L"(no value)";
}

// A user with one profile, "Outlook.Application" registered as the
// installation leaves it.
class ApplicationServer : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        CoInitialize(nullptr);
        ASSERT_EQ(outlook::RegisterApplicationClass(L"14.0.0.7015"), S_OK);
    }
    void TearDown() override {
        m_running.reset();
        m_app.reset();
        CoUninitialize();
    }
    void StartClient() {
        std::string path = store::Profile::FileFor(m_machine.User(), L"Main");
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        store::Profile profile;
        profile.name = L"Main";
        store::ProfileStore s;
        s.file = "mailbox.qst";
        s.displayName = L"Main Mailbox";
        s.isDefault = true;
        profile.stores.push_back(s);
        ASSERT_EQ(profile.Save(path), S_OK);
        ASSERT_EQ(profile.CreateMissingStores(path), S_OK);
        outlook::ApplicationOptions options;
        ASSERT_EQ(outlook::OutlookApplication::ProfileFromFile(path, &options.profile), S_OK);
        options.ui = m_ui;
        ASSERT_EQ(outlook::OutlookApplication::Create(options, &m_app), S_OK);
        m_app->SetQuitHandler([this] { ++m_quits; });
        ASSERT_EQ(outlook::RunningApplication::Register(m_app->Application(), &m_running), S_OK);
    }
    int RunChild(const std::string& test) {
        return win::testing::RunChildTest("ApplicationServerChild." + test,
                                          {"QUILLMERE_USER_DIR=" + m_machine.User(),
                                           "QUILLMERE_INSTALL_DIR=" QM_BINARY_DIR "/bin"});
    }

    win::testing::TestMachine m_machine;
    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    std::unique_ptr<outlook::RunningApplication> m_running;
    int m_quits = 0;
};

TEST_F(ApplicationServer, RegisteredAsTheInstallerLeavesItALocalServerWithProxies) {
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"Outlook.Application", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_OutlookApplication);
    ASSERT_EQ(CLSIDFromProgID(L"Outlook.Application.14", &clsid), S_OK);
    EXPECT_EQ(ClassesText(L"Outlook.Application\\CurVer"), L"Outlook.Application.14");
    const std::wstring key = L"CLSID\\{0006F03A-0000-0000-C000-000000000046}";
    EXPECT_EQ(ClassesText(key + L"\\LocalServer32"), L"P:\\outlook-host.exe");
    EXPECT_EQ(ClassesText(key + L"\\InprocServer32"), L"(missing)") << "a program, not a library";
    for (const wchar_t* iid : {L"{00063001-0000-0000-C000-000000000046}",     // _Application
                               L"{000630CC-0000-0000-C000-000000000046}",     // _Rules
                               L"{00063006-0000-0000-C000-000000000046}"}) {  // MAPIFolder
        EXPECT_EQ(ClassesText(std::wstring(L"Interface\\") + iid + L"\\ProxyStubClsid32"),
                  L"{3F2A9D10-6C47-4E8B-A1D5-92E7C04B7A18}")
            << iid;
    }
    EXPECT_EQ(ClassesText(L"CLSID\\{3F2A9D10-6C47-4E8B-A1D5-92E7C04B7A18}\\InprocServer32"),
              L"P:\\QuillmereOutlook.dll");

    // Registered but not running: the stand-in starts no server.
    CComPtr<_Application> app;
    EXPECT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER,
                               IID__Application, reinterpret_cast<void**>(&app)),
              CO_E_SERVER_EXEC_FAILURE);
    CComPtr<IUnknown> active;
    EXPECT_EQ(GetActiveObject(CLSID_OutlookApplication, nullptr, &active), MK_E_UNAVAILABLE);
}

// In its own process the running client gets its very objects back.
TEST_F(ApplicationServer, TheRunningClientIsItsOwnProcesssObject) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    CComPtr<_Application> direct;
    // The class object is a factory: asked for the application it has none.
    EXPECT_EQ(CoGetClassObject(CLSID_OutlookApplication, CLSCTX_ALL, nullptr, IID__Application,
                               reinterpret_cast<void**>(&direct)),
              E_NOINTERFACE);
    CComPtr<_Application> created;
    ASSERT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER,
                               IID__Application, reinterpret_cast<void**>(&created)),
              S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(created.p), static_cast<IUnknown*>(m_app->Application().p));
    CComPtr<IUnknown> active;
    ASSERT_EQ(GetActiveObject(CLSID_OutlookApplication, nullptr, &active), S_OK);
    CComPtr<IUnknown> identity;
    m_app->Application()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    EXPECT_EQ(active.p, identity.p);

    m_running.reset();
    created.Release();
    EXPECT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER,
                               IID__Application, reinterpret_cast<void**>(&created)),
              CO_E_SERVER_EXEC_FAILURE);
}

// Another process of the user reaches this client through its proxies, and
// what it does lands in this client's store.
TEST_F(ApplicationServer, AnotherProcessWorksOnTheRunningClient) {
    ASSERT_NO_FATAL_FAILURE(StartClient());
    ASSERT_EQ(RunChild("WorksOnTheRunningClient"), 0);
    m_ui->RunPending();
    EXPECT_EQ(m_quits, 1) << "the other process's Quit reached this client";
    _NameSpacePtr ns = m_app->NameSpace();
    _RulesPtr rules = ns->GetDefaultStore()->GetRules();
    ASSERT_EQ(rules->GetCount(), 1);
    _RulePtr rule = rules->Item(CComVariant(LONG{1}));
    EXPECT_EQ(Text(rule->GetName()), L"{FROM AFAR}");
    MAPIFolderPtr target;
    ASSERT_EQ(rule->GetActions()->GetMoveToFolder()->get_Folder(&target), S_OK);
    ASSERT_TRUE(target);
    EXPECT_EQ(Text(target->GetName()), L"Filed");
    CComVariant texts;
    ASSERT_EQ(rule->GetConditions()->GetSubject()->get_Text(&texts), S_OK);
    ASSERT_EQ(texts.vt, VT_ARRAY | VT_VARIANT);
    LONG index = 1;
    CComVariant second;
    ASSERT_EQ(SafeArrayGetElement(texts.parray, &index, &second), S_OK);
    EXPECT_EQ(std::wstring(second.bstrVal), L"b\u00E4r");

    // Once the client no longer runs, the other process finds none.
    m_running.reset();
    EXPECT_EQ(RunChild("FindsNoClient"), 0);
}

// --- The other process ------------------------------------------------------------

class ApplicationServerChild : public ::testing::Test {
protected:
    void SetUp() override {
        if (!win::testing::IsChildRun())
            GTEST_SKIP() << "runs as the other process of ApplicationServer's tests";
        CoInitialize(nullptr);
    }
    void TearDown() override {
        if (win::testing::IsChildRun())
            CoUninitialize();
    }
};

TEST_F(ApplicationServerChild, WorksOnTheRunningClient) {
    CComPtr<_Application> app;
    EXPECT_EQ(CoGetClassObject(CLSID_OutlookApplication, CLSCTX_ALL, nullptr, IID__Application,
                               reinterpret_cast<void**>(&app)),
              E_NOINTERFACE);
    ASSERT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER,
                               IID__Application, reinterpret_cast<void**>(&app)),
              S_OK);
    EXPECT_EQ(Text(app->GetVersion()), L"14.0.0.7015");
    _NameSpacePtr ns = app->GetNamespace(L"MAPI");
    ASSERT_TRUE(ns);
    EXPECT_EQ(Text(ns->GetCurrentProfileName()), L"Main");
    // A folder's parent arrives as IDispatch and is asked for the folder.
    MAPIFolderPtr root(static_cast<IUnknown*>(ns->GetDefaultFolder(olFolderInbox)->GetParent()));
    ASSERT_TRUE(root);
    MAPIFolderPtr filed = root->GetFolders()->Add(L"Filed");
    EXPECT_EQ(Text(filed->GetName()), L"Filed");
    MAPIFolderPtr again = root->GetFolders()->Item(CComVariant(L"Filed"));
    EXPECT_EQ(Text(again->GetEntryID()), Text(filed->GetEntryID()));
    // One object of the client, one identity here, however it is reached.
    CComPtr<IUnknown> a, b;
    ns->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    app->GetNamespace(L"MAPI")->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_NE(a.p, nullptr);
    EXPECT_EQ(a.p, b.p);

    _RulesPtr rules = ns->GetDefaultStore()->GetRules();
    _RulePtr rule = rules->Create(L"{FROM AFAR}", olRuleReceive);
    _TextRuleConditionPtr subject = rule->GetConditions()->GetSubject();
    ASSERT_EQ(subject->put_Enabled(VARIANT_TRUE), S_OK);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, 2);
    for (LONG i = 0; i < 2; ++i)
        SafeArrayPutElement(array, &i, CComBSTR(i == 0 ? L"a" : L"b\u00E4r").m_str);
    CComVariant texts;
    texts.vt = VT_ARRAY | VT_BSTR;
    texts.parray = array;
    ASSERT_EQ(subject->put_Text(texts), S_OK);
    EXPECT_EQ(subject->put_Text(CComVariant(L"")), E_INVALIDARG) << "the client's refusal arrives";
    _MoveOrCopyRuleActionPtr move = rule->GetActions()->GetMoveToFolder();
    ASSERT_EQ(move->put_Folder(filed), S_OK) << "the client's own folder, passed back to it";
    ASSERT_EQ(move->put_Enabled(VARIANT_TRUE), S_OK);
    ASSERT_EQ(rules->raw_Save(MissingArgument()), S_OK);

    // What does not cross: the MAPI session and the interfaces without proxies.
    CComPtr<IQmMapiSession> session;
    EXPECT_EQ(
        ns->GetMAPIOBJECT()->QueryInterface(IID_IQmMapiSession, reinterpret_cast<void**>(&session)),
        E_NOINTERFACE);
    _Items* items = nullptr;
    EXPECT_EQ(filed->get_Items(&items), E_NOINTERFACE);
    EXPECT_EQ(items, nullptr);
    // An object of this process can't be handed over.
    CComPtr<IDispatch> local = outlook::CreatePropertyPageSite({}).p;
    EXPECT_EQ(com::PutProperty(move, outlook::dispid::kFolder, CComVariant(local.p)), E_NOTIMPL);

    // One process of the machine serves the class: this one can't as well.
    std::unique_ptr<outlook::RunningApplication> second;
    EXPECT_EQ(outlook::RunningApplication::Register(app, &second), CO_E_OBJISREG);
    EXPECT_EQ(app->Quit(), S_OK);
}

TEST_F(ApplicationServerChild, FindsNoClient) {
    CComPtr<_Application> app;
    EXPECT_EQ(CoCreateInstance(CLSID_OutlookApplication, nullptr, CLSCTX_LOCAL_SERVER,
                               IID__Application, reinterpret_cast<void**>(&app)),
              CO_E_SERVER_EXEC_FAILURE);
    CComPtr<IUnknown> active;
    EXPECT_EQ(GetActiveObject(CLSID_OutlookApplication, nullptr, &active), MK_E_UNAVAILABLE);
}

}  // namespace
