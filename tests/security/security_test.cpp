// The security service: the user files, the administration rules and their result texts, and
// the automatic log-out with its events.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "global/global.h"
#include "platform/clock.h"
#include "security/security_object.h"
#include "support/data_directory.h"
#include "support/script_doubles.h"

namespace {

using namespace std::literals;

mode_t ModeOf(const std::filesystem::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

ComPtr<ScriptArray> Levels(const std::vector<int>& levels) {
    return ScriptArray::Bytes(levels);
}

std::string Text(BSTR text) {
    return Utf16ToUtf8({text ? text : u"", SysStringLen(text)});
}

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
    struct Case {
        std::u16string_view name;
        bool accepted;
    } cases[] = {{u"bob", true},  {u"_bob", true},  {u"b.o-b2", true}, {u"\u00e9mile", true},
                 {u"", false},    {u"7up", false},  {u"a b", false},   {u"a:b", false},
                 {u"a<b", false}, {u"-bob", false}, {u"12", false}};
    for (const Case& c : cases)
        EXPECT_EQ(UserDatabase::NameProblem(c.name).empty(), c.accepted) << Utf16ToUtf8(c.name);
    EXPECT_EQ(UserDatabase::NameProblem(u""), u"Invalid UserName");
}

TEST(UserDatabaseTest, FilesKeepUsersAndLevelsForTheirOwnerOnly) {
    DataDirectory data;
    UserDatabase database;
    database.SetPassCode(u"admin", u"1234");
    database.SetPassCode(u"bob", u"77");
    database.SetLevels(u"admin", {0});
    database.SetLevels(u"bob", {1, 9, 10, -1});
    ASSERT_EQ(database.Save(data.Path()), S_OK);
    EXPECT_EQ(ModeOf(data / "Users.xml"), 0600u);
    EXPECT_EQ(ModeOf(data / "Security.xml"), 0600u);
    // Every level is written, empty ones too.
    EXPECT_NE(data.Get("Security.xml").find("Index=\"5\""), std::string::npos);

    UserDatabase loaded;
    ASSERT_EQ(loaded.Load(data.Path(), nullptr), S_OK);
    EXPECT_EQ(loaded.users(), database.users());
    EXPECT_EQ(loaded.LevelsOf(u"bob"), (std::vector<LONG>{1, 9}));
    EXPECT_EQ(loaded.LevelsOf(u"admin"), (std::vector<LONG>{0}));
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
    UserDatabase database;
    database.Load(DataDirectory().Path(), nullptr);
    EXPECT_FALSE(database.Has(u"old"));
}

// The administration as pages see it: each step runs as the user logged in at that moment.
TEST(SecurityObjectTest, AdministrationFollowsTheRulesWithTheirTexts) {
    DataDirectory data;
    PutAdministrator(data);
    auto security = New<CSecurityOb>();
    security->Load(data.Path());

    struct Step {
        const char* action;
        std::u16string_view name, code;
        std::vector<int> levels;
        std::string expected;  // the message, or the result as text
    } steps[] = {
        {"login", u"", u"0000", {}, "0 guest"},
        {"add", u"bob", u"55", {1}, "Must be admin user!"},
        {"login", u"", u"1234", {}, "1 admin"},
        {"level", u"", u"", {7}, "1"},
        {"add", u"", u"55", {1}, "Invalid UserName"},
        {"add",
         u"7up",
         u"55",
         {1},
         "Invalid UserName: a user name starts with a letter or '_' and holds only letters, "
         "digits, '-', '_' and '.'"},
        {"add", u"Bob", u"CoDe1", {1}, ""},
        {"add", u"bob", u"x", {}, "User already exists!"},
        {"add", u"carl", u"code1", {}, "That password is already used!"},
        {"add", u"dave", u"d", {0, 12, -1}, ""},
        {"levels", u"DAVE", u"", {}, "0"},
        {"setlevels", u"nobody", u"", {1}, "User does not exist"},
        {"setlevels", u"dave", u"", {2, 3}, ""},
        {"levels", u"dave", u"", {}, "2 3"},
        {"login", u"", u"CODE1", {}, "1 bob"},
        {"level", u"", u"", {1}, "1"},
        {"level", u"", u"", {2}, "0"},
        {"level", u"", u"", {0}, "0"},
        {"login", u"", u"wrong", {}, "0 bob"},
        {"levels", u"dave", u"", {}, "S_FALSE"},
        {"setlevels", u"dave", u"", {1}, "Must be admin user"},
        {"password", u"dave", u"zz", {}, "You must be either admin or dave to set that password"},
        {"password", u"bob", u"d", {}, "That password is already used"},
        {"password", u"bob", u"code1", {}, ""},
        {"password", u"bob", u"New", {}, ""},
        {"verify", u"BOB", u"NEW", {}, "1"},
        {"verify", u"dave", u"new", {}, "0"},
        {"logout", u"", u"", {}, "guest"},
        {"login", u"", u"new", {}, "1 bob"},
    };
    for (const Step& step : steps) {
        CComBSTR name(step.name), code(step.code);
        CComBSTR message;
        std::string got;
        LONG result = -1;
        const std::string action = step.action;
        if (action == "login") {
            ASSERT_EQ(security->Login(code, &result), S_OK);
            CComBSTR user;
            security->get_CurrentUser(&user);
            got = std::to_string(result) + " " + user.utf8();
        } else if (action == "logout") {
            ASSERT_EQ(security->Logout(), S_OK);
            CComBSTR user;
            security->get_CurrentUser(&user);
            got = user.utf8();
        } else if (action == "level") {
            ASSERT_EQ(security->CheckUserLevel(step.levels[0], &result), S_OK);
            got = std::to_string(result);
        } else if (action == "verify") {
            ASSERT_EQ(security->VerifyUser(name, code, &result), S_OK);
            got = std::to_string(result);
        } else if (action == "add") {
            ASSERT_EQ(security->AddUser(name, code, Levels(step.levels).get(), &message), S_OK);
            got = Text(message);
        } else if (action == "setlevels") {
            ASSERT_EQ(security->SetUserLevels(name, Levels(step.levels).get(), &message), S_OK);
            got = Text(message);
        } else if (action == "password") {
            ASSERT_EQ(security->SetPassword(name, code, &message), S_OK);
            got = Text(message);
        } else if (action == "levels") {
            ComPtr<IDispatch> array;
            HRESULT hr = security->GetUserLevels(name, array.put());
            if (hr == S_FALSE) {
                EXPECT_EQ(array, nullptr);
                got = "S_FALSE";
            } else {
                CComVariant length, element;
                ASSERT_EQ(ReadScriptProperty(array.get(), u"length", &length), S_OK);
                for (LONG i = 0; i < length.lVal; ++i) {
                    const std::u16string index = Utf8ToUtf16(std::to_string(i));
                    ASSERT_EQ(ReadScriptProperty(array.get(), index.c_str(), &element), S_OK);
                    got += (i ? " " : "") + std::to_string(element.lVal);
                }
            }
        }
        EXPECT_EQ(got, step.expected) << step.action << " " << Utf16ToUtf8(step.name);
    }

    // Every change reached both files.
    auto restarted = New<CSecurityOb>();
    restarted->Load(data.Path());
    ComPtr<IDispatch> users;
    ASSERT_EQ(restarted->get_Users(users.put()), S_OK);
    CComVariant length, first;
    ReadScriptProperty(users.get(), u"length", &length);
    ReadScriptProperty(users.get(), u"0", &first);
    EXPECT_EQ(length.lVal, 3);
    EXPECT_EQ(Text(first.bstrVal), "admin");
    LONG ok = 0;
    restarted->Login(CComBSTR(u"NEW"), &ok);
    EXPECT_EQ(ok, 1);
}

TEST(SecurityObjectTest, ConcurrentAddUserLosesNobody) {
    DataDirectory data;
    PutAdministrator(data);
    auto security = New<CSecurityOb>();
    security->Load(data.Path());
    LONG ok = 0;
    security->Login(CComBSTR(u"1234"), &ok);
    constexpr int kPerThread = 20;
    auto add = [&](const char* prefix) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string n = prefix + std::to_string(i);
            CComBSTR message;
            EXPECT_EQ(
                security->AddUser(CComBSTR(std::string_view(n)),
                                  CComBSTR(std::string_view("c" + n)), Levels({1}).get(), &message),
                S_OK);
            EXPECT_EQ(Text(message), "");
        }
    };
    std::thread a(add, "a"), b(add, "b");
    a.join();
    b.join();
    UserDatabase saved;
    ASSERT_EQ(saved.Load(data.Path(), nullptr), S_OK);
    EXPECT_EQ(saved.users().size(), 1u + 2 * kPerThread);
}

TEST(SecurityObjectTest, ChangesToDamagedFilesAreNotSaved) {
    DataDirectory data;
    const std::string damaged = "<root_object Type=\"Array\"><admin>12";
    data.Put("Users.xml", damaged);
    auto security = New<CSecurityOb>();
    security->Load(data.Path());
    // The guest may set its own pass code, which would otherwise write both files.
    CComBSTR message;
    ASSERT_EQ(security->SetPassword(CComBSTR(u"guest"), CComBSTR(u"9"), &message), S_OK);
    EXPECT_EQ(data.Get("Users.xml"), damaged);
    EXPECT_FALSE(data.Has("Security.xml"));
}

// With a running Global: the events and the automatic log-out on the test clock.
class SecurityWithGlobalTest : public ::testing::Test {
  protected:
    SecurityWithGlobalTest() : clock_(0) {
        global_ = New<CGlobal>();
        PutAdministrator(data_);
        global_->Config().DispatchExMembers().SetValue(u"AutoLogoff_Delay", CComVariant(LONG{30}));
        security().Load(data_.Path());
        for (const char16_t* name : {u"UserChanged", u"AutoLogout"}) {
            events_.push_back(New<ScriptFunction>());
            ULONG id = 0;
            EXPECT_EQ(
                global_->RegisterForEvent(CComBSTR(name), CComVariant(), events_.back().get(), &id),
                S_OK);
        }
        global_->Start();
    }
    ~SecurityWithGlobalTest() override { global_->Destroy(); }

    CSecurityOb& security() { return global_->Security(); }
    std::string User() {
        CComBSTR user;
        security().get_CurrentUser(&user);
        return user.utf8();
    }
    // Fires after every timer due at the same tick that was started before it.
    void AwaitTimersDueIn(DWORD ms) {
        struct Latch : TimeoutHandler {
            WaitableLog<int> fired;
            void TimedOut(TimerBase*) override { fired.Add(1); }
        };
        ref<Latch> latch(new Latch);
        ref<TimerBase> sentinel(new TimerBase);
        sentinel->Initialise();
        sentinel->set_period(static_cast<LONG>(ms));
        sentinel->set_handler(latch.get());
        sentinel->Start(global_->TimerThread());
        TestClock::Advance(ms);
        ASSERT_EQ(latch->fired.WaitFor(1).size(), 1u);
    }

    ScopedTestClock clock_;
    DataDirectory data_;
    ComPtr<CGlobal> global_;
    std::vector<ComPtr<ScriptFunction>> events_;  // UserChanged, AutoLogout
};

TEST_F(SecurityWithGlobalTest, LoginAndLogoutAnnounceTheSecurityObject) {
    LONG ok = 0;
    security().Login(CComBSTR(u"1234"), &ok);
    security().Login(CComBSTR(u"nobody's"), &ok);
    security().Logout();
    ASSERT_TRUE(events_[0]->WaitFor(3));
    for (const ScriptCall& call : events_[0]->All())
        EXPECT_TRUE(SameObject(call.Object(), static_cast<IHxSecurity*>(&security())));
    LONG delay = 0;
    security().get_AutoLogout(&delay);
    EXPECT_EQ(delay, 30);  // from the configuration
}

TEST_F(SecurityWithGlobalTest, ShorterAutoLogoutLogsOutOnceItsDelayHasPassed) {
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
}

TEST_F(SecurityWithGlobalTest, PausedLogoutWaitsForResumeAndActivityRestartsTheCountdown) {
    LONG ok = 0;
    security().Login(CComBSTR(u"1234"), &ok);
    security().put_AutoLogout(5);
    security().PauseLogout();
    AwaitTimersDueIn(5000);
    EXPECT_EQ(User(), "admin");  // due, but held

    security().ResumeLogout();  // a fresh countdown
    AwaitTimersDueIn(3000);
    security().RestartLogoutCountdown();
    AwaitTimersDueIn(4999);
    EXPECT_EQ(User(), "admin");
    AwaitTimersDueIn(1);
    EXPECT_EQ(User(), "guest");
}

}  // namespace
