#include "velmora/Hardware.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using velmora::Hardware;

namespace {

using FilePtr = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

// A temporary file holding the text, rewound, so the stream readers see a real FILE.
struct TextStream {
    explicit TextStream(const std::string& text) : file(std::tmpfile(), &std::fclose)
    {
        if (file) {
            std::fputs(text.c_str(), file.get());
            std::rewind(file.get());
        }
    }
    FilePtr file;
};

FilePtr openFixture(const std::string& name)
{
    return FilePtr(std::fopen((std::string(CORVANE_TEST_DATA) + "/" + name).c_str(), "r"), &std::fclose);
}

struct CpuInfoCase {
    const char* label;
    std::string text;
    long mhz;
    unsigned short cpus;
    std::string name;
};

// Replaces the ifconfig call of a pipeline with the printing of a fixture file.
std::string withFixtureIfconfig(const char* pipeline, const std::string& fixture)
{
    std::string command(pipeline);
    const std::string::size_type from = command.find("/sbin/ifconfig");
    const std::string::size_type to = command.find(" |", from);
    command.replace(from, to - from, "cat " + std::string(CORVANE_TEST_DATA) + "/" + fixture);
    return command;
}

} // namespace

// A real multi-processor file gives the count, the truncated clock and the name without blanks.
TEST(HardwareCpuInfo, EightProcessorFileGivesCountClockAndName)
{
    FilePtr f = openFixture("cpuinfo_xeon8.txt");
    ASSERT_TRUE(f);
    EXPECT_EQ(Hardware::numberOfCPUs(f.get()), 8);
    std::rewind(f.get());
    EXPECT_EQ(Hardware::approxMHz(f.get()), 1995);
    std::rewind(f.get());
    EXPECT_EQ(Hardware::nameOfCPU(f.get()), "Intel(R) Xeon(R) CPU           E5335  @ 2.00GHz");
}

// Key matching, blank skipping, first-match and largest-number rules over small texts.
TEST(HardwareCpuInfo, LineRulesOverFixtureTexts)
{
    const std::vector<CpuInfoCase> cases = {
        {"no lines at all", "", 0, 1, ""},
        {"no processor lines", "model name\t: X\ncpu MHz\t: 800.5\n", 800, 1, "X"},
        {"upper-case keys", "PROCESSOR\t: 3\nMODEL NAME\t: Upper\nCPU MHZ\t\t: 2400.000\n", 2400, 4, "Upper"},
        {"no blanks after colon", "processor:0\nmodel name:Tight\ncpu MHz:1200\n", 1200, 1, "Tight"},
        {"tab after colon is kept", "model name:\tTabbed\n", 0, 1, "\tTabbed"},
        {"first clock and name win", "cpu MHz : 1000.9\ncpu MHz : 3000\nmodel name : A\nmodel name : B\n", 1000, 1, "A"},
        {"largest processor number counts", "processor : 5\nprocessor : 2\n", 0, 6, ""},
        {"processor value without number ignored", "processor : none\nprocessor : 1\n", 0, 2, ""},
        {"lines without colon ignored", "processor 7\nmodel name Nope\n", 0, 1, ""},
        {"last line without newline", "model name : End", 0, 1, "End"},
        {"key matched on its first characters", "cpu MHz stuff : 1500.1\nmodel names : Plural\n", 1500, 1, "Plural"},
        {"short key does not match", "cpu : 1\nmodel : 2\n", 0, 1, ""},
        {"huge processor number saturates", "processor : 70000\n", 0, 0xFFFF, ""},
    };
    for (const CpuInfoCase& c : cases) {
        SCOPED_TRACE(c.label);
        TextStream a(c.text), b(c.text), d(c.text);
        ASSERT_TRUE(a.file && b.file && d.file);
        EXPECT_EQ(Hardware::approxMHz(a.file.get()), c.mhz);
        EXPECT_EQ(Hardware::numberOfCPUs(b.file.get()), c.cpus);
        EXPECT_EQ(Hardware::nameOfCPU(d.file.get()), c.name);
    }
}

// A line longer than the read buffer arrives in pieces; a piece without colon takes no part.
TEST(HardwareCpuInfo, OverlongLineIsReadInPieces)
{
    const std::string longName(250, 'n');
    TextStream s("model name : " + longName + "\n");
    ASSERT_TRUE(s.file);
    EXPECT_EQ(Hardware::nameOfCPU(s.file.get()), longName.substr(0, 199 - 13));
}

// The splitter swallows runs of newlines but keeps one empty first piece.
TEST(HardwareLines, SplitterTable)
{
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"", {""}},
        {"\n", {""}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"a\nb", {"a", "b"}},
        {"a\n\n\nb\n\n", {"a", "b"}},
        {"\na\nb", {"", "a", "b"}},
        {"\n\n\na", {"", "a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input: [" + c.first + "]");
        EXPECT_EQ(Hardware::splitLines(c.first), c.second);
    }
}

// Empty output gives one zero address; a line with no hex digits gives 0 in place.
TEST(HardwareLines, HardwareAddressParsing)
{
    EXPECT_EQ(Hardware::parseHardwareAddresses(""), std::vector<unsigned long long>({0}));
    EXPECT_EQ(Hardware::parseHardwareAddresses("001b210a0b0c\nzz\nFFFFFFFFFFFF\n"),
              std::vector<unsigned long long>({0x001b210a0b0cULL, 0, 0xFFFFFFFFFFFFULL}));
}

// The hardware-address pipeline turns old-format ifconfig output into numbers, in order.
TEST(HardwarePipelines, HardwareAddressesFromOldIfconfigFormat)
{
    std::string out;
    ASSERT_TRUE(Hardware::readCommandOutput(
        withFixtureIfconfig(Hardware::kHardwareAddressPipeline, "ifconfig_nettools_old.txt").c_str(), out));
    EXPECT_EQ(Hardware::parseHardwareAddresses(out),
              std::vector<unsigned long long>({0x001b210a0b0cULL, 0x001b210a0b0dULL}));
}

// The IP pipeline keeps the IPv4 texts; the emptied IPv6 lines vanish in the splitter.
TEST(HardwarePipelines, IpAddressesFromOldIfconfigFormat)
{
    std::string out;
    ASSERT_TRUE(Hardware::readCommandOutput(
        withFixtureIfconfig(Hardware::kIpAddressPipeline, "ifconfig_nettools_old.txt").c_str(), out));
    EXPECT_EQ(Hardware::splitLines(out), std::vector<std::string>({"192.168.1.20", "10.0.0.5", "127.0.0.1"}));
}

// Command output longer than one read piece arrives whole.
TEST(HardwarePipelines, CommandOutputReadWhole)
{
    std::string out;
    ASSERT_TRUE(Hardware::readCommandOutput("printf '%0200d\\nend\\n' 0", out));
    EXPECT_EQ(out, std::string(200, '0') + "\nend\n");
}

// The real machine gives plausible memory and processor answers.
TEST(HardwareMachine, RealAnswersArePlausible)
{
    unsigned long long ram = 0, all = 0;
    ASSERT_TRUE(Hardware::sizeOfMemory(ram, all));
    EXPECT_GT(ram, 0u);
    EXPECT_GE(all, ram);
    EXPECT_EQ(Hardware::sizeOfMemory(), static_cast<long long>(ram / 1024));
    EXPECT_GE(Hardware::numberOfCPUs(), 1);
    EXPECT_GE(Hardware::approxMHz(), 0);
}

// The architecture is uname's output with its newline turned into a blank.
TEST(HardwareMachine, ArchitectureEndsInBlank)
{
    std::string uname;
    ASSERT_TRUE(Hardware::readCommandOutput("uname -m", uname));
    const std::string arch = Hardware::architecture();
    ASSERT_FALSE(arch.empty());
    EXPECT_EQ(arch.back(), ' ');
    EXPECT_EQ(arch.find('\n'), std::string::npos);
    EXPECT_EQ(arch.substr(0, arch.size() - 1) + "\n", uname);
}

// With this ifconfig's format the address lists are neutral, never a crash.
TEST(HardwareMachine, InterfaceListsAreNeverEmptyWhenPipelineRuns)
{
    EXPECT_FALSE(Hardware::macAddresses().empty());
    EXPECT_FALSE(Hardware::ipAddresses().empty());
}
