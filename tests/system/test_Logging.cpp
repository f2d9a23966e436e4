// Caller text in the daemon's log: escaped into the line it belongs to and cut to a bounded
// length, whatever a client puts into the names it sends.
#include <regex>
#include <sstream>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Logging : public ServingDaemon {};

// Every line of the log is one of the daemon's own: a time stamp and a level prefix.
void ExpectOnlyWholeLines(const std::string& log)
{
    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  (ERROR:  |WARN:   |INFO:   |DEBUG:  |-----:  ).*");
    std::istringstream in(log);
    std::string text;
    while (std::getline(in, text))
        EXPECT_TRUE(std::regex_match(text, line)) << text;
}

// A plug-in or command name holding a line break or a Unicode line separator cannot start
// a line of its own: the name is logged escaped inside the error line.
TEST_F(Logging, LineBreaksInNamesCannotForgeLines)
{
    const std::string forged = "2026-01-01 00:00:00  INFO:   forged line";
    const struct {
        std::string plugin;
        std::string command;
        std::string logged;  // how the name must appear in the line
    } cases[] = {
        {"x\n" + forged, "get", "'x\\n" + forged + "'"},
        {"thermo", "get\n" + forged, "'get\\n" + forged + "', but the command"},
        {"x\xc2\x85" + forged, "get", "'x\\u0085" + forged + "'"},
        {"x\xe2\x80\xa8" + forged, "get", "'x\\u2028" + forged + "'"},
        {"x\xe2\x80\xa9" + forged, "get", "'x\\u2029" + forged + "'"},
    };
    for (const auto& c : cases) {
        HttpAnswer a = Call("command", {{"plugin", c.plugin}, {"command", c.command}, {"parameters", ""}});
        EXPECT_EQ(a.raw, "");
    }
    // A carriage return only survives the XML parser as a character reference.
    const std::string body = Envelope("command", {{"plugin", "x"}, {"command", "get"}, {"parameters", ""}});
    HttpAnswer a = Exchange(port, Post(std::string(body).replace(body.find("<plugin>x<"), 10,
                                                                  "<plugin>x&#13;" + forged + "<")));
    EXPECT_EQ(a.raw, "");
    ASSERT_EQ(Stop(), 0);
    daemon.reset();
    const std::string log = Log();
    ExpectOnlyWholeLines(log);
    EXPECT_EQ(log.find("\n" + forged), std::string::npos) << log;
    for (const auto& c : cases)
        EXPECT_NE(log.find(c.logged), std::string::npos) << c.logged << "\n" << log;
    EXPECT_NE(log.find("'x\\r" + forged + "'"), std::string::npos) << log;
}

// A name of a megabyte costs a few kilobytes of log, not a megabyte, and the line says it
// was cut.
TEST_F(Logging, HugeNamesAreCut)
{
    const std::string huge(1000000, 'p');
    const size_t before = Log().size();
    const int requests = 20;
    for (int i = 0; i < requests; ++i) {
        HttpAnswer a = Call("command", {{"plugin", huge}, {"command", "get"}, {"parameters", ""}});
        EXPECT_EQ(a.raw, "");
    }
    ASSERT_EQ(Stop(), 0);
    daemon.reset();
    const std::string log = Log();
    ExpectOnlyWholeLines(log);
    EXPECT_LT(log.size() - before, static_cast<size_t>(requests) * 8192) << log.size() - before;
    EXPECT_NE(log.find("... [cut: message of "), std::string::npos);
    // The daemon still logged its own lines after the cut ones.
    EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
}

}  // namespace
