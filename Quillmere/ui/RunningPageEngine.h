// The pages' default access to the running add-in: the engine of g_pEngine,
// looked up at every call, so that a page outlives no engine it saw. For the
// pages' own source files only. UI thread only.
#pragma once

#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/rdo/QuillmereRDO.h"

namespace ui {

// Engine: a page's engine interface (derived from IPageEngine); the class
// that derives from this one answers its further members.
template <class Engine>
class RunningPageEngine : public Engine {
public:
    bool Exists() override { return g_pEngine.load() != nullptr; }
    QMRRDOSession* Session() override {
        CSyncEngine* engine = g_pEngine.load();
        return engine ? engine->Session() : nullptr;
    }
    std::wstring ModuleDirectory() override {
        CSyncEngine* engine = g_pEngine.load();
        return engine ? engine->ModuleDirectory() : std::wstring();
    }
};

}  // namespace ui
