// What a caller may reach of a plug-in through the real daemon: commands hidden by traits,
// values of hidden instances, forged lines inside "set" values and inside output, and the
// description's own shell text beside the caller's quoted words.
#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

const char* const SERVICE = "tech:pw1";

class Access : public ServingDaemon {
protected:
    std::string PluginFolder() const override { return "access"; }

    // `parameters` goes into the envelope as it stands, so it may carry character references.
    HttpAnswer Run(const std::string& command, const std::string& parameters, const std::string& auth = "")
    {
        std::string body = Envelope("command", {{"plugin", "guarded"}, {"command", command}, {"parameters", "@P@"}});
        body.replace(body.find("@P@"), 3, parameters);
        return Exchange(port, Post(body, auth));
    }
    std::string Result(const std::string& command, const std::string& parameters, const std::string& auth = "")
    {
        return ElementText(Run(command, parameters, auth).body, "result");
    }
    std::string Record() { return ReadFile(dir / "record"); }
    static int Count(const std::string& text, const std::string& part)
    {
        int n = 0;
        for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
            ++n;
        return n;
    }
};

// An action set naming the service-only apply gives anonymous callers no apply; the service
// caller runs apply with its own word.
TEST_F(Access, ActionSetDoesNotOpenHiddenCommand)
{
    EXPECT_EQ(Run("apply", "--set serial=PWNED").raw, "");
    EXPECT_NE(Log().find("command 'apply', but the command was not found."), std::string::npos) << Log();
    EXPECT_EQ(Record().find("PWNED"), std::string::npos) << Record();

    EXPECT_EQ(Result("apply", "", SERVICE), "applied\n");
    EXPECT_NE(Record().find("[--apply]\n"), std::string::npos) << Record();
    EXPECT_EQ(Result("get", "", SERVICE), "mode=auto\nserial=SN-1\nfan.front.limit=5\nfan.vault.limit=7\n");
}

// A "set" value with a line break of any kind would become a stored line of its own; it runs
// nothing. Plain values, several of them, and a tab inside one still work.
TEST_F(Access, SetValueCannotCarryALine)
{
    const std::string breaks[] = {"\n", "&#13;", "&#13;\n", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9", "&#x7f;"};
    for (const std::string& b : breaks) {
        SCOPED_TRACE(b);
        HttpAnswer a = Run("set", "mode=&quot;auto" + b + "serial=FORGED&quot;");
        EXPECT_EQ(a.status, 200) << a.raw;
        EXPECT_EQ(ElementText(a.body, "result"), "") << a.raw;
    }
    EXPECT_EQ(Record().find("FORGED"), std::string::npos) << Record();
    EXPECT_EQ(Result("get", "", SERVICE).find("FORGED"), std::string::npos);
    // Each reached the plug-in's check and was refused there.
    EXPECT_EQ(Count(Log(), "Prevented \"set\" operation."), static_cast<int>(std::size(breaks))) << Log();
    // The characters XML does not allow, as they are or as references, are no XML and reach no
    // plug-in.
    for (const char* b : {"&#11;", "&#12;", "\x0B", "\x0C"}) {
        SCOPED_TRACE(b);
        HttpAnswer a = Run("set", std::string("mode=&quot;auto") + b + "serial=FORGED&quot;");
        EXPECT_EQ(a.status, 500) << a.raw;
        EXPECT_EQ(FaultOf(a.body).string, "Malformed XML request");
    }
    EXPECT_EQ(Record().find("FORGED"), std::string::npos) << Record();

    EXPECT_EQ(Result("set", "mode=&quot;eco&quot; fan.front.limit=&quot;4&quot;"), "mode=eco\nfan.front.limit=4\n");
    EXPECT_EQ(Result("set", "mode=&quot;a\tb&quot;"), "mode=a\tb\n");
    EXPECT_EQ(Result("get", "", SERVICE), "serial=SN-1\nfan.vault.limit=7\nfan.front.limit=4\nmode=a\tb\n");
}

// Output lines are split at CR as at LF: a hidden value after a CR stays hidden.
TEST_F(Access, CarriageReturnEndsAnOutputLine)
{
    EXPECT_EQ(Result("getall", ""), "mode=x\nfan.front.limit=5\n");
    EXPECT_EQ(Result("getall", "", SERVICE), "mode=x\nserial=SN-1\nfan.front.limit=5\n");
}

// An instance hidden by its trait is neither settable nor read by callers who cannot see it;
// the visible instance and the service caller work as before.
TEST_F(Access, HiddenInstanceKeepsItsValues)
{
    EXPECT_EQ(Result("set", "fan.vault.limit=&quot;1&quot;"), "");
    EXPECT_EQ(Result("get", ""), "mode=auto\nfan.front.limit=5\n");
    EXPECT_EQ(Result("set", "fan.front.limit=&quot;6&quot;"), "fan.front.limit=6\n");
    EXPECT_EQ(Result("set", "fan.vault.limit=&quot;8&quot;", SERVICE), "fan.vault.limit=8\n");
    EXPECT_EQ(Result("get", ""), "mode=auto\nfan.front.limit=6\n");
    EXPECT_EQ(Result("get", "", SERVICE), "mode=auto\nserial=SN-1\nfan.front.limit=6\nfan.vault.limit=8\n");
}

// The description's command word is shell text (a redirection, a variable); the caller's
// text still arrives as literal words.
TEST_F(Access, DescriptionWordIsShellText)
{
    EXPECT_EQ(Result("get", ""), "mode=auto\nfan.front.limit=5\n");
    EXPECT_EQ(Record(), "[--get]\n");
    EXPECT_EQ(ReadFile(dir / "stderr").find("noise"), std::string::npos);
    EXPECT_EQ(Result("where", "$CORVANE_RECORD 2&gt;/dev/null"),
              "arg:" + (dir / "record") + "\narg:$CORVANE_RECORD\narg:2>/dev/null\n");
}

}  // namespace
