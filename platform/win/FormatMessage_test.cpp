#include "platform/win/FormatMessage.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win/Errors.h"

namespace {

TEST(FormatMessageTest, SystemTextEndsInCrLf) {
    wchar_t buffer[200];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             ERROR_ACCESS_DENIED, 0, buffer, 200, nullptr);
    EXPECT_EQ(std::wstring(buffer), L"Access is denied.\r\n");
    EXPECT_EQ(n, 19u);
}

TEST(FormatMessageTest, UnknownCodeFails) {
    wchar_t buffer[200];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 987654, 0, buffer, 200, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST(FormatMessageTest, SmallBufferFails) {
    wchar_t buffer[19];
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 19, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 5, 0, buffer, 19, nullptr), 0u);
}

}  // namespace
