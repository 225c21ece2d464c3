#include "Quillmere/resources/LoadString.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win/Errors.h"
#include "platform/win/Resources.h"
#include "platform/win/Text.h"
#include "platform/win/Version.h"

namespace {

constexpr LCID kEnglish = 0x0409, kGerman = 0x0407, kSpanish = 0x0C0A, kFrench = 0x040C;

std::wstring Load(UINT id, LCID language) {
    std::wstring text = L"(unchanged)";
    LoadString(AddinResourceModule(), id, language, text);
    return text;
}

// The English texts, exactly as the add-in has always shown and mailed them.
const struct {
    UINT id;
    const wchar_t* text;
} kEnglishTexts[] = {
    {1213, L"Basic synchronization:"},
    {1214, L"Quillmere"},
    {1215, L"Error"},
    {1216, L"This address already exists"},
    {1220,
     L"This mail is a synchronization mail for Quillmere, it will be automatically processed."},
    {1221, L"help.chm"},
    {1222,
     L"Would you like to make a basic synchronization now?\nIf you cancel this operation, only "
     L"items you add or change in the future will be synchronized."},
    {1223, L"QuillmereRDO.dll  is not correctly registered"},
    {1224, L"Synchronize this folder"},
    {1225, L"Run basic synchronization"},
    {1226, L"Sharename:"},
    {1227, L"Do not synchronize private items"},
    {1228, L"Use this folder as inbox"},
    {1229, L"Synchronization-recipients"},
    {1231, L"Only items in this category will be synchronized"},
    {1233, L"Basic synchronization"},
    {1234, L"Items left"},
    {1235, L"Password (for encryption):"},
    {1237, L"Only synchronized only items as from today"},
    {1238, L"YES"},
    {1239, L"NO"},
    {1248, L"Use conflict resolution dialog"},
    {1249, L"Quillmere CHANGED"},
    {1250, L"Quillmere DELETED"},
    {1251, L"Quillmere NEW"},
    {1252, L"Add category:"},
    {1253, L"Config is locked by Admin"},
    {1254, L"Add to list"},
    {1255, L"Remove selected entry"},
    {1256, L"Choose your e-mail addresses from the address book"},
    {1259, L"Do not synchronize meeting requests"},
    {1260, L"Do not synchronize task requests"},
    {1263, L"compressing syncmails"},
    {1264, L"Quillmere COMPRESS"},
    {1265, L"Don't synchronize holidays"},
    {1266, L"There are more Mails to send."},
    {1268, L"Minutes left"},
    {1269, L"Your Server does not support the ICS interface from Exchange."},
    {1270, L"Your Sharename is empty!"},
    {1271, L"Your Sharename is already in use!"},
    {1272, L"Standardaccount"},
    {1273, L"Debuglog"},
    {1274, L"Tracking to Journalfolder"},
    {1275, L"Desktopnotification"},
    {1276, L"Remove Reminders"},
    {1277, L"Select Mailaccount:"},
    {1278, L"link categories to users"},
    {1279, L"open Log"},
    {1280, L"The sharename doe's not exist, please share your targetfolder with sharename %s"},
    {1281, L"Help to solve this problem:"},
    {1282,
     L"If you have .NET on your computer, you can run the Wizard with the following link to share "
     L"the folder you wish. Respectively use the Quillmere propertypage to share your Outlook "
     L"folder."},
    {1283,
     L"The Password found in that mail is not the same as in your Quillmere tab configured one."},
    {1284, L"The attachment is was zipped."},
    {1285, L"Errorlog"},
    {1286, L"sync only items which are marked as \"private\""},
    {1287, L"Settings overview"},
    {1288, L"A partner address or category must not contain a backslash."},
};

TEST(LoadStringTest, AddinModuleCarriesTheTables) {
    ASSERT_NE(AddinResourceModule(), nullptr);
    EXPECT_NE(FindResourceExW(AddinResourceModule(), RT_STRING, MAKEINTRESOURCE(77), 0x0007),
              nullptr);
}

TEST(LoadStringTest, EnglishTextsAreExact) {
    for (LCID language : {LCID{0x0000}, kEnglish, LCID{0x0809}}) {
        for (const auto& e : kEnglishTexts) {
            std::wstring text;
            ASSERT_TRUE(LoadString(AddinResourceModule(), e.id, language, text)) << e.id;
            EXPECT_EQ(text, e.text) << e.id;
        }
    }
    EXPECT_EQ(Load(1223, kEnglish), L"QuillmereRDO.dll  is not correctly registered");
    EXPECT_EQ(Load(1286, kEnglish), L"sync only items which are marked as \"private\"");
}

TEST(LoadStringTest, SyncMailTextFollowsTheLanguage) {
    struct Case {
        LCID language;
        const wchar_t* text;
    } cases[] = {
        {0x0409,
         L"This mail is a synchronization mail for Quillmere, it will be automatically processed."},
        {0x0407,
         L"Diese Mail ist eine Synchronisationsmail für Quillmere und wird automatisch "
         L"verarbeitet."},
        {0x0C07,
         L"Diese Mail ist eine Synchronisationsmail für Quillmere und wird automatisch "
         L"verarbeitet."},
        {0x0C0A,
         L"Este correo es un correo de sincronización de Quillmere y se procesará "
         L"automáticamente."},
        {0x040A,
         L"Este correo es un correo de sincronización de Quillmere y se procesará "
         L"automáticamente."},
        {0x040C,
         L"Ce message est un message de synchronisation de Quillmere ; il sera traité "
         L"automatiquement."},
        {0x0411,
         L"This mail is a synchronization mail for Quillmere, it will be automatically processed."},
        {0x0419,
         L"This mail is a synchronization mail for Quillmere, it will be automatically processed."},
        // Only the low 16 bits of the LCID count (here with a sort id).
        {0x00010407,
         L"Diese Mail ist eine Synchronisationsmail für Quillmere und wird automatisch "
         L"verarbeitet."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Load(1220, c.language), c.text) << std::hex << c.language;
}

TEST(LoadStringTest, FixedTextsAreTheSameOrGivenPerLanguage) {
    struct Case {
        UINT id;
        LCID language;
        const wchar_t* text;
    } cases[] = {
        {1214, kEnglish, L"Quillmere"},      {1214, kGerman, L"Quillmere"},
        {1214, kSpanish, L"Quillmere"},      {1214, kFrench, L"Quillmere"},
        {1221, kEnglish, L"help.chm"},       {1221, kGerman, L"hilfe.chm"},
        {1221, kSpanish, L"hilfe.chm"},      {1221, kFrench, L"aide.chm"},
        {1221, 0x0C07, L"hilfe.chm"},        {1221, 0x080C, L"aide.chm"},
        {1221, 0x0411, L"help.chm"},         {1272, kEnglish, L"Standardaccount"},
        {1272, kGerman, L"Standardaccount"}, {1272, kSpanish, L"Standardaccount"},
        {1272, kFrench, L"Compte standard"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Load(c.id, c.language), c.text) << c.id << " " << std::hex << c.language;
}

TEST(LoadStringTest, EveryIdIsTranslatedInEveryTable) {
    // Texts that read the same in a translation on purpose.
    auto sameOnPurpose = [](UINT id, LCID language) {
        return id == 1214 || (id == 1272 && language != kFrench) ||
               (id == 1215 && language == kSpanish) || (id == 1239 && language == kSpanish);
    };
    for (LCID language : {kGerman, kSpanish, kFrench}) {
        for (const auto& e : kEnglishTexts) {
            std::wstring text;
            ASSERT_TRUE(LoadString(AddinResourceModule(), e.id, language, text))
                << e.id << " " << std::hex << language;
            EXPECT_FALSE(text.empty());
            if (!sameOnPurpose(e.id, language)) {
                EXPECT_NE(text, e.text) << e.id << " " << std::hex << language;
            }
        }
        // Placeholders survive translation.
        EXPECT_NE(Load(1280, language).find(L"%s"), std::wstring::npos);
        EXPECT_NE(Load(1222, language).find(L'\n'), std::wstring::npos);
    }
}

TEST(LoadStringTest, MissingIdFailsAndLeavesTheTextUnchanged) {
    for (LCID language : {LCID{0}, kEnglish, kGerman, kSpanish, kFrench, LCID{0x0411}}) {
        std::wstring text = L"before";
        EXPECT_FALSE(LoadString(AddinResourceModule(), 5224, language, text));
        EXPECT_EQ(text, L"before");
        std::wstring empty;
        EXPECT_FALSE(LoadString(AddinResourceModule(), 5224, language, empty));
        EXPECT_EQ(empty, L"");
        // An id inside a present block without an entry of its own.
        EXPECT_FALSE(LoadString(AddinResourceModule(), 1217, language, text));
        EXPECT_FALSE(LoadString(AddinResourceModule(), 0x10000 + 1220, language, text));
        EXPECT_EQ(text, L"before");
    }
    std::wstring text = L"before";
    int notAModule = 0;
    EXPECT_FALSE(LoadString(reinterpret_cast<HMODULE>(&notAModule), 1220, kEnglish, text));
    EXPECT_EQ(text, L"before");
}

TEST(LoadStringTest, BlockWalkStaysWithinTheResource) {
    // Entries: 0 = "", 1 = "ab", 2 = "c", the rest missing from the bytes.
    const std::vector<BYTE> block = {0, 0, 2, 0, 'a', 0, 'b', 0, 1, 0, 'c', 0};
    struct Case {
        const char* defect;
        DWORD size;
        UINT index;
        bool found;
        const wchar_t* text;
    } cases[] = {
        {"whole entry", 12, 1, true, L"ab"},
        {"last entry in the bytes", 12, 2, true, L"c"},
        {"empty entry", 12, 0, false, nullptr},
        {"entry after the end", 12, 3, false, nullptr},
        {"text cut by the end", 11, 2, false, nullptr},
        {"length cut by the end", 9, 2, false, nullptr},
        {"length field missing", 1, 0, false, nullptr},
        {"no bytes", 0, 0, false, nullptr},
        {"index beyond the block", 12, 16, false, nullptr},
    };
    for (const auto& c : cases) {
        // Copy exactly `size` bytes to the heap so a sanitizer sees any over-read.
        std::vector<BYTE> bytes(block.begin(), block.begin() + c.size);
        std::wstring text = L"before";
        EXPECT_EQ(StringFromBlock(bytes.data(), c.size, c.index, text), c.found) << c.defect;
        EXPECT_EQ(text, c.found ? c.text : L"before") << c.defect;
    }
    // A length that claims more than the block holds.
    const std::vector<BYTE> lying = {0xFF, 0xFF, 'x', 0};
    std::wstring text = L"before";
    EXPECT_FALSE(StringFromBlock(lying.data(), 4, 0, text));
    EXPECT_EQ(text, L"before");
}

TEST(LoadStringTest, ModuleVersionIsTheProjectVersion) {
    wchar_t path[1024];
    ASSERT_GT(GetModuleFileNameW(AddinResourceModule(), path, 1024), 0u);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &handle);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, handle, size, block.data()));
    VS_FIXEDFILEINFO* info = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &len));
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", HIWORD(info->dwFileVersionMS),
                  LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS));
    EXPECT_STREQ(text, QM_PROJECT_VERSION);
    EXPECT_EQ(LOWORD(info->dwFileVersionLS), 0);
}

TEST(LoadStringTest, AddinModuleFileCarriesTablesAndVersion) {
    // libQuillmere.so links this library whole: its own module answers.
    HMODULE addin = LoadLibraryW(L"Quillmere.dll");
    ASSERT_NE(addin, nullptr) << GetLastError();
    std::wstring text;
    EXPECT_TRUE(LoadString(addin, 1220, 0x0C07, text));
    EXPECT_EQ(text,
              L"Diese Mail ist eine Synchronisationsmail für Quillmere und wird automatisch "
              L"verarbeitet.");
    EXPECT_TRUE(LoadString(addin, 1221, 0x040C, text));
    EXPECT_EQ(text, L"aide.chm");
    wchar_t path[1024];
    ASSERT_GT(GetModuleFileNameW(addin, path, 1024), 0u);
    EXPECT_STREQ(path, L"P:\\Quillmere.dll");
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path, nullptr));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, static_cast<DWORD>(block.size()), block.data()));
    wchar_t* version = nullptr;
    UINT len = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\040904b0\\FileVersion",
                               reinterpret_cast<void**>(&version), &len));
    EXPECT_EQ(win::ToUtf8(version), QM_PROJECT_VERSION);
    FreeLibrary(addin);
}

}  // namespace
