#include "Quillmere/exchange/ExchangeThreadFrame.h"

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "platform/com/Com.h"
#include "platform/win/Threads.h"

void BeginExchangeThread(const char* name) {
    WriteDebugLogFormat("Thread %s: %d / %d started", name,
                        static_cast<int>(GetRunningThreadCount()),
                        static_cast<int>(GetCurrentThreadId()));
    CoInitialize(nullptr);
}

void EndExchangeThread(const char* name) {
    CoUninitialize();
    DecrementRunningThreadCount();
    WriteDebugLogFormat("Thread %s endet (%d)", name, static_cast<int>(GetRunningThreadCount()));
}
