#include "platform/mapi/PropertyBag.h"

#include <gtest/gtest.h>

#include "platform/mapi/MessageContent.h"

namespace mapi {
namespace {

TEST(PropertyBagTest, SettingAnIdAgainReplacesTheValueOfTheOtherType) {
    PropertyBag bag;
    bag.Set(PR_SUBJECT_A, PropValue::String8("old"));
    bag.Set(PR_SUBJECT, PropValue::Unicode(L"new"));
    EXPECT_EQ(bag.Size(), 1u);
    EXPECT_EQ(bag.Find(PR_SUBJECT_A), nullptr);
    ASSERT_NE(bag.Find(PR_SUBJECT), nullptr);
    EXPECT_EQ(*bag.Find(PR_SUBJECT)->Wide(), L"new");
}

TEST(PropertyBagTest, TheValueTypeDecidesTheKeptTag) {
    PropertyBag bag;
    bag.Set(PR_BODY, PropValue::String8("8-bit"));
    EXPECT_EQ(bag.TagOf(PR_BODY), PR_BODY_A);
    EXPECT_FALSE(bag.GetText(PR_BODY).has_value());
    EXPECT_EQ(bag.GetString8(PR_BODY), "8-bit");
}

TEST(PropertyBagTest, UnspecifiedTypeFindsAnyTypeOfTheIdOnly) {
    PropertyBag bag;
    bag.Set(PR_MESSAGE_FLAGS, PropValue::Long(9));
    bag.Set(PR_MESSAGE_SIZE, PropValue::Long(100));
    const PropValue* v = bag.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_MESSAGE_SIZE)));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(*v->Integer(), 100);
    EXPECT_EQ(bag.Find(PROP_TAG(PT_UNSPECIFIED, 0x0E09)), nullptr);
    EXPECT_TRUE(bag.Erase(PROP_TAG(PT_UNSPECIFIED, PROP_ID(PR_MESSAGE_FLAGS))));
    EXPECT_FALSE(bag.Has(PR_MESSAGE_FLAGS));
    EXPECT_FALSE(bag.Erase(PR_MESSAGE_FLAGS));
}

TEST(PropValueTest, FactoriesKeepTheFormTheirTypeCallsFor) {
    const PropValue values[] = {
        PropValue::Short(-2),
        PropValue::Long(7),
        PropValue::LongLong(1LL << 40),
        PropValue::SysTime(0x01D0000000000000ULL),
        PropValue::Error(-2147221233),
        PropValue::Boolean(true),
        PropValue::Double(2.5),
        PropValue::AppTime(45000.5),
        PropValue::String8("a"),
        PropValue::Unicode(L"b"),
        PropValue::Binary({1, 2}),
        PropValue::Clsid(PS_MAPI),
        PropValue::MvLong({1, 2}),
        PropValue::MvString8({"x"}),
        PropValue::MvUnicode({L"y"}),
        PropValue::MvBinary({{3}}),
        PropValue::Object(),
        PropValue(),
    };
    for (const auto& v : values) {
        EXPECT_TRUE(v.IsWellFormed()) << std::hex << v.Type();
    }
    EXPECT_EQ(ValueIndexForType(0x0ABC), -1);
    EXPECT_EQ(ValueIndexForType(MV_FLAG | PT_BOOLEAN), -1);
}

TEST(MessageContentTest, NamesGetIdsFrom0x8000AndKeepThem) {
    MessageContent m;
    const auto keywords = KeywordsProperty();
    const auto numeric = NamedProperty::ById(PSETID_Common, 0x8501);
    EXPECT_EQ(m.MapName(keywords), 0x8000);
    EXPECT_EQ(m.MapName(numeric), 0x8001);
    EXPECT_EQ(m.MapName(keywords), 0x8000);
    EXPECT_FALSE(m.IdOfName(NamedProperty::ByName(PS_PUBLIC_STRINGS, L"keywords")).has_value());
    ASSERT_TRUE(m.SetNamed(numeric, PropValue::Long(15)));
    ASSERT_NE(m.FindNamed(numeric), nullptr);
    EXPECT_EQ(*m.FindNamed(numeric)->Integer(), 15);
    EXPECT_EQ(m.props.TagOf(0x80010000), 0x80010003u);
}

TEST(MessageContentTest, CopiesOfEmbeddedMessagesAreDeep) {
    MessageContent outer;
    AttachmentContent att;
    att.embedded = std::make_unique<MessageContent>();
    att.embedded->props.Set(PR_SUBJECT, PropValue::Unicode(L"inner"));
    outer.attachments.push_back(std::move(att));

    MessageContent copy = outer;
    EXPECT_EQ(copy, outer);
    copy.attachments[0].embedded->props.Set(PR_SUBJECT, PropValue::Unicode(L"changed"));
    EXPECT_EQ(*outer.attachments[0].embedded->props.GetText(PR_SUBJECT), L"inner");
    EXPECT_NE(copy, outer);
}

}  // namespace
}  // namespace mapi
