// The fixture shared by the core's window, tray and helper tests: a user
// directory in a temporary folder, the add-in's locks, the logs, a fake
// helper session, an engine of an old Outlook (ready at once) made the
// process-wide engine, and the virtual platform clock (the test's thread
// counted: platform time moves only while it waits).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Com.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Paths.h"
#include "platform/win/ShellNotify.h"
#include "platform/win/Text.h"

namespace coretest {

inline CComPtr<fakes::FakeSession>& Session() {
    static CComPtr<fakes::FakeSession> session;
    return session;
}

inline HRESULT CreateFake(const wchar_t*, REFIID iid, void** out) {
    if (iid == IID_QMRRDOSession && Session())
        return fakes::Give(Session(), reinterpret_cast<QMRRDOSession**>(out));
    return REGDB_E_CLASSNOTREG;
}

class CoreTest : public ::testing::Test, public addintest::TempFiles {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        char tmpl[] = "/tmp/qm_core_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
        InitializeAddinLocks();
        logs::ResetForTesting();
        ASSERT_NO_FATAL_FAILURE(StartLogs());
        Session() = com::Make<fakes::FakeSession>();
        SetHelperObjectCreatorForTesting(CreateFake);
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return IDOK; });
        win::ClearMessageBoxCalls();
        win::ResetTrayForTesting();
        auto outlook = std::make_unique<fakes::FakeOutlook>();
        m_engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        m_engine->SetSettingsTextPath(m_temp + L"Quillmere_settings.txt");
        DebugSwitch = true;
        g_pEngine = m_engine.get();
    }
    void TearDown() override {
        g_pEngine = nullptr;
        m_engine.reset();
        win::SetMessageBoxHandler({});
        SetHelperObjectCreatorForTesting(nullptr);
        Session().Release();
        StopFlag = false;
        DeleteAddinLocks();
        logs::ResetForTesting();
        std::filesystem::remove_all(m_dir);
        win::SetVirtualClockForTesting(false);
    }

    // Dispatches the calling thread's messages until the condition holds
    // (at the first platform moment it does) or limitMs platform ms pass.
    static bool PumpUntil(const std::function<bool()>& condition, DWORD limitMs = 600000) {
        return win::PumpMessagesUntil(condition, limitMs);
    }

    std::string m_dir;
    std::unique_ptr<CSyncEngine> m_engine;
};

}  // namespace coretest
