#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "auth/SQLAuthException.h"
#include "auth/SQLite.h"
#include "auth/UnauthorizedException.h"
#include "common/LogCapture.h"
#include "common/TestSupport.h"
#include "core/CorvaneConfig.h"

using corvane_test::LogCapture;

namespace {

using Tokens = std::vector<std::string>;

// Points global.sqllite_db of the process-wide configuration at the given path.
void ConfigureDatabase(const corvane_test::TempDir& dir, const std::string& dbPath)
{
    const std::string ini = dir / "corvaned.ini";
    corvane_test::WriteFile(ini, "[global]\nsqllite_db = " + dbPath + "\n");
    ASSERT_TRUE(CorvaneConfig::GetInstance()->ParseConfig(ini));
}

// Runs SQL on a real database file, creating it when missing.
void Execute(const std::string& dbPath, const std::string& sql)
{
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string text = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}

// Builds a real database file from an SQL fixture in the data folder.
void BuildDatabase(const std::string& dbPath, const std::string& fixture)
{
    const std::string sql = corvane_test::ReadFile(std::string(CORVANE_TEST_DATA) + "/" + fixture);
    ASSERT_FALSE(sql.empty()) << fixture;
    Execute(dbPath, sql);
}

std::string LoginError(SQLite& store, const std::string& name, const std::string& password)
{
    try {
        store.Login(name, password);
    } catch (const SQLAuthException& e) {
        return std::string("SQLAuthException: ") + e.what();
    } catch (const UnauthorizedException& e) {
        return e.what();
    }
    return "<accepted>";
}

// Counts the shared locks that connections opened through the process's default SQLite file
// layer take on main database files, while it is installed. Wraps the default layer's files in
// place: only their lock method is replaced.
class SharedLockCounter {
public:
    SharedLockCounter() : base_(sqlite3_vfs_find(nullptr))
    {
        vfs_ = *base_;
        vfs_.zName = "corvane-lock-counter";
        vfs_.szOsFile = base_->szOsFile + static_cast<int>(sizeof(Extra));
        vfs_.pAppData = this;
        vfs_.xOpen = &Open;
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~SharedLockCounter() { sqlite3_vfs_register(base_, 1), sqlite3_vfs_unregister(&vfs_); }
    SharedLockCounter(const SharedLockCounter&) = delete;
    SharedLockCounter& operator=(const SharedLockCounter&) = delete;

    int count() const { return count_.load(); }

private:
    struct Extra {
        SharedLockCounter* owner;
        const sqlite3_io_methods* methods;
        sqlite3_io_methods counting;
    };
    static Extra* ExtraOf(sqlite3_file* file, int baseSize)
    {
        return reinterpret_cast<Extra*>(reinterpret_cast<char*>(file) + baseSize);
    }
    static int Open(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags)
    {
        SharedLockCounter* self = static_cast<SharedLockCounter*>(vfs->pAppData);
        const int rc = self->base_->xOpen(self->base_, name, file, flags, outFlags);
        if (rc != SQLITE_OK || !file->pMethods || !(flags & SQLITE_OPEN_MAIN_DB))
            return rc;
        Extra* extra = ExtraOf(file, self->base_->szOsFile);
        extra->owner = self;
        extra->methods = file->pMethods;
        extra->counting = *file->pMethods;
        extra->counting.xLock = &Lock;
        file->pMethods = &extra->counting;
        return rc;
    }
    static int Lock(sqlite3_file* file, int level)
    {
        // The counting methods sit inside the Extra block, right behind the layer's own file.
        Extra* extra = reinterpret_cast<Extra*>(reinterpret_cast<char*>(const_cast<sqlite3_io_methods*>(file->pMethods)) -
                                                offsetof(Extra, counting));
        if (level == SQLITE_LOCK_SHARED)
            extra->owner->count_.fetch_add(1);
        return extra->methods->xLock(file, level);
    }

    sqlite3_vfs* base_;
    sqlite3_vfs vfs_;
    std::atomic<int> count_{0};
};

class UserStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        dbPath = dir / "users.sqlite";
        BuildDatabase(dbPath, "users.sql");
        ConfigureDatabase(dir, dbPath);
    }

    corvane_test::TempDir dir;
    std::string dbPath;
};

}  // namespace

// Matching credentials give the fixed tokens plus every granted trait, sorted by bytes,
// with duplicates and the name kept as given.
TEST_F(UserStore, MatchingLoginGivesSortedTokens)
{
    SQLite store;
    const struct {
        std::string name;
        std::string password;
        Tokens tokens;
    } cases[] = {
        {"alice", "secret", {"*", "AUTHED", "admin", "admin", "operator"}},
        {"bob", "hunter2", {"*", "AUTHED"}},
        {"qu\"ote", "p\"w\" or \"1\"=\"1", {"*", "AUTHED", "viewer"}},
        {"name", "n-pass", {"*", "AUTHED"}},
        {"password", "password", {"*", "AUTHED"}},
        {"dave", "d", {"*", "AUTHED", "viewer"}},
        {"erin", "e", {"*", "*", "AUTHED", "AUTHED", "Alpha", "beta", "äöü"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const User user = store.Login(c.name, c.password);
        EXPECT_EQ(user.getName(), c.name);
        EXPECT_EQ(user.getTokens(), c.tokens);
    }
}

// Wrong pairs and injection attempts are all refused with the same text.
TEST_F(UserStore, NonMatchingLoginIsRefused)
{
    SQLite store;
    const struct {
        std::string name;
        std::string password;
    } cases[] = {
        {"alice", "wrong"},
        {"alice", ""},
        {"Alice", "secret"},
        {"nobody", "secret"},
        {"", ""},
        {"alice", "secret "},
        {"bob", "secret"},
        // Double-quoted text SQLite would read as the column itself.
        {"name", "password"},
        {"name", "name"},
        {"password", "n-pass"},
        // Quotes that would break out of a formatted statement.
        {"alice\" --", "x"},
        {"x\" or \"1\"=\"1", "x\" or \"1\"=\"1"},
        {"alice", "\" or \"\"=\""},
        {"qu\"ote", "p\"w"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LoginError(store, c.name, c.password), "pw or user does not match") << c.name;
}

// Text with an embedded NUL is compared whole, not cut at the NUL.
TEST_F(UserStore, EmbeddedNulIsComparedWhole)
{
    SQLite store;
    EXPECT_EQ(LoginError(store, std::string("alice\0x", 7), "secret"), "pw or user does not match");
    EXPECT_EQ(LoginError(store, "alice", std::string("secret\0", 7)), "pw or user does not match");
}

// Many threads logging in at once each get their own correct answer.
TEST_F(UserStore, ConcurrentLoginsGiveCorrectUsers)
{
    SQLite store;
    const User alice("alice", {"*", "AUTHED", "admin", "admin", "operator"});
    const User bob("bob", {"*", "AUTHED"});
    std::vector<std::thread> threads;
    std::vector<int> failures(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                try {
                    if ((i + t) % 3 == 0) {
                        store.Login("alice", "bad");
                        ++failures[t];
                    } else if ((i + t) % 3 == 1) {
                        if (!(store.Login("alice", "secret") == alice))
                            ++failures[t];
                    } else if (!(store.Login("bob", "hunter2") == bob)) {
                        ++failures[t];
                    }
                } catch (const UnauthorizedException& e) {
                    if ((i + t) % 3 != 0 || std::string(e.what()) != "pw or user does not match")
                        ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int t = 0; t < 8; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// The database descriptor is never inherited by plug-in children, and goes with the store.
TEST_F(UserStore, DescriptorIsCloseOnExecAndClosedOnDestruction)
{
    {
        SQLite store;
        store.Login("alice", "secret");
        const std::vector<int> fds = corvane_test::DescriptorsOf(dbPath);
        ASSERT_FALSE(fds.empty());
        for (int fd : fds)
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
    }
    EXPECT_TRUE(corvane_test::DescriptorsOf(dbPath).empty());
}

// A login reads both its statements under one shared lock of the database file, taken and
// checked once, whether it is accepted or refused.
TEST_F(UserStore, LoginLocksTheFileOnce)
{
    SharedLockCounter locks;
    SQLite store;
    // The first one also reads the schema, under a lock of its own.
    store.Login("alice", "secret");
    const struct {
        const char* name;
        const char* password;
    } cases[] = {{"alice", "secret"}, {"bob", "hunter2"}, {"alice", "wrong"}};
    for (const auto& c : cases) {
        const int before = locks.count();
        LoginError(store, c.name, c.password);
        EXPECT_EQ(locks.count() - before, 1) << c.name << " / " << c.password;
    }
}

// No login leaves its read transaction open, however it ends: a writer can change the users
// at once afterwards, and the next login sees the change.
TEST(UserStoreDatabase, NoLoginLeavesTheDatabaseLocked)
{
    const struct {
        const char* fixture;
        const char* name;
        const char* password;
    } cases[] = {
        {"users.sql", "alice", "secret"},
        {"users.sql", "alice", "wrong"},
        {"users.sql", "nobody", ""},
        {"no_users_table.sql", "alice", "secret"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fixture) + ": " + c.name);
        corvane_test::TempDir dir;
        const std::string dbPath = dir / "users.sqlite";
        BuildDatabase(dbPath, c.fixture);
        ConfigureDatabase(dir, dbPath);
        SQLite store;
        LoginError(store, c.name, c.password);

        sqlite3* writer = nullptr;
        ASSERT_EQ(sqlite3_open(dbPath.c_str(), &writer), SQLITE_OK);
        // No busy time-out: a lock still held fails the write at once.
        const int rc = sqlite3_exec(writer,
                                    "CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY, name TEXT, password TEXT);"
                                    "INSERT INTO users (name, password) VALUES ('zoe', 'z');",
                                    nullptr, nullptr, nullptr);
        const std::string error = sqlite3_errmsg(writer);
        sqlite3_close(writer);
        EXPECT_EQ(rc, SQLITE_OK) << error;
        EXPECT_EQ(LoginError(store, "zoe", "z"), "<accepted>");
    }
}

// A database file that does not exist is created empty, and nobody can log in.
TEST(UserStoreDatabase, MissingFileIsCreatedEmptyAndRefusesEveryLogin)
{
    corvane_test::TempDir dir;
    const std::string dbPath = dir / "absent.sqlite";
    ConfigureDatabase(dir, dbPath);
    SQLite store;
    EXPECT_EQ(access(dbPath.c_str(), F_OK), 0);
    EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    EXPECT_EQ(LoginError(store, "", ""), "pw or user does not match");
}

// The store keeps answering from the database as it is now: tables created after start-up,
// users added and passwords changed while it runs, and a refused login between two good ones.
TEST(UserStoreDatabase, LoginsFollowChangesWhileRunning)
{
    corvane_test::TempDir dir;
    const std::string dbPath = dir / "later.sqlite";
    ConfigureDatabase(dir, dbPath);
    SQLite store;
    EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    BuildDatabase(dbPath, "users.sql");
    EXPECT_EQ(store.Login("alice", "secret").getTokens(), (Tokens{"*", "AUTHED", "admin", "admin", "operator"}));
    EXPECT_EQ(LoginError(store, "alice", "wrong"), "pw or user does not match");
    EXPECT_EQ(store.Login("dave", "d").getTokens(), (Tokens{"*", "AUTHED", "viewer"}));

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "UPDATE users SET password = 'changed' WHERE name = 'alice';", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    EXPECT_EQ(store.Login("alice", "changed").getTokens(), (Tokens{"*", "AUTHED", "admin", "admin", "operator"}));
}

// Databases that cannot answer the login query refuse logins instead of failing otherwise.
TEST(UserStoreDatabase, UnusableDatabaseRefusesLogin)
{
    corvane_test::TempDir dir;
    const std::string noUsers = dir / "no_users.sqlite";
    BuildDatabase(noUsers, "no_users_table.sql");
    ConfigureDatabase(dir, noUsers);
    {
        SQLite store;
        EXPECT_EQ(LoginError(store, "admin", "admin"), "pw or user does not match");
    }
    const std::string garbage = dir / "garbage.sqlite";
    corvane_test::WriteFile(garbage, std::string(4096, 'x'));
    ConfigureDatabase(dir, garbage);
    {
        SQLite store;
        EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    }
}

// A database that cannot be read is logged once with SQLite's reason, until it can be read
// again; a wrong password is no such reason. Locked by another writer, not a database, without
// the users table.
TEST(UserStoreDatabase, UnreadableDatabaseIsLoggedOnceWithTheReason)
{
    const struct {
        const char* what;
        const char* reason;
    } cases[] = {
        {"locked", "database is locked"},
        {"garbage", "file is not a database"},
        {"no users table", "no such table: users"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        corvane_test::TempDir dir;
        const std::string dbPath = dir / "users.sqlite";
        const std::string what = c.what;
        if (what == "garbage")
            corvane_test::WriteFile(dbPath, std::string(4096, 'x'));
        else
            BuildDatabase(dbPath, what == "locked" ? "users.sql" : "no_users_table.sql");
        ConfigureDatabase(dir, dbPath);
        const LogCapture log;
        SQLite store;
        sqlite3* writer = nullptr;
        if (what == "locked") {
            ASSERT_EQ(sqlite3_open(dbPath.c_str(), &writer), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        const std::string line =
            LogCapture::Line(Logger::eDebug, "user database " + dbPath + " cannot be read: " + c.reason);
        EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
        EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
        EXPECT_EQ(log.Count(line), 1) << log.Text();
        EXPECT_EQ(log.Count("cannot be read"), 1) << log.Text();
        if (writer) {
            sqlite3_exec(writer, "COMMIT;", nullptr, nullptr, nullptr);
            sqlite3_close(writer);
            EXPECT_EQ(LoginError(store, "alice", "secret"), "<accepted>");
            EXPECT_EQ(LoginError(store, "alice", "wrong"), "pw or user does not match");
            EXPECT_EQ(log.Count("cannot be read"), 1) << log.Text();
        }
    }
}

namespace {

// Counts the automatic indexes SQLite announces in its log ("automatic index on ...") while
// installed; it builds one whenever a statement would otherwise scan a table once per row of
// another. The library takes a log hook only while it is shut down, so no connection may be
// open when this is made or goes.
class AutomaticIndexes {
public:
    AutomaticIndexes() { Install(&Count, this); }
    ~AutomaticIndexes() { Install(nullptr, nullptr); }
    AutomaticIndexes(const AutomaticIndexes&) = delete;
    AutomaticIndexes& operator=(const AutomaticIndexes&) = delete;

    int count() const { return count_; }

private:
    static void Install(void (*hook)(void*, int, const char*), void* self)
    {
        sqlite3_shutdown();
        sqlite3_config(SQLITE_CONFIG_LOG, hook, self);
        sqlite3_initialize();
    }
    static void Count(void* self, int code, const char*)
    {
        if (code == SQLITE_WARNING_AUTOINDEX)
            ++static_cast<AutomaticIndexes*>(self)->count_;
    }

    int count_ = 0;
};

}  // namespace

// A login on the example's schema finds a user's roles and their traits by index. Without the
// indexes on the role tables, SQLite builds one over the whole table at every login, which
// makes logins cost more the more users there are.
TEST(UserStoreDatabase, ExampleSchemaNeedsNoAutomaticIndex)
{
    const std::string schema = corvane_test::ReadFile(std::string(CORVANE_SOURCE_DIR) + "/example/users.sql");
    ASSERT_NE(schema.find("CREATE TABLE roles_users"), std::string::npos);
    std::string withoutIndexes;
    std::istringstream lines(schema);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("CREATE INDEX", 0) != 0)
            withoutIndexes += line + "\n";
    const struct {
        const char* what;
        const std::string& sql;
        bool automatic;
    } cases[] = {{"the example's schema", schema, false}, {"without its indexes", withoutIndexes, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        corvane_test::TempDir dir;
        const std::string dbPath = dir / "users.sqlite";
        Execute(dbPath, c.sql);
        ConfigureDatabase(dir, dbPath);
        AutomaticIndexes automatic;
        {
            SQLite store;
            EXPECT_EQ(store.Login("bob", "builder").getTokens(), (Tokens{"*", "AUTHED", "operator", "service"}));
        }
        EXPECT_EQ(automatic.count() > 0, c.automatic) << automatic.count();
    }
}

// A user who matches but whose traits cannot be read still logs in with the fixed tokens.
TEST(UserStoreDatabase, MissingTraitTablesStillAllowLogin)
{
    corvane_test::TempDir dir;
    const std::string dbPath = dir / "users_only.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dbPath.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, password TEXT);"
                           "INSERT INTO users VALUES (1, 'alice', 'secret');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    ConfigureDatabase(dir, dbPath);
    SQLite store;
    EXPECT_EQ(store.Login("alice", "secret").getTokens(), (Tokens{"*", "AUTHED"}));
}

// Without the configuration key the store refuses to start, with the exact text.
TEST(UserStoreDatabase, MissingConfigKeyThrows)
{
    corvane_test::TempDir dir;
    const std::string ini = dir / "corvaned.ini";
    corvane_test::WriteFile(ini, "[backend]\nport = 9000\n");
    ASSERT_TRUE(CorvaneConfig::GetInstance()->ParseConfig(ini));
    try {
        SQLite store;
        FAIL() << "store opened without a database key";
    } catch (const SQLAuthException& e) {
        EXPECT_STREQ(e.what(), "\"global.sqllite_db\" entry not found in config.");
    }
}

// A database that cannot be opened gives SQLite's own error text.
TEST(UserStoreDatabase, UnopenableDatabaseThrowsSqliteError)
{
    corvane_test::TempDir dir;
    ConfigureDatabase(dir, dir / "no-such-dir/users.sqlite");
    try {
        SQLite store;
        FAIL() << "store opened a database in a missing directory";
    } catch (const SQLAuthException& e) {
        EXPECT_STREQ(e.what(), "unable to open database file");
    }
}

namespace {

// Descriptors of this process on files below `dir` that have been deleted or renamed over.
int DeletedFilesOpenBelow(const std::string& dir)
{
    int count = 0;
    DIR* fds = opendir("/proc/self/fd");
    while (dirent* entry = readdir(fds)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        const std::string text(target, static_cast<size_t>(n));
        if (text.rfind(dir + "/", 0) == 0 && text.size() > 10 && text.substr(text.size() - 10) == " (deleted)")
            ++count;
    }
    closedir(fds);
    return count;
}

}  // namespace

// A database replaced by rename is used from the next login on: a user deleted in the new
// file is refused, one added there is accepted, and the old file is closed.
TEST_F(UserStore, ReplacedFileIsReopened)
{
    const LogCapture log;
    SQLite store;
    EXPECT_EQ(store.Login("alice", "secret").getTokens(), (Tokens{"*", "AUTHED", "admin", "admin", "operator"}));
    const std::string fresh = dir / "new.sqlite";
    BuildDatabase(fresh, "users.sql");
    Execute(fresh, "DELETE FROM users WHERE name = 'alice';"
                   "INSERT INTO users VALUES (20, 'frank', 'f'); INSERT INTO roles_users VALUES (20, 12);");
    ASSERT_EQ(rename(fresh.c_str(), dbPath.c_str()), 0);

    EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(store.Login("frank", "f").getTokens(), (Tokens{"*", "AUTHED", "viewer"}));
        EXPECT_EQ(store.Login("bob", "hunter2").getTokens(), (Tokens{"*", "AUTHED"}));
    }
    EXPECT_EQ(DeletedFilesOpenBelow(dir.path()), 0);
    EXPECT_EQ(log.Count("INFO:   user database " + dbPath + " was replaced; reopened\n"), 1) << log.Text();
}

// A replacement that is not a database, or a path with no file at all, leaves the open
// database in use and is logged once; a good replacement after it is taken.
TEST_F(UserStore, UnusableReplacementKeepsTheOpenDatabase)
{
    const LogCapture log;
    SQLite store;
    EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");

    corvane_test::WriteFile(dir / "garbage", std::string(4096, 'x'));
    ASSERT_EQ(rename((dir / "garbage").c_str(), dbPath.c_str()), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");
    EXPECT_EQ(log.Count("ERROR:  user database " + dbPath +
                        " was replaced, but the new file cannot be read (file is not a database); "
                        "the old one stays in use\n"),
              1)
        << log.Text();

    ASSERT_EQ(unlink(dbPath.c_str()), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");
    EXPECT_EQ(log.Count("ERROR:  user database " + dbPath +
                        " cannot be found (No such file or directory); the open one stays in use\n"),
              1)
        << log.Text();

    const std::string fresh = dir / "new.sqlite";
    BuildDatabase(fresh, "users.sql");
    Execute(fresh, "DELETE FROM users WHERE name = 'alice';");
    ASSERT_EQ(rename(fresh.c_str(), dbPath.c_str()), 0);
    EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
    EXPECT_EQ(store.Login("bob", "hunter2").getName(), "bob");
}

// Garbage or a truncation written into the open database in place leaves nothing to answer
// logins: each is refused, the line says so once, and the good content written back is used
// at the next login.
TEST_F(UserStore, UnreadableRewriteRefusesLoginsUntilRestored)
{
    const std::string good = corvane_test::ReadFile(dbPath);
    ASSERT_GT(good.size(), 4096u);
    const struct {
        const char* name;
        std::string content;
        const char* reason;
    } cases[] = {
        {"garbage", std::string(4096, 'x'), "file is not a database"},
        {"truncated", good.substr(0, 4096), "database disk image is malformed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        corvane_test::WriteFile(dbPath, good);
        const LogCapture log;
        SQLite store;
        EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");
        struct stat before = {}, after = {};
        ASSERT_EQ(stat(dbPath.c_str(), &before), 0);
        corvane_test::WriteFile(dbPath, c.content);
        ASSERT_EQ(stat(dbPath.c_str(), &after), 0);
        ASSERT_EQ(after.st_ino, before.st_ino) << "not written in place";

        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(LoginError(store, "alice", "secret"), "pw or user does not match");
        EXPECT_EQ(log.Count("ERROR:  user database " + dbPath + " was rewritten, but the new file cannot be read (" +
                            c.reason + "); logins are refused until it can be read\n"),
                  1)
            << log.Text();
        EXPECT_EQ(log.Count("stays in use"), 0) << log.Text();

        corvane_test::WriteFile(dbPath, good);
        EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");
        EXPECT_EQ(log.Count("INFO:   user database " + dbPath + " was rewritten; reopened\n"), 1) << log.Text();
    }
}

// A login while another process holds the write lock waits for it instead of refusing a
// valid user.
TEST_F(UserStore, WriteLockedDatabaseIsWaitedFor)
{
    SQLite store;
    EXPECT_EQ(store.Login("alice", "secret").getName(), "alice");
    const std::string locked = dir / "locked";
    const std::string script = "BEGIN EXCLUSIVE;\n"
                               "UPDATE users SET password = password WHERE name = 'bob';\n"
                               ".shell touch '" + locked + "'\n"
                               ".shell sleep 0.5\n"
                               "COMMIT;\n";
    corvane_test::WriteFile(dir / "writer.sql", script);
    int status = -1;
    std::thread writer([&] {
        status = std::system(("sqlite3 '" + dbPath + "' < '" + (dir / "writer.sql") + "'").c_str());
    });
    bool holding = false;
    for (int i = 0; i < 500 && !holding; ++i) {
        holding = access(locked.c_str(), F_OK) == 0;
        if (!holding)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(holding) << "the writer never took its lock";
    EXPECT_EQ(LoginError(store, "alice", "secret"), "<accepted>");
    writer.join();
    EXPECT_EQ(status, 0);
    EXPECT_EQ(store.Login("bob", "hunter2").getName(), "bob");
}
