#include "host/UserDirectory.h"

#include <filesystem>

#include "host/HostTestSupport.h"
#include "platform/store/Session.h"

namespace host::testing {
namespace {

TEST(UserDirectoryTest, ProfilesAreMadeWithStoreAccountAndVersionAndFoundByName) {
    TempRoot root;
    std::string user = root.Path() + "/gus";
    std::string error;
    ProfileInit work{L"Work", L"gus@work.example", true, L"16.0.1.2", L"15.1.2507"};
    ProfileInit home{L"Home", L"gus@home.example"};
    ASSERT_EQ(InitProfile(user, work, &error), S_OK) << error;
    ASSERT_EQ(InitProfile(user, home, &error), S_OK) << error;
    EXPECT_TRUE(std::filesystem::is_directory(user + "/registry"));
    EXPECT_TRUE(std::filesystem::is_directory(user + "/drive_c"));
    EXPECT_EQ(ProfileNames(user), (std::vector<std::wstring>{L"Home", L"Work"}));

    HostProfile p;
    ASSERT_EQ(LoadHostProfile(user, L"Work", &p, &error), S_OK) << error;
    EXPECT_EQ(p.mapi.profileName, L"Work");
    EXPECT_EQ(p.version, L"16.0.1.2");
    EXPECT_EQ(p.description.exchangeVersion, L"15.1.2507");
    EXPECT_EQ(p.addresses, std::vector<std::wstring>{L"gus@work.example"});
    ASSERT_EQ(p.mapi.stores.size(), 1u);
    EXPECT_TRUE(p.mapi.stores[0].isDefault);
    std::unique_ptr<store::Session> session;
    ASSERT_EQ(store::Session::Open(p.mapi.stores[0].hostPath, &session), S_OK);
    EXPECT_EQ(session->Info().kind, store::StoreKind::ExchangeMailbox);

    // No name: the first by name.
    ASSERT_EQ(LoadHostProfile(user, L"", &p, &error), S_OK);
    EXPECT_EQ(p.mapi.profileName, L"Home");
    ASSERT_EQ(store::Session::Open(p.mapi.stores[0].hostPath, &session), S_OK);
    EXPECT_EQ(session->Info().kind, store::StoreKind::PersonalUnicode);
}

TEST(UserDirectoryTest, BadProfilesAreRefusedWithAReason) {
    TempRoot root;
    std::string user = root.Path() + "/hal";
    std::string error;
    ASSERT_EQ(InitProfile(user, {L"Main", L"hal@example.org"}, &error), S_OK);
    const struct {
        ProfileInit init;
        HRESULT hr;
        const char* reason;
    } cases[] = {
        {{L"", L"hal@example.org"}, E_INVALIDARG, "profile name"},
        {{L"../x", L"hal@example.org"}, E_INVALIDARG, "profile name"},
        {{L"a\nb", L"hal@example.org"}, E_INVALIDARG, "profile name"},
        {{L"Other", L"hal"}, E_INVALIDARG, "address"},
        {{L"Other", L"@example.org"}, E_INVALIDARG, "address"},
        {{L"Main", L"hal@example.org"}, MAPI_E_COLLISION, "exists already"},
    };
    for (const auto& c : cases) {
        error.clear();
        EXPECT_EQ(InitProfile(user, c.init, &error), c.hr);
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    HostProfile p;
    EXPECT_EQ(LoadHostProfile(user, L"Missing", &p, &error), MAPI_E_NOT_FOUND);
    EXPECT_NE(error.find("(profiles: Main)"), std::string::npos) << error;
    EXPECT_EQ(LoadHostProfile(root.Path() + "/nobody", L"", &p, &error), MAPI_E_NOT_FOUND);
    EXPECT_NE(error.find("has no profile"), std::string::npos) << error;
}

}  // namespace
}  // namespace host::testing
