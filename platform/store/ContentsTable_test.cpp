#include "platform/store/ContentsTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

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
                 static_cast<LONG>(*m->Props().GetInteger(PROP_TAG(PT_LONG, 0x6800)))});
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

}  // namespace
}  // namespace store
