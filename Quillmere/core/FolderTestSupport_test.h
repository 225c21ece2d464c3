// The fixture of the folder-object, item-event and folder-thread tests: a
// user directory in a temporary folder, the add-in's locks and logs, the
// real helper library registered by ProgID, the object model stand-in over
// one personal store (events queued for the test's thread, which stands for
// Outlook's), and an engine of an old Outlook (ready at once) made the
// process-wide engine. The platform clock runs 1000 times fast.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
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
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/OutlookNamespaceAccess.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Session.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"

namespace foldertest {

class FolderTest : public ::testing::Test, public addintest::TempFiles {
protected:
    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        ASSERT_NO_FATAL_FAILURE(addintest::UseNewMachine("qm_folder", m_dir));
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        win::ClearMessageBoxCalls();
        ASSERT_NO_FATAL_FAILURE(addintest::StartComWithHelperLibrary());
        ASSERT_NO_FATAL_FAILURE(StartLogs());
        ASSERT_NO_FATAL_FAILURE(addintest::OpenOutlookOverNewStore(m_dir, m_ui, m_app));
        ASSERT_NO_FATAL_FAILURE(addintest::MakeEngine(
            std::make_unique<COutlookNamespaceAccess>(m_app->NameSpace()), m_temp, m_engine));
        addintest::MakeProcessEngine(m_engine.get(), m_temp);
    }
    void TearDown() override {
        m_ui->RunPending();
        g_pEngine = nullptr;
        m_engine.reset();
        m_ui->RunPending();
        m_app.reset();
        win::SetMessageBoxHandler({});
        CoUninitialize();
        DeleteAddinLocks();
        logs::ResetForTesting();
        std::filesystem::remove_all(m_dir);
        win::SetVirtualClockForTesting(false);
    }

    // The engine's start (the configuration finds no folders); the debug
    // log stays on and the inbox requests the loading makes are cleared.
    void StartEngine() {
        m_engine->Start();
        DebugSwitch = true;
        m_engine->m_mainInboxRequest = false;
        m_engine->m_alternateInboxRequest = false;
        ASSERT_TRUE(m_engine->IsStarted());
    }

    CComPtr<MAPIFolder> DefaultFolder(OlDefaultFolders which) {
        CComPtr<MAPIFolder> folder;
        EXPECT_EQ(m_app->NameSpace()->GetDefaultFolder(which, &folder), S_OK);
        return folder;
    }
    static std::wstring EntryIdOf(MAPIFolder* folder) {
        CComBSTR id;
        folder->get_EntryID(&id);
        return std::wstring(id.View());
    }
    static std::wstring StoreIdOf(MAPIFolder* folder) {
        CComBSTR id;
        folder->get_StoreID(&id);
        return std::wstring(id.View());
    }

    // A shared folder object over an Outlook folder, with its share name.
    std::unique_ptr<CFolderObj> MakeFolder(MAPIFolder* folder, const std::wstring& share,
                                           LONG kind = CFolderObj::kSharedFolder,
                                           bool exchange = false) {
        auto object = std::make_unique<CFolderObj>(folder, kind, exchange, EntryIdOf(folder),
                                                   StoreIdOf(folder));
        object->m_shareName = share;
        object->Sink()->m_shareName = share;
        return object;
    }

    // A new saved item of the folder through the object model.
    CComPtr<IDispatch> AddItem(MAPIFolder* folder, const wchar_t* subject) {
        CComPtr<_Items> items;
        EXPECT_EQ(folder->get_Items(&items), S_OK);
        CComPtr<IDispatch> item;
        EXPECT_EQ(items->Add(MissingArgument(), &item), S_OK);
        EXPECT_EQ(com::PutProperty(item, outlook::dispid::kSubject, CComVariant(subject)), S_OK);
        EXPECT_EQ(com::CallMethod(item, outlook::dispid::kSave, nullptr, 0, nullptr), S_OK);
        return item;
    }
    static void ChangeItem(IDispatch* item, const wchar_t* subject) {
        EXPECT_EQ(com::PutProperty(item, outlook::dispid::kSubject, CComVariant(subject)), S_OK);
        EXPECT_EQ(com::CallMethod(item, outlook::dispid::kSave, nullptr, 0, nullptr), S_OK);
    }
    static void DeleteItem(IDispatch* item) {
        EXPECT_EQ(com::CallMethod(item, outlook::dispid::kDelete, nullptr, 0, nullptr), S_OK);
    }
    // Delivers the item events queued so far (this thread is the UI thread).
    void DeliverEvents() { m_ui->RunPending(); }

    static std::size_t Count(const std::string& text, const std::string& what) {
        std::size_t n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            ++n;
        return n;
    }

    template <class F>
    static bool WaitFor(F condition) {
        return addintest::WaitFor(condition);
    }
    bool WaitForLog(const std::string& text) {
        return WaitFor([&] { return DebugLogHas(text); });
    }

    std::string m_dir;
    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    std::unique_ptr<CSyncEngine> m_engine;
};

}  // namespace foldertest
