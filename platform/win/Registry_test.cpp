#include "platform/win/Registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/win/Environment.h"

namespace {

namespace fs = std::filesystem;

std::vector<BYTE> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// The file's text, from UTF-16LE with BOM.
std::u16string Utf16Text(const std::vector<BYTE>& b) {
    std::u16string s;
    if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xFE)
        return u"<no UTF-16LE BOM>";
    for (size_t i = 2; i + 1 < b.size(); i += 2)
        s.push_back(static_cast<char16_t>(b[i] | b[i + 1] << 8));
    return s;
}

DWORD Bytes(const wchar_t* text) {
    return static_cast<DWORD>((std::wcslen(text) + 1) * 2);
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_registry_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        win::SetUserDirectory(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Forgets everything the process holds, as a new process would.
    void Reload() { win::SetUserDirectory(m_dir); }

    HKEY Create(HKEY root, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS) {
        HKEY h = nullptr;
        EXPECT_EQ(RegCreateKeyExW(root, path, 0, nullptr, 0, access, nullptr, &h, nullptr),
                  ERROR_SUCCESS);
        return h;
    }

    std::wstring QueryString(HKEY h, const wchar_t* name) {
        wchar_t buf[260] = {};
        DWORD cb = sizeof buf / sizeof buf[0] * 2, type = 0;
        if (RegQueryValueExW(h, name, nullptr, &type, buf, &cb) != ERROR_SUCCESS)
            return L"<fail>";
        return buf;
    }

    std::string m_dir;
};

TEST_F(RegistryTest, HiveIsWrittenInRegeditsExportFormat) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere\\Config");
    DWORD one = 0x1f;
    ASSERT_EQ(RegSetValueExW(k, L"debug", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_SUCCESS);
    const wchar_t* from = L"C:\\Mail \"Box\"";
    ASSERT_EQ(RegSetValueExW(k, L"From", 0, REG_SZ, from, Bytes(from)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, nullptr, 0, REG_SZ, L"d", Bytes(L"d")), ERROR_SUCCESS);
    BYTE bin[] = {1, 2, 0xab};
    ASSERT_EQ(RegSetValueExW(k, L"Bin", 0, REG_BINARY, bin, 3), ERROR_SUCCESS);
    const wchar_t multi[] = L"a\0b\0";
    ASSERT_EQ(RegSetValueExW(k, L"Multi", 0, REG_MULTI_SZ, multi, 10), ERROR_SUCCESS);
    HKEY f = Create(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere\\Folders\\0001AB");
    RegCloseKey(f);
    RegCloseKey(k);

    std::u16string expected =
        u"Windows Registry Editor Version 5.00\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER]\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software]\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Brindlecast]\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere]\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
        u"\"debug\"=dword:0000001f\r\n"
        u"\"From\"=\"C:\\\\Mail \\\"Box\\\"\"\r\n"
        u"@=\"d\"\r\n"
        u"\"Bin\"=hex:01,02,ab\r\n"
        u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Folders]\r\n"
        u"\r\n"
        u"[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Folders\\0001AB]\r\n"
        u"\r\n";
    std::string hive = m_dir + "/registry/HKEY_CURRENT_USER.reg";
    EXPECT_EQ(win::HiveFilePath(HKEY_CURRENT_USER), hive);
    EXPECT_TRUE(Utf16Text(ReadBytes(hive)) == expected);
    std::string exported = m_dir + "/export.reg";
    ASSERT_EQ(win::ExportRegFile(HKEY_CURRENT_USER, exported), ERROR_SUCCESS);
    EXPECT_EQ(ReadBytes(exported), ReadBytes(hive));
}

TEST_F(RegistryTest, ValuesSurviveReloadAndImportFieldForField) {
    // Written by hand as regedit writes it, with a wrapped hex line.
    std::string regText =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\T]\r\n"
        "@=\"default\"\r\n"
        "\"Dword\"=dword:0000001f\r\n"
        "\"Esc\"=\"a\\\\b \\\"q\\\"\"\r\n"
        "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
        "  16,17\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Exp\"=hex(2):25,00,54,00,25,00,00,00\r\n"
        "\"Q\"=hex(b):01,02,00,00,00,00,00,80\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\T\\Nested\\Deeper]\r\n"
        "\"x\"=\"y\"\r\n\r\n";
    WriteBytes(m_dir + "/in.reg", regText);
    ASSERT_EQ(win::ImportRegFile(m_dir + "/in.reg"), ERROR_SUCCESS);

    auto check = [&](const char* when) {
        SCOPED_TRACE(when);
        HKEY k = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\T", 0, KEY_READ, &k), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(k, L""), L"default");
        EXPECT_EQ(QueryString(k, L"Esc"), L"a\\b \"q\"");
        DWORD v = 0, cb = 4, type = 0;
        ASSERT_EQ(RegQueryValueExW(k, L"Dword", nullptr, &type, reinterpret_cast<BYTE*>(&v), &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, REG_DWORD);
        EXPECT_EQ(v, 0x1fu);
        BYTE bin[64];
        cb = sizeof bin;
        ASSERT_EQ(RegQueryValueExW(k, L"Bin", nullptr, &type, bin, &cb), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_BINARY);
        ASSERT_EQ(cb, 24u);
        for (int i = 0; i < 24; ++i)
            EXPECT_EQ(bin[i], i);
        wchar_t multi[8];
        cb = sizeof multi / sizeof multi[0] * 2;
        ASSERT_EQ(RegQueryValueExW(k, L"Multi", nullptr, &type, multi, &cb), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_MULTI_SZ);
        EXPECT_EQ(cb, 10u);
        EXPECT_EQ(std::wstring(multi, 5), std::wstring(L"a\0b\0\0", 5));
        EXPECT_EQ(QueryString(k, L"Exp"), L"%T%");
        unsigned long long q = 0;
        cb = 8;
        ASSERT_EQ(RegQueryValueExW(k, L"Q", nullptr, &type, reinterpret_cast<BYTE*>(&q), &cb),
                  ERROR_SUCCESS);
        EXPECT_EQ(type, REG_QWORD);
        EXPECT_EQ(q, 0x8000000000000201ull);
        HKEY d = nullptr;
        ASSERT_EQ(RegOpenKeyExW(k, L"Nested\\Deeper", 0, KEY_READ, &d), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(d, L"x"), L"y");
        RegCloseKey(d);
        RegCloseKey(k);
    };
    check("after import");
    Reload();
    check("after reload from the hive file");
    std::string exported = m_dir + "/out.reg";
    ASSERT_EQ(win::ExportRegFile(HKEY_CURRENT_USER, exported), ERROR_SUCCESS);
    fs::remove(m_dir + "/registry/HKEY_CURRENT_USER.reg");
    Reload();
    HKEY none = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\T", 0, KEY_READ, &none),
              ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(win::ImportRegFile(exported), ERROR_SUCCESS);
    check("after importing the export");
}

TEST_F(RegistryTest, ImportRemovesKeysAndValuesAndRejectsDefectsWhole) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Old\\Sub");
    RegSetValueExW(k, L"v", 0, REG_SZ, L"x", Bytes(L"x"));
    RegCloseKey(k);
    k = Create(HKEY_CURRENT_USER, L"Software\\Keep");
    RegSetValueExW(k, L"gone", 0, REG_SZ, L"x", Bytes(L"x"));
    WriteBytes(m_dir + "/bad.reg",
               "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
               "[HKEY_CURRENT_USER\\Software\\Keep]\r\n\"gone\"=dword:xyz\r\n");
    EXPECT_EQ(win::ImportRegFile(m_dir + "/bad.reg"), ERROR_BADDB);
    HKEY probe = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Old\\Sub", 0, KEY_READ, &probe),
              ERROR_SUCCESS);
    RegCloseKey(probe);

    WriteBytes(m_dir + "/ok.reg",
               "Windows Registry Editor Version 5.00\r\n\r\n[-HKEY_CURRENT_USER\\Software\\Old]\r\n"
               "[HKEY_CURRENT_USER\\Software\\Keep]\r\n\"gone\"=-\r\n");
    ASSERT_EQ(win::ImportRegFile(m_dir + "/ok.reg"), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Old", 0, KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExW(k, L"gone", nullptr, nullptr, static_cast<BYTE*>(nullptr), nullptr),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(k);
    WriteBytes(m_dir + "/other.reg",
               "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\X]\r\n");
    EXPECT_EQ(win::ImportRegFile(m_dir + "/other.reg"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(win::ImportRegFile(m_dir + "/missing.reg"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, ReadOnlyHandleRefusesEveryWrite) {
    RegCloseKey(Create(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere\\Config"));
    std::string hive = m_dir + "/registry/HKEY_CURRENT_USER.reg";
    std::vector<BYTE> before = ReadBytes(hive);
    HKEY r = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Brindlecast\\Quillmere\\Config", 0,
                            KEY_READ, &r),
              ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(r, L"debug", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteValueW(r, L"debug"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    EXPECT_EQ(RegCreateKeyExW(r, L"New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(RegDeleteTreeW(r, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadBytes(hive), before);
    RegCloseKey(r);

    // A write-only handle can't read or enumerate.
    HKEY w = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_WRITE, &w), ERROR_SUCCESS);
    DWORD cb = 4, v = 0;
    EXPECT_EQ(RegQueryValueExW(w, L"x", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
              ERROR_ACCESS_DENIED);
    wchar_t name[64];
    DWORD cch = 64;
    EXPECT_EQ(RegEnumKeyExW(w, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueExW(w, L"x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4), ERROR_SUCCESS);
    RegCloseKey(w);
}

TEST_F(RegistryTest, DamagedHiveFailsClearlyAndIsNeverOverwritten) {
    std::string hive = m_dir + "/registry/HKEY_CURRENT_USER.reg";
    std::string damaged =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n"
        "\"v\"=dword:zz\r\n";
    WriteBytes(hive, damaged);
    Reload();
    testing::internal::CaptureStderr();
    HKEY k = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &k), ERROR_BADDB);
    std::string diag = testing::internal::GetCapturedStderr();
    EXPECT_NE(diag.find(hive + ":4:"), std::string::npos) << diag;
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\X", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_BADDB);
    DWORD v = 1;
    EXPECT_EQ(RegSetValueExW(HKEY_CURRENT_USER, L"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&v), 4),
              ERROR_BADDB);
    EXPECT_EQ(ReadBytes(hive), std::vector<BYTE>(damaged.begin(), damaged.end()));
    // Another hive is unaffected.
    HKEY m = Create(HKEY_LOCAL_MACHINE, L"Software");
    RegCloseKey(m);

    // Repaired by hand: usable again without a restart.
    WriteBytes(hive,
               "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software]\r\n"
               "\"v\"=dword:00000002\r\n\r\n");
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD cb = 4;
    EXPECT_EQ(RegQueryValueExW(k, L"v", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, NamesAreCaseInsensitiveAndKeepTheirCase) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\MixedCase");
    ASSERT_EQ(RegSetValueExW(k, L"ShareName", 0, REG_SZ, L"one", Bytes(L"one")), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, L"SHARENAME", 0, REG_SZ, L"two", Bytes(L"two")), ERROR_SUCCESS);
    EXPECT_EQ(QueryString(k, L"sharename"), L"two");
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 1u);
    wchar_t name[32];
    DWORD cch = 32;
    ASSERT_EQ(
        RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, static_cast<BYTE*>(nullptr), nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"ShareName");
    RegCloseKey(k);

    HKEY again = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\mixedcase", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(again);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Other\\", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(again);
    HKEY sw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software", 0, KEY_READ, &sw), ERROR_SUCCESS);
    cch = 32;
    ASSERT_EQ(RegEnumKeyExW(sw, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), L"MixedCase");
    EXPECT_EQ(cch, 9u);
    RegCloseKey(sw);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"\\Software", 0, KEY_READ, &sw),
              ERROR_BAD_PATHNAME);
}

TEST_F(RegistryTest, SubkeysEnumerateSortedAndValuesInCreationOrder) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Order");
    for (const wchar_t* n : {L"b", L"C", L"a", L"B2", L"_x"})
        RegCloseKey(Create(k, n));
    for (const wchar_t* n : {L"z", L"A", L"m"})
        ASSERT_EQ(RegSetValueExW(k, n, 0, REG_SZ, n, Bytes(n)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(k, L"A", 0, REG_SZ, L"again", Bytes(L"again")), ERROR_SUCCESS);

    auto enumerate = [&] {
        std::vector<std::wstring> keys, values;
        wchar_t name[32];
        DWORD cch = 32;
        for (DWORD i = 0;
             RegEnumKeyExW(k, i, name, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++i, cch = 32)
            keys.push_back(name);
        for (DWORD i = 0; RegEnumValueW(k, i, name, &cch, nullptr, nullptr,
                                        static_cast<BYTE*>(nullptr), nullptr) == ERROR_SUCCESS;
             ++i, cch = 32)
            values.push_back(name);
        return std::make_pair(keys, values);
    };
    // Upper-cased, '_' (0x5F) sorts after the letters.
    std::vector<std::wstring> keys = {L"a", L"b", L"B2", L"C", L"_x"};
    std::vector<std::wstring> values = {L"z", L"A", L"m"};
    EXPECT_EQ(enumerate(), std::make_pair(keys, values));
    RegCloseKey(k);
    Reload();
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Order", 0, KEY_READ, &k), ERROR_SUCCESS);
    EXPECT_EQ(enumerate(), std::make_pair(keys, values));
    wchar_t small[2];
    DWORD cch = 2;
    EXPECT_EQ(RegEnumKeyExW(k, 2, small, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    cch = 2;
    EXPECT_EQ(RegEnumKeyExW(k, 5, small, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
}

TEST_F(RegistryTest, TreeDeletionRemovesEverythingBelowAndInvalidatesHandles) {
    HKEY folder = Create(HKEY_CURRENT_USER, L"Software\\Q\\Folders\\00AB");
    RegSetValueExW(folder, L"ShareName", 0, REG_SZ, L"s", Bytes(L"s"));
    HKEY users = Create(folder, L"Users\\bob@example.com");
    HKEY folders = Create(HKEY_CURRENT_USER, L"Software\\Q\\Folders");
    EXPECT_EQ(RegDeleteKeyW(folders, L"00AB"), ERROR_ACCESS_DENIED);  // has subkeys
    ASSERT_EQ(RegDeleteTreeW(folders, L"00ab"), ERROR_SUCCESS);
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExW(folders, L"00AB", 0, KEY_READ, &probe), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(QueryString(folder, L"ShareName"), L"<fail>");
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(users, L"", nullptr, nullptr, static_cast<BYTE*>(nullptr), &cb),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueExW(folder, L"x", 0, REG_SZ, L"x", Bytes(L"x")), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(users), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(folder), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(folder), ERROR_INVALID_HANDLE);
    // A recreated key of the same name is a new key; the file no longer has it.
    RegCloseKey(Create(folders, L"Leaf"));
    EXPECT_EQ(RegDeleteKeyW(folders, L"LEAF"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(folders, L"Leaf"), ERROR_FILE_NOT_FOUND);
    Reload();
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Q\\Folders\\00AB", 0, KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(folders, L"", 0, KEY_READ, &probe), ERROR_KEY_DELETED)
        << "handles from before a user directory change are stale";
    RegCloseKey(folders);
}

TEST_F(RegistryTest, SizesCountTwoBytesPerTextUnit) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Sizes");
    ASSERT_EQ(RegSetValueExW(k, L"s", 0, REG_SZ, L"abc", Bytes(L"abc")), ERROR_SUCCESS);
    DWORD cb = 0, type = 0;
    ASSERT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, static_cast<wchar_t*>(nullptr), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u);
    cb = 0;
    ASSERT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 8u);
    EXPECT_EQ(type, REG_SZ);
    wchar_t small[3] = {L'x', L'x', L'x'};
    cb = 6;
    EXPECT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 8u);
    // The stored bytes are UTF-16LE, as seen through the byte form.
    BYTE raw[8];
    cb = 8;
    ASSERT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, raw, &cb), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(raw, raw + 8), (std::vector<BYTE>{'a', 0, 'b', 0, 'c', 0, 0, 0}));
    // A text value read into a DWORD through the byte form writes no more
    // than the DWORD holds.
    struct {
        DWORD value = 0;
        DWORD guard = 0xCAFEBABE;
    } d;
    cb = 4;
    EXPECT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, reinterpret_cast<BYTE*>(&d.value), &cb),
              ERROR_MORE_DATA);
    EXPECT_EQ(d.guard, 0xCAFEBABEu);
    ASSERT_EQ(RegSetValueExW(k, L"one", 0, REG_SZ, L"1", Bytes(L"1")), ERROR_SUCCESS);
    cb = 4;
    ASSERT_EQ(RegQueryValueExW(k, L"one", nullptr, &type, reinterpret_cast<BYTE*>(&d.value), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(d.value, 0x31u);
    EXPECT_EQ(d.guard, 0xCAFEBABEu);
    // Data without a size is refused; a missing value is not found.
    EXPECT_EQ(RegQueryValueExW(k, L"s", nullptr, &type, raw, nullptr), ERROR_INVALID_PARAMETER);
    cb = 8;
    EXPECT_EQ(RegQueryValueExW(k, L"nope", nullptr, &type, raw, &cb), ERROR_FILE_NOT_FOUND);
    DWORD maxData = 0, maxName = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &maxName, &maxData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(maxData, 8u);
    EXPECT_EQ(maxName, 3u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, ThreadsWritingAtOnceLoseNothing) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            HKEY own = nullptr;
            ASSERT_EQ(
                RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Threads", 0, KEY_ALL_ACCESS, &own),
                ERROR_SUCCESS);
            for (DWORD i = 0; i < 25; ++i) {
                std::wstring name = L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i);
                ASSERT_EQ(
                    RegSetValueExW(own, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4),
                    ERROR_SUCCESS);
            }
            RegCloseKey(own);
        });
    }
    for (auto& th : threads)
        th.join();
    RegCloseKey(k);
    Reload();
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Threads", 0, KEY_READ, &k),
              ERROR_SUCCESS);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 100u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, TwoProcessesSeeAndKeepEachOthersWrites) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Procs");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The rule helper, say: its own process, same user directory.
        int bad = 0;
        for (DWORD i = 0; i < 30; ++i) {
            std::wstring name = L"child" + std::to_wstring(i);
            if (RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4) !=
                ERROR_SUCCESS)
                ++bad;
        }
        _exit(bad);
    }
    for (DWORD i = 0; i < 30; ++i) {
        std::wstring name = L"parent" + std::to_wstring(i);
        ASSERT_EQ(RegSetValueExW(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&i), 4),
                  ERROR_SUCCESS);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // Without a reload: the file's change is noticed by the next read.
    DWORD v = 0, cb = 4;
    EXPECT_EQ(RegQueryValueExW(k, L"child29", nullptr, nullptr, reinterpret_cast<BYTE*>(&v), &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(v, 29u);
    DWORD values = 0;
    ASSERT_EQ(RegQueryInfoKeyW(k, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 60u);
    RegCloseKey(k);
}

TEST_F(RegistryTest, ReadersNoticeAnotherProcesssChangesAndDeletions) {
    HKEY gone = Create(HKEY_CURRENT_USER, L"Software\\Q\\Folders\\00CD");
    HKEY config = Create(HKEY_CURRENT_USER, L"Software\\Q\\Config");
    EXPECT_EQ(QueryString(config, L"From"), L"<fail>");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int bad = RegSetValueExW(config, L"From", 0, REG_SZ, L"a@b", Bytes(L"a@b")) != 0;
        bad += RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Q\\Folders") != 0;
        _exit(bad);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(QueryString(config, L"From"), L"a@b");
    DWORD cb = 0;
    EXPECT_EQ(RegQueryValueExW(gone, L"x", nullptr, nullptr, nullptr, &cb), ERROR_KEY_DELETED);
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Q\\Folders", 0, KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(gone);
    RegCloseKey(config);
}

TEST_F(RegistryTest, NamesTheFileCantHoldAreRefused) {
    HKEY k = Create(HKEY_CURRENT_USER, L"Software\\Names");
    EXPECT_EQ(RegSetValueExW(k, L"two\nlines", 0, REG_SZ, L"x", Bytes(L"x")),
              ERROR_INVALID_PARAMETER);
    HKEY bad = nullptr;
    EXPECT_EQ(RegCreateKeyExW(k, L"a\rb", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &bad, nullptr),
              ERROR_INVALID_PARAMETER);
    // Everything else the format can hold goes through a reload intact.
    const wchar_t* odd = L"[x]\"=@;\t\u00e9\U0001F600";
    ASSERT_EQ(RegSetValueExW(k, odd, 0, REG_SZ, odd, Bytes(odd)), ERROR_SUCCESS);
    RegCloseKey(Create(k, odd));
    RegCloseKey(k);
    Reload();
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Names", 0, KEY_READ, &k), ERROR_SUCCESS);
    wchar_t name[32];
    DWORD cch = 32;
    ASSERT_EQ(RegEnumValueW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), odd);
    EXPECT_EQ(QueryString(k, odd), L"[x]\"=@;\t\u00e9\uFFFD") << "no single unit above U+FFFF";
    cch = 32;
    ASSERT_EQ(RegEnumKeyExW(k, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(name), odd);
    RegCloseKey(k);
}

TEST_F(RegistryTest, HivesAreSeparateFiles) {
    RegCloseKey(Create(HKEY_LOCAL_MACHINE, L"Software\\Brindlecast\\Quillmere\\Config"));
    RegCloseKey(Create(HKEY_CLASSES_ROOT, L"Quillmere.Connect\\CLSID"));
    HKEY probe = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Brindlecast", 0, KEY_READ, &probe),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(fs::exists(m_dir + "/registry/HKEY_LOCAL_MACHINE.reg"));
    EXPECT_TRUE(fs::exists(m_dir + "/registry/HKEY_CLASSES_ROOT.reg"));
    EXPECT_FALSE(fs::exists(m_dir + "/registry/HKEY_CURRENT_USER.reg"));
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, L""), ERROR_ACCESS_DENIED);
}

}  // namespace
