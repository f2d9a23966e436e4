#include "velmora/Exception.h"
#include "velmora/System.h"
#include "velmora/User.h"

#include <gtest/gtest.h>

#include "common/TestSupport.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using corvane_test::Exists;
using corvane_test::ReadFile;
using velmora::System;
using velmora::User;

namespace {

std::wstring wide(std::string const& s)
{
    return std::wstring(s.begin(), s.end());
}

// Polls until the condition holds; false after a generous bound so a fault cannot hang.
template <typename Condition>
bool eventually(Condition condition)
{
    for (int i = 0; i < 1000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

// A private scratch directory, removed with its files at the end.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch.ok()); }
    corvane_test::TempDir scratch;
    const std::string dir = scratch.path();
};

// Keeps an environment variable changed only for the test's duration.
class EnvGuard {
public:
    EnvGuard(const char* name, std::string const& value) : name_(name)
    {
        if (const char* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

bool defaultProgramsPresent()
{
    for (const char* p : {"/usr/bin/gnome-open", "/opt/gnome/bin/gnome-open", "/usr/bin/kfmclient",
                          "/opt/kde3/bin/kfmclient"})
        if (Exists(p))
            return true;
    return false;
}

class SystemRun : public Scratch {};
class SystemOpenDefault : public Scratch {};

} // namespace

// Quotes, backslashes and blanks split the argument string like a command-line parser.
TEST(SystemParseArguments, SplittingTable)
{
    const struct {
        std::string text;
        std::vector<std::string> words;
    } cases[] = {
        {"a \"b c\" d", {"a", "b c", "d"}},
        {"\"a\\\"b\"", {"a\"b"}},
        {"\"a\\\\\"b c\"", {"a\\b", "c"}},
        {"\\\\\\\"x", {"\\\"x"}},
        {"a  b", {"a", "", "b"}},
        {"a b ", {"a", "b"}},
        {" a", {"", "a"}},
        {"a\tb", {"a", "b"}},
        {"\"a\tb\"", {"a\tb"}},
        {"a\\ b", {"a\\", "b"}},
        {"\"a\\ b\"", {"a\\ b"}},
        {"a\\\\", {"a\\\\"}},
        {"x\\y", {"x\\y"}},
        {"\"\"", {}},
        {"", {}},
        {"\"exec\" \"/tmp/a b.txt\"", {"exec", "/tmp/a b.txt"}},
        {"open\"ed here\"", {"opened here"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("text: [" + c.text + "]");
        std::vector<std::string> words;
        System::parseArguments(c.text, words);
        EXPECT_EQ(words, c.words);
    }
}

// Words are appended after those already in the list.
TEST(SystemParseArguments, AppendsToExistingWords)
{
    std::vector<std::string> words{"/bin/prog"};
    System::parseArguments("x y", words);
    EXPECT_EQ(words, std::vector<std::string>({"/bin/prog", "x", "y"}));
}

// A blocking call returns after the program ended, with the words and narrowed bytes it was given.
TEST_F(SystemRun, BlockingReturnsAfterProgramEnded)
{
    const std::string script = "echo $$ > " + dir + "/pid; printf '%s|' \\\"$@\\\" > " + dir
        + "/args; sleep 0.2; echo done > " + dir + "/done";
    std::wstring arguments = wide("-c \"" + script + "\" sh \"two words\" plain ");
    arguments += L"x\u0141";
    System::executeShellCommand(L"/bin/sh", arguments, false, true);
    EXPECT_EQ(ReadFile(dir + "/done"), "done\n");
    EXPECT_EQ(ReadFile(dir + "/args"), "two words|plain|xA|");
    const std::string pid = ReadFile(dir + "/pid");
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(Exists("/proc/" + pid.substr(0, pid.size() - 1)));
}

// A non-blocking call returns while the program still runs, and its child is reaped later.
TEST_F(SystemRun, NonBlockingReturnsAtOnceAndLeavesNoZombie)
{
    const std::string script = "echo $$ > " + dir + "/pid.tmp; mv " + dir + "/pid.tmp " + dir
        + "/pid; while [ ! -e " + dir + "/release ]; do sleep 0.02; done";
    // Returning at all proves it did not wait: the program only ends after the release below.
    System::executeShellCommand(L"/bin/sh", wide("-c \"" + script + "\""), false, false);
    ASSERT_TRUE(eventually([&] { return Exists(dir + "/pid"); }));
    std::string pid = ReadFile(dir + "/pid");
    pid.pop_back();
    const std::string proc = "/proc/" + pid;
    EXPECT_TRUE(Exists(proc));
    std::ofstream(dir + "/release").put('x');
    EXPECT_TRUE(eventually([&] { return !Exists(proc); })) << "child " << pid << " not reaped";
}

// A program that cannot be executed is silent, blocking or not.
TEST(SystemExecute, MissingProgramIsSilent)
{
    EXPECT_NO_THROW(System::executeShellCommand(L"/nonexistent/program", L"a b", false, true));
    EXPECT_NO_THROW(System::doShellExecute(L"/nonexistent/program", L"", false, false));
}

// Blocking is refused before the session check runs; otherwise the check runs and nothing is found.
TEST_F(SystemOpenDefault, BlockingRefusedFirstAndMissingProgramsNamed)
{
    if (defaultProgramsPresent())
        GTEST_SKIP() << "a desktop program is installed";
    const std::string marker = dir + "/ps-ran";
    EnvGuard path("PATH", std::string(CORVANE_TEST_DATA) + "/fakebin:/usr/bin:/bin");
    EnvGuard mark("FAKE_PS_MARKER", marker);
    for (bool forwarded : {false, true}) {
        SCOPED_TRACE(forwarded ? "through executeShellCommand" : "direct");
        try {
            if (forwarded)
                System::executeShellCommand(L"/tmp/a.txt", false, true);
            else
                System::openWithDefaultProgram(L"/tmp/a.txt", false, true);
            ADD_FAILURE() << "no exception";
        } catch (velmora::Exception::Generic const& e) {
            EXPECT_STREQ(e.what(), "openWithDefaultProgram: parameter blocking not implemented.");
        }
        EXPECT_FALSE(Exists(marker));
    }
    for (const char* sessions : {"", "1234 ?        00:00:01 gnome-session"}) {
        SCOPED_TRACE(sessions);
        EnvGuard output("FAKE_PS_OUTPUT", sessions);
        unlink(marker.c_str());
        try {
            System::openWithDefaultProgram(L"/tmp/a.txt", false, false);
            ADD_FAILURE() << "no exception";
        } catch (velmora::Exception::Generic const& e) {
            EXPECT_STREQ(e.what(), "Could not find appropriate default program for '/tmp/a.txt'.");
        }
        EXPECT_TRUE(Exists(marker));
    }
}

// The desktop path is the shell's $HOME with "/Desktop/".
TEST(UserPaths, DesktopPathFromShellHome)
{
    EnvGuard home("HOME", "/home/anna");
    EXPECT_EQ(User::desktopPath(), L"/home/anna/Desktop/");
}

// The data path is the effective user's home directory from its entry, with one trailing slash.
TEST(UserPaths, ApplicationDataPathIsHomeWithSlash)
{
    passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    std::string home = entry->pw_dir;
    if (home.empty() || home.back() != '/')
        home += '/';
    EXPECT_EQ(User::applicationDataPath(), wide(home));
}
