// The fixture shared by the core's window, tray and helper tests: a user
// directory in a temporary folder, the add-in's locks, the logs, a fake
// helper session, an engine of an old Outlook (ready at once) made the
// process-wide engine, and a scaled platform clock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
        win::SetTimeScaleForTesting(1000);
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
        win::SetTimeScaleForTesting(1);
        win::SetMessageBoxHandler({});
        SetHelperObjectCreatorForTesting(nullptr);
        Session().Release();
        StopFlag = false;
        DeleteAddinLocks();
        logs::ResetForTesting();
        std::filesystem::remove_all(m_dir);
    }

    // Dispatches the calling thread's messages until the condition holds or
    // 5 real seconds pass.
    template <class F>
    bool PumpUntil(F condition) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < end) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&msg);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    std::string m_dir;
    std::unique_ptr<CSyncEngine> m_engine;
};

}  // namespace coretest
