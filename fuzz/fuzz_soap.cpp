// The bytes of one HTTP request served by a SoapServer over in-memory streams, against a real
// core: a fixture plug-in whose executable prints its arguments and a user database built
// from the example's users.sql. Needs the private namespaces of run.sh (the core owns discovery).
// Oracle: the same bytes read through a connection's RequestReader give the runtime exactly
// the body the shape check passed, or nothing, so no framing makes the two see two bodies.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/make_shared.hpp>

#include "FuzzSupport.h"
#include "core/CorvaneConfig.h"
#include "core/CorvaneCore.h"
#include "soap/SoapServer.h"
#include "tests/common/ReaderOracle.h"

namespace {

// Never destroyed: releasing the core at exit would run after the configuration is gone.
boost::shared_ptr<CorvaneCore>& core = *new boost::shared_ptr<CorvaneCore>();

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string pattern = fuzz::TempDir() + "/corvane_fuzz_soap_XXXXXX";
    const std::string dir = ::mkdtemp(&pattern[0]);
    ::mkdir((dir + "/plugins").c_str(), 0700);
    std::ofstream(dir + "/plugins/fz.xml") << Slurp(CORVANE_FUZZ_DATA "/soap_plugin.xml");
    if (::symlink(CORVANE_FUZZ_ARGDUMP, (dir + "/plugins/argdump").c_str()) != 0)
        fuzz::Fail("cannot link the argument printer");

    sqlite3* db = nullptr;
    if (sqlite3_open((dir + "/users.sqlite").c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, Slurp(CORVANE_FUZZ_DATA "/../../example/users.sql").c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        fuzz::Fail("cannot build the user database");
    sqlite3_close(db);

    std::ofstream(dir + "/corvaned.conf") << "[backend]\nport = 8083\nplugin_dir = " << dir
                                          << "/plugins\n[global]\nmcast_if = lo\nsqllite_db = " << dir
                                          << "/users.sqlite\n";
    if (!CorvaneConfig::GetInstance()->ParseConfig(dir + "/corvaned.conf"))
        fuzz::Fail("cannot parse the configuration");
    core = boost::make_shared<CorvaneCore>();
    if (core->getPlugins().size() != 1)
        fuzz::Fail("fixture plug-in not registered");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool restarting = fuzz::RestartAfterAlarm();
    (void)restarting;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const corvane_test::ReaderOutcome read = corvane_test::ReadThroughReader(bytes);
    if (!corvane_test::ParsedAsChecked(read))
        fuzz::Fail("the runtime parsed \"" + fuzz::Escaped(read.parsed.substr(0, 400)) + "\" where the check passed \"" +
                   fuzz::Escaped(read.checked.substr(0, 400)) + "\"");

    std::istringstream request(bytes);
    std::ostringstream answer;
    SoapServer* server = new SoapServer(core->Host());
    server->is = &request;
    server->os = &answer;
    SoapServer::process_request(server);
    return 0;
}
