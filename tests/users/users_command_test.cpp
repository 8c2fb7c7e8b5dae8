// brevanto-users: each command against one data directory, in order, with its status and what
// it prints; the files it leaves are the library's own.
#include <gtest/gtest.h>

#include <sstream>

#include "security/user_database.h"
#include "support/data_directory.h"
#include "users_command.h"

namespace {

TEST(UsersToolTest, CommandsChangeTheFilesOrSayWhyNot) {
    DataDirectory data, damaged;
    const std::string dir = Utf16ToUtf8(data.Path());
    const std::string broken_users = "<root_object Type=\"Array\"><admin>1";
    damaged.Put("Users.xml", broken_users);
    struct Step {
        std::vector<std::string> args;
        int status;
        std::string printed;  // in standard output or, on failure, in the message
        std::string input = "";
    } steps[] = {
        {{"--data", dir, "list"}, 0, ""},
        {{"--data", dir, "add", "Admin", "--passcode", "1234", "--levels", "0"}, 0, ""},
        {{"--data", dir, "add", "bob", "--passcode", "-", "--levels", "1,3"}, 0, "", "77\n"},
        {{"--data", dir, "list"}, 0, "admin levels 0\nbob levels 1,3\n"},
        {{"--data", dir, "add", "carl", "--passcode", "1234"}, 1, "already used"},
        {{"--data", dir, "add", "BOB", "--passcode", "9"}, 1, "exists already"},
        {{"--data", dir, "add", "7up", "--passcode", "9"}, 1, "Invalid UserName"},
        {{"--data", dir, "add", "dave", "--passcode", " 9"}, 1, "without spaces"},
        {{"--data", dir, "add", "dave", "--passcode", "9", "--levels", "1,12"}, 1, "levels 0 to 9"},
        {{"--data", dir, "passcode", "bob", "1234"}, 1, "already used"},
        {{"--data", dir, "passcode", "bob", "77"}, 0, ""},
        {{"--data", dir, "passcode", "nobody", "5"}, 1, "no user nobody"},
        {{"--data", dir, "levels", "bob", ""}, 0, ""},
        {{"--data", dir, "remove", "admin"}, 0, ""},
        {{"--data", dir, "list"}, 0, "bob levels -\n"},
        {{"--data", dir, "remove", "admin"}, 1, "no user admin"},
        {{"list"}, 2, "--data DIR is needed"},
        {{"--data", dir, "rename", "bob"}, 2, "incomplete or unknown"},
        {{"--data", dir, "add", "erin"}, 2, "incomplete or unknown"},
        {{"--data", dir, "list", "--bogus"}, 2, "unknown option --bogus"},
        {{"--data", dir + "/missing", "list"}, 1, "does not exist"},
        {{"--data", dir + "/" + std::string(5000, 'x'), "list"}, 1, "File name too long"},
        {{"--data", Utf16ToUtf8(damaged.Path()), "add", "admin", "--passcode", "1"}, 1, "damaged"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::PrintToString(step.args));
        std::istringstream in(step.input);
        std::ostringstream out, err;
        EXPECT_EQ(users_tool::Run(step.args, in, out, err), step.status) << err.str();
        const std::string printed = step.status == 0 ? out.str() : err.str();
        if (step.status == 0 && !step.printed.empty()) {
            EXPECT_EQ(printed, step.printed);
        } else {
            EXPECT_NE(printed.find(step.printed), std::string::npos) << printed;
        }
        EXPECT_EQ(out.str().find("77"), std::string::npos) << "a pass code printed";
    }
    UserDatabase saved;
    ASSERT_EQ(saved.Load(data.Path(), nullptr), S_OK);
    EXPECT_TRUE(saved.Verify(u"bob", u"77"));
    EXPECT_EQ(damaged.Get("Users.xml"), broken_users);  // left alone
}

}  // namespace
