// Packet mails over the real helper library and a profile made for the test:
// parked mails are real message files (read back by python3-olefile), a
// packet carries every parked file of its directory to its recipients, and
// unpacking in the folder "Quillmere" restores each parked mail.
#include "Quillmere/exchange/PacketMails.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/ExchangeProfileFixture_test.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/win/Clock.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace {

using namespace exchangetest;

constexpr wchar_t kRecipients[] = L"bert@example.org;carl@example.org;";
constexpr ULONG kTagCustomBinary = 0x66010102;
constexpr ULONG kTagCustomLong = 0x66020003;

// Prints, one per line, the UTF-16LE streams named after the file.
constexpr char kReadStreams[] =
    "import olefile,sys\n"
    "o=olefile.OleFileIO(sys.argv[1])\n"
    "for s in sys.argv[2:]:\n"
    "    print(o.openstream(s).read().decode(\"utf-16-le\"))\n";
constexpr char kSubjectStream[] = "__substg1.0_0037001F";
constexpr char kBodyStream[] = "__substg1.0_1000001F";

class PacketMailsTest : public ExchangeProfileTest {
protected:
    std::wstring ProfileDir() { return m_temp + L"Ann"; }
    std::wstring RecipientDir(const std::wstring& recipients) {
        return ProfileDir() + L"\\" + PacketDirectoryName(recipients);
    }

    // A mail built in the Outbox as the senders leave it: addressed, saved.
    CComPtr<QMRMessage> OutboxMail(const std::wstring& subject, const std::wstring& body) {
        CComPtr<QMRMAPIFolder> outbox = DefaultFolder(kOutbox);
        CComPtr<QMRMessage> mail = AddMessage(outbox, subject, body);
        EXPECT_EQ(mail->PutTo(CComBSTR(kRecipients)), S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    // The regular files of a host directory, by name.
    static std::vector<std::string> FilesIn(const std::string& dir) {
        std::vector<std::string> names;
        if (!fs::is_directory(dir))
            return names;
        for (const auto& entry : fs::directory_iterator(dir))
            if (entry.is_regular_file())
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string ReadHost(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    void ClearOutbox() {
        CComPtr<QMRMAPIFolder> outbox = DefaultFolder(kOutbox);
        while (CountOf(outbox) > 0)
            ASSERT_EQ(ItemOf(outbox, 1)->Delete(0), S_OK);
    }

    // The bytes of every attachment of message, each through a file.
    std::multiset<std::string> AttachmentBytes(QMRMessage* message) {
        std::multiset<std::string> all;
        CComPtr<QMRAttachments> attachments;
        LONG count = 0;
        EXPECT_EQ(message->GetAttachments(&attachments), S_OK);
        attachments->GetCount(&count);
        for (LONG i = 1; i <= count; ++i) {
            CComPtr<QMRAttachment> attachment;
            EXPECT_EQ(attachments->Item(i, &attachment), S_OK);
            std::wstring path = m_temp + L"attachment.out";
            EXPECT_EQ(attachment->SaveAsFile(CComBSTR(path.c_str())), S_OK);
            all.insert(addintest::ReadHostFile(path));
        }
        return all;
    }

    static LONG AttachmentCount(QMRMessage* message) {
        CComPtr<QMRAttachments> attachments;
        LONG count = -1;
        if (SUCCEEDED(message->GetAttachments(&attachments)))
            attachments->GetCount(&count);
        return count;
    }

    // One parked message file, made by parking a real mail.
    std::string ParkedFileBytes() {
        CComPtr<QMRMessage> mail = OutboxMail(L"template", L"template body");
        EXPECT_EQ(
            saveMailInSpecialOutbox(m_engine.get(), mail, L"template@example.org;", Session()),
            S_OK);
        std::string dir = HostPath(RecipientDir(L"template@example.org;"));
        std::vector<std::string> files = FilesIn(dir);
        EXPECT_EQ(files.size(), 1u);
        std::string bytes = files.empty() ? std::string() : ReadHost(dir + "/" + files[0]);
        fs::remove_all(dir);
        return bytes;
    }

    CComPtr<QMRMAPIFolder> AddinFolder() {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(m_engine->FindOrCreateAddinFolder(Session(), Utils(), &folder), S_OK);
        return folder;
    }

    std::wstring Intro() {
        std::wstring intro;
        LoadString(AddinResourceModule(), syncmail::kIntroStringId, g_UILanguage.load(), intro);
        return intro;
    }
};

TEST_F(PacketMailsTest, ParkedMailIsAMessageFileInItsRecipientDirectoryAndLeavesTheOutbox) {
    CComPtr<QMRMessage> mail = OutboxMail(L"Park me", L"Body of the parked mail");
    ASSERT_EQ(CountOf(DefaultFolder(kOutbox)), 1);
    EXPECT_EQ(saveMailInSpecialOutbox(m_engine.get(), mail, kRecipients, Session()), S_OK);
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 0);
    EXPECT_EQ(m_engine->m_parkedMailCounter.load(), 1);

    std::string dir = HostPath(m_temp + L"Ann\\" + kRecipients);
    std::vector<std::string> files = FilesIn(dir);
    ASSERT_EQ(files.size(), 1u) << dir;
    EXPECT_TRUE(std::regex_match(files[0], std::regex("[0-9]+\\.msg"))) << files[0];
    EXPECT_EQ(RunPython(kReadStreams, {dir + "/" + files[0], kSubjectStream, kBodyStream}),
              "Park me\nBody of the parked mail\n");
}

TEST_F(PacketMailsTest, MailsParkedInOneMillisecondKeepTheirOwnFiles) {
    // The fixture's virtual clock stands still while this thread works.
    for (int i = 0; i < 3; ++i) {
        CComPtr<QMRMessage> mail = OutboxMail(L"Same tick " + std::to_wstring(i), L"b");
        win::SetTickCountForTesting(5000);
        EXPECT_EQ(saveMailInSpecialOutbox(m_engine.get(), mail, kRecipients, Session()), S_OK);
    }
    std::string dir = HostPath(RecipientDir(kRecipients));
    std::vector<std::string> files = FilesIn(dir);
    ASSERT_EQ(files.size(), 3u);
    std::set<std::string> subjects;
    for (const std::string& f : files)
        subjects.insert(RunPython(kReadStreams, {dir + "/" + f, kSubjectStream}));
    EXPECT_EQ(subjects, (std::set<std::string>{"Same tick 0\n", "Same tick 1\n", "Same tick 2\n"}));
    EXPECT_EQ(m_engine->m_parkedMailCounter.load(), 3);
}

TEST_F(PacketMailsTest, ParkingRefusesAMailWithoutRecipientsAndCountsIt) {
    CComPtr<QMRMessage> mail = OutboxMail(L"Nobody", L"b");
    EXPECT_EQ(saveMailInSpecialOutbox(m_engine.get(), mail, L"", Session()), E_INVALIDARG);
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 1);  // it leaves singly
    EXPECT_EQ(m_engine->m_parkedMailCounter.load(), 1);
    EXPECT_TRUE(FilesIn(HostPath(ProfileDir())).empty());
}

TEST_F(PacketMailsTest, PacketCarriesEveryParkedFileAndItsRecipients) {
    for (const wchar_t* subject : {L"one", L"two", L"three"})
        ASSERT_EQ(saveMailInSpecialOutbox(m_engine.get(), OutboxMail(subject, L"b"), kRecipients,
                                          Session()),
                  S_OK);
    std::string dir = HostPath(RecipientDir(kRecipients));
    std::multiset<std::string> parked;
    for (const std::string& f : FilesIn(dir))
        parked.insert(ReadHost(dir + "/" + f));
    ASSERT_EQ(parked.size(), 3u);

    sendPackedBasicSyncMSG(m_engine.get(), Session());
    CComPtr<QMRMAPIFolder> outbox = DefaultFolder(kOutbox);
    ASSERT_EQ(CountOf(outbox), 1);
    CComPtr<QMRMessage> packet = ItemOf(outbox, 1);
    std::wstring subject = Text(&QMRMessage::GetSubject, packet);
    EXPECT_EQ(subject.rfind(L"QMRX$BASICSYNCPACKET:", 0), 0u) << win::ToUtf8(subject);
    EXPECT_GT(subject.size(), 21u);
    EXPECT_NE(subject[21], L' ');
    EXPECT_EQ(Text(&QMRMessage::GetBody, packet), Intro());
    EXPECT_EQ(AttachmentBytes(packet), parked);

    CComPtr<QMRRecipients> recipients;
    ASSERT_EQ(packet->GetRecipients(&recipients), S_OK);
    LONG count = 0;
    recipients->GetCount(&count);
    std::set<std::wstring> addresses;
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRRecipient> recipient;
        CComBSTR address;
        ASSERT_EQ(recipients->Item(i, &recipient), S_OK);
        recipient->GetAddress(&address);
        addresses.insert(std::wstring(address));
    }
    EXPECT_EQ(addresses, (std::set<std::wstring>{L"bert@example.org", L"carl@example.org"}));

    CComVariant icon;
    ASSERT_EQ(
        packet->GetFields(CComVariant(static_cast<LONG>(syncmail::PR_ICON_INDEX), VT_I4), &icon),
        S_OK);
    EXPECT_EQ(icon.vt, VT_I4);
    EXPECT_EQ(icon.lVal, 0x202);
    VARIANT_BOOL submitted = VARIANT_TRUE;
    ASSERT_EQ(packet->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_FALSE);  // the outbox re-check sends it

    EXPECT_TRUE(fs::is_directory(dir));  // empty recipient directories stay
    EXPECT_TRUE(FilesIn(dir).empty());
}

TEST_F(PacketMailsTest, PacketsTakeAtMostTheCollectCountPlusOneFiles) {
    const std::string parked = ParkedFileBytes();
    ASSERT_FALSE(parked.empty());
    struct Case {
        DWORD collectCount;
        int files;
        std::vector<LONG> packets;
    };
    const Case cases[] = {
        {30, 35, {31, 4}},
        {2, 3, {3}},
        {0, 2, {1, 1}},
        {30, 1, {1}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        ClearOutbox();
        m_engine->m_packetCount = c.collectCount;
        std::wstring recipients = L"case" + std::to_wstring(n++) + L"@example.org;";
        std::string dir = HostPath(RecipientDir(recipients));
        fs::create_directories(dir);
        for (int i = 0; i < c.files; ++i)
            std::ofstream(dir + "/" + std::to_string(1000 + i) + ".msg", std::ios::binary)
                << parked;
        basicSyncProcessDirectory(m_engine.get(), Session(), RecipientDir(recipients), recipients);
        CComPtr<QMRMAPIFolder> outbox = DefaultFolder(kOutbox);
        std::vector<LONG> packets;
        for (LONG i = 1; i <= CountOf(outbox); ++i)
            packets.push_back(AttachmentCount(ItemOf(outbox, i)));
        EXPECT_EQ(packets, c.packets);
        EXPECT_TRUE(FilesIn(dir).empty());
    }
}

TEST_F(PacketMailsTest, RecipientDirectoryWithoutMessageFilesYieldsNoMail) {
    std::string dir = HostPath(RecipientDir(kRecipients));
    fs::create_directories(dir + "/sub.msg");
    std::ofstream(dir + "/note.txt") << "not parked";
    sendPackedBasicSyncMSG(m_engine.get(), Session());
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 0);
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"note.txt"});
}

TEST_F(PacketMailsTest, PacketThatCannotBeSavedKeepsItsParkedFiles) {
    ASSERT_EQ(
        saveMailInSpecialOutbox(m_engine.get(), OutboxMail(L"kept", L"b"), kRecipients, Session()),
        S_OK);
    std::string dir = HostPath(RecipientDir(kRecipients));
    ASSERT_EQ(FilesIn(dir).size(), 1u);
    // Another writer holds the store: the packet's save times out as busy.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((m_dir + "/profiles/Ann/mailbox.qms").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    basicSyncProcessDirectory(m_engine.get(), Session(), RecipientDir(kRecipients), kRecipients);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_NE(ErrorLog().find("basicSyncProcessDirectory::Error on send Mail"), std::string::npos);
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 0);
    EXPECT_EQ(FilesIn(dir).size(), 1u);

    // The next round sends it.
    basicSyncProcessDirectory(m_engine.get(), Session(), RecipientDir(kRecipients), kRecipients);
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 1);
    EXPECT_TRUE(FilesIn(dir).empty());
}

TEST_F(PacketMailsTest, UnpackingRestoresEveryParkedMailInTheAddinFolder) {
    struct Snapshot {
        std::wstring body, messageClass;
        std::vector<unsigned char> binary;
        LONG number = 0;
        std::multiset<std::string> attachments;
    };
    std::map<std::wstring, Snapshot> before;
    std::ofstream(HostPath(m_temp + L"payload.bin"), std::ios::binary)
        << std::string("\0\1\2zz", 5);
    for (int i = 0; i < 2; ++i) {
        std::wstring subject = L">-Quillmere-< unpack " + std::to_wstring(i);
        CComPtr<QMRMessage> mail = OutboxMail(subject, L"body " + std::to_wstring(i) + L"\r\nx");
        std::vector<unsigned char> bytes = {0x00, 0xFF, static_cast<unsigned char>(i), 0x10};
        CComVariant binary;
        binary.vt = VT_ARRAY | VT_UI1;
        binary.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), static_cast<unsigned char*>(binary.parray->pvData));
        ASSERT_EQ(mail->SetFields(CComVariant(static_cast<LONG>(kTagCustomBinary), VT_I4), binary),
                  S_OK);
        ASSERT_EQ(mail->SetFields(CComVariant(static_cast<LONG>(kTagCustomLong), VT_I4),
                                  CComVariant(40 + i, VT_I4)),
                  S_OK);
        CComPtr<QMRAttachments> attachments;
        ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
        CComPtr<QMRAttachment> attachment;
        ASSERT_EQ(
            attachments->Add(CComBSTR((m_temp + L"payload.bin").c_str()), CComVariant(1, VT_I4),
                             CComVariant(), CComVariant(), &attachment),
            S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
        Snapshot s;
        s.body = Text(&QMRMessage::GetBody, mail);
        s.messageClass = Text(&QMRMessage::GetMessageClass, mail);
        s.binary = bytes;
        s.number = 40 + i;
        s.attachments = AttachmentBytes(mail);
        before[subject] = s;
        ASSERT_EQ(saveMailInSpecialOutbox(m_engine.get(), mail, kRecipients, Session()), S_OK);
    }
    sendPackedBasicSyncMSG(m_engine.get(), Session());
    ASSERT_EQ(CountOf(DefaultFolder(kOutbox)), 1);
    CComPtr<QMRMAPIFolder> addin = AddinFolder();
    ASSERT_NE(addin, nullptr);
    ASSERT_EQ(ItemOf(DefaultFolder(kOutbox), 1)->Move(addin, nullptr), S_OK);
    ASSERT_EQ(CountOf(addin), 1);

    m_engine->SetSyncState(kSyncStateIdle);
    ProcessBasicSyncItems(m_engine.get(), Session(), Utils());
    EXPECT_EQ(m_engine->GetSyncState(), kSyncStateIdle);
    ASSERT_EQ(CountOf(addin), 2);
    for (LONG i = 1; i <= 2; ++i) {
        CComPtr<QMRMessage> mail = ItemOf(addin, i);
        std::wstring subject = Text(&QMRMessage::GetSubject, mail);
        ASSERT_EQ(before.count(subject), 1u) << win::ToUtf8(subject);
        const Snapshot& s = before[subject];
        EXPECT_EQ(Text(&QMRMessage::GetBody, mail), s.body);
        EXPECT_EQ(Text(&QMRMessage::GetMessageClass, mail), s.messageClass);
        CComVariant binary, number;
        ASSERT_EQ(mail->GetFields(CComVariant(static_cast<LONG>(kTagCustomBinary), VT_I4), &binary),
                  S_OK);
        ASSERT_EQ(binary.vt, VT_ARRAY | VT_UI1);
        const unsigned char* data = static_cast<const unsigned char*>(binary.parray->pvData);
        EXPECT_EQ(std::vector<unsigned char>(data, data + binary.parray->rgsabound[0].cElements),
                  s.binary);
        ASSERT_EQ(mail->GetFields(CComVariant(static_cast<LONG>(kTagCustomLong), VT_I4), &number),
                  S_OK);
        EXPECT_EQ(number.lVal, s.number);
        EXPECT_EQ(AttachmentBytes(mail), s.attachments);
        before.erase(subject);
    }
    EXPECT_TRUE(before.empty());
    EXPECT_FALSE(fs::exists(HostPath(m_temp + L"sync.msg")));
    EXPECT_NE(DebugLog().find("pBSItems:: 1 Items (BASICSYNCSUBJECT)"), std::string::npos);
}

TEST_F(PacketMailsTest, AttachmentNamesAreIgnoredAndFailedPacketsAreStillDeleted) {
    const std::string parked = ParkedFileBytes();
    std::ofstream(HostPath(m_temp + L"good.msg"), std::ios::binary) << parked;
    std::ofstream(HostPath(m_temp + L"garbage.msg"), std::ios::binary) << "no message file";
    CComPtr<QMRMAPIFolder> addin = AddinFolder();
    ASSERT_NE(addin, nullptr);
    auto packet = [&](const std::vector<std::pair<std::wstring, std::wstring>>& files) {
        CComPtr<QMRMessage> mail = AddMessage(addin, L"QMRX$BASICSYNCPACKET:today", L"x");
        CComPtr<QMRAttachments> attachments;
        ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
        for (const auto& [source, name] : files) {
            CComPtr<QMRAttachment> attachment;
            ASSERT_EQ(attachments->Add(CComBSTR((m_temp + source).c_str()), CComVariant(1, VT_I4),
                                       CComVariant(), CComVariant(name.c_str()), &attachment),
                      S_OK);
        }
        ASSERT_EQ(mail->Save(), S_OK);
    };
    packet({{L"garbage.msg", L"garbage.msg"}});
    packet({{L"good.msg", L"..\\..\\..\\escaped.msg"}, {L"garbage.msg", L"C:\\escaped2.msg"}});
    ASSERT_EQ(CountOf(addin), 2);

    ProcessBasicSyncItems(m_engine.get(), Session(), Utils());
    ASSERT_EQ(CountOf(addin), 1);  // both packets gone, one mail unpacked
    EXPECT_EQ(Text(&QMRMessage::GetSubject, ItemOf(addin, 1)), L"template");
    EXPECT_NE(ErrorLog().find("pBSItems::ImportBasicSyncMessage failed"), std::string::npos);
    for (const auto& entry : fs::recursive_directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename().string().find("escaped"), std::string::npos)
            << entry.path();
    for (const auto& entry : fs::directory_iterator(fs::path(m_dir).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find("escaped"), std::string::npos)
            << entry.path();
    EXPECT_FALSE(fs::exists(HostPath(m_temp + L"sync.msg")));
}

TEST_F(PacketMailsTest, MailsParkedWithoutAProfileNameLeaveFromTheFallbackDirectory) {
    // A sender thread that is given no session of its own parks under the
    // profile name read at the sender's start.
    sendPackedBasicSyncMSG(m_engine.get(), Session());
    std::atomic<HRESULT> parked{E_FAIL};
    std::atomic<LONG> left{-1};
    std::thread sender([&] {
        CoInitialize(nullptr);
        {
            CComPtr<QMRRDOSession> session;
            if (SUCCEEDED(CreateHelperSession(&session))) {
                CComVariant e;
                session->Logon(e, e, e, e, e, e);
                CComPtr<QMRMAPIFolder> outbox;
                session->GetDefaultFolder(kOutbox, &outbox);
                CComPtr<QMRMessage> mail = AddMessage(outbox, L"from a thread", L"b");
                parked = saveMailInSpecialOutbox(m_engine.get(), mail, kRecipients);
                left = CountOf(outbox);
            }
        }
        CoUninitialize();
    });
    sender.join();
    EXPECT_EQ(parked.load(), S_OK);
    EXPECT_EQ(left.load(), 0);
    EXPECT_EQ(FilesIn(HostPath(RecipientDir(kRecipients))).size(), 1u);

    // Files in the fallback directory leave with this profile's packets.
    std::string fallback = HostPath(m_temp + L"QuillmereBasicSync\\" + kRecipients);
    fs::create_directories(fallback);
    fs::copy_file(
        HostPath(RecipientDir(kRecipients)) + "/" + FilesIn(HostPath(RecipientDir(kRecipients)))[0],
        fallback + "/1.msg");
    sendPackedBasicSyncMSG(m_engine.get(), nullptr);
    EXPECT_NE(DebugLog().find("sendPacket::No Session to ask Profilename"), std::string::npos);
    EXPECT_EQ(FilesIn(fallback).size(), 1u);  // no session, no packet
    sendPackedBasicSyncMSG(m_engine.get(), Session());
    EXPECT_TRUE(FilesIn(fallback).empty());
    EXPECT_TRUE(FilesIn(HostPath(RecipientDir(kRecipients))).empty());
    EXPECT_EQ(CountOf(DefaultFolder(kOutbox)), 2);
}

TEST_F(PacketMailsTest, RecipientsThatWouldLeaveTheTreeStayInsideIt) {
    const std::wstring hostile = L"..\\..\\evil@example.org;";
    ASSERT_EQ(
        saveMailInSpecialOutbox(m_engine.get(), OutboxMail(L"hostile", L"b"), hostile, Session()),
        S_OK);
    std::vector<std::string> dirs;
    for (const auto& entry : fs::directory_iterator(HostPath(ProfileDir())))
        dirs.push_back(entry.path().filename().string());
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(dirs[0], "..%5C..%5Cevil@example.org;");  // one name, no separator
    sendPackedBasicSyncMSG(m_engine.get(), Session());
    ASSERT_EQ(CountOf(DefaultFolder(kOutbox)), 1);
    EXPECT_EQ(AttachmentCount(ItemOf(DefaultFolder(kOutbox), 1)), 1);
}

TEST(PacketDirectoryNames, EscapeWhatAFileNameCannotHoldAndReadBack) {
    const struct {
        const wchar_t* text;
        const wchar_t* name;
    } cases[] = {
        {L"bert@example.org;carl@example.org;", L"bert@example.org;carl@example.org;"},
        {L"..", L"%2E%2E"},
        {L".", L"%2E"},
        {L"a\\b/c:d*e?f\"g<h>i|j", L"a%5Cb%2Fc%3Ad%2Ae%3Ff%22g%3Ch%3Ei%7Cj"},
        {L"x%y", L"x%25y"},
        {L"trail. ", L"trail%2E%20"},
        {L"in.side name", L"in.side name"},
        {L"\u00fcber@example.de;", L"\u00fcber@example.de;"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PacketDirectoryName(c.text), c.name) << win::ToUtf8(c.text);
        EXPECT_EQ(RecipientsFromPacketDirectoryName(c.name), c.text) << win::ToUtf8(c.text);
    }
    EXPECT_EQ(RecipientsFromPacketDirectoryName(L"%G1%4"), L"%G1%4");
}

TEST_F(PacketMailsTest, PackingNotificationAtMostOnceInFiveMinutesOfPlatformTime) {
    // The fixture's virtual clock moves only as the test sets it.
    const ULONGLONG start = 1000000;
    struct Step {
        ULONGLONG tick;
        bool notifies;
    };
    const Step steps[] = {
        {start, false},                    // the first call only starts the interval
        {start + 299000, false},           //
        {start + 300500, true},            //
        {start + 300600, false},           // within 5 minutes of the last one
        {start + 600400, false},           //
        {start + 600600, true},            //
        {0xFFFFFFFFull - 1000, true},      // just before the tick count wraps
        {0x100000000ull + 200000, false},  // 201 s later, after the wrap
        {0x100000000ull + 300000, true},   // 301 s later
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(n);
        win::SetTickCountForTesting(s.tick);
        std::wstring title = L"title " + std::to_wstring(n++);
        ThrottledPackingNotification(m_engine.get(), title, L"text", 5);
        std::wstring gotTitle, gotText;
        LONG kind = -1;
        bool pending = m_engine->TakePendingNotification(gotTitle, gotText, kind);
        EXPECT_EQ(pending, s.notifies);
        if (pending) {
            EXPECT_EQ(gotTitle, title);
            EXPECT_EQ(gotText, L"text");
            EXPECT_EQ(kind, 5);
        }
    }
}

}  // namespace
