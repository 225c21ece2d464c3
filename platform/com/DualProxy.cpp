#include "platform/com/DualProxy.h"

#include "platform/com/ClassRegistry.h"
#include "platform/com/Com.h"

namespace com {

HRESULT RegisterProxyStub(REFCLSID proxyClsid, const std::wstring& serverPath,
                          const std::vector<ProxiedInterface>& interfaces) {
    const std::wstring clsid = win::GuidToString(proxyClsid);
    std::vector<impl::ClassesValue> values = {
        {L"CLSID\\" + clsid, nullptr, L"PSFactoryBuffer"},
        {L"CLSID\\" + clsid + L"\\InprocServer32", nullptr, serverPath},
    };
    for (const ProxiedInterface& i : interfaces) {
        const std::wstring key = L"Interface\\" + win::GuidToString(i.iid);
        values.push_back({key, nullptr, i.name});
        values.push_back({key + L"\\ProxyStubClsid32", nullptr, clsid});
    }
    LSTATUS status = impl::WriteClassesStrings(values);
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(static_cast<DWORD>(status));
}

}  // namespace com
