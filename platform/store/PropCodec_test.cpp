#include "platform/store/PropCodec.h"

#include <gtest/gtest.h>

namespace store::codec {
namespace {

using namespace mapi;

MessageContent Sample() {
    MessageContent c;
    c.props.Set(PR_SUBJECT, PropValue::Unicode(L"s\u00E9"));
    c.props.Set(PR_BODY_A, PropValue::String8("body"));
    c.props.Set(PROP_TAG(PT_MV_BINARY, 0x6701), PropValue::MvBinary({{1, 2}, {}}));
    c.named[0x8001] = KeywordsProperty();
    PropertyBag r;
    r.Set(PR_DISPLAY_NAME, PropValue::Unicode(L"r"));
    c.recipients.push_back(r);
    AttachmentContent a;
    a.props.Set(PR_ATTACH_FILENAME, PropValue::Unicode(L"a.txt"));
    a.data = {9, 8, 7};
    c.attachments.push_back(a);
    return c;
}

std::vector<AttachmentContent> Nested() {
    AttachmentContent outer;
    outer.embedded = std::make_unique<MessageContent>(Sample());
    std::vector<AttachmentContent> v;
    v.push_back(outer);
    v.push_back(Sample().attachments[0]);
    return v;
}

TEST(PropCodec, AttachmentsWithEmbeddedMessagesRoundTrip) {
    const auto in = Nested();
    const Bytes blob = EncodeAttachments(in);
    std::vector<AttachmentContent> out;
    ASSERT_TRUE(DecodeAttachments(blob.data(), blob.size(), &out));
    ASSERT_EQ(out.size(), in.size());
    EXPECT_TRUE(out[0] == in[0]);
    EXPECT_TRUE(out[1] == in[1]);
    EXPECT_EQ(out[0].embedded->named, in[0].embedded->named);
}

TEST(PropCodec, EveryTruncationAndTrailingByteIsRejected) {
    const Bytes blob = EncodeAttachments(Nested());
    for (std::size_t n = 0; n < blob.size(); ++n) {
        std::vector<AttachmentContent> out;
        EXPECT_FALSE(DecodeAttachments(blob.data(), n, &out)) << n;
    }
    Bytes longer = blob;
    longer.push_back(0);
    std::vector<AttachmentContent> out;
    EXPECT_FALSE(DecodeAttachments(longer.data(), longer.size(), &out));
    const Bytes bag = EncodeBag(Sample().props);
    for (std::size_t n = 0; n < bag.size(); ++n) {
        PropertyBag b;
        EXPECT_FALSE(DecodeBag(bag.data(), n, &b)) << n;
        EXPECT_FALSE(DecodeSelected(bag.data(), n, {PR_SUBJECT}, &b)) << n;
    }
}

TEST(PropCodec, DamagedCountsTypesAndOrderAreRejected) {
    // A count far beyond the data must fail without allocating it.
    const Bytes hugeCount = {0xFF, 0xFF, 0xFF, 0x7F};
    PropertyBag b;
    EXPECT_FALSE(DecodeBag(hugeCount.data(), hugeCount.size(), &b));
    std::vector<PropertyBag> rows;
    EXPECT_FALSE(DecodeRows(hugeCount.data(), hugeCount.size(), &rows));
    // An unknown property type.
    const Bytes unknownType = {1, 0, 0, 0, 0x99, 0x00, 0x01, 0x67};
    EXPECT_FALSE(DecodeBag(unknownType.data(), unknownType.size(), &b));
    // Two values of one id (tags out of order).
    PropertyBag two;
    two.Set(PROP_TAG(PT_LONG, 0x6701), PropValue::Long(1));
    Bytes blob = EncodeBag(two);
    Bytes doubled = {2, 0, 0, 0};
    doubled.insert(doubled.end(), blob.begin() + 4, blob.end());
    doubled.insert(doubled.end(), blob.begin() + 4, blob.end());
    EXPECT_FALSE(DecodeBag(doubled.data(), doubled.size(), &b));
    // A boolean that is neither 0 nor 1.
    const Bytes badBool = {1, 0, 0, 0, 0x0B, 0x00, 0x01, 0x67, 2};
    EXPECT_FALSE(DecodeBag(badBool.data(), badBool.size(), &b));
}

MessageContent NestedTo(int levels) {
    MessageContent deepest;
    for (int i = 0; i < levels; ++i) {
        MessageContent outer;
        AttachmentContent a;
        a.embedded = std::make_unique<MessageContent>(deepest);
        outer.attachments.push_back(std::move(a));
        deepest = std::move(outer);
    }
    return deepest;
}

TEST(PropCodec, EmbeddingDepthIsBounded) {
    std::vector<AttachmentContent> out;
    const MessageContent deepest = NestedTo(kMaxEmbeddingDepth + 1);
    EXPECT_EQ(EmbeddingDepth(deepest.attachments), kMaxEmbeddingDepth + 1);
    const Bytes blob = EncodeAttachments(deepest.attachments);
    EXPECT_FALSE(DecodeAttachments(blob.data(), blob.size(), &out));
    // The deepest nesting allowed still decodes.
    const MessageContent allowed = NestedTo(kMaxEmbeddingDepth);
    const Bytes ok = EncodeAttachments(allowed.attachments);
    EXPECT_TRUE(DecodeAttachments(ok.data(), ok.size(), &out));
}

}  // namespace
}  // namespace store::codec
