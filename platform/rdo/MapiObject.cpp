#include "platform/rdo/MapiObject.h"

#include "platform/com/ComObject.h"

namespace rdo {
namespace {

class MapiObject final : public com::ComObject<MapiObject, IQMRMapiObject> {
public:
    explicit MapiObject(MapiIdentity identity) : m_identity(std::move(identity)) {}
    const MapiIdentity& Identity() const override { return m_identity; }

private:
    const MapiIdentity m_identity;
};

}  // namespace

HRESULT CreateMapiObject(const MapiIdentity& identity, IUnknown** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    auto object = com::Make<MapiObject>(identity);
    if (!object)
        return E_OUTOFMEMORY;
    *out = object->GetUnknown();
    (*out)->AddRef();
    return S_OK;
}

const MapiIdentity* MapiIdentityOf(IUnknown* object) {
    if (!object)
        return nullptr;
    CComPtr<IQMRMapiObject> mapi;
    if (FAILED(object->QueryInterface(IID_IQMRMapiObject, reinterpret_cast<void**>(&mapi))))
        return nullptr;
    // The caller keeps object, and with it the identity, alive.
    return &mapi->Identity();
}

}  // namespace rdo
