// The configuration: the registry layout under "Software\Brindlecast\Quillmere"
// and its loading into the engine.
//
// LoadSettings reads the global settings of the Config key into the engine,
// builds the table of synchronised folders of the current profile from the
// Folders key (one CFolderObj per folder, started), and writes the summary
// "Quillmere_settings.txt". It runs on Outlook's thread: at the engine's
// start (reload false) and after the folder page applied changes (reload
// true, once the old folder entries were stopped and freed).
#pragma once

#include <string>

#include "platform/win/Types.h"

class CSyncEngine;

constexpr const wchar_t* kConfigKeyPath = L"Software\\Brindlecast\\Quillmere\\Config";
constexpr const wchar_t* kFoldersKeyPath = L"Software\\Brindlecast\\Quillmere\\Folders";

// Registry failures fall back to the layout's defaults; a folder whose
// Outlook folder can't be opened is reported ("Folder doesn't exist") and
// left out, its settings staying in the registry.
void LoadSettings(CSyncEngine* engine, bool reload);

// The UI language: the DWORD "LCID" of the machine-wide Config key when that
// key opens (even when it has no such value), else of the per-user one; a
// missing value, no key or 0xFFFFFFFF gives GetThreadLocale(). Any thread.
LCID GetConfiguredLCID();

// The basic synchronisation a reload runs for a folder whose BASICSYNC was
// set. Registered by the sync-mail exchange; until then none runs.
using BasicSyncProc = void (*)(CSyncEngine* engine, class CFolderObj* folder);
void SetBasicSyncProc(BasicSyncProc proc);

// Destroys every queued sync mail (under SendQueueLock). Registered by the
// sync-mail exchange, which owns the queue; until then nothing is queued.
using CancelSendQueueProc = void (*)();
void SetCancelSendQueueProc(CancelSendQueueProc proc);

// Told the profile name at the start of every configuration load, before any
// folder thread starts (the sync-mail exchange names its queue files by it).
// Registered by the sync-mail exchange. Outlook's thread.
using ProfileKnownProc = void (*)(CSyncEngine* engine, const std::wstring& profile);
void SetProfileKnownProc(ProfileKnownProc proc);
