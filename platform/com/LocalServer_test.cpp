#include "platform/com/LocalServer.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/com/ComObject.h"
#include "platform/com/Dispatch.h"
#include "platform/win/Environment.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/TestMachine.h"

namespace {

// {9A4C1D6E-2B7F-4E30-8C15-6D0A3F7B9E21}
constexpr CLSID kCalculatorClsid{
    0x9A4C1D6E, 0x2B7F, 0x4E30, {0x8C, 0x15, 0x6D, 0x0A, 0x3F, 0x7B, 0x9E, 0x21}};
// An interface no proxy is registered for: {1F0E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}.
constexpr IID kUnproxiedIid{
    0x1F0E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

enum : DISPID { kAdd = 1, kEcho, kChild, kIsOwnChild, kLiveChildren, kReverse };

std::atomic<int> g_liveChildren{0};

// A child object handed out by the calculator, counted while it lives.
class Child final : public com::ComObject<Child, IDispatch> {
public:
    Child() { ++g_liveChildren; }
    ~Child() override { --g_liveChildren; }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }
};

// The served object: members by DISPID (arguments in rgvarg's reverse order).
class Calculator final : public com::ComObject<Calculator, IDispatch> {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR** names, UINT count, LCID, DISPID* ids) override {
        if (count != 1 || std::wstring(names[0]) != L"Add")
            return DISP_E_UNKNOWNNAME;
        ids[0] = kAdd;
        return S_OK;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        switch (id) {
            case kAdd:
                if (p->cArgs != 2 || p->rgvarg[0].vt != VT_I4 || p->rgvarg[1].vt != VT_I4)
                    return DISP_E_TYPEMISMATCH;
                return CComVariant(p->rgvarg[1].lVal + p->rgvarg[0].lVal).Detach(result);
            case kEcho:
                return p->cArgs == 1 ? VariantCopy(result, &p->rgvarg[0]) : DISP_E_BADPARAMCOUNT;
            case kChild:
                return CComVariant(static_cast<IDispatch*>(m_child.p)).Detach(result);
            case kIsOwnChild: {
                bool own = p->cArgs == 1 && p->rgvarg[0].vt == VT_DISPATCH &&
                           static_cast<IUnknown*>(p->rgvarg[0].pdispVal) ==
                               static_cast<IUnknown*>(m_child.p);
                return CComVariant(own).Detach(result);
            }
            case kLiveChildren:
                return CComVariant(static_cast<LONG>(g_liveChildren.load())).Detach(result);
            case kReverse: {
                // A fresh child each time, released by the client.
                auto fresh = com::Make<Child>();
                return CComVariant(static_cast<IDispatch*>(fresh.p)).Detach(result);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    CComPtr<Child> m_child = com::Make<Child>();
};

class CalculatorFactory final : public com::ComObject<CalculatorFactory, IClassFactory> {
public:
    HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        return m_calculator->QueryInterface(iid, out);
    }
    HRESULT LockServer(BOOL) override { return S_OK; }
    CComPtr<Calculator> m_calculator = com::Make<Calculator>();
};

// Runs one test of this binary as another process of the machine, without
// waiting; its exit status is read by Wait.
class OtherProcess {
public:
    OtherProcess(const std::string& test, const std::string& userDirectory) {
        std::vector<std::string> vars;
        for (char** e = environ; *e; ++e)
            vars.emplace_back(*e);
        vars.push_back("QUILLMERE_USER_DIR=" + userDirectory);
        vars.push_back(std::string(win::testing::kChildMarker) + "=1");
        std::vector<char*> envp;
        for (auto& v : vars)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string self = "/proc/self/exe";
        std::string filter = "--gtest_filter=LocalServerOtherProcess." + test;
        char* argv[] = {self.data(), filter.data(), nullptr};
        if (posix_spawn(&m_pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
            m_pid = -1;
    }
    int Wait() {
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, 0) != m_pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
};

// A file that one process makes for the other to see (real time, bounded).
bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 3000; ++i) {
        if (std::filesystem::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
    win::testing::TestMachine m_machine;
};

TEST_F(LocalServerTest, TheRegisteringProcessGetsItsOwnObjects) {
    auto factory = com::Make<CalculatorFactory>();
    DWORD classCookie = 0, activeCookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kCalculatorClsid, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &classCookie),
              S_OK);
    CComPtr<IDispatch> created;
    ASSERT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&created)),
              S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(created.p), factory->m_calculator->GetUnknown());
    // Not for an in-process activation: the class has no in-process server.
    CComPtr<IDispatch> inproc;
    EXPECT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&inproc)),
              REGDB_E_CLASSNOTREG);

    CComPtr<IUnknown> active;
    EXPECT_EQ(GetActiveObject(kCalculatorClsid, nullptr, &active), MK_E_UNAVAILABLE);
    ASSERT_EQ(RegisterActiveObject(factory->m_calculator->GetUnknown(), kCalculatorClsid,
                                   ACTIVEOBJECT_STRONG, &activeCookie),
              S_OK);
    ASSERT_EQ(GetActiveObject(kCalculatorClsid, nullptr, &active), S_OK);
    EXPECT_EQ(active.p, factory->m_calculator->GetUnknown());

    EXPECT_EQ(CoRevokeClassObject(classCookie), S_OK);
    EXPECT_EQ(CoRevokeClassObject(classCookie), CO_E_OBJNOTREG);
    EXPECT_EQ(RevokeActiveObject(activeCookie, nullptr), S_OK);
    created.Release();
    EXPECT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&created)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(CoRegisterClassObject(kCalculatorClsid, factory->GetUnknown(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &classCookie),
              E_INVALIDARG);
}

// The other process creates, calls, passes the served objects back and lets
// go of them; the server's objects then live only as long as it needs them.
TEST_F(LocalServerTest, AnotherProcessCallsTheServedObjects) {
    auto factory = com::Make<CalculatorFactory>();
    DWORD classCookie = 0, activeCookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kCalculatorClsid, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &classCookie),
              S_OK);
    ASSERT_EQ(RegisterActiveObject(factory->m_calculator->GetUnknown(), kCalculatorClsid,
                                   ACTIVEOBJECT_STRONG, &activeCookie),
              S_OK);
    const int childrenBefore = g_liveChildren;
    OtherProcess other("CallsTheServedObjects", m_machine.User());
    EXPECT_EQ(other.Wait(), 0);
    // What the other process was handed is let go once it ended.
    EXPECT_EQ(g_liveChildren.load(), childrenBefore);
    RevokeActiveObject(activeCookie, nullptr);
    CoRevokeClassObject(classCookie);
}

// A revoked registration cuts its connections: the other process's proxies
// fail from then on, and a new activation finds no server.
TEST_F(LocalServerTest, RevokingDisconnectsTheOtherProcesssProxies) {
    auto factory = com::Make<CalculatorFactory>();
    DWORD classCookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kCalculatorClsid, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &classCookie),
              S_OK);
    OtherProcess other("LosesTheServerWhenItRevokes", m_machine.User());
    ASSERT_TRUE(WaitForFile(m_machine.Root() + "/connected"));
    ASSERT_EQ(CoRevokeClassObject(classCookie), S_OK);
    std::ofstream(m_machine.Root() + "/revoked").put('1');
    EXPECT_EQ(other.Wait(), 0);
}

// --- The other process ---------------------------------------------------------------

class LocalServerOtherProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (!win::testing::IsChildRun())
            GTEST_SKIP() << "runs as the other process of LocalServerTest";
        CoInitialize(nullptr);
    }
    void TearDown() override {
        if (win::testing::IsChildRun())
            CoUninitialize();
    }
    static CComVariant Call(IDispatch* object, DISPID id, std::vector<CComVariant> args,
                            HRESULT* hr) {
        CComVariant result;
        *hr = com::CallMethod(object, id, args.data(), static_cast<UINT>(args.size()), &result);
        return result;
    }
};

TEST_F(LocalServerOtherProcess, CallsTheServedObjects) {
    // The class object is a factory: asked for anything else it has none.
    CComPtr<IDispatch> direct;
    EXPECT_EQ(CoGetClassObject(kCalculatorClsid, CLSCTX_ALL, nullptr, IID_IDispatch,
                               reinterpret_cast<void**>(&direct)),
              E_NOINTERFACE);
    CComPtr<IDispatch> calculator;
    ASSERT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&calculator)),
              S_OK);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Call(calculator, kAdd, {CComVariant(LONG{40}), CComVariant(LONG{2})}, &hr).lVal, 42);
    EXPECT_EQ(hr, S_OK);
    Call(calculator, kAdd, {CComVariant(L"forty"), CComVariant(LONG{2})}, &hr);
    EXPECT_EQ(hr, DISP_E_TYPEMISMATCH) << "the server's answer arrives";
    Call(calculator, 99, {}, &hr);
    EXPECT_EQ(hr, DISP_E_MEMBERNOTFOUND);
    DISPID id = 0;
    OLECHAR* names[] = {const_cast<OLECHAR*>(L"Add")};
    EXPECT_EQ(calculator->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, kAdd);

    // Values travel whole: texts with any character, dates, arrays of texts.
    const std::wstring text(L"Gr\u00FC\u00DFe\0und \U0001F600", 13);
    CComVariant echoed = Call(calculator, kEcho, {CComVariant(std::wstring_view(text))}, &hr);
    ASSERT_EQ(echoed.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(echoed.bstrVal, SysStringLen(echoed.bstrVal)), text);
    CComVariant date(45000.25, VT_DATE);
    EXPECT_EQ(Call(calculator, kEcho, {date}, &hr).date, 45000.25);
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 1, 2);
    for (LONG i = 1; i <= 2; ++i)
        SafeArrayPutElement(array, &i, CComBSTR(i == 1 ? L"one" : L"two").m_str);
    CComVariant texts;
    texts.vt = VT_ARRAY | VT_BSTR;
    texts.parray = array;
    CComVariant back = Call(calculator, kEcho, {texts}, &hr);
    ASSERT_EQ(back.vt, VT_ARRAY | VT_BSTR);
    LONG low = 0, high = 0;
    SafeArrayGetLBound(back.parray, 1, &low);
    SafeArrayGetUBound(back.parray, 1, &high);
    EXPECT_EQ(low, 1);
    EXPECT_EQ(high, 2);
    LONG two = 2;
    BSTR second = nullptr;
    SafeArrayGetElement(back.parray, &two, &second);
    EXPECT_EQ(std::wstring(second), L"two");
    SysFreeString(second);

    // One served object, one identity here; passed back, it is the server's own.
    CComVariant first = Call(calculator, kChild, {}, &hr);
    CComVariant again = Call(calculator, kChild, {}, &hr);
    ASSERT_EQ(first.vt, VT_DISPATCH);
    CComPtr<IUnknown> a, b;
    first.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a));
    again.pdispVal->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&b));
    EXPECT_EQ(a.p, b.p);
    EXPECT_EQ(Call(calculator, kIsOwnChild, {first}, &hr).boolVal, VARIANT_TRUE);
    CComPtr<IUnknown> none;
    EXPECT_EQ(first.pdispVal->QueryInterface(kUnproxiedIid, reinterpret_cast<void**>(&none)),
              E_NOINTERFACE);
    // An object of this process can't be passed.
    auto local = com::Make<Child>();
    Call(calculator, kIsOwnChild, {CComVariant(static_cast<IDispatch*>(local.p))}, &hr);
    EXPECT_EQ(hr, E_NOTIMPL);

    // Let go here, let go there.
    const LONG live = Call(calculator, kLiveChildren, {}, &hr).lVal;
    CComVariant fresh = Call(calculator, kReverse, {}, &hr);
    EXPECT_EQ(Call(calculator, kLiveChildren, {}, &hr).lVal, live + 1);
    fresh.Clear();
    EXPECT_EQ(Call(calculator, kLiveChildren, {}, &hr).lVal, live);

    // The running object table reaches the same object.
    CComPtr<IUnknown> active;
    ASSERT_EQ(GetActiveObject(kCalculatorClsid, nullptr, &active), S_OK);
    CComQIPtr<IDispatch> activeDispatch(active.p);
    EXPECT_EQ(Call(activeDispatch, kAdd, {CComVariant(LONG{1}), CComVariant(LONG{1})}, &hr).lVal,
              2);
    // One process of the machine serves a class.
    auto factory = com::Make<CalculatorFactory>();
    DWORD cookie = 0;
    EXPECT_EQ(CoRegisterClassObject(kCalculatorClsid, factory->GetUnknown(), CLSCTX_LOCAL_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              CO_E_OBJISREG);
}

TEST_F(LocalServerOtherProcess, LosesTheServerWhenItRevokes) {
    CComPtr<IDispatch> calculator;
    ASSERT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&calculator)),
              S_OK);
    const std::string root = std::filesystem::path(win::UserDirectory()).parent_path().string();
    std::ofstream(root + "/connected").put('1');
    ASSERT_TRUE(WaitForFile(root + "/revoked"));
    HRESULT hr = S_OK;
    Call(calculator, kAdd, {CComVariant(LONG{1}), CComVariant(LONG{2})}, &hr);
    EXPECT_EQ(hr, RPC_E_DISCONNECTED);
    Call(calculator, kAdd, {CComVariant(LONG{1}), CComVariant(LONG{2})}, &hr);
    EXPECT_EQ(hr, RPC_E_DISCONNECTED) << "for good";
    CComPtr<IDispatch> again;
    EXPECT_EQ(CoCreateInstance(kCalculatorClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&again)),
              REGDB_E_CLASSNOTREG);
}

}  // namespace
