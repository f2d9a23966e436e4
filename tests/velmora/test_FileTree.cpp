#include "common/TestSupport.h"
#include "WidePath.h"

#include "velmora/Exception.h"
#include "velmora/FileOperations.h"
#include "velmora/FileOperationsImpl.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using velmora::FileOperations;
using velmora::Exception::Generic;
using namespace corvane_test;
using velmora_test::wide;

namespace {

bool isDir(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs with the working directory set to `dir`, restoring the old one afterwards.
class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir)
    {
        char buffer[4096];
        if (getcwd(buffer, sizeof buffer))
            mOld = buffer;
        mOk = chdir(dir.c_str()) == 0;
    }
    ~ScopedCwd()
    {
        if (!mOld.empty() && chdir(mOld.c_str()) != 0)
            ADD_FAILURE() << "could not restore the working directory";
    }
    bool ok() const { return mOk; }

private:
    std::string mOld;
    bool mOk = false;
};

// Sums the sizes reported by the walk and records each progress call.
struct Walk {
    std::vector<std::wstring> errors;
    std::vector<std::pair<std::wstring, unsigned long long>> progress;
    int stopAfterProgress = -1;
    bool continueAfterError = true;
};

bool onError(const std::wstring& path, void* context)
{
    Walk* walk = static_cast<Walk*>(context);
    walk->errors.push_back(path);
    return walk->continueAfterError;
}

bool onProgress(const std::wstring& dir, unsigned long long total, void* context)
{
    Walk* walk = static_cast<Walk*>(context);
    walk->progress.emplace_back(dir, total);
    return walk->stopAfterProgress < 0 || static_cast<int>(walk->progress.size()) < walk->stopAfterProgress;
}

} // namespace

// MakeD creates each missing component below an existing root; empty and link components fail.
TEST(MakeDirectory, MakeDCreatesMissingComponents)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    EXPECT_FALSE(FileOperations::MakeD(L""));
    ASSERT_TRUE(FileOperations::MakeD(wide(tree / "a/b/c")));
    EXPECT_TRUE(isDir(tree.path("a/b/c")));
    EXPECT_TRUE(FileOperations::MakeD(wide(tree / "a/b/c/")));

    tree.write("file", "");
    EXPECT_FALSE(FileOperations::MakeD(wide(tree / "file/sub")));

    tree.symlink(tree.path("a"), "alias");
    EXPECT_FALSE(FileOperations::MakeD(wide(tree / "alias/new")));
    EXPECT_FALSE(Exists(tree.path("a/new")));
    EXPECT_TRUE(FileOperations::CreateDirectory(wide(tree / "alias/new")));
    EXPECT_TRUE(isDir(tree.path("a/new")));
}

// A relative path is created below an existing first component only.
TEST(MakeDirectory, RelativePathNeedsItsFirstComponent)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    ScopedCwd cwd(tree.path());
    ASSERT_TRUE(cwd.ok());
    EXPECT_FALSE(FileOperations::MakeD(L"x/y"));
    EXPECT_FALSE(Exists(tree.path("x")));
    EXPECT_FALSE(FileOperations::MakeD(L"single"));
    tree.mkdir("x");
    EXPECT_TRUE(FileOperations::MakeD(L"x/y"));
    EXPECT_TRUE(isDir(tree.path("x/y")));
}

// CreateDirectory turns backslashes into separators, keeping a leading double backslash.
TEST(MakeDirectory, CreateDirectoryHandlesBackslashes)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    EXPECT_TRUE(FileOperations::CreateDirectory(wide(tree / "p\\q\\r")));
    EXPECT_TRUE(isDir(tree.path("p/q/r")));

    ScopedCwd cwd(tree.path());
    ASSERT_TRUE(cwd.ok());
    tree.mkdir("\\\\srv");
    EXPECT_TRUE(FileOperations::CreateDirectory(L"\\\\srv\\share\\x"));
    EXPECT_TRUE(isDir(tree.path("\\\\srv/share/x")));

    tree.write("plain", "");
    EXPECT_FALSE(FileOperations::CreateDirectory(wide(tree / "plain/sub")));
    EXPECT_FALSE(FileOperations::CreateDirectory(L""));
}

// A failing single-directory create names the directory form.
TEST(MakeDirectory, ImplementationMakeDMessage)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    EXPECT_EQ(thrownMessage<Generic>([&] { velmora::FileOperationsImpl::MakeD(wide(tree / "no/parent")); }),
              "Could not create the new directory '" + tree.path("no/parent") + "/'.");
}

// Without the recursive flag a non-empty directory stays; with it the tree goes, hidden entries too.
TEST(DeleteTree, RecursiveDeleteRemovesEverything)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("t/a", "a");
    tree.write("t/.hidden", "h");
    tree.write("t/sub/.deep/f", "f");
    tree.write("outside", "target");
    tree.symlink(tree.path("outside"), "t/sub/link");

    EXPECT_FALSE(FileOperations::DeleteDirectory(wide(tree / "t"), false));
    EXPECT_TRUE(Exists(tree.path("t/a")));
    ASSERT_TRUE(FileOperations::DeleteDirectory(wide(tree / "t"), true));
    EXPECT_FALSE(Exists(tree.path("t")));
    // A link is removed itself, never its target.
    EXPECT_EQ(ReadFile(tree.path("outside")), "target");
}

// A link to a directory inside the tree is not entered, and the delete stops there.
TEST(DeleteTree, LinkedDirectoryInsideStopsTheDelete)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("keep/precious", "p");
    tree.mkdir("t");
    tree.symlink(tree.path("keep"), "t/zlink");
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::DeleteD(wide(tree / "t"), true); }),
              "Could not delete the directory '" + tree.path("t/zlink") + "/'.");
    EXPECT_EQ(ReadFile(tree.path("keep/precious")), "p");
    EXPECT_FALSE(FileOperations::DeleteDirectory(wide(tree / "t"), true));
}

// DeleteF removes files and empty directories, and names the path when it fails.
TEST(DeleteTree, DeleteFile)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("f", "");
    tree.mkdir("empty");
    EXPECT_TRUE(FileOperations::DeleteF(wide(tree / "f")));
    EXPECT_TRUE(FileOperations::DeleteF(wide(tree / "empty")));
    EXPECT_FALSE(Exists(tree.path("empty")));
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::DeleteF(wide(tree / "f")); }),
              "Could not delete the file '" + tree.path("f") + "'.");
    EXPECT_FALSE(FileOperations::DeleteFile(wide(tree / "f")));
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::DeleteD(wide(tree / "gone"), false); }),
              "Could not delete the directory '" + tree.path("gone") + "/'.");
}

// Renames and moves within one file system succeed; the directory forms take a trailing slash.
TEST(RenameMove, WithinOneFileSystem)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("f1", "one");
    tree.write("d1/x", "x");
    EXPECT_TRUE(FileOperations::RenameF(wide(tree / "f1"), wide(tree / "f2")));
    EXPECT_TRUE(FileOperations::MoveF(wide(tree / "f2"), wide(tree / "d1/f3")));
    EXPECT_EQ(ReadFile(tree.path("d1/f3")), "one");
    EXPECT_TRUE(FileOperations::RenameD(wide(tree / "d1"), wide(tree / "d2")));
    EXPECT_TRUE(FileOperations::MoveD(wide(tree / "d2"), wide(tree / "d3")));
    EXPECT_EQ(ReadFile(tree.path("d3/x")), "x");
}

// A rename to another file system is a failure with the operation's own message; nothing moves.
TEST(RenameMove, AcrossFileSystemsFails)
{
    TempDir local;
    ASSERT_TRUE(local.ok());
    struct stat here, there;
    if (stat("/dev/shm", &there) != 0 || stat(local.path().c_str(), &here) != 0 || here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    TempDir remote("/dev/shm");
    ASSERT_TRUE(remote.ok());
    local.write("f", "data");
    local.mkdir("d");
    const std::string f = local.path("f"), rf = remote.path("f");
    const std::string d = local.path("d") + "/", rd = remote.path("d") + "/";

    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::RenameF(wide(local / "f"), wide(remote / "f")); }),
              "Could not rename the file '" + f + "' to '" + rf + "'.");
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::MoveF(wide(local / "f"), wide(remote / "f")); }),
              "Could not move the file '" + f + "' to '" + rf + "'.");
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::RenameD(wide(local / "d"), wide(remote / "d")); }),
              "Could not rename the directory '" + d + "' to '" + rd + "'.");
    EXPECT_EQ(thrownMessage<Generic>([&] { FileOperations::MoveD(wide(local / "d"), wide(remote / "d")); }),
              "Could not move the directory '" + d + "' to '" + rd + "'.");
    EXPECT_EQ(ReadFile(f), "data");
    EXPECT_FALSE(Exists(rf));
}

// Tree sizes count hidden files and do not follow links.
TEST(TreeSize, SizeDAndPopulate)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("t/a", std::string(100, 'a'));
    tree.write("t/.h", std::string(10, 'h'));
    tree.write("t/s1/b", std::string(1000, 'b'));
    tree.write("t/s1/s2/c", std::string(5, 'c'));
    tree.write("big", std::string(50000, 'x'));
    tree.symlink(tree.path("big"), "t/linkfile");
    tree.symlink(tree.path("t/s1"), "t/linkdir");

    EXPECT_EQ(FileOperations::SizeD(wide(tree / "t")), 1115u);

    Walk walk;
    unsigned long long total = 99;
    ASSERT_TRUE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / "t"), onError, onProgress, &walk));
    EXPECT_EQ(total, 1115u);
    EXPECT_TRUE(walk.errors.empty());
    // Each directory reports after its own files, with the running total of the whole walk.
    const std::vector<std::pair<std::wstring, unsigned long long>> expected = {
        {wide(tree / "t/"), 110}, {wide(tree / "t/s1/"), 1110}, {wide(tree / "t/s1/s2/"), 1115}};
    EXPECT_EQ(walk.progress, expected);

    total = 5;
    EXPECT_TRUE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / "t/"), nullptr, nullptr, nullptr));
    EXPECT_EQ(total, 1115u);
}

// A progress callback that answers false stops the walk with false.
TEST(TreeSize, ProgressCallbackStopsTheWalk)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("t/a", std::string(7, 'a'));
    tree.write("t/s/b", std::string(9, 'b'));
    Walk walk;
    walk.stopAfterProgress = 1;
    unsigned long long total = 0;
    EXPECT_FALSE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / "t"), onError, onProgress, &walk));
    EXPECT_EQ(total, 7u);
    EXPECT_EQ(walk.progress.size(), 1u);
}

// A listing failure goes to the error callback, which decides whether the walk goes on.
TEST(TreeSize, ErrorCallbackDecides)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("t/a", std::string(7, 'a'));
    tree.write("t/s/b", std::string(9, 'b'));
    tree.symlink(tree.path("nowhere"), "t/s/dangling");

    Walk walk;
    unsigned long long total = 0;
    EXPECT_TRUE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / "t"), onError, onProgress, &walk));
    EXPECT_EQ(total, 16u);
    EXPECT_EQ(walk.errors, std::vector<std::wstring>{wide(tree / "t/s/")});

    Walk stopping;
    stopping.continueAfterError = false;
    EXPECT_FALSE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / "t"), onError, onProgress, &stopping));
    EXPECT_EQ(total, 7u);
    EXPECT_EQ(stopping.progress.size(), 1u);

    // The non-walking size gives up on the same tree.
    EXPECT_NE(thrownMessage<Generic>([&] { FileOperations::SizeD(wide(tree / "t")); }), "");
}

// Only a real directory can be walked: links, files and missing paths give false and 0.
TEST(TreeSize, PopulateRefusesNonDirectories)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("d/f", "12345");
    tree.symlink(tree.path("d"), "link");
    for (const char* name : {"link", "d/f", "missing"}) {
        unsigned long long total = 42;
        Walk walk;
        EXPECT_FALSE(FileOperations::PopulateSizeOfDirectory(total, wide(tree / name), onError, onProgress, &walk))
            << name;
        EXPECT_EQ(total, 0u);
        EXPECT_TRUE(walk.progress.empty());
    }
}
