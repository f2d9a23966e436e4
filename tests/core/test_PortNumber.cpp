// Reading the configured port: a decimal number at the start of the value, from 1 to 65535.
#include <gtest/gtest.h>

#include "core/PortNumber.h"

namespace {

// Values that begin with a port number give it, whatever follows; every other value is refused.
TEST(PortNumber, ReadsLeadingNumberInRange)
{
    const struct {
        const char* text;
        int port;  // 0: refused
    } cases[] = {
        {"8083", 8083},     {" 8083", 8083}, {"\t8083", 8083}, {"8083abc", 8083}, {"8083 # web", 8083},
        {"+80", 80},        {"1", 1},        {"65535", 65535}, {"0080", 80},
        {"", 0},            {"abc", 0},      {" abc", 0},      {"port", 0},       {"0", 0},
        {"-1", 0},          {"-8083", 0},    {"65536", 0},     {"70000", 0},      {"99999999999999999999", 0},
        {"0x50", 0},        {"+", 0},        {"+ 80", 0},      {"- 1", 0},        {"-0", 0},
    };
    for (const auto& c : cases) {
        int port = -7;
        const bool ok = ParsePortNumber(c.text, port);
        EXPECT_EQ(ok, c.port != 0) << "'" << c.text << "'";
        EXPECT_EQ(port, ok ? c.port : -7) << "'" << c.text << "'";
    }
}

}  // namespace
