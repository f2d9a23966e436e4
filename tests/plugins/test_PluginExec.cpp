#include <gtest/gtest.h>

#include <sys/wait.h>

#include <csignal>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "FakePlugin.h"
#include "common/LogCapture.h"
#include "plugins/CommandLimits.h"
#include "plugins/Plugin.h"
#include "plugins/PluginBusyException.h"
#include "plugins/PluginCommandException.h"

using corvane_test::LogCapture;
using corvane_test::thrownMessage;

namespace {

const std::string EXEC = CORVANE_TEST_DATA "/exec";
const std::string SCRIPT = EXEC + "/fake_plugin.sh";
typedef std::vector<std::string> Tokens;
typedef std::vector<std::string> Ids;

class PluginExec : public ::testing::Test {
protected:
    FakePluginDir dir;
    Plugin plugin{EXEC + "/fake_a.xml"};
};

}  // namespace

// One table over the protocol: output filters, events, set permissions, plain commands.
TEST_F(PluginExec, CommandTable)
{
    struct Case {
        std::string command, parameters, output;
        int exitCode;
        std::string result;
        std::string calls;  // recorded arguments, "" when nothing may run
        std::string logged;
    } cases[] = {
        {"get", "", "a=1\nx\nb=2", 0, "a=1\nb=2\n", "[get]\n", "WARN:   could not match line: x\n"},
        {"get", "", "=5\na=1\n", 0, "a=1\n", "[get]\n", "could not match line: =5\n"},
        {"get", "", "fan.front.limit=3\nfan.front.rpm=1\n", 0, "fan.front.limit=3\n", "[get]\n",
         "Suppressed line: fan.front.rpm=1\n"},
        // A CR ends a line as LF does (CR LF is one end), so a hidden line cannot ride on a
        // permitted one.
        {"get", "", "a=x\rsecret=1\nb=2\r\nfan.front.limit=3\r", 0, "a=x\nb=2\nfan.front.limit=3\n",
         "[get]\n", "Suppressed line: secret=1\n"},
        {"getall", "", "a=1\r\rsecret=2", 0, "a=1\n", "[getall]\n", "could not match line: \n"},
        {"getall", "", "a=1\nsecret=2\nfan.rear.limit=4\n", 0, "a=1\nfan.rear.limit=4\n", "[getall]\n",
         "Suppressed line: secret=2\n"},
        {"apply", "", "trigger: two words\n trigger: x\ntrigger: \ntrigger: Nobody\nend", 0,
         "trigger: two words\n trigger: x\ntrigger: \nend\n", "[apply]\n", "exec: "},
        {"set", "", "done\n", 0, "done\n", "[set]\n", "exec: " + SCRIPT + " set \n"},
        {"set", "a=\"x y\" fan.front.limit=\"3\"", "ok", 0, "ok\n", "[set][a=x y][fan.front.limit=3]\n",
         "exec: " + SCRIPT + " set a=\"x y\" fan.front.limit=\"3\"\n"},
        {"set", "b=\"1\"", "", 0, "", "", "Prevented \"set\" operation.b=\"1\"\n"},
        {"set", "a=\"1\" b=\"2\"", "", 0, "", "", "Prevented \"set\" operation.a=\"1\" b=\"2\"\n"},
        // Unquoted pairs are one argument to the separator but two words to the executable.
        {"set", "a=1 b=2", "", 0, "", "", "Prevented \"set\" operation.a=1 b=2\n"},
        {"set", "=\"1\"", "", 0, "", "", "could not match line: =\"1\"\n"},
        // A key after a form feed or line end inside the word is no key of the word.
        {"set", "=\"x\fa=1\nsecret=2\"", "", 0, "", "", "could not match line: =\"x\\x0ca=1\\nsecret=2\"\n"},
        {"plain", "one two", "first\nsecond", 5, "first\nsecond\n", "[plain][one][two]\n", ""},
        {"plain", "", "", 0, "", "[plain]\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " " + c.parameters);
        dir.Clear();
        dir.Write("output", c.output);
        dir.Write("exit", std::to_string(c.exitCode));
        LogCapture log;
        EXPECT_EQ(plugin.ExecPluginAndWait(c.command, c.parameters, {"*"}), c.result);
        EXPECT_EQ(dir.Read("calls"), c.calls);
        EXPECT_TRUE(log.Contains(c.logged)) << log.Text();
    }
}

// setconfig: the text before 0x17 is the command line, exactly the rest goes to stdin.
TEST_F(PluginExec, SetconfigWritesDataToStdin)
{
    struct Case {
        std::string parameters, calls, input;
    } cases[] = {
        {"cfg\x17line one\nline two\x17 no end", "[setconfig][cfg]\n", "line one\nline two\x17 no end"},
        {"cfg", "[setconfig][cfg]\n", ""},
        {"\x17", "[setconfig]\n", ""},
    };
    for (const Case& c : cases) {
        dir.Clear();
        dir.Write("output", "never read\n");
        EXPECT_EQ(plugin.ExecPluginAndWait("setconfig", c.parameters, {"*"}), "");
        EXPECT_EQ(dir.Read("calls"), c.calls);
        EXPECT_EQ(dir.Read("stdin"), c.input);
    }
}

// An executable that ignores a large input block does not take the caller down, in a process
// that ignores SIGPIPE as the daemon does.
TEST_F(PluginExec, SetconfigSurvivesExecutableNotReading)
{
    ::signal(SIGPIPE, SIG_IGN);
    const std::string big(1 << 20, 'x');
    ::setenv("FAKE_DIR", "/nonexistent/dir", 1);  // the script cannot store its input: unread
    EXPECT_EQ(plugin.ExecPluginAndWait("setconfig", "c\x17" + big, {"*"}), "");
    ::setenv("FAKE_DIR", dir.Path().c_str(), 1);
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "", {"*"}), "");
    EXPECT_EQ(dir.Read("calls"), "[plain]\n");
}

// Unknown and hidden commands raise out_of_range before anything starts.
TEST_F(PluginExec, MissingCommandStartsNothing)
{
    try {
        plugin.ExecPluginAndWait("nosuch", "", {"*"});
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "Unable to find key in unordered_map.");
    }
    EXPECT_THROW(plugin.ExecPluginAndWait("admin", "", {"*"}), std::out_of_range);
    EXPECT_FALSE(dir.Exists("calls"));
    EXPECT_EQ(plugin.ExecPluginAndWait("admin", "", {"*", "admin"}), "");
    EXPECT_EQ(dir.Read("calls"), "[admin]\n");
}

// apply: a trigger line fires its listeners in order before the next line and is not returned.
TEST_F(PluginExec, ApplyFiresListeners)
{
    std::vector<std::string> fired;
    plugin.addListener("InvalidateNodeInfo", [&](std::string e) { fired.push_back("1:" + e); });
    plugin.addListener("InvalidateNodeInfo", [&](std::string e) { fired.push_back("2:" + e); });
    plugin.addListener("Other", [&](std::string e) { fired.push_back("3:" + e); });
    dir.Write("output", "trigger: InvalidateNodeInfo\ndone\n");
    EXPECT_EQ(plugin.ExecPluginAndWait("apply", "", {"*"}), "done\n");
    EXPECT_EQ(fired, (std::vector<std::string>{"1:InvalidateNodeInfo", "2:InvalidateNodeInfo"}));

    // Other commands never fire events.
    fired.clear();
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "", {"*"}), "trigger: InvalidateNodeInfo\ndone\n");
    EXPECT_TRUE(fired.empty());
}

// A listener's exception leaves the call with the mutex free and the child collected;
// out_of_range from a listener ends the round quietly.
TEST_F(PluginExec, ListenerExceptionsLeavePluginUsable)
{
    int later = 0;
    plugin.addListener("Boom", [](std::string) { throw std::runtime_error("boom"); });
    plugin.addListener("Boom", [&](std::string) { ++later; });
    plugin.addListener("Quiet", [](std::string) { throw std::out_of_range("x"); });
    plugin.addListener("Quiet", [&](std::string) { ++later; });
    dir.Write("output", "trigger: Boom\nrest\n");
    EXPECT_THROW(plugin.ExecPluginAndWait("apply", "", {"*"}), std::runtime_error);
    EXPECT_FALSE(HasZombieChild());
    dir.Write("output", "trigger: Quiet\nrest\n");
    EXPECT_EQ(plugin.ExecPluginAndWait("apply", "", {"*"}), "rest\n");
    EXPECT_EQ(later, 0);
    plugin.addListener("Empty", Plugin::Listener());
    dir.Write("output", "trigger: Empty\n");
    EXPECT_THROW(plugin.ExecPluginAndWait("apply", "", {"*"}), boost::bad_function_call);
    EXPECT_FALSE(HasZombieChild());
}

// Shell metacharacters in caller text reach the executable as text and never run anything.
TEST_F(PluginExec, HostileParametersNeverRunCommands)
{
    const std::string marker = dir.File("marker");
    const std::string texts[] = {
        "; touch " + marker,           "| touch " + marker,         "&& touch " + marker,
        "$(touch " + marker + ")",     "`touch " + marker + "`",     "> " + marker,
        "\ntouch " + marker,           "'; touch " + marker + "; '", "\"; touch " + marker + "; \"",
        "x\\'; touch " + marker,       "\"$(touch " + marker + ")\"", "a=\"$(touch " + marker + ")\"",
        "'unbalanced; touch " + marker, "\"unbalanced; touch " + marker,
    };
    for (const std::string& text : texts) {
        // The log line holds the text with its line break and backslashes escaped.
        std::string logged;
        for (char c : text)
            logged += c == '\n' ? std::string("\\n") : c == '\\' ? std::string("\\\\") : std::string(1, c);
        for (const char* command : {"plain", "get", "set", "setconfig"}) {
            SCOPED_TRACE(std::string(command) + " " + text);
            LogCapture log;
            plugin.ExecPluginAndWait(command, text, {"*", "admin"});
            EXPECT_FALSE(dir.Exists("marker"));
            EXPECT_TRUE(log.Contains("exec: " + SCRIPT + " " + command + " " + logged + "\n"));
        }
    }
    dir.Clear();
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "; touch " + marker, {"*"}), "");
    EXPECT_EQ(dir.Read("calls"), "[plain][;][touch][" + marker + "]\n");

    dir.Clear();
    LogCapture log;
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "'open", {"*"}), "");
    EXPECT_FALSE(dir.Exists("calls"));
    EXPECT_TRUE(log.Contains("ERROR:  "));
}

namespace {

struct Interval {
    std::string word;
    long long start, end;
};

std::vector<Interval> ReadIntervals(const FakePluginDir& dir)
{
    std::istringstream in(dir.Read("intervals"));
    std::vector<Interval> intervals;
    Interval i;
    while (in >> i.word >> i.start >> i.end)
        intervals.push_back(i);
    return intervals;
}

}  // namespace

// Two commands of one plug-in run one after the other.
TEST_F(PluginExec, CommandsOfOnePluginNeverOverlap)
{
    std::thread first([&] { plugin.ExecPluginAndWait("slow", "", {"*"}); });
    std::thread second([&] { plugin.ExecPluginAndWait("slow", "", {"*", "AUTHED"}); });
    first.join();
    second.join();
    const std::vector<Interval> runs = ReadIntervals(dir);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_TRUE(runs[0].end <= runs[1].start || runs[1].end <= runs[0].start);
}

// Commands of two plug-ins run at the same time: each waits until the other has started.
TEST_F(PluginExec, CommandsOfTwoPluginsOverlap)
{
    Plugin other(EXEC + "/fake_b.xml");
    dir.Write("peer", "");
    std::thread first([&] { plugin.ExecPluginAndWait("slow", "", {"*"}); });
    std::thread second([&] { other.ExecPluginAndWait("slow", "", {"*"}); });
    first.join();
    second.join();
    const std::vector<Interval> runs = ReadIntervals(dir);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_NE(runs[0].word, runs[1].word);
    EXPECT_TRUE(runs[0].start < runs[1].end && runs[1].start < runs[0].end);
}

// A caller waiting for a busy plug-in is asked whether to give its worker up only once it
// has waited CommandLimits::kBusyPatience: it then gives up when told to, and otherwise runs
// in its turn. A caller behind a command of milliseconds is never asked.
TEST_F(PluginExec, WaitingCallerYieldsOnlyPastItsPatience)
{
    using Clock = std::chrono::steady_clock;
    dir.Write("output", "done\n");
    auto holdInFront = [&](const std::string& seconds) {
        dir.Clear();
        dir.Write("output", "done\n");
        std::thread front([this, seconds] { plugin.ExecPluginAndWait("hold", seconds, {"*"}); });
        for (int i = 0; i < 2000 && !dir.Exists("calls"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_TRUE(dir.Exists("calls")) << "the command in front never started";
        return front;
    };

    std::thread front = holdInFront("0.2");
    int asked = 0;
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "", {"*"}, [&] { return ++asked > 0; }), "done\n");
    EXPECT_EQ(asked, 0);
    front.join();

    front = holdInFront("3");
    const Clock::time_point start = Clock::now();
    double firstAsk = -1;
    const Plugin::YieldQuery yield = [&] {
        firstAsk = std::chrono::duration<double>(Clock::now() - start).count();
        return true;
    };
    EXPECT_THROW(plugin.ExecPluginAndWait("plain", "", {"*"}, yield), PluginBusyException);
    EXPECT_GE(firstAsk, 0.9);
    EXPECT_LT(firstAsk, 1.5);
    asked = 0;
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "", {"*"}, [&] { return ++asked < 0; }), "done\n");
    EXPECT_GT(asked, 0);
    front.join();
    EXPECT_EQ(dir.Read("calls"), "[hold][3]\n[plain]\n");
}

// Output up to CommandLimits::kMaxOutputBytes is returned whole; one byte more ends the
// command with a failure and an error line.
TEST_F(PluginExec, OutputIsBoundedByTheLimit)
{
    const std::string line = "0123456789abcde\n";
    std::string output;
    output.reserve(CommandLimits::kMaxOutputBytes + 1);
    while (output.size() < CommandLimits::kMaxOutputBytes)
        output += line;
    ASSERT_EQ(output.size(), CommandLimits::kMaxOutputBytes);
    dir.Write("output", output);
    EXPECT_TRUE(plugin.ExecPluginAndWait("plain", "", {"*"}) == output);

    dir.Write("output", output + "x");
    LogCapture log;
    EXPECT_EQ(thrownMessage<PluginCommandException>([&] { plugin.ExecPluginAndWait("plain", "", {"*"}); }),
              "Plugin output too large");
    EXPECT_TRUE(log.Contains("ERROR:  plugin fakea: output of plain exceeds 16777216 bytes, command ended\n"))
        << log.Text().substr(0, 2000);
    EXPECT_FALSE(HasZombieChild());
}

// What the shell reports for an executable it could not run (127, 126 without any output),
// and a command line over the kernel's limit, are failures logged with their reason; an
// executable that wrote anything did run, whatever its status.
TEST_F(PluginExec, CommandThatCouldNotRunIsAFailure)
{
    struct Case {
        std::string command, parameters, output;
        int exitCode;
        std::string logged;  // "" when the command succeeds with the output
    } cases[] = {
        {"plain", "", "", 127, "ERROR:  plugin fakea: could not run " + SCRIPT + ": not found (status 127)\n"},
        {"get", "", "", 126, "ERROR:  plugin fakea: could not run " + SCRIPT + ": not executable (status 126)\n"},
        {"setconfig", "c\x17" "data", "", 127, "could not run " + SCRIPT + ": not found (status 127)\n"},
        {"plain", std::string(200000, 'x'), "", 0, "ERROR:  problem popen'ing " + SCRIPT + ": Argument list too long\n"},
        {"plain", "", "a\n", 127, ""},
        {"plain", "", "", 1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " exit " + std::to_string(c.exitCode));
        dir.Clear();
        dir.Write("output", c.output);
        dir.Write("exit", std::to_string(c.exitCode));
        LogCapture log;
        if (c.logged.empty()) {
            EXPECT_EQ(plugin.ExecPluginAndWait(c.command, c.parameters, {"*"}), c.output);
            EXPECT_FALSE(log.Contains("ERROR:  "));
        } else {
            EXPECT_EQ(thrownMessage<PluginCommandException>(
                          [&] { plugin.ExecPluginAndWait(c.command, c.parameters, {"*"}); }),
                      "Plugin command could not be run");
            EXPECT_TRUE(log.Contains(c.logged)) << log.Text();
        }
    }
}

// Callers of one plug-in with different tokens at once, while its variant cache grows and a
// second plug-in runs its own command: each caller still gets exactly the lines it may see.
TEST_F(PluginExec, ConcurrentCallersGetTheirOwnFilteredOutput)
{
    Plugin other(EXEC + "/fake_b.xml");
    dir.Write("output", "a=1\nsecret=2\n");
    const struct {
        Tokens tokens;
        std::string result;
    } kCallers[] = {
        {{"*"}, "a=1\n"},
        {{"*", "AUTHED"}, "a=1\n"},
        {{"*", "AUTHED", "admin"}, "a=1\nsecret=2\n"},
    };
    const int rounds = 8;
    std::vector<int> wrong(std::size(kCallers), 0);
    std::vector<std::thread> threads;
    for (size_t c = 0; c < std::size(kCallers); ++c)
        threads.emplace_back([&, c] {
            for (int i = 0; i < rounds; ++i)
                if (plugin.ExecPluginAndWait("getall", "", kCallers[c].tokens) != kCallers[c].result)
                    ++wrong[c];
        });
    threads.emplace_back([&] {
        for (int i = 0; i < rounds; ++i)
            plugin.GetConfigContents({"*", "AUTHED", "role" + std::to_string(i)});
    });
    threads.emplace_back([&] {
        for (int i = 0; i < 3; ++i)
            other.ExecPluginAndWait("slow", "", {"*"});
    });
    for (std::thread& t : threads)
        t.join();
    for (size_t c = 0; c < std::size(kCallers); ++c)
        EXPECT_EQ(wrong[c], 0) << "caller " << c;
}

// A "set" argument holding a line break or another control character is refused as a
// forbidden key would be: a line-based plug-in would otherwise store a second, forged line.
// So is one holding what an XML answer cannot carry, which every later "get" would return:
// a non-character, a surrogate, bytes that are not UTF-8. Tab and ordinary UTF-8 text pass.
TEST_F(PluginExec, SetRefusesControlCharacters)
{
    struct Case {
        std::string parameters;
        std::string calls;  // "" when nothing may run
    } cases[] = {
        {"a=\"auto\nsecret=FORGED\"", ""},
        {"a=\"auto\rsecret=FORGED\"", ""},
        {"a=\"auto\vsecret=FORGED\"", ""},
        {"a=\"auto\fsecret=FORGED\"", ""},
        {"a=\"auto\xC2\x85secret=FORGED\"", ""},      // NEL
        {"a=\"auto\xE2\x80\xA8secret=FORGED\"", ""},  // LINE SEPARATOR
        {"a=\"auto\xE2\x80\xA9secret=FORGED\"", ""},  // PARAGRAPH SEPARATOR
        {"a=\"auto\x7F\"", ""},
        {"a=\"auto\x01\"", ""},
        {"a=\"auto\x1B[2J\"", ""},
        {"a=\"auto\xC2\x9F\"", ""},                   // last C1 control
        {"a=\"auto\xE0\x82\x85secret=FORGED\"", ""},  // NEL in an overlong form
        {"a=\"auto\x85secret=FORGED\"", ""},          // NEL read as Latin-1
        {"a=\"1\" fan.front.limit=\"2\rsecret=3\"", ""},
        {"a=\"1\"\rfan.front.limit=\"3\"", ""},  // a CR after the quote is no word break to sh
        {"a=\"auto\xEF\xBF\xBE\"", ""},      // U+FFFE
        {"a=\"auto\xEF\xBF\xBF\"", ""},      // U+FFFF
        {"a=\"auto\xED\xA0\x80\"", ""},      // the surrogate U+D800
        {"a=\"auto\xF4\x90\x80\x80\"", ""},  // above U+10FFFF
        {"a=\"caf\xE9\"", ""},                 // Latin-1, not UTF-8
        // Well-behaved values keep working.
        {"a=\"x\ty\"", "[set][a=x\ty]\n"},
        {"a=\"Grüße €\" fan.front.limit=\"3\"", "[set][a=Grüße €][fan.front.limit=3]\n"},
        {"a=\"\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEE\x80\x80\"", "[set][a=\xEF\xBF\xBD \xF0\x9F\x98\x80 \xEE\x80\x80]\n"},
        {"a=\"\xC2\xA0nbsp\"", "[set][a=\xC2\xA0nbsp]\n"},
        {"a=\"1\"\n fan.front.limit=\"2\"", "[set][a=1][fan.front.limit=2]\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.parameters);
        dir.Clear();
        dir.Write("output", "stored\n");
        LogCapture log;
        const std::string result = plugin.ExecPluginAndWait("set", c.parameters, {"*"});
        EXPECT_EQ(dir.Read("calls"), c.calls);
        if (c.calls.empty()) {
            EXPECT_EQ(result, "");
            EXPECT_TRUE(log.Contains("DEBUG:  Prevented \"set\" operation.")) << log.Text();
        } else {
            EXPECT_EQ(result, "stored\n");
        }
    }
}

namespace {

const std::string GUARDED = EXEC + "/guarded.xml";
const Tokens ANYONE = {"*"};
const Tokens SERVICE = {"*", "service"};

}  // namespace

// An action set's command elements name commands for the timer; they give no caller a
// command, even where they come first or the command itself is hidden.
TEST(PluginGuards, ActionSetCommandsAreNotCallable)
{
    FakePluginDir dir;
    Plugin plugin(GUARDED);

    EXPECT_THROW(plugin.ExecPluginAndWait("apply", "--set serial=PWNED", ANYONE), std::out_of_range);
    EXPECT_THROW(plugin.ExecPluginAndWait("tick", "", ANYONE), std::out_of_range);
    EXPECT_THROW(plugin.ExecPluginAndWait("tick", "", SERVICE), std::out_of_range);
    EXPECT_FALSE(dir.Exists("calls"));
    const CommandMap& anyone = plugin.getVariant(ANYONE).get<1>();
    EXPECT_EQ(anyone.size(), 2u);
    EXPECT_EQ(anyone.count("get") + anyone.count("set"), 2u);

    // The service caller runs apply with the word and ids of its own element.
    const CommandMap& service = plugin.getVariant(SERVICE).get<1>();
    ASSERT_EQ(service.count("apply"), 1u);
    EXPECT_EQ(service.at("apply").get<0>(), "apply");
    EXPECT_EQ(service.at("apply").get<1>(), (Ids{"fan.*.limit", "mode", "serial"}));
    EXPECT_EQ(plugin.ExecPluginAndWait("apply", "now", SERVICE), "");
    EXPECT_EQ(dir.Read("calls"), "[apply][now]\n");

    // The timer resolves its names as before: the first element of a name, action sets included.
    EXPECT_EQ(plugin.GetCommandMapping("get"), "get");
    EXPECT_EQ(plugin.GetCommandMapping("apply"), "");
    EXPECT_EQ(plugin.GetCommandMapping("tick"), "");
    EXPECT_THROW(plugin.GetCommandMapping("nosuch"), std::out_of_range);
}

// The concrete ids of an instance the caller cannot see are neither settable nor returned;
// ids of instances the description does not declare keep the type.*.name rule.
TEST(PluginGuards, HiddenInstanceKeepsItsValues)
{
    FakePluginDir dir;
    Plugin plugin(GUARDED);
    struct Case {
        Tokens tokens;
        std::string parameters;
        bool runs;
    } sets[] = {
        {ANYONE, "fan.vault.limit=\"1\"", false},
        {ANYONE, "fan.front.limit=\"1\" fan.vault.limit=\"1\"", false},
        {ANYONE, "disk.sda.size=\"1\"", false},  // hidden with its whole instances block
        {ANYONE, "fan.front.limit=\"1\"", true},
        {ANYONE, "fan.rear.limit=\"1\"", true},  // not declared: generalised
        {ANYONE, "disk.sdb.size=\"1\"", true},
        {ANYONE, "mode=\"eco\"", true},
        {SERVICE, "fan.vault.limit=\"1\"", true},
        {{"*", "admin"}, "disk.sda.size=\"1\"", true},
    };
    for (const Case& c : sets) {
        SCOPED_TRACE(c.parameters + " with " + std::to_string(c.tokens.size()) + " tokens");
        dir.Clear();
        LogCapture log;
        plugin.ExecPluginAndWait("set", c.parameters, c.tokens);
        EXPECT_EQ(dir.Exists("calls"), c.runs);
        EXPECT_EQ(log.Contains("Prevented \"set\" operation." + c.parameters + "\n"), !c.runs);
    }

    const std::string output = "mode=auto\nfan.front.limit=5\nfan.vault.limit=7\nfan.rear.limit=2\n"
                               "disk.sda.size=9\nfan.vault.rpm=1\n";
    dir.Write("output", output);
    LogCapture log;
    EXPECT_EQ(plugin.ExecPluginAndWait("get", "", ANYONE), "mode=auto\nfan.front.limit=5\nfan.rear.limit=2\n");
    EXPECT_TRUE(log.Contains("Suppressed line: fan.vault.limit=7\n"));
    EXPECT_EQ(plugin.ExecPluginAndWait("get", "", SERVICE),
              "mode=auto\nfan.front.limit=5\nfan.vault.limit=7\nfan.rear.limit=2\n");
}

// Description text reaches the shell as written: its variables expand and its redirections
// redirect. Caller text still arrives as literal words.
TEST(PluginGuards, DescriptionTextIsShellText)
{
    FakePluginDir dir;
    ::setenv("FAKE_LEAD", "lead", 1);
    ::setenv("FAKE_WORD", "expanded", 1);
    Plugin plugin(EXEC + "/shellside.xml");
    dir.Write("output", "out\n");

    LogCapture log;
    EXPECT_EQ(plugin.ExecPluginAndWait("plain", "$FAKE_WORD 'a b' 2>/dev/null", ANYONE), "out\n");
    EXPECT_EQ(dir.Read("calls"), "[lead][plain][expanded][$FAKE_WORD][a b][2>/dev/null]\n");
    EXPECT_TRUE(log.Contains("exec: " + SCRIPT + " $FAKE_LEAD plain $FAKE_WORD 2>/dev/null $FAKE_WORD 'a b' "
                             "2>/dev/null\n"));

    dir.Clear();
    dir.Write("output", "out\n");
    EXPECT_EQ(plugin.ExecPluginAndWait("quiet", "x", ANYONE), "");
    EXPECT_EQ(dir.Read("calls"), "[lead][quiet][x]\n");
    ::unsetenv("FAKE_LEAD");
    ::unsetenv("FAKE_WORD");
}
