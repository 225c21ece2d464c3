// Provokable failures, for tests and the host's "server unreachable" or
// "offline" situations. A fault is set per process or per store and stays
// until cleared. Thread-safe.
#pragma once

#include "platform/store/StoreTypes.h"

namespace store {

enum class FaultSite : LONG {
    // Opening a session (the helper library's log-on): e.g. MAPI_E_TIMEOUT
    // (0x80040401, log-on time-out).
    Logon = 1,
    // Opening a store, folder or message from its entry id: e.g.
    // MAPI_E_FAILONEPROVIDER (0x8004011D, server unreachable).
    OpenObject = 2,
    // Synchronizer::GetDifferingItems: e.g. MAPI_E_NETWORK_ERROR (0x80040115).
    Synchronize = 3,
};

// Makes every call of site fail with hr (a failure code; S_OK clears), for
// all stores (store null) or for the store with that GUID only. A store's own
// setting wins over the process-wide one.
void SetFault(FaultSite site, HRESULT hr, const GUID* store = nullptr);
// Clears every fault of every site and store.
void ClearFaults();
// The failure site must report now for store, or S_OK.
HRESULT CurrentFault(FaultSite site, const GUID& store);

}  // namespace store
