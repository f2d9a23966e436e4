#pragma once
// The user store: checks a name and password against the SQLite user database and builds
// the User with its tokens. One instance, owned by CorvaneCore; Login is called from many
// worker threads at once, and `mutex` serialises every use of the shared connection.
// Before each login the store reopens the database when the file at the configured path
// has been replaced or written anew, so that an update by rename or a restore by copy takes
// effect without a restart.
#include <ctime>
#include <string>

#include <sys/stat.h>
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
    // Which file the path names and how it was last written. A copy over the file keeps its
    // inode but not its length and time; SQLite itself would notice the new content, but not
    // tables that now lie on other pages, and its statements would read the wrong ones.
    struct FileStamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec modified = {0, 0};

        bool SameFile(const FileStamp& other) const { return device == other.device && inode == other.inode; }
        bool operator==(const FileStamp& other) const
        {
            return SameFile(other) && size == other.size && modified.tv_sec == other.modified.tv_sec &&
                   modified.tv_nsec == other.modified.tv_nsec;
        }
    };

    // Called with `mutex` held. Keeps the open connection unless the file at `path` is
    // another one now, or was written since, and opens as a database; failures are logged once
    // per file.
    void ReopenIfReplaced();
    static FileStamp StampOf(const struct stat& st);
    void ReleaseStatements();
    // Logs at debug level, once until a login reads the database again, why it could not be
    // read; an empty text marks a login that read it.
    void NoteReadFailure(const std::string& why);

    std::string path;
    sqlite3* db = nullptr;
    // The file as `db` was opened from it; a later state that could not be opened.
    FileStamp dbStamp;
    FileStamp refusedStamp;
    bool refused = false;
    bool pathMissing = false;
    std::string readFailure;
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
