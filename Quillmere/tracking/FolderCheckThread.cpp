#include "Quillmere/core/FolderObj.h"

// Interim body until the folder thread is built: no check runs.
unsigned FolderCheckThread(void*) {
    return 0;
}

bool CFolderObj::IsItemOpenInInspector(QMRMAPIUtils*) {
    return false;
}
bool CFolderObj::GetLastFolderSyncTime(DATE*) {
    return false;
}
void CFolderObj::SaveLastFolderSyncTime(DATE) {}
