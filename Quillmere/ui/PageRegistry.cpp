#include "Quillmere/ui/PageRegistry.h"

#include "Quillmere/ui/UiModule.h"
#include "platform/com/Registrar.h"
#include "platform/win/Errors.h"

namespace ui {

namespace {

// A replacement stands inside a quoted text of the script, where a quote is
// written twice.
std::wstring QuotedForScript(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        out += c;
        if (c == L'\'')
            out += L'\'';
    }
    return out;
}

}  // namespace

HRESULT UpdatePageRegistry(WORD scriptId, bool doRegister, const std::wstring& modulePath) {
    HMODULE module = UiResourceModule();
    if (!module)
        return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
    com::Registrar registrar;
    registrar.AddReplacement(L"MODULE", QuotedForScript(modulePath));
    registrar.AddReplacement(L"OLEMISC", std::to_wstring(kPageMiscStatus));
    return doRegister ? registrar.ResourceRegister(module, scriptId, kRegistryResourceType)
                      : registrar.ResourceUnregister(module, scriptId, kRegistryResourceType);
}

}  // namespace ui
