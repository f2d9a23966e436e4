#include "common/TestSupport.h"
#include "WidePath.h"

#include "velmora/Exception.h"
#include "velmora/FileOperations.h"

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

} // namespace

// Files around the 15 MiB chunk size arrive byte for byte, with and without flushing.
TEST(FileCopy, CopiesSizesAroundTheChunk)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    const std::vector<size_t> sizes = {0, 1, 15 * kMiB - 1, 15 * kMiB, 15 * kMiB + 1, 31 * kMiB};
    for (size_t size : sizes) {
        for (bool flush : {false, true}) {
            const std::string content = pattern(size);
            tree.write("src", content);
            const std::string dst = "dst_" + std::to_string(size) + (flush ? "_f" : "");
            ASSERT_TRUE(ops.CopyF(wide(tree / "src"), wide(tree / dst), flush)) << size;
            EXPECT_TRUE(ReadFile(tree.path(dst)) == content) << "size " << size << " flush " << flush;
            if (size > kMiB)
                break; // flushing the large files only slows the run
        }
    }
}

// An existing longer destination is overwritten in place: cut to the source's length, mode kept.
TEST(FileCopy, OverwriteKeepsModeAndCutsLongerContent)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("src", "short");
    chmod(tree.path("src").c_str(), 0755);
    tree.write("dst", std::string(20000, 'z'));
    chmod(tree.path("dst").c_str(), 0640);
    tree.symlink(tree.path("dst"), "link");

    FileOperations ops;
    ASSERT_TRUE(ops.CopyF(wide(tree / "src"), wide(tree / "link"), false));
    EXPECT_EQ(ReadFile(tree.path("dst")), "short");
    EXPECT_EQ(modeOf(tree.path("dst")), 0640u);
    // The link was written through, not replaced.
    struct stat st;
    ASSERT_EQ(lstat(tree.path("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));

    // A new destination does not take over the source's mode.
    ASSERT_TRUE(ops.CopyF(wide(tree / "src"), wide(tree / "fresh"), false));
    EXPECT_EQ(modeOf(tree.path("fresh")) & 0111, 0u);
}

// A missing source leaves a new destination empty and an existing one untouched.
TEST(FileCopy, MissingSourceThrowsSourceError)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    const std::string src = tree.path("missing");
    const std::string dst = tree.path("new");
    EXPECT_EQ(thrownMessage<Generic>([&] { ops.CopyF(wide(tree / "missing"), wide(tree / "new"), false); }),
              "Could not copy from '" + src + "' to '" + dst + "' (source error).");
    EXPECT_TRUE(Exists(dst));
    EXPECT_EQ(ReadFile(dst), "");

    tree.write("old", "keep me");
    EXPECT_NE(thrownMessage<Generic>([&] { ops.CopyF(wide(tree / "missing"), wide(tree / "old"), false); }), "");
    EXPECT_EQ(ReadFile(tree.path("old")), "keep me");
}

// A destination that cannot be opened is reported before the source is touched.
TEST(FileCopy, UnopenableDestinationThrowsDestinationError)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("src", "x");
    FileOperations ops;
    EXPECT_EQ(thrownMessage<Generic>([&] { ops.CopyF(wide(tree / "src"), wide(tree / "nodir/dst"), false); }),
              "Could not copy from '" + tree.path("src") + "' to '" + tree.path("nodir/dst")
                  + "' (destination error).");
}

// A failing write ends the copy with an exception instead of reporting success.
TEST(FileCopy, WriteFailureThrows)
{
    if (!Exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    for (size_t size : {size_t(10), 16 * kMiB}) {
        tree.write("src", pattern(size));
        for (bool flush : {false, true}) {
            const std::string message =
                thrownMessage<Generic>([&] { ops.CopyF(wide(tree / "src"), L"/dev/full", flush); });
            EXPECT_EQ(message, "Could not copy from '" + tree.path("src") + "' to '/dev/full' (write error).")
                << size << " " << flush;
        }
    }
}

// Sources whose size cannot be learnt by seeking are refused rather than copied short.
TEST(FileCopy, UnmeasurableOrChangingSourceThrows)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    FileOperations ops;
    // Seeking reports 0 bytes, yet the device has data: the copy must not pass as complete.
    EXPECT_EQ(thrownMessage<Generic>([&] { ops.CopyF(L"/dev/zero", wide(tree / "z"), false); }),
              "Could not copy from '/dev/zero' to '" + tree.path("z") + "' (source changed size).");
    EXPECT_EQ(ReadFile(tree.path("z")), "");
    // Seeking to the end fails outright.
    EXPECT_EQ(thrownMessage<Generic>([&] { ops.CopyF(L"/proc/self/status", wide(tree / "s"), false); }),
              "Could not copy from '/proc/self/status' to '" + tree.path("s") + "' (source error).");
    // A directory opens but cannot be read.
    tree.mkdir("d");
    const std::string message = thrownMessage<Generic>([&] { ops.CopyF(wide(tree / "d"), wide(tree / "dd"), false); });
    EXPECT_NE(message.find("Could not copy from"), std::string::npos);
}

// A tree is copied with hidden entries; links and special files are left out.
TEST(DirectoryCopy, CopiesTreeWithoutLinks)
{
    TempDir tree;
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
    ASSERT_TRUE(ops.CopyD(wide(tree / "src"), wide(tree / "dst"), false));
    EXPECT_EQ(ReadFile(tree.path("dst/a.txt")), "alpha");
    EXPECT_EQ(ReadFile(tree.path("dst/.dot")), "dot");
    EXPECT_TRUE(ReadFile(tree.path("dst/sub/b.bin")) == pattern(70000));
    EXPECT_EQ(ReadFile(tree.path("dst/sub/.hidden_dir/c")), "c");
    EXPECT_FALSE(Exists(tree.path("dst/link_file")));
    EXPECT_FALSE(Exists(tree.path("dst/link_dir")));
    EXPECT_FALSE(Exists(tree.path("dst/fifo")));

    // Copying again over the existing tree is accepted.
    EXPECT_TRUE(ops.CopyD(wide(tree / "src/"), wide(tree / "dst/"), true));
}

// A missing source directory is reported with the directory forms of both paths.
TEST(DirectoryCopy, MissingSourceThrows)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.write("file", "x");
    FileOperations ops;
    for (const std::string name : {"missing", "file"}) {
        const std::string src = tree.path(name) + "/";
        const std::string dst = tree.path("dst") + "/";
        EXPECT_EQ(thrownMessage<Generic>([&] { ops.CopyD(wide(tree / name), wide(tree / "dst"), false); }),
                  "Could not copy the directory '" + src + "' to '" + dst + "', " + src + "' doesn't exist.");
    }
    EXPECT_FALSE(Exists(tree.path("dst")));
}

// A destination inside the source tree (or the source itself) is refused before anything is copied.
TEST(DirectoryCopy, RefusesDestinationInsideSource)
{
    TempDir tree;
    ASSERT_TRUE(tree.ok());
    tree.mkdir("src/sub");
    tree.write("src/f", "f");
    tree.symlink(tree.path("src/sub"), "alias");

    FileOperations ops;
    const std::vector<std::string> destinations = {"src/copy", "src/sub", "src/sub/deeper", "src", "alias/new"};
    for (const auto& d : destinations) {
        const std::string message =
            thrownMessage<Generic>([&] { ops.CopyD(wide(tree / "src"), wide(tree / d), false); });
        EXPECT_EQ(message, "Could not copy the directory '" + tree.path("src") + "/' to '" + tree.path(d)
                               + "/', the destination lies inside the source.")
            << d;
    }
    EXPECT_FALSE(Exists(tree.path("src/copy")));
    EXPECT_FALSE(Exists(tree.path("src/sub/new")));
    EXPECT_FALSE(Exists(tree.path("src/sub/f")));

    // A sibling whose name merely begins with the source's name is fine.
    EXPECT_TRUE(ops.CopyD(wide(tree / "src"), wide(tree / "src2"), false));
    EXPECT_EQ(ReadFile(tree.path("src2/f")), "f");
}
