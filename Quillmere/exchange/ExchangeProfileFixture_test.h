// A profile made for the test (outlook-host init: "Ann" with one personal
// store), the object model stand-in opened on it in process, the real helper
// library registered, and an engine attached to the namespace's MAPI session
// with its own utilities, the data directory in the user's temp directory
// and the clock at scale 1000. Test code only.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OutlookNamespaceAccess.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/win/Clock.h"
#include "platform/win/Dialog.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace exchangetest {

namespace fs = std::filesystem;

constexpr LONG kOutbox = 4;
constexpr LONG kInbox = 6;
constexpr LONG kCalendar = 9;

class ExchangeProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_exprofile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::string init = std::string(QM_BINARY_DIR "/bin/outlook-host init ") + m_dir +
                           " --profile Ann --address ann@example.org >/dev/null";
        ASSERT_EQ(std::system(init.c_str()), 0);
        win::SetUserDirectory(m_dir);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        ASSERT_NE(rdo, nullptr);
        auto registerServer =
            reinterpret_cast<DllRegisterServerFn>(GetProcAddress(rdo, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);

        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
        win::SetTimeScaleForTesting(1000);

        outlook::ApplicationOptions options;
        ASSERT_EQ(outlook::OutlookApplication::ProfileFromFile(m_dir + "/profiles/Ann/profile.ini",
                                                               &options.profile),
                  S_OK);
        options.version = L"10.0.6626";  // ready at once: no log-on thread
        options.ui = m_ui;
        ASSERT_EQ(outlook::OutlookApplication::Create(options, &m_app), S_OK);
        m_engine = std::make_unique<CSyncEngine>(
            std::make_unique<COutlookNamespaceAccess>(m_app->NameSpace()),
            (m_temp + L"Quillmere_debug.log").c_str());
        ASSERT_NE(m_engine->Session(), nullptr);
        QMRMAPIUtils* utils = nullptr;
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &utils), S_OK);
        m_engine->SetUtils(utils);
        utils->Release();
        m_engine->SetDataPaths(m_temp);
        DebugSwitch = true;
        g_pEngine = m_engine.get();
    }

    void TearDown() override {
        StopFlag = true;
        EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
        SetExchangeThreadProcs({});
        win::SetModalDialogHandler({});
        g_pEngine = nullptr;
        m_engine.reset();
        m_app.reset();
        StopFlag = false;
        win::SetTimeScaleForTesting(1);
        win::SetMessageBoxHandler({});
        CoUninitialize();
        DeleteAddinLocks();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
    }

    QMRRDOSession* Session() { return m_engine->Session(); }
    QMRMAPIUtils* Utils() { return m_engine->Utils(); }

    // Waits up to 10 real seconds.
    template <class F>
    static bool WaitFor(F condition) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return condition();
    }

    CComPtr<QMRMAPIFolder> DefaultFolder(LONG kind) {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(Session()->GetDefaultFolder(kind, &folder), S_OK);
        return folder;
    }

    static LONG CountOf(QMRMAPIFolder* folder) {
        CComPtr<QMRItems> items;
        LONG count = -1;
        if (folder && SUCCEEDED(folder->GetItems(&items)))
            items->GetCount(&count);
        return count;
    }

    static CComPtr<QMRMessage> ItemOf(QMRMAPIFolder* folder, LONG index) {
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> message;
        if (folder && SUCCEEDED(folder->GetItems(&items)))
            items->Item(index, &message);
        return message;
    }

    // A saved message of that class in folder.
    static CComPtr<QMRMessage> AddMessage(QMRMAPIFolder* folder, const std::wstring& subject,
                                          const std::wstring& body,
                                          const wchar_t* messageClass = L"IPM.Note") {
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> message;
        EXPECT_EQ(folder->GetItems(&items), S_OK);
        EXPECT_EQ(items->Add(CComVariant(messageClass), &message), S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject.c_str())), S_OK);
        EXPECT_EQ(message->PutBody(CComBSTR(body.c_str())), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }

    static std::wstring Text(HRESULT (QMRMessage::*get)(BSTR*), QMRMessage* message) {
        CComBSTR text;
        if (!message || FAILED((message->*get)(&text)) || !text)
            return {};
        return std::wstring(text);
    }

    std::string HostPath(const std::wstring& windowsPath) {
        auto path = win::HostPath(windowsPath);
        return path ? *path : std::string();
    }

    std::string Read(const std::wstring& windowsPath) {
        std::ifstream in(HostPath(windowsPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::string DebugLog() { return Read(m_temp + L"Quillmere_debug.log"); }
    std::string ErrorLog() { return Read(m_temp + L"Quillmere_error.log"); }

    std::string m_dir;
    std::wstring m_temp;
    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    std::unique_ptr<CSyncEngine> m_engine;
};

// Runs /usr/bin/python3 with a script and arguments; its standard output.
inline std::string RunPython(const std::string& script, const std::vector<std::string>& args) {
    std::string command = "/usr/bin/python3 -c '" + script + "'";
    for (const std::string& a : args)
        command += " '" + a + "'";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

}  // namespace exchangetest
