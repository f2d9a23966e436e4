// Boot time and default-route parsing on fixture copies of "/proc/stat" and "/proc/net/route".
#include <gtest/gtest.h>

#include <string>

#include "common/LogCapture.h"
#include "discovery/ProcFiles.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;

namespace {

std::string Data(const std::string& name)
{
    return std::string(CORVANE_TEST_DATA) + "/" + name;
}

struct BootTimeCase {
    const char* file;
    unsigned int expected;
};

const BootTimeCase kBootTimeCases[] = {
    {"stat_btime.txt", 1733817600u},
    {"stat_btime_last_line_unterminated.txt", 42u},
    {"stat_btime_without_number.txt", 0u},
    {"stat_without_btime.txt", 0u},
    {"no_such_stat.txt", 0u},
};

struct RouteCase {
    const char* file;
    bool found;
    const char* interfaceName;
};

const RouteCase kRouteCases[] = {
    {"route_default_second.txt", true, "wlan0"},
    {"route_header_like_default.txt", true, "eth2"},
    {"route_long_line.txt", true, "eth3"},
    {"route_without_default.txt", false, ""},
    {"route_header_only.txt", false, ""},
    {"no_such_route.txt", false, ""},
};

} // namespace

// The boot time is the number after "btime"; without one the result is 0 with a warning,
// and the result is always logged at level 5.
TEST(DiscoveryBootTime, ReadsBtimeOrWarnsAndGivesZero)
{
    for (const BootTimeCase& c : kBootTimeCases) {
        SCOPED_TRACE(c.file);
        const LogCapture capture;
        EXPECT_EQ(discovery::ReadBootTime(Data(c.file).c_str()), c.expected);
        const std::string log = capture.Text();
        EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eTrace, "boot time is: " + std::to_string(c.expected))), 1);
        EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eWarn, "getting boot time from /proc/stat failed!")),
                  c.expected == 0 ? 1 : 0);
    }
}

// The first non-header line with destination 0 names the default route's interface.
TEST(DiscoveryDefaultRoute, FirstZeroDestinationAfterHeaderNamesInterface)
{
    for (const RouteCase& c : kRouteCases) {
        SCOPED_TRACE(c.file);
        std::string name = "untouched";
        EXPECT_EQ(discovery::FindDefaultRouteInterface(Data(c.file).c_str(), name), c.found);
        EXPECT_EQ(name, c.found ? std::string(c.interfaceName) : std::string("untouched"));
    }
}

// The real kernel files parse on this host: a boot time in the past and, when a default
// route exists, an interface name.
TEST(DiscoveryBootTime, RealProcStatGivesPlausibleBootTime)
{
    const unsigned int bootTime = discovery::ReadBootTime("/proc/stat");
    EXPECT_GT(bootTime, 1000000000u);
    EXPECT_LE(bootTime, static_cast<unsigned int>(time(nullptr)));
}
