#include "auth/SQLite.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <sqlite3.h>

#include "auth/SQLAuthException.h"
#include "auth/UnauthorizedException.h"
#include "core/CorvaneConfig.h"
#include "core/Logger.h"

namespace {

// How long a login waits for another process's write lock on the database before it fails.
const int kBusyTimeoutMs = 2000;

const char* const LOGIN_QUERY_TEMPLATE =
    "SELECT id FROM users WHERE users.name = \"%1%\" and users.password = \"%2%\"";
const char* const TRAITS_QUERY_TEMPLATE =
    "SELECT traits.name from traits join roles_traits on roles_traits.tid = traits.id "
    "join roles_users on roles_users.rid = roles_traits.rid join users on users.id = "
    "roles_users.uid WHERE users.name = \"%1%\" and users.password = \"%2%\"";

// Each quoted placeholder becomes a numbered parameter marker, so no value ever becomes
// part of the statement text.
std::string BuildQuery(std::string text)
{
    const std::pair<const char*, const char*> markers[] = {{"\"%1%\"", "?1"}, {"\"%2%\"", "?2"}};
    for (const auto& marker : markers) {
        const std::string from = marker.first;
        for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at))
            text.replace(at, from.size(), marker.second);
    }
    return text;
}

// One use of a statement prepared once per store: binds the name and password, and resets
// the statement and its bindings on every path out, so the next login starts clean.
class Statement {
public:
    // Prepares into `cache` when it is still empty (a failed prepare is retried next time:
    // the tables may be created after the daemon started).
    Statement(sqlite3* db, sqlite3_stmt*& cache, const std::string& sql, const std::string& name,
              const std::string& password)
    {
        if (!cache && (sqlite3_prepare_v2(db, sql.c_str(), -1, &cache, nullptr) != SQLITE_OK || !cache)) {
            sqlite3_finalize(cache);
            cache = nullptr;
            return;
        }
        stmt_ = cache;
        if (sqlite3_bind_text(stmt_, 1, name.data(), static_cast<int>(name.size()),
                              SQLITE_TRANSIENT) != SQLITE_OK
            || sqlite3_bind_text(stmt_, 2, password.data(), static_cast<int>(password.size()),
                                 SQLITE_TRANSIENT) != SQLITE_OK) {
            Release();
        }
    }
    ~Statement() { Release(); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool prepared() const { return stmt_ != nullptr; }
    int step() { return sqlite3_step(stmt_); }
    const unsigned char* text(int column) { return sqlite3_column_text(stmt_, column); }
    int bytes(int column) { return sqlite3_column_bytes(stmt_, column); }

private:
    void Release()
    {
        if (stmt_) {
            sqlite3_reset(stmt_);
            sqlite3_clear_bindings(stmt_);
            stmt_ = nullptr;
        }
    }

    sqlite3_stmt* stmt_ = nullptr;
};

// BEGIN on construction and COMMIT on every way out, ROLLBACK when the commit fails, each a
// statement prepared once per store and reset after use. The login's statements must be
// reset before this ends. When BEGIN fails they run alone, each in a transaction of its own.
class ReadTransaction {
public:
    ReadTransaction(sqlite3* db, sqlite3_stmt*& begin, sqlite3_stmt*& commit, sqlite3_stmt*& rollback)
        : db_(db), commit_(commit), rollback_(rollback)
    {
        // A transaction still open would show every later login the users as they were then.
        if (!sqlite3_get_autocommit(db_))
            Run(rollback_, "ROLLBACK");
        open_ = Run(begin, "BEGIN");
    }
    ~ReadTransaction()
    {
        if (open_ && !Run(commit_, "COMMIT") && !sqlite3_get_autocommit(db_))
            Run(rollback_, "ROLLBACK");
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

private:
    bool Run(sqlite3_stmt*& cache, const char* sql)
    {
        if (!cache && (sqlite3_prepare_v2(db_, sql, -1, &cache, nullptr) != SQLITE_OK || !cache)) {
            sqlite3_finalize(cache);
            cache = nullptr;
            return false;
        }
        const int rc = sqlite3_step(cache);
        sqlite3_reset(cache);
        return rc == SQLITE_DONE;
    }

    sqlite3* db_;
    sqlite3_stmt*& commit_;
    sqlite3_stmt*& rollback_;
    bool open_ = false;
};

}  // namespace

SQLite::FileStamp SQLite::StampOf(const struct stat& st)
{
    FileStamp stamp;
    stamp.device = st.st_dev;
    stamp.inode = st.st_ino;
    stamp.size = st.st_size;
    stamp.modified = st.st_mtim;
    return stamp;
}

SQLite::SQLite()
    : traitsQuery(BuildQuery(TRAITS_QUERY_TEMPLATE)), loginQuery(BuildQuery(LOGIN_QUERY_TEMPLATE))
{
    if (!CorvaneConfig::GetInstance()->GetConfigValue("global.sqllite_db", path))
        throw SQLAuthException("\"global.sqllite_db\" entry not found in config.");
    // Identified before the open: should the file be replaced in between, the next login
    // sees a different file and opens it again.
    struct stat st;
    const bool existed = stat(path.c_str(), &st) == 0;
    // The flags of sqlite3_open; SQLite's own file opens are close-on-exec, so plug-in
    // children never inherit the database descriptor.
    const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                   nullptr);
    if (rc != SQLITE_OK) {
        const std::string error = sqlite3_errmsg(db);
        sqlite3_close(db);
        db = nullptr;
        throw SQLAuthException(error);
    }
    if (existed || stat(path.c_str(), &st) == 0)
        dbStamp = StampOf(st);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
}

SQLite::~SQLite()
{
    ReleaseStatements();
    sqlite3_close(db);
}

void SQLite::ReleaseStatements()
{
    sqlite3_finalize(loginStatement);
    sqlite3_finalize(traitsStatement);
    sqlite3_finalize(beginStatement);
    sqlite3_finalize(commitStatement);
    sqlite3_finalize(rollbackStatement);
    loginStatement = nullptr;
    traitsStatement = nullptr;
    beginStatement = nullptr;
    commitStatement = nullptr;
    rollbackStatement = nullptr;
}

void SQLite::ReopenIfReplaced()
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        if (!pathMissing)
            Logger::GetInstance()->Log(Logger::eError, "user database " + path + " cannot be found (" +
                                                           std::strerror(errno) + "); the open one stays in use");
        pathMissing = true;
        return;
    }
    pathMissing = false;
    const FileStamp now = StampOf(st);
    if (now == dbStamp)
        return;
    const char* const how = now.SameFile(dbStamp) ? "rewritten" : "replaced";

    // The old connection stays until the new one has read the new file's schema.
    sqlite3* fresh = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &fresh, SQLITE_OPEN_READWRITE, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(fresh, kBusyTimeoutMs);
        rc = sqlite3_exec(fresh, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        const std::string error = fresh ? sqlite3_errmsg(fresh) : sqlite3_errstr(rc);
        sqlite3_close(fresh);
        // A file renamed over the path leaves the open connection on the old file, which still
        // answers; one rewritten in place is the file that connection reads, so nothing answers.
        const char* const meanwhile = now.SameFile(dbStamp) ? "logins are refused until it can be read"
                                                            : "the old one stays in use";
        if (!refused || !(now == refusedStamp))
            Logger::GetInstance()->Log(Logger::eError, "user database " + path + " was " + how +
                                                           ", but the new file cannot be read (" + error + "); " +
                                                           meanwhile);
        refused = true;
        refusedStamp = now;
        return;
    }
    ReleaseStatements();
    sqlite3_close(db);
    db = fresh;
    dbStamp = now;
    refused = false;
    Logger::GetInstance()->Log(Logger::eInfo, "user database " + path + " was " + how + "; reopened");
}

void SQLite::NoteReadFailure(const std::string& why)
{
    if (!why.empty() && why != readFailure)
        Logger::GetInstance()->Log(Logger::eDebug, "user database " + path + " cannot be read: " + why);
    readFailure = why;
}

User SQLite::Login(std::string name, std::string password)
{
    boost::lock_guard<boost::mutex> lock(mutex);
    ReopenIfReplaced();
    // Declared before the statements, so that it ends after they are reset.
    ReadTransaction transaction(db, beginStatement, commitStatement, rollbackStatement);
    // SQLite's message for the first statement that could not be prepared or stepped, so that
    // a locked or broken file can be told from a wrong password.
    std::string failure;
    {
        Statement login(db, loginStatement, loginQuery, name, password);
        const int rc = login.prepared() ? login.step() : SQLITE_ERROR;
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            failure = sqlite3_errmsg(db);
        if (rc != SQLITE_ROW) {
            NoteReadFailure(failure);
            throw UnauthorizedException("pw or user does not match");
        }
    }
    std::vector<std::string> tokens;
    {
        Statement traits(db, traitsStatement, traitsQuery, name, password);
        int rc = traits.prepared() ? SQLITE_ROW : SQLITE_ERROR;
        while (rc == SQLITE_ROW && (rc = traits.step()) == SQLITE_ROW) {
            const unsigned char* text = traits.text(0);
            // A trait without a name grants nothing.
            if (text)
                tokens.emplace_back(reinterpret_cast<const char*>(text), traits.bytes(0));
        }
        if (rc != SQLITE_DONE)
            failure = sqlite3_errmsg(db);
    }
    NoteReadFailure(failure);
    tokens.insert(tokens.end(), TOKEN_LIST_AUTHED.begin(), TOKEN_LIST_AUTHED.end());
    std::sort(tokens.begin(), tokens.end());
    return User(std::move(name), std::move(tokens));
}
