#include "platform/store/Faults.h"

#include <map>
#include <utility>

#include "platform/win/CriticalSection.h"
#include "platform/win/Errors.h"

namespace store {
namespace {

struct FaultTable {
    CriticalSection lock;
    std::map<FaultSite, HRESULT> process GUARDED_BY(lock);
    std::map<std::pair<FaultSite, GUID>, HRESULT> perStore GUARDED_BY(lock);
};

FaultTable& Table() {
    static FaultTable* table = new FaultTable();
    return *table;
}

}  // namespace

void SetFault(FaultSite site, HRESULT hr, const GUID* store) {
    FaultTable& t = Table();
    CriticalSectionLock guard(t.lock);
    if (store == nullptr) {
        if (SUCCEEDED(hr)) {
            t.process.erase(site);
        } else {
            t.process[site] = hr;
        }
        return;
    }
    if (SUCCEEDED(hr)) {
        t.perStore.erase({site, *store});
    } else {
        t.perStore[{site, *store}] = hr;
    }
}

void ClearFaults() {
    FaultTable& t = Table();
    CriticalSectionLock guard(t.lock);
    t.process.clear();
    t.perStore.clear();
}

HRESULT CurrentFault(FaultSite site, const GUID& store) {
    FaultTable& t = Table();
    CriticalSectionLock guard(t.lock);
    if (auto it = t.perStore.find({site, store}); it != t.perStore.end()) {
        return it->second;
    }
    if (auto it = t.process.find(site); it != t.process.end()) {
        return it->second;
    }
    return S_OK;
}

}  // namespace store
