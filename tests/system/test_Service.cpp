// The whole daemon over raw HTTP: the four operations for different callers, rejected
// credentials, unknown plug-ins and commands, and the one-request-per-connection rule.
#include <libxml/parser.h>

#include <regex>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Service : public ServingDaemon {};

struct CallerCase {
    const char* name;
    const char* auth;        // "" for anonymous
    const char* tokens;      // wex:auth-user
    const char* plugins;     // wex:list-plugins, items joined by ","
    const char* getOutput;   // wex:command get
};

const CallerCase kCallers[] = {
    {"Anonymous", "", "*", "thermo", "mode=auto\nlabel=Grüße\n"},
    {"PlainUser", "plain:pw3", "*:AUTHED", "thermo", "mode=auto\nlabel=Grüße\n"},
    {"Service", "tech:pw1", "*:AUTHED:service", "thermo", "mode=auto\nlabel=Grüße\nspeed=3\n"},
    {"Admin", "root:pw2", "*:AUTHED:admin:service:service", "thermo,vault",
     "mode=auto\nlabel=Grüße\nspeed=3\nsecret=42\n"},
};

class ServiceCallers : public Service, public ::testing::WithParamInterface<CallerCase> {};

std::string Items(const std::string& xml)
{
    std::string joined;
    std::regex item("<item>([^<]*)</item>");
    for (std::sregex_iterator it(xml.begin(), xml.end(), item), end; it != end; ++it)
        joined += (joined.empty() ? "" : ",") + (*it)[1].str();
    return joined;
}

// What each caller lists, sees and reads is decided by its tokens.
TEST_P(ServiceCallers, OperationsFollowTokens)
{
    const CallerCase& c = GetParam();
    HttpAnswer tokens = Call("auth-user", {}, c.auth);
    EXPECT_EQ(tokens.status, 200) << tokens.raw;
    EXPECT_EQ(ElementText(tokens.body, "result"), c.tokens);

    HttpAnswer list = Call("list-plugins", {}, c.auth);
    EXPECT_EQ(list.status, 200);
    EXPECT_EQ(Items(list.body), c.plugins) << list.body;

    HttpAnswer get = Call("command", {{"plugin", "thermo"}, {"command", "get"}, {"parameters", ""}}, c.auth);
    EXPECT_EQ(get.status, 200) << get.raw;
    EXPECT_EQ(ElementText(get.body, "result"), c.getOutput);
    EXPECT_EQ(get.headers["connection"], "close");
    EXPECT_EQ(get.headers["content-type"], "text/xml; charset=utf-8");

    HttpAnswer config = Call("get-plugin-config", {{"plugin", "thermo"}}, c.auth);
    EXPECT_EQ(config.status, 200);
    std::string served = ElementText(config.body, "config");
    EXPECT_EQ(served.rfind("<?xml version=\"1.0\"", 0), 0u) << served;
    EXPECT_NE(served.find("<note>Grüße, 温度</note>"), std::string::npos) << served;
    EXPECT_EQ(served.find("outside the root"), std::string::npos);
    EXPECT_EQ(served.find("name=\"secret\"") != std::string::npos, std::string(c.name) == "Admin");
}

INSTANTIATE_TEST_SUITE_P(Callers, ServiceCallers, ::testing::ValuesIn(kCallers),
                         [](const auto& param) { return param.param.name; });

// A rejected password gets 401 with the realm and the fault text, then the connection closes.
TEST_F(Service, RejectedPasswordIs401)
{
    for (const char* auth : {"tech:wrong", "nobody:pw1"}) {
        HttpAnswer a = Call("auth-user", {}, auth);
        EXPECT_EQ(a.status, 401) << a.raw;
        EXPECT_EQ(a.headers["www-authenticate"], "Basic realm=\"Corvane login\"");
        EXPECT_EQ(ElementText(a.body, "faultstring"), "HTTP Error: 401 Unauthorized");
        EXPECT_EQ(ElementText(a.body, "faultcode"), "SOAP-ENV:Client");
    }
}

// Credentials are read as sent or refused with 401 and the realm: a caller that sent some
// meant to be someone, and is never served as anonymous or as a user its text was cut to.
// A request without credentials stays anonymous.
TEST_F(Service, CredentialsAreReadAsSentOrRefused)
{
    const struct {
        const char* what;
        std::string lines;
        const char* tokens;  // nullptr: 401
    } cases[] = {
        {"none", "", "*"},
        {"Basic", "Authorization: Basic " + Base64("tech:pw1") + "\r\n", "*:AUTHED:service"},
        {"the scheme in another case", "Authorization: bAsIc " + Base64("tech:pw1") + "\r\n", "*:AUTHED:service"},
        // Credentials meant for a proxy are not the caller's, and are no second line either.
        {"as Proxy-Authorization", "Proxy-Authorization: Basic " + Base64("tech:pw1") + "\r\n", "*"},
        {"malformed as Proxy-Authorization", "Proxy-Authorization: Bearer abc\r\n", "*"},
        {"not base64", "Authorization: Basic !!!!\r\n", nullptr},
        {"nothing after the scheme", "Authorization: Basic \r\n", nullptr},
        {"an empty line", "Authorization:\r\n", nullptr},
        {"no colon", "Authorization: Basic " + Base64("useronly") + "\r\n", nullptr},
        {"a NUL in the password", "Authorization: Basic " + Base64(std::string("tech:pw1\0junk", 13)) + "\r\n", nullptr},
        {"padding missing", "Authorization: Basic " + Base64("tech:pw1").substr(0, 11) + "\r\n", nullptr},
        {"a bearer token", "Authorization: Bearer abc.def.ghi\r\n", nullptr},
        {"another scheme", "Authorization: Digest username=\"tech\"\r\n", nullptr},
        {"two lines", "Authorization: Basic " + Base64("tech:pw1") + "\r\nAuthorization: Basic " + Base64("root:pw2") +
                          "\r\n",
         nullptr},
        {"both kinds", "Proxy-Authorization: Basic " + Base64("root:pw2") + "\r\nAuthorization: Basic " +
                           Base64("tech:pw1") + "\r\n",
         "*:AUTHED:service"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string body = Envelope("auth-user");
        HttpAnswer a = Exchange(port, "POST / HTTP/1.1\r\nHost: x\r\n" + c.lines + "Content-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
        if (c.tokens) {
            EXPECT_EQ(a.status, 200) << a.raw;
            EXPECT_EQ(ElementText(a.body, "result"), c.tokens);
        } else {
            EXPECT_EQ(a.status, 401) << a.raw;
            EXPECT_EQ(a.headers["www-authenticate"], "Basic realm=\"Corvane login\"");
            EXPECT_EQ(FaultOf(a.body).code, "SOAP-ENV:Client");
            EXPECT_EQ(FaultOf(a.body).string, "HTTP Error: 401 Unauthorized");
        }
    }
}

// Unknown plug-ins and commands close the connection without any answer; only
// "wex:command" writes an error line.
TEST_F(Service, UnknownPluginOrCommandClosesSilently)
{
    EXPECT_EQ(Call("command", {{"plugin", "nope"}, {"command", "get"}, {"parameters", ""}}).raw, "");
    EXPECT_EQ(Call("command", {{"plugin", "thermo"}, {"command", "nope"}, {"parameters", ""}}).raw, "");
    EXPECT_EQ(Call("command", {{"plugin", "thermo"}, {"command", "apply"}, {"parameters", ""}}).raw, "");
    EXPECT_EQ(Call("get-plugin-config", {{"plugin", "nope"}}).raw, "");
    std::string log = Log();
    EXPECT_NE(log.find("ERROR:  127.0.0.1: SoapServer::command() called for plugin 'nope' with command 'get', but "
                       "the plugin was not found."),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("ERROR:  127.0.0.1: SoapServer::command() called for plugin 'thermo' with command 'nope', but "
                       "the command was not found."),
              std::string::npos);
    EXPECT_NE(log.find("command 'apply', but the command was not found."), std::string::npos);
}

// An unknown Body element is a client fault with HTTP 500 that names it.
TEST_F(Service, UnknownMethodIs500)
{
    HttpAnswer a = Call("reboot-now");
    EXPECT_EQ(a.status, 500) << a.raw;
    EXPECT_EQ(FaultOf(a.body).code, "SOAP-ENV:Client");
    EXPECT_EQ(FaultOf(a.body).string, "Method 'wex:reboot-now' not implemented: method name or namespace not recognized");
}

// Only the first request of a connection is answered.
TEST_F(Service, OneRequestPerConnection)
{
    std::string req = Post(Envelope("auth-user"));
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    SendAll(fd, req + req);
    std::string raw = ReadAll(fd);
    close(fd);
    size_t first = raw.find("HTTP/1.1 200");
    EXPECT_NE(first, std::string::npos) << raw;
    EXPECT_EQ(raw.find("HTTP/1.1", first + 1), std::string::npos) << raw;
}

// Caller text reaches the plug-in as words, never as shell syntax; non-ASCII arrives unchanged.
TEST_F(Service, ParametersArriveAsWords)
{
    std::string marker = dir / "marker";
    HttpAnswer a = Call("command", {{"plugin", "thermo"}, {"command", "echo"},
                                    {"parameters", "mode=\"a b\" x=Grüße ; touch " + marker + " $(touch " + marker + ")"}});
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(ElementText(a.body, "result"),
              "arg:mode=a b\narg:x=Grüße\narg:;\narg:touch\narg:" + marker + "\narg:$(touch\narg:" + marker + ")\n");
    EXPECT_FALSE(std::ifstream(marker).good());
}

// A "set" passes permitted keys and refuses the rest without running anything.
TEST_F(Service, SetChecksPermissions)
{
    HttpAnswer ok = Call("command", {{"plugin", "thermo"}, {"command", "set"}, {"parameters", "mode=\"eco\" label=\"x y\""}});
    EXPECT_EQ(ElementText(ok.body, "result"), "set mode=eco\nset label=x y\n");
    HttpAnswer refused = Call("command", {{"plugin", "thermo"}, {"command", "set"}, {"parameters", "speed=\"9\""}});
    EXPECT_EQ(refused.status, 200);
    EXPECT_EQ(ElementText(refused.body, "result"), "");
}

// Whether an XML 1.0 parser takes the text as a document.
bool WellFormed(const std::string& xml)
{
    xmlDocPtr doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), "answer.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    xmlFreeDoc(doc);
    return doc != nullptr;
}

// A command's envelope with its plug-in name and parameters written as raw XML.
std::string CommandXml(const std::string& pluginXml, const std::string& command, const std::string& parametersXml)
{
    std::string xml = Envelope("command", {{"plugin", "@p"}, {"command", command}, {"parameters", "@a"}});
    xml.replace(xml.find(">@p<") + 1, 2, pluginXml);
    return xml.replace(xml.find(">@a<") + 1, 2, parametersXml);
}

// What the service reads of a body is what a strict XML parser reads of it: markup that a
// lenient reader would take otherwise is refused with a fault, and every reference and line
// end arrives as XML defines it (the echo shows the value the plug-in got).
TEST_F(Service, BodiesReadAsAStrictParserReadsThem)
{
    const std::string hidden = "<x" + std::string(" a='1' b='2' c='3'") + "/>";
    const struct {
        const char* what;
        std::string request;
        std::string result;  // the echo, or empty for a refusal
        std::string detail;  // the refusal's detail, as the answer escapes it
    } cases[] = {
        {"an instruction ending after '?'", CommandXml("thermo", "echo", "<?p ? >" + hidden + "?>a"), "",
         "processing instructions are not accepted"},
        {"a bare '&' before a comment", CommandXml("thermo", "echo", "demo&<!--xyz</parameters>" + hidden + "<parameters>e-->"),
         "", "an '&amp;' that begins no reference"},
        {"a bare '&' before character data", CommandXml("thermo", "echo", "demo&<![CDATA[" + hidden + "]]>"), "",
         "an '&amp;' that begins no reference"},
        {"a bare '&' before the end tag", CommandXml("thermo", "echo", "demo&"), "", "an '&amp;' that begins no reference"},
        {"'--' and '>' inside a comment", CommandXml("thermo", "echo", "<!-- -- >" + hidden + "-->a"), "",
         "'--' inside a comment"},
        {"an unterminated comment", CommandXml("thermo", "echo", "<!--->a"), "", "the document ends early"},
        {"a cut UTF-8 sequence before '<'", CommandXml("thermo", "echo", "\xE2\x82<![CDATA[" + hidden + "]]>"), "",
         "bytes that are not UTF-8"},
        {"an overlong 'o' in the plug-in's name", CommandXml("ech\xC1\xAF", "echo", "a"), "", "bytes that are not UTF-8"},
        {"an overlong '<'", CommandXml("thermo", "echo", "a\xC0\xBC" "b"), "", "bytes that are not UTF-8"},
        {"Latin-1", CommandXml("thermo", "echo", "caf\xE9"), "", "bytes that are not UTF-8"},
        {"beyond U+10FFFF", CommandXml("thermo", "echo", "a\xF4\x90\x80\x80"), "", "bytes that are not UTF-8"},
        {"a raw NUL in the plug-in's name", CommandXml(std::string("thermo\0x", 8), "echo", "a"), "",
         "a character XML does not allow"},
        {"a raw NUL in a value", CommandXml("thermo", "echo", std::string("a\0b", 3)), "", "a character XML does not allow"},
        {"undefined entities", CommandXml("thermo", "echo", "&foo;"), "", "an entity XML does not define"},
        {"an entity in the wrong case", CommandXml("thermo", "echo", "&LT;"), "", "an entity XML does not define"},
        {"HTML's entities", CommandXml("thermo", "echo", "&nbsp;&eacute;"), "", "an entity XML does not define"},
        {"a declaration not first", " " + CommandXml("thermo", "echo", "a"), "", "an XML declaration that is not at the start"},
        {"an instruction named xml-like", CommandXml("thermo", "echo", "<?xml-x?>a"), "", "processing instructions are not accepted"},
        {"']]>' in text", CommandXml("thermo", "echo", "a]]>b"), "", "']]&gt;' in text"},
        {"a name beginning with a digit", CommandXml("thermo", "echo", "<1a/>"), "", "a markup character where a name must be"},
        {"an undeclared prefix", CommandXml("thermo", "echo", "<w:x>a</w:x>"), "", "a namespace prefix that is not declared"},
        {"a prefix bound to nothing", CommandXml("thermo", "echo", "<x xmlns:w=''/>"), "",
         "a prefix declared with an empty namespace"},
        {"xml bound again", CommandXml("thermo", "echo", "<x xmlns:xml='urn:x'/>"), "",
         "the prefix xml bound to another namespace, or its namespace to another prefix"},
        {"'<' in a value", CommandXml("thermo", "echo", "<x a='<'/>"), "", "'&lt;' in an attribute value"},
        // Delivered as a strict parser reads them.
        {"long character references", CommandXml("thermo", "echo", "&#x1F600; &#128512; &#x10FFFF; p=A&#x00000410;B &#x0000041;"),
         "arg:\xF0\x9F\x98\x80\narg:\xF0\x9F\x98\x80\narg:\xF4\x8F\xBF\xBF\narg:p=A\xD0\x90" "B\narg:A\n", ""},
        {"references in the plug-in's name", CommandXml("&#x0000074;hermo", "echo", "a"), "arg:a\n", ""},
        {"character data and comments", CommandXml("thermo", "echo", "<![CDATA[a&b]]><!-- c -->&lt;d"), "arg:a&b<d\n", ""},
        {"CR LF and a lone CR", CommandXml("thermo", "echo", "'a\r\nb\rc'"), "arg:a\nb\nc\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HttpAnswer a = Exchange(port, Post(c.request));
        EXPECT_TRUE(WellFormed(a.body)) << a.raw;
        if (c.detail.empty()) {
            EXPECT_EQ(a.status, 200) << a.raw;
            EXPECT_EQ(ElementText(a.body, "result"), c.result) << a.raw;
        } else {
            EXPECT_EQ(a.status, 500) << a.raw;
            const SoapFault fault = FaultOf(a.body);
            EXPECT_EQ(fault.code, "SOAP-ENV:Client");
            EXPECT_EQ(fault.string, "Malformed XML request");
            EXPECT_EQ(fault.detail, c.detail);
        }
    }
    // The refused bodies ran nothing; the four others ran once each.
    EXPECT_EQ(CountOf(Log(), " --echo "), 4) << Log();
}

// Every answer is well-formed XML, whatever characters the caller sent or a plug-in printed:
// what XML cannot hold is answered as U+FFFD. A request holding such a character, as it is or
// as a reference, is no XML at all and is refused before anything runs.
TEST_F(Service, AnswersStayWellFormedXml)
{
    const std::string fffd = "\xEF\xBF\xBD";
    auto command = [](const std::string& name, const std::string& parametersXml) {
        std::string xml = Envelope("command", {{"plugin", "thermo"}, {"command", name}, {"parameters", "@"}});
        return xml.replace(xml.find(">@<") + 1, 1, parametersXml);
    };
    const std::string malformed = "Malformed XML request";
    const std::string forbidden = "character reference to a character XML does not allow";
    const std::string raw = "a character XML does not allow", notUtf8 = "bytes that are not UTF-8";
    const struct {
        const char* what;
        std::string request;
        int status;
        std::string text;    // the result or fault string
        std::string detail;  // the fault's detail
    } cases[] = {
        {"U+FFFF as it is", command("echo", "a\xEF\xBF\xBF" "b"), 500, malformed, raw},
        {"a surrogate as it is", command("echo", "a\xED\xA0\x80" "b"), 500, malformed, notUtf8},
        {"what a plug-in prints", command("poison", ""), 200,
         "mode=a" + fffd + "b" + fffd + "c" + fffd + fffd + fffd + "d" + fffd + "\n", ""},
        {"an unknown operation's name, echoed in the fault", Envelope("re\xC3\xA9" "boot"), 500,
         "Method 'wex:re\xC3\xA9" "boot' not implemented: method name or namespace not recognized", ""},
        {"a name of U+FFFE", Envelope("re\xEF\xBF\xBE" "boot"), 500, malformed, raw},
        {"a set of U+FFFE", command("set", "label=\"a\xEF\xBF\xBE\""), 500, malformed, raw},
        {"a set of a surrogate", command("set", "label=\"a\xED\xBF\xBF\""), 500, malformed, notUtf8},
        {"U+FFFE as a reference", command("echo", "a&#xFFFE;b"), 500, malformed, forbidden},
        {"a control character as a reference", command("echo", "a&#1;b"), 500, malformed, forbidden},
        {"a surrogate as a reference", command("echo", "a&#xD800;b"), 500, malformed, forbidden},
        {"NUL as a reference", command("echo", "a&#0;b"), 500, malformed, forbidden},
        {"a set of NUL", command("set", "label=a&#0;b"), 500, malformed, forbidden},
        {"a set of U+FFFE as a reference", command("set", "label=\"a&#x0FFFE;\""), 500, malformed, forbidden},
        {"a set beyond Unicode", command("set", "label=a&#x110000;"), 500, malformed, forbidden},
        {"a set of a reference without its end", command("set", "label=a&#65"), 500, malformed,
         "malformed character reference"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HttpAnswer a = Exchange(port, Post(c.request));
        EXPECT_EQ(a.status, c.status) << a.raw;
        EXPECT_TRUE(WellFormed(a.body)) << a.body;
        if (c.status == 200) {
            EXPECT_EQ(ElementText(a.body, "result"), c.text);
        } else {
            const SoapFault fault = FaultOf(a.body);
            EXPECT_EQ(fault.code, "SOAP-ENV:Client");
            EXPECT_EQ(fault.string, c.text);
            EXPECT_EQ(fault.detail, c.detail);
        }
    }
    // The refused requests reached no command at all.
    EXPECT_EQ(CountOf(Log(), " --set "), 0) << Log();
}

// A plug-in command inherits none of the daemon's sockets.
TEST_F(Service, PluginSeesNoSocket)
{
    HttpAnswer a = Call("command", {{"plugin", "thermo"}, {"command", "fds"}, {"parameters", ""}});
    EXPECT_EQ(ElementText(a.body, "result"), "sockets=0\n");
}

}  // namespace
