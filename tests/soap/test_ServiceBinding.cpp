// The generated CorvaneSoap::Service on a real loopback socket, driven by raw HTTP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CorvaneSoapService.h"
#include "soap/HttpFaultText.h"
#include "soap/WexNamespace.h"

namespace {

const std::string kSoap11 = "http://schemas.xmlsoap.org/soap/envelope/";
const std::string kSoap12 = "http://www.w3.org/2003/05/soap-envelope";

struct Call {
  std::string op;
  std::vector<std::string> args;
  bool operator==(const Call& o) const { return op == o.op && args == o.args; }
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
  os << c.op << "(";
  for (const auto& a : c.args) os << "'" << a << "' ";
  return os << ")";
}

// What the test operations answer with.
struct Reply {
  int code = 0;
  std::vector<std::string> plugins;
  std::string text;
  const char* realm = nullptr;  // the runtime forgets the realm per request; set by the operation
};

class RecordingService : public CorvaneSoap::Service {
 public:
  explicit RecordingService(Reply reply) : Service(SOAP_C_UTFSTRING), reply_(std::move(reply)) {}
  explicit RecordingService(const struct soap& original) : Service(original) {}

  Service* copy() override { return new RecordingService(*static_cast<struct soap*>(this)); }

  int list_plugins(CorvaneSoap::StringList& names) override {
    calls.push_back({"list_plugins", {}});
    names.item = reply_.plugins;
    return reply_.code;
  }
  int get_plugin_config(const std::string& plugin, std::string& config) override {
    calls.push_back({"get_plugin_config", {plugin}});
    config = reply_.text;
    return reply_.code;
  }
  int command(const std::string& plugin, const std::string& command, const std::string& parameters,
              std::string& result) override {
    calls.push_back({"command", {plugin, command, parameters}});
    result = reply_.text;
    return reply_.code;
  }
  int auth_user(std::string& result) override {
    calls.push_back({"auth_user", {}});
    result = reply_.text;
    if (reply_.realm) authrealm = reply_.realm;
    return reply_.code;
  }

  std::vector<Call> calls;

 private:
  Reply reply_;
};

struct HttpAnswer {
  std::string raw;
  int status = 0;
  std::map<std::string, std::string> headers;
  std::string body;
};

HttpAnswer Parse(const std::string& raw) {
  HttpAnswer a;
  a.raw = raw;
  const auto headEnd = raw.find("\r\n\r\n");
  if (headEnd == std::string::npos) return a;
  const std::string head = raw.substr(0, headEnd);
  a.body = raw.substr(headEnd + 4);
  std::size_t pos = head.find("\r\n");
  const std::string statusLine = head.substr(0, pos);
  if (statusLine.size() > 12) a.status = std::stoi(statusLine.substr(9, 3));
  while (pos != std::string::npos) {
    const std::size_t start = pos + 2;
    pos = head.find("\r\n", start);
    const std::string line = head.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
    const auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::size_t v = colon + 1;
    while (v < line.size() && line[v] == ' ') ++v;
    a.headers[line.substr(0, colon)] = line.substr(v);
  }
  return a;
}

// Sends one request and reads until the server closes the connection.
std::string SendRaw(int port, const std::string& request) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return {};
  timeval tv{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  return answer;
}

std::string Post(const std::string& body, const std::string& contentType = "text/xml; charset=utf-8") {
  return "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: " + contentType +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Envelope(const std::string& inner, const std::string& envNs = kSoap11,
                     const std::string& extraNs = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><env:Envelope xmlns:env=\"" + envNs +
         "\" xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\"" + extraNs + "><env:Body>" + inner +
         "</env:Body></env:Envelope>";
}

struct Exchange {
  HttpAnswer answer;
  std::vector<Call> calls;
};

// One connection served by a fresh service, the way the daemon serves each one.
Exchange Serve(const std::string& request, const Reply& reply = {}) {
  Exchange ex;
  RecordingService svc(reply);
  svc.accept_timeout = svc.recv_timeout = svc.send_timeout = 10;
  svc.bind_flags = SO_REUSEADDR;
  CorvaneSoap::InstallHttpFaultText(&svc);
  if (!soap_valid_socket(svc.bind("127.0.0.1", 0, 1))) {
    ADD_FAILURE() << "bind failed";
    return ex;
  }
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(svc.master, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread server([&svc] {
    if (soap_valid_socket(svc.accept())) svc.serve();
    svc.destroy();
  });
  ex.answer = Parse(SendRaw(ntohs(addr.sin_port), request));
  server.join();
  ex.calls = svc.calls;
  return ex;
}

// An empty element may be written either way; compare in the short form "<x/>".
std::string ShortEmpty(std::string xml) {
  for (std::size_t gap = xml.find("></"); gap != std::string::npos; gap = xml.find("></", gap + 1)) {
    const std::size_t open = xml.rfind('<', gap);
    const std::string name = xml.substr(open + 1, gap - open - 1);
    if (name.empty() || name.find_first_of(" /") != std::string::npos) continue;
    if (xml.compare(gap + 3, name.size() + 1, name + ">") != 0) continue;
    xml.replace(gap, name.size() + 4, "/>");
  }
  return xml;
}

std::string FaultString(const std::string& body) {
  const auto b = body.find("<faultstring>");
  const auto e = body.find("</faultstring>");
  if (b == std::string::npos || e == std::string::npos) return {};
  return body.substr(b + 13, e - b - 13);
}

// Each operation's response record, written literally with unqualified fields.
TEST(ServiceBinding, ResponsesHaveTheirWireForm) {
  struct Case {
    const char* name;
    std::string request;
    Reply reply;
    Call call;
    std::string element;
  };
  const Case cases[] = {
      {"list", "<wex:list-plugins/>", {0, {"alpha", "b&c"}, ""}, {"list_plugins", {}},
       "<wex:list-pluginsResponse><plugins><item>alpha</item><item>b&amp;c</item></plugins>"
       "</wex:list-pluginsResponse>"},
      {"empty list", "<wex:list-plugins/>", {0, {}, ""}, {"list_plugins", {}},
       "<wex:list-pluginsResponse><plugins></plugins></wex:list-pluginsResponse>"},
      {"config", "<wex:get-plugin-config><plugin>disk</plugin></wex:get-plugin-config>",
       {0, {}, "<root a=\"1\"/>"}, {"get_plugin_config", {"disk"}},
       "<wex:get-plugin-configResponse><config>&lt;root a=\"1\"/&gt;</config>"
       "</wex:get-plugin-configResponse>"},
      {"command",
       "<wex:command><plugin>p</plugin><command>c</command><parameters>x=1 y=2</parameters>"
       "</wex:command>",
       {0, {}, "done"}, {"command", {"p", "c", "x=1 y=2"}},
       "<wex:commandResponse><result>done</result></wex:commandResponse>"},
      {"empty result", "<wex:auth-user/>", {0, {}, ""}, {"auth_user", {}},
       "<wex:auth-userResponse><result></result></wex:auth-userResponse>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange ex = Serve(Post(Envelope(c.request)), c.reply);
    ASSERT_EQ(ex.calls.size(), 1u);
    EXPECT_EQ(ex.calls[0], c.call);
    EXPECT_EQ(ex.answer.status, 200);
    EXPECT_NE(ShortEmpty(ex.answer.body).find(ShortEmpty(c.element)), std::string::npos)
        << ex.answer.body;
    EXPECT_NE(ex.answer.body.find("xmlns:SOAP-ENV=\"" + kSoap11 + "\""), std::string::npos);
    EXPECT_NE(ex.answer.body.find("xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\""), std::string::npos);
    for (const char* absent : {"xsi:type", "xsi:nil", "encodingStyle"})
      EXPECT_EQ(ex.answer.body.find(absent), std::string::npos) << absent;
  }
}

// The head of a successful answer: server, content type, exact length, one request only.
TEST(ServiceBinding, AnswerHeadCountsLengthAndCloses) {
  const Exchange ex = Serve(Post(Envelope("<wex:auth-user/>")), {0, {}, "user"});
  ASSERT_EQ(ex.answer.status, 200) << ex.answer.raw;
  EXPECT_EQ(ex.answer.headers.at("Server"), "gSOAP/2.8");
  EXPECT_EQ(ex.answer.headers.at("Content-Type"), "text/xml; charset=utf-8");
  EXPECT_EQ(ex.answer.headers.at("Content-Length"), std::to_string(ex.answer.body.size()));
  EXPECT_EQ(ex.answer.headers.at("Connection"), "close");
}

// A client asking for keep-alive still gets one answer per connection; the rest is dropped.
TEST(ServiceBinding, OneRequestPerConnection) {
  std::string one = Post(Envelope("<wex:auth-user/>"));
  one.insert(one.find("\r\n\r\n"), "\r\nConnection: keep-alive");
  const Exchange ex = Serve(one + one, {0, {}, "u"});
  EXPECT_EQ(ex.calls.size(), 1u);
  EXPECT_EQ(ex.answer.headers.at("Connection"), "close");
  EXPECT_EQ(ex.answer.raw.find("HTTP/1.1", 1), std::string::npos) << ex.answer.raw;
}

// Unknown operations, also those in a foreign namespace, get the not-implemented fault.
TEST(ServiceBinding, UnknownBodyElementIsClientFault500) {
  const struct {
    std::string element;
    std::string extraNs;
    std::string name;
  } cases[] = {
      {"<wex:reboot/>", "", "wex:reboot"},
      {"<x:command><plugin>p</plugin></x:command>", " xmlns:x=\"urn:other\"", "x:command"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange ex = Serve(Post(Envelope(c.element, kSoap11, c.extraNs)));
    EXPECT_TRUE(ex.calls.empty());
    EXPECT_EQ(ex.answer.status, 500);
    EXPECT_NE(ex.answer.body.find("<faultcode>SOAP-ENV:Client</faultcode>"), std::string::npos)
        << ex.answer.body;
    EXPECT_EQ(FaultString(ex.answer.body),
              "Method '" + c.name + "' not implemented: method name or namespace not recognized");
  }
}

// Any prefix bound to the service namespace selects the operation.
TEST(ServiceBinding, OperationPrefixIsResolvedByNamespace) {
  const Exchange ex = Serve(Post(Envelope(
      "<ns1:get-plugin-config xmlns:ns1=\"" CORVANE_WEX_NAMESPACE "\"><plugin>a</plugin>"
      "</ns1:get-plugin-config>")));
  ASSERT_EQ(ex.calls.size(), 1u);
  EXPECT_EQ(ex.calls[0], (Call{"get_plugin_config", {"a"}}));
}

// A SOAP 1.2 envelope is accepted through the alternative namespace pattern.
TEST(ServiceBinding, Soap12EnvelopeIsAccepted) {
  const Exchange ex = Serve(
      Post(Envelope("<wex:command><plugin>p</plugin><command>c</command><parameters>v</parameters>"
                    "</wex:command>",
                    kSoap12),
           "application/soap+xml; charset=utf-8"),
      {0, {}, "ok"});
  ASSERT_EQ(ex.calls.size(), 1u);
  EXPECT_EQ(ex.calls[0], (Call{"command", {"p", "c", "v"}}));
  EXPECT_EQ(ex.answer.status, 200);
  EXPECT_NE(ex.answer.body.find("<result>ok</result>"), std::string::npos) << ex.answer.body;
}

// Field order, repeats, omissions and unknown children do not disturb the request record.
TEST(ServiceBinding, RequestFieldsAreReadLeniently) {
  const struct {
    const char* name;
    std::string element;
    Call call;
  } cases[] = {
      {"any order",
       "<wex:command><parameters>a b</parameters><command>c</command><plugin>p</plugin>"
       "</wex:command>",
       {"command", {"p", "c", "a b"}}},
      {"first of repeated",
       "<wex:get-plugin-config><plugin>first</plugin><plugin>second</plugin>"
       "</wex:get-plugin-config>",
       {"get_plugin_config", {"first"}}},
      {"missing field is empty",
       "<wex:command><plugin>p</plugin><command>c</command></wex:command>",
       {"command", {"p", "c", ""}}},
      {"empty element is empty", "<wex:get-plugin-config><plugin/></wex:get-plugin-config>",
       {"get_plugin_config", {""}}},
      {"unknown child skipped with content",
       "<wex:command><junk><plugin>no</plugin><deep>x</deep></junk><plugin>p</plugin>"
       "<command>c</command><parameters>v</parameters></wex:command>",
       {"command", {"p", "c", "v"}}},
      {"children of a field-less request",
       "<wex:list-plugins><extra>1</extra><more/></wex:list-plugins>", {"list_plugins", {}}},
      {"escaped text", "<wex:get-plugin-config><plugin>a&amp;b&lt;c</plugin></wex:get-plugin-config>",
       {"get_plugin_config", {"a&b<c"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Exchange ex = Serve(Post(Envelope(c.element)));
    EXPECT_EQ(ex.answer.status, 200) << ex.answer.raw;
    ASSERT_EQ(ex.calls.size(), 1u);
    EXPECT_EQ(ex.calls[0], c.call);
  }
}

// Non-ASCII text reaches the operation as UTF-8 and goes back out unchanged.
TEST(ServiceBinding, NonAsciiTextRoundTripsAsUtf8) {
  const std::string text = "Gr\xC3\xBC\xC3\x9F" "e \xE2\x9C\x93 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80";
  const Exchange ex = Serve(Post(Envelope("<wex:get-plugin-config><plugin>" + text +
                                          "</plugin></wex:get-plugin-config>")),
                            {0, {text}, text});
  ASSERT_EQ(ex.calls.size(), 1u);
  EXPECT_EQ(ex.calls[0], (Call{"get_plugin_config", {text}}));
  EXPECT_NE(ex.answer.body.find("<config>" + text + "</config>"), std::string::npos) << ex.answer.body;

  const Exchange list = Serve(Post(Envelope("<wex:list-plugins/>")), {0, {text}, ""});
  EXPECT_NE(list.answer.body.find("<item>" + text + "</item>"), std::string::npos) << list.answer.body;
}

// A non-zero operation result is answered as the HTTP error, or not at all for -1.
TEST(ServiceBinding, OperationResultBecomesHttpAnswer) {
  const Exchange denied = Serve(Post(Envelope("<wex:auth-user/>")), {401, {}, "", "corvaned"});
  EXPECT_EQ(denied.answer.status, 401) << denied.answer.raw;
  EXPECT_EQ(denied.answer.headers.count("WWW-Authenticate") ? denied.answer.headers.at("WWW-Authenticate") : "", "Basic realm=\"corvaned\"");
  EXPECT_EQ(FaultString(denied.answer.body), "HTTP Error: 401 Unauthorized");

  const Exchange missing = Serve(Post(Envelope("<wex:list-plugins/>")), {404, {}, ""});
  EXPECT_EQ(missing.answer.status, 404) << missing.answer.raw;
  EXPECT_EQ(FaultString(missing.answer.body), "HTTP Error: 404 Not Found");

  const Exchange unknown = Serve(
      Post(Envelope("<wex:command><plugin>p</plugin><command>c</command></wex:command>")),
      {-1, {}, "unused"});
  EXPECT_EQ(unknown.calls.size(), 1u);
  EXPECT_EQ(unknown.answer.raw, "");
}

// A header entry that must be understood but is not ends the request with a fault.
TEST(ServiceBinding, UnderstoodHeaderIsRequired) {
  const std::string envelope =
      "<env:Envelope xmlns:env=\"" + kSoap11 + "\" xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\">"
      "<env:Header><x:session xmlns:x=\"urn:other\" env:mustUnderstand=\"1\">s</x:session>"
      "</env:Header><env:Body><wex:auth-user/></env:Body></env:Envelope>";
  const Exchange ex = Serve(Post(envelope));
  EXPECT_TRUE(ex.calls.empty());
  EXPECT_EQ(ex.answer.status, 500) << ex.answer.raw;
  EXPECT_NE(ex.answer.body.find("MustUnderstand"), std::string::npos) << ex.answer.body;
}

}  // namespace
