#include "platform/rdo/RdoObject.h"

namespace rdo {

HRESULT PutText(std::wstring_view text, BSTR* out) {
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace rdo
