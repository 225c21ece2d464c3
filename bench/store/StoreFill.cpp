// Fills a folder of a store file with N plain items, in transactions of
// 5,000, for the scenario benchmarks (a host whose shared folder is large).
// The host that owns the store must not be running.
//
//   store_fill STORE_FILE FOLDER_NAME ITEMS [MESSAGE_CLASS]
//
// FOLDER_NAME is a direct subfolder of the store's top folder (e.g. Tasks).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "bench/store/FillFolder.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/win/Text.h"

using namespace store;
using namespace mapi;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: store_fill STORE_FILE FOLDER_NAME ITEMS [MESSAGE_CLASS]\n");
        return 2;
    }
    const int items = std::atoi(argv[3]);
    const std::wstring messageClass = win::FromUtf8(argc > 4 ? argv[4] : "IPM.Task");
    std::unique_ptr<Session> session;
    Folder top, folder;
    if (FAILED(Session::Open(argv[1], &session)) || FAILED(session->GetRootFolder(&top)) ||
        FAILED(top.FindSubfolder(win::FromUtf8(argv[2]), &folder))) {
        std::fprintf(stderr, "no folder %s in %s\n", argv[2], argv[1]);
        return 2;
    }
    HRESULT hr = bench::FillFolder(*session, folder, items, L"Stock item",
                                   L"Counted in the yearly inventory.", messageClass, nullptr);
    if (FAILED(hr)) {
        std::fprintf(stderr, "fill failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return 1;
    }
    return 0;
}
