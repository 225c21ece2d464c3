#include "Quillmere/exchange/SendQueues.h"

#include <atomic>
#include <thread>
#include <vector>

#include "Quillmere/core/CoreTestSupport_test.h"

namespace {

class SendQueuesTest : public coretest::CoreTest {
protected:
    void SetUp() override {
        coretest::CoreTest::SetUp();
        m_utils = com::Make<fakes::FakeUtils>();
        ResetQueueFilesForTesting();
    }
    // The sender's start: reads the file (if any) into the queue, which the
    // file mirrors from then on.
    std::size_t SenderStarts() {
        return LoadMailDataFromDisk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str());
    }
    void TearDown() override {
        MailSenderList.Clear();
        DelMailSenderList.Clear();
        coretest::CoreTest::TearDown();
    }

    static void Queue(const std::vector<BYTE>& key, const wchar_t* store, const wchar_t* folder,
                      const wchar_t* share, const wchar_t* password) {
        CComVariant id = BinaryVariant(key.data(), key.size());
        ASSERT_TRUE(MailSenderList.Append(std::make_unique<CMail2Send>(
            &id, folder ? CComBSTR(folder) : CComBSTR(), store ? CComBSTR(store) : CComBSTR(),
            password, share, 260, 260, 0)));
    }

    struct Record {
        std::wstring store, folder, id, share, password;
        bool operator==(const Record&) const = default;
    };
    Record Describe(const CMail2Send& r) {
        Record out;
        CComBSTR s, f, t;
        CComVariant id;
        if (SUCCEEDED(r.GetStoreEntryID(&s)))
            out.store = static_cast<BSTR>(s);
        if (SUCCEEDED(r.GetFolderEntryID(&f)))
            out.folder = static_cast<BSTR>(f);
        if (SUCCEEDED(r.GetSyncID(&id)) && SUCCEEDED(m_utils->BinaryToText(id, &t)))
            out.id = static_cast<BSTR>(t);
        wchar_t text[260];
        r.GetShareName(text, 260);
        out.share = text;
        r.GetPassword(text, 260);
        out.password = text;
        return out;
    }
    std::vector<Record> TakeAll() {
        std::vector<Record> out;
        while (auto r = MailSenderList.Take())
            out.push_back(Describe(*r));
        return out;
    }
    std::wstring Path(const wchar_t* suffix) { return QueueFilePath(m_temp, L"Outlook", suffix); }
    bool Exists(const wchar_t* suffix) {
        return std::filesystem::exists(*win::HostPath(Path(suffix)));
    }
    void WriteFile(const wchar_t* suffix, const std::string& bytes) {
        std::ofstream(*win::HostPath(Path(suffix)), std::ios::binary) << bytes;
    }

    CComPtr<fakes::FakeUtils> m_utils;
};

TEST_F(SendQueuesTest, QueueIsFirstInFirstOutAndTryTakeSkipsABusyLock) {
    Queue({1}, L"S", L"F1", L"a", L"");
    Queue({2}, L"S", L"F2", L"b", L"");
    EXPECT_EQ(MailSenderList.Count(), 2u);

    std::atomic<bool> held{false}, release{false};
    std::thread other([&] {
        EnterCriticalSection(&SendQueueLock);
        held = true;
        while (!release)
            std::this_thread::yield();
        LeaveCriticalSection(&SendQueueLock);
    });
    while (!held)
        std::this_thread::yield();
    bool busy = false;
    EXPECT_EQ(MailSenderList.TryTake(&busy), nullptr);
    EXPECT_TRUE(busy);
    release = true;
    other.join();

    auto first = MailSenderList.TryTake(&busy);
    ASSERT_NE(first, nullptr);
    EXPECT_FALSE(busy);
    EXPECT_EQ(Describe(*first).folder, L"F1");
    EXPECT_EQ(Describe(*MailSenderList.Take()).folder, L"F2");
    EXPECT_EQ(MailSenderList.TryTake(&busy), nullptr);
    EXPECT_FALSE(busy);
    EXPECT_FALSE(MailSenderList.Append(nullptr));
}

TEST_F(SendQueuesTest, SyncMailQueueFileHasExactBytes) {
    EXPECT_EQ(SenderStarts(), 0u);
    Queue({0x01, 0xFE}, L"AB01", L"CD02", L"Team", L"pw");
    Queue({0x02}, L"AB01", L"CD03", L"Caf\u00e9", L"");  // empty password: line ends in ';'
    Queue({0x03}, L"AB01", L"CD04", L"", L"pw2");
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), false);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"),
              "AB01;CD02;01FE;Team;pw\r\nAB01;CD03;02;Caf\xe9;\r\nAB01;CD04;03;;pw2\r\n");
    EXPECT_EQ(MailSenderList.Count(), 3u);  // not final: the list stays
    EXPECT_NE(DebugLog().find("SaveMailSendData to HD"), std::string::npos);
}

TEST_F(SendQueuesTest, SyncMailQueueRoundTripsAndTheFileStays) {
    std::wstring longShare(259, L's');
    Queue({0x01, 0xFE}, L"AB01", L"CD02", L"Team", L"pw");
    Queue({0x02}, L"AB01", L"CD03", L"", L"pass;word");
    Queue({0xAA, 0xBB}, std::wstring(300, L'A').c_str(), std::wstring(200, L'C').c_str(),
          longShare.c_str(), std::wstring(259, L'p').c_str());
    std::vector<Record> before;
    MailSenderList.ForEach([&](const CMail2Send& r) { return before.push_back(Describe(r)), true; },
                           false);
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(MailSenderList.Count(), 0u);
    ASSERT_TRUE(Exists(kMailQueueFileSuffix));

    EXPECT_EQ(SenderStarts(), 3u);
    // Kept: until the next write it is the only record of what it held.
    EXPECT_TRUE(Exists(kMailQueueFileSuffix));
    EXPECT_EQ(TakeAll(), before);
    std::string log = DebugLog();
    EXPECT_NE(log.find("MailSendData from HD"), std::string::npos);
    EXPECT_NE(log.find("LoadBGSyncData=>ready"), std::string::npos);
    // Another profile's file is another file.
    EXPECT_EQ(QueueFilePath(L"C:\\Data\\", L"Other", kMailQueueFileSuffix),
              L"C:\\Data\\Other.mailsenddata.ids");
    // The file mirrors the queue now: it is not read a second time.
    EXPECT_EQ(SenderStarts(), 0u);
    EXPECT_EQ(MailSenderList.Count(), 0u);
}

TEST_F(SendQueuesTest, MalformedSyncMailLinesAreSkipped) {
    WriteFile(kMailQueueFileSuffix,
              ";CD02;01;Team;pw\r\n"       // no store id
              "AB01;;01;Team;pw\r\n"       // no folder id
              "AB01;CD02;XYZ;Team;pw\r\n"  // sync id that is no hex
              "AB01;CD02\r\n"              // short line: the rest empty
              "\r\n"
              "AB01;CD05;0A;Share;pw\n");  // bare LF too
    EXPECT_EQ(LoadMailDataFromDisk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str()),
              2u);
    std::vector<Record> expected = {{L"AB01", L"CD02", L"", L"", L""},
                                    {L"AB01", L"CD05", L"0A", L"Share", L"pw"}};
    EXPECT_EQ(TakeAll(), expected);
    EXPECT_NE(DebugLog().find("1 elem could not be added"), std::string::npos);
    EXPECT_NE(
        ErrorLog().find("damaged queue file, unusable lines skipped: Outlook.mailsenddata.ids"),
        std::string::npos)
        << ErrorLog();
    EXPECT_TRUE(Exists(kMailQueueFileSuffix));
}

TEST_F(SendQueuesTest, DamagedLinesCostNoRecordBesideThem) {
    std::string nul("AB01;CD02;0A;Nul\0here;pw\r\n", 26);
    WriteFile(kMailQueueFileSuffix, "AB01;CD01;01;Before;pw\r\n" + std::string(200000, 'A') +
                                        ";CD09;09;Huge;pw\r\n" + nul + "AB01;CD03;03;After;pw\r\n" +
                                        "\x7F\xFF;\x80\x81;;;\r\n" +
                                        "AB01;CD04;04;Last");  // no line end at the end of the file
    EXPECT_EQ(LoadMailDataFromDisk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str()),
              5u);
    std::vector<Record> got = TakeAll();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].share, L"Before");
    // The NUL byte neither hides the line end nor joins the next line.
    EXPECT_EQ(got[1].folder, L"CD02");
    EXPECT_EQ(got[1].share, L"Nul");  // a record keeps zero-terminated texts
    EXPECT_EQ(got[2].share, L"After");
    EXPECT_EQ(got[3].folder.size(), 2u);  // ANSI text, whatever its bytes
    EXPECT_EQ(got[4], (Record{L"AB01", L"CD04", L"04", L"Last", L""}));
    EXPECT_NE(DebugLog().find("1 elem could not be added"), std::string::npos);
}

TEST_F(SendQueuesTest, TextSyncIdDoesNotStopTheFile) {
    Queue({1}, L"AB01", L"CD01", L"a", L"x");
    CComVariant text(L"0A0B");
    ASSERT_TRUE(MailSenderList.Append(std::make_unique<CMail2Send>(
        &text, CComBSTR(L"CD02"), CComBSTR(L"AB01"), L"y", L"b", 260, 260, 0)));
    Queue({3}, L"AB01", L"CD03", L"c", L"z");
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"),
              "AB01;CD01;01;a;x\r\nAB01;CD02;0A0B;b;y\r\nAB01;CD03;03;c;z\r\n");
    // Read back, the text is a binary sync id like any other.
    EXPECT_EQ(LoadMailDataFromDisk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str()),
              3u);
    std::vector<Record> got = TakeAll();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].id, L"0A0B");
}

TEST_F(SendQueuesTest, TextsOutsideTheAnsiCodePageSurviveARestart) {
    const std::wstring share = L"\u0141\u00f3d\u017a Team";  // "Łódź Team"
    const std::wstring password = L"\u043f\u0430\u0440\u043e\u043b\u044c";
    Queue({0x01}, L"AB01", L"CD01", L"Caf\u00e9", L"pw");
    Queue({0x02}, L"AB01", L"CD02", share.c_str(), password.c_str());
    std::vector<Record> before;
    MailSenderList.ForEach([&](const CMail2Send& r) { return before.push_back(Describe(r)), true; },
                           false);
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    std::string bytes = Read(L"Outlook.mailsenddata.ids");
    EXPECT_EQ(bytes.rfind("\xEF\xBB\xBF"
                          "AB01;CD01;01;Caf\xC3\xA9;pw\r\n",
                          0),
              0u)
        << bytes;
    EXPECT_EQ(LoadMailDataFromDisk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str()),
              2u);
    EXPECT_EQ(TakeAll(), before);

    DelMailSenderList.Append(std::make_unique<CDelMail2Send>(SysAllocString(L"0A"), share));
    SaveDelMailData2Disk(m_engine.get(), Path(kDelMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(LoadDelMailDataFromDisk(m_engine.get(), Path(kDelMailQueueFileSuffix).c_str()), 1u);
    EXPECT_EQ(DelMailSenderList.Take()->GetShareName(), share);
}

TEST_F(SendQueuesTest, SemicolonsAndPercentSignsInShareNameAndPasswordSurviveARestart) {
    struct Case {
        const wchar_t* share;
        const wchar_t* password;
    };
    const Case cases[] = {
        {L"Team;A", L"secret"}, {L"Team;A", L"se;cret"}, {L";", L";"},
        {L"50%3B", L"%25;%"},   {L"Team", L"%3B"},       {L"Caf\u00e9;\u0141", L"p;w"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << win::ToUtf8(c.share) << " / " << win::ToUtf8(c.password));
        ResetQueueFilesForTesting();
        std::filesystem::remove(*win::HostPath(Path(kMailQueueFileSuffix)));
        Queue({0x01}, L"AB01", L"CD01", c.share, c.password);
        Queue({0x02}, L"AB01", L"CD02", L"Plain", L"pw");
        std::vector<Record> before;
        MailSenderList.ForEach(
            [&](const CMail2Send& r) { return before.push_back(Describe(r)), true; }, false);
        SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
        EXPECT_EQ(SenderStarts(), 2u);
        EXPECT_EQ(TakeAll(), before);
        EXPECT_EQ(DebugLog().find("damaged queue file"), std::string::npos);
    }
    // A file without a ';' in a share name keeps the plain form.
    ResetQueueFilesForTesting();
    std::filesystem::remove(*win::HostPath(Path(kMailQueueFileSuffix)));
    Queue({0x03}, L"AB01", L"CD03", L"Team", L"a;b%3B");
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD03;03;Team;a;b%3B\r\n");
}

TEST_F(SendQueuesTest, QueueFilesOfThePlainFormStillLoad) {
    // As earlier versions wrote them: the password keeps any ';' and '%'.
    WriteFile(kMailQueueFileSuffix, "AB01;CD01;01;Team;pass;word\r\nAB01;CD02;02;50%3B;%25\r\n");
    EXPECT_EQ(SenderStarts(), 2u);
    EXPECT_EQ(TakeAll(), (std::vector<Record>{{L"AB01", L"CD01", L"01", L"Team", L"pass;word"},
                                              {L"AB01", L"CD02", L"02", L"50%3B", L"%25"}}));
    WriteFile(kDelMailQueueFileSuffix, "0A;Team;A%3B\r\n");
    EXPECT_EQ(LoadDelMailDataFromDisk(m_engine.get(), Path(kDelMailQueueFileSuffix).c_str()), 1u);
    EXPECT_EQ(DelMailSenderList.Take()->GetShareName(), L"Team;A%3B");
}

TEST_F(SendQueuesTest, WritingStopsAtARecordWithoutFolderId) {
    EXPECT_EQ(SenderStarts(), 0u);
    Queue({1}, L"AB01", L"CD01", L"a", L"x");
    Queue({2}, L"AB01", nullptr, L"b", L"y");
    Queue({3}, L"AB01", L"CD03", L"c", L"z");
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), false);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD01;01;a;x\r\n");
    EXPECT_EQ(MailSenderList.Count(), 3u);
    // Final: the list is emptied all the same (nothing is left behind unowned).
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD01;01;a;x\r\n");
    EXPECT_EQ(MailSenderList.Count(), 0u);
}

TEST_F(SendQueuesTest, SaveFailuresAreReportedAndKeepTheList) {
    Queue({1}, L"AB01", L"CD01", L"a", L"x");
    SaveMailData2Disk(m_engine.get(), nullptr, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_NE(ErrorLog().find("SaveMailData2Disk:thread_mutils=NULL"), std::string::npos);
    EXPECT_FALSE(Exists(kMailQueueFileSuffix));
    std::wstring missing = m_temp + L"no such dir\\Outlook.mailsenddata.ids";
    SaveMailData2Disk(m_engine.get(), m_utils, missing.c_str(), true);
    EXPECT_NE(ErrorLog().find("SaveMailSendData"), std::string::npos);
    EXPECT_EQ(MailSenderList.Count(), 1u);
    SaveDelMailData2Disk(m_engine.get(), missing.c_str(), true);
    EXPECT_NE(DebugLog().find("SaveDelMailSendData::no file"), std::string::npos);
}

TEST_F(SendQueuesTest, DeletionQueueFileRoundTrips) {
    DelMailSenderList.Append(std::make_unique<CDelMail2Send>(SysAllocString(L"0A1B"), L"Team"));
    DelMailSenderList.Append(std::make_unique<CDelMail2Send>(SysAllocString(L"FF"), L""));
    DelMailSenderList.Append(std::make_unique<CDelMail2Send>(SysAllocString(L"01"), L"a;b"));
    SaveDelMailData2Disk(m_engine.get(), Path(kDelMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(DelMailSenderList.Count(), 0u);
    EXPECT_EQ(Read(L"Outlook.delmailsenddata.ids"), "0A1B;Team\r\nFF;\r\n01;a;b\r\n");
    EXPECT_NE(DebugLog().find("SaveDelMailSendData to HD"), std::string::npos);

    // A line without a sync id is skipped.
    std::ofstream(*win::HostPath(Path(kDelMailQueueFileSuffix)), std::ios::app) << ";Lost\r\n";
    EXPECT_EQ(LoadDelMailDataFromDisk(m_engine.get(), Path(kDelMailQueueFileSuffix).c_str()), 3u);
    EXPECT_TRUE(Exists(kDelMailQueueFileSuffix));
    std::vector<std::pair<std::wstring, std::wstring>> got;
    while (auto r = DelMailSenderList.Take()) {
        CComBSTR id;
        ASSERT_EQ(r->GetSyncID(&id), S_OK);
        got.emplace_back(static_cast<BSTR>(id), r->GetShareName());
    }
    std::vector<std::pair<std::wstring, std::wstring>> expected = {
        {L"0A1B", L"Team"}, {L"FF", L""}, {L"01", L"a;b"}};
    EXPECT_EQ(got, expected);
    std::string log = DebugLog();
    EXPECT_NE(log.find("DelMailSendData from HD"), std::string::npos);
    EXPECT_NE(log.find("LoadDelMailSendData=>ready"), std::string::npos);
}

// While the sender runs, the file mirrors the queue: the record the sender
// works on is written first until its lease ends, and a queue that did not
// change is not written again.
TEST_F(SendQueuesTest, PersistedQueueFileHoldsTheLeasedRecordUntilItsLeaseEnds) {
    EXPECT_EQ(SenderStarts(), 0u);
    Queue({1}, L"AB01", L"CD01", L"a", L"x");
    Queue({2}, L"AB01", L"CD02", L"b", L"y");
    {
        CMailSenderList::Lease lease = MailSenderList.TakeLease();
        ASSERT_TRUE(lease);
        EXPECT_EQ(Describe(*lease).folder, L"CD01");
        EXPECT_EQ(MailSenderList.Count(), 1u);
        PersistSendQueues(m_utils);
        EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD01;01;a;x\r\nAB01;CD02;02;b;y\r\n");
    }
    PersistSendQueues(m_utils);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD02;02;b;y\r\n");
    // Unchanged since: no write (the file made by hand stays as it is).
    WriteFile(kMailQueueFileSuffix, "hand-made\r\n");
    PersistSendQueues(m_utils);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "hand-made\r\n");
}

// Before the sender read the file (and after it stopped), the file holds
// records that memory lacks: a write keeps them and takes memory's over, and
// the sender's start reads each record back once.
TEST_F(SendQueuesTest, WritesWhileNoSenderRunsKeepTheFilesRecords) {
    WriteFile(kMailQueueFileSuffix, "AB01;CD01;01;a;x\r\n");
    SetQueueFilePaths(Path(kMailQueueFileSuffix), Path(kDelMailQueueFileSuffix));
    Queue({2}, L"AB01", L"CD02", L"b", L"y");
    PersistSendQueues(m_utils);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"), "AB01;CD01;01;a;x\r\nAB01;CD02;02;b;y\r\n");
    EXPECT_EQ(MailSenderList.Count(), 0u);  // the file holds it now
    EXPECT_EQ(SenderStarts(), 2u);

    // The stop hands what is queued to the file; a change queued after it
    // (a folder check still running at Quit) joins them there.
    SaveMailData2Disk(m_engine.get(), m_utils, Path(kMailQueueFileSuffix).c_str(), true);
    EXPECT_EQ(MailSenderList.Count(), 0u);
    Queue({3}, L"AB01", L"CD03", L"c", L"z");
    PersistSendQueues(m_utils);
    EXPECT_EQ(Read(L"Outlook.mailsenddata.ids"),
              "AB01;CD01;01;a;x\r\nAB01;CD02;02;b;y\r\nAB01;CD03;03;c;z\r\n");
    EXPECT_EQ(SenderStarts(), 3u);
    std::vector<Record> got = TakeAll();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].folder, L"CD03");
}

}  // namespace
