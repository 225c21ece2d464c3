#include "Quillmere/cabinet/CabinetModule.h"

#include <atomic>

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

}  // namespace Cabinet
