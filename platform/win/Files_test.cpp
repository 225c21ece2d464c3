#include "platform/win/Files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <string>
#include <vector>

#include "platform/win/Errors.h"
#include "platform/win/FileSupport.h"
#include "platform/win/Paths.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

class FilesTest : public ::testing::Test {
protected:
    void TearDown() override {
        win::files::DisableExtendedAttributesForTesting(false);
        win::FailWritesForTesting(0);
    }

    std::string Host(const char* below) const { return m_machine.DriveC() + below; }
    void Put(const char* below, const std::string& bytes) {
        TestMachine::WriteHostFile(Host(below), bytes);
    }
    std::string Get(const char* below) const { return TestMachine::ReadHostFile(Host(below)); }

    TestMachine m_machine;
};

HANDLE Open(const wchar_t* path, DWORD access, DWORD disposition,
            DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       flags, nullptr);
}

FILETIME Ft(std::uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}
std::uint64_t U64(const FILETIME& t) {
    return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

TEST_F(FilesTest, CreationDispositionsFollowThePlatform) {
    struct Case {
        DWORD disposition;
        bool exists;
        bool opens;
        DWORD lastError;
        const char* contentAfter;  // null: no file
    } cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, nullptr},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    for (const auto& c : cases) {
        std::remove(Host("/f").c_str());
        if (c.exists)
            Put("/f", "old");
        SetLastError(12345);
        HANDLE h = Open(L"C:\\f", GENERIC_READ | GENERIC_WRITE, c.disposition);
        DWORD error = GetLastError();
        SCOPED_TRACE(testing::Message()
                     << "disposition " << c.disposition << " exists " << c.exists);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(error, c.lastError);
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        }
        if (c.contentAfter) {
            EXPECT_EQ(Get("/f"), c.contentAfter);
        } else {
            EXPECT_FALSE(TestMachine::HostExists(Host("/f")));
        }
    }
    EXPECT_EQ(Open(L"C:\\nodir\\f", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(L"C:\\f", GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, ReadWriteSeekAndSize) {
    HANDLE h = Open(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 10u);
    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "6789");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));  // end of file is success with 0
    EXPECT_EQ(n, 0u);

    // A position before 0 fails and leaves the position where it was.
    SetFilePointer(h, 3, nullptr, FILE_BEGIN);
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    LARGE_INTEGER zero{}, pos{};
    ASSERT_TRUE(SetFilePointerEx(h, zero, &pos, FILE_CURRENT));
    EXPECT_EQ(pos.QuadPart, 3);

    ASSERT_TRUE(SetEndOfFile(h));
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 3u);
    EXPECT_EQ(high, 0u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 3);

    // 64-bit positions through the high part.
    LONG hi = 1;
    EXPECT_EQ(SetFilePointer(h, 5, &hi, FILE_BEGIN), 5u);
    EXPECT_EQ(hi, 1);
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(Get("/data.bin"), "012");
}

TEST_F(FilesTest, HandlesEnforceTheirAccess) {
    Put("/f", "abc");
    HANDLE r = Open(L"C:\\f", GENERIC_READ, OPEN_EXISTING);
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(r, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(r);
    HANDLE w = Open(L"C:\\f", GENERIC_WRITE, OPEN_EXISTING);
    char c;
    EXPECT_FALSE(ReadFile(w, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(w);
    EXPECT_FALSE(ReadFile(w, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(w));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FilesTest, DirectoryOpensOnlyWithBackupSemantics) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\d", nullptr));
    EXPECT_EQ(Open(L"C:\\d", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h = Open(L"C:\\d", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME t{};
    EXPECT_TRUE(GetFileTime(h, nullptr, nullptr, &t));
    EXPECT_NE(U64(t), 0u);
    CloseHandle(h);
}

TEST_F(FilesTest, ReadOnlyFilesRefuseWritesDeletesAndReplacement) {
    Put("/ro", "keep");
    ASSERT_TRUE(SetFileAttributesW(L"C:\\ro", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(L"C:\\ro") & FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
    struct stat st {};
    ASSERT_EQ(stat(Host("/ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IWUSR, 0u);

    EXPECT_EQ(Open(L"C:\\ro", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(L"C:\\ro", GENERIC_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(L"C:\\ro"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    Put("/other", "new");
    EXPECT_FALSE(MoveFileExW(L"C:\\other", L"C:\\ro", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Get("/ro"), "keep");
    HANDLE r = Open(L"C:\\ro", GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(r, INVALID_HANDLE_VALUE);
    CloseHandle(r);

    ASSERT_TRUE(SetFileAttributesW(L"C:\\ro", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(L"C:\\ro"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(L"C:\\ro"));
}

TEST_F(FilesTest, AttributesRoundTripWithAndWithoutExtendedAttributes) {
    const DWORD values[] = {
        FILE_ATTRIBUTE_HIDDEN,
        FILE_ATTRIBUTE_SYSTEM,
        FILE_ATTRIBUTE_ARCHIVE,
        FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE,
        FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN,
    };
    for (bool disabled : {false, true}) {
        win::files::DisableExtendedAttributesForTesting(disabled);
        for (DWORD v : values) {
            DeleteFileW(L"C:\\a");
            Put("/a", "x");
            SCOPED_TRACE(testing::Message() << "xattrs disabled " << disabled << " value " << v);
            // A file nobody set attributes on is marked for archiving.
            EXPECT_EQ(GetFileAttributesW(L"C:\\a"), FILE_ATTRIBUTE_ARCHIVE);
            ASSERT_TRUE(SetFileAttributesW(L"C:\\a", v | FILE_ATTRIBUTE_DIRECTORY));
            EXPECT_EQ(GetFileAttributesW(L"C:\\a"), v);
            WIN32_FILE_ATTRIBUTE_DATA data{};
            ASSERT_TRUE(GetFileAttributesExW(L"C:\\a", GetFileExInfoStandard, &data));
            EXPECT_EQ(data.dwFileAttributes, v);
            EXPECT_EQ(data.nFileSizeLow, 1u);
            char raw[4];
            ssize_t n = getxattr(Host("/a").c_str(), "user.win.attrs", raw, sizeof raw);
            if (disabled) {
                EXPECT_EQ(n, -1);
            } else {
                ASSERT_EQ(n, 4);
                // Little-endian DWORD of the kept bits (READONLY lives in the mode).
                EXPECT_EQ(static_cast<unsigned char>(raw[0]), v & ~FILE_ATTRIBUTE_READONLY);
            }
            SetFileAttributesW(L"C:\\a", FILE_ATTRIBUTE_NORMAL);
        }
    }
    win::files::DisableExtendedAttributesForTesting(false);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    ASSERT_TRUE(SetFileAttributesW(L"C:\\dir", FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(L"C:\\dir"), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(GetFileAttributesW(L"C:\\none"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(L"C:\\none\\x"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, CreateAlwaysSetsAttributesAndGuardsHiddenFiles) {
    HANDLE h = Open(L"C:\\h", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(L"C:\\h"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    // Replacing a hidden file without asking for hidden fails, as on the platform.
    EXPECT_EQ(Open(L"C:\\h", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    h = Open(L"C:\\h", GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(GetFileAttributesW(L"C:\\h"),
              FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
}

TEST_F(FilesTest, FileTimesRoundTrip) {
    // 1990-06-15 12:34:56.7890123 UTC and two other moments.
    const std::uint64_t creation = 127000000000000000ull + 7890123;
    const std::uint64_t access = 130000000000000000ull;
    const std::uint64_t write = 132000000000000001ull;
    for (bool disabled : {false, true}) {
        win::files::DisableExtendedAttributesForTesting(disabled);
        HANDLE h = Open(L"C:\\t", GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME c = Ft(creation), a = Ft(access), w = Ft(write);
        ASSERT_TRUE(SetFileTime(h, &c, &a, &w));
        FILETIME c2{}, a2{}, w2{};
        ASSERT_TRUE(GetFileTime(h, &c2, &a2, &w2));
        EXPECT_EQ(U64(c2), creation);
        EXPECT_EQ(U64(a2), access);
        EXPECT_EQ(U64(w2), write);
        // A null time leaves that time alone.
        FILETIME w3 = Ft(write + 10000000);
        ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &w3));
        ASSERT_TRUE(GetFileTime(h, &c2, &a2, &w2));
        EXPECT_EQ(U64(c2), creation);
        EXPECT_EQ(U64(a2), access);
        EXPECT_EQ(U64(w2), write + 10000000);
        CloseHandle(h);

        // The host sees the same last-write time.
        struct stat st {};
        ASSERT_EQ(stat(Host("/t").c_str(), &st), 0);
        std::int64_t ns =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        EXPECT_EQ(ns, win::FileTimeToUnixNanoseconds(Ft(write + 10000000)));
        WIN32_FIND_DATAW fd{};
        HANDLE f = FindFirstFileW(L"C:\\t", &fd);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        EXPECT_EQ(U64(fd.ftCreationTime), creation);
        EXPECT_EQ(U64(fd.ftLastWriteTime), write + 10000000);
        FindClose(f);
    }
    // Setting times needs a handle that may write.
    HANDLE r = Open(L"C:\\t", GENERIC_READ, OPEN_EXISTING);
    FILETIME w = Ft(write);
    EXPECT_FALSE(SetFileTime(r, nullptr, nullptr, &w));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(r);
}

TEST_F(FilesTest, FileTimeConversionIsExact) {
    EXPECT_EQ(win::FileTimeToUnixNanoseconds(Ft(116444736000000000ull)), 0);
    EXPECT_EQ(U64(win::FileTimeFromUnixNanoseconds(0)), 116444736000000000ull);
    EXPECT_EQ(U64(win::FileTimeFromUnixNanoseconds(-1)), 116444736000000000ull - 1);
    EXPECT_EQ(U64(win::FileTimeFromUnixNanoseconds(1234567800)), 116444736012345678ull);
}

TEST_F(FilesTest, DeleteReportsWhatIsMissing) {
    Put("/gone", "x");
    EXPECT_TRUE(DeleteFileW(L"C:\\gone"));
    EXPECT_FALSE(TestMachine::HostExists(Host("/gone")));
    EXPECT_FALSE(DeleteFileW(L"C:\\gone"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileW(L"C:\\nodir\\gone"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\d", nullptr));
    EXPECT_FALSE(DeleteFileW(L"C:\\d"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, MoveRenamesAndReplacesOnlyWhenAsked) {
    Put("/a", "A");
    Put("/b", "B");
    EXPECT_FALSE(MoveFileW(L"C:\\a", L"C:\\b"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Get("/a"), "A");
    EXPECT_EQ(Get("/b"), "B");
    EXPECT_FALSE(MoveFileExW(L"C:\\a", L"C:\\b", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    EXPECT_TRUE(MoveFileExW(L"C:\\a", L"C:\\b", MOVEFILE_REPLACE_EXISTING));
    EXPECT_FALSE(TestMachine::HostExists(Host("/a")));
    EXPECT_EQ(Get("/b"), "A");

    EXPECT_TRUE(MoveFileW(L"C:\\b", L"C:\\c"));
    EXPECT_EQ(Get("/c"), "A");
    EXPECT_FALSE(MoveFileW(L"C:\\missing", L"C:\\d"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileW(L"C:\\c", L"C:\\nodir\\c"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // Directories move too, but never replace.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    EXPECT_FALSE(MoveFileExW(L"C:\\c", L"C:\\dir", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(MoveFileW(L"C:\\dir", L"C:\\dir2"));
    EXPECT_EQ(GetFileAttributesW(L"C:\\dir2"), FILE_ATTRIBUTE_DIRECTORY);
}

TEST_F(FilesTest, CopyKeepsContentTimeAndAttributes) {
    std::string big(200000, 'q');
    big[12345] = '\0';
    Put("/src", big);
    HANDLE h = Open(L"C:\\src", GENERIC_WRITE, OPEN_EXISTING);
    FILETIME w = Ft(131000000000000000ull);
    SetFileTime(h, nullptr, nullptr, &w);
    CloseHandle(h);
    SetFileAttributesW(L"C:\\src", FILE_ATTRIBUTE_HIDDEN);

    ASSERT_TRUE(CopyFileW(L"C:\\src", L"C:\\dst", TRUE));
    EXPECT_EQ(Get("/dst"), big);
    EXPECT_EQ(GetFileAttributesW(L"C:\\dst"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    WIN32_FILE_ATTRIBUTE_DATA d{};
    GetFileAttributesExW(L"C:\\dst", GetFileExInfoStandard, &d);
    EXPECT_EQ(U64(d.ftLastWriteTime), 131000000000000000ull);

    Put("/dst", "other");
    EXPECT_FALSE(CopyFileW(L"C:\\src", L"C:\\dst", TRUE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(Get("/dst"), "other");
    EXPECT_TRUE(CopyFileW(L"C:\\src", L"C:\\dst", FALSE));
    EXPECT_EQ(Get("/dst"), big);
    // Onto itself: refused rather than truncating the file.
    EXPECT_FALSE(CopyFileW(L"C:\\src", L"C:\\.\\src", FALSE));
    EXPECT_EQ(Get("/src"), big);
    EXPECT_FALSE(CopyFileW(L"C:\\missing", L"C:\\x", FALSE));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, DirectoriesAreMadeAndRemovedOneLevelAtATime) {
    EXPECT_FALSE(CreateDirectoryW(L"C:\\a\\b", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\a", nullptr));
    EXPECT_FALSE(CreateDirectoryW(L"C:\\a", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\a\\b", nullptr));
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    Put("/a/b/f", "x");
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a\\b\\f"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_TRUE(DeleteFileW(L"C:\\a\\b\\f"));
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\a\\b"));
    EXPECT_TRUE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\a"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(PathFileExistsW(L"C:\\a"));
    EXPECT_TRUE(PathFileExistsW(L"C:\\"));
}

std::vector<std::wstring> List(const wchar_t* pattern, DWORD* error = nullptr) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data{};
    HANDLE h = FindFirstFileW(pattern, &data);
    if (h == INVALID_HANDLE_VALUE) {
        if (error)
            *error = GetLastError();
        return names;
    }
    do {
        names.push_back(data.cFileName);
    } while (FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    if (error)
        *error = ERROR_SUCCESS;
    return names;
}

TEST_F(FilesTest, WildcardListingMatchesAsThePlatformDoes) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\w", nullptr));
    for (const char* n :
         {"a.txt", "B.TXT", "readme", "data.tar.gz", "x1.log", "x12.log", "n.txt.bak"}) {
        Put((std::string("/w/") + n).c_str(), "x");
    }
    ASSERT_TRUE(CreateDirectoryW(L"C:\\w\\sub", nullptr));
    using V = std::vector<std::wstring>;
    const V all = {L".",         L"..",     L"a.txt", L"B.TXT",  L"data.tar.gz",
                   L"n.txt.bak", L"readme", L"sub",   L"x1.log", L"x12.log"};
    struct Case {
        const wchar_t* pattern;
        V names;
    } cases[] = {
        {L"C:\\w\\*", all},
        {L"C:\\w\\*.*", all},
        {L"C:\\w\\*.txt", {L"a.txt", L"B.TXT"}},
        {L"C:/w/*.TxT", {L"a.txt", L"B.TXT"}},
        {L"C:\\w\\x?.log", {L"x1.log"}},
        {L"C:\\w\\x??.log", {L"x1.log", L"x12.log"}},
        {L"C:\\w\\*.", {L".", L"..", L"readme", L"sub"}},
        {L"C:\\w\\data.*", {L"data.tar.gz"}},
        {L"C:\\w\\*.gz", {L"data.tar.gz"}},
        {L"C:\\w\\README", {L"readme"}},
        {L"C:\\w\\sub", {L"sub"}},
        {L"C:\\w\\*txt*", {L"a.txt", L"B.TXT", L"n.txt.bak"}},
        {L"C:\\w\\?.txt", {L"a.txt", L"B.TXT"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(List(c.pattern), c.names) << win::PathToUtf8(c.pattern);
    }
    DWORD error = 0;
    EXPECT_TRUE(List(L"C:\\w\\nothing*", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(List(L"C:\\missing\\*", &error).empty());
    EXPECT_EQ(error, ERROR_PATH_NOT_FOUND);
    // A drive root has no "." and "..".
    auto root = List(L"C:\\*");
    EXPECT_EQ(root, V{L"w"});
}

TEST_F(FilesTest, FindDataDescribesEachEntry) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\w", nullptr));
    Put("/w/f.bin", std::string(70000, 'z'));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\w\\d", nullptr));
    SetFileAttributesW(L"C:\\w\\f.bin", FILE_ATTRIBUTE_READONLY);
    WIN32_FIND_DATAW data{};
    HANDLE h = FindFirstFileW(L"C:\\w\\f.*", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, L"f.bin");
    EXPECT_EQ(data.nFileSizeLow, 70000u);
    // Setting attributes replaces them all: ARCHIVE went with READONLY.
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_READONLY);
    EXPECT_FALSE(FindNextFileW(h, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(h);
    h = FindFirstFileW(L"C:\\w\\d", &data);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    // A find handle is not a file handle.
    DWORD n;
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    FindClose(h);
    EXPECT_FALSE(FindClose(h));
    SetFileAttributesW(L"C:\\w\\f.bin", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(FilesTest, InjectedWriteFailuresLookLikeAFullDisk) {
    HANDLE h = Open(L"C:\\w.bin", GENERIC_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    win::FailWritesForTesting(2);
    EXPECT_TRUE(WriteFile(h, "a", 1, &n, nullptr));
    EXPECT_FALSE(WriteFile(h, "b", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(h, "c", 1, &n, nullptr));  // one failure only

    win::FailWritesForTesting(1, true);
    EXPECT_FALSE(WriteFile(h, "d", 1, &n, nullptr));
    EXPECT_FALSE(WriteFile(h, "e", 1, &n, nullptr));
    win::FailWritesForTesting(0);
    EXPECT_TRUE(WriteFile(h, "f", 1, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(Get("/w.bin"), "acf");
}

TEST_F(FilesTest, DeleteOnCloseRemovesTheFile) {
    HANDLE h = Open(L"C:\\tmp.bin", GENERIC_WRITE, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(TestMachine::HostExists(Host("/tmp.bin")));
    CloseHandle(h);
    EXPECT_FALSE(TestMachine::HostExists(Host("/tmp.bin")));
}

}  // namespace
