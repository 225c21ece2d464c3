#include "platform/store/ContentsTable.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

#include "platform/store/StoreDatabase.h"
#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using namespace mapi;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::TempDir;

struct Item {
    Bytes entryId;
    ULONGLONG modified = 0;
    ObjectId id = 0;
    LONG number = 0;
    ULONGLONG created = 0;
    Bytes searchKey;
};

class ContentsTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        session = MakeStore(dir.File("table.qms"), StoreKind::PersonalUnicode,
                            ChangeTracking::ChangeKeys);
        ASSERT_TRUE(session);
        folder = DefaultFolderOf(*session, DefaultFolder::Inbox);
    }

    // count messages, then a shuffled half of them saved again, so that the
    // modification order differs from the creation order.
    std::vector<Item> Fill(int count) {
        std::vector<std::unique_ptr<Message>> messages;
        for (int i = 0; i < count; ++i) {
            std::unique_ptr<Message> m;
            EXPECT_EQ(folder.CreateMessage(false, &m), S_OK);
            m->SetProp(PR_SUBJECT, PropValue::Unicode(L"item " + std::to_wstring(i)));
            m->SetProp(PROP_TAG(PT_LONG, 0x6800), PropValue::Long((i * 7919) % 1000));
            EXPECT_EQ(m->Save(), S_OK);
            messages.push_back(std::move(m));
        }
        std::mt19937 rng(1234);
        std::vector<std::size_t> order(messages.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::shuffle(order.begin(), order.end(), rng);
        for (std::size_t k = 0; k < order.size() / 2; ++k) {
            auto& m = messages[order[k]];
            m->SetProp(PR_BODY, PropValue::Unicode(L"touched"));
            EXPECT_EQ(m->Save(), S_OK);
        }
        std::vector<Item> items;
        for (auto& m : messages) {
            items.push_back(
                {m->EntryId(),
                 static_cast<ULONGLONG>(*m->Props().GetInteger(PR_LAST_MODIFICATION_TIME)), m->Id(),
                 static_cast<LONG>(*m->Props().GetInteger(PROP_TAG(PT_LONG, 0x6800))),
                 static_cast<ULONGLONG>(*m->Props().GetInteger(PR_CREATION_TIME)),
                 *m->Props().GetBinary(PR_SEARCH_KEY)});
        }
        return items;
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    Folder folder;
};

std::vector<Bytes> EntryIds(const std::vector<TableRow>& rows) {
    std::vector<Bytes> ids;
    for (const auto& row : rows) {
        ids.push_back(*row[0].value.Bin());
    }
    return ids;
}

TEST_F(ContentsTableTest, NewestFirstInBatchesWithSeeksMatchesASortedList) {
    std::vector<Item> items = Fill(1000);
    std::vector<Item> expected = items;
    std::sort(expected.begin(), expected.end(), [](const Item& a, const Item& b) {
        return a.modified != b.modified ? a.modified > b.modified : a.id > b.id;
    });

    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SetColumns({PR_ENTRYID, PR_LAST_MODIFICATION_TIME, PR_SUBJECT}), S_OK);
    ASSERT_EQ(table->SortTable({{PR_LAST_MODIFICATION_TIME, true}}), S_OK);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(&count), S_OK);
    EXPECT_EQ(count, 1000u);

    std::vector<Bytes> seen;
    for (;;) {
        std::vector<TableRow> rows;
        ASSERT_EQ(table->QueryRows(300, &rows), S_OK);
        if (rows.empty()) {
            break;
        }
        EXPECT_LE(rows.size(), 300u);
        for (const auto& row : rows) {
            ASSERT_EQ(row.size(), 3u);
            EXPECT_EQ(row[1].tag, PR_LAST_MODIFICATION_TIME);
            EXPECT_EQ(row[2].tag, PR_SUBJECT);
        }
        auto ids = EntryIds(rows);
        seen.insert(seen.end(), ids.begin(), ids.end());
    }
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(seen[i], expected[i].entryId) << "row " << i;
    }

    // Seeks: back to the start, forward by an offset, relative to the cursor.
    LONG sought = 0;
    ASSERT_EQ(table->SeekRow(SeekOrigin::Beginning, 0, &sought), S_OK);
    ASSERT_EQ(table->SeekRow(SeekOrigin::Current, 450, &sought), S_OK);
    EXPECT_EQ(sought, 450);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->QueryRows(300, &rows), S_OK);
    ASSERT_EQ(rows.size(), 300u);
    EXPECT_EQ(EntryIds(rows).front(), expected[450].entryId);
    EXPECT_EQ(EntryIds(rows).back(), expected[749].entryId);
    ASSERT_EQ(table->SeekRow(SeekOrigin::Current, -100, &sought), S_OK);
    EXPECT_EQ(sought, -100);
    EXPECT_EQ(table->QueryPosition(), 650u);
    ASSERT_EQ(table->QueryRows(1, &rows), S_OK);
    EXPECT_EQ(EntryIds(rows).front(), expected[650].entryId);
    ASSERT_EQ(table->SeekRow(SeekOrigin::End, -10, &sought), S_OK);
    ASSERT_EQ(table->QueryRows(300, &rows), S_OK);
    EXPECT_EQ(rows.size(), 10u);
    // Seeking before the start is clamped and reports the rows moved.
    ASSERT_EQ(table->SeekRow(SeekOrigin::Beginning, 5, &sought), S_OK);
    ASSERT_EQ(table->SeekRow(SeekOrigin::Current, -50, &sought), S_OK);
    EXPECT_EQ(sought, -5);
}

TEST_F(ContentsTableTest, OldestFirstInSmallBatchesMatchesTheReversedOrder) {
    std::vector<Item> items = Fill(120);
    std::vector<Item> expected = items;
    std::sort(expected.begin(), expected.end(), [](const Item& a, const Item& b) {
        return a.modified != b.modified ? a.modified < b.modified : a.id < b.id;
    });
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SortTable({{PR_LAST_MODIFICATION_TIME, false}}), S_OK);
    std::vector<Bytes> seen;
    std::vector<TableRow> rows;
    do {
        ASSERT_EQ(table->QueryRows(7, &rows), S_OK);
        for (const auto& id : EntryIds(rows)) {
            seen.push_back(id);
        }
    } while (!rows.empty());
    ASSERT_EQ(seen.size(), expected.size());
    for (std::size_t i = 0; i < seen.size(); ++i) {
        ASSERT_EQ(seen[i], expected[i].entryId) << i;
    }
}

TEST_F(ContentsTableTest, MultiColumnSortAscendingAndDescending) {
    std::vector<Item> items = Fill(200);
    std::vector<Item> expected = items;
    // number ascending, then modification time descending.
    std::sort(expected.begin(), expected.end(), [](const Item& a, const Item& b) {
        if (a.number != b.number)
            return a.number < b.number;
        if (a.modified != b.modified)
            return a.modified > b.modified;
        return a.id < b.id;
    });
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SetColumns({PR_ENTRYID, PROP_TAG(PT_LONG, 0x6800)}), S_OK);
    ASSERT_EQ(
        table->SortTable({{PROP_TAG(PT_LONG, 0x6800), false}, {PR_LAST_MODIFICATION_TIME, true}}),
        S_OK);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->QueryRows(1000, &rows), S_OK);
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(*rows[i][0].value.Bin(), expected[i].entryId) << i;
    }
}

TEST_F(ContentsTableTest, MissingColumnsComeAsNotFoundErrors) {
    testing::AddMessage(folder, L"only a subject");
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SetColumns({PR_SUBJECT, PR_BODY, PR_SUBJECT_A}), S_OK);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->QueryRows(10, &rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].value, PropValue::Unicode(L"only a subject"));
    EXPECT_EQ(rows[0][1].tag, PROP_TAG(PT_ERROR, PROP_ID(PR_BODY)));
    EXPECT_EQ(rows[0][1].value, PropValue::Error(MAPI_E_NOT_FOUND));
    EXPECT_EQ(rows[0][2].value, PropValue::String8("only a subject"));
    EXPECT_EQ(table->QueryRows(0, &rows), E_INVALIDARG);
    EXPECT_EQ(table->SetColumns({}), E_INVALIDARG);
}

TEST_F(ContentsTableTest, HiddenTableShowsOnlyHiddenMessages) {
    testing::AddMessage(folder, L"normal");
    std::unique_ptr<Message> hidden;
    ASSERT_EQ(folder.CreateMessage(true, &hidden), S_OK);
    hidden->SetProp(PR_SUBJECT, PropValue::Unicode(L"hidden"));
    ASSERT_EQ(hidden->Save(), S_OK);
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(true, &table), S_OK);
    ASSERT_EQ(table->SetColumns({PR_SUBJECT}), S_OK);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->QueryRows(10, &rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0].value, PropValue::Unicode(L"hidden"));
}

TEST_F(ContentsTableTest, SortedTableSeesChangesMadeAfterItsFirstRead) {
    testing::AddMessage(folder, L"b");
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SetColumns({PR_SUBJECT}), S_OK);
    ASSERT_EQ(table->SortTable({{PR_SUBJECT, false}}), S_OK);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->QueryRows(10, &rows), S_OK);
    ASSERT_EQ(rows.size(), 1u);
    testing::AddMessage(folder, L"a");
    ASSERT_EQ(table->SeekRow(SeekOrigin::Beginning, 0, nullptr), S_OK);
    ASSERT_EQ(table->QueryRows(10, &rows), S_OK);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0].value, PropValue::Unicode(L"a"));
}

// Every row of a table in batches of batch.
std::vector<TableRow> ReadAll(ContentsTable& table, LONG batch) {
    std::vector<TableRow> all;
    std::vector<TableRow> rows;
    do {
        EXPECT_EQ(table.QueryRows(batch, &rows), S_OK);
        all.insert(all.end(), rows.begin(), rows.end());
    } while (!rows.empty());
    return all;
}

TEST_F(ContentsTableTest, CreationOrderInBatchesGivesEachRowsOwnValues) {
    // Half of the items were saved again, so modification order is not
    // creation order; the creation times come from the messages themselves.
    const std::vector<Item> items = Fill(300);
    for (bool descending : {false, true}) {
        SCOPED_TRACE(descending ? "newest first" : "oldest first");
        std::vector<Item> expected = items;
        std::stable_sort(expected.begin(), expected.end(), [&](const Item& a, const Item& b) {
            if (a.created != b.created)
                return descending ? a.created > b.created : a.created < b.created;
            return descending ? a.id > b.id : a.id < b.id;
        });
        std::unique_ptr<ContentsTable> table;
        ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
        ASSERT_EQ(table->SetColumns({PR_ENTRYID, PR_SEARCH_KEY, PR_CREATION_TIME,
                                     PR_LAST_MODIFICATION_TIME, PROP_TAG(PT_LONG, 0x6800)}),
                  S_OK);
        ASSERT_EQ(table->SortTable({{PR_CREATION_TIME, descending}}), S_OK);
        // Batches of 7 with a seek in between: the second read resumes
        // where the first ended, the one after the seek counts from the start.
        std::vector<TableRow> first;
        ASSERT_EQ(table->QueryRows(7, &first), S_OK);
        ASSERT_EQ(table->SeekRow(SeekOrigin::Current, 3, nullptr), S_OK);
        std::vector<TableRow> rest = ReadAll(*table, 7);
        ASSERT_EQ(first.size() + 3 + rest.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (i >= 7 && i < 10)
                continue;
            const TableRow& row = i < 7 ? first[i] : rest[i - 10];
            const Item& item = expected[i];
            ASSERT_EQ(*row[0].value.Bin(), item.entryId) << i;
            EXPECT_EQ(row[1].value, PropValue::Binary(item.searchKey)) << i;
            EXPECT_EQ(row[2].value, PropValue::SysTime(item.created)) << i;
            EXPECT_EQ(row[3].value, PropValue::SysTime(item.modified)) << i;
            EXPECT_EQ(row[4].value, PropValue::Long(item.number)) << i;
        }
    }
}

TEST_F(ContentsTableTest, SearchKeyColumnFollowsEverySave) {
    // The table answers PR_SEARCH_KEY without the property blob: it must
    // show the key of the last save, and none once the key is gone.
    testing::AddMessage(folder, L"item");
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    std::vector<TableRow> rows;
    ASSERT_EQ(table->SetColumns({PR_ENTRYID}), S_OK);
    ASSERT_EQ(table->QueryRows(1, &rows), S_OK);
    std::unique_ptr<Message> m;
    ASSERT_EQ(session->OpenMessage(*rows[0][0].value.Bin(), &m), S_OK);
    const Bytes renewed = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct Case {
        const char* what;
        std::function<void(Message&)> change;
        std::optional<Bytes> shown;
    };
    const Case cases[] = {
        {"new key", [&](Message& x) { x.SetProp(PR_SEARCH_KEY, PropValue::Binary(renewed)); },
         renewed},
        {"key removed", [](Message& x) { x.DeleteProp(PR_SEARCH_KEY); }, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.change(*m);
        ASSERT_EQ(m->Save(), S_OK);
        for (ULONG tag : {PR_SEARCH_KEY, PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_SEARCH_KEY))}) {
            ASSERT_EQ(table->SetColumns({tag, PR_SUBJECT}), S_OK);
            ASSERT_EQ(table->SeekRow(SeekOrigin::Beginning, 0, nullptr), S_OK);
            ASSERT_EQ(table->QueryRows(1, &rows), S_OK);
            ASSERT_EQ(rows.size(), 1u);
            if (c.shown) {
                EXPECT_EQ(rows[0][0].tag, PR_SEARCH_KEY);
                EXPECT_EQ(rows[0][0].value, PropValue::Binary(*c.shown));
            } else {
                EXPECT_EQ(rows[0][0].tag, PROP_TAG(PT_ERROR, PROP_ID(PR_SEARCH_KEY)));
            }
            EXPECT_EQ(rows[0][1].value, PropValue::Unicode(L"item"));
        }
    }
}

TEST_F(ContentsTableTest, StoreMadeWithoutTheFolderIndexGetsItWhenOpened) {
    const std::vector<Item> items = Fill(40);
    const std::string path = dir.File("table.qms");
    session.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP INDEX messages_folder", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    session = testing::OpenStore(path);
    ASSERT_TRUE(session);
    folder = DefaultFolderOf(*session, DefaultFolder::Inbox);
    auto st = session->GetImpl().Prepare(
        "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND name = 'messages_folder'");
    ASSERT_EQ(st.Step(), SQLITE_ROW);
    EXPECT_EQ(st.Int(0), 1);
    std::unique_ptr<ContentsTable> table;
    ASSERT_EQ(folder.GetContentsTable(false, &table), S_OK);
    ASSERT_EQ(table->SortTable({{PR_CREATION_TIME, true}}), S_OK);
    const std::vector<TableRow> rows = ReadAll(*table, 16);
    ASSERT_EQ(rows.size(), items.size());
    EXPECT_EQ(*rows.front()[0].value.Bin(), items.back().entryId);
    EXPECT_EQ(*rows.back()[0].value.Bin(), items.front().entryId);
}

TEST_F(ContentsTableTest, TwoTablesOfOneQueryReadInTurnsKeepTheirOwnPlaces) {
    // Both tables run the same compiled statement, one after the other.
    Fill(30);
    std::unique_ptr<ContentsTable> a, b;
    ASSERT_EQ(folder.GetContentsTable(false, &a), S_OK);
    ASSERT_EQ(folder.GetContentsTable(false, &b), S_OK);
    std::vector<Bytes> seenA, seenB;
    std::vector<TableRow> rows;
    for (int turn = 0; turn < 4; ++turn) {
        ASSERT_EQ(a->QueryRows(10, &rows), S_OK);
        for (const Bytes& id : EntryIds(rows))
            seenA.push_back(id);
        ASSERT_EQ(b->QueryRows(4, &rows), S_OK);
        for (const Bytes& id : EntryIds(rows))
            seenB.push_back(id);
    }
    ASSERT_EQ(seenA.size(), 30u);
    ASSERT_EQ(seenB.size(), 16u);
    EXPECT_TRUE(std::equal(seenB.begin(), seenB.end(), seenA.begin()));
}

}  // namespace
}  // namespace store
