#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "common/LogCapture.h"
#include "plugins/Plugin.h"

using corvane_test::LogCapture;
using corvane_test::ReadFile;

namespace {

const std::string DATA = CORVANE_TEST_DATA;
typedef std::vector<std::string> Tokens;
typedef std::vector<std::string> Ids;

// The root element of a fixture as it stands in the file, with some texts cut out.
std::string RootText(const std::string& file, const std::vector<std::string>& cut)
{
    std::string text = ReadFile(file);
    const std::string end = "</plugin>";
    text = text.substr(text.find("<plugin "), text.find(end) + end.size() - text.find("<plugin "));
    for (const std::string& c : cut) {
        const auto at = text.find(c);
        if (at != std::string::npos)
            text.erase(at, c.size());
    }
    return text;
}

const std::string DECLARATION = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

}  // namespace

// Caller with "*" only: speed and apply are gone, the rest is served as written.
TEST(PluginVariant, FancontrolForAnyCaller)
{
    Plugin plugin(DATA + "/fancontrol.xml");
    const Variant& variant = plugin.getVariant({"*"});
    EXPECT_EQ(variant.get<0>(),
              DECLARATION +
                  RootText(DATA + "/fancontrol.xml",
                           {"<parameter name=\"speed\" auth-trait=\"service\"/>",
                            "<command name=\"apply\" value=\"--apply\" auth-trait=\"service\"/>"}) +
                  "\n");
    const CommandMap& commands = variant.get<1>();
    EXPECT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands.at("get").get<0>(), "--get");
    EXPECT_EQ(commands.at("get").get<1>(), (Ids{"*", "fan.*.limit", "fan.*.rpm", "mode"}));
    EXPECT_EQ(commands.at("set").get<0>(), "--set");
    EXPECT_EQ(commands.at("set").get<1>(), (Ids{"fan.*.limit", "mode"}));
    EXPECT_EQ(plugin.GetCommandMapping("get"), "--get");
    EXPECT_THROW(plugin.GetCommandMapping("apply"), std::out_of_range);
}

// Caller holding service sees the whole root element, auth-trait attributes and all.
TEST(PluginVariant, FancontrolForServiceCaller)
{
    Plugin plugin(DATA + "/fancontrol.xml");
    const Variant& variant = plugin.getVariant({"*", "service"});
    EXPECT_EQ(variant.get<0>(), DECLARATION + RootText(DATA + "/fancontrol.xml", {}) + "\n");
    EXPECT_EQ(variant.get<0>().find("<!--"), std::string::npos);
    const CommandMap& commands = variant.get<1>();
    EXPECT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands.at("get").get<1>(), (Ids{"*", "fan.*.limit", "fan.*.rpm", "mode"}));
    EXPECT_EQ(commands.at("set").get<1>(), (Ids{"fan.*.limit", "mode"}));
    EXPECT_EQ(commands.at("apply").get<0>(), "--apply");
    EXPECT_EQ(commands.at("apply").get<1>(), (Ids{"fan.*.limit", "fan.*.rpm", "mode", "speed"}));
}

// Parameter lists: "*", "!id", explicit ids, fall-back, traits on lists, first command wins.
TEST(PluginVariant, ParameterListRules)
{
    struct Case {
        Tokens tokens;
        std::string command, word;
        Ids permitted;
    } cases[] = {
        {{"*"}, "star", "w-star", {"*", "disk.*.size", "mode"}},
        {{"*"}, "notmode", "w-notmode", {"disk.*.size", "mode"}},
        {{"*"}, "two", "w-two", {"*", "disk.*.size", "mode"}},
        {{"*"}, "empty", "w-empty", {"disk.*.size", "mode"}},
        {{"*"}, "none", "w-none", {"disk.*.size", "mode"}},
        {{"*", "service"}, "none", "w-none", {"disk.*.size", "mode", "speed"}},
        {{"*"}, "traited", "w-traited", {"mode"}},
        {{"*", "service"}, "traited", "w-traited", {"mode", "speed"}},
        {{"*"}, "linebreak", "w-linebreak", {"\nmode", "speed"}},
        {{"*"}, "leading", "w-leading", {"disk.*.size", "mode"}},
        // The action set's "early" comes first but declares nothing for callers.
        {{"*"}, "early", "w-late", {"mode"}},
        {{"*"}, "novalue", "", {"mode"}},
        // " service" after the comma is its own trait name: service alone does not see secret.
        {{"*", "admin"}, "hidden", "w-hidden", {"disk.*.size", "mode", "secret"}},
        {{}, "none", "w-none", {"disk.*.size", "mode"}},
    };
    Plugin plugin(DATA + "/perms.xml");
    for (const Case& c : cases) {
        const CommandMap& commands = plugin.getVariant(c.tokens).get<1>();
        SCOPED_TRACE(c.command + " for " + std::to_string(c.tokens.size()) + " tokens");
        ASSERT_EQ(commands.count(c.command), 1u);
        EXPECT_EQ(commands.at(c.command).get<0>(), c.word);
        EXPECT_EQ(commands.at(c.command).get<1>(), c.permitted);
    }
    // The second "star" changes nothing; a hidden ancestor hides the command inside it.
    EXPECT_EQ(plugin.getVariant({"*"}).get<1>().at("star").get<0>(), "w-star");
    EXPECT_EQ(plugin.getVariant({"*"}).get<1>().count("hidden"), 0u);
    EXPECT_EQ(plugin.getVariant({"*", "service"}).get<1>().count("hidden"), 0u);
    // The timer still takes the first element of a name, the action set's included.
    EXPECT_EQ(plugin.GetCommandMapping("early"), "");
    EXPECT_EQ(plugin.GetCommandMapping("star"), "w-star");
}

// A list that leaves nothing permitted says so in the log.
TEST(PluginVariant, FallBackIsLogged)
{
    LogCapture log;
    Plugin plugin(DATA + "/perms.xml");
    plugin.getVariant({"*"});
    EXPECT_TRUE(log.Contains("Could not match parameter restrictions for command notmode; assume \"*\".\n"));
    EXPECT_FALSE(log.Contains("for command star;"));
}

// Instance ids are generalised to type.*.name before they are compared.
TEST(PluginVariant, CheckParameterGeneralisesInstanceIds)
{
    struct Case {
        std::string id;
        bool permitted;
    } cases[] = {
        {"disk.sda.size", true}, {"disk.*.size", true},   {"disk.sda.1.size", false},
        {"volume", true},        {"disk.size", false},    {"a.b.volume", false},
        {"disksda.size", false}, {"disk..size", false},   {"mode", false},
    };
    Plugin plugin(DATA + "/perms.xml");
    const CommandMap& commands = plugin.getVariant({"*"}).get<1>();
    for (const Case& c : cases)
        EXPECT_EQ(plugin.checkParameter(commands, "check", c.id), c.permitted) << c.id;
    EXPECT_THROW(plugin.checkParameter(commands, "nosuch", "volume"), std::out_of_range);
}

// A caller who may not see the root gets nothing; one who holds a listed trait gets it all.
TEST(PluginVariant, RootTraitHiddenGivesEmptyVariant)
{
    Plugin plugin(DATA + "/rooted.xml");
    for (const Tokens& tokens : {Tokens{}, Tokens{"*"}, Tokens{"*", "AUTHED"}}) {
        EXPECT_EQ(plugin.GetConfigContents(tokens), "");
        EXPECT_TRUE(plugin.getVariant(tokens).get<1>().empty());
    }
    EXPECT_NE(plugin.GetConfigContents({"*", "operator"}), "");
    EXPECT_EQ(plugin.getVariant({"*", "operator"}).get<1>().at("get").get<0>(), "--get");
}

// Two threads asking for one new token list get one build; another order is another entry.
TEST(PluginVariant, OneBuildPerTokenList)
{
    LogCapture log;
    Plugin plugin(DATA + "/fancontrol.xml");
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    const std::string* seen[2] = {nullptr, nullptr};
    std::thread threads[2];
    for (int i = 0; i < 2; ++i)
        threads[i] = std::thread([&, i] {
            start.wait();
            seen[i] = &plugin.GetConfigContents({"*", "AUTHED"});
        });
    go.set_value();
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(log.Count("createConfigVariant for fancontrol: *, AUTHED\n"), 1);

    EXPECT_NE(&plugin.GetConfigContents({"AUTHED", "*"}), seen[0]);
    EXPECT_EQ(log.Count("createConfigVariant for fancontrol: AUTHED, *\n"), 1);
    plugin.GetConfigContents({"*", "AUTHED"});
    EXPECT_EQ(log.Count("createConfigVariant for fancontrol: "), 2);
}
