// The queueing of a change over the real helper library: a changed item
// becomes one queued sync mail, an item that leaves the filters after it was
// sent becomes one deletion notice, cancelled meetings stay at home, and a
// meeting's attendee list is read from the meeting itself.
#include "Quillmere/exchange/QueueChange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/exchange/MeetingAttendees.h"
#include "Quillmere/exchange/QueueTestSupport_test.h"
#include "Quillmere/tracking/SyncId.h"

namespace {

// The meeting status in its published string-namespace form, which the
// stand-in library stores (the queueing reads the short alias first).
const wchar_t* const kMeetingStatus =
    L"http://schemas.microsoft.com/mapi/string/{00020329-0000-0000-C000-000000000046}/"
    L"urn:schemas:calendar:meetingstatus";
const wchar_t* const kResponseStatus =
    L"http://schemas.microsoft.com/mapi/id/{00062002-0000-0000-C000-000000000046}/0x82180003";
constexpr ULONG kPrOwnerApptId = 0x00620003;
const wchar_t* const kLastShareName =
    L"http://schemas.microsoft.com/mapi/string/{0F62B4A7-203E-40de-99DA-6F03EE72A090}/"
    L"lastsharename";

class QueueChangeTest : public QueueTest {
protected:
    // Waits as the add-in's tests do (addintest::WaitFor: up to kWaitLimitMs platform ms).
    template <class F>
    static bool WaitUntil(F condition) {
        return addintest::WaitFor(condition);
    }

    HRESULT Queue(QMRMessage* message, CFolderObj* folder, bool formFlag = false) {
        CComVariant syncId = SearchKey(message);
        return QueueSyncMessage(m_engine.get(), Session(), m_utils, &syncId, folder, formFlag);
    }

    // The message as the store has it now.
    CComPtr<QMRMessage> Reopen(QMRMessage* message) {
        CComBSTR entryId;
        EXPECT_EQ(message->GetEntryID(&entryId), S_OK);
        CComPtr<QMRMessage> fresh;
        EXPECT_EQ(Session()->GetMessageFromID(entryId, CComBSTR(m_storeId.c_str()),
                                              CComVariant(kOpenFlagsOldOutlook), &fresh),
                  S_OK);
        return fresh;
    }
    LONG Version(QMRMessage* message) {
        LONG version = -2;
        GetSyncVersion(m_engine.get(), m_utils, Reopen(message), version);
        return version;
    }

    // A meeting invitation: status, owner appointment id, response status
    // and the display-to text of its attendees.
    CComPtr<QMRMessage> NewMeeting(const wchar_t* subject, LONG status, LONG ownerId, LONG response,
                                   const wchar_t* attendees) {
        CComPtr<QMRMessage> meeting = NewMessage(subject, L"IPM.Appointment");
        SetField(meeting, CComVariant(kMeetingStatus), CComVariant(status));
        SetTag(meeting, kPrOwnerApptId, CComVariant(ownerId));
        SetField(meeting, CComVariant(kResponseStatus), CComVariant(response));
        SetTag(meeting, kPrDisplayToW, CComVariant(attendees));
        EXPECT_EQ(meeting->Save(), S_OK);
        return meeting;
    }
};

TEST_F(QueueChangeTest, ChangedItemBecomesExactlyOneQueuedSyncMail) {
    CFolderObj* folder = AddInboxFolder(L"Team", L"secret");
    CComPtr<QMRMessage> item = NewMessage(L"Budget");
    const CComVariant key = SearchKey(item);
    CComVariant syncId(key);
    m_engine->SetSyncState(kSyncStateIdle);

    ASSERT_EQ(QueueSyncMessage(m_engine.get(), Session(), m_utils, &syncId, folder, false), S_OK);

    EXPECT_EQ(syncId.vt, VT_EMPTY);  // taken over
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
    EXPECT_EQ(DelMailSenderList.Count(), 0u);
    ASSERT_EQ(MailSenderList.Count(), 1u);
    std::unique_ptr<CMail2Send> record = MailSenderList.Take();
    CComVariant recordId;
    ASSERT_EQ(record->GetSyncID(&recordId), S_OK);
    CComBSTR recordText, keyText;
    ASSERT_EQ(m_utils->BinaryToText(recordId, &recordText), S_OK);
    ASSERT_EQ(m_utils->BinaryToText(key, &keyText), S_OK);
    EXPECT_EQ(std::wstring(recordText), std::wstring(keyText));
    CComBSTR folderId, storeId;
    ASSERT_EQ(record->GetFolderEntryID(&folderId), S_OK);
    ASSERT_EQ(record->GetStoreEntryID(&storeId), S_OK);
    EXPECT_EQ(std::wstring(folderId), m_inboxId);
    EXPECT_EQ(std::wstring(storeId), m_storeId);
    wchar_t password[CMail2Send::kTextSize], share[CMail2Send::kTextSize];
    record->GetPassword(password, CMail2Send::kTextSize);
    record->GetShareName(share, CMail2Send::kTextSize);
    EXPECT_EQ(std::wstring(password), L"secret");
    EXPECT_EQ(std::wstring(share), L"Team");
    EXPECT_EQ(record->GetFormFlag(), 0);

    // The version is raised and the share name recorded on the item.
    EXPECT_EQ(Version(item), 1);
    CComVariant last;
    ASSERT_EQ(Reopen(item)->GetFields(CComVariant(kLastShareName), &last), S_OK);
    ASSERT_EQ(last.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(last.bstrVal), L"Team");
    EXPECT_TRUE(DebugLogHas("sSMsgT::Mail added2MailSenderList: 1"));
}

TEST_F(QueueChangeTest, EachChangeQueuesOneMoreRecordAndRaisesTheVersionAgain) {
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRMessage> item = NewMessage(L"Budget");
    ASSERT_EQ(Queue(item, folder), S_OK);
    ASSERT_EQ(Queue(item, folder), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 2u);
    EXPECT_EQ(Version(item), 2);
    EXPECT_TRUE(DebugLogHas("sSMsgT::Mail added2MailSenderList: 2"));
}

struct FilterCase {
    const char* name;
    LONG sensitivity;  // 0 normal, 2 private
    bool excludePrivate;
    bool onlyPrivate;
    bool queued;
};

class QueueFilterTest : public QueueChangeTest, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(QueueFilterTest, SensitivitySwitchesDecide) {
    const FilterCase& c = GetParam();
    CFolderObj* folder = AddInboxFolder();
    folder->Sink()->m_dontSyncPrivateItems = c.excludePrivate;
    folder->Sink()->m_syncOnlyPrivateItems = c.onlyPrivate;
    CComPtr<QMRMessage> item = NewMessage(L"Dentist");
    SetTag(item, kPrSensitivity, CComVariant(c.sensitivity));
    ASSERT_EQ(item->Save(), S_OK);

    EXPECT_EQ(Queue(item, folder), S_OK);
    EXPECT_EQ(MailSenderList.Count(), c.queued ? 1u : 0u);
    // Never sent from here, so no partner has it: no deletion notice either.
    EXPECT_EQ(DelMailSenderList.Count(), 0u);
    EXPECT_EQ(Version(item), c.queued ? 1 : -1);
    EXPECT_EQ(DebugLogHas("sSMsgT::Mail is not allowed: Dentist"), !c.queued);
}

INSTANTIATE_TEST_SUITE_P(Cases, QueueFilterTest,
                         ::testing::Values(FilterCase{"NormalNoSwitches", 0, false, false, true},
                                           FilterCase{"PrivateNoSwitches", 2, false, false, true},
                                           FilterCase{"PrivateExcluded", 2, true, false, false},
                                           FilterCase{"NormalExcludePrivate", 0, true, false, true},
                                           FilterCase{"NormalOnlyPrivate", 0, false, true, false},
                                           FilterCase{"PrivateOnlyPrivate", 2, false, true, true}),
                         [](const ::testing::TestParamInfo<FilterCase>& info) {
                             return info.param.name;
                         });

TEST_F(QueueChangeTest, ItemThatLeavesTheFilterAfterItWasSentBecomesOneDeletionNotice) {
    CFolderObj* folder = AddInboxFolder(L"Team");
    CComPtr<QMRMessage> item = NewMessage(L"Dentist");
    const std::wstring keyText = SearchKeyText(item);
    ASSERT_EQ(Queue(item, folder), S_OK);
    ASSERT_EQ(MailSenderList.Count(), 1u);
    if (!folder->IsElemInSync(keyText))
        GTEST_SKIP() << "the folder's in-sync list keeps nothing yet";

    // Made private while private items are excluded.
    folder->Sink()->m_dontSyncPrivateItems = true;
    item = Reopen(item);
    SetTag(item, kPrSensitivity, CComVariant(LONG(2)));
    ASSERT_EQ(item->Save(), S_OK);
    m_engine->SetSyncState(kSyncStateIdle);
    ASSERT_EQ(Queue(item, folder), S_OK);

    EXPECT_EQ(MailSenderList.Count(), 1u);  // nothing more to send
    ASSERT_EQ(DelMailSenderList.Count(), 1u);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
    EXPECT_FALSE(folder->IsElemInSync(keyText));
    EXPECT_EQ(Version(item), 2);
    EXPECT_TRUE(
        DebugLogHas("sSMsgT::Mail is not allowed AND WILL BE DELETED ON THE OTHER END: Dentist"));

    // A second change while it stays private sends nothing more.
    ASSERT_EQ(Queue(item, folder), S_OK);
    EXPECT_EQ(DelMailSenderList.Count(), 1u);
    EXPECT_EQ(MailSenderList.Count(), 1u);

    std::unique_ptr<CDelMail2Send> notice = DelMailSenderList.Take();
    CComBSTR noticeId;
    ASSERT_EQ(notice->GetSyncID(&noticeId), S_OK);
    EXPECT_EQ(std::wstring(noticeId), keyText);
    EXPECT_EQ(notice->GetShareName(), L"Team");

    // Passing again, it is sent anew.
    folder->Sink()->m_dontSyncPrivateItems = false;
    ASSERT_EQ(Queue(item, folder), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 2u);
    EXPECT_TRUE(folder->IsElemInSync(keyText));
}

TEST_F(QueueChangeTest, CancelledMeetingIsNotQueuedAndKeepsItsVersion) {
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRMessage> meeting = NewMeeting(L"Review", 5, 0, 0, L"Bert Brown; Cara@Example.org ");
    ASSERT_EQ(Queue(meeting, folder), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 0u);
    EXPECT_EQ(DelMailSenderList.Count(), 0u);
    EXPECT_EQ(Version(meeting), -1);
    EXPECT_TRUE(DebugLogHas("sSMsgT::MeetingStatus: 0 cancel: 1"));
    EXPECT_TRUE(DebugLogHas("sSMsgT::Sending was canceled: Review"));
    EXPECT_EQ(GetMeetingAttendees(Session(), meeting),
              (std::vector<std::wstring>{L"bert@example.org", L"cara@example.org"}));
}

TEST_F(QueueChangeTest, AcceptedMeetingIsQueuedAndItsAttendeesAreListed) {
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRMessage> meeting =
        NewMeeting(L"Review", 3, 0, 3, L"bert brown;cara@example.org;Nobody Known");
    ASSERT_EQ(Queue(meeting, folder), S_OK);
    EXPECT_EQ(MailSenderList.Count(), 1u);
    EXPECT_EQ(Version(meeting), 1);
    EXPECT_TRUE(DebugLogHas("sSMsgT::MeetingStatus: 3 cancel: 0"));

    // Display names are resolved through the address book; what can't be
    // resolved is left out.
    EXPECT_EQ(GetMeetingAttendees(Session(), meeting),
              (std::vector<std::wstring>{L"bert@example.org", L"cara@example.org"}));
    EXPECT_TRUE(DebugLogHas("Resolved Attendee to: bert@example.org"));
    EXPECT_TRUE(DebugLogHas("Try to resolve Attendee => ResolveName nobody known"));
    EXPECT_TRUE(GetMeetingAttendees(Session(), NewMessage(L"Plain")).empty());
}

struct StatusCase {
    const char* name;
    CComVariant status;
    bool meeting;
};

class MeetingStatusTest : public QueueChangeTest,
                          public ::testing::WithParamInterface<StatusCase> {};

TEST_P(MeetingStatusTest, OnlyMeetingStatusesFillTheAttendeeList) {
    const StatusCase& c = GetParam();
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRMessage> item = NewMessage(L"Slot", L"IPM.Appointment");
    SetTag(item, kPrDisplayToW, CComVariant(L"cara@example.org"));
    if (c.status.vt != VT_EMPTY)
        SetField(item, CComVariant(kMeetingStatus), c.status);
    // An owner id of 0 cancels only a meeting.
    SetTag(item, kPrOwnerApptId, CComVariant(LONG(0)));
    ASSERT_EQ(item->Save(), S_OK);
    ASSERT_EQ(Queue(item, folder), S_OK);
    EXPECT_EQ(GetMeetingAttendees(Session(), item).size(), c.meeting ? 1u : 0u);
    EXPECT_EQ(MailSenderList.Count(), c.meeting ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, MeetingStatusTest,
                         ::testing::Values(StatusCase{"None", CComVariant(), false},
                                           StatusCase{"Zero", CComVariant(LONG(0)), false},
                                           StatusCase{"One", CComVariant(LONG(1)), true},
                                           StatusCase{"Two", CComVariant(LONG(2)), false},
                                           StatusCase{"Three", CComVariant(LONG(3)), true},
                                           StatusCase{"Four", CComVariant(LONG(4)), false},
                                           StatusCase{"Five", CComVariant(LONG(5)), true},
                                           StatusCase{"Seven", CComVariant(LONG(7)), false},
                                           StatusCase{"Text", CComVariant(L"TENTATIVE"), true},
                                           StatusCase{"EmptyText", CComVariant(L""), false}),
                         [](const ::testing::TestParamInfo<StatusCase>& info) {
                             return info.param.name;
                         });

TEST_F(QueueChangeTest, OneCharacterShareNameStillQueuesAfterTheReport) {
    CFolderObj* folder = AddInboxFolder(L"T");
    ASSERT_EQ(Queue(NewMessage(L"Short"), folder), S_OK);
    EXPECT_TRUE(ErrorLogHas("NO SHARENAME"));
    EXPECT_FALSE(ErrorLogHas("NO SHARENAME2SEND"));
    EXPECT_EQ(MailSenderList.Count(), 1u);
}

TEST_F(QueueChangeTest, EmptyShareNameIsReportedTwiceAndStillQueued) {
    CFolderObj* folder = AddInboxFolder(L"");
    ASSERT_EQ(Queue(NewMessage(L"Nameless"), folder), S_OK);
    EXPECT_TRUE(ErrorLogHas("NO SHARENAME2SEND"));
    EXPECT_EQ(MailSenderList.Count(), 1u);
}

TEST_F(QueueChangeTest, TextSyncIdIsStillQueued) {
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRMessage> item = NewMessage(L"Texted");
    CComVariant syncId(SearchKeyText(item).c_str());
    ASSERT_EQ(QueueSyncMessage(m_engine.get(), Session(), m_utils, &syncId, folder, false), S_OK);
    EXPECT_EQ(syncId.vt, VT_EMPTY);
    EXPECT_EQ(MailSenderList.Count(), 1u);
    EXPECT_TRUE(ErrorLogHas("CMail2Send::Parameter falsch"));
    EXPECT_EQ(Version(item), 1);
}

TEST_F(QueueChangeTest, MissingFolderEntryFailsAndClearsTheSyncId) {
    CComVariant syncId = SearchKey(NewMessage(L"Orphan"));
    EXPECT_EQ(QueueSyncMessage(m_engine.get(), Session(), m_utils, &syncId, nullptr, false),
              E_FAIL);
    EXPECT_EQ(syncId.vt, VT_EMPTY);
    EXPECT_TRUE(ErrorLogHas("NO FOLDEROBJECT TO SEND MAIL"));
    EXPECT_EQ(MailSenderList.Count(), 0u);
}

TEST_F(QueueChangeTest, VanishedItemFailsWithoutQueueing) {
    CFolderObj* folder = AddInboxFolder();
    m_engine->SetSyncState(kSyncStateIdle);
    CComVariant unknown;
    CComBSTR text(L"00112233445566778899AABBCCDDEEFF");
    ASSERT_EQ(m_utils->TextToBinary(text, &unknown), S_OK);
    EXPECT_EQ(QueueSyncMessage(m_engine.get(), Session(), m_utils, &unknown, folder, false),
              E_FAIL);
    EXPECT_TRUE(ErrorLogHas("sSMsgT::No EntryID"));
    EXPECT_TRUE(ErrorLogHas("sSMsgT::MessageFromID"));
    EXPECT_EQ(MailSenderList.Count(), 0u);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateIdle);
}

TEST_F(QueueChangeTest, HiddenFolderDesignItemIsFoundAndQueuedWithTheFormFlag) {
    CFolderObj* folder = AddInboxFolder();
    CComPtr<QMRItems> hidden;
    ASSERT_EQ(m_inbox->GetHiddenItems(&hidden), S_OK);
    CComPtr<QMRMessage> form;
    ASSERT_EQ(hidden->Add(CComVariant(L"IPM.Microsoft.FolderDesign.FormsDescription"), &form),
              S_OK);
    ASSERT_EQ(form->PutSubject(CComBSTR(L"Form")), S_OK);
    ASSERT_EQ(form->Save(), S_OK);
    ASSERT_EQ(Queue(form, folder, true), S_OK);
    ASSERT_EQ(MailSenderList.Count(), 1u);
    EXPECT_EQ(MailSenderList.Take()->GetFormFlag(), 1);
}

TEST_F(QueueChangeTest, DeletionIsQueuedWithItsShareName) {
    m_engine->SetSyncState(kSyncStateIdle);
    EXPECT_EQ(QueueDeleteMessage(m_engine.get(), SysAllocString(L"00AB"), L"Team"), S_OK);
    EXPECT_EQ(QueueDeleteMessage(m_engine.get(), nullptr, L"Team"), S_OK);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
    ASSERT_EQ(DelMailSenderList.Count(), 2u);
    std::unique_ptr<CDelMail2Send> first = DelMailSenderList.Take();
    CComBSTR id;
    ASSERT_EQ(first->GetSyncID(&id), S_OK);
    EXPECT_EQ(std::wstring(id), L"00AB");
    EXPECT_EQ(first->GetShareName(), L"Team");
}

TEST_F(QueueChangeTest, ReminderKeyReachesEveryFolderAndMarksAChange) {
    CFolderObj* one = AddInboxFolder(L"One");
    CFolderObj* two = AddInboxFolder(L"Two");
    // Each folder's thread loads its list at its start (replacing what the
    // list held): both have done so before the lists are looked at.
    for (const char* share : {"One", "Two"})
        ASSERT_TRUE(WaitUntil([&] {
            return DebugLogHas(std::string("Thread is running for ") + share);
        })) << share;
    two->Stop();  // a stopped entry is handed the key all the same
    // One already lists the item (as the add-in's own new item); Two does not.
    ASSERT_EQ(one->Sink()->AddToChangeList(Session(), m_utils, SysAllocString(L"00AB"), false),
              S_OK);
    m_engine->SetSyncState(kSyncStateIdle);
    CComBSTR key(L"00AB");
    HandItemToAllFolders(m_engine.get(), Session(), m_utils, key, true);
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateChangeQueued);
    EXPECT_EQ(std::wstring(key), L"00AB");  // the caller's copy stays

    // Each list absorbs the reminder's own write: a listed item is marked as
    // changed by a reminder, an unlisted one as just detected.
    EXPECT_EQ(one->Sink()->ChangeKeylistEntries(),
              (std::vector<ChangeKeyEntry>{{L"00AB", kMarkerReminder}}));
    EXPECT_EQ(two->Sink()->ChangeKeylistEntries(),
              (std::vector<ChangeKeyEntry>{{L"00AB", kMarkerDetect}}));
}

}  // namespace
