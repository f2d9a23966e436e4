// The user database under the running daemon: replaced by rename, restored by copy, and
// write-locked by another process while callers log in.
#include <sys/stat.h>

#include <future>
#include <thread>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Users : public ServingDaemon {
protected:
    std::string Tokens(const std::string& auth)
    {
        HttpAnswer a = Call("auth-user", {}, auth);
        return a.status == 401 ? "401" : ElementText(a.body, "result");
    }
};

// `mv new.sqlite users.sqlite` takes effect at the next login: a deleted user is refused,
// an added one accepted, the others keep their tokens.
TEST_F(Users, ReplacedDatabaseTakesEffect)
{
    EXPECT_EQ(Tokens("tech:pw1"), "*:AUTHED:service");
    const std::string fresh = dir / "new.sqlite";
    WriteFile(dir / "new.sql", ReadFile(std::string(CORVANE_TEST_DATA) + "/users.sql") +
                                   "DELETE FROM users WHERE name = 'tech';\n"
                                   "INSERT INTO users VALUES (9, 'newbie', 'pw9');\n"
                                   "INSERT INTO roles_users VALUES (9, 1);\n");
    ASSERT_EQ(std::system(("sqlite3 '" + fresh + "' < '" + (dir / "new.sql") + "'").c_str()), 0);
    ASSERT_EQ(std::system(("mv '" + fresh + "' '" + (dir / "users.sqlite") + "'").c_str()), 0);

    EXPECT_EQ(Tokens("tech:pw1"), "401");
    EXPECT_EQ(Tokens("newbie:pw9"), "*:AUTHED:service");
    EXPECT_EQ(Tokens("plain:pw3"), "*:AUTHED");
    EXPECT_EQ(Tokens(""), "*");
    EXPECT_NE(Log().find("user database " + (dir / "users.sqlite") + " was replaced; reopened"), std::string::npos);
}

// `cp backup users.sqlite` rewrites the file in place (truncated, then written again, same
// inode): that takes effect at the next login too, also when the backup's tables lie on other
// pages than those of the file it overwrites (its tables were created in another order).
TEST_F(Users, DatabaseRestoredInPlaceTakesEffect)
{
    EXPECT_EQ(Tokens("tech:pw1"), "*:AUTHED:service");
    const std::string backup = dir / "backup.sqlite";
    std::string schema = ReadFile(std::string(CORVANE_TEST_DATA) + "/users.sql");
    const size_t second = schema.find('\n') + 1;
    const size_t third = schema.find('\n', second) + 1;
    schema = schema.substr(second, third - second) + schema.substr(0, second) + schema.substr(third);
    WriteFile(dir / "backup.sql", schema +
                                      "DELETE FROM users WHERE name = 'tech';\n"
                                      "INSERT INTO users VALUES (9, 'newbie', 'pw9');\n"
                                      "INSERT INTO roles_users VALUES (9, 1);\n");
    ASSERT_EQ(std::system(("sqlite3 '" + backup + "' < '" + (dir / "backup.sql") + "'").c_str()), 0);
    struct stat before = {}, after = {};
    ASSERT_EQ(stat((dir / "users.sqlite").c_str(), &before), 0);
    ASSERT_EQ(std::system(("cp '" + backup + "' '" + (dir / "users.sqlite") + "'").c_str()), 0);
    ASSERT_EQ(stat((dir / "users.sqlite").c_str(), &after), 0);
    ASSERT_EQ(before.st_ino, after.st_ino) << "cp made a new file";

    EXPECT_EQ(Tokens("tech:pw1"), "401");
    EXPECT_EQ(Tokens("newbie:pw9"), "*:AUTHED:service");
    EXPECT_EQ(Tokens("plain:pw3"), "*:AUTHED");
    EXPECT_EQ(Tokens("root:pw2"), "*:AUTHED:admin:service:service");
    EXPECT_NE(Log().find("user database " + (dir / "users.sqlite") + " was rewritten; reopened"), std::string::npos);
}

// A writer holding the database's lock for a moment delays logins instead of refusing them:
// the right password is accepted, a wrong one or an unknown user refused as without the lock,
// and none is taken for a database that cannot be read.
TEST_F(Users, WriteLockDelaysLogin)
{
    const std::string locked = dir / "locked";
    WriteFile(dir / "writer.sql", "BEGIN EXCLUSIVE;\n"
                                  "UPDATE users SET password = password WHERE name = 'plain';\n"
                                  ".shell touch '" + locked + "'\n"
                                  ".shell sleep 0.5\n"
                                  "COMMIT;\n");
    int status = -1;
    std::thread writer([&] {
        status = std::system(("sqlite3 '" + (dir / "users.sqlite") + "' < '" + (dir / "writer.sql") + "'").c_str());
    });
    EXPECT_TRUE(WaitFor([&] { return std::ifstream(locked).good(); })) << "the writer never took its lock";
    const struct {
        const char* auth;
        const char* tokens;
    } cases[] = {{"tech:pw1", "*:AUTHED:service"}, {"tech:wrong", "401"}, {"nobody:pw1", "401"}};
    std::vector<std::future<std::string>> logins;
    for (const auto& c : cases)
        logins.push_back(std::async(std::launch::async, [this, &c] { return Tokens(c.auth); }));
    for (size_t i = 0; i < logins.size(); ++i)
        EXPECT_EQ(logins[i].get(), cases[i].tokens) << cases[i].auth;
    writer.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(Log().find("cannot be read"), std::string::npos) << Log();
}

}  // namespace
