#include "Quillmere/core/FolderObj.h"

// Interim bodies until the Exchange state is built.
bool CFolderObj::IsElemInSync(const std::wstring&) {
    return false;
}
void CFolderObj::AddElemInSync(const std::wstring&) {}
void CFolderObj::RemoveElemInSync(const std::wstring&) {}
void CFolderObj::SaveElemsInSync() {}
void CFolderObj::SaveSid2SourceTable() {}
