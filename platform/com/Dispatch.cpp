#include "platform/com/Dispatch.h"

#include <vector>

namespace com {

HRESULT GetProperty(IDispatch* object, DISPID id, VARIANT* result) {
    if (!object || !result)
        return E_POINTER;
    DISPPARAMS none;
    return object->Invoke(id, IID_NULL, 0x400, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                          result, nullptr, nullptr);
}

HRESULT PutProperty(IDispatch* object, DISPID id, const VARIANT& value) {
    if (!object)
        return E_POINTER;
    VARIANT arg = value;  // shallow: Invoke does not take ownership of arguments
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{&arg, &named, 1, 1};
    return object->Invoke(id, IID_NULL, 0x400, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                          nullptr);
}

HRESULT CallMethod(IDispatch* object, DISPID id, const VARIANT* args, UINT count, VARIANT* result) {
    if (!object)
        return E_POINTER;
    // DISPPARAMS carries the arguments last-first.
    std::vector<VARIANT> reversed(count);
    for (UINT i = 0; i < count; ++i)
        reversed[count - 1 - i] = args[i];
    DISPPARAMS params{reversed.data(), nullptr, count, 0};
    return object->Invoke(id, IID_NULL, 0x400, DISPATCH_METHOD, &params, result, nullptr, nullptr);
}

}  // namespace com
