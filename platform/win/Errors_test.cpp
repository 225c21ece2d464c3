#include "platform/win/Errors.h"

#include <gtest/gtest.h>

#include <thread>

TEST(Errors, LastErrorIsPerThread) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    DWORD other = 1;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Errors, Win32ErrorsBecomeFacilityWin32HResults) {
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), E_ACCESSDENIED);
    EXPECT_EQ(HRESULT_FROM_WIN32(87), E_INVALIDARG);
    EXPECT_EQ(HRESULT_FROM_WIN32(0), S_OK);
    EXPECT_TRUE(FAILED(MAPI_E_NOT_FOUND));
    EXPECT_TRUE(SUCCEEDED(S_FALSE));
}
