#include "Quillmere/core/FolderObj.h"

// Interim body until the Exchange change tracking is built: no scan runs.
unsigned ExchangeFolderThread(void*) {
    return 0;
}
