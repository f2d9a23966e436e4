#pragma once
// The user store: checks a name and password against the SQLite user database and builds
// the User with its tokens. One instance, owned by CorvaneCore; Login is called from many
// worker threads at once, and `mutex` serialises every use of the shared connection.
// Before each login the store reopens the database when the file at the configured path
// has been replaced, so that an update by rename takes effect without a restart.
#include <string>

#include <sys/types.h>

#include <boost/thread/lock_guard.hpp>
#include <boost/thread/mutex.hpp>

#include "auth/User.h"

struct sqlite3;
struct sqlite3_stmt;

class SQLite {
public:
    // Opens the database named by global.sqllite_db, creating an empty file if none exists.
    // Throws SQLAuthException when the key is missing or the database cannot be opened.
    SQLite();
    ~SQLite();
    SQLite(const SQLite&) = delete;
    SQLite& operator=(const SQLite&) = delete;

    // The user with "*", "AUTHED" and the traits granted through the user's roles, sorted.
    // Throws UnauthorizedException "pw or user does not match" when no user row matches or
    // the database cannot answer.
    User Login(std::string name, std::string password);

private:
    // Called with `mutex` held. Keeps the open connection unless the file at `path` is
    // another one now and opens as a database; failures are logged once per file.
    void ReopenIfReplaced();
    void ReleaseStatements();

    std::string path;
    sqlite3* db = nullptr;
    // The file `db` was opened from; a replacement that could not be opened.
    dev_t dbDevice = 0;
    ino_t dbInode = 0;
    dev_t refusedDevice = 0;
    ino_t refusedInode = 0;
    bool refused = false;
    bool pathMissing = false;
    boost::mutex mutex;
    // Name and password are bound parameters, never text inside the statement.
    std::string traitsQuery;
    std::string loginQuery;
    // Prepared on first use and kept: parsing the SQL again for every login was most of its cost.
    sqlite3_stmt* loginStatement = nullptr;
    sqlite3_stmt* traitsStatement = nullptr;
    // Both statements of a login run in one read transaction, so SQLite locks and checks the
    // file once per login instead of once per statement.
    sqlite3_stmt* beginStatement = nullptr;
    sqlite3_stmt* commitStatement = nullptr;
    sqlite3_stmt* rollbackStatement = nullptr;
};
