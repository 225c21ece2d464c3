#include "platform/outlook/OutlookApplication.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include <unistd.h>

#include "platform/com/ComObject.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/com/OleObject.h"
#include "platform/mapi/PropTags.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Profile.h"
#include "platform/store/Session.h"
#include "platform/win/Threads.h"

namespace {

using outlook::OutlookApplication;
using outlook::QueuedUiDispatcher;

// Records each event it hears: the DISPID, the thread it ran on and, for an
// item argument, the item's subject.
class RecordingSink final : public com::ComObject<RecordingSink, IDispatch> {
public:
    struct Event {
        DISPID id;
        std::thread::id thread;
        std::wstring subject;
        CComPtr<IDispatch> firstArg, secondArg;
    };
    std::function<void(DISPID, DISPPARAMS*)> onEvent;

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        Event e{id, std::this_thread::get_id(), {}, nullptr, nullptr};
        // Arguments arrive last first.
        if (params && params->cArgs >= 1 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
            e.firstArg = params->rgvarg[params->cArgs - 1].pdispVal;
            CComVariant subject;
            if (SUCCEEDED(com::GetProperty(e.firstArg, outlook::dispid::kSubject, &subject)) &&
                subject.vt == VT_BSTR)
                e.subject = subject.bstrVal ? subject.bstrVal : L"";
        }
        if (params && params->cArgs >= 2 && params->rgvarg[0].vt == VT_DISPATCH)
            e.secondArg = params->rgvarg[0].pdispVal;
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(e);
        }
        if (onEvent)
            onEvent(id, params);
        return S_OK;
    }
    std::vector<Event> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

std::wstring Hex(const store::Bytes& bytes) {
    std::wstring text;
    for (BYTE b : bytes) {
        text.push_back(L"0123456789ABCDEF"[b >> 4]);
        text.push_back(L"0123456789ABCDEF"[b & 15]);
    }
    return text;
}

std::wstring Text(const CComBSTR& b) {
    return std::wstring(b.View());
}

class OutlookTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = std::filesystem::temp_directory_path() /
                ("qm-outlook-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(m_dir);
        std::filesystem::create_directories(m_dir);
        m_storePath = (m_dir / "mailbox.qst").string();
        store::StoreOptions options;
        options.displayName = L"Personal Folders";
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Create(m_storePath, options, &session), S_OK);
        session.reset();
        Start();
    }
    void TearDown() override {
        m_app.reset();
        std::filesystem::remove_all(m_dir);
    }
    void Start() {
        m_app.reset();
        outlook::ApplicationOptions options;
        options.profile.profileName = L"Outlook";
        options.profile.stores.push_back({m_storePath, true});
        options.ui = m_ui;
        ASSERT_EQ(OutlookApplication::Create(options, &m_app), S_OK);
        m_ns = m_app->NameSpace();
    }
    MAPIFolderPtr Default(OlDefaultFolders role) { return m_ns->GetDefaultFolder(role); }

    std::filesystem::path m_dir;
    std::string m_storePath;
    std::shared_ptr<QueuedUiDispatcher> m_ui = std::make_shared<QueuedUiDispatcher>();
    std::unique_ptr<OutlookApplication> m_app;
    _NameSpacePtr m_ns;
};

TEST_F(OutlookTest, NamespaceGivesDefaultFoldersAndFindsThemAgainById) {
    _NameSpace* ns = nullptr;
    EXPECT_EQ(m_app->Application()->GetNamespace(CComBSTR(L"mapi"), &ns), S_OK);
    ASSERT_NE(ns, nullptr);
    EXPECT_EQ(static_cast<IUnknown*>(ns), static_cast<IUnknown*>(m_ns.p));
    ns->Release();
    EXPECT_EQ(m_app->Application()->GetNamespace(CComBSTR(L"OTHER"), &ns), E_INVALIDARG);
    EXPECT_EQ(ns, nullptr);

    const struct {
        OlDefaultFolders role;
        OlItemType itemType;
        const wchar_t* messageClass;
    } cases[] = {
        {olFolderDeletedItems, olMailItem, L"IPM.Note"},
        {olFolderOutbox, olMailItem, L"IPM.Note"},
        {olFolderSentMail, olMailItem, L"IPM.Note"},
        {olFolderInbox, olMailItem, L"IPM.Note"},
        {olFolderCalendar, olAppointmentItem, L"IPM.Appointment"},
        {olFolderContacts, olContactItem, L"IPM.Contact"},
        {olFolderJournal, olJournalItem, L"IPM.Activity"},
        {olFolderNotes, olNoteItem, L"IPM.StickyNote"},
        {olFolderTasks, olTaskItem, L"IPM.Task"},
        {olFolderDrafts, olMailItem, L"IPM.Note"},
    };
    std::vector<std::wstring> seen;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.role);
        MAPIFolderPtr folder = Default(c.role);
        ASSERT_TRUE(folder);
        EXPECT_EQ(Text(folder->GetName()),
                  store::DefaultFolderName(static_cast<store::DefaultFolder>(c.role)));
        EXPECT_EQ(folder->GetDefaultItemType(), c.itemType);
        EXPECT_EQ(Text(folder->GetDefaultMessageClass()), c.messageClass);
        CComBSTR entryId = folder->GetEntryID();
        CComBSTR storeId = folder->GetStoreID();
        EXPECT_EQ(entryId.Length(), 64u);  // 32 bytes as hex
        seen.push_back(Text(entryId));
        MAPIFolderPtr again = m_ns->GetFolderFromID(entryId, CComVariant(storeId.m_str));
        EXPECT_EQ(Text(again->GetEntryID()), Text(entryId));
        EXPECT_EQ(Text(again->GetName()), Text(folder->GetName()));
        // Lower-case id texts and a missing store id name the same folder.
        std::wstring lower = Text(entryId);
        for (auto& ch : lower)
            ch = static_cast<wchar_t>(std::towlower(ch));
        MAPIFolderPtr third = m_ns->GetFolderFromID(lower.c_str(), MissingArgument());
        EXPECT_EQ(Text(third->GetEntryID()), Text(entryId));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end()) << "ids must differ";

    MAPIFolder* none = nullptr;
    EXPECT_EQ(m_ns->GetDefaultFolder(static_cast<OlDefaultFolders>(7), &none), E_INVALIDARG);
    EXPECT_EQ(m_ns->GetFolderFromID(CComBSTR(L"XYZ"), MissingArgument(), &none), E_INVALIDARG);
    // An id of a store that is not in the profile.
    std::wstring foreign = Text(Default(olFolderInbox)->GetEntryID());
    foreign[10] = foreign[10] == L'0' ? L'1' : L'0';
    EXPECT_EQ(m_ns->GetFolderFromID(CComBSTR(foreign.c_str()), MissingArgument(), &none),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

// The members the add-in reads beside the folders: the client's version
// text, the application behind the namespace, and an item's HTML body,
// which a new client process reads back as it was saved.
TEST_F(OutlookTest, VersionApplicationOfTheNamespaceAndHtmlBody) {
    std::wstring version = Text(m_app->Application()->GetVersion());
    EXPECT_EQ(version, L"14.0.0.7015");
    EXPECT_EQ(static_cast<IUnknown*>(m_ns->GetApplication()),
              static_cast<IUnknown*>(m_app->Application()));
    EXPECT_EQ(static_cast<IUnknown*>(Default(olFolderInbox)->GetApplication()),
              static_cast<IUnknown*>(m_app->Application()));

    IDispatchPtr item;
    ASSERT_EQ(Default(olFolderInbox)->GetItems()->Add(MissingArgument(), &item), S_OK);
    _MailItemPtr mail(static_cast<IUnknown*>(item));
    const std::wstring html = L"<p>Gr\u00FC\u00DFe &amp; \u65E5</p>";
    mail->PutHTMLBody(html.c_str());
    mail->PutBody(L"plain");
    ASSERT_EQ(mail->Save(), S_OK);
    CComBSTR entryId = mail->GetEntryID();
    item.Release();
    mail.Release();
    Start();
    CComPtr<IDispatch> found;
    ASSERT_EQ(m_app->GetItemFromID(std::wstring(entryId.View()), &found), S_OK);
    _MailItemPtr again(static_cast<IUnknown*>(found));
    ASSERT_TRUE(again);
    EXPECT_EQ(Text(again->GetHTMLBody()), html);
    EXPECT_EQ(Text(again->GetBody()), L"plain");
    CComVariant late;
    ASSERT_EQ(com::GetProperty(again, outlook::dispid::kHTMLBody, &late), S_OK);
    EXPECT_EQ(std::wstring(late.bstrVal), html);
}

TEST_F(OutlookTest, FoldersAddCountAndItemByIndexOrName) {
    MAPIFolderPtr root(static_cast<IUnknown*>(Default(olFolderInbox)->GetParent()));
    ASSERT_TRUE(root);
    _FoldersPtr folders = root->GetFolders();
    LONG before = folders->GetCount();
    EXPECT_EQ(before, 10);

    MAPIFolderPtr added = folders->Add(L"Quillmere");
    EXPECT_EQ(folders->GetCount(), before + 1);
    EXPECT_EQ(added->GetDefaultItemType(), olMailItem);  // the top folder's kind
    MAPIFolderPtr byName = folders->Item(CComVariant(L"QUILLMERE"));
    EXPECT_EQ(Text(byName->GetEntryID()), Text(added->GetEntryID()));
    bool found = false;
    for (LONG i = 1; i <= folders->GetCount(); ++i) {
        MAPIFolderPtr f = folders->Item(CComVariant(i));
        if (Text(f->GetName()) == L"Quillmere") {
            found = true;
            EXPECT_EQ(Text(f->GetEntryID()), Text(added->GetEntryID()));
        }
    }
    EXPECT_TRUE(found);
    // Its parent is the folder it was added to.
    MAPIFolderPtr parent(static_cast<IUnknown*>(added->GetParent()));
    EXPECT_EQ(Text(parent->GetEntryID()), Text(root->GetEntryID()));

    MAPIFolder* f = nullptr;
    EXPECT_EQ(folders->Add(CComBSTR(L"quillmere"), MissingArgument(), &f), MAPI_E_COLLISION);
    EXPECT_EQ(folders->Item(CComVariant(LONG{0}), &f), DISP_E_BADINDEX);
    EXPECT_EQ(folders->Item(CComVariant(before + 2), &f), DISP_E_BADINDEX);
    EXPECT_EQ(folders->Item(CComVariant(L"absent"), &f), MAPI_E_NOT_FOUND);
    // A typed subfolder takes that kind's class.
    MAPIFolderPtr cal;
    ASSERT_EQ(folders->Add(CComBSTR(L"Shared Calendar"), CComVariant(LONG{olFolderCalendar}), &cal),
              S_OK);
    EXPECT_EQ(cal->GetDefaultItemType(), olAppointmentItem);

    EXPECT_EQ(Default(olFolderInbox)->Delete(), MAPI_E_NO_ACCESS);
    EXPECT_EQ(root->Delete(), MAPI_E_NO_ACCESS);
    ASSERT_EQ(added->Delete(), S_OK);
    EXPECT_EQ(folders->GetCount(), before + 1);
    BSTR name = nullptr;
    EXPECT_EQ(added->get_Name(&name), MAPI_E_NOT_FOUND);
}

// A sink advised on an Items collection, and what it heard.
struct AdvisedItems {
    _ItemsPtr items;
    CComPtr<RecordingSink> sink = com::Make<RecordingSink>();
    DWORD cookie = 0;
};

AdvisedItems Advise(MAPIFolder* folder) {
    AdvisedItems a;
    a.items = folder->GetItems();
    EXPECT_EQ(com::Advise(a.items, IID_ItemsEvents, static_cast<IDispatch*>(a.sink), &a.cookie),
              S_OK);
    return a;
}

TEST_F(OutlookTest, ItemEventsForObjectModelChangesArriveOnTheUiThread) {
    MAPIFolderPtr inbox = Default(olFolderInbox);
    AdvisedItems advised = Advise(inbox);

    IDispatchPtr item;
    ASSERT_EQ(advised.items->Add(CComVariant(L"IPM.Note"), &item), S_OK);
    _MailItemPtr mail(static_cast<IUnknown*>(item));
    ASSERT_TRUE(mail);
    mail->PutSubject(L"first");
    ASSERT_EQ(mail->Save(), S_OK);
    // Nothing is raised inside the write; only the UI thread's pump delivers.
    EXPECT_TRUE(advised.sink->Events().empty());
    EXPECT_EQ(m_ui->RunPending(), 1);
    mail->PutSubject(L"second");
    ASSERT_EQ(mail->Save(), S_OK);
    m_ui->RunPending();
    ASSERT_EQ(mail->Delete(), S_OK);
    m_ui->RunPending();

    auto events = advised.sink->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, outlook::dispid::kEventItemAdd);
    EXPECT_EQ(events[0].subject, L"first");
    EXPECT_EQ(events[1].id, outlook::dispid::kEventItemChange);
    EXPECT_EQ(events[1].subject, L"second");
    EXPECT_EQ(events[2].id, outlook::dispid::kEventItemRemove);
    for (const auto& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    EXPECT_EQ(advised.items->GetCount(), 0);
}

TEST_F(OutlookTest, ItemEventsForAnotherSessionsChangesOnAnotherThread) {
    MAPIFolderPtr inbox = Default(olFolderInbox);
    AdvisedItems advised = Advise(inbox);
    AdvisedItems drafts = Advise(Default(olFolderDrafts));

    std::thread writer([&] {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_storePath, &session), S_OK);
        store::Folder folder;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &folder), S_OK);
        std::unique_ptr<store::Message> message;
        ASSERT_EQ(folder.CreateMessage(false, &message), S_OK);
        message->SetProp(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(L"IPM.Note"));
        message->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L"from afar"));
        ASSERT_EQ(message->Save(), S_OK);
        message->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L"changed afar"));
        ASSERT_EQ(message->Save(), S_OK);
        ASSERT_EQ(session->DeleteMessage(message->EntryId()), S_OK);
    });
    writer.join();
    EXPECT_TRUE(advised.sink->Events().empty());
    m_ui->RunPending();

    auto events = advised.sink->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, outlook::dispid::kEventItemAdd);
    EXPECT_EQ(events[1].id, outlook::dispid::kEventItemChange);
    EXPECT_EQ(events[2].id, outlook::dispid::kEventItemRemove);
    // The items are taken as each change left them, although the item was
    // gone before the UI thread delivered.
    EXPECT_EQ(events[0].subject, L"from afar");
    EXPECT_EQ(events[1].subject, L"changed afar");
    for (const auto& e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    EXPECT_TRUE(drafts.sink->Events().empty()) << "another folder's sink heard the Inbox";
}

TEST_F(OutlookTest, ItemEventsCarryTheItemWhileItExists) {
    AdvisedItems advised = Advise(Default(olFolderInbox));
    std::thread writer([&] {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_storePath, &session), S_OK);
        store::Folder folder;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &folder), S_OK);
        std::unique_ptr<store::Message> message;
        ASSERT_EQ(folder.CreateMessage(false, &message), S_OK);
        message->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L"kept"));
        ASSERT_EQ(message->Save(), S_OK);
    });
    writer.join();
    m_ui->RunPending();
    auto events = advised.sink->Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].subject, L"kept");
    CComVariant parent;
    ASSERT_EQ(com::GetProperty(events[0].firstArg, outlook::dispid::kParent, &parent), S_OK);
    MAPIFolderPtr folder(static_cast<IUnknown*>(parent.pdispVal));
    EXPECT_EQ(Text(folder->GetName()), L"Inbox");
}

TEST_F(OutlookTest, UnadviseStopsItemEvents) {
    AdvisedItems advised = Advise(Default(olFolderInbox));
    ASSERT_EQ(com::Unadvise(advised.items, IID_ItemsEvents, advised.cookie), S_OK);
    IDispatchPtr item;
    ASSERT_EQ(advised.items->Add(MissingArgument(), &item), S_OK);
    ASSERT_EQ(_MailItemPtr(static_cast<IUnknown*>(item))->Save(), S_OK);
    m_ui->RunPending();
    EXPECT_TRUE(advised.sink->Events().empty());
    EXPECT_EQ(com::Unadvise(advised.items, IID_ItemsEvents, advised.cookie),
              CONNECT_E_NOCONNECTION);
}

TEST_F(OutlookTest, ThrowingFormsRaiseTheHresult) {
    try {
        m_ns->GetDefaultFolder(static_cast<OlDefaultFolders>(99));
        FAIL() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_INVALIDARG);
    }
    MAPIFolderPtr gone = Default(olFolderInbox)->GetFolders()->Add(L"Temporary");
    CComBSTR id = gone->GetEntryID();
    ASSERT_EQ(gone->Delete(), S_OK);
    try {
        m_ns->GetFolderFromID(id, MissingArgument());
        FAIL() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), MAPI_E_NOT_FOUND);
    }
    EXPECT_THROW(gone->GetName(), _com_error);
}

TEST_F(OutlookTest, LateBoundMembersByDispid) {
    MAPIFolderPtr inbox = Default(olFolderInbox);
    IDispatchPtr item;
    ASSERT_EQ(inbox->GetItems()->Add(MissingArgument(), &item), S_OK);
    ASSERT_EQ(_MailItemPtr(static_cast<IUnknown*>(item))->Save(), S_OK);

    CComVariant entryId, parent, storeId, name, mapiObject;
    ASSERT_EQ(com::GetProperty(item, outlook::dispid::kEntryID, &entryId), S_OK);
    ASSERT_EQ(entryId.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(entryId.bstrVal),
              Text(_MailItemPtr(static_cast<IUnknown*>(item))->GetEntryID()));
    ASSERT_EQ(com::GetProperty(item, outlook::dispid::kParent, &parent), S_OK);
    ASSERT_EQ(parent.vt, VT_DISPATCH);
    ASSERT_EQ(com::GetProperty(parent.pdispVal, outlook::dispid::kStoreID, &storeId), S_OK);
    EXPECT_EQ(std::wstring(storeId.bstrVal), Text(inbox->GetStoreID()));
    ASSERT_EQ(com::GetProperty(parent.pdispVal, outlook::dispid::kName, &name), S_OK);
    EXPECT_EQ(std::wstring(name.bstrVal), L"Inbox");

    ASSERT_EQ(com::GetProperty(static_cast<IDispatch*>(m_ns.p), outlook::dispid::kMAPIOBJECT,
                               &mapiObject),
              S_OK);
    ASSERT_EQ(mapiObject.vt, VT_UNKNOWN);
    CComQIPtr<IQmMapiSession> session(mapiObject.punkVal);
    ASSERT_TRUE(session);
    outlook::MapiProfileInfo info;
    ASSERT_EQ(session->GetProfileInfo(&info), S_OK);
    EXPECT_EQ(info.profileName, L"Outlook");
    ASSERT_EQ(info.stores.size(), 1u);
    EXPECT_EQ(info.stores[0].hostPath, m_storePath);

    // The item's MAPI object shares the item's unsaved state.
    CComVariant itemObject;
    ASSERT_EQ(com::GetProperty(item, outlook::dispid::kMAPIOBJECT, &itemObject), S_OK);
    CComQIPtr<IQmMapiMessage> message(itemObject.punkVal);
    ASSERT_TRUE(message);
    _MailItemPtr(static_cast<IUnknown*>(item))->PutSubject(L"unsaved");
    std::wstring seen;
    ASSERT_EQ(message->AccessMessage([&](store::Message& m) {
        seen = m.Props().GetText(mapi::PR_SUBJECT).value_or(L"");
        return S_OK;
    }),
              S_OK);
    EXPECT_EQ(seen, L"unsaved");

    CComVariant none;
    EXPECT_EQ(com::GetProperty(item, 0x7777, &none), DISP_E_MEMBERNOTFOUND);
    OLECHAR* names[] = {const_cast<OLECHAR*>(L"entryid")};
    DISPID id = 0;
    EXPECT_EQ(item->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    EXPECT_EQ(id, outlook::dispid::kEntryID);
    // Put by DISPID.
    ASSERT_EQ(com::PutProperty(item, outlook::dispid::kSubject, CComVariant(L"late")), S_OK);
    EXPECT_EQ(Text(_MailItemPtr(static_cast<IUnknown*>(item))->GetSubject()), L"late");
}

// Every late-bound getter answers what its early-bound member gives, under
// either compiler: the value is read only after the getter wrote it.
TEST_F(OutlookTest, LateBoundGettersAnswerWhatTheMembersGive) {
    MAPIFolderPtr inbox = Default(olFolderInbox);
    IDispatchPtr item;
    ASSERT_EQ(inbox->GetItems()->Add(MissingArgument(), &item), S_OK);
    _MailItemPtr mail(static_cast<IUnknown*>(item));
    mail->PutSubject(L"Late subject");
    mail->PutBody(L"Late body");
    mail->PutCategories(L"Blue");
    ASSERT_EQ(mail->Save(), S_OK);

    IDispatch* application = m_app->Application();
    IDispatch* ns = static_cast<IDispatch*>(m_ns.p);
    IDispatch* folder = static_cast<IDispatch*>(inbox.p);
    struct Case {
        IDispatch* object;
        DISPID id;
        std::wstring expected;
    };
    const Case cases[] = {
        {application, outlook::dispid::kVersion, Text(m_app->Application()->GetVersion())},
        {ns, outlook::dispid::kCurrentProfileName, L"Outlook"},
        {folder, outlook::dispid::kName, L"Inbox"},
        {folder, outlook::dispid::kEntryID, Text(inbox->GetEntryID())},
        {folder, outlook::dispid::kStoreID, Text(inbox->GetStoreID())},
        {folder, outlook::dispid::kDefaultMessageClass, L"IPM.Note"},
        {item, outlook::dispid::kEntryID, Text(mail->GetEntryID())},
        {item, outlook::dispid::kMessageClass, L"IPM.Note"},
        {item, outlook::dispid::kSubject, L"Late subject"},
        {item, outlook::dispid::kBody, L"Late body"},
        {item, outlook::dispid::kCategories, L"Blue"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "dispid " << c.id);
        CComVariant v;
        ASSERT_EQ(com::GetProperty(c.object, c.id, &v), S_OK);
        ASSERT_EQ(v.vt, VT_BSTR);
        ASSERT_NE(v.bstrVal, nullptr);
        EXPECT_EQ(std::wstring(v.bstrVal), c.expected);
    }

    // Object getters: the item's parent is the inbox, the inbox's items hold the item.
    CComVariant parent, items, count;
    ASSERT_EQ(com::GetProperty(item, outlook::dispid::kParent, &parent), S_OK);
    ASSERT_EQ(parent.vt, VT_DISPATCH);
    ASSERT_NE(parent.pdispVal, nullptr);
    CComVariant parentId;
    ASSERT_EQ(com::GetProperty(parent.pdispVal, outlook::dispid::kEntryID, &parentId), S_OK);
    EXPECT_EQ(std::wstring(parentId.bstrVal), Text(inbox->GetEntryID()));
    ASSERT_EQ(com::GetProperty(folder, outlook::dispid::kItems, &items), S_OK);
    ASSERT_EQ(items.vt, VT_DISPATCH);
    ASSERT_NE(items.pdispVal, nullptr);
    ASSERT_EQ(com::GetProperty(items.pdispVal, outlook::dispid::kCount, &count), S_OK);
    ASSERT_EQ(count.vt, VT_I4);
    EXPECT_EQ(count.lVal, 1);
}

TEST_F(OutlookTest, OptionsPagesAddRecordsThePagesHandlersAdd) {
    auto appSink = com::Make<RecordingSink>();
    appSink->onEvent = [](DISPID id, DISPPARAMS* params) {
        if (id != outlook::dispid::kEventOptionsPagesAdd)
            return;
        PropertyPagesPtr pages(static_cast<IUnknown*>(params->rgvarg[0].pdispVal));
        pages->Add(CComVariant(L"Quillmere.ExtProppage"), L"Quillmere");
    };
    auto nsSink = com::Make<RecordingSink>();
    nsSink->onEvent = [](DISPID, DISPPARAMS* params) {
        PropertyPagesPtr pages(static_cast<IUnknown*>(params->rgvarg[1].pdispVal));
        pages->Add(CComVariant(L"Quillmere.QuillmerePropPage"), L"Quillmere");
    };
    DWORD c1 = 0, c2 = 0;
    ASSERT_EQ(com::Advise(m_app->Application(), IID_ApplicationEvents_11,
                          static_cast<IDispatch*>(appSink), &c1),
              S_OK);
    ASSERT_EQ(com::Advise(m_ns, IID_NameSpaceEvents, static_cast<IDispatch*>(nsSink), &c2), S_OK);

    outlook::PropertyPageList* view = nullptr;
    CComPtr<PropertyPages> pages = outlook::CreatePropertyPages(&view);
    m_app->FireOptionsPagesAdd(pages);
    auto entries = view->Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::wstring(entries[0].page.bstrVal), L"Quillmere.ExtProppage");
    EXPECT_EQ(entries[0].title, L"Quillmere");

    MAPIFolderPtr calendar = Default(olFolderCalendar);
    outlook::PropertyPageList* folderView = nullptr;
    CComPtr<PropertyPages> folderPages = outlook::CreatePropertyPages(&folderView);
    m_app->FireFolderOptionsPagesAdd(folderPages, calendar);
    ASSERT_EQ(folderView->Entries().size(), 1u);
    EXPECT_EQ(std::wstring(folderView->Entries()[0].page.bstrVal), L"Quillmere.QuillmerePropPage");
    ASSERT_EQ(nsSink->Events().size(), 1u);
    MAPIFolderPtr passed(static_cast<IUnknown*>(nsSink->Events()[0].secondArg.p));
    EXPECT_EQ(Text(passed->GetEntryID()), Text(calendar->GetEntryID()));

    EXPECT_EQ(pages->Add(CComVariant(LONG{5}), CComBSTR(L"x")), E_INVALIDARG);
    EXPECT_EQ(pages->Add(CComVariant(L""), CComBSTR(L"x")), E_INVALIDARG);
    EXPECT_EQ(view->Entries().size(), 1u);

    int changes = 0;
    CComPtr<PropertyPageSite> site = outlook::CreatePropertyPageSite([&] { ++changes; });
    site->OnStatusChange();
    site->OnStatusChange();
    EXPECT_EQ(changes, 2);
    // The site is the client site a page control is given, and leads back
    // to the page site.
    CComQIPtr<IOleClientSite> clientSite(site);
    ASSERT_TRUE(clientSite);
    CComQIPtr<PropertyPageSite> again(clientSite);
    ASSERT_TRUE(again);
    again->OnStatusChange();
    EXPECT_EQ(changes, 3);
}

TEST_F(OutlookTest, SavedRuleFilesMatchingMailsIntoItsFolder) {
    MAPIFolderPtr root(static_cast<IUnknown*>(Default(olFolderInbox)->GetParent()));
    MAPIFolderPtr target = root->GetFolders()->Add(L"Quillmere");
    {
        _RulesPtr rules = m_ns->GetDefaultStore()->GetRules();
        EXPECT_EQ(rules->GetCount(), 0);
        _RulePtr rule = rules->Create(L"{QUILLMERE}", olRuleReceive);
        _TextRuleConditionPtr subject = rule->GetConditions()->GetSubject();
        ASSERT_EQ(subject->put_Enabled(VARIANT_TRUE), S_OK);
        SAFEARRAY* texts = SafeArrayCreateVector(VT_VARIANT, 0, 2);
        LONG i0 = 0, i1 = 1;
        CComVariant t0(L">-Quillmere-<"), t1(L"QMRX$BASICSYNCPACKET:");
        SafeArrayPutElement(texts, &i0, &t0);
        SafeArrayPutElement(texts, &i1, &t1);
        CComVariant array;
        array.vt = VT_ARRAY | VT_VARIANT;
        array.parray = texts;
        ASSERT_EQ(subject->put_Text(array), S_OK);
        _MoveOrCopyRuleActionPtr move = rule->GetActions()->GetMoveToFolder();
        ASSERT_EQ(move->put_Folder(target), S_OK);
        ASSERT_EQ(move->put_Enabled(VARIANT_TRUE), S_OK);
        // Not saved yet: the store still files nothing.
        store::Bytes folder;
        EXPECT_EQ(m_app->FindRuleTarget(L">-Quillmere-< x", L"", &folder), S_FALSE);
        rules->Save();
    }
    // A new client process reads the saved rule.
    Start();
    _RulesPtr rules = m_ns->GetDefaultStore()->GetRules();
    ASSERT_EQ(rules->GetCount(), 1);
    _RulePtr rule = rules->Item(CComVariant(LONG{1}));
    EXPECT_EQ(Text(rule->GetName()), L"{QUILLMERE}");
    CComVariant texts;
    ASSERT_EQ(rule->GetConditions()->GetSubject()->get_Text(&texts), S_OK);
    ASSERT_EQ(texts.vt, VT_ARRAY | VT_VARIANT);
    LONG high = -1;
    SafeArrayGetUBound(texts.parray, 1, &high);
    EXPECT_EQ(high, 1);

    const struct {
        const wchar_t* subject;
        bool filed;
    } cases
        [] =
            {
                {L">-Quillmere-<Share:abc", true},
                {L"Re: >-quillmere-< notice", true},  // case-insensitive
                {L"QMRX$BASICSYNCPACKET:42", true},
                {L"Quillmere newsletter", false},
                {L"", false},
            };
    MAPIFolderPtr filed = m_ns->GetFolderFromID(target->GetEntryID(), MissingArgument());
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.subject, c.subject + wcslen(c.subject)));
        store::Bytes folder;
        HRESULT hr = m_app->FindRuleTarget(c.subject, L"", &folder);
        EXPECT_EQ(hr, c.filed ? S_OK : S_FALSE);
        if (c.filed) {
            EXPECT_EQ(Hex(folder), Text(target->GetEntryID()));
        }
    }

    // An arriving mail is moved by the rule.
    std::unique_ptr<store::Session> session;
    ASSERT_EQ(store::Session::Open(m_storePath, &session), S_OK);
    store::Folder inbox;
    ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox), S_OK);
    std::unique_ptr<store::Message> mail;
    ASSERT_EQ(inbox.CreateMessage(false, &mail), S_OK);
    mail->SetProp(mapi::PR_SUBJECT, mapi::PropValue::Unicode(L">-Quillmere-< sync"));
    ASSERT_EQ(mail->Save(), S_OK);
    ASSERT_EQ(m_app->ApplyRules(mail->EntryId(), nullptr), S_OK);
    EXPECT_EQ(filed->GetItems()->GetCount(), 1);
    EXPECT_EQ(Default(olFolderInbox)->GetItems()->GetCount(), 0);

    // Removing and saving leaves no rule.
    ASSERT_EQ(rules->Remove(CComVariant(LONG{1})), S_OK);
    rules->Save();
    EXPECT_EQ(m_ns->GetDefaultStore()->GetRules()->GetCount(), 0);
    store::Bytes none;
    EXPECT_EQ(m_app->FindRuleTarget(L">-Quillmere-<", L"", &none), S_FALSE);
}

TEST_F(OutlookTest, CreateItemOfJournalEntrySavesIntoJournal) {
    IDispatchPtr created = m_app->Application()->CreateItem(olJournalItem);
    _JournalItemPtr journal(static_cast<IUnknown*>(created));
    ASSERT_TRUE(journal);
    EXPECT_FALSE(_MailItemPtr(static_cast<IUnknown*>(created))) << "a journal entry is no mail";
    EXPECT_EQ(journal->GetEntryID().Length(), 0u);
    journal->PutSubject(L"Imported <= partner");
    journal->PutBody(L"details");
    journal->PutType(L"Task");
    journal->PutCategories(L"Quillmere-Journal; Other");
    ASSERT_EQ(journal->Save(), S_OK);
    CComBSTR entryId = journal->GetEntryID();
    EXPECT_EQ(entryId.Length(), 64u);

    MAPIFolderPtr folder = Default(olFolderJournal);
    EXPECT_EQ(folder->GetItems()->GetCount(), 1);
    IDispatchPtr again;
    ASSERT_EQ(m_app->GetItemFromID(Text(entryId), &again), S_OK);
    _JournalItemPtr read(static_cast<IUnknown*>(again));
    ASSERT_TRUE(read);
    EXPECT_EQ(Text(read->GetMessageClass()), L"IPM.Activity");
    EXPECT_EQ(Text(read->GetSubject()), L"Imported <= partner");
    EXPECT_EQ(Text(read->GetBody()), L"details");
    EXPECT_EQ(Text(read->GetType()), L"Task");
    EXPECT_EQ(Text(read->GetCategories()), L"Quillmere-Journal, Other");

    // A mail item goes to Drafts.
    _MailItemPtr mail(static_cast<IUnknown*>(m_app->Application()->CreateItem(olMailItem)));
    ASSERT_TRUE(mail);
    ASSERT_EQ(mail->Save(), S_OK);
    EXPECT_EQ(Default(olFolderDrafts)->GetItems()->GetCount(), 1);
    IDispatch* bad = nullptr;
    EXPECT_EQ(m_app->Application()->CreateItem(static_cast<OlItemType>(42), &bad), E_INVALIDARG);
}

TEST_F(OutlookTest, AppointmentTellsMeetingsApart) {
    IDispatchPtr item;
    ASSERT_EQ(Default(olFolderCalendar)->GetItems()->Add(MissingArgument(), &item), S_OK);
    _AppointmentItemPtr appointment(static_cast<IUnknown*>(item));
    ASSERT_TRUE(appointment);
    EXPECT_EQ(appointment->GetMeetingStatus(), olNonMeeting);
    ASSERT_EQ(appointment->put_MeetingStatus(olMeetingReceived), S_OK);
    DATE start = 46000.5;
    ASSERT_EQ(appointment->put_Start(start), S_OK);
    ASSERT_EQ(appointment->Save(), S_OK);
    IDispatchPtr again;
    ASSERT_EQ(m_app->GetItemFromID(Text(appointment->GetEntryID()), &again), S_OK);
    _AppointmentItemPtr read(static_cast<IUnknown*>(again));
    EXPECT_EQ(read->GetMeetingStatus(), olMeetingReceived);
    EXPECT_EQ(read->GetIsRecurring(), VARIANT_FALSE);
    DATE readStart = 0;
    ASSERT_EQ(read->get_Start(&readStart), S_OK);
    EXPECT_NEAR(readStart, start, 1.0 / 86400);
    CComVariant status;
    ASSERT_EQ(com::GetProperty(again, outlook::dispid::kMeetingStatus, &status), S_OK);
    EXPECT_EQ(status.lVal, olMeetingReceived);
}

TEST_F(OutlookTest, ActiveInspectorShowsTheOpenedItem) {
    EXPECT_FALSE(m_app->Application()->ActiveInspector());
    IDispatchPtr item;
    ASSERT_EQ(Default(olFolderCalendar)->GetItems()->Add(MissingArgument(), &item), S_OK);
    ASSERT_EQ(_AppointmentItemPtr(static_cast<IUnknown*>(item))->Save(), S_OK);
    ASSERT_EQ(m_app->OpenInspector(item, L"Meeting"), S_OK);
    _InspectorPtr inspector = m_app->Application()->ActiveInspector();
    ASSERT_TRUE(inspector);
    CComVariant entryId, parent, folderName;
    ASSERT_EQ(com::GetProperty(inspector->GetCurrentItem(), outlook::dispid::kEntryID, &entryId),
              S_OK);
    EXPECT_EQ(std::wstring(entryId.bstrVal),
              Text(_AppointmentItemPtr(static_cast<IUnknown*>(item))->GetEntryID()));
    ASSERT_EQ(com::GetProperty(inspector->GetCurrentItem(), outlook::dispid::kParent, &parent),
              S_OK);
    ASSERT_EQ(com::GetProperty(parent.pdispVal, outlook::dispid::kName, &folderName), S_OK);
    EXPECT_EQ(std::wstring(folderName.bstrVal), L"Calendar");
    m_app->CloseInspector();
    EXPECT_FALSE(m_app->Application()->ActiveInspector());
    EXPECT_EQ(Text(m_app->Application()->ActiveExplorer()->GetCaption()),
              L"Inbox - Microsoft Outlook");
}

// The object model belongs to the UI thread: a call from another thread is
// served, and told to the observer with the caller's thread.
TEST_F(OutlookTest, CallsFromAnotherThreadAreTold) {
    std::mutex lock;
    std::vector<DWORD> told;
    outlook::SetForeignThreadCallObserver([&](DWORD thread) {
        std::lock_guard guard(lock);
        told.push_back(thread);
    });
    struct Call {
        const char* name;
        std::function<void(OutlookApplication&)> make;
    };
    const Call calls[] = {
        {"ActiveInspector", [](OutlookApplication& app) { app.Application()->ActiveInspector(); }},
        {"CreateItem",
         [](OutlookApplication& app) { app.Application()->CreateItem(olJournalItem); }},
        {"Items",
         [](OutlookApplication& app) {
             MAPIFolderPtr inbox = app.NameSpace()->GetDefaultFolder(olFolderInbox);
             inbox->GetItems()->GetCount();
         }},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        told.clear();
        call.make(*m_app);
        EXPECT_TRUE(told.empty()) << "the UI thread's own call";
        DWORD worker = 0;
        std::thread other([&] {
            worker = GetCurrentThreadId();
            call.make(*m_app);
        });
        other.join();
        std::lock_guard guard(lock);
        ASSERT_FALSE(told.empty());
        for (DWORD thread : told)
            EXPECT_EQ(thread, worker);
    }
    outlook::SetForeignThreadCallObserver({});
}

TEST_F(OutlookTest, QuitRaisesQuitOnceOnTheUiThreadThenCallsTheHost) {
    auto sink = com::Make<RecordingSink>();
    DWORD cookie = 0;
    ASSERT_EQ(com::Advise(m_app->Application(), IID_ApplicationEvents_11,
                          static_cast<IDispatch*>(sink), &cookie),
              S_OK);
    int handled = 0;
    m_app->SetQuitHandler([&] { ++handled; });
    std::thread asker([&] { EXPECT_EQ(m_app->Application()->Quit(), S_OK); });
    asker.join();
    EXPECT_TRUE(sink->Events().empty());
    m_ui->RunPending();
    ASSERT_EQ(sink->Events().size(), 1u);
    EXPECT_EQ(sink->Events()[0].id, outlook::dispid::kEventQuit);
    EXPECT_EQ(sink->Events()[0].thread, std::this_thread::get_id());
    EXPECT_EQ(handled, 1);
    m_app->FireQuit();
    EXPECT_EQ(sink->Events().size(), 1u);

    m_app->FireNewMail();
    ASSERT_EQ(sink->Events().size(), 2u);
    EXPECT_EQ(sink->Events()[1].id, outlook::dispid::kEventNewMail);
}

TEST_F(OutlookTest, ComAddInConnectFalseDisconnects) {
    std::vector<bool> changes;
    COMAddInPtr addIn = m_app->AddComAddIn(L"Quillmere.Connect", L"Quillmere",
                                           [&](bool c) { changes.push_back(c); });
    EXPECT_EQ(addIn->GetConnect(), VARIANT_TRUE);
    COMAddInsPtr all = m_app->Application()->GetCOMAddIns();
    CComVariant index(L"quillmere.connect");
    COMAddIn* found = nullptr;
    ASSERT_EQ(all->Item(&index, &found), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(found), static_cast<IUnknown*>(addIn.p));
    found->Release();
    ASSERT_EQ(com::PutProperty(addIn, outlook::dispid::kConnect, CComVariant(false)), S_OK);
    addIn->PutConnect(VARIANT_FALSE);  // no change: no second call
    EXPECT_EQ(changes, std::vector<bool>{false});
    EXPECT_EQ(addIn->GetConnect(), VARIANT_FALSE);
}

TEST_F(OutlookTest, ObjectsServeSeveralThreadsAtOnce) {
    MAPIFolderPtr inbox = Default(olFolderInbox);
    _ItemsPtr items = inbox->GetItems();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                IDispatch* raw = nullptr;
                ASSERT_EQ(items->Add(MissingArgument(), &raw), S_OK);
                _MailItemPtr mail(static_cast<IUnknown*>(raw));
                raw->Release();
                std::wstring subject = L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i);
                mail->PutSubject(subject.c_str());
                ASSERT_EQ(mail->Save(), S_OK);
                EXPECT_EQ(Text(mail->GetSubject()), subject);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(items->GetCount(), 40);
    m_ui->RunPending();
}

}  // namespace

namespace {

// A write through the object model (which holds the object model's lock
// while the store tells its observers) racing writes of another session
// (whose observer call turns into events) must not deadlock.
TEST_F(OutlookTest, WritersOnBothSidesOfTheEventsDoNotDeadlock) {
    AdvisedItems advised = Advise(Default(olFolderInbox));
    constexpr int kWrites = 40;
    std::thread modelWriter([&] {
        for (int i = 0; i < kWrites; ++i) {
            IDispatch* raw = nullptr;
            ASSERT_EQ(advised.items->Add(MissingArgument(), &raw), S_OK);
            _MailItemPtr mail(static_cast<IUnknown*>(raw));
            raw->Release();
            ASSERT_EQ(mail->Save(), S_OK);
        }
    });
    std::thread storeWriter([&] {
        std::unique_ptr<store::Session> session;
        ASSERT_EQ(store::Session::Open(m_storePath, &session), S_OK);
        store::Folder folder;
        ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &folder), S_OK);
        for (int i = 0; i < kWrites; ++i) {
            std::unique_ptr<store::Message> message;
            ASSERT_EQ(folder.CreateMessage(false, &message), S_OK);
            ASSERT_EQ(message->Save(), S_OK);
        }
    });
    modelWriter.join();
    storeWriter.join();
    m_ui->RunPending();
    EXPECT_EQ(advised.sink->Events().size(), 2u * kWrites);
    EXPECT_EQ(advised.items->GetCount(), 2 * kWrites);
}

}  // namespace

namespace {

TEST(OutlookProfile, ApplicationOverAProfileFileOpensItsStores) {
    auto dir = std::filesystem::temp_directory_path() /
               ("qm-outlook-profile-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    store::Profile profile;
    profile.name = L"Work";
    store::ProfileStore archive;
    archive.file = "archive.qst";
    archive.displayName = L"Archive";
    store::ProfileStore mailbox;
    mailbox.file = "mailbox.qst";
    mailbox.displayName = L"Mailbox";
    mailbox.isDefault = true;
    profile.stores = {archive, mailbox};
    std::string path = (dir / "profile.ini").string();
    ASSERT_EQ(profile.Save(path), S_OK);
    ASSERT_EQ(profile.CreateMissingStores(path), S_OK);

    outlook::ApplicationOptions options;
    ASSERT_EQ(OutlookApplication::ProfileFromFile(path, &options.profile), S_OK);
    EXPECT_EQ(options.profile.profileName, L"Work");
    ASSERT_EQ(options.profile.stores.size(), 2u);
    EXPECT_FALSE(options.profile.stores[0].isDefault);
    EXPECT_TRUE(options.profile.stores[1].isDefault);
    options.ui = std::make_shared<QueuedUiDispatcher>();
    std::unique_ptr<OutlookApplication> app;
    ASSERT_EQ(OutlookApplication::Create(options, &app), S_OK);
    _NameSpacePtr ns = app->NameSpace();
    EXPECT_EQ(Text(ns->GetCurrentProfileName()), L"Work");
    EXPECT_EQ(Text(ns->GetDefaultStore()->GetDisplayName()), L"Mailbox");
    // A folder of the other store is found by its ids too.
    std::unique_ptr<store::Session> session;
    ASSERT_EQ(store::Session::Open(options.profile.stores[0].hostPath, &session), S_OK);
    store::Folder inbox;
    ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox), S_OK);
    MAPIFolderPtr folder = ns->GetFolderFromID(Hex(inbox.EntryId()).c_str(),
                                               CComVariant(Hex(session->Info().entryId)));
    EXPECT_EQ(Text(folder->GetStore()->GetDisplayName()), L"Archive");
    app.reset();
    session.reset();
    std::filesystem::remove_all(dir);

    outlook::MapiProfileInfo none;
    EXPECT_EQ(OutlookApplication::ProfileFromFile((dir / "absent.ini").string(), &none),
              MAPI_E_NOT_FOUND);
}

}  // namespace
