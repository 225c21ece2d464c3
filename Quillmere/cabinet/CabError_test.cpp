#include "Quillmere/cabinet/CabError.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/win/FormatMessage.h"

namespace Cabinet {
namespace {

TEST(CabErrorTest, FreshRecordSaysSuccess) {
    CCabError reader(true);
    CCabError writer(false);
    EXPECT_STREQ(reader.GetLastErrorText(), L"Success");
    EXPECT_STREQ(writer.GetLastErrorText(), L"Success");
}

TEST(CabErrorTest, OwnCodeWithWindowsErrorAddsTheSystemText) {
    CCabError writer(false);
    writer.Set(1002, 5);
    wchar_t system[200];
    ASSERT_NE(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5,
                             0, system, 200, nullptr),
              0u);
    EXPECT_EQ(
        std::wstring(writer.GetLastErrorText()),
        std::wstring(L"Could not create the directory where to save the CAB file.\nError 5: ") +
            system);
    // The own code is also written into the library's field.
    EXPECT_EQ(writer.GetErf().erfOper, 1002);
}

TEST(CabErrorTest, UnknownWindowsErrorHasNoExplanation) {
    CCabError reader(true);
    reader.Set(8, 987654);
    EXPECT_STREQ(reader.GetLastErrorText(),
                 L"Failure writing to target file\nError 987654: Microsoft has no explanation "
                 L"for this error code.");
}

TEST(CabErrorTest, LibraryCodeIsWordedFromTheRightTable) {
    CCabError reader(true);
    reader.Erf()->erfOper = 4;
    reader.Erf()->fError = TRUE;
    EXPECT_STREQ(reader.GetLastErrorText(), L"Corrupt cabinet");
    CCabError writer(false);
    writer.Erf()->erfOper = 4;
    writer.Erf()->fError = TRUE;
    EXPECT_STREQ(writer.GetLastErrorText(), L"Could not create a temporary file");
}

TEST(CabErrorTest, CompressionTableHasNo1008) {
    CCabError writer(false);
    writer.Set(1008);
    EXPECT_STREQ(writer.GetLastErrorText(), L"Unknown error");
    CCabError reader(true);
    reader.Set(1008);
    EXPECT_STREQ(reader.GetLastErrorText(),
                 L"The CAB archive is encrypted but no decryption key was set.");
}

struct TableRow {
    bool extraction;
    int code;
    const wchar_t* text;
};

// Every entry of both tables, as the records word them.
constexpr TableRow kRows[] = {
    {true, 0, L"Success"},
    {true, 1, L"Cabinet file (or part of splitted CAB) not found"},
    {true, 2, L"The file is not a cabinet"},
    {true, 3, L"Unknown cabinet version"},
    {true, 4, L"Corrupt cabinet"},
    {true, 5, L"Memory allocation failed"},
    {true, 6, L"Unknown compression type"},
    {true, 7, L"Failure decompressing data"},
    {true, 8, L"Failure writing to target file"},
    {true, 9, L"Cabinets in set have different RESERVE sizes"},
    {true, 10, L"Cabinet returned on fdintNEXT_CABINET is incorrect"},
    {true, 11, L"User aborted"},
    {true, 12, L"Unknown error"},
    {true, 1000, L"Could not load Cabinet.dll"},
    {true, 1001, L"Could not load Wininet.dll"},
    {true, 1002, L"Invalid parameters passed to extraction function. Read the documentation!"},
    {true, 1003, L"Could not read CAB file"},
    {true, 1004, L"The specified resource could not be opened."},
    {true, 1005,
     L"The path is too long. (Max 250 Ansii characters or approx 100 Unicode characters)."},
    {true, 1006, L"An internet error occurred."},
    {true, 1007, L"The CAB archive is not encrypted but a decryption key was set."},
    {true, 1008, L"The CAB archive is encrypted but no decryption key was set."},
    {true, 1009, L"Invalid CAB file: Extracted file is longer than declared in fdintCOPY_FILE"},
    {true, 1010, L"Internet Explorer is switched to Offline mode."},
    {true, 1011,
     L"Cabinet.dll does not support calling the same CAB context from two different threads."},
    {true, 1012,
     L"There must be only one CExtract instance per thread at the same time! Call CleanUp() "
     L"before you use another instance in the same thread!"},
    {true, 1013, L"Unknown error"},
    {false, 0, L"Success"},
    {false, 1, L"Failure opening file to be stored in cabinet"},
    {false, 2, L"Failure reading file to be stored in cabinet"},
    {false, 3, L"Insufficient memory in FCI"},
    {false, 4, L"Could not create a temporary file"},
    {false, 5, L"Unknown compression type"},
    {false, 6, L"Could not create cabinet file"},
    {false, 7, L"Client requested abort"},
    {false, 8, L"Failure compressing data"},
    {false, 9, L"Unknown error"},
    {false, 1000, L"Could not load Cabinet.dll"},
    {false, 1001, L"Invalid parameters passed to compression function. Read the documentation!"},
    {false, 1002, L"Could not create the directory where to save the CAB file."},
    {false, 1003,
     L"The path is too long. (Max 250 Ansii characters or approx 100 Unicode characters)."},
    {false, 1004,
     L"To store files with names containing Unicode characters into the CAB file you must "
     L"enable UTF8 encoding!"},
    {false, 1005,
     L"Cabinet.dll does not support calling the same CAB context from two different threads."},
    {false, 1006, L"Cabinet.dll does not support compressing files bigger than 2 GB."},
    {false, 1007, L"The name of the CAB file must never contain characters above ASCII 127."},
    {false, -1, L"Unknown error"},
};

TEST(CabErrorTest, EveryTableEntry) {
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.code);
        CCabError record(row.extraction);
        EXPECT_STREQ(GetCabErrorText(record, row.code), row.text);
    }
}

}  // namespace
}  // namespace Cabinet
