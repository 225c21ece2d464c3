// A fixture over the real helper library and a store made in the test, for
// the lookup, import-journal and sync-id tests: a helper session of the
// library's own logged on to the profile, its utilities and Inbox, and an
// engine without Outlook and without a session of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoTestSupport.h"

class LookupTest : public rdo::testing::RdoTest, public addintest::TempFiles {
protected:
    // An object of the helper library itself: the add-in core linked into
    // this test has a class-object entry point of its own.
    template <class I>
    HRESULT Create(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
        return addintest::CreateHelperObject(clsid, iid, out);
    }

    void SetUp() override {
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        ASSERT_NO_FATAL_FAILURE(StartLogs());
        m_profiles.Add(MakeProfile());
        ASSERT_NO_FATAL_FAILURE(addintest::OpenHelperSession(m_session, m_utils, m_folder));
        // No Outlook and no registered helper library: the engine is ready
        // at once, without a session of its own.
        SetHelperObjectCreatorForTesting(&addintest::RefuseHelperObject);
        m_engine = std::make_unique<CSyncEngine>(nullptr, nullptr);
    }
    void TearDown() override {
        m_engine.reset();
        SetHelperObjectCreatorForTesting(nullptr);
        m_folder.Release();
        m_utils.Release();
        m_session.Release();
        logs::ResetForTesting();
        DeleteAddinLocks();
        RdoTest::TearDown();
    }

    CComPtr<QMRMessage> NewMessage(const wchar_t* subject = L"Item",
                                   QMRMAPIFolder* folder = nullptr) {
        return addintest::SaveNewMessage(folder ? folder : m_folder.p, subject);
    }
    CComVariant SearchKey(QMRMessage* message) { return addintest::SearchKeyOf(message); }
    std::wstring EntryId(QMRMessage* message) {
        CComBSTR id;
        EXPECT_EQ(message->GetEntryID(&id), S_OK);
        return id ? std::wstring(id) : L"";
    }

    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_folder;
    std::unique_ptr<CSyncEngine> m_engine;
};
