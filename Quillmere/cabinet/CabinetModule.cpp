#include "Quillmere/cabinet/CabinetModule.h"

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/win/Threads.h"

namespace Cabinet {

namespace {

std::atomic<DWORD> g_tlsIndex{TLS_OUT_OF_INDEXES};
std::atomic<DWORD> g_compressInstances{0};

// The module's load-time initialisation.
const BOOL g_initialised = InitCabinetTlsIndex();

}  // namespace

BOOL InitCabinetTlsIndex() {
    g_compressInstances.store(0);
    if (g_tlsIndex.load() != TLS_OUT_OF_INDEXES) {
        return TRUE;
    }
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        return FALSE;
    }
    DWORD expected = TLS_OUT_OF_INDEXES;
    if (!g_tlsIndex.compare_exchange_strong(expected, index)) {
        TlsFree(index);  // another thread won the race
    }
    return TRUE;
}

DWORD CabinetTlsIndex() {
    (void)g_initialised;
    return g_tlsIndex.load();
}

DWORD NextCompressInstance() {
    return g_compressInstances.fetch_add(1) + 1;
}

HMODULE CabinetLibrary(const wchar_t* name) {
    // Never freed: the references live as long as the process.
    static std::mutex mutex;
    static std::vector<std::pair<std::wstring, HMODULE>> loaded;
    std::lock_guard<std::mutex> lock(mutex);
    for (const auto& [loadedName, module] : loaded) {
        if (loadedName == name) {
            return module;
        }
    }
    HMODULE module = LoadLibraryW(name);
    if (module != nullptr) {
        loaded.emplace_back(name, module);
    }
    return module;
}

}  // namespace Cabinet
