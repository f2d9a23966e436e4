#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>

#include <libxml++/document.h>
#include <libxml++/nodes/element.h>
#include <libxml++/parsers/domparser.h>

#include "common/LogCapture.h"
#include "plugins/Plugin.h"

using corvane_test::LogCapture;

namespace {

const std::string DATA = CORVANE_TEST_DATA;

std::list<Action> DueActions(const ActionSet& stored)
{
    ActionSet copy = stored;
    return copy.GetDueActions(4000000000L);
}

}  // namespace

// The worked example: names, versions, executable beside the description, one action set.
TEST(PluginModel, FancontrolExampleModel)
{
    LogCapture log;
    Plugin plugin(DATA + "/fancontrol.xml");
    EXPECT_EQ(plugin.GetName(), "fancontrol");
    EXPECT_EQ(plugin.GetVersion(), "1.2");
    EXPECT_EQ(plugin.GetProtocolVersion(), "3");
    EXPECT_TRUE(log.Contains("plugin name: fancontrol, version: 1.2, protocol: 3, binary: " + DATA +
                             "/fancontrol.sh\n"));

    ASSERT_EQ(plugin.GetActionSetList().size(), 1u);
    const std::list<Action> actions = DueActions(plugin.GetActionSetList().front());
    ASSERT_EQ(actions.size(), 1u);
    const Action& action = actions.front();
    EXPECT_EQ(action.GetActionName(), "get");
    EXPECT_EQ(action.GetPauseTime(), 5);
    EXPECT_EQ(action.GetParameterName(), "rpm");
    EXPECT_EQ(action.GetInstanceName(), "front");
    EXPECT_EQ(action.GetInstanceType(), "fan");
    EXPECT_TRUE(log.Contains("new ActionSet with loop=60 and count=0"));
}

// Parameter ids of the whole document: typed instance parameters become type.*.name, kept twice.
TEST(PluginModel, GatherAllParameterListsIdsInDocumentOrder)
{
    Plugin plugin(DATA + "/fancontrol.xml");
    xmlpp::DomParser parser;
    parser.parse_file(DATA + "/fancontrol.xml");
    const std::list<std::string> ids = plugin.GatherAllParameter(*parser.get_document()->get_root_node());
    EXPECT_EQ(ids, (std::list<std::string>{"mode", "speed", "fan.*.rpm", "fan.*.limit", "fan.*.rpm"}));

    xmlpp::DomParser other;
    other.parse_file(DATA + "/actions.xml");
    EXPECT_EQ(plugin.GatherAllParameter(*other.get_document()->get_root_node()),
              (std::list<std::string>{"fan.*.rpm", "fan.*.rpm", "plain"}));
}

// Only parameter declarations at their two places count, in document order across both,
// by plain names outside any namespace, from whichever node of the document is given.
TEST(PluginModel, GatherAllParameterFindsDeclarationsOnly)
{
    struct Case {
        const char* body;  // inside the root element
        std::list<std::string> ids;
    } cases[] = {
        {"<parameters><parameter name='a'/><instances type='t'><instance name='i'><parameter name='x'/>"
         "</instance></instances><parameter name='b'/></parameters>",
         {"a", "t.*.x", "b"}},
        {"<parameters><parameter name='a'/></parameters><executable name='e'/>"
         "<parameters><parameter name='b'/><parameter name='a'/></parameters>",
         {"a", "b", "a"}},
        {"<parameters><instances><instance name='i'><parameter name='x'/></instance></instances>"
         "<instances type=''><instance name='j'><parameter name='y'/><parameter name='z'/></instance>"
         "<instance name='k'><parameter name='y'/></instance></instances></parameters>",
         {"x", ".*.y", ".*.z", ".*.y"}},
        {"<parameters><parameter/><parameter name=''/><parameter name='a&amp;b'/>"
         "<!-- c --><parameter name='c' type='x'/>text</parameters>",
         {"", "a&b", "c"}},
        {"<parameters><group><parameter name='deep'/></group><instances type='t'><parameter name='bare'/>"
         "<instance name='i'><group><parameter name='deeper'/></group></instance></instances></parameters>"
         "<parameter name='outside'/><actions><parameters><parameter name='action'/></parameters></actions>",
         {}},
        {"<parameters xmlns:n='urn:n'><n:parameter name='a'/><parameter n:name='b'/>"
         "<instances n:type='t'><instance name='i'><parameter name='c'/></instance></instances>"
         "<parameter xmlns='urn:d' name='d'/></parameters>",
         {"c"}},
    };
    Plugin plugin(DATA + "/fancontrol.xml");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        xmlpp::DomParser parser;
        parser.parse_memory(std::string("<plugin name='p'>") + c.body + "</plugin>");
        const xmlpp::Element* root = parser.get_document()->get_root_node();
        EXPECT_EQ(plugin.GatherAllParameter(*root), c.ids);
        EXPECT_EQ(plugin.GatherAllParameter(*root->get_children().back()), c.ids);
    }
    for (const char* other : {"<plugins><parameters><parameter name='a'/></parameters></plugins>",
                              "<plugin xmlns='urn:p'><parameters><parameter name='a'/></parameters></plugin>"}) {
        xmlpp::DomParser parser;
        parser.parse_memory(other);
        EXPECT_TRUE(plugin.GatherAllParameter(*parser.get_document()->get_root_node()).empty()) << other;
    }
}

// Action sets: every instance of every instances element is one action; numbers read like strtol.
TEST(PluginModel, ActionSetsFromDescription)
{
    LogCapture log;
    Plugin plugin(DATA + "/actions.xml");
    EXPECT_TRUE(log.Contains("binary: " + DATA + "/bin/tool\n"));
    EXPECT_TRUE(log.Contains("new ActionSet with loop=15 and count=2"));
    EXPECT_TRUE(log.Contains("new ActionSet with loop=0 and count=0"));
    ASSERT_EQ(plugin.GetActionSetList().size(), 2u);

    struct Expected {
        std::string name, parameter, instance, type;
    } expected[] = {
        {"status", "size", "sda", "disk"}, {"status", "size", "sdb", "disk"},
        {"status", "", "front", "fan"},    {"status", "rpm", "rear", "fan"},
        {"ping", "alive", "", ""},
    };
    const std::list<Action> actions = DueActions(plugin.GetActionSetList().front());
    ASSERT_EQ(actions.size(), std::size(expected));
    auto it = actions.begin();
    for (const Expected& e : expected) {
        EXPECT_EQ(it->GetActionName(), e.name);
        EXPECT_EQ(it->GetPauseTime(), 0);
        EXPECT_EQ(it->GetParameterName(), e.parameter);
        EXPECT_EQ(it->GetInstanceName(), e.instance);
        EXPECT_EQ(it->GetInstanceType(), e.type);
        ++it;
    }
    EXPECT_TRUE(DueActions(plugin.GetActionSetList().back()).empty());
}

// A description path without a directory gives the bare executable name.
TEST(PluginModel, PathWithoutDirectoryGivesBareExecutable)
{
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(DATA.c_str()), 0);
    LogCapture log;
    std::unique_ptr<Plugin> plugin;
    EXPECT_NO_THROW(plugin.reset(new Plugin("fancontrol.xml")));
    ASSERT_EQ(::chdir(cwd), 0);
    EXPECT_TRUE(log.Contains("binary: fancontrol.sh\n"));
}

// Attribute helpers: only the first node found counts, and it must be an attribute.
TEST(PluginModel, NodeAttributeHelpers)
{
    xmlpp::DomParser parser;
    parser.parse_file(DATA + "/fancontrol.xml");
    const xmlpp::Node* root = parser.get_document()->get_root_node();
    EXPECT_EQ(GetNodeAttribute(root, "//parameter/@name"), "mode");
    EXPECT_THROW(GetNodeAttribute(root, "/plugin/@missing"), NoSuchAttributeException);
    EXPECT_THROW(GetNodeAttribute(root, "/plugin/executable"), NoSuchAttributeException);
    EXPECT_EQ(GetNodeAttributeNonThrow(root, "/plugin/@missing"), "");
    EXPECT_EQ(GetNodeAttributeNonThrow(root, "/plugin/executable"), "");
    EXPECT_EQ(GetNodeAttributeNonThrow(root, "/plugin/@version"), "1.2");
}

// An external entity in element content is neither loaded nor served.
TEST(PluginModel, ExternalEntityIsNeverLoaded)
{
    Plugin plugin(DATA + "/external_entity_content.xml");
    const std::string text = plugin.GetConfigContents({"*"});
    EXPECT_NE(text.find("<parameter name=\"a\"/>"), std::string::npos);
    EXPECT_EQ(text.find("SECRET-MARKER"), std::string::npos);
}

struct BadFile {
    const char* file;
    const char* message;
    bool exact;  // whole text, else a part of the XML library's text
};

class PluginBadDescription : public ::testing::TestWithParam<BadFile> {};

// Every bad description is refused with its reason and leaves nothing behind.
TEST_P(PluginBadDescription, IsRefusedWithItsText)
{
    const BadFile& bad = GetParam();
    try {
        Plugin plugin(DATA + "/bad/" + bad.file);
        FAIL() << bad.file << " was accepted";
    } catch (const PluginConstructionException& e) {
        if (bad.exact)
            EXPECT_EQ(std::string(e.what()), bad.message);
        else
            EXPECT_NE(std::string(e.what()).find(bad.message), std::string::npos) << e.what();
    }
}

const std::string BOTH_MISSING =
    "Could not find one of the following: /plugin/@version, /plugin/@protocol, /plugin/@name"
    "no plugin executable name found, ";

INSTANTIATE_TEST_SUITE_P(
    Files, PluginBadDescription,
    ::testing::Values(BadFile{"empty.xml", "Document is empty", false},
                      BadFile{"truncated.xml", "Premature end of data", false},
                      BadFile{"missing.xml", "failed to load external entity", false},
                      BadFile{"no_attributes.xml", BOTH_MISSING.c_str(), true},
                      BadFile{"wrong_root.xml", BOTH_MISSING.c_str(), true},
                      BadFile{"no_executable.xml", "no plugin executable name found, ", true},
                      BadFile{"external_entity_attribute.xml", "references external entity", false},
                      BadFile{"entity_expansion.xml", "entity reference loop", false}),
    [](const ::testing::TestParamInfo<BadFile>& param) {
        const std::string file = param.param.file;
        return file.substr(0, file.find('.'));
    });
