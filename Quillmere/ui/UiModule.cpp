#include "Quillmere/ui/UiModule.h"

#include "Quillmere/resources/LoadString.h"

// The compiled dialog templates; referencing them keeps their object in the
// link and tells which module holds them.
extern "C" const unsigned char kQuillmereUiResources[];

namespace ui {

HMODULE UiResourceModule() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(kQuillmereUiResources), &module))
        return nullptr;
    return module;
}

std::wstring LoadUiString(UINT id, LCID language) {
    std::wstring text;
    if (!LoadString(AddinResourceModule(), id, language, text))
        text.clear();
    return text;
}

}  // namespace ui
