#include "tests/velmora/TempTree.h"

#include "velmora/Exception.h"
#include "velmora/FileOperations.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

using velmora::FileOperations;
using velmora_test::exists;
using velmora_test::readAll;
using velmora_test::TempTree;

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Bytes that differ from chunk to chunk, so a misplaced or repeated chunk shows.
std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 31 + i / 4099) % 251);
    return s;
}

mode_t modeOf(const std::string& path)
{
    struct stat st;
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The message of the library exception thrown by `f`, or "" when none was thrown.
template <typename F>
std::string thrownMessage(F f)
{
    try {
        f();
    } catch (const velmora::Exception::Generic& e) {
        return e.what();
    }
    return "";
}

} // namespace

// Files around the 15 MiB chunk size arrive byte for byte, with and without flushing.
TEST(FileCopy, CopiesSizesAroundTheChunk)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    const std::vector<size_t> sizes = {0, 1, 15 * kMiB - 1, 15 * kMiB, 15 * kMiB + 1, 31 * kMiB};
    for (size_t size : sizes) {
        for (bool flush : {false, true}) {
            const std::string content = pattern(size);
            tree.write("src", content);
            const std::string dst = "dst_" + std::to_string(size) + (flush ? "_f" : "");
            ASSERT_TRUE(ops.CopyF(tree.wpath("src"), tree.wpath(dst), flush)) << size;
            EXPECT_TRUE(readAll(tree.path(dst)) == content) << "size " << size << " flush " << flush;
            if (size > kMiB)
                break; // flushing the large files only slows the run
        }
    }
}

// An existing longer destination is overwritten in place: cut to the source's length, mode kept.
TEST(FileCopy, OverwriteKeepsModeAndCutsLongerContent)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    tree.write("src", "short");
    chmod(tree.path("src").c_str(), 0755);
    tree.write("dst", std::string(20000, 'z'));
    chmod(tree.path("dst").c_str(), 0640);
    tree.symlink(tree.path("dst"), "link");

    FileOperations ops;
    ASSERT_TRUE(ops.CopyF(tree.wpath("src"), tree.wpath("link"), false));
    EXPECT_EQ(readAll(tree.path("dst")), "short");
    EXPECT_EQ(modeOf(tree.path("dst")), 0640u);
    // The link was written through, not replaced.
    struct stat st;
    ASSERT_EQ(lstat(tree.path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A new destination does not take over the source's mode.
    ASSERT_TRUE(ops.CopyF(tree.wpath("src"), tree.wpath("fresh"), false));
    EXPECT_EQ(modeOf(tree.path("fresh")) & 0111, 0u);
}

// A missing source leaves a new destination empty and an existing one untouched.
TEST(FileCopy, MissingSourceThrowsSourceError)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    const std::string src = tree.path("missing");
    const std::string dst = tree.path("new");
    EXPECT_EQ(thrownMessage([&] { ops.CopyF(tree.wpath("missing"), tree.wpath("new"), false); }),
              "Could not copy from '" + src + "' to '" + dst + "' (source error).");
    EXPECT_TRUE(exists(dst));
    EXPECT_EQ(readAll(dst), "");

    tree.write("old", "keep me");
    EXPECT_NE(thrownMessage([&] { ops.CopyF(tree.wpath("missing"), tree.wpath("old"), false); }), "");
    EXPECT_EQ(readAll(tree.path("old")), "keep me");
}

// A destination that cannot be opened is reported before the source is touched.
TEST(FileCopy, UnopenableDestinationThrowsDestinationError)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    tree.write("src", "x");
    FileOperations ops;
    EXPECT_EQ(thrownMessage([&] { ops.CopyF(tree.wpath("src"), tree.wpath("nodir/dst"), false); }),
              "Could not copy from '" + tree.path("src") + "' to '" + tree.path("nodir/dst")
                  + "' (destination error).");
}

// A failing write ends the copy with an exception instead of reporting success.
TEST(FileCopy, WriteFailureThrows)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    for (size_t size : {size_t(10), 16 * kMiB}) {
        tree.write("src", pattern(size));
        for (bool flush : {false, true}) {
            const std::string message = thrownMessage([&] { ops.CopyF(tree.wpath("src"), L"/dev/full", flush); });
            EXPECT_EQ(message, "Could not copy from '" + tree.path("src") + "' to '/dev/full' (write error).")
                << size << " " << flush;
        }
    }
}

// Sources whose size cannot be learnt by seeking are refused rather than copied short.
TEST(FileCopy, UnmeasurableOrChangingSourceThrows)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    // Seeking reports 0 bytes, yet the device has data: the copy must not pass as complete.
    EXPECT_EQ(thrownMessage([&] { ops.CopyF(L"/dev/zero", tree.wpath("z"), false); }),
              "Could not copy from '/dev/zero' to '" + tree.path("z") + "' (source changed size).");
    EXPECT_EQ(readAll(tree.path("z")), "");
    // Seeking to the end fails outright.
    EXPECT_EQ(thrownMessage([&] { ops.CopyF(L"/proc/self/status", tree.wpath("s"), false); }),
              "Could not copy from '/proc/self/status' to '" + tree.path("s") + "' (source error).");
    // A directory opens but cannot be read.
    tree.mkdir("d");
    EXPECT_NE(thrownMessage([&] { ops.CopyF(tree.wpath("d"), tree.wpath("dd"), false); }).find("Could not copy from"),
              std::string::npos);
}

// A tree is copied with hidden entries; links and special files are left out.
TEST(DirectoryCopy, CopiesTreeWithoutLinks)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    tree.mkdir("src/sub/.hidden_dir");
    tree.write("src/a.txt", "alpha");
    tree.write("src/.dot", "dot");
    tree.write("src/sub/b.bin", pattern(70000));
    tree.write("src/sub/.hidden_dir/c", "c");
    tree.symlink(tree.path("src/a.txt"), "src/link_file");
    tree.symlink(tree.path("src/sub"), "src/link_dir");
    ASSERT_EQ(mkfifo(tree.path("src/fifo").c_str(), 0644), 0);

    FileOperations ops;
    ASSERT_TRUE(ops.CopyD(tree.wpath("src"), tree.wpath("dst"), false));
    EXPECT_EQ(readAll(tree.path("dst/a.txt")), "alpha");
    EXPECT_EQ(readAll(tree.path("dst/.dot")), "dot");
    EXPECT_TRUE(readAll(tree.path("dst/sub/b.bin")) == pattern(70000));
    EXPECT_EQ(readAll(tree.path("dst/sub/.hidden_dir/c")), "c");
    EXPECT_FALSE(exists(tree.path("dst/link_file")));
    EXPECT_FALSE(exists(tree.path("dst/link_dir")));
    EXPECT_FALSE(exists(tree.path("dst/fifo")));

    // Copying again over the existing tree is accepted.
    EXPECT_TRUE(ops.CopyD(tree.wpath("src/"), tree.wpath("dst/"), true));
}

// A missing source directory is reported with the directory forms of both paths.
TEST(DirectoryCopy, MissingSourceThrows)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    tree.write("file", "x");
    FileOperations ops;
    for (const std::string name : {"missing", "file"}) {
        const std::string src = tree.path(name) + "/";
        const std::string dst = tree.path("dst") + "/";
        EXPECT_EQ(thrownMessage([&] { ops.CopyD(tree.wpath(name), tree.wpath("dst"), false); }),
                  "Could not copy the directory '" + src + "' to '" + dst + "', " + src + "' doesn't exist.");
    }
    EXPECT_FALSE(exists(tree.path("dst")));
}

// A destination inside the source tree (or the source itself) is refused before anything is copied.
TEST(DirectoryCopy, RefusesDestinationInsideSource)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    tree.mkdir("src/sub");
    tree.write("src/f", "f");
    tree.symlink(tree.path("src/sub"), "alias");

    FileOperations ops;
    const std::vector<std::string> destinations = {"src/copy", "src/sub", "src/sub/deeper", "src", "alias/new"};
    for (const auto& d : destinations) {
        const std::string message = thrownMessage([&] { ops.CopyD(tree.wpath("src"), tree.wpath(d), false); });
        EXPECT_EQ(message, "Could not copy the directory '" + tree.path("src") + "/' to '" + tree.path(d)
                               + "/', the destination lies inside the source.")
            << d;
    }
    EXPECT_FALSE(exists(tree.path("src/copy")));
    EXPECT_FALSE(exists(tree.path("src/sub/new")));
    EXPECT_FALSE(exists(tree.path("src/sub/f")));

    // A sibling whose name merely begins with the source's name is fine.
    EXPECT_TRUE(ops.CopyD(tree.wpath("src"), tree.wpath("src2"), false));
    EXPECT_EQ(readAll(tree.path("src2/f")), "f");
}
