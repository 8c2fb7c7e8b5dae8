// The security service: user files, what pages cannot see, and the automatic log-out (with the
// backlight's hold on it).
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "security/security_object.h"
#include "support/data_directory.h"
#include "support/global_events.h"
#include "support/script_doubles.h"
#include "support/variants.h"

namespace {

using namespace std::literals;

// A data directory whose files hold "admin" (pass code 1234, level 0).
void PutAdministrator(const DataDirectory& data) {
    UserDatabase database;
    database.SetPassCode(u"admin", u"1234");
    database.SetLevels(u"admin", {0});
    ASSERT_EQ(database.Save(data.Path()), S_OK);
}

TEST(UserDatabaseTest, PassCodesCompareWholly) {
    struct Case {
        std::u16string_view a, b;
        bool equal;
    } cases[] = {{u"", u"", true},         {u"1234", u"1234", true}, {u"1234", u"1235", false},
                 {u"123", u"1234", false}, {u"1234", u"123", false}, {u"", u"0", false},
                 {u"a\0"sv, u"a", false}};
    for (const Case& c : cases)
        EXPECT_EQ(ConstantTimeEqual(c.a, c.b), c.equal)
            << Utf16ToUtf8(c.a) << " / " << Utf16ToUtf8(c.b);
}

TEST(UserDatabaseTest, OnlyElementNamesAreUserNames) {
    const std::pair<std::u16string_view, bool> cases[] = {
        {u"bob", true},  {u"_bob", true},  {u"b.o-b2", true}, {u"\u00e9mile", true},
        {u"", false},    {u"7up", false},  {u"a b", false},   {u"a:b", false},
        {u"a<b", false}, {u"-bob", false}, {u"12", false}};
    for (const auto& [name, accepted] : cases)
        EXPECT_EQ(UserDatabase::NameProblem(name).empty(), accepted) << Utf16ToUtf8(name);
    EXPECT_EQ(UserDatabase::NameProblem(u""), u"Invalid UserName");
}

class RecordingSink : public CXMLErrorSink {
  public:
    std::vector<std::string> messages;
    void OnXMLError(std::u16string_view message) override {
        messages.push_back(Utf16ToUtf8(message));
    }
};

TEST(UserDatabaseTest, DamagedOrMissingFilesLeaveTheirPartEmpty) {
    const std::string users =
        "<root_object Type=\"Array\"><Admin>ABC</Admin><bob>77</bob></root_object>";
    const std::string levels =
        "<root_object Type=\"Array\"><item Index=\"0\" Type=\"Array\"><admin/><ghost/></item>"
        "<item Index=\"12\" Type=\"Array\"><bob/></item></root_object>";
    struct Case {
        const char* what;
        std::string users, levels;
        bool fails;
        std::size_t user_count;
        std::vector<LONG> admin_levels;
    } cases[] = {
        {"both files", users, levels, false, 2, {0}},
        {"damaged users", "<root_object Type=\"Array\"><admin>1", levels, true, 0, {}},
        {"damaged levels", users, levels.substr(0, 40), true, 2, {}},
        {"no levels file", users, "", false, 2, {}},
        {"no files", "", "", false, 0, {}},
    };
    for (const Case& c : cases) {
        DataDirectory data;
        if (!c.users.empty()) data.Put("Users.xml", c.users);
        if (!c.levels.empty()) data.Put("Security.xml", c.levels);
        UserDatabase database;
        database.SetPassCode(u"old", u"1");
        RecordingSink sink;
        const HRESULT hr = database.Load(data.Path(), &sink);
        EXPECT_EQ(FAILED(hr), c.fails) << c.what;
        EXPECT_EQ(!sink.messages.empty(), c.fails) << c.what;
        EXPECT_EQ(database.users().size(), c.user_count) << c.what;
        EXPECT_EQ(database.LevelsOf(u"admin"), c.admin_levels) << c.what;
        EXPECT_TRUE(database.LevelsOf(u"ghost").empty()) << c.what;
        for (const std::string& message : sink.messages)
            EXPECT_EQ(message.find("abc"), std::string::npos) << "a pass code in: " << message;
    }
}

// What pages cannot see: VerifyUser, and that every change reaches the files, which only their
// owner may read, also when two threads add users at once. The rules and their result texts are
// in tests/pages/users_first_admin.js.
TEST(SecurityObjectTest, VerifyUserAndChangesReachTheOwnersFiles) {
    DataDirectory data;
    PutAdministrator(data);
    auto security = New<CSecurityOb>();
    security->Load(data.Path());
    LONG ok = 0;
    ASSERT_EQ(security->Login(CComBSTR(u"1234"), &ok), S_OK);
    ASSERT_EQ(ok, 1);
    CComBSTR added, carl, refused;  // out-parameters: one each
    ASSERT_EQ(security->AddUser(CComBSTR(u"Bob"), CComBSTR(u"CoDe"),
                                ScriptArray::Bytes({1, 9, 10, -1}).get(), &added),
              S_OK);
    // An administrator giving an unknown name a pass code makes a user without levels.
    ASSERT_EQ(security->SetPassword(CComBSTR(u"carl"), CComBSTR(u"9"), &carl), S_OK);
    EXPECT_EQ(carl.utf8(), "");
    ASSERT_EQ(security->SetPassword(CComBSTR(u"no body"), CComBSTR(u"8"), &refused), S_OK);
    EXPECT_EQ(refused.utf8().rfind("Invalid UserName: ", 0), 0u);

    constexpr int kPerThread = 20;
    auto add = [&](const char* prefix) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string n = prefix + std::to_string(i);
            CComBSTR message;
            EXPECT_EQ(security->AddUser(CComBSTR(std::string_view(n)),
                                        CComBSTR(std::string_view("c" + n)),
                                        ScriptArray::Bytes({1}).get(), &message),
                      S_OK);
            EXPECT_EQ(message.utf8(), "");
        }
    };
    // The last writes to the files come from two threads at once.
    std::thread a(add, "a"), b(add, "b");
    a.join();
    b.join();

    auto restarted = New<CSecurityOb>();
    restarted->Load(data.Path());
    struct Case {
        std::u16string_view name, code;
        LONG verified;
    } cases[] = {{u"BOB", u"code", 1},  {u"bob", u"9", 0},   {u"carl", u"9", 1},
                 {u"no body", u"8", 0}, {u"nobody", u"", 0}, {u"admin", u"1234", 1}};
    for (const Case& c : cases) {
        LONG result = -1;
        ASSERT_EQ(restarted->VerifyUser(CComBSTR(c.name), CComBSTR(c.code), &result), S_OK);
        EXPECT_EQ(result, c.verified) << Utf16ToUtf8(c.name);
    }
    CComBSTR user;
    restarted->get_CurrentUser(&user);
    EXPECT_EQ(user.utf8(), "guest");  // verifying logs nobody in
    EXPECT_EQ(restarted->VerifyUser(nullptr, nullptr, nullptr), E_POINTER);

    for (const char* file : {"Users.xml", "Security.xml"})
        EXPECT_EQ(std::filesystem::status(data / file).permissions(),
                  std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
            << file;
    // Every level is written, empty ones too; levels outside 0 to 9 are not kept.
    EXPECT_NE(data.Get("Security.xml").find("Index=\"5\""), std::string::npos);
    UserDatabase saved;
    ASSERT_EQ(saved.Load(data.Path(), nullptr), S_OK);
    EXPECT_EQ(saved.users().size(), 3u + 2 * kPerThread);  // admin, bob, carl and the threads'
    EXPECT_EQ(saved.LevelsOf(u"bob"), (std::vector<LONG>{1, 9}));
}

// With a running Global: the events and the automatic log-out on the test clock.
class SecurityWithGlobalTest : public GlobalOnTestClock {
  protected:
    SecurityWithGlobalTest() {
        PutAdministrator(data_);
        global_->Config().DispatchExMembers().SetValue(u"AutoLogoff_Delay", I4(30));
        security().Load(data_.Path());
        events_ = HandlersFor(global_.get(), {u"UserChanged", u"AutoLogout"});
        global_->Start();
    }

    CSecurityOb& security() { return global_->Security(); }
    std::string User() {
        CComBSTR user;
        security().get_CurrentUser(&user);
        return user.utf8();
    }

    DataDirectory data_;
};

TEST_F(SecurityWithGlobalTest, AutoLogoutComesOnceItsDelayHasPassedUnlessTheBacklightHoldsIt) {
    LONG ok = 0;
    security().Login(CComBSTR(u"1234"), &ok);
    ASSERT_TRUE(events_[0]->WaitFor(1));
    ASSERT_EQ(security().ResetAutoLogout(), S_OK);
    ASSERT_EQ(security().put_AutoLogout(5), S_OK);
    LONG delay = 0;
    security().get_AutoLogout(&delay);
    EXPECT_EQ(delay, 30);

    AwaitTimersDueIn(4999);
    EXPECT_EQ(User(), "admin");
    AwaitTimersDueIn(1);
    EXPECT_EQ(User(), "guest");
    EXPECT_EQ(security().ActiveDelay(), 30);
    ASSERT_TRUE(events_[1]->WaitFor(1));
    ASSERT_TRUE(events_[0]->WaitFor(2));

    // The countdown is 32-bit milliseconds: 4 294 968 s keeps the low 32 bits, 704 ms.
    security().Login(CComBSTR(u"1234"), &ok);
    ASSERT_EQ(security().put_AutoLogout(4294968), S_OK);
    AwaitTimersDueIn(703);
    EXPECT_EQ(User(), "admin");
    AwaitTimersDueIn(1);
    EXPECT_EQ(User(), "guest");

    // The backlight's pause holds the log-out, and activity restarts its countdown.
    security().Login(CComBSTR(u"1234"), &ok);
    ASSERT_EQ(security().put_AutoLogout(30), S_OK);
    CBacklightController& backlight = global_->Backlight();
    AwaitTimersDueIn(20000);
    backlight.UserActivity();  // 30 s from now again
    AwaitTimersDueIn(29999);
    EXPECT_EQ(User(), "admin");

    backlight.Pause();
    EXPECT_TRUE(security().LogoutPaused());
    AwaitTimersDueIn(10000);
    EXPECT_EQ(User(), "admin");  // held
    backlight.Unpause();
    EXPECT_FALSE(security().LogoutPaused());
    AwaitTimersDueIn(29999);
    EXPECT_EQ(User(), "admin");
    AwaitTimersDueIn(1);
    EXPECT_EQ(User(), "guest");
}

}  // namespace
