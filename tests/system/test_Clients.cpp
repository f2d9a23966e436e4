// The four operations through independent SOAP clients. Each loads the WSDL that the build
// generates, unedited, points it at the test's port by its own means and prints the same lines:
//   auth_user: <tokens>
//   list_plugins: <names joined by ",">
//   command: <the output of "get" as a JSON string>
//   get_plugin_config:
//   <the description, verbatim, to the end>
// or "<operation>: HTTP <status>" for an answer that is not 200, and exits non-zero on failure.
#include <sys/wait.h>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

const std::string kSystemTests = std::string(CORVANE_SOURCE_DIR) + "/tests/system";
const std::string kWsdl = std::string(CORVANE_BINARY_DIR) + "/soap/soap_gen/wex.wsdl";
// The node client's packages, installed by the build from the lock file beside the client.
const std::string kNodeModules = std::string(CORVANE_BINARY_DIR) + "/tests/system/node/node_modules";

struct ClientCase {
    const char* name;
    std::string command;   // up to the arguments <wsdl> <port> [user:password]
    std::string needs;     // a file the client cannot run without, "" for none
};

// Debian's interpreters, which have the packaged clients, whatever the PATH names first.
void PrintTo(const ClientCase& c, std::ostream* os) { *os << c.name; }

const ClientCase kClients[] = {
    {"Zeep", "/usr/bin/python3 '" + kSystemTests + "/zeep_client.py'", ""},
    {"PhpSoapClient", "/usr/bin/php '" + kSystemTests + "/php_client.php'", ""},
    {"NodeSoap", "NODE_PATH='" + kNodeModules + "' node '" + kSystemTests + "/node/node_client.js'",
     kNodeModules + "/soap/package.json"},
};

struct CallerCase {
    const char* name;
    const char* credentials;  // "" for anonymous
    const char* lines;        // what the client prints before the description
    int exitStatus;
};

const CallerCase kCallers[] = {
    {"Anonymous", "", "auth_user: *\nlist_plugins: thermo\ncommand: \"mode=auto\\nlabel=Grüße\\n\"\n", 0},
    {"Admin", "root:pw2",
     "auth_user: *:AUTHED:admin:service:service\nlist_plugins: thermo,vault\n"
     "command: \"mode=auto\\nlabel=Grüße\\nspeed=3\\nsecret=42\\n\"\n",
     0},
    // A client author must see the rejected login as such, not as a broken answer.
    {"WrongPassword", "root:pw1", "auth_user: HTTP 401\n", 1},
};

struct Result {
    std::string out;
    int status = -1;
};

Result RunClient(const std::string& command)
{
    Result r;
    FILE* p = popen(command.c_str(), "r");
    if (!p)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int rc = pclose(p);
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return r;
}

class Clients : public ServingDaemon, public ::testing::WithParamInterface<ClientCase> {};

TEST_P(Clients, FourOperationsFromTheGeneratedWsdl)
{
    const ClientCase& client = GetParam();
    if (!client.needs.empty()) {
        ASSERT_TRUE(std::ifstream(client.needs).good())
            << client.needs << " is missing: the build installs it (scripts/install-deps.sh gives it npm)";
    }
    const std::string marker = "get_plugin_config:\n";
    for (const CallerCase& caller : kCallers) {
        SCOPED_TRACE(caller.name);
        std::string command = client.command + " '" + kWsdl + "' " + std::to_string(port);
        if (*caller.credentials)
            command += std::string(" '") + caller.credentials + "'";
        Result r = RunClient(command + " 2>'" + (dir / "client.stderr") + "'");
        std::string diagnostics = r.out + ReadFile(dir / "client.stderr");
        EXPECT_EQ(r.status, caller.exitStatus) << diagnostics;
        if (caller.exitStatus != 0) {
            EXPECT_EQ(r.out, caller.lines) << diagnostics;
            continue;
        }
        size_t at = r.out.find(marker);
        ASSERT_NE(at, std::string::npos) << diagnostics;
        EXPECT_EQ(r.out.substr(0, at), caller.lines) << diagnostics;
        // The description as the daemon puts it on the wire, for the same caller.
        HttpAnswer served = Call("get-plugin-config", {{"plugin", "thermo"}}, caller.credentials);
        std::string config = ElementText(served.body, "config");
        EXPECT_NE(config.find("<note>Grüße, 温度</note>"), std::string::npos) << served.raw;
        EXPECT_EQ(r.out.substr(at + marker.size()), config);
    }
}

INSTANTIATE_TEST_SUITE_P(Generated, Clients, ::testing::ValuesIn(kClients),
                         [](const auto& param) { return param.param.name; });

}  // namespace
