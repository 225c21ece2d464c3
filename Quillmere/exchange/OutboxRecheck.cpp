#include "Quillmere/exchange/OutboxRecheck.h"

// Interim bodies until the re-check is built.
void RecheckOutbox(CSyncEngine*, QMRRDOSession*) {}
bool RestartThreads(CSyncEngine*) {
    return true;
}
void InitiateShutdown(CSyncEngine*) {}
