#include "platform/win/Crt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/Files.h"
#include "platform/win/TestMachine.h"

namespace {

using win::testing::TestMachine;

class CrtTest : public ::testing::Test {
protected:
    void TearDown() override { win::FailWritesForTesting(0); }
    std::string Host(const char* below) const { return m_machine.DriveC() + below; }
    void Put(const char* below, const std::string& bytes) {
        TestMachine::WriteHostFile(Host(below), bytes);
    }
    std::string Get(const char* below) const { return TestMachine::ReadHostFile(Host(below)); }

    // Everything a stream opened with mode gives, read with fgetc.
    static std::string ReadAll(const wchar_t* path, const wchar_t* mode) {
        CrtFile* f = _wfopen(path, mode);
        EXPECT_NE(f, nullptr);
        if (!f)
            return {};
        std::string s;
        for (int c; (c = fgetc(f)) != EOF;)
            s += static_cast<char>(c);
        EXPECT_TRUE(feof(f));
        EXPECT_FALSE(ferror(f));
        fclose(f);
        return s;
    }

    TestMachine m_machine;
};

TEST_F(CrtTest, TextModeWritesCrLfAndReadsItBackAsLf) {
    for (const wchar_t* mode : {L"w", L"wt"}) {
        CrtFile* f = _wfopen(L"C:\\log.txt", mode);
        ASSERT_NE(f, nullptr);
        EXPECT_GE(fputs("one\ntwo\n", f), 0);
        EXPECT_EQ(fprintf(f, "%s|%d|%x|%5.2f\n", "x", -7, 255, 3.14159), 14);
        EXPECT_EQ(fputc('\n', f), '\n');
        EXPECT_EQ(fwrite("a\nb", 1, 3, f), 3u);
        // The position counts bytes on disk, CRs included.
        EXPECT_EQ(ftell(f), 31);
        EXPECT_EQ(fclose(f), 0);
        EXPECT_EQ(Get("/log.txt"), "one\r\ntwo\r\nx|-7|ff| 3.14\r\n\r\na\r\nb");

        f = _wfopen(L"C:\\log.txt", L"r");
        ASSERT_NE(f, nullptr);
        char line[64];
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "one\n");
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "two\n");
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "x|-7|ff| 3.14\n");
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "\n");
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "a\n");
        ASSERT_NE(fgets(line, sizeof line, f), nullptr);
        EXPECT_STREQ(line, "b");
        EXPECT_EQ(fgets(line, sizeof line, f), nullptr);
        EXPECT_TRUE(feof(f));
        fclose(f);
    }
}

TEST_F(CrtTest, TextReadKeepsLoneCrAndStopsAtCtrlZ) {
    Put("/t",
        "a\r\nb\rc\r\r\nd\x1A"
        "after");
    EXPECT_EQ(ReadAll(L"C:\\t", L"r"), "a\nb\rc\r\nd");
    EXPECT_EQ(ReadAll(L"C:\\t", L"rb"),
              "a\r\nb\rc\r\r\nd\x1A"
              "after");
    char buf[64];
    CrtFile* f = _wfopen(L"C:\\t", L"rt");
    EXPECT_EQ(fread(buf, 1, sizeof buf, f), 8u);
    EXPECT_TRUE(feof(f));
    fclose(f);
}

TEST_F(CrtTest, CrLfSplitAcrossTheStreamBufferStillJoins) {
    // The stream reads 4096 bytes at a time; put the CR at every place
    // around that edge.
    for (std::size_t before : {4094u, 4095u, 4096u, 8191u}) {
        std::string raw(before, 'x');
        raw += "\r\nend\r";
        Put("/b", raw);
        std::string expected(before, 'x');
        expected += "\nend\r";
        EXPECT_EQ(ReadAll(L"C:\\b", L"r"), expected) << before;
    }
}

TEST_F(CrtTest, AppendModesAppend) {
    for (int i = 0; i < 3; ++i) {
        CrtFile* f = _wfopen(L"C:\\a.log", L"a+");
        ASSERT_NE(f, nullptr);
        fprintf(f, "line %d\n", i);
        fclose(f);
    }
    EXPECT_EQ(Get("/a.log"), "line 0\r\nline 1\r\nline 2\r\n");

    // Writes go to the end even after a seek; reads see the whole file.
    CrtFile* f = _wfopen(L"C:\\a.log", L"a+");
    fseek(f, 0, SEEK_SET);
    char line[32];
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "line 0\n");
    fseek(f, 0, SEEK_SET);
    fputs("tail\n", f);
    fclose(f);
    EXPECT_EQ(Get("/a.log"), "line 0\r\nline 1\r\nline 2\r\ntail\r\n");

    f = _wfopen(L"C:\\a.log", L"ab");
    fputs("bin\n", f);
    fclose(f);
    EXPECT_EQ(Get("/a.log"), "line 0\r\nline 1\r\nline 2\r\ntail\r\nbin\n");
}

TEST_F(CrtTest, TextAppendPlusDropsATrailingCtrlZ) {
    Put("/z", "old\r\n\x1A");
    CrtFile* f = _wfopen(L"C:\\z", L"a+");
    fputs("new\n", f);
    fclose(f);
    EXPECT_EQ(Get("/z"), "old\r\nnew\r\n");
    // Plain "a" leaves the mark where it is.
    Put("/z", "old\x1A");
    f = _wfopen(L"C:\\z", L"a");
    fputs("new", f);
    fclose(f);
    EXPECT_EQ(Get("/z"), "old\x1Anew");
}

TEST_F(CrtTest, BinaryModeIsUntouched) {
    const std::string bytes("\n\r\n\r\x1A\0\xff\n", 8);
    CrtFile* f = _wfopen(L"C:\\bin", L"wb");
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
    EXPECT_EQ(Get("/bin"), bytes);
    f = _wfopen(L"C:\\bin", L"rb");
    char buf[16];
    EXPECT_EQ(fread(buf, 2, 8, f), 4u);
    EXPECT_EQ(std::string(buf, 8), bytes);
    EXPECT_TRUE(feof(f) || fgetc(f) == EOF);
    fclose(f);
}

TEST_F(CrtTest, ReadAndWriteOnOneStreamKeepThePosition) {
    Put("/rw", "0123456789");
    CrtFile* f = _wfopen(L"C:\\rw", L"r+b");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(fgetc(f), '0');
    EXPECT_EQ(fgetc(f), '1');
    EXPECT_EQ(ftell(f), 2);
    fputs("ab", f);  // overwrites "23", although the stream read ahead
    EXPECT_EQ(ftell(f), 4);
    EXPECT_EQ(fgetc(f), '4');
    EXPECT_EQ(fseek(f, -1, SEEK_END), 0);
    EXPECT_EQ(fgetc(f), '9');
    EXPECT_EQ(fgetc(f), EOF);
    EXPECT_TRUE(feof(f));
    EXPECT_EQ(fseek(f, 1, SEEK_SET), 0);
    EXPECT_FALSE(feof(f));
    EXPECT_EQ(fseek(f, -5, SEEK_SET), -1);
    EXPECT_EQ(errno, EINVAL);
    rewind(f);
    EXPECT_EQ(fgetc(f), '0');
    fclose(f);
    EXPECT_EQ(Get("/rw"), "01ab456789");
}

TEST_F(CrtTest, WideTextGoesOutAsAnsi) {
    CrtFile* f = _wfopen(L"C:\\w", L"w");
    EXPECT_GE(fputws(L"\u20AC\u00FC\u4E00\n", f), 0);
    fclose(f);
    EXPECT_EQ(Get("/w"), "\x80\xFC?\r\n");
}

TEST_F(CrtTest, OpenFailuresSetErrno) {
    struct Case {
        const wchar_t* path;
        const wchar_t* mode;
        int error;
    } cases[] = {
        {L"C:\\missing", L"r", ENOENT}, {L"C:\\nodir\\f", L"w", ENOENT},
        {L"C:\\ro", L"w", EACCES},      {L"C:\\ro", L"a", EACCES},
        {L"C:\\ro", L"r+", EACCES},     {L"C:\\dir", L"r", EACCES},
        {L"C:\\ro", L"wx", EEXIST},     {L"C:\\ro", L"q", EINVAL},
        {L"C:\\ro", L"rbt", EINVAL},    {L"C:\\ro", L"r++", EINVAL},
        {L"C:\\ro", L"rx", EINVAL},     {L"Q:\\f", L"w", ENOENT},
    };
    Put("/ro", "x");
    SetFileAttributesW(L"C:\\ro", FILE_ATTRIBUTE_READONLY);
    CreateDirectoryW(L"C:\\dir", nullptr);
    for (const auto& c : cases) {
        errno = 0;
        EXPECT_EQ(_wfopen(c.path, c.mode), nullptr)
            << win::PathToUtf8(c.path) << " " << win::PathToUtf8(c.mode);
        EXPECT_EQ(errno, c.error) << win::PathToUtf8(c.path) << " " << win::PathToUtf8(c.mode);
    }
    CrtFile* f = nullptr;
    EXPECT_EQ(_wfopen_s(&f, L"C:\\missing", L"r"), ENOENT);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(_wfopen_s(&f, L"C:\\ro", L"rbS"), 0);
    ASSERT_NE(f, nullptr);
    fclose(f);
    SetFileAttributesW(L"C:\\ro", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CrtTest, StreamOfTheWrongDirectionReportsAnError) {
    Put("/f", "abc");
    CrtFile* f = _wfopen(L"C:\\f", L"r");
    EXPECT_EQ(fputs("x", f), EOF);
    EXPECT_TRUE(ferror(f));
    clearerr(f);
    EXPECT_FALSE(ferror(f));
    fclose(f);
    f = _wfopen(L"C:\\f", L"w");
    EXPECT_EQ(fgetc(f), EOF);
    EXPECT_TRUE(ferror(f));
    fclose(f);
    EXPECT_EQ(fclose(static_cast<CrtFile*>(nullptr)), EOF);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(CrtTest, LowLevelCallsTranslateInTextModeOnly) {
    int fd = _wopen(L"C:\\ll", _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "a\nb", 3), 3);
    EXPECT_EQ(_lseek(fd, 0, SEEK_CUR), 3);
    EXPECT_EQ(_filelength(fd), 3);
    EXPECT_EQ(_lseek(fd, 0, SEEK_SET), 0);
    char buf[16];
    EXPECT_EQ(_read(fd, buf, sizeof buf), 3);
    EXPECT_EQ(_read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(_commit(fd), 0);
    EXPECT_EQ(_close(fd), 0);
    EXPECT_EQ(_close(fd), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(_commit(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(Get("/ll"), "a\nb");

    EXPECT_EQ(_wopen(L"C:\\ll", _O_CREAT | _O_EXCL | _O_WRONLY), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(_wopen(L"C:\\none", _O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);

    fd = _wopen(L"C:\\tx", _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT);
    EXPECT_EQ(_write(fd, "x\ny\n", 4), 4);
    _close(fd);
    EXPECT_EQ(Get("/tx"), "x\r\ny\r\n");

    Put("/tx", "x\r\ny\r\n\x1Az");
    fd = _wopen(L"C:\\tx", _O_RDONLY);  // text is the default
    std::string got;
    for (int n; (n = _read(fd, buf, 5)) > 0;)
        got.append(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(got, "x\ny\n");
    EXPECT_EQ(_read(fd, buf, 5), 0);  // the mark stays the end
    EXPECT_EQ(_lseek(fd, -1, SEEK_END), 7);
    EXPECT_EQ(_read(fd, buf, 5), 1);
    EXPECT_EQ(buf[0], 'z');
    _close(fd);

    EXPECT_EQ(_read(9999, buf, 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(_write(9999, buf, 1), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(CrtTest, CreatedWithoutWritePermissionIsReadOnly) {
    int fd = _wopen(L"C:\\made-ro", _O_CREAT | _O_WRONLY | _O_BINARY, _S_IREAD);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_write(fd, "x", 1), 1);  // the descriptor that made it may write
    _close(fd);
    EXPECT_EQ(GetFileAttributesW(L"C:\\made-ro") & FILE_ATTRIBUTE_READONLY,
              FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(_wopen(L"C:\\made-ro", _O_WRONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_waccess(L"C:\\made-ro", 4), 0);
    EXPECT_EQ(_waccess(L"C:\\made-ro", 2), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wremove(L"C:\\made-ro"), -1);
    EXPECT_EQ(errno, EACCES);
    SetFileAttributesW(L"C:\\made-ro", FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CrtTest, HiddenFilesAreNotRecreatedButCanBeAppendedTo) {
    Put("/h", "old\r\n");
    SetFileAttributesW(L"C:\\h", FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(_wfopen(L"C:\\h", L"w"), nullptr);
    EXPECT_EQ(errno, EACCES);
    CrtFile* f = _wfopen(L"C:\\h", L"a+");
    ASSERT_NE(f, nullptr);
    fputs("more\n", f);
    fclose(f);
    EXPECT_EQ(Get("/h"), "old\r\nmore\r\n");
}

TEST_F(CrtTest, ConcurrentAppendsKeepEveryLineWhole) {
    // Each thread opens, writes one line and closes, as the logs do; lines
    // of different threads may interleave only as whole lines.
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                CrtFile* f = _wfopen(L"C:\\shared.log", L"a+");
                ASSERT_NE(f, nullptr);
                fprintf(f, "thread %d line %03d %s\n", t, i, std::string(40, 'a' + t).c_str());
                fclose(f);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    CrtFile* f = _wfopen(L"C:\\shared.log", L"r");
    ASSERT_NE(f, nullptr);
    std::vector<int> next(kThreads, 0);
    char line[128];
    int count = 0;
    while (fgets(line, sizeof line, f)) {
        int t = -1, i = -1;
        char text[64] = {};
        ASSERT_EQ(std::sscanf(line, "thread %d line %d %63s", &t, &i, text), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(std::string(text), std::string(40, 'a' + t)) << line;
        EXPECT_EQ(line[std::strlen(line) - 1], '\n');
        ++count;
    }
    fclose(f);
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(CrtTest, AFailedFlushIsReportedByFclose) {
    CrtFile* f = _wfopen(L"C:\\state.txt", L"w");
    ASSERT_NE(f, nullptr);
    win::FailWritesForTesting(1);
    EXPECT_GE(fputs("buffered\n", f), 0);  // nothing written yet
    EXPECT_EQ(fclose(f), EOF);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(Get("/state.txt"), "");

    int fd = _wopen(L"C:\\raw", _O_CREAT | _O_WRONLY | _O_BINARY);
    win::FailWritesForTesting(1);
    EXPECT_EQ(_write(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(_write(fd, "y", 1), 1);
    _close(fd);
    EXPECT_EQ(Get("/raw"), "y");
}

TEST_F(CrtTest, TemporaryDescriptorDeletesItsFile) {
    int fd = _wopen(L"C:\\scratch", _O_CREAT | _O_RDWR | _O_BINARY | _O_TEMPORARY);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(TestMachine::HostExists(Host("/scratch")));
    _close(fd);
    EXPECT_FALSE(TestMachine::HostExists(Host("/scratch")));
}

TEST_F(CrtTest, FileSystemCallsSetErrno) {
    EXPECT_EQ(_wmkdir(L"C:\\d"), 0);
    EXPECT_EQ(_wmkdir(L"C:\\d"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(_wmkdir(L"C:\\x\\y"), -1);
    EXPECT_EQ(errno, ENOENT);
    Put("/d/f", "12345");
    struct _stat64 st {};
    ASSERT_EQ(_wstat64(L"C:\\d\\f", &st), 0);
    EXPECT_EQ(st.st_size, 5);
    EXPECT_EQ(st.st_mode & _S_IFREG, _S_IFREG);
    EXPECT_EQ(st.st_mode & _S_IWRITE, _S_IWRITE);
    ASSERT_EQ(_wstat64(L"C:\\d", &st), 0);
    EXPECT_EQ(st.st_mode & _S_IFDIR, _S_IFDIR);
    EXPECT_EQ(_wstat64(L"C:\\d\\none", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_waccess(L"C:\\d\\none", 0), -1);
    EXPECT_EQ(errno, ENOENT);

    Put("/d/g", "g");
    EXPECT_EQ(_wrename(L"C:\\d\\f", L"C:\\d\\g"), -1);
    EXPECT_EQ(errno, EACCES);  // an existing target is never replaced
    EXPECT_EQ(Get("/d/g"), "g");
    EXPECT_EQ(_wrename(L"C:\\d\\f", L"C:\\d\\h"), 0);
    EXPECT_EQ(Get("/d/h"), "12345");
    EXPECT_EQ(_wrename(L"C:\\d\\f", L"C:\\d\\i"), -1);
    EXPECT_EQ(errno, ENOENT);

    EXPECT_EQ(_wrmdir(L"C:\\d"), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(_wunlink(L"C:\\d\\g"), 0);
    EXPECT_EQ(_wremove(L"C:\\d\\h"), 0);
    EXPECT_EQ(_wremove(L"C:\\d\\h"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wrmdir(L"C:\\d"), 0);
}

}  // namespace
