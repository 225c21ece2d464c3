// A fixture over the real helper library and a store made in the test, for
// the lookup and import-journal tests.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"

class LookupTest : public rdo::testing::RdoTest {
protected:
    // An object of the helper library itself: the add-in core linked into
    // this test has a class-object entry point of its own.
    template <class I>
    HRESULT Create(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
        using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        if (!rdo)
            return E_FAIL;
        auto get = reinterpret_cast<GetClassObjectFn>(GetProcAddress(rdo, "DllGetClassObject"));
        if (!get)
            return E_FAIL;
        CComPtr<IClassFactory> factory;
        HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&out));
    }

    void SetUp() override {
        RdoTest::SetUp();
        InitializeAddinLocks();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
        m_profiles.Add(MakeProfile());
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
        ASSERT_EQ(m_session->GetDefaultFolder(6, &m_folder), S_OK);
        SetHelperObjectCreatorForTesting(
            [](const wchar_t*, REFIID, void**) -> HRESULT { return REGDB_E_CLASSNOTREG; });
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

    CComPtr<QMRMessage> NewMessage(const wchar_t* subject, QMRMAPIFolder* folder = nullptr) {
        CComPtr<QMRItems> items;
        EXPECT_EQ((folder ? folder : m_folder.p)->GetItems(&items), S_OK);
        CComPtr<QMRMessage> message;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &message), S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }
    CComVariant SearchKey(QMRMessage* message) {
        CComVariant value;
        EXPECT_EQ(message->GetFields(CComVariant(LONG(0x300B0102)), &value), S_OK);
        return value;
    }
    std::wstring EntryId(QMRMessage* message) {
        CComBSTR id;
        EXPECT_EQ(message->GetEntryID(&id), S_OK);
        return id ? std::wstring(id) : L"";
    }
    std::string ErrorLog() {
        std::ifstream in(*win::HostPath(m_temp + L"Quillmere_error.log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool ErrorLogHas(const std::string& line) { return ErrorLog().find(line) != std::string::npos; }

    std::wstring m_temp;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_folder;
    std::unique_ptr<CSyncEngine> m_engine;
};
