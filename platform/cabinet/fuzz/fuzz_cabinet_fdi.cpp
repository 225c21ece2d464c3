// Fuzz target: FDICopy over arbitrary bytes. Every open (the cabinet itself
// and any next cabinet of a set) sees the same bytes from memory; output is
// counted, not kept. The library must end every run with a result, inside
// its buffers, and quickly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/cabinet/fdi.h"

namespace {

const std::uint8_t* g_data = nullptr;
std::size_t g_size = 0;
std::map<INT_PTR, std::size_t> g_pos;  // open cabinet handles and their positions
INT_PTR g_nextHandle = 1;
std::size_t g_written = 0;
constexpr INT_PTR kOut = 0x10000000;

void* Alloc(ULONG cb) {
    return std::malloc(cb);
}
void Free(void* p) {
    std::free(p);
}

INT_PTR Open(char*, int, int) {
    if (g_pos.size() > 64) {
        return -1;
    }
    INT_PTR h = g_nextHandle++;
    g_pos[h] = 0;
    return h;
}

UINT Read(INT_PTR hf, void* pv, UINT cb) {
    auto it = g_pos.find(hf);
    if (it == g_pos.end()) {
        return static_cast<UINT>(-1);
    }
    std::size_t n = it->second < g_size ? std::min<std::size_t>(cb, g_size - it->second) : 0;
    std::memcpy(pv, g_data + it->second, n);
    it->second += n;
    return static_cast<UINT>(n);
}

UINT Write(INT_PTR hf, void* pv, UINT cb) {
    if (hf != kOut) {
        return static_cast<UINT>(-1);
    }
    volatile std::uint8_t sink = cb ? static_cast<std::uint8_t*>(pv)[cb - 1] : 0;
    (void)sink;
    g_written += cb;
    return cb;
}

int Close(INT_PTR hf) {
    if (hf == kOut) {
        return 0;
    }
    return g_pos.erase(hf) ? 0 : -1;
}

LONG Seek(INT_PTR hf, LONG dist, int type) {
    auto it = g_pos.find(hf);
    if (it == g_pos.end()) {
        return -1;
    }
    long long base = type == 0   ? 0
                     : type == 1 ? static_cast<long long>(it->second)
                                 : static_cast<long long>(g_size);
    long long to = base + dist;
    if (to < 0) {
        return -1;
    }
    it->second = static_cast<std::size_t>(to);
    return static_cast<LONG>(to);
}

INT_PTR Notify(FDINOTIFICATIONTYPE type, PFDINOTIFICATION n) {
    switch (type) {
        case fdintCOPY_FILE:
            return kOut;
        case fdintCLOSE_FILE_INFO:
            return TRUE;
        default:
            return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    g_data = data;
    g_size = size;
    g_pos.clear();
    g_written = 0;
    ERF erf{};
    HFDI h = FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpu80386, &erf);
    if (!h) {
        return 0;
    }
    char name[] = "fuzz.cab";
    char path[] = "";
    BOOL ok = FDICopy(h, name, path, 0, Notify, nullptr, nullptr);
    if (!ok && erf.erfOper == FDIERROR_NONE) {
        std::abort();  // a failure must say why
    }
    FDIDestroy(h);
    if (!g_pos.empty()) {
        std::abort();  // every cabinet handle the library opened is closed
    }
    return 0;
}
