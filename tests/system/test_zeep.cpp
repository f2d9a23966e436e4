// The four operations through an independent SOAP client working from the generated WSDL.
// Debian's interpreter, which has the packaged client, whatever python3 the PATH names.
#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class ZeepClient : public DaemonFixture {};

std::string RunCommand(const std::string& cmd)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    while (p && fgets(buf, sizeof buf, p))
        out += buf;
    int rc = p ? pclose(p) : -1;
    return out + "exit=" + std::to_string(rc) + "\n";
}

// zeep reads the WSDL the build produced and talks to the daemon with and without credentials.
TEST_F(ZeepClient, FourOperations)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    const std::string base = "/usr/bin/python3 '" + std::string(CORVANE_TEST_DATA) + "/../zeep_client.py' '" +
                             std::string(CORVANE_BINARY_DIR) + "/soap/soap_gen/wex.wsdl' " + std::to_string(port);
    EXPECT_EQ(RunCommand(base + " 2>&1"),
              "auth-user: *\nlist-plugins: thermo\nget-plugin-config: True\n"
              "command: 'mode=auto\\nlabel=Grüße\\n'\nexit=0\n");
    EXPECT_EQ(RunCommand(base + " root:pw2 2>&1"),
              "auth-user: *:AUTHED:admin:service:service\nlist-plugins: thermo,vault\nget-plugin-config: True\n"
              "command: 'mode=auto\\nlabel=Grüße\\nspeed=3\\nsecret=42\\n'\nexit=0\n");
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
