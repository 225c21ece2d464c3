#include "platform/store/Message.h"

#include <gtest/gtest.h>

#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using namespace mapi;
using testing::AddMessage;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::OpenStore;
using testing::TempDir;

GUID SampleGuid() {
    return *win::ParseGuid(L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
}

// One value of every kept type (single- and multi-valued), each under its
// own property id.
PropertyBag EveryType() {
    PropertyBag b;
    ULONG id = 0x6700;
    auto put = [&b, &id](PropValue v) { b.Set(PROP_TAG(v.Type(), id++), std::move(v)); };
    put(PropValue::Short(-12));
    put(PropValue::Long(-123456789));
    put(PropValue::LongLong(-1234567890123456789LL));
    put(PropValue::Currency(123456789));
    put(PropValue::SysTime(0x01D9ABCDEF012345ULL));
    put(PropValue::Error(MAPI_E_NOT_FOUND));
    put(PropValue::Boolean(true));
    put(PropValue::Boolean(false));
    put(PropValue::Float(1.5f));
    put(PropValue::Double(-2.25e100));
    put(PropValue::AppTime(45000.75));
    put(PropValue::String8(std::string("ANSI \xE9\x80 text", 12)));
    put(PropValue::Unicode(L"Wide \u00E9\u20AC\U0001F600 text"));
    put(PropValue::Unicode(L""));
    put(PropValue::Binary({0, 1, 2, 0xFF, 0}));
    put(PropValue::Binary({}));
    put(PropValue::Clsid(SampleGuid()));
    put(PropValue::MvInteger(PT_SHORT, {1, -2, 3}));
    put(PropValue::MvLong({7, -8}));
    put(PropValue::MvInteger(PT_LONGLONG, {1LL << 40}));
    put(PropValue::MvInteger(PT_CURRENCY, {5}));
    put(PropValue::MvInteger(PT_SYSTIME, {0x01D9000000000000LL, 1}));
    put(PropValue::MvDouble(PT_FLOAT, {0.5, -0.25}));
    put(PropValue::MvDouble(PT_DOUBLE, {3.125}));
    put(PropValue::MvDouble(PT_APPTIME, {1.0, 2.0}));
    put(PropValue::MvString8({"a", "", "b\xFF"}));
    put(PropValue::MvUnicode({L"x", L"\u00FC"}));
    put(PropValue::MvBinary({{1}, {}, {2, 3}}));
    put(PropValue::MvClsid({SampleGuid(), GUID_NULL}));
    put(PropValue());
    return b;
}

class MessageTest : public ::testing::Test {
protected:
    void SetUp() override {
        session = MakeStore(dir.File("store.qms"), StoreKind::PersonalUnicode,
                            ChangeTracking::ChangeKeys);
        ASSERT_TRUE(session);
        inbox = DefaultFolderOf(*session, DefaultFolder::Inbox);
    }
    TempDir dir;
    std::unique_ptr<Session> session;
    Folder inbox;
};

TEST_F(MessageTest, EveryPropertyTypeSurvivesSaveAndReopenInAnotherSession) {
    const PropertyBag values = EveryType();
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    for (const auto& [tag, v] : values) {
        m->SetProp(tag, v);
    }
    ASSERT_EQ(m->Save(), S_OK);

    auto other = OpenStore(dir.File("store.qms"));
    std::unique_ptr<Message> back;
    ASSERT_EQ(other->OpenMessage(m->EntryId(), &back), S_OK);
    for (const auto& [tag, v] : values) {
        const PropValue* got = back->Props().Find(tag);
        ASSERT_NE(got, nullptr) << std::hex << tag;
        EXPECT_EQ(*got, v) << std::hex << tag;
    }
}

TEST_F(MessageTest, StoreMaintainsIdentityAndChangeProperties) {
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    auto searchKey = m->Props().GetBinary(PR_SEARCH_KEY);
    ASSERT_TRUE(searchKey);
    EXPECT_EQ(searchKey->size(), 16u);
    m->SetProp(PR_ENTRYID, PropValue::Binary({1, 2, 3}));  // ignored
    ASSERT_EQ(m->Save(), S_OK);

    const auto& p = m->Props();
    EXPECT_EQ(p.GetBinary(PR_ENTRYID), m->EntryId());
    EXPECT_EQ(p.GetBinary(PR_PARENT_ENTRYID), inbox.EntryId());
    EXPECT_EQ(p.GetBinary(PR_STORE_ENTRYID), session->Info().entryId);
    EXPECT_EQ(p.GetBinary(PR_SEARCH_KEY), searchKey);
    ASSERT_TRUE(p.GetBinary(PR_SOURCE_KEY));
    EXPECT_EQ(p.GetBinary(PR_SOURCE_KEY)->size(), kSourceKeySize);
    auto changeKey1 = p.GetBinary(PR_CHANGE_KEY);
    ASSERT_TRUE(changeKey1);
    auto modified1 = p.GetInteger(PR_LAST_MODIFICATION_TIME);
    auto created = p.GetInteger(PR_CREATION_TIME);
    ASSERT_TRUE(modified1 && created);
    const LONG flags = static_cast<LONG>(*p.GetInteger(PR_MESSAGE_FLAGS));
    EXPECT_EQ(flags & (MSGFLAG_READ | MSGFLAG_UNSENT), MSGFLAG_READ | MSGFLAG_UNSENT);

    const Bytes sourceKey = *p.GetBinary(PR_SOURCE_KEY);
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"again"));
    ASSERT_EQ(m->Save(), S_OK);
    EXPECT_NE(m->Props().GetBinary(PR_CHANGE_KEY), changeKey1);
    EXPECT_EQ(m->Props().GetBinary(PR_SOURCE_KEY), sourceKey);
    EXPECT_GE(*m->Props().GetInteger(PR_LAST_MODIFICATION_TIME), *modified1);
    EXPECT_EQ(m->Props().GetInteger(PR_CREATION_TIME), created);

    // A search key may be set, and is then kept.
    m->SetProp(PR_SEARCH_KEY, PropValue::Binary(Bytes(16, 0xAB)));
    ASSERT_EQ(m->Save(), S_OK);
    std::unique_ptr<Message> back;
    ASSERT_EQ(session->OpenMessage(m->EntryId(), &back), S_OK);
    EXPECT_EQ(back->Props().GetBinary(PR_SEARCH_KEY), Bytes(16, 0xAB));
}

TEST(MessageNoChangeKeys, StoreWithoutChangeKeysNeverHasOne) {
    TempDir dir;
    auto s =
        MakeStore(dir.File("old.qms"), StoreKind::PersonalAnsi, ChangeTracking::ModificationTime);
    ASSERT_TRUE(s);
    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    m->SetProp(PR_CHANGE_KEY, PropValue::Binary({1, 2}));  // a client cannot plant one
    ASSERT_EQ(m->Save(), S_OK);
    EXPECT_FALSE(m->Props().Has(PR_CHANGE_KEY));
    EXPECT_TRUE(m->Props().Has(PR_LAST_MODIFICATION_TIME));
    ASSERT_EQ(m->Save(), S_OK);
    std::unique_ptr<Message> back;
    ASSERT_EQ(s->OpenMessage(m->EntryId(), &back), S_OK);
    EXPECT_FALSE(back->Props().Has(PR_CHANGE_KEY));
    MessageContent c;
    ASSERT_EQ(back->GetContent(&c), S_OK);
    EXPECT_FALSE(c.props.Has(PR_CHANGE_KEY));
}

TEST_F(MessageTest, ContentRoundTripMapsNamedPropertiesByName) {
    MessageContent in;
    in.props.Set(PR_SUBJECT, PropValue::Unicode(L"with names"));
    in.props.Set(PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Note"));
    // The file's own ids deliberately differ from what the store will give.
    in.named[0x8123] = KeywordsProperty();
    in.props.Set(PROP_TAG(PT_MV_STRING8, 0x8123), PropValue::MvString8({"Red", "Blue"}));
    in.named[0x8001] = NamedProperty::ById(PSETID_Common, kLidReminderSet);
    in.props.Set(PROP_TAG(PT_BOOLEAN, 0x8001), PropValue::Boolean(false));
    PropertyBag recipient;
    recipient.Set(PR_DISPLAY_NAME, PropValue::Unicode(L"Anna"));
    recipient.Set(PR_RECIPIENT_TYPE, PropValue::Long(MAPI_TO));
    in.recipients.push_back(recipient);
    AttachmentContent file;
    file.props.Set(PR_ATTACH_LONG_FILENAME, PropValue::Unicode(L"report.txt"));
    file.props.Set(PR_ATTACH_FILENAME, PropValue::Unicode(L"REPORT.TXT"));
    file.props.Set(PR_DISPLAY_NAME, PropValue::Unicode(L"report.txt"));
    file.data = {'h', 'e', 'l', 'l', 'o'};
    in.attachments.push_back(file);
    AttachmentContent embedded;
    embedded.embedded = std::make_unique<MessageContent>();
    embedded.embedded->props.Set(PR_SUBJECT, PropValue::Unicode(L"inner"));
    in.attachments.push_back(embedded);

    session->IdOfName(NamedProperty::ByName(PS_PUBLIC_STRINGS, L"something else"), true);
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    ASSERT_EQ(m->SetContent(in), S_OK);
    ASSERT_EQ(m->Save(), S_OK);

    auto other = OpenStore(dir.File("store.qms"));
    std::unique_ptr<Message> back;
    ASSERT_EQ(other->OpenMessage(m->EntryId(), &back), S_OK);
    const PropValue* keywords = back->GetNamed(KeywordsProperty());
    ASSERT_NE(keywords, nullptr);
    EXPECT_EQ(*keywords, PropValue::MvString8({"Red", "Blue"}));

    MessageContent out;
    ASSERT_EQ(back->GetContent(&out), S_OK);
    const PropValue* again = out.FindNamed(KeywordsProperty());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(*again, PropValue::MvString8({"Red", "Blue"}));
    EXPECT_FALSE(out.props.Has(PR_ENTRYID));
    EXPECT_FALSE(out.props.Has(PR_SOURCE_KEY));
    EXPECT_EQ(out.props.GetText(PR_SUBJECT), L"with names");
    ASSERT_EQ(out.recipients.size(), 1u);
    EXPECT_EQ(out.recipients[0].GetText(PR_DISPLAY_NAME), L"Anna");
    ASSERT_EQ(out.attachments.size(), 2u);
    EXPECT_EQ(out.attachments[0].data, file.data);
    EXPECT_EQ(out.attachments[0].props.GetInteger(PR_ATTACH_METHOD), ATTACH_BY_VALUE);
    EXPECT_EQ(out.attachments[0].props.GetInteger(PR_ATTACH_SIZE), 5);
    EXPECT_EQ(out.attachments[0].props.GetText(PR_ATTACH_LONG_FILENAME), L"report.txt");
    ASSERT_TRUE(out.attachments[1].embedded);
    EXPECT_EQ(out.attachments[1].embedded->props.GetText(PR_SUBJECT), L"inner");
    EXPECT_EQ(out.attachments[1].props.GetInteger(PR_ATTACH_METHOD), ATTACH_EMBEDDED_MSG);
    EXPECT_EQ(back->Props().GetBool(PR_HASATTACH), true);
    EXPECT_NE(*back->Props().GetInteger(PR_MESSAGE_FLAGS) & MSGFLAG_HASATTACH, 0);
}

TEST_F(MessageTest, VanishedMessageIsNotFoundAndBadIdsAreInvalid) {
    Bytes id = AddMessage(inbox, L"gone soon");
    auto other = OpenStore(dir.File("store.qms"));
    ASSERT_EQ(other->DeleteMessage(id), S_OK);
    std::unique_ptr<Message> m;
    EXPECT_EQ(session->OpenMessage(id, &m), MAPI_E_NOT_FOUND);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(session->DeleteMessage(id), MAPI_E_NOT_FOUND);
    EXPECT_EQ(session->OpenMessage(Bytes{1, 2, 3}, &m), MAPI_E_INVALID_ENTRYID);
    EXPECT_EQ(session->OpenMessage(inbox.EntryId(), &m), MAPI_E_INVALID_ENTRYID);
    // An id of another store.
    Bytes foreign = MakeEntryId(win::NewGuid(), ObjectType::Message, 1);
    EXPECT_EQ(session->OpenMessage(foreign, &m), MAPI_E_NOT_FOUND);
}

TEST_F(MessageTest, SavingAMessageDeletedMeanwhileFails) {
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    ASSERT_EQ(m->Save(), S_OK);
    ASSERT_EQ(session->DeleteMessage(m->EntryId()), S_OK);
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"too late"));
    EXPECT_EQ(m->Save(), MAPI_E_NOT_FOUND);
    ULONG count = 99;
    ASSERT_EQ(inbox.GetContentCount(false, &count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(MessageTest, MoveKeepsEntryIdAndCopyGetsNewIdentity) {
    Folder drafts = DefaultFolderOf(*session, DefaultFolder::Drafts);
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"traveller"));
    ASSERT_EQ(m->Save(), S_OK);
    const Bytes id = m->EntryId();
    const Bytes searchKey = *m->Props().GetBinary(PR_SEARCH_KEY);
    ASSERT_EQ(m->MoveTo(drafts), S_OK);
    std::unique_ptr<Message> back;
    ASSERT_EQ(session->OpenMessage(id, &back), S_OK);
    EXPECT_EQ(back->FolderId(), drafts.Id());
    EXPECT_EQ(back->Props().GetBinary(PR_PARENT_ENTRYID), drafts.EntryId());

    std::unique_ptr<Message> copy;
    ASSERT_EQ(back->CopyTo(inbox, &copy), S_OK);
    EXPECT_NE(copy->EntryId(), id);
    EXPECT_NE(copy->Props().GetBinary(PR_SEARCH_KEY), searchKey);
    EXPECT_NE(copy->Props().GetBinary(PR_SOURCE_KEY), back->Props().GetBinary(PR_SOURCE_KEY));
    EXPECT_EQ(copy->Props().GetText(PR_SUBJECT), L"traveller");
    ULONG inInbox = 0, inDrafts = 0;
    inbox.GetContentCount(false, &inInbox);
    drafts.GetContentCount(false, &inDrafts);
    EXPECT_EQ(inInbox, 1u);
    EXPECT_EQ(inDrafts, 1u);
}

TEST_F(MessageTest, HiddenMessagesAreKeptApartFromNormalOnes) {
    std::unique_ptr<Message> hidden;
    ASSERT_EQ(inbox.CreateMessage(true, &hidden), S_OK);
    ASSERT_EQ(hidden->Save(), S_OK);
    AddMessage(inbox, L"normal");
    ULONG normal = 0, associated = 0;
    ASSERT_EQ(inbox.GetContentCount(false, &normal), S_OK);
    ASSERT_EQ(inbox.GetContentCount(true, &associated), S_OK);
    EXPECT_EQ(normal, 1u);
    EXPECT_EQ(associated, 1u);
    EXPECT_NE(*hidden->Props().GetInteger(PR_MESSAGE_FLAGS) & MSGFLAG_ASSOCIATED, 0);
    std::unique_ptr<Message> back;
    ASSERT_EQ(session->OpenMessage(hidden->EntryId(), &back), S_OK);
    EXPECT_TRUE(back->IsAssociated());
}

TEST_F(MessageTest, RemindersDueByTime) {
    const NamedProperty set = NamedProperty::ById(PSETID_Common, kLidReminderSet);
    const NamedProperty when = NamedProperty::ById(PSETID_Common, kLidReminderSignalTime);
    auto add = [&](bool on, ULONGLONG at) {
        std::unique_ptr<Message> m;
        EXPECT_EQ(inbox.CreateMessage(false, &m), S_OK);
        m->SetNamed(set, PropValue::Boolean(on));
        m->SetNamed(when, PropValue::SysTime(at));
        EXPECT_EQ(m->Save(), S_OK);
        return m->EntryId();
    };
    Bytes early = add(true, 1000);
    add(false, 1500);  // reminder off
    Bytes late = add(true, 3000);
    std::vector<Bytes> due;
    ASSERT_EQ(session->GetRemindersDue(2000, &due), S_OK);
    EXPECT_EQ(due, std::vector<Bytes>{early});
    ASSERT_EQ(session->GetRemindersDue(3000, &due), S_OK);
    EXPECT_EQ(due, (std::vector<Bytes>{early, late}));
    // Dismissing (reminder off) takes it out.
    std::unique_ptr<Message> m;
    ASSERT_EQ(session->OpenMessage(early, &m), S_OK);
    m->SetNamed(set, PropValue::Boolean(false));
    ASSERT_EQ(m->Save(), S_OK);
    ASSERT_EQ(session->GetRemindersDue(3000, &due), S_OK);
    EXPECT_EQ(due, std::vector<Bytes>{late});
}

TEST_F(MessageTest, SubmissionQueueDeleteAfterSubmitAndSentItems) {
    Folder outbox = DefaultFolderOf(*session, DefaultFolder::Outbox);
    Folder sent = DefaultFolderOf(*session, DefaultFolder::SentMail);
    auto make = [&](bool deleteAfter) {
        std::unique_ptr<Message> m;
        EXPECT_EQ(outbox.CreateMessage(false, &m), S_OK);
        PropertyBag r;
        r.Set(PR_DISPLAY_NAME, PropValue::Unicode(L"bob@example.org"));
        r.Set(PR_RECIPIENT_TYPE, PropValue::Long(MAPI_TO));
        m->Recipients().push_back(r);
        m->SetProp(PR_DELETE_AFTER_SUBMIT, PropValue::Boolean(deleteAfter));
        return m;
    };
    auto noRecipients = std::unique_ptr<Message>();
    ASSERT_EQ(outbox.CreateMessage(false, &noRecipients), S_OK);
    EXPECT_EQ(noRecipients->Submit(), MAPI_E_NO_RECIPIENTS);

    auto keep = make(false);
    auto drop = make(true);
    ASSERT_EQ(keep->Submit(), S_OK);
    ASSERT_EQ(drop->Submit(), S_OK);
    EXPECT_TRUE(keep->IsSubmitted());
    // A client cannot clear the submitted bit through the flags.
    keep->SetProp(PR_MESSAGE_FLAGS, PropValue::Long(0));
    EXPECT_TRUE(keep->IsSubmitted());
    std::vector<Bytes> queue;
    ASSERT_EQ(session->GetSubmittedMessages(&queue), S_OK);
    EXPECT_EQ(queue, (std::vector<Bytes>{keep->EntryId(), drop->EntryId()}));

    ASSERT_EQ(session->CompleteSubmission(keep->EntryId()), S_OK);
    ASSERT_EQ(session->CompleteSubmission(drop->EntryId()), S_OK);
    EXPECT_EQ(session->CompleteSubmission(keep->EntryId()), MAPI_E_NOT_IN_QUEUE);
    std::unique_ptr<Message> m;
    EXPECT_EQ(session->OpenMessage(drop->EntryId(), &m), MAPI_E_NOT_FOUND);
    ASSERT_EQ(session->OpenMessage(keep->EntryId(), &m), S_OK);
    EXPECT_EQ(m->FolderId(), sent.Id());
    EXPECT_EQ(*m->Props().GetInteger(PR_MESSAGE_FLAGS) & (MSGFLAG_SUBMIT | MSGFLAG_UNSENT), 0);
    ASSERT_EQ(session->GetSubmittedMessages(&queue), S_OK);
    EXPECT_TRUE(queue.empty());
}

TEST_F(MessageTest, RecipientsResolveAgainstTheAddressBook) {
    std::vector<AddressEntry> book = {
        {L"Anna Berg", L"anna@example.org", L"SMTP", {0xA1}},
        {L"Carl Dahl", L"carl@example.org", L"SMTP", {0xC1}},
    };
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    auto add = [&m](const std::wstring& name) {
        PropertyBag r;
        r.Set(PR_DISPLAY_NAME, PropValue::Unicode(name));
        m->Recipients().push_back(r);
    };
    add(L"anna berg");
    add(L"CARL@example.org");
    add(L"dora@example.org");
    add(L"Nobody");
    ULONG unresolved = 0;
    EXPECT_EQ(m->ResolveRecipients(book, &unresolved), MAPI_E_NOT_FOUND);
    EXPECT_EQ(unresolved, 1u);
    const auto& r = m->Recipients();
    EXPECT_EQ(r[0].GetText(PR_SMTP_ADDRESS), L"anna@example.org");
    EXPECT_EQ(r[0].GetText(PR_DISPLAY_NAME), L"Anna Berg");
    EXPECT_EQ(r[0].GetBinary(PR_ENTRYID), Bytes{0xA1});
    EXPECT_EQ(r[1].GetText(PR_DISPLAY_NAME), L"Carl Dahl");
    EXPECT_EQ(r[2].GetText(PR_SMTP_ADDRESS), L"dora@example.org");
    EXPECT_EQ(r[2].GetText(PR_ADDRTYPE), L"SMTP");
    EXPECT_FALSE(r[3].Has(PR_SMTP_ADDRESS));
}

// Recipients of an 8-bit message file carry PT_STRING8 texts: they resolve
// as the same texts in Unicode would.
TEST_F(MessageTest, EightBitRecipientsResolveLikeUnicodeOnes) {
    std::vector<AddressEntry> book = {{L"J\u00F6rg Ek", L"joerg@example.org", L"SMTP", {0xE1}}};
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    PropertyBag byName, byAddress;
    byName.Set(PR_DISPLAY_NAME, PropValue::String8("J\xF6rg Ek"));  // Windows-1252
    byAddress.Set(PR_DISPLAY_NAME, PropValue::String8("Erik"));
    byAddress.Set(PR_EMAIL_ADDRESS, PropValue::String8("erik@example.net"));
    m->Recipients() = {byName, byAddress};
    ULONG unresolved = 9;
    EXPECT_EQ(m->ResolveRecipients(book, &unresolved), S_OK);
    EXPECT_EQ(unresolved, 0u);
    const auto& r = m->Recipients();
    EXPECT_EQ(r[0].GetText(PR_SMTP_ADDRESS), L"joerg@example.org");
    EXPECT_EQ(r[0].GetBinary(PR_ENTRYID), Bytes{0xE1});
    EXPECT_EQ(r[1].GetText(PR_SMTP_ADDRESS), L"erik@example.net");
    EXPECT_EQ(r[1].GetString8(PR_DISPLAY_NAME), "Erik") << "a name it has is kept";
}

}  // namespace
}  // namespace store
