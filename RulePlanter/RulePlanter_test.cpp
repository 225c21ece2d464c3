#include "RulePlanter/RulePlanter.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>
#include "platform/com/Com.h"
#include "platform/mapi/PropTags.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Profile.h"
#include "platform/store/Session.h"
#include "platform/win/Environment.h"

#include "platform/win/Registry.h"
#include "platform/win/Shell.h"
#include "platform/win/TestMachine.h"
#include "platform/win/Version.h"

extern char** environ;

namespace {

using outlook::OutlookApplication;
using outlook::QueuedUiDispatcher;

std::wstring Text(const CComBSTR& b) {
    return std::wstring(b.View());
}

std::vector<std::wstring> ConditionTexts(_TextRuleCondition* condition) {
    std::vector<std::wstring> texts;
    CComVariant value;
    if (FAILED(condition->get_Text(&value)) || !(value.vt & VT_ARRAY))
        return texts;
    LONG low = 0, high = -1;
    SafeArrayGetLBound(value.parray, 1, &low);
    SafeArrayGetUBound(value.parray, 1, &high);
    for (LONG i = low; i <= high; ++i) {
        CComVariant element;
        SafeArrayGetElement(value.parray, &i, &element);
        texts.push_back(element.vt == VT_BSTR ? std::wstring(element.bstrVal) : L"?");
    }
    return texts;
}

// What a rule of the saved collection holds, for comparisons.
struct RuleView {
    std::wstring name;
    OlRuleType type = olRuleSend;
    bool subjectEnabled = false;
    std::vector<std::wstring> subjectTexts;
    bool moveEnabled = false;
    std::wstring moveFolder;  // entry id, empty without one
};

std::vector<RuleView> SavedRules(_NameSpace* ns) {
    std::vector<RuleView> views;
    _RulesPtr rules = ns->GetDefaultStore()->GetRules();
    for (LONG i = 1; i <= rules->GetCount(); ++i) {
        _RulePtr rule = rules->Item(CComVariant(i));
        RuleView v;
        v.name = Text(rule->GetName());
        rule->get_RuleType(&v.type);
        _TextRuleConditionPtr subject = rule->GetConditions()->GetSubject();
        VARIANT_BOOL enabled = VARIANT_FALSE;
        subject->get_Enabled(&enabled);
        v.subjectEnabled = enabled == VARIANT_TRUE;
        v.subjectTexts = ConditionTexts(subject);
        _MoveOrCopyRuleActionPtr move = rule->GetActions()->GetMoveToFolder();
        enabled = VARIANT_FALSE;
        move->get_Enabled(&enabled);
        v.moveEnabled = enabled == VARIANT_TRUE;
        MAPIFolderPtr folder;
        if (SUCCEEDED(move->get_Folder(&folder)) && folder)
            v.moveFolder = Text(folder->GetEntryID());
        views.push_back(v);
    }
    return views;
}

// The sub-folders of the store's root named exactly "Quillmere".
std::vector<MAPIFolderPtr> SyncFolders(_NameSpace* ns) {
    std::vector<MAPIFolderPtr> found;
    MAPIFolderPtr root(static_cast<IUnknown*>(ns->GetDefaultFolder(olFolderInbox)->GetParent()));
    _FoldersPtr folders = root->GetFolders();
    for (LONG i = 1; i <= folders->GetCount(); ++i) {
        MAPIFolderPtr f = folders->Item(CComVariant(i));
        if (Text(f->GetName()) == L"Quillmere")
            found.push_back(f);
    }
    return found;
}

// Adds and saves a rule of that name with one subject text (and no action).
void AddRule(_NameSpace* ns, const wchar_t* name, const wchar_t* text) {
    _RulesPtr rules = ns->GetDefaultStore()->GetRules();
    _RulePtr rule = rules->Create(name, olRuleReceive);
    _TextRuleConditionPtr subject = rule->GetConditions()->GetSubject();
    ASSERT_EQ(subject->put_Enabled(VARIANT_TRUE), S_OK);
    ASSERT_EQ(subject->put_Text(CComVariant(text)), S_OK);
    rules->Save();
}

std::vector<std::wstring> Names(const std::vector<RuleView>& rules) {
    std::vector<std::wstring> names;
    for (const auto& r : rules)
        names.push_back(r.name);
    return names;
}

const std::vector<std::wstring> kConditionTexts = {L">-Quillmere-<", L"QMRX$BASICSYNCPACKET:"};

// A client of this process over one store, running as "Outlook.Application"
// as the host runs it: the program reaches it through the class.
class RulePlanterTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        ASSERT_EQ(outlook::RegisterApplicationClass(L"14.0.0.7015"), S_OK);
        m_storePath = m_machine.Root() + "/mailbox.qst";
        store::StoreOptions options;
        options.displayName = L"Personal Folders";
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Create(m_storePath, options, &session), S_OK);
        CoInitialize(nullptr);
        Start(L"14.0.0.7015");
    }
    void TearDown() override {
        m_running.reset();
        m_ns.Release();
        m_app.reset();
        CoUninitialize();
    }
    void Start(const std::wstring& version) {
        m_running.reset();
        m_ns.Release();
        m_app.reset();
        outlook::ApplicationOptions options;
        options.profile.profileName = L"Outlook";
        options.profile.stores.push_back({m_storePath, true});
        options.version = version;
        options.ui = m_ui;
        ASSERT_EQ(OutlookApplication::Create(options, &m_app), S_OK);
        m_app->SetQuitHandler([this] { ++m_quits; });
        ASSERT_EQ(outlook::RunningApplication::Register(m_app->Application(), &m_running), S_OK);
        m_ns = m_app->NameSpace();
        m_quits = 0;
    }
    // Runs the program in this process and lets the client's UI thread
    // handle what it posted (Quit).
    int Run(const std::wstring& commandLine) {
        int result = ruleplanter::RulePlanterMain(commandLine);
        m_ui->RunPending();
        return result;
    }
    std::unique_ptr<store::Message> InboxMail(const std::wstring& subject) {
        std::unique_ptr<store::Session> session;
        EXPECT_EQ(store::Session::Open(m_storePath, &session), S_OK);
        store::Folder inbox;
        EXPECT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox), S_OK);
        std::unique_ptr<store::Message> mail;
        EXPECT_EQ(inbox.CreateMessage(false, &mail), S_OK);
        mail->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(subject));
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    win::testing::TestMachine m_machine;
    std::string m_storePath;
    std::shared_ptr<QueuedUiDispatcher> m_ui = std::make_shared<QueuedUiDispatcher>();
    std::unique_ptr<OutlookApplication> m_app;
    std::unique_ptr<outlook::RunningApplication> m_running;
    _NameSpacePtr m_ns;
    int m_quits = 0;
};

// The class object of a running Outlook is its class factory: asked for
// _Application directly it has none, and the creation as a local server is
// what reaches the running instance.
TEST_F(RulePlanterTest, TheRunningOutlookIsReachedByTheLocalServerCreation) {
    CComPtr<_Application> direct;
    EXPECT_EQ(CoGetClassObject(CLSID_OutlookApplication, CLSCTX_ALL, nullptr, IID__Application,
                               reinterpret_cast<void**>(&direct)),
              E_NOINTERFACE);
    CComPtr<_Application> app;
    ASSERT_EQ(ruleplanter::GetOutlookApplication(&app), S_OK);
    CComPtr<IUnknown> found, running;
    app->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&found));
    m_app->Application()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&running));
    EXPECT_EQ(found.p, running.p);
}

TEST_F(RulePlanterTest, CreateModeReplacesEveryEarlierRuleByExactlyOneNew) {
    // Two adjacent old rules, a foreign one, and a third old one last.
    AddRule(m_ns, L"{QUILLMERE}", L"old one");
    AddRule(m_ns, L"{QUILLMERE}", L"old two");
    AddRule(m_ns, L"Newsletters", L"news");
    AddRule(m_ns, L"{QUILLMERE}", L"old three");
    AddRule(m_ns, L"{quillmere}", L"other case");

    EXPECT_EQ(Run(L""), 0);

    std::vector<RuleView> rules = SavedRules(m_ns);
    EXPECT_EQ(Names(rules),
              (std::vector<std::wstring>{L"Newsletters", L"{quillmere}", L"{QUILLMERE}"}));
    std::vector<MAPIFolderPtr> folders = SyncFolders(m_ns);
    ASSERT_EQ(folders.size(), 1u) << "the folder is created beside the Inbox";
    ASSERT_EQ(rules.size(), 3u);
    const RuleView& planted = rules[2];
    EXPECT_EQ(planted.type, olRuleReceive);
    EXPECT_TRUE(planted.subjectEnabled);
    EXPECT_EQ(planted.subjectTexts, kConditionTexts);
    EXPECT_TRUE(planted.moveEnabled);
    EXPECT_EQ(planted.moveFolder, Text(folders[0]->GetEntryID()));
    EXPECT_EQ(rules[0].subjectTexts, std::vector<std::wstring>{L"news"}) << "left alone";
    EXPECT_EQ(m_quits, 1) << "Outlook is quit at the end";

    // A second run replaces its own rule and reuses the folder.
    Start(L"14.0.0.7015");
    EXPECT_EQ(Run(L""), 0);
    rules = SavedRules(m_ns);
    EXPECT_EQ(Names(rules),
              (std::vector<std::wstring>{L"Newsletters", L"{quillmere}", L"{QUILLMERE}"}));
    ASSERT_EQ(SyncFolders(m_ns).size(), 1u);
    EXPECT_EQ(rules.back().moveFolder, Text(folders[0]->GetEntryID()));
}

TEST_F(RulePlanterTest, OnlyOutlookTwelveToFourteenIsTouched) {
    const struct {
        const wchar_t* version;
        bool touched;
    } cases[] = {
        {L"12.0.6425.1000", true}, {L"13.0", true},  {L"14.0.0.7015", true},
        {L"11.0.8313", false},     {L"16.0", false}, {L"15.0.4420", false},
        {L"140", false},           {L"1.0", false},  {L"", false},
        {L" 14.0", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.version, c.version + wcslen(c.version)));
        // Each case starts from one old rule and no folder.
        for (const MAPIFolderPtr& f : SyncFolders(m_ns))
            f->Delete();
        _RulesPtr rules = m_ns->GetDefaultStore()->GetRules();
        while (rules->GetCount() > 0)
            rules->Remove(CComVariant(LONG{1}));
        rules->Save();
        AddRule(m_ns, L"{QUILLMERE}", L"old");

        Start(c.version);
        EXPECT_EQ(Run(L""), 0);
        std::vector<RuleView> after = SavedRules(m_ns);
        ASSERT_EQ(after.size(), 1u);
        EXPECT_EQ(after[0].subjectTexts,
                  c.touched ? kConditionTexts : std::vector<std::wstring>{L"old"});
        EXPECT_EQ(SyncFolders(m_ns).size(), c.touched ? 1u : 0u);
        EXPECT_EQ(m_quits, c.touched ? 1 : 0) << "an unsupported Outlook keeps running";
    }
}

TEST_F(RulePlanterTest, RemoveModeDeletesTheFolderAndTheRules) {
    AddRule(m_ns, L"{QUILLMERE}", L"old");
    AddRule(m_ns, L"{QUILLMERE}", L"old too");
    MAPIFolderPtr root(static_cast<IUnknown*>(m_ns->GetDefaultFolder(olFolderInbox)->GetParent()));
    MAPIFolderPtr folder = root->GetFolders()->Add(L"Quillmere");
    IDispatchPtr item;
    ASSERT_EQ(folder->GetItems()->Add(MissingArgument(), &item), S_OK);
    ASSERT_EQ(_MailItemPtr(static_cast<IUnknown*>(item))->Save(), S_OK);

    EXPECT_EQ(Run(L"remove"), 0);
    EXPECT_TRUE(SyncFolders(m_ns).empty());
    EXPECT_TRUE(SavedRules(m_ns).empty()) << "no rule is created in remove mode";
    EXPECT_EQ(m_quits, 1);

    // Without the folder it is created and deleted again; old rules go as well.
    AddRule(m_ns, L"{QUILLMERE}", L"old again");
    Start(L"14.0.0.7015");
    EXPECT_EQ(Run(L"remove"), 0);
    EXPECT_TRUE(SyncFolders(m_ns).empty());
    EXPECT_TRUE(SavedRules(m_ns).empty());
    EXPECT_EQ(m_quits, 1);
}

TEST_F(RulePlanterTest, OnlyTheExactCommandLineRemoveSelectsRemoveMode) {
    for (const wchar_t* line : {L"Remove", L"REMOVE", L"remove ", L"/remove", L"remove x"}) {
        SCOPED_TRACE(testing::Message() << std::string(line, line + wcslen(line)));
        Start(L"14.0.0.7015");
        EXPECT_EQ(Run(line), 0);
        EXPECT_EQ(SyncFolders(m_ns).size(), 1u);
        EXPECT_EQ(Names(SavedRules(m_ns)), std::vector<std::wstring>{L"{QUILLMERE}"});
    }
}

TEST_F(RulePlanterTest, ThePlantedRuleFilesSyncAndPacketMailsIntoQuillmere) {
    ASSERT_EQ(Run(L""), 0);
    std::vector<MAPIFolderPtr> folders = SyncFolders(m_ns);
    ASSERT_EQ(folders.size(), 1u);
    // The client reads the saved rules as a new process would.
    Start(L"14.0.0.7015");
    const struct {
        const wchar_t* subject;
        bool filed;
    } cases[] = {
        {L">-Quillmere-< 10.12.2026 09:30:00", true},
        {L"QMRX$BASICSYNCPACKET:alice", true},
        {L"Re: >-Quillmere-< ERROR: NO ATTACHEMENT", true},
        {L"Quillmere newsletter", false},
    };
    LONG filed = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.subject, c.subject + wcslen(c.subject)));
        std::unique_ptr<store::Message> mail = InboxMail(c.subject);
        store::Bytes target;
        EXPECT_EQ(m_app->ApplyRules(mail->EntryId(), &target), c.filed ? S_OK : S_FALSE);
        filed += c.filed ? 1 : 0;
        EXPECT_EQ(folders[0]->GetItems()->GetCount(), filed);
    }
    EXPECT_EQ(m_ns->GetDefaultFolder(olFolderInbox)->GetItems()->GetCount(), 1);
}

TEST_F(RulePlanterTest, WithoutOutlookNothingHappensAndTheResultIsTheModules) {
    m_running.reset();
    m_ns.Release();
    m_app.reset();  // no client runs
    EXPECT_EQ(ruleplanter::RulePlanterMain(L""), 0);
    EXPECT_EQ(ruleplanter::RulePlanterMain(L"remove"), 0);
    Start(L"14.0.0.7015");
    EXPECT_TRUE(SavedRules(m_ns).empty());
    EXPECT_TRUE(SyncFolders(m_ns).empty());
}

// --- The program itself ----------------------------------------------------------

// Runs bin/RulePlanterx64 with the arguments for the test's user directory
// and returns its exit status (-1 when it did not exit normally).
int RunProgram(const std::string& userDirectory, const std::vector<std::string>& args) {
    std::string program = QM_BINARY_DIR "/bin/RulePlanterx64";
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("QUILLMERE_USER_DIR=", 0) != 0 && v.rfind("QUILLMERE_INSTALL_DIR=", 0) != 0 &&
            v.rfind("QUILLMERE_PROFILE=", 0) != 0)
            vars.push_back(v);
    }
    vars.push_back("QUILLMERE_USER_DIR=" + userDirectory);
    vars.push_back("QUILLMERE_INSTALL_DIR=" QM_BINARY_DIR "/bin");
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The program as its own process, against the client this test process
// runs as "Outlook.Application" (the user's host, in the test's place).
class RulePlanterProgram : public RulePlanterTest {};

TEST_F(RulePlanterProgram, WorksOnTheRunningClientFromItsOwnProcess) {
    ASSERT_EQ(RunProgram(m_machine.User(), {}), 0);
    m_ui->RunPending();
    EXPECT_EQ(m_quits, 1) << "the program quits the client it worked on";
    std::vector<RuleView> rules = SavedRules(m_ns);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].name, L"{QUILLMERE}");
    EXPECT_EQ(rules[0].subjectTexts, kConditionTexts);
    std::vector<MAPIFolderPtr> folders = SyncFolders(m_ns);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(rules[0].moveFolder, Text(folders[0]->GetEntryID()));

    ASSERT_EQ(RunProgram(m_machine.User(), {"remove"}), 0);
    EXPECT_TRUE(SavedRules(m_ns).empty());
    EXPECT_TRUE(SyncFolders(m_ns).empty());

    // Without a running client the program finds nothing and changes nothing.
    m_running.reset();
    AddRule(m_ns, L"{QUILLMERE}", L"old");
    ASSERT_EQ(RunProgram(m_machine.User(), {}), 0);
    EXPECT_EQ(SavedRules(m_ns)[0].subjectTexts, std::vector<std::wstring>{L"old"});
    EXPECT_TRUE(SyncFolders(m_ns).empty());

    // The registration switches reach the user's registry.
    ASSERT_EQ(RunProgram(m_machine.User(), {"/RegServer"}), 0);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\{8085C61D-C8F3-43CC-9503-EDFE8BDD1321}"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\RulePlanterx64.exe"));
    ASSERT_EQ(RunProgram(m_machine.User(), {"/UnregServer"}), 0);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\{8085C61D-C8F3-43CC-9503-EDFE8BDD1321}"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\RulePlanterx64.exe"));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID")) << "Outlook's registration stays";
}

// As the add-in starts it: ShellExecuteW of "RulePlanterx64.exe" in the
// install directory, hidden, without arguments and without waiting.
TEST_F(RulePlanterProgram, StartsFromTheInstallDirectoryAsTheAddInStartsIt) {
    std::string started;
    win::SetShellExecuteObserver(
        [&](const win::ShellExecuteCall& call) { started = call.hostProgram; });
    HINSTANCE result =
        ShellExecuteW(nullptr, L"open", L"P:\\RulePlanterx64.exe", L"", L"P:\\", SW_HIDE);
    win::SetShellExecuteObserver({});
    ASSERT_GT(reinterpret_cast<std::intptr_t>(result), 32);
    EXPECT_EQ(std::filesystem::path(started).filename(), "RulePlanterx64");
    // The program ends by itself; wait (real time, bounded) until it has.
    for (int i = 0; i < 3000 && win::RunningShellChildren() > 0; ++i)
        ::usleep(10 * 1000);
    ASSERT_EQ(win::RunningShellChildren(), 0);
    EXPECT_EQ(Names(SavedRules(m_ns)), std::vector<std::wstring>{L"{QUILLMERE}"});
    EXPECT_EQ(SyncFolders(m_ns).size(), 1u);
}

TEST(RulePlanterProgramFile, CarriesItsVersion) {
    win::testing::TestMachine machine;
    win::SetInstallDirectory(QM_BINARY_DIR "/bin");
    const WCHAR* file = L"P:\\RulePlanterx64.exe";
    DWORD size = GetFileVersionInfoSizeW(file, nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(file, 0, size, block.data()));
    void* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\OriginalFilename",
                               &value, &length));
    EXPECT_EQ(std::wstring(static_cast<const WCHAR*>(value)), L"RulePlanterx64.exe");
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", &value, &length));
    EXPECT_EQ(static_cast<const VS_FIXEDFILEINFO*>(value)->dwFileType, VFT_APP);
}

}  // namespace
