#include "Quillmere/exchange/PacketMails.h"

// Interim bodies until the packet mails are built: nothing is parked.
void saveMailInSpecialOutbox(CSyncEngine*, QMRMessage*, const std::wstring&) {}
void sendPackedBasicSyncMSG(CSyncEngine*, QMRRDOSession*) {}
void ProcessBasicSyncItems(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*) {}
void ThrottledPackingNotification(CSyncEngine*, const std::wstring&, const std::wstring&, LONG) {}
