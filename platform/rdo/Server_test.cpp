#include "platform/rdo/Server.h"

#include "platform/rdo/RdoTestSupport.h"

namespace rdo::testing {
namespace {

struct Kind {
    const wchar_t* progId;
    const IID* iid;
};

const Kind kCreatable[] = {
    {L"QuillmereRDOx.QMRRDOSession", &IID_QMRRDOSession},
    {L"QuillmereRDOx.QMRMAPIUtils", &IID_QMRMAPIUtils},
    {L"QuillmereRDOx.QMRSafeMailItem", &IID_QMRSafeMailItem},
    {L"QuillmereRDOx.QMRSafeJournalItem", &IID_QMRSafeJournalItem},
    {L"QuillmereRDOx.QMRMAPITable", &IID_QMRMAPITable},
    {L"QuillmereRDOx.QMRMAPIFolder", &IID_QMRMAPIFolder},
};

using ServerTest = RdoTest;

TEST_F(ServerTest, UnregisteredKindsFailCleanly) {
    for (const Kind& kind : kCreatable) {
        CLSID clsid{};
        EXPECT_EQ(CLSIDFromProgID(kind.progId, &clsid), CO_E_CLASSSTRING) << kind.progId;
    }
    CComPtr<IUnknown> object;
    EXPECT_EQ(CoCreateInstance(CLSID_QMRRDOSession, nullptr, CLSCTX_INPROC_SERVER,
                               IID_QMRRDOSession, reinterpret_cast<void**>(&object)),
              REGDB_E_CLASSNOTREG);
    EXPECT_EQ(object.p, nullptr);
}

TEST_F(ServerTest, EveryCreatableKindIsMadeByItsProgIdAfterRegistration) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    for (const Kind& kind : kCreatable) {
        CLSID clsid{};
        ASSERT_EQ(CLSIDFromProgID(kind.progId, &clsid), S_OK) << kind.progId;
        CComPtr<IDispatch> object;
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, *kind.iid,
                                   reinterpret_cast<void**>(&object)),
                  S_OK)
            << kind.progId;
        ASSERT_NE(object.p, nullptr);
        // The kind answers for its own interface and IDispatch, and for no other kind's.
        CComPtr<IUnknown> same, dispatch, other;
        EXPECT_EQ(object->QueryInterface(*kind.iid, reinterpret_cast<void**>(&same)), S_OK);
        EXPECT_EQ(object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
        const IID& foreign = kind.iid == &IID_QMRMAPIUtils ? IID_QMRRDOSession : IID_QMRMAPIUtils;
        EXPECT_EQ(object->QueryInterface(foreign, reinterpret_cast<void**>(&other)), E_NOINTERFACE);
        CComPtr<IUnknown> wrongInterface;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_QMRMessage,
                                   reinterpret_cast<void**>(&wrongInterface)),
                  E_NOINTERFACE)
            << kind.progId;
    }
    OLECHAR* progId = nullptr;
    ASSERT_EQ(ProgIDFromCLSID(CLSID_QMRMAPIUtils, &progId), S_OK);
    EXPECT_STREQ(progId, L"QuillmereRDOx.QMRMAPIUtils.1");
    SysFreeString(progId);

    ASSERT_EQ(DllUnregisterServer(), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(L"QuillmereRDOx.QMRRDOSession", &clsid), CO_E_CLASSSTRING);
}

TEST_F(ServerTest, TheFactoryRefusesAggregationAndUnknownClasses) {
    CComPtr<IClassFactory> factory;
    ASSERT_EQ(DllGetClassObject(CLSID_QMRRDOSession, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory)),
              S_OK);
    CComPtr<IUnknown> object;
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, reinterpret_cast<void**>(&object)),
              CLASS_E_NOAGGREGATION);
    CComPtr<IClassFactory> none;
    EXPECT_EQ(DllGetClassObject(IID_QMRMessage, IID_IClassFactory, reinterpret_cast<void**>(&none)),
              CLASS_E_CLASSNOTAVAILABLE);
}

}  // namespace
}  // namespace rdo::testing
