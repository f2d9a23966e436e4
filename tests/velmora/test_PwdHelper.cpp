#include "velmora/PwdHelper.h"

#include <gtest/gtest.h>

#include "common/TempDir.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using velmora::PwdHelper;

namespace {

// An id far above any account a test machine holds.
constexpr unsigned int kMissingUid = 3999999999u;

} // namespace

// The root entry is found both by name and by id, and the buffer is exactly one step long.
TEST(PwdHelper, FindsRootByNameAndUid)
{
    passwd record{};
    std::vector<char> buffer;
    ASSERT_TRUE(PwdHelper::getPwdFromUsername("root", &record, buffer));
    EXPECT_EQ(record.pw_uid, 0u);
    EXPECT_EQ(buffer.size(), 4096u);

    passwd byUid{};
    std::vector<char> buffer2(10000, 'x');
    const unsigned int uid = 0;
    ASSERT_TRUE(PwdHelper::getPwdFromUid(uid, &byUid, buffer2));
    EXPECT_STREQ(byUid.pw_name, "root");
    // A longer buffer is cut before the lookup, and the record points into it.
    EXPECT_EQ(buffer2.size(), 4096u);
    EXPECT_GE(byUid.pw_name, buffer2.data());
    EXPECT_LT(byUid.pw_name, buffer2.data() + buffer2.size());
}

// Unknown names and ids give false without growing the buffer.
TEST(PwdHelper, MissingEntriesGiveFalse)
{
    passwd record{};
    std::vector<char> buffer(10);
    EXPECT_FALSE(PwdHelper::getPwdFromUid(kMissingUid, &record, buffer));
    EXPECT_EQ(buffer.size(), 4096u);
    EXPECT_FALSE(PwdHelper::getPwdFromUsername("no-such-user-velmora", &record, buffer));
    EXPECT_FALSE(PwdHelper::getPwdFromUsername("", &record, buffer));
}

// An entry larger than one step is found after the buffer grew in 4096-byte steps.
// A private mount namespace puts a password file with such an entry in place of the real one.
TEST(PwdHelper, LongEntryGrowsBufferInSteps)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a private mount namespace";
    const corvane_test::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir / "passwd";
    {
        std::ofstream out(file);
        out << "root:x:0:0:root:/root:/bin/sh\n";
        out << "longgecos:x:4242:4242:" << std::string(9000, 'g') << ":/home/longgecos:/bin/sh\n";
    }
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0)
            _exit(77);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || mount(file.c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0)
            _exit(78);
        passwd record{};
        std::vector<char> buffer;
        if (!PwdHelper::getPwdFromUsername("longgecos", &record, buffer))
            _exit(1);
        if (record.pw_uid != 4242 || std::string(record.pw_gecos).size() != 9000)
            _exit(2);
        if (buffer.size() <= 4096 || buffer.size() % 4096 != 0 || buffer.size() > 16384)
            _exit(3);
        passwd byUid{};
        std::vector<char> buffer2;
        if (!PwdHelper::getPwdFromUid(4242u, &byUid, buffer2) || std::string(byUid.pw_name) != "longgecos")
            _exit(4);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here";
    ASSERT_NE(WEXITSTATUS(status), 78) << "cannot bind-mount the password file over /etc/passwd";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
