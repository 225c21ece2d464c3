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
// that are skipped (and reported to the error log with the file's name).
//
// Durability: a queued change is the only record of that change once the
// state that found it (a change-key list, an Exchange state) counts it as
// handled. So every such state is saved only after PersistSendQueues made
// the queue files hold every record queued so far; a file is always written
// whole (StateFileWriter.h) and never deleted. While its sender runs, a
// queue file mirrors the queue: the records waiting and the one the sender
// is working on (a lease). A record the sender finished may stay in the
// file until the next write: after a crash it is sent again, which the
// partners take as the same change once more. While no sender runs (before
// the first start, after a stop) the file holds records that memory lacks:
// writes then add the records in memory to the file and hand them over to
// it, and the sender's next start reads them all back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>

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
    // The number of queued records (waits for the lock); a leased record
    // does not count.
    std::size_t Count();

    // The head taken for work by the queue's one consumer: it has left the
    // queue but is visited first by ForEach (so written to the queue file)
    // until the lease ends, when what was made of it is durable by itself.
    class Lease {
    public:
        Lease() = default;
        Lease(Lease&& other) noexcept : m_queue(std::exchange(other.m_queue, nullptr)) {}
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        ~Lease() {
            if (m_queue)
                m_queue->EndLease();
        }
        explicit operator bool() const { return m_queue != nullptr; }
        Record* operator->() const { return m_queue->m_leased.get(); }
        Record& operator*() const { return *m_queue->m_leased; }
        // Ends the lease with the record put back at the head of the queue:
        // its work could not be done now and is to be tried again.
        void ReturnToQueue() {
            if (m_queue)
                std::exchange(m_queue, nullptr)->EndLease(true);
        }

    private:
        friend class CSendQueue;
        explicit Lease(CSendQueue* queue) : m_queue(queue) {}
        CSendQueue* m_queue = nullptr;
    };
    // Leases the head (waits for the lock); an empty lease when the queue is
    // empty. One lease at a time.
    Lease TakeLease();
    // The same only when the lock is free at once; *busy (optional) tells
    // an empty queue from a busy lock.
    Lease TryTakeLease(bool* busy);
    // Counts every change of the queue (a record appended, taken or dropped,
    // a lease taken or ended): a queue file written at one count mirrors the
    // queue while the count stays.
    std::uint64_t Generation();
    // Destroys the first count records (those a write handed over to the
    // queue file).
    void DropFront(std::size_t count);
    // Destroys every queued record.
    void Clear();

    // Visits the records under the lock, a leased one first, then from the
    // head: visit(const Record&) returns false to stop. With destroy, every
    // queued record is destroyed afterwards (also those not visited) and the
    // queue is empty; a leased record stays its lease's. *leasedVisited
    // (optional) tells whether the first record visited was the leased one,
    // *generation (optional) the Generation the visit saw.
    template <class Visit>
    void ForEach(Visit visit, bool destroy, bool* leasedVisited = nullptr,
                 std::uint64_t* generation = nullptr);

private:
    void EndLease(bool requeue = false);
    // Moves the first record into the lease slot; false when there is none
    // or one is leased already. The caller holds m_lock.
    bool LeaseFirstLocked();

    CRITICAL_SECTION& m_lock;
    std::deque<std::unique_ptr<Record>> m_records;
    std::unique_ptr<Record> m_leased;
    std::uint64_t m_generation = 0;
};

using CMailSenderList = CSendQueue<CMail2Send>;
using CDelMailSenderList = CSendQueue<CDelMail2Send>;

extern CMailSenderList MailSenderList;        // guarded by SendQueueLock
extern CDelMailSenderList DelMailSenderList;  // guarded by DeleteQueueLock

// dataDirectory (with its trailing backslash) + profileName + suffix.
std::wstring QueueFilePath(const std::wstring& dataDirectory, const std::wstring& profileName,
                           const wchar_t* suffix);

// Where the two queue files are (QueueFilePath of the data directory and the
// profile name), for PersistSendQueues; set by the configuration loading and
// by each sender when it starts. An empty path: that queue has no file.
void SetQueueFilePaths(const std::wstring& mailQueuePath, const std::wstring& deletionQueuePath);

// Writes both queue files so that they hold every record queued so far (see
// Durability above); a queue whose file is not known, or that holds nothing
// new, is left alone. utils: the calling thread's utilities, for a record
// without its sync id text (null: such a record ends the file, as a record
// whose fields can't be read). Any thread; the caller holds no queue lock
// and no ChangeListLock.
void PersistSendQueues(QMRMAPIUtils* utils);
// Forgets the queue files' paths and takes them as holding records memory
// lacks, as at the start of the process. Tests only.
void ResetQueueFilesForTesting();

// Writes MailSenderList to path whole, one line per record from the head
// (the leased record first); sync ids are written as the record's text, else
// through utils->BinaryToText (a sync id queued as text is written as it
// is). Stops at the first record whose fields can't be read (the records
// before it are in the file). While the file holds records memory lacks (see
// Durability), they stay in it, ahead of memory's. With final, every record
// is destroyed and the list is empty afterwards (the file holds them). A null
// utils ("SaveMailData2Disk:thread_mutils=NULL") or a file that can't be
// written ("SaveMailSendData") is reported to the error log and changes
// nothing (the list and the old file stay). The sender thread's own thread.
void SaveMailData2Disk(CSyncEngine* engine, QMRMAPIUtils* utils, const wchar_t* path, bool final);

// Reads the sync-mail queue file at path, if there is one, and appends its
// records (form flag 0) to MailSenderList; the file stays as the queue's
// mirror (a file that mirrors the queue already is not read again); debug lines "MailSendData from
// HD" and "LoadBGSyncData=>ready" around it (also when there is no file). Lines without a store or
// folder entry id, lines whose sync id text is no hex and lines longer than any record are skipped,
// and reported once ("damaged queue file" with the file's name). A null utils reads nothing.
// Returns the number of records appended.
std::size_t LoadMailDataFromDisk(CSyncEngine* engine, QMRMAPIUtils* utils, const wchar_t* path);

// Writes DelMailSenderList to path whole, as SaveMailData2Disk does. A file
// that can't be written is noted in the debug log ("SaveDelMailSendData::no
// file") and leaves the list unchanged. With final, the list is emptied as
// above.
void SaveDelMailData2Disk(CSyncEngine* engine, const wchar_t* path, bool final);

// Reads the deletion queue file at path, if there is one, and appends its
// records to DelMailSenderList; the file stays; debug lines "DelMailSendData
// from HD" and "LoadDelMailSendData=>ready" around it. Lines without a sync
// id text are skipped (and reported as above). Returns the number of records
// appended.
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
        ++m_generation;
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
        ++m_generation;
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
        ++m_generation;
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
    ++m_generation;
    LeaveCriticalSection(&m_lock);
}

template <class Record>
typename CSendQueue<Record>::Lease CSendQueue<Record>::TakeLease() {
    EnterCriticalSection(&m_lock);
    bool taken = LeaseFirstLocked();
    LeaveCriticalSection(&m_lock);
    return taken ? Lease(this) : Lease();
}

template <class Record>
bool CSendQueue<Record>::LeaseFirstLocked() {
    if (m_records.empty() || m_leased)
        return false;
    m_leased = std::move(m_records.front());
    m_records.pop_front();
    ++m_generation;
    return true;
}

template <class Record>
typename CSendQueue<Record>::Lease CSendQueue<Record>::TryTakeLease(bool* busy) {
    if (busy)
        *busy = false;
    if (!TryEnterCriticalSection(&m_lock)) {
        if (busy)
            *busy = true;
        return Lease();
    }
    bool taken = LeaseFirstLocked();
    LeaveCriticalSection(&m_lock);
    return taken ? Lease(this) : Lease();
}

template <class Record>
void CSendQueue<Record>::EndLease(bool requeue) {
    std::unique_ptr<Record> done;
    EnterCriticalSection(&m_lock);
    done.swap(m_leased);
    if (requeue) {
        try {
            m_records.push_front(std::move(done));
        } catch (const std::bad_alloc&) {
            // Left to be destroyed: memory is gone, the queue file keeps it.
        }
    }
    ++m_generation;
    LeaveCriticalSection(&m_lock);
}

template <class Record>
std::uint64_t CSendQueue<Record>::Generation() {
    EnterCriticalSection(&m_lock);
    std::uint64_t generation = m_generation;
    LeaveCriticalSection(&m_lock);
    return generation;
}

template <class Record>
void CSendQueue<Record>::DropFront(std::size_t count) {
    std::deque<std::unique_ptr<Record>> gone;
    EnterCriticalSection(&m_lock);
    while (count-- > 0 && !m_records.empty()) {
        gone.push_back(std::move(m_records.front()));
        m_records.pop_front();
    }
    ++m_generation;
    LeaveCriticalSection(&m_lock);
}

template <class Record>
template <class Visit>
void CSendQueue<Record>::ForEach(Visit visit, bool destroy, bool* leasedVisited,
                                 std::uint64_t* generation) {
    std::deque<std::unique_ptr<Record>> gone;
    EnterCriticalSection(&m_lock);
    if (leasedVisited)
        *leasedVisited = m_leased != nullptr;
    bool go = !m_leased || visit(static_cast<const Record&>(*m_leased));
    for (const auto& record : m_records) {
        if (!go)
            break;
        go = visit(static_cast<const Record&>(*record));
    }
    if (destroy) {
        gone.swap(m_records);
        ++m_generation;
    }
    if (generation)
        *generation = m_generation;
    LeaveCriticalSection(&m_lock);
}
