#include "platform/com/Com.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/com/ComError.h"
#include "platform/com/ComObject.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/testdata/TestServer.h"
#include "platform/win/Environment.h"

namespace {

class ComRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("qm-com-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                 "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
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
    com::ServerRegistration Greeter(const std::wstring& path = L"P:\\QmComTestServer.dll") {
        return {CLSID_QmTestGreeter, L"QmTest.Greeter.1", L"QmTest.Greeter", L"Greeter Class",
                path};
    }
    std::filesystem::path m_dir;
};

TEST_F(ComRuntime, CreatesRegisteredServerByProgId) {
    ASSERT_EQ(com::RegisterServer(Greeter()), S_OK);
    CLSID clsid;
    ASSERT_EQ(CLSIDFromProgID(L"QmTest.Greeter", &clsid), S_OK);
    EXPECT_EQ(clsid, CLSID_QmTestGreeter);
    CComPtr<IQmTestGreeter> greeter;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQmTestGreeter,
                               reinterpret_cast<void**>(&greeter)),
              S_OK);
    CComBSTR out;
    ASSERT_EQ(greeter->Greet(CComBSTR(L"Quillmere"), &out), S_OK);
    EXPECT_TRUE(out == L"Hello, Quillmere");
    // COM identity: IUnknown from any interface is the same pointer.
    CComPtr<IUnknown> a, b;
    greeter->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a.p, b.p);
    OLECHAR* progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(clsid, &progId), S_OK);
    EXPECT_STREQ(progId, L"QmTest.Greeter.1");
    SysFreeString(progId);
}

TEST_F(ComRuntime, FailuresAreThePlatformCodes) {
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(L"QmTest.Nothing", &clsid), CO_E_CLASSSTRING);
    CComPtr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(CLSID_QmTestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    ASSERT_EQ(com::RegisterServer(Greeter(L"P:\\QmMissingServer.dll")), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_QmTestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                               reinterpret_cast<void**>(&object)),
              HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
    ASSERT_EQ(com::RegisterServer(Greeter()), S_OK);
    EXPECT_EQ(CoCreateInstance(CLSID_QmTestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              E_NOINTERFACE);
    HRESULT hr = S_OK;
    std::thread([&] {
        hr = CoCreateInstance(CLSID_QmTestGreeter, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(&object));
    }).join();
    EXPECT_EQ(hr, CO_E_NOTINITIALIZED);
    ASSERT_EQ(com::UnregisterServer(Greeter()), S_OK);
    EXPECT_EQ(CLSIDFromProgID(L"QmTest.Greeter", &clsid), CO_E_CLASSSTRING);
}

TEST(Apartment, SecondInitIsFalseAndModelsDontMix) {
    HRESULT first = S_OK, second = S_OK, other = S_OK;
    std::thread([&] {
        first = CoInitialize(nullptr);
        second = CoInitialize(nullptr);
        other = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        CoUninitialize();
        CoUninitialize();
    }).join();
    EXPECT_EQ(first, S_OK);
    EXPECT_EQ(second, S_FALSE);
    EXPECT_EQ(other, RPC_E_CHANGED_MODE);
}

// An event source with one connection point for a made-up event interface.
constexpr IID IID_ITestEvents{0x22222222, 0, 0, {1, 2, 3, 4, 5, 6, 7, 9}};

class Source final : public com::ComObject<Source, IConnectionPointContainer> {
public:
    HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_ITestEvents)
            return CONNECT_E_NOCONNECTION;
        *out = &m_point;
        m_point.AddRef();
        return S_OK;
    }
    com::ConnectionPoint m_point{this, IID_ITestEvents};
};

class Sink final : public com::ComObject<Sink, IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        calls.push_back(id);
        if (p->cArgs)
            lastArg = p->rgvarg[p->cArgs - 1].lVal;
        return S_OK;
    }
    std::vector<DISPID> calls;
    LONG lastArg = 0;
};

TEST(ConnectionPoints, AdvisedSinksReceiveEventsUntilUnadvised) {
    auto source = com::Make<Source>();
    auto sink = com::Make<Sink>();
    DWORD cookie = 0;
    ASSERT_EQ(com::Advise(source->GetUnknown(), IID_ITestEvents, sink->GetUnknown(), &cookie),
              S_OK);
    EXPECT_NE(cookie, 0u);
    CComVariant arg(7);
    source->m_point.Fire(0xF001, &arg, 1);
    EXPECT_EQ(sink->calls, std::vector<DISPID>{0xF001});
    EXPECT_EQ(sink->lastArg, 7);
    ASSERT_EQ(com::Unadvise(source->GetUnknown(), IID_ITestEvents, cookie), S_OK);
    source->m_point.Fire(0xF002);
    EXPECT_EQ(sink->calls.size(), 1u);
    EXPECT_EQ(com::Unadvise(source->GetUnknown(), IID_ITestEvents, cookie), CONNECT_E_NOCONNECTION);
    DWORD c2;
    EXPECT_EQ(com::Advise(source->GetUnknown(), IID_IDispatch, sink->GetUnknown(), &c2),
              CONNECT_E_NOCONNECTION);
}

TEST(ComError, ThrowingFormCarriesTheCode) {
    try {
        ThrowIfFailed(MAPI_E_NOT_FOUND);
        FAIL();
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), MAPI_E_NOT_FOUND);
    }
    EXPECT_EQ(ThrowIfFailed(S_FALSE), S_FALSE);
}

}  // namespace
