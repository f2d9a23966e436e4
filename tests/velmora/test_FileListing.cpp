#include "common/TestSupport.h"
#include "WidePath.h"

#include "velmora/Exception.h"
#include "velmora/FileOperations.h"
#include "velmora/FileOperationsImpl.h"
#include "velmora/FileSortPredicate.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using velmora::FileOperations;
using velmora::FileOperationsImpl;
using namespace corvane_test;
using velmora_test::wide;

namespace {

using Names = std::vector<std::wstring>;

// A directory with files bb, a, c, directories bb, a, c below "d", hidden entries and links.
void populate(const TempDir& tree)
{
    for (const char* name : {"f/bb", "f/a", "f/c", "f/.hid"})
        tree.write(name, name);
    for (const char* name : {"d/bb", "d/a", "d/c", "d/.hdir"})
        tree.mkdir(name);
    tree.symlink(tree.path("f/a"), "f/lnk");
    tree.symlink(tree.path("d/a"), "d/lnkdir");
}

} // namespace

// File names are ordered shortest first, directory names by plain string order.
TEST(FileListing, ReadOrdersFilesByLengthAndDirectoriesByName)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    populate(tree);
    EXPECT_EQ(FileOperations::ReadF(wide(tree / "f"), false, false), (Names{L"a", L"c", L"bb"}));
    EXPECT_EQ(FileOperations::ReadD(wide(tree / "d"), false, false), (Names{L"a", L"bb", L"c"}));
}

// Hidden names appear only when asked for; links only when followed, then as what they lead to.
TEST(FileListing, HiddenAndLinkFlags)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    populate(tree);
    EXPECT_EQ(FileOperations::ReadF(wide(tree / "f"), true, false), (Names{L"a", L"c", L"bb", L".hid"}));
    EXPECT_EQ(FileOperations::ReadF(wide(tree / "f"), false, true), (Names{L"a", L"c", L"bb", L"lnk"}));
    EXPECT_EQ(FileOperations::ReadD(wide(tree / "d"), true, false), (Names{L".hdir", L"a", L"bb", L"c"}));
    EXPECT_EQ(FileOperations::ReadD(wide(tree / "d/"), false, true), (Names{L"a", L"bb", L"c", L"lnkdir"}));
    // Directories are not files and files are not directories.
    EXPECT_EQ(FileOperations::ReadD(wide(tree / "f"), true, true), Names{});
    EXPECT_EQ(FileOperations::ReadF(wide(tree / "d"), true, true), Names{});
}

// The facade swallows listing failures; Read reports them, keeps the lists and stores errno.
TEST(FileListing, MissingDirectory)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    const std::wstring missing = wide(tree / "missing");
    EXPECT_TRUE(FileOperations::ReadD(missing, true, true).empty());
    EXPECT_TRUE(FileOperations::ReadF(missing, true, true).empty());

    Names dirs{L"keep-d"}, files{L"keep-f"};
    int error = 0;
    EXPECT_FALSE(FileOperations::Read(dirs, files, missing, true, true, false, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(dirs, Names{L"keep-d"});
    EXPECT_EQ(files, Names{L"keep-f"});
    EXPECT_FALSE(FileOperations::Read(dirs, files, missing, true, true, true, nullptr));

    const std::string form = tree.path("missing") + "/";
    const std::vector<std::pair<std::function<void()>, std::string>> readers = {
        {[&] { Names n; FileOperationsImpl::ReadD(n, missing, true, true); },
         "Could not read out the directories from '" + form + "'."},
        {[&] { Names n; FileOperationsImpl::ReadF(n, missing, true, true); },
         "Could not read out the files from '" + form + "'."},
        {[&] { Names a, b; FileOperationsImpl::Read(a, b, missing, true, true, nullptr); },
         "Could not read out the directories and files from '" + form + "'."},
        {[&] { unsigned long long c, s; long t; Names n; FileOperationsImpl::FolderProperties(missing, c, s, t, n); },
         "Could not read out the directories and files from '" + form + "'."},
    };
    for (const auto& r : readers) {
        try {
            r.first();
            ADD_FAILURE() << "no exception for " << r.second;
        } catch (const velmora::Exception::Generic& e) {
            EXPECT_EQ(std::string(e.what()), r.second);
        }
    }
}

// Read appends to the caller's lists and sorts the whole lists when asked.
TEST(FileListing, ReadAppendsAndSortsWholeLists)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("x/zz", "1");
    tree.write("x/b", "2");
    tree.mkdir("x/m");
    Names dirs{L"zdir"}, files{L"long-name"};
    ASSERT_TRUE(FileOperations::Read(dirs, files, wide(tree / "x"), false, false, true, nullptr));
    EXPECT_EQ(dirs, (Names{L"m", L"zdir"}));
    EXPECT_EQ(files, (Names{L"b", L"zz", L"long-name"}));
}

// An entry that cannot be stat'ed is reported after the listing, which keeps everything else.
TEST(FileListing, DanglingLinkReportedAfterWholeListing)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("x/a", "a");
    tree.write("x/z", "z");
    tree.symlink(tree.path("nowhere"), "x/m_dangling");
    Names files;
    try {
        FileOperationsImpl::ReadF(files, wide(tree / "x"), false, true);
        ADD_FAILURE() << "no exception";
    } catch (const velmora::Exception::Generic& e) {
        EXPECT_EQ(std::string(e.what()), "Could not stat64 '" + tree.path("x/m_dangling") + "'.");
    }
    EXPECT_EQ(files, (Names{L"a", L"z"}));
    EXPECT_EQ(FileOperations::ReadF(wide(tree / "x"), false, false), (Names{L"a", L"z"}));

    Names dirs, files2;
    int error = 0;
    EXPECT_FALSE(FileOperations::Read(dirs, files2, wide(tree / "x"), false, false, false, &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(files2, (Names{L"a", L"z"}));
}

// Raw entries include "." and ".." and hidden names; a missing directory gives none.
TEST(FileListing, GetDirEntries)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("x/bb", "");
    tree.write("x/.h", "");
    Names entries{L"stale"};
    FileOperations::GetDirEntries(entries, wide(tree / "x"), true);
    EXPECT_EQ(entries, (Names{L".", L"..", L".h", L"bb"}));
    FileOperations::GetDirEntries(entries, wide(tree / "missing"), true);
    EXPECT_TRUE(entries.empty());
}

// Everything that is not a directory counts; "." and ".." never do.
TEST(FileListing, NumberOfFilesInDir)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("x/one", "");
    tree.write("x/two", "");
    tree.mkdir("x/sub");
    EXPECT_EQ(FileOperations::GetNumberOfFilesInDir(wide(tree / "x")), 2u);
    tree.symlink(tree.path("x/one"), "x/link");
    EXPECT_EQ(FileOperations::GetNumberOfFilesInDir(wide(tree / "x/")), 3u);
    EXPECT_EQ(FileOperations::GetNumberOfFilesInDir(wide(tree / "missing")), 0u);
}

// Counts, bytes and the latest modification of regular files; links skipped, hidden kept.
TEST(FileListing, FolderProperties)
{
    setenv("TZ", "UTC", 1);
    tzset();
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.mkdir("empty");
    unsigned long long count = 7, bytes = 7;
    std::string when = "unchanged";
    Names dirs{L"old"};
    ASSERT_TRUE(FileOperations::FolderProperties(wide(tree / "empty"), count, bytes, when, dirs));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(when, "unchanged");
    EXPECT_TRUE(dirs.empty());

    tree.write("x/a", "12345");
    tree.write("x/.h", "123");
    tree.mkdir("x/sub");
    tree.mkdir("x/.hsub");
    tree.symlink(tree.path("x/a"), "x/link");
    tree.symlink(tree.path("x/sub"), "x/linkdir");
    const utimbuf older{1577934245, 1577934245}; // 2020-01-02 03:04:05 UTC
    const utimbuf newer{1600000000, 1600000000}; // 2020-09-13 12:26:40 UTC
    utime(tree.path("x/.h").c_str(), &older);
    utime(tree.path("x/a").c_str(), &newer);
    ASSERT_TRUE(FileOperations::FolderProperties(wide(tree / "x"), count, bytes, when, dirs));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(when, "20200913122640");
    std::sort(dirs.begin(), dirs.end());
    EXPECT_EQ(dirs, (Names{L".hsub", L"sub"}));

    EXPECT_FALSE(FileOperations::FolderProperties(wide(tree / "missing"), count, bytes, when, dirs));
}

// Path queries on real entries, links and missing paths.
TEST(FileQueries, KindsOfPaths)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("file", "abc");
    tree.mkdir("dir");
    tree.symlink(tree.path("dir"), "linkdir");
    tree.symlink(tree.path("file"), "linkfile");

    EXPECT_TRUE(FileOperations::CheckF(wide(tree / "file")));
    EXPECT_TRUE(FileOperations::IsFile(wide(tree / "linkfile")));
    EXPECT_FALSE(FileOperations::CheckF(wide(tree / "dir")));
    EXPECT_TRUE(FileOperations::CheckD(wide(tree / "dir")));
    EXPECT_FALSE(FileOperations::CheckD(wide(tree / "file")));
    EXPECT_TRUE(FileOperations::IsDirectory(wide(tree / "dir/")));
    // A link to a directory counts for CheckD but not for IsDirectory.
    EXPECT_TRUE(FileOperations::CheckD(wide(tree / "linkdir")));
    EXPECT_FALSE(FileOperations::IsDirectory(wide(tree / "linkdir")));
    EXPECT_FALSE(FileOperations::IsDirectory(wide(tree / "linkdir/")));
    EXPECT_TRUE(FileOperations::IsLink(wide(tree / "linkdir/")));
    EXPECT_TRUE(FileOperations::IsLink(wide(tree / "linkfile")));
    EXPECT_FALSE(FileOperations::IsLink(wide(tree / "file")));
    EXPECT_FALSE(FileOperations::IsLink(L"/"));
    EXPECT_TRUE(FileOperations::IsDirectory(L"/"));

    EXPECT_EQ(FileOperations::SizeF(wide(tree / "file")), 3u);
    EXPECT_EQ(FileOperations::SizeOfFile(wide(tree / "file")), 3);
    EXPECT_EQ(FileOperations::SizeF(wide(tree / "missing")), 0u);
    EXPECT_EQ(FileOperations::SizeOfFile(wide(tree / "missing")), -1);
    EXPECT_TRUE(FileOperations::Exists(wide(tree / "file")));
    EXPECT_FALSE(FileOperations::Exists(wide(tree / "missing")));
    EXPECT_TRUE(FileOperations::IsReadOnly(wide(tree / "missing")));
    EXPECT_EQ(FileOperations::Owner(wide(tree / "missing")), L"");
    EXPECT_EQ(FileOperations::VolumeNameF(wide(tree / "missing")), L"");
}

// Hidden means the last component begins with a dot.
TEST(FileQueries, IsHidden)
{
    const std::vector<std::pair<std::wstring, bool>> cases = {
        {L"/a/.b", true}, {L"/a/b.c", false}, {L".x", true}, {L"/a/.b/", true}, {L"/.a/b", false}, {L"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FileOperations::IsHidden(c.first), c.second) << velmora::Utilities::convertWideToUtf8String(c.first);
}

// The owner is the user name of the file's uid; write access decides read-only.
TEST(FileQueries, OwnerReadOnlyAndVolume)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("file", "x");
    const passwd* me = getpwuid(geteuid());
    ASSERT_NE(me, nullptr);
    EXPECT_EQ(FileOperations::Owner(wide(tree / "file")), velmora::Utilities::convertNarrowToWideString(me->pw_name));
    EXPECT_FALSE(FileOperations::IsReadOnly(wide(tree / "file")));
    if (geteuid() != 0) {
        chmod(tree.path("file").c_str(), 0444);
        EXPECT_TRUE(FileOperations::IsReadOnly(wide(tree / "file")));
    }
    EXPECT_EQ(FileOperations::VolumeNameD(L"/"), L"/");
    EXPECT_EQ(FileOperations::VolumeNameF(L"/proc/self/status"), L"/proc");
}

// Shorter names first, then code-point order.
TEST(FileSortPredicate, OrdersByLengthThenCodePoint)
{
    Names names{L"bb", L"a", L"c", L"B", L"ab", std::wstring(1, L'\u00E9')};
    std::sort(names.begin(), names.end(), velmora::FileSortPredicate());
    EXPECT_EQ(names, (Names{L"B", L"a", L"c", std::wstring(1, L'\u00E9'), L"ab", L"bb"}));
}
