// A small module for the loader tests: it answers a constant and reports
// how it sees itself through the module calls.
#include "platform/win/Module.h"

extern "C" {

__attribute__((visibility("default"))) int QmTestModuleAnswer() {
    return 42;
}

// The module's own handle, found from an address inside it.
__attribute__((visibility("default"))) HMODULE QmTestModuleSelf() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<const WCHAR*>(&QmTestModuleAnswer), &self)) {
        return nullptr;
    }
    return self;
}

}  // extern "C"
