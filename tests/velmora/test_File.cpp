#include "velmora/File.h"

#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

using velmora::File;
using velmora::FileOpenMode;
using velmora::FileSeekMode;

namespace {

// Every fsync of the process passes through here, so tests can see when data is forced to disk.
int gFsyncCalls = 0;

} // namespace

extern "C" int fsync(int fd)
{
    using Real = int (*)(int);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "fsync"));
    ++gFsyncCalls;
    return real(fd);
}

namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed with everything in it.
class FileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(mTemp.ok()); }

    std::string path(const std::string& name) const { return mTemp / name; }
    std::wstring wpath(const std::string& name) const
    {
        const std::string p = path(name);
        return std::wstring(p.begin(), p.end());
    }
    void put(const std::string& name, const std::string& content) const
    {
        corvane_test::WriteFile(path(name), content);
    }
    std::string get(const std::string& name) const { return corvane_test::ReadFile(path(name)); }

    corvane_test::TempDir mTemp;
    const std::string mDir = mTemp.path();
};

std::string hundredBytes()
{
    std::string s;
    for (int i = 0; i < 100; ++i)
        s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

} // namespace

// Each mode opens with the access it names, or fails and leaves the object closed.
TEST_F(FileTest, OpenModesGiveTheirAccess)
{
    struct Case {
        const char* name;
        bool existing;
        unsigned int mode;
        bool opens;
        bool canRead;
        bool canWrite;
        std::string contentAfter;
    };
    const unsigned int R = FileOpenMode::eRead, W = FileOpenMode::eWrite;
    const std::vector<Case> cases = {
        {"missing, read", false, R, false, false, false, ""},
        {"missing, write without create", false, W, false, false, false, ""},
        {"missing, write and create", false, W | FileOpenMode::eCreate, true, false, true, "new"},
        {"existing, read", true, R, true, true, false, "old"},
        {"existing, write overwrites in place", true, W, true, false, true, "new"},
        {"existing, read and write", true, R | W, true, true, true, "old"},
        {"existing, write and truncate", true, W | FileOpenMode::eTruncate, true, false, true, "new"},
        {"existing, neither bit", true, 0, true, false, false, "old"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(path("f").c_str());
        if (c.existing)
            put("f", "old");
        File f(wpath("f"));
        ASSERT_EQ(f.open(c.mode), c.opens);
        char buf[8];
        const unsigned int got = f.readRaw(buf, sizeof buf);
        EXPECT_EQ(got, c.canRead ? 3u : 0u);
        if (c.canRead) {
            EXPECT_EQ(std::string(buf, got), "old");
        } else {
            f.seek(0, FileSeekMode::eBegin);
        }
        EXPECT_EQ(f.writeRaw("new", 3), c.canWrite ? 3u : 0u);
        EXPECT_EQ(f.flush(), c.opens);
        f.close();
        if (c.existing || c.opens)
            EXPECT_EQ(get("f"), c.canRead && c.canWrite ? "oldnew" : c.contentAfter);
        else
            EXPECT_FALSE(fs::exists(path("f")));
    }
}

// A created file gets the permission bits 0666 less the umask.
TEST_F(FileTest, CreatedFileHonoursTheUmask)
{
    const mode_t old = ::umask(027);
    File f(wpath("created"));
    EXPECT_TRUE(f.open(FileOpenMode::eWrite | FileOpenMode::eCreate));
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(path("created").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A failed open closes what was open before and the object stays closed.
TEST_F(FileTest, FailedOpenLeavesTheObjectClosed)
{
    put("f", "data");
    File f(wpath("f"));
    ASSERT_TRUE(f.open(FileOpenMode::eRead));
    f.setToFile(wpath("missing"));
    EXPECT_FALSE(f.open(FileOpenMode::eRead));
    char c;
    EXPECT_EQ(f.readRaw(&c, 1), 0u);
    EXPECT_FALSE(f.flush());
    EXPECT_FALSE(f.seek(0, FileSeekMode::eBegin));

    File dir(std::wstring(mDir.begin(), mDir.end()));
    EXPECT_FALSE(dir.open(FileOpenMode::eWrite));
}

// With eCreateFolder every missing folder of the path is created; without it the open fails.
TEST_F(FileTest, CreateFolderMakesTheWholePath)
{
    File plain(wpath("a/b/c/file.bin"));
    EXPECT_FALSE(plain.open(FileOpenMode::eWrite | FileOpenMode::eCreate));
    EXPECT_FALSE(fs::exists(path("a")));

    File f(wpath("a/b/c/file.bin"));
    ASSERT_TRUE(f.open(FileOpenMode::eWrite | FileOpenMode::eCreate | FileOpenMode::eCreateFolder));
    EXPECT_EQ(f.writeRaw("xyz", 3), 3u);
    f.close();
    EXPECT_EQ(get("a/b/c/file.bin"), "xyz");

    // A folder path with backslashes is unified before it is created.
    File back(wpath("d\\e\\file.bin"));
    ASSERT_TRUE(back.open(FileOpenMode::eWrite | FileOpenMode::eCreate | FileOpenMode::eCreateFolder));
    EXPECT_TRUE(fs::is_regular_file(path("d/e/file.bin")));

    // A path without any "/" has no folder to create.
    File bare(L"velmora-bare-name.bin");
    EXPECT_FALSE(bare.open(FileOpenMode::eWrite | FileOpenMode::eCreate | FileOpenMode::eCreateFolder));
    EXPECT_FALSE(fs::exists("velmora-bare-name.bin"));
}

// Reads and writes need their mode bit, a length and a buffer; the end of the file reads as 0.
TEST_F(FileTest, ReadAndWriteNeedTheirMode)
{
    put("f", "abc");
    char buf[8];
    File reader(wpath("f"));
    ASSERT_TRUE(reader.open(FileOpenMode::eRead));
    EXPECT_EQ(reader.writeRaw("x", 1), 0u);
    EXPECT_EQ(reader.readRaw(buf, 0), 0u);
    EXPECT_EQ(reader.readRaw(nullptr, 4), 0u);
    EXPECT_EQ(reader.readRaw(buf, sizeof buf), 3u);
    EXPECT_EQ(reader.readRaw(buf, sizeof buf), 0u);
    reader.close();

    File writer(wpath("f"));
    ASSERT_TRUE(writer.open(FileOpenMode::eWrite));
    EXPECT_EQ(writer.readRaw(buf, sizeof buf), 0u);
    EXPECT_EQ(writer.writeRaw("x", 0), 0u);
    EXPECT_EQ(writer.writeRaw(nullptr, 1), 0u);
    writer.close();
    EXPECT_EQ(get("f"), "abc");

    File never(wpath("f"));
    EXPECT_EQ(never.readRaw(buf, sizeof buf), 0u);
    EXPECT_EQ(never.writeRaw("x", 1), 0u);
}

// Seek moves from the start, the position or the end; other origins and closed files fail.
TEST_F(FileTest, SeekFromEachOrigin)
{
    const std::string data = hundredBytes();
    put("f", data);
    File f(wpath("f"));
    EXPECT_FALSE(f.seek(0, FileSeekMode::eBegin));
    ASSERT_TRUE(f.open(FileOpenMode::eRead | FileOpenMode::eWrite));
    char c;
    ASSERT_TRUE(f.seek(10, FileSeekMode::eBegin));
    ASSERT_EQ(f.readRaw(&c, 1), 1u);
    EXPECT_EQ(c, data[10]);
    ASSERT_TRUE(f.seek(5, FileSeekMode::eCurrent));
    ASSERT_EQ(f.readRaw(&c, 1), 1u);
    EXPECT_EQ(c, data[16]);
    ASSERT_TRUE(f.seek(-10, FileSeekMode::eEnd));
    ASSERT_EQ(f.readRaw(&c, 1), 1u);
    EXPECT_EQ(c, data[90]);
    // Past the end by the offset: a write there leaves a hole.
    ASSERT_TRUE(f.seek(10, FileSeekMode::eEnd));
    EXPECT_EQ(f.writeRaw("z", 1), 1u);
    EXPECT_EQ(f.size(), 111u);
    EXPECT_FALSE(f.seek(0, static_cast<FileSeekMode::eMode>(3)));
    EXPECT_FALSE(f.seek(-1, FileSeekMode::eBegin));
}

// Truncation sets the length from the start, from the position, or cuts the amount off the end.
TEST_F(FileTest, TruncateByEachOrigin)
{
    struct Case {
        const char* name;
        long long position;
        long long amount;
        int whence;
        bool result;
        unsigned long long size;
    };
    const std::vector<Case> cases = {
        {"end shortens", 0, 10, FileSeekMode::eEnd, true, 90},
        {"begin sets the length", 0, 10, FileSeekMode::eBegin, true, 10},
        {"begin extends", 0, 150, FileSeekMode::eBegin, true, 150},
        {"current adds to the position", 20, 5, FileSeekMode::eCurrent, true, 25},
        {"end beyond the length", 0, 101, FileSeekMode::eEnd, false, 100},
        {"unknown origin", 0, 10, 3, false, 100},
        {"overflowing sum", 1, LLONG_MAX, FileSeekMode::eCurrent, false, 100},
        {"overflowing difference", 0, LLONG_MIN, FileSeekMode::eEnd, false, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        put("f", hundredBytes());
        File f(wpath("f"));
        ASSERT_TRUE(f.open(FileOpenMode::eRead | FileOpenMode::eWrite));
        ASSERT_TRUE(f.seek(c.position, FileSeekMode::eBegin));
        EXPECT_EQ(f.truncate(c.amount, static_cast<FileSeekMode::eMode>(c.whence)), c.result);
        EXPECT_EQ(f.size(), c.size);
    }
}

// Truncating from the end leaves the position at the old end; read-only and closed files refuse.
TEST_F(FileTest, TruncateFromEndMovesToOldEndAndNeedsWrite)
{
    put("f", hundredBytes());
    File f(wpath("f"));
    EXPECT_FALSE(f.truncate(10, FileSeekMode::eBegin));
    ASSERT_TRUE(f.open(FileOpenMode::eWrite));
    ASSERT_TRUE(f.truncate(10, FileSeekMode::eEnd));
    EXPECT_EQ(f.writeRaw("!", 1), 1u);
    EXPECT_EQ(f.size(), 101u);
    f.close();

    File reader(wpath("f"));
    ASSERT_TRUE(reader.open(FileOpenMode::eRead));
    EXPECT_FALSE(reader.truncate(10, FileSeekMode::eBegin));
    EXPECT_EQ(reader.size(), 101u);
}

// Renaming stays in the folder, refuses separators and existing names unless told to overwrite.
TEST_F(FileTest, RenameRules)
{
    put("a", "first");
    put("b", "second");
    File f(wpath("a"));
    EXPECT_FALSE(f.rename(L"sub/c", false));
    EXPECT_FALSE(f.rename(L"sub\\c", false));
    EXPECT_FALSE(f.rename(L"b", false));
    EXPECT_EQ(get("a"), "first");
    EXPECT_EQ(get("b"), "second");
    EXPECT_EQ(f.name(), L"a");

    EXPECT_TRUE(f.rename(L"b", true));
    EXPECT_EQ(f.name(), L"b");
    EXPECT_EQ(get("b"), "first");
    EXPECT_FALSE(fs::exists(path("a")));

    // An open descriptor keeps writing to the renamed file.
    ASSERT_TRUE(f.open(FileOpenMode::eWrite));
    EXPECT_TRUE(f.rename(L"c", false));
    EXPECT_EQ(f.writeRaw("F", 1), 1u);
    f.close();
    EXPECT_EQ(get("c"), "First");

    // A failed rename of the file system keeps the old path.
    File missing(wpath("missing"));
    EXPECT_FALSE(missing.rename(L"other", false));
    EXPECT_EQ(missing.name(), L"missing");
}

// Name and folder split the normalised path at its last "/".
TEST(File, NameAndFolderSplitAtTheLastSlash)
{
    struct Case {
        std::wstring path;
        std::wstring name;
        std::wstring folder;
    };
    const std::vector<Case> cases = {
        {L"/data/clip.raw", L"clip.raw", L"/data/"},
        {L"clip.raw", L"clip.raw", L""},
        {L"\\data\\clip.raw", L"clip.raw", L"/data/"},
        {L"/data/", L"", L"/data/"},
        {L"", L"", L""},
    };
    for (const auto& c : cases) {
        File f(c.path);
        EXPECT_EQ(f.name(), c.name);
        EXPECT_EQ(f.folderPath(), c.folder);
    }
    File moved(L"/x/y");
    moved.setToFile(L"\\p\\q.txt");
    EXPECT_EQ(moved.folderPath(), L"/p/");
}

// Existence means a regular file; a missing file has size 0; deletion reports what happened.
TEST_F(FileTest, ExistsSizeAndDelete)
{
    put("f", "12345");
    const std::wstring dir(mDir.begin(), mDir.end());
    File f(wpath("f"));
    EXPECT_TRUE(f.exists());
    EXPECT_EQ(f.size(), 5u);
    EXPECT_TRUE(File::exists(wpath("f")));
    EXPECT_EQ(File::size(wpath("f")), 5u);
    EXPECT_FALSE(File(dir).exists());
    EXPECT_FALSE(File::exists(dir));
    EXPECT_EQ(File(wpath("missing")).size(), 0u);
    EXPECT_EQ(File::size(wpath("missing")), 0u);

    EXPECT_TRUE(f.del());
    EXPECT_FALSE(f.exists());
    EXPECT_FALSE(f.del());
    put("g", "x");
    EXPECT_TRUE(File::del(wpath("g")));
    EXPECT_FALSE(File::del(wpath("g")));
}

// The modification time comes from the file; a missing path leaves the caller's value alone.
TEST_F(FileTest, LastModifiedReadsTheFileTime)
{
    put("f", "x");
    const struct timeval times[2] = {{1234567000, 0}, {1234567890, 0}};
    ASSERT_EQ(::utimes(path("f").c_str(), times), 0);
    long t = 0;
    EXPECT_TRUE(File::lastModified(wpath("f"), t));
    EXPECT_EQ(t, 1234567890L);
    long untouched = 42;
    EXPECT_FALSE(File::lastModified(wpath("missing"), untouched));
    EXPECT_EQ(untouched, 42);
}

// Closing a written file forces it to disk first; closing a read-only file does not.
TEST_F(FileTest, CloseFlushesOnlyWrittenFiles)
{
    put("f", "data");
    File never(wpath("f"));
    EXPECT_FALSE(never.flush());

    struct Case {
        const char* name;
        unsigned int mode;
        int fsyncs;
        std::function<void(File&)> release;
    };
    const std::vector<Case> cases = {
        {"close after write", FileOpenMode::eWrite, 1, [](File& f) { f.close(); }},
        {"close after read", FileOpenMode::eRead, 0, [](File& f) { f.close(); }},
        {"close after read and write", FileOpenMode::eRead | FileOpenMode::eWrite, 1, [](File& f) { f.close(); }},
        {"another file", FileOpenMode::eWrite, 1, [this](File& f) { f.setToFile(wpath("other")); }},
        {"reopen", FileOpenMode::eWrite, 1, [](File& f) { f.open(FileOpenMode::eRead); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        File f(wpath("f"));
        ASSERT_TRUE(f.open(c.mode));
        gFsyncCalls = 0;
        c.release(f);
        EXPECT_EQ(gFsyncCalls, c.fsyncs);
        f.close();
    }

    gFsyncCalls = 0;
    {
        File scoped(wpath("f"));
        ASSERT_TRUE(scoped.open(FileOpenMode::eWrite));
    }
    EXPECT_EQ(gFsyncCalls, 1);
}

// Writes force the file to disk only once more than a second has passed since open or the
// previous forced flush.
TEST_F(FileTest, WritesFlushAtMostOnceASecond)
{
    File f(wpath("f"));
    ASSERT_TRUE(f.open(FileOpenMode::eWrite | FileOpenMode::eCreate));
    gFsyncCalls = 0;
    EXPECT_EQ(f.writeRaw("a", 1), 1u);
    EXPECT_EQ(gFsyncCalls, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(f.writeRaw("b", 1), 1u);
    EXPECT_EQ(gFsyncCalls, 1);
    EXPECT_EQ(f.writeRaw("c", 1), 1u);
    EXPECT_EQ(gFsyncCalls, 1);
    f.close();
    EXPECT_EQ(get("f"), "abc");
}

namespace {

bool volumeSupportsDirect(const std::string& path)
{
    struct statfs64 fs;
    if (::statfs64(path.c_str(), &fs) != 0)
        return false;
    const auto type = static_cast<unsigned long long>(fs.f_type);
    return type == 0xEF53 || type == 0x58465342 || type == 0xBEEFDEAD;
}

} // namespace

// Only eDirectIfSupported lets the volume decide eDirect; the rest of the mode is kept.
TEST_F(FileTest, PatchModeDecidesDirectFromTheVolume)
{
    const unsigned int ifSupported = FileOpenMode::eDirectIfSupported;
    const unsigned int direct = FileOpenMode::eDirect;
    const unsigned int both = FileOpenMode::eDirect | FileOpenMode::eDirectSupported;

    File missing(L"/nonexistent/velmora/file");
    EXPECT_EQ(missing.patch_mode(FileOpenMode::eRead | direct), FileOpenMode::eRead | direct);
    EXPECT_EQ(missing.patch_mode(FileOpenMode::eRead | direct | ifSupported), FileOpenMode::eRead | ifSupported);

    put("f", "x");
    File here(wpath("f"));
    const unsigned int expected =
        FileOpenMode::eWrite | ifSupported | (volumeSupportsDirect(path("f")) ? both : 0u);
    EXPECT_EQ(here.patch_mode(FileOpenMode::eWrite | ifSupported), expected);
}
