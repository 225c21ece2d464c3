// The two process-wide send queues, MailSenderList (sync mails, guarded by
// SendQueueLock) and DelMailSenderList (deletion notices, guarded by
// DeleteQueueLock), and their queue files, which carry what is still queued
// across a stop of the sender threads.
//
// Threads: producers (folder threads, Outlook's thread during a basic
// synchronisation, the queue-file readers) append and the one sender of each
// queue takes; each call enters the queue's lock for itself only, so no call
// here holds both queue locks. A caller holding ChangeListLock may call in
// (that lock comes first). The locks are created by the add-in's start-up
// (InitializeAddinLocks) and must exist before any call.
//
// Queue files: narrow ANSI text written through the runtime's text-mode
// streams (each line ends in CR LF on disk). Sync-mail queue, one line per
// record: store entry id;folder entry id;sync id text;share name;password
// (the password in plain text). Deletion queue: sync id text;share name.
// A file whose share names or passwords the ANSI code page can't hold is
// written in UTF-8 behind a UTF-8 byte-order mark instead (the readers take
// both forms), so that no text comes back as '?' after a restart. The
// readers treat the files as outside input: any bytes give at most records
// that are skipped.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "platform/rdo/QuillmereRDO.h"

class CSyncEngine;

inline constexpr wchar_t kMailQueueFileSuffix[] = L".mailsenddata.ids";
inline constexpr wchar_t kDelMailQueueFileSuffix[] = L".delmailsenddata.ids";

// A first-in first-out queue of owned records under one of the add-in's
// locks (the lock outlives the queue's use; the queue itself is a global).
template <class Record>
class CSendQueue {
public:
    explicit CSendQueue(CRITICAL_SECTION& lock) : m_lock(lock) {}
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    // Appends at the end (waits for the lock). false when memory runs out;
    // the record is destroyed then. A null record is refused (false).
    bool Append(std::unique_ptr<Record> record);
    // Takes the head (waits for the lock); null when empty.
    std::unique_ptr<Record> Take();
    // Takes the head only when the lock is free at once: null when empty or
    // busy; *busy (optional) tells which.
    std::unique_ptr<Record> TryTake(bool* busy);
    // The number of queued records (waits for the lock).
    std::size_t Count();
    // Destroys every queued record.
    void Clear();

    // Visits the records from the head under the lock: visit(const Record&)
    // returns false to stop. With destroy, every record is destroyed
    // afterwards (also those not visited) and the queue is empty.
    template <class Visit>
    void ForEach(Visit visit, bool destroy);

private:
    CRITICAL_SECTION& m_lock;
    std::deque<std::unique_ptr<Record>> m_records;
};

using CMailSenderList = CSendQueue<CMail2Send>;
using CDelMailSenderList = CSendQueue<CDelMail2Send>;

extern CMailSenderList MailSenderList;        // guarded by SendQueueLock
extern CDelMailSenderList DelMailSenderList;  // guarded by DeleteQueueLock

// dataDirectory (with its trailing backslash) + profileName + suffix.
std::wstring QueueFilePath(const std::wstring& dataDirectory, const std::wstring& profileName,
                           const wchar_t* suffix);

// Writes MailSenderList to path (truncating), one line per record from the
// head; sync ids are written through utils->BinaryToText (a sync id queued
// as text is written as it is). Stops at the first record whose fields
// can't be read (the records before it are in the file). With final, every
// record is destroyed and the list is empty afterwards. A null utils
// ("SaveMailData2Disk:thread_mutils=NULL") or a file that can't be opened
// ("SaveMailSendData") is reported to the error log and writes nothing (the
// list is then left unchanged). The sender thread's own thread.
void SaveMailData2Disk(CSyncEngine* engine, QMRMAPIUtils* utils, const wchar_t* path, bool final);

// Reads the sync-mail queue file at path, if there is one, appends its
// records (form flag 0) to MailSenderList and deletes the file; debug lines
// "MailSendData from HD" and "LoadBGSyncData=>ready" around it (also when
// there is no file). Lines without a store or folder entry id, lines whose
// sync id text is no hex and lines longer than any record are skipped. A
// null utils reads nothing and keeps the file. Returns the number of records
// appended.
std::size_t LoadMailDataFromDisk(CSyncEngine* engine, QMRMAPIUtils* utils, const wchar_t* path);

// Writes DelMailSenderList to path (truncating). A file that can't be opened
// is noted in the debug log ("SaveDelMailSendData::no file") and leaves the
// list unchanged. With final, the list is emptied as above.
void SaveDelMailData2Disk(CSyncEngine* engine, const wchar_t* path, bool final);

// Reads the deletion queue file at path, if there is one, appends its
// records to DelMailSenderList and deletes the file; debug lines
// "DelMailSendData from HD" and "LoadDelMailSendData=>ready" around it. Lines
// without a sync id text are skipped. Returns the number of records appended.
std::size_t LoadDelMailDataFromDisk(CSyncEngine* engine, const wchar_t* path);

// --- template members -------------------------------------------------------

template <class Record>
bool CSendQueue<Record>::Append(std::unique_ptr<Record> record) {
    if (!record)
        return false;
    EnterCriticalSection(&m_lock);
    bool added = true;
    try {
        m_records.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        added = false;
    }
    LeaveCriticalSection(&m_lock);
    return added;
}

template <class Record>
std::unique_ptr<Record> CSendQueue<Record>::Take() {
    EnterCriticalSection(&m_lock);
    std::unique_ptr<Record> head;
    if (!m_records.empty()) {
        head = std::move(m_records.front());
        m_records.pop_front();
    }
    LeaveCriticalSection(&m_lock);
    return head;
}

template <class Record>
std::unique_ptr<Record> CSendQueue<Record>::TryTake(bool* busy) {
    if (busy)
        *busy = false;
    if (!TryEnterCriticalSection(&m_lock)) {
        if (busy)
            *busy = true;
        return nullptr;
    }
    std::unique_ptr<Record> head;
    if (!m_records.empty()) {
        head = std::move(m_records.front());
        m_records.pop_front();
    }
    LeaveCriticalSection(&m_lock);
    return head;
}

template <class Record>
std::size_t CSendQueue<Record>::Count() {
    EnterCriticalSection(&m_lock);
    std::size_t count = m_records.size();
    LeaveCriticalSection(&m_lock);
    return count;
}

template <class Record>
void CSendQueue<Record>::Clear() {
    std::deque<std::unique_ptr<Record>> gone;
    EnterCriticalSection(&m_lock);
    gone.swap(m_records);
    LeaveCriticalSection(&m_lock);
}

template <class Record>
template <class Visit>
void CSendQueue<Record>::ForEach(Visit visit, bool destroy) {
    std::deque<std::unique_ptr<Record>> gone;
    EnterCriticalSection(&m_lock);
    for (const auto& record : m_records)
        if (!visit(static_cast<const Record&>(*record)))
            break;
    if (destroy)
        gone.swap(m_records);
    LeaveCriticalSection(&m_lock);
}
