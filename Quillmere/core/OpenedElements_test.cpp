#include "Quillmere/core/OpenedElements.h"

#include "Quillmere/core/CoreTestSupport_test.h"
#include "Quillmere/core/FakeOutlookModel_test.h"

namespace {

class OpenedElementsTest : public coretest::CoreTest {
protected:
    CComPtr<fakes::FakeApplication> m_application = com::Make<fakes::FakeApplication>();
};

TEST_F(OpenedElementsTest, NoItemWindowLeavesTheRecordInvalid) {
    OpenedElements record(m_application);
    EXPECT_FALSE(record.IsValid());
}

TEST_F(OpenedElementsTest, OpenItemGivesItsAndItsFoldersIds) {
    auto folder = com::Make<fakes::FakeOlFolder>();
    folder->entryId = L"00FF";
    folder->name = L"Calendar";
    auto item = com::Make<fakes::FakeOlItem>();
    item->entryId = L"00AA";
    item->parent = folder;
    m_application->inspector = com::Make<fakes::FakeInspector>();
    m_application->inspector->item = item;
    OpenedElements record(m_application);
    ASSERT_TRUE(record.IsValid());
    CComBSTR first, second;
    first.Attach(record.GetFirstID());
    second.Attach(record.GetSecondID());
    EXPECT_EQ(first, L"00AA");
    EXPECT_EQ(second, L"00FF");
    EXPECT_NE(DebugLog().find("OpenedElements:Foldername is: Calendar"), std::string::npos);
}

TEST_F(OpenedElementsTest, ItemWithoutEntryIdIsInvalid) {
    auto item = com::Make<fakes::FakeOlItem>();
    m_application->inspector = com::Make<fakes::FakeInspector>();
    m_application->inspector->item = item;
    OpenedElements record(m_application);
    EXPECT_FALSE(record.IsValid());
}

}  // namespace
