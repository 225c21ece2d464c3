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
#include "Quillmere/core/AddinTestSupport_test.h"
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

class ExchangeProfileTest : public addintest::HostProfileTest {
protected:
    ExchangeProfileTest() : HostProfileTest("qm_exprofile") {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(HostProfileTest::SetUp());
        outlook::ApplicationOptions options;
        ASSERT_EQ(outlook::OutlookApplication::ProfileFromFile(m_dir + "/profiles/Ann/profile.ini",
                                                               &options.profile),
                  S_OK);
        options.version = L"10.0.6626";  // ready at once: no log-on thread
        options.ui = m_ui;
        ASSERT_EQ(outlook::OutlookApplication::Create(options, &m_app), S_OK);
        ASSERT_NO_FATAL_FAILURE(addintest::MakeEngine(
            std::make_unique<COutlookNamespaceAccess>(m_app->NameSpace()), m_temp, m_engine));
        QMRMAPIUtils* utils = nullptr;
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &utils), S_OK);
        m_engine->SetUtils(utils);
        utils->Release();
        addintest::MakeProcessEngine(m_engine.get(), m_temp);
    }

    void TearDown() override {
        addintest::StopAddinThreads();
        win::SetModalDialogHandler({});
        addintest::DestroyEngine(m_engine);
        m_app.reset();
        HostProfileTest::TearDown();
    }

    QMRRDOSession* Session() { return m_engine->Session(); }
    QMRMAPIUtils* Utils() { return m_engine->Utils(); }

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
        return addintest::SaveNewMessage(folder, subject, messageClass, body.c_str());
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

    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
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
