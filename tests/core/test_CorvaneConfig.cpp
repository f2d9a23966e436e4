// Configuration file parsing and key lookup.
#include <optional>
#include <vector>

#include "common/TestSupport.h"
#include "core/CorvaneConfig.h"

namespace {

struct Lookup {
    const char* key;
    std::optional<std::string> value;  // nullopt: the key is missing
};

struct IniCase {
    const char* name;
    std::optional<std::string> text;  // nullopt: no file at all
    bool parses;
    std::vector<Lookup> lookups;
};

const std::vector<Lookup> kDefaults = {
    {"port", "8083"},
    {"plugin_dir", "/opt/WEX/corvane/plugins"},
    {"logfile", ""},
    {"loglevel", "3"},
    {"syslog", "false"},
    {"daemon", "false"},
    {"pidfile", "/var/run/corvaned.pid"},
    {"global.mcast_if", ""},
    {"global.sqllite_db", "corvane.sqlite"},
    {"mcast_if", std::nullopt},
};

const IniCase kCases[] = {
    {"MissingFile", std::nullopt, false, kDefaults},
    {"UnclosedSection", std::string("[backend\nport=1\n"), false, kDefaults},
    {"LineWithoutEquals", std::string("[backend]\nport\n"), false, kDefaults},
    {"EmptyKey", std::string("[backend]\n=5\n"), false, kDefaults},
    {"DuplicateKey", std::string("[backend]\nport=1\nport=2\n"), false, kDefaults},
    {"DuplicateSection", std::string("[backend]\nport=1\n[backend]\nlogfile=x\n"), false, kDefaults},
    {"HashLineWithoutEquals", std::string("# comment\n[backend]\nport=1\n"), false, kDefaults},
    {"EmptyFileRemovesDefaults", std::string(""), true, {{"port", std::nullopt}, {"global.sqllite_db", std::nullopt}}},
    {"OnlyPortReplacesAll",
     std::string("[backend]\nport = 9000\n"),
     true,
     {{"port", "9000"}, {"plugin_dir", std::nullopt}, {"pidfile", std::nullopt}, {"loglevel", std::nullopt},
      {"global.sqllite_db", std::nullopt}}},
    {"KeyBeforeAnySectionIsNotBackend", std::string("port=1\n[global]\nmcast_if=eth0\n"), true,
     {{"port", std::nullopt}, {"global.mcast_if", "eth0"}, {"mcast_if", std::nullopt}}},
    {"KeysAreCaseSensitive", std::string("[backend]\nPort=1\n"), true, {{"port", std::nullopt}, {"Port", "1"}}},
    {"HashLineWithEqualsIsAKey", std::string("[backend]\n#port=1\n"), true, {{"#port", "1"}, {"port", std::nullopt}}},
    {"SemicolonComment", std::string("; note\n[backend]\n;port=1\nport=2\n"), true, {{"port", "2"}}},
    {"CarriageReturns", std::string("[backend]\r\nport=7\r\nlogfile = /tmp/x.log \r\n"), true,
     {{"port", "7"}, {"logfile", "/tmp/x.log"}}},
    {"EmptyValueIsFound", std::string("[backend]\nlogfile=\n"), true, {{"logfile", ""}}},
    {"SectionNameTrimmed", std::string("[ backend ]\nport=3\n"), true, {{"port", "3"}}},
};

class ConfigParse : public ::testing::TestWithParam<IniCase> {};

// Each case runs in its own process (test discovery), so the singleton starts from its defaults.
TEST_P(ConfigParse, LookupsAfterParse)
{
    const IniCase& c = GetParam();
    corvane_test::TempDir dir;
    std::string path = dir / "corvaned.conf";
    if (c.text)
        corvane_test::WriteFile(path, *c.text);

    CorvaneConfig* config = CorvaneConfig::GetInstance();
    EXPECT_EQ(config->ParseConfig(path), c.parses);
    for (const Lookup& l : c.lookups) {
        std::string value = "untouched";
        bool found = config->GetConfigValue(l.key, value);
        EXPECT_EQ(found, l.value.has_value()) << l.key;
        EXPECT_EQ(value, l.value.value_or("untouched")) << l.key;
    }
}

INSTANTIATE_TEST_SUITE_P(Ini, ConfigParse, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<IniCase>& param) { return param.param.name; });

// A failed parse after a good one keeps what the good one loaded.
TEST(Config, FailedParseKeepsEarlierFile)
{
    corvane_test::TempDir dir;
    corvane_test::WriteFile(dir / "good.conf", "[backend]\nport=9100\n");
    corvane_test::WriteFile(dir / "bad.conf", "[backend\n");
    CorvaneConfig* config = CorvaneConfig::GetInstance();
    ASSERT_TRUE(config->ParseConfig(dir / "good.conf"));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(config->ParseConfig(dir / "bad.conf"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "WARN:  could not parse ini " + (dir / "bad.conf") + "\n");
    EXPECT_EQ(config->get("port", "none"), "9100");
    EXPECT_EQ(config->get("pidfile", "none"), "none");
}

}  // namespace
