#include "Quillmere/exchange/SyncMailFormat.h"

#include <gtest/gtest.h>

#include "platform/win/Clock.h"

namespace {

using namespace syncmail;

std::wstring Repeat(const wchar_t* piece, int n) {
    std::wstring out;
    for (int i = 0; i < n; ++i)
        out += piece;
    return out;
}

TEST(SyncMailFormat, SyncMailBodyHasEveryPieceInOrder) {
    std::wstring plain = BuildSyncMailBody(L"INTRO", false, L"ignored", L"Team", L"0A1B", false);
    EXPECT_EQ(plain, L"INTRO" + Repeat(L"\r\n", 60) + L"is:TRUE:is\nlf:Team:lf\r\nid:0A1B:id\r\n");
    std::wstring debugForm = BuildSyncMailBody(L"INTRO", true, L"Subj", L"Team", L"0A1B", true);
    EXPECT_EQ(debugForm, L"INTRO\n\nDebug:Subject:Subj" + Repeat(L"\r\n", 60) +
                             L"is:TRUE:is\nlf:Team:lf\r\nid:0A1B:id\r\n:form:\r\n");
}

TEST(SyncMailFormat, DeletionNoticeBodyUsesBareLineFeeds) {
    EXPECT_EQ(BuildDeletionNoticeBody(L"INTRO", L"Team", L"0A1B"),
              L"INTRO" + std::wstring(40, L'\n') + L"is:FALSE:is\nlf:Team:lf\nid:0A1B:id\n");
}

DATE LocalNow() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    DATE d = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &d));
    return d;
}

TEST(SyncMailFormat, TimeValueIsTenSecondsAhead) {
    constexpr double kSecond = 1.0 / 86400.0;
    DATE before = LocalNow();
    SyncMailTime t = MakeSyncMailTime();
    DATE after = LocalNow();
    EXPECT_GE(t.value, before + 9 * kSecond);
    EXPECT_LE(t.value, after + 11 * kSecond);
    EXPECT_EQ(t.text, SyncMailTimeText(t.value));

    SYSTEMTIME st = {};
    st.wYear = 2026;
    st.wMonth = 12;
    st.wDay = 10;
    st.wHour = 13;
    st.wMinute = 4;
    st.wSecond = 50;
    DATE known = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&st, &known));
    std::wstring text = SyncMailTimeText(known);
    EXPECT_NE(text.find(L"2026"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L":04:50"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L' '), std::wstring::npos);
    EXPECT_EQ(SyncMailTimeText(1e9), L"");
}

TEST(SyncMailFormat, SubjectsStartWithTheirMarkers) {
    EXPECT_EQ(BuildSyncMailSubject(L"10.12.2026 10:00:10", false, L"x"),
              L">-Quillmere-< 10.12.2026 10:00:10");
    EXPECT_EQ(BuildSyncMailSubject(L"T", true, L"Meeting"), L">-Quillmere-< T SUBJECT:Meeting");
    EXPECT_EQ(BuildDeletionNoticeSubject(L"T"), L">-Quillmere-< T");
    EXPECT_EQ(BuildPacketSubject(L"T"), L"QMRX$BASICSYNCPACKET:T");
}

TEST(SyncMailFormat, BuiltBodiesReadBack) {
    struct Case {
        bool deletion;
        bool debug;
        bool form;
        std::wstring share;
        std::wstring id;
    };
    const Case cases[] = {
        {false, false, false, L"Team", L"0A1B2C"}, {false, true, true, L"Sales Folder", L"FF"},
        {false, false, false, L"", L"0102"},       {true, false, false, L"Team", L"0A1B2C"},
        {true, false, false, L"", L"AB"},
    };
    for (const Case& c : cases) {
        std::wstring body = c.deletion ? BuildDeletionNoticeBody(L"intro", c.share, c.id)
                                       : BuildSyncMailBody(L"intro", c.debug, L"Subject line",
                                                           c.share, c.id, c.form);
        SyncMailMarkers m = ReadSyncMailMarkers(body);
        SCOPED_TRACE(testing::Message() << c.deletion << " " << c.share.size());
        EXPECT_EQ(m.kind, c.deletion ? SyncMailKind::kDeletionNotice : SyncMailKind::kSyncMail);
        EXPECT_EQ(m.shareName, c.share);
        EXPECT_EQ(m.syncIdText, c.id);
        EXPECT_EQ(m.formFlag, c.form);
    }
}

TEST(SyncMailFormat, ReaderTakesFirstMarkersAndRefusesIncompleteBodies) {
    struct Case {
        const wchar_t* body;
        SyncMailKind kind;
        const wchar_t* share;
        const wchar_t* id;
    };
    const Case cases[] = {
        {L"plain mail lf:a:lf id:1:id", SyncMailKind::kNone, L"", L""},
        {L"is:TRUE:is lf:a:lf id:1", SyncMailKind::kNone, L"", L""},
        {L"is:TRUE:is lf:a id:1:id", SyncMailKind::kNone, L"", L""},
        {L"is:FALSE:is\nlf:a:lf\nid:12:id\n", SyncMailKind::kDeletionNotice, L"a", L"12"},
        // Both flags: the changed item wins.
        {L"is:FALSE:is is:TRUE:is lf:a:lf id:12:id", SyncMailKind::kSyncMail, L"a", L"12"},
        // A share name holding ":lf" is cut at it (as the partner reads it).
        {L"is:TRUE:is lf:a:lfb:lf id:12:id", SyncMailKind::kSyncMail, L"a", L"12"},
        // Share name untrimmed; first LF, CR and blank of the id removed once each.
        {L"is:TRUE:islf: a :lfid:\r\n 1 2\n:id", SyncMailKind::kSyncMail, L" a ", L"1 2\n"},
        // Close markers before their open markers give empty texts.
        {L":id :lf is:TRUE:is lf:a id:1", SyncMailKind::kSyncMail, L"", L""},
        // Overlapping "lf:lf": no negative span.
        {L"is:TRUE:is lf:lf id::id", SyncMailKind::kSyncMail, L"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "body " << std::wstring(c.body).size());
        SyncMailMarkers m = ReadSyncMailMarkers(c.body);
        EXPECT_EQ(m.kind, c.kind);
        EXPECT_EQ(m.shareName, c.share);
        EXPECT_EQ(m.syncIdText, c.id);
    }
}

TEST(SyncMailFormat, ErrorNamesAndFailedSubject) {
    const std::pair<int, const wchar_t*> cases[] = {
        {0, L""},
        {1, L"NO TARGET"},
        {2, L"NO SHARENAME"},
        {3, L"NO ATTACHEMENT"},
        {4, L"PASSWORD"},
        {5, L"ATTACHEMENT ZIPPED"},
        {6, L"FILENAME CHANGED"},
        {7, L"NO FILENAME"},
        {8, L"NO DELMAILFROMID"},
        {9, L"EXTRACT FAILED"},
        {10, L"WRONG VERSION"},
        {11, L"UNKNOWN"},
        {-1, L"UNKNOWN"},
    };
    for (const auto& [reason, name] : cases)
        EXPECT_STREQ(ImportErrorName(reason), name) << reason;
    std::wstring failed = BuildFailedSubject(4);
    EXPECT_EQ(failed, L">-Quillmere-< ERROR:PASSWORD");
    EXPECT_TRUE(HasErrorMark(failed));
    EXPECT_FALSE(HasErrorMark(L">-Quillmere-< 10.12.2026 10:00"));
}

}  // namespace
