// The import of received sync mails over the real helper library, the object
// model stand-in and two profiles made in the test: Bert's store, where the
// changed items are made and packed as a partner's add-in packs them, and
// Ann's, whose add-in imports them from its folder "Quillmere".
#include "Quillmere/exchange/ProcessSyncItems.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OutlookNamespaceAccess.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/exchange/SyncTestSupport_test.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/Categories.h"
#include "Quillmere/tracking/ImportJournal.h"
#include "Quillmere/tracking/OwnChanges.h"
#include "platform/win/Text.h"

namespace {

using synctest::ImportTest;
using synctest::kNotesFolder;
using synctest::MailOptions;

TEST_F(ImportTest, ReceivedChangeOverwritesTheItemOfTheSameSyncId) {
    CComPtr<QMRMessage> local = AnnItem(L"Old subject");
    CComPtr<QMRMessage> sent = BertItem(L"New subject");
    CopySyncId(sent, local);
    const std::wstring localEntryId = EntryId(local);
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");

    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);

    ASSERT_EQ(TargetSubjects(), std::vector<std::wstring>{L"New subject"});
    CComPtr<QMRMessage> updated = TargetItem(1);
    EXPECT_EQ(EntryId(updated), localEntryId) << "the same item is overwritten";
    EXPECT_EQ(SyncIdText(updated), SyncIdText(sent));
    EXPECT_EQ(FolderCount(AddinFolder()), 0) << "a processed mail is deleted";
    EXPECT_TRUE(DebugLogHas("pSI::change one Item successfully"));
    EXPECT_NE(m_engine->GetSyncState(), kSyncStateImporting);
}

TEST_F(ImportTest, ReceivedNewItemIsCreatedWithTheSendersSyncId) {
    struct Case {
        bool importAsPrivate;
        LONG sensitivity;
    };
    for (const Case& c : {Case{false, 0}, Case{true, 2}}) {
        SCOPED_TRACE(c.importAsPrivate);
        ClearTarget();
        m_engine->m_importAsPrivate = c.importAsPrivate;
        CComPtr<QMRMessage> sent = BertItem(L"Brand new");
        PutSyncMail(AddinFolder(), sent, L"Team", L"pw");

        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);

        ASSERT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Brand new"});
        CComPtr<QMRMessage> created = TargetItem(1);
        EXPECT_EQ(SyncIdText(created), SyncIdText(sent)) << "the sync id travels with the item";
        CComVariant sensitivity;
        m_utils->HrGetOneProp(created, 0x00360003, &sensitivity);
        EXPECT_EQ(sensitivity.vt == VT_I4 ? sensitivity.lVal : 0, c.sensitivity);
        EXPECT_EQ(FolderCount(AddinFolder()), 0);
        EXPECT_TRUE(DebugLogHas("pSI::NEUer Eintrag, eines noch nicht existierenden Items"));
    }
}

TEST_F(ImportTest, OverwrittenItemKeepsTheSensitivityOfTheFile) {
    m_engine->m_importAsPrivate = true;
    CComPtr<QMRMessage> local = AnnItem(L"Mine");
    CComPtr<QMRMessage> sent = BertItem(L"Theirs");
    CopySyncId(sent, local);
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Theirs"});
    CComVariant sensitivity;
    m_utils->HrGetOneProp(TargetItem(1), 0x00360003, &sensitivity);
    EXPECT_NE(sensitivity.vt == VT_I4 ? sensitivity.lVal : 0, 2);
}

TEST_F(ImportTest, DeletionNoticeDeletesTheItemAndIsDeletedItself) {
    CComPtr<QMRMessage> keep = AnnItem(L"Keep");
    CComPtr<QMRMessage> gone = AnnItem(L"Gone");
    PutDeletionNotice(AddinFolder(), SyncIdText(gone), L"Team");
    // A notice naming an item that is not there is processed all the same.
    PutDeletionNotice(AddinFolder(), L"00112233445566778899AABBCCDDEEFF", L"Team");

    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);

    EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Keep"});
    EXPECT_EQ(FolderCount(AddinFolder()), 0);
    EXPECT_TRUE(DebugLogHas("pSI::Item2Del"));
}

TEST_F(ImportTest, FailedMailIsAnnotatedExactlyOnce) {
    struct Case {
        const char* what;
        const wchar_t* share;
        const wchar_t* password;  // of the sender's cabinet
        const wchar_t* attachmentName;
        bool damage;
        const wchar_t* errorName;
        UINT helpString;  // 0: no help text
        const wchar_t* storedName = L"sync.msg";
        const char* itemBytes = nullptr;
        const wchar_t* bodySyncId = nullptr;
    };
    const Case cases[] = {
        {"wrong password", L"Team", L"other", L"sync.zuf", false, L"PASSWORD", 1283},
        {"damaged cabinet", L"Team", L"pw", L"sync.zuf", true, L"PASSWORD", 1283},
        {"unknown share", L"Nobody", L"pw", L"sync.zuf", false, L"NO TARGET", 1280},
        {"zipped", L"Team", L"pw", L"sync.zip", false, L"ATTACHEMENT ZIPPED", 1284},
        {"renamed", L"Team", L"pw", L"Sync.zuf", false, L"FILENAME CHANGED", 0},
        {"no attachment", L"Team", L"pw", nullptr, false, L"NO ATTACHEMENT", 0},
        {"old version", L"Team", L"pw", L"sync.huf", false, L"WRONG VERSION", 0},
        {"cabinet without the item", L"Team", L"pw", L"sync.zuf", false, L"UNKNOWN", 0,
         L"other.msg"},
        {"item file no message", L"Team", L"pw", L"sync.zuf", false, L"UNKNOWN", 0, L"sync.msg",
         "not a compound file"},
        {"sync id no hex text", L"Team", L"pw", L"sync.zuf", false, L"UNKNOWN", 0, L"sync.msg",
         nullptr, L"00AB-no-hex"},
        {"empty sync id", L"Team", L"pw", L"sync.zuf", false, L"UNKNOWN", 0, L"sync.msg", nullptr,
         L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearFolder(AddinFolder());
        CComPtr<QMRMessage> local = AnnItem(L"Untouched");
        CComPtr<QMRMessage> sent = BertItem(L"Changed");
        CopySyncId(sent, local);
        MailOptions options;
        options.attachmentName = c.attachmentName;
        options.damageCabinet = c.damage;
        options.storedName = c.storedName;
        options.itemFileBytes = c.itemBytes;
        options.bodySyncId = c.bodySyncId;
        PutSyncMail(AddinFolder(), sent, c.share, c.password, options);

        for (bool includeFailed : {false, true, true}) {
            ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, includeFailed);
            ASSERT_EQ(FolderCount(AddinFolder()), 1) << "a failed mail stays";
            CComPtr<QMRMessage> mail = FolderItem(AddinFolder(), 1);
            EXPECT_EQ(Subject(mail), std::wstring(L">-Quillmere-< ERROR:") + c.errorName);
            std::wstring html = Html(mail);
            const std::wstring intro = UiText(1281);
            if (c.helpString) {
                std::wstring help = UiText(c.helpString);
                if (c.helpString == 1280)
                    help.replace(help.find(L"%s"), 2, c.share);
                EXPECT_EQ(html.find(intro), 0u) << win::ToUtf8(html);
                EXPECT_NE(html.find(help), std::wstring::npos) << win::ToUtf8(html);
                EXPECT_EQ(html.find(intro, 1), std::wstring::npos) << "annotated once";
            } else {
                EXPECT_EQ(html.find(intro), std::wstring::npos);
            }
            EXPECT_NE(html.find(L"is:TRUE:is"), std::wstring::npos) << "the old body follows";
        }
        EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Untouched"});
        ClearTarget();
    }
    EXPECT_TRUE(ErrorLogHas("Extrract failed"));
    EXPECT_TRUE(ErrorLogHas("Attachment is coming from old version, please update your partner"));
    EXPECT_TRUE(ErrorLogHas("Can't import MSG"));
    // Each report is one line, in the logs' ANSI code page.
    EXPECT_TRUE(
        ErrorLogHas("ERROR: Attachment was changed or is not included (Packprogramm "
                    "f\xFCr Anh\xE4nge aktiv ?)!!: 0x0"));
    EXPECT_TRUE(
        ErrorLogHas("ERROR: Attachment was changed or is not included (Antivirus Software"));
    EXPECT_TRUE(ErrorLogHas("ERROR: Can't import MSG"));
    EXPECT_FALSE(ErrorLogHas("ERROR: \n"));
    EXPECT_TRUE(ErrorLogHas("ERROR: pSI::Str2Arr"));
}

// Mails that name themselves sync mails or deletion notices but whose markers
// are cut short get their error mark once, like any failed mail: the regular
// passes leave them from then on. A mail without the markers is not the
// add-in's and stays as it is.
TEST_F(ImportTest, MailWithMarkersCutShortIsMarkedFailedOnce) {
    struct Case {
        const char* what;
        const wchar_t* markers;
        const wchar_t* subject;  // after the passes
    };
    const Case cases[] = {
        {"sync id cut", L"is:TRUE:is\nlf:Team:lf\r\nid:00AB12", L">-Quillmere-< ERROR:UNKNOWN"},
        {"no share-name markers", L"is:TRUE:is\nid:00AB12:id\r\n",
         L">-Quillmere-< ERROR:NO SHARENAME"},
        {"notice cut", L"is:FALSE:is\nlf:Te", L">-Quillmere-< ERROR:UNKNOWN"},
        {"not the add-in's", L"no markers here", L">-Quillmere-< 1.1.2027"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearFolder(AddinFolder());
        CComPtr<QMRMessage> mail =
            NewItem(AddinFolder(), syncmail::kMessageClass, L">-Quillmere-< 1.1.2027");
        ASSERT_EQ(mail->PutBody(CComBSTR((UiText(1220) + c.markers).c_str())), S_OK);
        ASSERT_EQ(mail->SetMailTime(LocalNow()), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);

        auto reports = [&] { return ErrorLogCount("no Body, no SyncId"); };
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        const std::size_t after = reports();
        for (int pass = 0; pass < 3; ++pass)
            ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        EXPECT_EQ(reports(), after) << "the regular passes report it no more";
        ASSERT_EQ(FolderCount(AddinFolder()), 1);
        EXPECT_EQ(Subject(FolderItem(AddinFolder(), 1)), c.subject);
    }
    EXPECT_TRUE(ErrorLogHas("haveMyMailUserProperty0>no Body, no SyncId"));
    EXPECT_TRUE(TargetSubjects().empty());
}

TEST_F(ImportTest, ReceivedCabinetStaysInsideTheExtractionDirectory) {
    // The sender threads build their own cabinet in the data directory at
    // the same time: the import must never touch it.
    const std::string senders = "the sender's cabinet being built";
    std::ofstream(*win::HostPath(m_engine->CabinetPath()), std::ios::binary) << senders;
    const std::wstring extraction = m_engine->DataDirectory() + L"EXT\\";

    struct Case {
        const wchar_t* subject;
        const wchar_t* extra;  // packed beside "sync.msg"
        bool imported;
    };
    const Case cases[] = {
        {L"With a climber", L"..\\..\\escaped.msg", false},
        {L"With an absolute name", L"C:\\escaped2.msg", false},
        {L"With a neighbour", L"extra.msg", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.subject));
        ClearTarget();
        ClearFolder(AddinFolder());
        MailOptions options;
        options.extraStoredName = c.extra;
        PutSyncMail(AddinFolder(), BertItem(c.subject), L"Team", L"pw", options);
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        if (c.imported) {
            EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{c.subject});
            EXPECT_EQ(FolderCount(AddinFolder()), 0);
        } else {
            // A cabinet that would write outside fails as a whole, cleanly.
            EXPECT_TRUE(TargetSubjects().empty());
            ASSERT_EQ(FolderCount(AddinFolder()), 1);
            EXPECT_EQ(Subject(FolderItem(AddinFolder(), 1)), L">-Quillmere-< ERROR:PASSWORD");
        }
        EXPECT_TRUE(HostFileExists(extraction));
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(*win::HostPath(extraction)))
            left.push_back(entry.path().filename().string());
        EXPECT_EQ(left, std::vector<std::string>{});
        EXPECT_FALSE(HostFileExists(m_engine->DataDirectory() + L"sync-in.zuf"));
        EXPECT_EQ(Read(L"sync.zuf"), senders);
    }
    // Nothing of the cabinets landed anywhere else.
    const std::string root = *win::HostPath(L"C:\\");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        EXPECT_EQ(entry.path().filename().string().find("escaped"), std::string::npos)
            << entry.path();
}

TEST_F(ImportTest, DeletionNoticeLeavesAMeetingAndIsProcessed) {
    struct Case {
        const wchar_t* messageClass;
        LONG stateFlags;  // -1: not written
        bool meeting;
    };
    const Case cases[] = {
        {L"IPM.Appointment", 3, true},
        {L"IPM.Schedule.Meeting.Request", -1, true},
        {L"IPM.Schedule.Meeting.Resp.Tent", -1, true},
        {L"IPM.Schedule.Meeting.Canceled", 7, true},
        {L"IPM.Appointment", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.messageClass));
        ClearTarget();
        const std::size_t before = DebugLog().size();
        auto logged = [&](const char* line) {
            return DebugLog().find(line, before) != std::string::npos;
        };
        CComPtr<QMRMessage> meeting = NewItem(TargetFolder(), c.messageClass, L"Meeting");
        if (c.stateFlags >= 0) {
            ASSERT_EQ(meeting->SetFields(CComVariant(L"http://schemas.microsoft.com/mapi/id/"
                                                     L"{00062002-0000-0000-C000-000000000046}/"
                                                     L"0x82170003"),
                                         CComVariant(c.stateFlags)),
                      S_OK);
        }
        ASSERT_EQ(meeting->Save(), S_OK);
        PutDeletionNotice(AddinFolder(), SyncIdText(meeting), L"Team");

        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);

        EXPECT_EQ(TargetSubjects(),
                  c.meeting ? std::vector<std::wstring>{L"Meeting"} : std::vector<std::wstring>{});
        EXPECT_EQ(FolderCount(AddinFolder()), 0) << "the notice counts as processed";
        EXPECT_EQ(logged("pSI::Don't Delete Meetings!"), c.meeting);
        EXPECT_EQ(logged("pSI::Item2Del"), !c.meeting);
    }
}

// A mail whose body names the item by another id than the search key of the
// item file it carries: the body's id names the item, so a second mail
// overwrites the note the first one made, and a deletion notice by that id
// removes it.
TEST_F(ImportTest, BodyIdAloneNamesTheImportedItem) {
    AddShare(L"Notes", L"pw", kNotesFolder);
    CComPtr<QMRMAPIFolder> notes = DefaultFolder(m_engine->Session(), kNotesFolder);
    CComPtr<QMRMessage> note =
        NewItem(DefaultFolder(m_bert, kNotesFolder), L"IPM.StickyNote", L"Call Dora");
    const std::wstring bodyId = L"00112233445566778899AABBCCDDEEFF";
    ASSERT_NE(SyncIdText(note), bodyId);
    MailOptions options;
    options.bodySyncId = bodyId.c_str();

    PutSyncMail(AddinFolder(), note, L"Notes", L"pw", options);
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(FolderCount(AddinFolder()), 0) << ErrorLog();
    ASSERT_EQ(FolderCount(notes), 1);
    EXPECT_EQ(SyncIdText(FolderItem(notes, 1)), bodyId);

    ASSERT_EQ(note->PutSubject(CComBSTR(L"Call Dora at six")), S_OK);
    ASSERT_EQ(note->Save(), S_OK);
    PutSyncMail(AddinFolder(), note, L"Notes", L"pw", options);
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(FolderCount(notes), 1) << "the note is held once";
    EXPECT_EQ(Subject(FolderItem(notes, 1)), L"Call Dora at six");
    EXPECT_EQ(SyncIdText(FolderItem(notes, 1)), bodyId);
    EXPECT_TRUE(TargetSubjects().empty()) << "nothing landed in the other share";

    PutDeletionNotice(AddinFolder(), bodyId, L"Notes");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    EXPECT_EQ(FolderCount(notes), 0);
    EXPECT_EQ(FolderCount(AddinFolder()), 0);
}

TEST_F(ImportTest, ReceivedTextInTheErrorAnnotationIsShownNotInterpreted) {
    const std::wstring share = L"T&<i>\"x";
    const std::wstring escaped = L"T&amp;&lt;i&gt;&quot;x";
    const std::wstring help = FailedMailHelpText(kImportNoTarget, share);
    EXPECT_NE(help.find(L"?target=" + escaped + L"\">Quillmere Wizard<a><br>"), std::wstring::npos)
        << win::ToUtf8(help);
    EXPECT_EQ(help.find(L"<i>"), std::wstring::npos);

    PutSyncMail(AddinFolder(), BertItem(L"Unknown share"), share, L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(FolderCount(AddinFolder()), 1);
    CComPtr<QMRMessage> mail = FolderItem(AddinFolder(), 1);
    EXPECT_EQ(Subject(mail), L">-Quillmere-< ERROR:NO TARGET");
    const std::wstring html = Html(mail);
    EXPECT_EQ(html.find(L"<i>"), std::wstring::npos) << win::ToUtf8(html);
    EXPECT_NE(html.find(L"lf:" + escaped + L":lf\r\n<br>id:"), std::wstring::npos)
        << "the old body follows, escaped, its line ends marked";
    EXPECT_EQ(HtmlEscape(L"a<b>&\"c\"'"), L"a&lt;b&gt;&amp;&quot;c&quot;'");
}

TEST_F(ImportTest, NoTargetHelpTextLinksTheWizardForTheShare) {
    std::wstring help = FailedMailHelpText(kImportNoTarget, L"Team");
    EXPECT_NE(help.find(L"<br><a href=\"" + std::wstring(kSharingWizardAddress) +
                        L"Team\">Quillmere Wizard<a><br>"),
              std::wstring::npos)
        << win::ToUtf8(help);
    EXPECT_NE(help.find(L"sharename Team"), std::wstring::npos);
    EXPECT_EQ(help.substr(help.size() - 8), L"\r\n\r\n\r\n\r\n");
    for (int reason : {0, kImportNoShareName, kImportNoAttachment, kImportFileNameChanged, 11})
        EXPECT_TRUE(FailedMailHelpText(reason, L"Team").empty()) << reason;
}

TEST_F(ImportTest, FailedMailOlderThanThreeDaysIsDeletedByTheRetry) {
    CComPtr<QMRMessage> sent = BertItem(L"Late");
    PutSyncMail(AddinFolder(), sent, L"Nobody", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(FolderCount(AddinFolder()), 1);
    CComPtr<QMRMessage> mail = FolderItem(AddinFolder(), 1);
    ASSERT_EQ(Subject(mail), L">-Quillmere-< ERROR:NO TARGET");

    // Two days on it is still kept; past three days the next retry deletes it.
    for (double age : {2.0, 4.0}) {
        ASSERT_EQ(mail->SetMailTime(LocalNow() - age), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        EXPECT_EQ(FolderCount(AddinFolder()), 1) << "the regular pass skips marked mails";
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, true);
        EXPECT_EQ(FolderCount(AddinFolder()), age < 3.0 ? 1 : 0) << age;
    }

    // A mail that fails for the first time when it is old already goes at once.
    MailOptions options;
    options.ageDays = 4.0;
    PutSyncMail(AddinFolder(), sent, L"Nobody", L"pw", options);
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    EXPECT_EQ(FolderCount(AddinFolder()), 0);
}

TEST_F(ImportTest, FailedMailsWaitForTheRetryPass) {
    CComPtr<QMRMessage> sent = BertItem(L"Retry me");
    PutSyncMail(AddinFolder(), sent, L"Later", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(Subject(FolderItem(AddinFolder(), 1)), L">-Quillmere-< ERROR:NO TARGET");

    // The share appears; the regular pass leaves the marked mail alone, the
    // retry imports it.
    AddShare(L"Later", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    EXPECT_EQ(FolderCount(AddinFolder()), 1);
    EXPECT_TRUE(TargetSubjects().empty());
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, true);
    EXPECT_EQ(FolderCount(AddinFolder()), 0);
    EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Retry me"});
}

TEST_F(ImportTest, PassGivesUpWhileAFolderCheckHoldsTheLockAndStopIsAsked) {
    CComPtr<QMRMessage> sent = BertItem(L"Waiting");
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
    EnterCriticalSection(&FolderCheckLock);
    StopFlag = true;
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    StopFlag = false;
    LeaveCriticalSection(&FolderCheckLock);
    EXPECT_EQ(FolderCount(AddinFolder()), 1);
    EXPECT_TRUE(TargetSubjects().empty());
    EXPECT_NE(m_engine->GetSyncState(), kSyncStateImporting);
}

// A folder check on another thread holds FolderCheckLock: the import polls
// and touches nothing until the check has ended.
TEST_F(ImportTest, ImportWaitsWhileAFolderCheckOnAnotherThreadHoldsTheLock) {
    CComPtr<QMRMessage> sent = BertItem(L"Waiting");
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
    std::atomic<bool> held{false}, imported{false}, sawWaiting{false}, importingWhileHeld{false};
    std::thread check([&]() NO_THREAD_SAFETY_ANALYSIS {
        EnterCriticalSection(&FolderCheckLock);
        held = true;
        while (!imported && !sawWaiting) {
            sawWaiting = DebugLogHas("waiting for entering Inbox folder since 1 Min.!!! ");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        importingWhileHeld = m_engine->GetSyncState() == kSyncStateImporting;
        LeaveCriticalSection(&FolderCheckLock);
    });
    while (!held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    imported = true;
    check.join();
    EXPECT_TRUE(sawWaiting) << "the import went on while the check held the lock";
    EXPECT_FALSE(importingWhileHeld);
    EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Waiting"});
    EXPECT_EQ(FolderCount(AddinFolder()), 0);
}

// A partner's deletion takes the key off the folder's change list, so that
// the folder's own deletion scan does not send a notice back.
TEST_F(ImportTest, ReceivedDeletionTakesTheKeyOffTheChangeListSoNoNoticeGoesBack)
NO_THREAD_SAFETY_ANALYSIS {
    CComPtr<QMRMessage> gone = AnnItem(L"Gone");
    const std::wstring id = SyncIdText(gone);
    CFolderObj* team = m_engine->GetFolderEntry(0, false);
    ASSERT_NE(team, nullptr);
    auto listed = [&] {
        for (const ChangeKeyEntry& entry : team->Sink()->ChangeKeylistEntries())
            if (entry.key == id)
                return true;
        return false;
    };
    // Held as a folder check holds it (re-entrant for the import on this
    // thread): the folder's own thread can't reload its list meanwhile.
    EnterCriticalSection(&FolderCheckLock);
    ASSERT_EQ(team->Sink()->LoadFolderList(m_engine->Session(), m_utils), S_OK);
    ASSERT_TRUE(listed());
    PutDeletionNotice(AddinFolder(), id, L"Team");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    EXPECT_TRUE(TargetSubjects().empty());
    EXPECT_FALSE(listed());
    team->Sink()->CheckFolder4DeletedItems(m_engine->Session(), m_utils);
    EXPECT_EQ(DelMailSenderList.Count(), 0u) << "no notice goes back";
    LeaveCriticalSection(&FolderCheckLock);
    DelMailSenderList.Clear();
}

// Two changes of one item wait in the folder: the list is walked from its
// last entry to its first, and the change mailed last is the one that stays,
// whichever arrived first.
TEST_F(ImportTest, OfTwoChangesOfOneItemTheOneMailedLastWins) {
    SYSTEMTIME at{2026, 3, 0, 17, 9, 20, 0, 0};
    DATE earlier = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&at, &earlier));
    const DATE later = earlier + 1.0 / 1440;
    for (bool laterArrivesFirst : {false, true}) {
        SCOPED_TRACE(laterArrivesFirst);
        ClearTarget();
        CComPtr<QMRMessage> local = AnnItem(L"Original");
        CComPtr<QMRMessage> sent = BertItem(L"Older change");
        CopySyncId(sent, local);
        auto put = [&](const wchar_t* subject, DATE mailed) {
            ASSERT_EQ(sent->PutSubject(CComBSTR(subject)), S_OK);
            ASSERT_EQ(sent->Save(), S_OK);
            PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
            CComPtr<QMRMessage> mail = FolderItem(AddinFolder(), FolderCount(AddinFolder()));
            ASSERT_EQ(mail->PutSubject(CComBSTR(syncmail::BuildSyncMailSubject(
                                                    syncmail::SyncMailTimeText(mailed), false, L"")
                                                    .c_str())),
                      S_OK);
            ASSERT_EQ(mail->Save(), S_OK);
        };
        if (laterArrivesFirst) {
            put(L"Newer change", later);
            put(L"Older change", earlier);
        } else {
            put(L"Older change", earlier);
            put(L"Newer change", later);
        }
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        EXPECT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Newer change"});
        EXPECT_EQ(FolderCount(AddinFolder()), 0);
    }
}

TEST_F(ImportTest, OwnWritesAreRegisteredAsOwnChanges) {
    // The registration marks a change as queued; the pass puts the importing
    // state back only when nothing else changed it.
    CComBSTR probe(L"00");
    if (SelfModifiedItem(m_engine.get(), m_engine->Session(), m_utils, L"00", probe.Detach()) ==
        E_NOTIMPL)
        GTEST_SKIP() << "own-change registration not built yet";
    m_engine->SetSyncState(kSyncStateIdle);
    CComPtr<QMRMessage> sent = BertItem(L"Registered");
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    ASSERT_EQ(TargetSubjects(), std::vector<std::wstring>{L"Registered"});
    EXPECT_TRUE(DebugLogHas("SelfModifiedItem=>Start"));
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
}

TEST_F(ImportTest, ImportsAreJournaledOnlyWithTheSwitch) {
    m_engine->m_totalDebugging = true;
    CComPtr<QMRMessage> sent = BertItem(L"Journaled");
    PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    EXPECT_EQ(FolderCount(JournalFolder()), 0) << "journal switch off";

    m_engine->m_journal = true;
    CComPtr<QMRMessage> second = BertItem(L"Second");
    PutSyncMail(AddinFolder(), second, L"Team", L"pw");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
    PutDeletionNotice(AddinFolder(), SyncIdText(second), L"Team");
    ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);

    ASSERT_EQ(FolderCount(JournalFolder()), 2);
    struct Expected {
        const wchar_t* subject;
        UINT body;
        LONG icon;
    };
    const Expected expected[] = {{L"Second <= ", 1251, 0x603}, {L"Second <= ", 1250, 0x601}};
    for (LONG i = 1; i <= 2; ++i) {
        CComPtr<QMRMessage> entry = FolderItem(JournalFolder(), i);
        const Expected& e = expected[i - 1];
        EXPECT_EQ(Subject(entry), e.subject);
        CComBSTR body;
        entry->GetBody(&body);
        EXPECT_EQ(std::wstring(body ? body.m_str : L""), UiText(e.body));
        CComVariant icon;
        entry->GetFields(CComVariant(static_cast<LONG>(0x10800003), VT_I4), &icon);
        EXPECT_EQ(icon.vt == VT_I4 ? icon.lVal : 0, e.icon);
        std::vector<std::wstring> categories;
        GetKeywords(m_utils, entry, categories);
        EXPECT_EQ(categories, std::vector<std::wstring>{L"Quillmere-Journal"});
        CComPtr<QMRAttachments> attachments;
        LONG count = 0;
        if (SUCCEEDED(entry->GetAttachments(&attachments)) && attachments)
            attachments->GetCount(&count);
        EXPECT_GE(count, 1) << "debug copies are attached";
    }
    EXPECT_TRUE(HostFileExists(m_engine->DataDirectory() + kDebugIncomingName));
    EXPECT_TRUE(HostFileExists(m_engine->DataDirectory() + kDebugExistingName));
}

TEST_F(ImportTest, DesktopNotificationsNameTheChangeTheFolderAndTheItem) {
    m_engine->m_desktopNotification = true;
    CComBSTR folderName;
    ASSERT_EQ(TargetFolder()->GetName(&folderName), S_OK);
    CComPtr<QMRMessage> sent = BertItem(L"Announced");
    struct Step {
        bool deletion;
        UINT title;
    };
    // New, then overwritten, then deleted.
    for (const Step& step : {Step{false, 1251}, Step{false, 1249}, Step{true, 1250}}) {
        SCOPED_TRACE(step.title);
        if (step.deletion)
            PutDeletionNotice(AddinFolder(), SyncIdText(sent), L"Team");
        else
            PutSyncMail(AddinFolder(), sent, L"Team", L"pw");
        ProcessSyncItems(m_engine.get(), m_engine->Session(), m_utils, false);
        EXPECT_EQ(FolderCount(AddinFolder()), 0);
        std::wstring title, text;
        LONG kind = -1;
        ASSERT_TRUE(m_engine->TakePendingNotification(title, text, kind));
        EXPECT_EQ(title, UiText(step.title));
        EXPECT_EQ(text.rfind(std::wstring(folderName) + L": ", 0), 0u) << win::ToUtf8(text);
        EXPECT_EQ(text.substr(text.size() - 9), L"Announced") << win::ToUtf8(text);
    }
    EXPECT_TRUE(TargetSubjects().empty());
}

TEST_F(ImportTest, MarkersAreReadFromTheBody) {
    struct Case {
        const wchar_t* body;
        bool result;
        bool remove;
        const wchar_t* syncId;
    };
    const Case cases[] = {
        {L"intro\r\nis:TRUE:is\nlf:Team:lf\r\nid:00AB:id\r\n", true, false, L"00AB"},
        {L"intro\nis:FALSE:is\nlf:Team:lf\nid:00CD:id\n", true, true, L"00CD"},
        {L"is:TRUE:is lf:Team:lf id:\r\n00 EF:id", true, false, L"00EF"},
        {L"is:TRUE:is id:0011:id", false, false, L"0011"},
        {L"plain mail lf:Team:lf id:0011:id", false, false, L""},
        // All four markers, the id's closing one first: no id text.
        {L"is:FALSE:is lf:x:lf :id then id:", true, true, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.body));
        CComPtr<QMRItems> items;
        ASSERT_EQ(AddinFolder()->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        ASSERT_EQ(mail->PutBody(CComBSTR(c.body)), S_OK);
        bool remove = !c.remove;
        std::wstring syncId = L"stale";
        EXPECT_EQ(haveMyMailUserProperty(m_engine.get(), m_utils, mail, remove, syncId), c.result);
        EXPECT_EQ(remove, c.remove);
        EXPECT_EQ(syncId, c.syncId);
    }
    EXPECT_TRUE(ErrorLogHas("haveMyMailUserProperty0>no Body, no SyncId"));
}

TEST(MailUserPropertyReader, KindsAndSyncIdTexts) {
    using P = MailUserProperty;
    struct Case {
        const wchar_t* body;
        P read;
        bool remove;
        const wchar_t* syncId;
    };
    const Case cases[] = {
        {L"", P::kNone, false, L""},
        {L"lf:a:lf id:00:id", P::kNone, false, L""},
        {L"is:FALSE:is id:00:id", P::kIncomplete, true, L"00"},
        {L"is:TRUE:is is:FALSE:is lf::lf id:01:id", P::kComplete, false, L"01"},
        // The first LF, the first CR and the first blank go, in any order.
        {L"is:TRUE:is lf::lf id:\nA\rB C\n:id", P::kComplete, false, L"ABC\n"},
        {L"is:TRUE:is lf::lf id: A\r\nB:id", P::kComplete, false, L"AB"},
        {L"is:TRUE:is lf::lf id:\n\r :id", P::kComplete, false, L""},
        // Overlapping and misordered markers give no text, never a misplaced one.
        {L"is:TRUE:is lf::lf :id:", P::kComplete, false, L""},
        {L"is:TRUE:is lf::lf id:id", P::kComplete, false, L""},
        {L"is:TRUE:is lf::lf id::id", P::kComplete, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(win::ToUtf8(c.body));
        bool remove = !c.remove;
        std::wstring syncId = L"stale";
        EXPECT_EQ(ReadMailUserProperty(c.body, remove, syncId), c.read);
        EXPECT_EQ(remove, c.remove);
        EXPECT_EQ(syncId, c.syncId);
    }
}

}  // namespace
