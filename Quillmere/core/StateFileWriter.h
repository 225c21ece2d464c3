// Writing a state file of the add-in whole (the change-key lists, the
// Exchange state, the queue files): a crash at any moment leaves either the
// old file or the new one, never a torn one and never none.
//
// The content goes to "<path>.new", which is flushed, written through to the
// disk and closed; only then is it renamed over the file. Order matters: the
// rename is the moment the new content counts, and until then the old file
// is the record. A "<path>.new" left by a crash is an unfinished write and
// is overwritten by the next one (the change-key pair reads it back, see
// ChangeKeyStateFiles.h).
//
// Threads: any; an object is used by one thread.
#pragma once

#include <string>

#include "platform/win/Types.h"

class CrtFile;

class CStateFileWriter {
public:
    // Opens "<path>.new" (truncated) with mode: L"w" for text, L"wb" for
    // binary. Stream() is null when it could not be opened.
    CStateFileWriter(std::wstring path, const wchar_t* mode);
    // A new file that was not committed is deleted; the old file stays.
    ~CStateFileWriter();
    CStateFileWriter(const CStateFileWriter&) = delete;
    CStateFileWriter& operator=(const CStateFileWriter&) = delete;

    CrtFile* Stream() const { return m_stream; }
    // Flushes the new file to the disk and closes it. False when it was not
    // open or a write failed.
    bool Finish();
    // Finish, then the rename over the file. False (the old file kept, the
    // new one deleted) on any failure.
    bool Commit();

    // Keeps the finished new file on disk without renaming it (for a pair of
    // files whose reader completes the rename; see ChangeKeyStateFiles.h).
    void KeepNewFile() { m_committed = true; }

    static std::wstring NewPath(const std::wstring& path) { return path + L".new"; }

private:
    std::wstring m_path;
    CrtFile* m_stream = nullptr;
    bool m_finished = false;
    bool m_written = false;  // Finish succeeded
    bool m_committed = false;
};
