#include "Quillmere/core/HelperObjects.h"

#include <cwchar>

#include "Quillmere/core/CoreTestSupport_test.h"
#include "Quillmere/core/HiddenWindow.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

// Office's COMAddIn as the add-in sees it: records property puts by DISPID.
class FakeComAddIn final : public fakes::FakeDispatch<FakeComAddIn, IDispatch> {
public:
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        if ((flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1) {
            lastPutId = id;
            lastPut = params->rgvarg[0];
            ++puts;
        }
        return S_OK;
    }
    DISPID lastPutId = -1;
    CComVariant lastPut;
    int puts = 0;
};

class HelperObjectsTest : public coretest::CoreTest {};

TEST_F(HelperObjectsTest, UnregisteredLibraryShowsTheBoxAndDisconnectsTheAddin) {
    auto comAddIn = com::Make<FakeComAddIn>();
    SetAddinCOMAddIn(comAddIn);
    g_UILanguage = 0x0407;
    CComPtr<QMRMAPIUtils> utils;
    HRESULT hr = CreateMAPIUtils(m_engine.get(), &utils);
    EXPECT_EQ(hr, REGDB_E_CLASSNOTREG);
    EXPECT_EQ(utils, nullptr);
    std::vector<win::MessageBoxCall> calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    std::wstring text, caption;
    LoadString(AddinResourceModule(), 1214, 0x0407, text);
    LoadString(AddinResourceModule(), 1223, 0x0407, caption);
    EXPECT_EQ(calls[0].text, text);
    EXPECT_EQ(calls[0].caption, caption);
    EXPECT_EQ(calls[0].type, MB_OK);
    EXPECT_EQ(comAddIn->puts, 1);
    EXPECT_EQ(comAddIn->lastPutId, 6);
    EXPECT_EQ(comAddIn->lastPut.vt, VT_BOOL);
    EXPECT_EQ(comAddIn->lastPut.boolVal, VARIANT_FALSE);
    SetAddinCOMAddIn(nullptr);
    g_UILanguage = 0x0409;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Each failure is logged; the library is reported (box and disconnection)
// once for the engine.
TEST_F(HelperObjectsTest, EveryFactoryTakesTheFailurePath) {
    CComPtr<QMRSafeMailItem> mail;
    CComPtr<QMRSafeJournalItem> journal;
    CComPtr<QMRMAPITable> table;
    EXPECT_TRUE(FAILED(CreateSafeMailItem(m_engine.get(), &mail)));
    EXPECT_TRUE(FAILED(CreateSafeJournalItem(m_engine.get(), &journal)));
    EXPECT_TRUE(FAILED(CreateMAPITable(m_engine.get(), &table)));
    EXPECT_EQ(Count(ErrorLog(), "QuillmereRDO.dll may be not registered"), 3u) << ErrorLog();
    EXPECT_EQ(win::MessageBoxCalls().size(), 1u);
}

// The exchange threads fail to create their helper objects as Outlook's
// thread does; the one report comes from Outlook's thread (the heartbeat
// window's), out of its message loop.
TEST_F(HelperObjectsTest, MissingLibraryIsReportedOnceFromOutlooksThread) {
    auto comAddIn = com::Make<FakeComAddIn>();
    SetAddinCOMAddIn(comAddIn);
    CHiddenWindow heartbeat;
    ASSERT_TRUE(heartbeat.Create());
    m_engine->SetHeartbeatWindow(heartbeat.Handle());
    CSyncEngine* engine = m_engine.get();
    {
        win::testing::PlatformThread sender([engine] {
            CComPtr<QMRMAPIUtils> utils;
            EXPECT_TRUE(FAILED(CreateMAPIUtils(engine, &utils)));
        });
        win::testing::PlatformThread importer([engine] {
            CComPtr<QMRSafeMailItem> mail;
            EXPECT_TRUE(FAILED(CreateSafeMailItem(engine, &mail)));
        });
    }
    CComPtr<QMRMAPIUtils> utils;
    EXPECT_TRUE(FAILED(CreateMAPIUtils(engine, &utils)));
    EXPECT_TRUE(win::MessageBoxCalls().empty()) << "nothing shown inside the failing calls";
    EXPECT_EQ(comAddIn->puts, 0);

    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&msg);
    std::vector<win::MessageBoxCall> calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(comAddIn->puts, 1);
    EXPECT_EQ(comAddIn->lastPut.boolVal, VARIANT_FALSE);
    EXPECT_EQ(Count(ErrorLog(), "QuillmereRDO.dll may be not registered"), 3u) << ErrorLog();

    m_engine->SetHeartbeatWindow(nullptr);
    heartbeat.Destroy();
    SetAddinCOMAddIn(nullptr);
}

const wchar_t* g_lastProgId = nullptr;
IID g_lastIid{};

HRESULT RecordingCreator(const wchar_t* progId, REFIID iid, void** out) {
    g_lastProgId = progId;
    g_lastIid = iid;
    *out = nullptr;
    return E_NOINTERFACE;
}

TEST_F(HelperObjectsTest, FactoriesAskForTheirProgIdAndInterface) {
    SetHelperObjectCreatorForTesting(RecordingCreator);
    struct Case {
        HRESULT (*create)(CSyncEngine*);
        const wchar_t* progId;
        IID iid;
    };
    const Case cases[] = {
        {[](CSyncEngine* e) {
             CComPtr<QMRMAPIUtils> p;
             return CreateMAPIUtils(e, &p);
         },
         L"QuillmereRDOx.QMRMAPIUtils", IID_QMRMAPIUtils},
        {[](CSyncEngine* e) {
             CComPtr<QMRSafeMailItem> p;
             return CreateSafeMailItem(e, &p);
         },
         L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem},
        {[](CSyncEngine* e) {
             CComPtr<QMRSafeJournalItem> p;
             return CreateSafeJournalItem(e, &p);
         },
         L"QuillmereRDOx.QMRSafeJournalItem", IID_QMRSafeJournalItem},
        {[](CSyncEngine* e) {
             CComPtr<QMRMAPITable> p;
             return CreateMAPITable(e, &p);
         },
         L"QuillmereRDOx.QMRMAPITable", IID_QMRMAPITable},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.create(m_engine.get()), E_NOINTERFACE);
        EXPECT_STREQ(g_lastProgId, c.progId);
        EXPECT_TRUE(g_lastIid == c.iid);
    }
}

TEST_F(HelperObjectsTest, RealCreationFailsForAnUnregisteredProgId) {
    SetHelperObjectCreatorForTesting(nullptr);
    CoInitialize(nullptr);
    CComPtr<QMRMAPIUtils> utils;
    EXPECT_TRUE(FAILED(CreateMAPIUtils(m_engine.get(), &utils)));
    EXPECT_EQ(win::MessageBoxCalls().size(), 1u);
}

TEST_F(HelperObjectsTest, ModuleVersionIsMajorMinorBuild) {
    wchar_t version[32] = L"x";
    GetModuleVersionString(m_engine.get(), version, 32);
    std::wstring text = version;
    ASSERT_FALSE(text.empty());
    int major = -1, minor = -1, build = -1;
    wchar_t tail = 0;
    EXPECT_EQ(std::swscanf(version, L"%d.%d.%d%lc", &major, &minor, &build, &tail), 3)
        << win::ToUtf8(text);
    EXPECT_GE(major, 0);
}

}  // namespace
