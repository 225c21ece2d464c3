#include "platform/store/StoreDatabase.h"

#include <gtest/gtest.h>

#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using testing::MakeStore;
using testing::TempDir;

TEST(StoreDatabaseTest, AQueryInUseGetsAStatementOfItsOwnAndTheCachedOneComesBack) {
    TempDir dir;
    auto session =
        MakeStore(dir.File("db.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    ASSERT_TRUE(session);
    Session::Impl& impl = session->GetImpl();
    const char* sql = "SELECT value FROM (SELECT 1 AS value UNION ALL SELECT 2) ORDER BY value";
    db::Statement outer = impl.Prepare(sql);
    ASSERT_TRUE(outer.Valid());
    ASSERT_EQ(outer.Step(), SQLITE_ROW);
    EXPECT_EQ(outer.Int(0), 1);
    {
        // The same text while the first read is half-way: a read of its own,
        // which must not move the outer one.
        db::Statement inner = impl.Prepare(sql);
        ASSERT_TRUE(inner.Valid());
        ASSERT_EQ(inner.Step(), SQLITE_ROW);
        EXPECT_EQ(inner.Int(0), 1);
        ASSERT_EQ(inner.Step(), SQLITE_ROW);
        EXPECT_EQ(inner.Int(0), 2);
    }
    ASSERT_EQ(outer.Step(), SQLITE_ROW);
    EXPECT_EQ(outer.Int(0), 2);
    EXPECT_EQ(outer.Step(), SQLITE_DONE);
    outer = db::Statement();
    // Handed back reset: the next use starts at the first row again.
    db::Statement again = impl.Prepare(sql);
    ASSERT_EQ(again.Step(), SQLITE_ROW);
    EXPECT_EQ(again.Int(0), 1);
    EXPECT_EQ(impl.statements.count(sql), 1u);
    EXPECT_FALSE(impl.Prepare("SELECT FROM nowhere").Valid());
}

}  // namespace
}  // namespace store
