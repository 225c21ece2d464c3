#include "platform/win/Guid.h"

#include <gtest/gtest.h>

#include "platform/win/Errors.h"

TEST(Guid, TextRoundTripIsUpperCaseBraced) {
    auto g = win::ParseGuid(L"{5a67b082-2c38-4cb3-b098-56736aadf9dc}");
    ASSERT_TRUE(g);
    EXPECT_EQ(g->Data1, 0x5A67B082u);
    EXPECT_EQ(g->Data4[7], 0xDC);
    EXPECT_EQ(win::GuidToString(*g), L"{5A67B082-2C38-4CB3-B098-56736AADF9DC}");
}

TEST(Guid, MalformedTextIsRejected) {
    for (const wchar_t* bad : {L"", L"{5A67B082-2C38-4CB3-B098-56736AADF9D}",
                               L"{5A67B082-2C38-4CB3-B098-56736AADF9DX}",
                               L"{5A67B082+2C38-4CB3-B098-56736AADF9DC}"}) {
        CLSID c;
        EXPECT_EQ(CLSIDFromString(bad, &c), CO_E_CLASSSTRING) << bad;
    }
}

TEST(Guid, BytesAreMixedEndianAsStored) {
    GUID g = *win::ParseGuid(L"{00020329-0000-0000-C000-000000000046}");
    auto b = win::GuidToBytes(g);
    EXPECT_EQ(b[0], 0x29);
    EXPECT_EQ(b[1], 0x03);
    EXPECT_EQ(b[2], 0x02);
    EXPECT_EQ(b[8], 0xC0);
    EXPECT_EQ(win::GuidFromBytes(b.data()), g);
}

TEST(Guid, NewGuidsDifferAndAreVersion4) {
    GUID a = win::NewGuid(), b = win::NewGuid();
    EXPECT_NE(a, b);
    EXPECT_EQ(a.Data3 >> 12, 4);
}
