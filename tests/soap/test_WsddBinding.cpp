// The global WS-Discovery binding and namespace table, over unicast UDP on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "soap/WexNamespace.h"
#include "wsddapi.h"

namespace {

const char kType[] = "wex:CorvaneBackend_3";
const char kEndpoint[] = "urn:uuid:0b1c2d3e-4f50-4617-8899-aabbccddeeff";

struct ProbeSeen {
  int calls = 0;
  std::string types;
  bool answer = false;
} g_probe;

// A UDP socket on loopback standing for another device on the network.
class Peer {
 public:
  Peer() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    timeval tv{5, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr = Loopback(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Peer() { close(fd_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int port() const { return port_; }
  void SendTo(int port, const std::string& text) const {
    sockaddr_in addr = Loopback(port);
    sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  std::string Receive() const {
    char buf[65536];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

 private:
  static sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }
  int fd_;
  int port_ = 0;
};

// A plain context as the discovery service makes them: global namespaces[], WS-Addressing.
struct Context {
  explicit Context(soap_mode mode) : ctx(soap_new1(mode)) { soap_register_plugin(ctx, soap_wsa); }
  ~Context() {
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  struct soap* ctx;
};

std::string Probe(const std::string& envNs, const std::string& wsaNs, const std::string& types) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><s:Envelope xmlns:s=\"" + envNs +
         "\" xmlns:a=\"" + wsaNs +
         "\" xmlns:d=\"http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01\" xmlns:n=\"" +
         CORVANE_WEX_NAMESPACE +
         "\"><s:Header><a:MessageID>urn:uuid:11111111-2222-4333-8444-555555555555</a:MessageID>"
         "<a:To s:mustUnderstand=\"1\">urn:docs-oasis-open-org:ws-dd:ns:discovery:2009:01</a:To>"
         "<a:Action s:mustUnderstand=\"1\">http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01/Probe"
         "</a:Action></s:Header><s:Body><d:Probe><d:Types>" + types +
         "</d:Types></d:Probe></s:Body></s:Envelope>";
}

// Serves whatever the peer has already sent to the listener.
void Listen(Context& listener) { soap_wsdd_listen(listener.ctx, -100000); }

int BindLoopback(Context& listener) {
  listener.ctx->bind_flags = SO_REUSEADDR;
  if (!soap_valid_socket(soap_bind(listener.ctx, "127.0.0.1", 0, 100))) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  getsockname(listener.ctx->master, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

// A Hello is a SOAP 1.2 message that declares every prefix it uses, "wex" included.
TEST(WsddBinding, HelloDeclaresServicePrefix) {
  Peer peer;
  Context sender(SOAP_IO_DEFAULT);
  const std::string to = "soap.udp://127.0.0.1:" + std::to_string(peer.port());
  ASSERT_EQ(soap_wsdd_Hello(sender.ctx, SOAP_WSDD_ADHOC, to.c_str(), soap_wsa_rand_uuid(sender.ctx),
                            nullptr, kEndpoint, kType, nullptr, nullptr, "http://127.0.0.1:8080/", 7),
            SOAP_OK);
  const std::string hello = peer.Receive();
  for (const std::string& part :
       {std::string("xmlns:SOAP-ENV=\"http://www.w3.org/2003/05/soap-envelope\""),
        std::string("xmlns:wsa5=\"http://www.w3.org/2005/08/addressing\""),
        std::string("xmlns:wsdd=\"http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01\""),
        std::string("xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\""),
        std::string("<wsdd:Types>wex:CorvaneBackend_3</wsdd:Types>"),
        std::string("<wsa5:Address>") + kEndpoint + "</wsa5:Address>"})
    EXPECT_NE(hello.find(part), std::string::npos) << part << "\n" << hello;
}

// Probe Types arrive with the table's prefix, whatever prefix and envelope version the peer used.
TEST(WsddBinding, ProbeTypesUseTablePrefix) {
  const struct {
    const char* name;
    std::string env;
    std::string wsa;
  } cases[] = {
      {"SOAP 1.2, WS-Addressing 1.0", "http://www.w3.org/2003/05/soap-envelope",
       "http://www.w3.org/2005/08/addressing"},
      {"SOAP 1.1, WS-Addressing 2004/08", "http://schemas.xmlsoap.org/soap/envelope/",
       "http://schemas.xmlsoap.org/ws/2004/08/addressing"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_probe = {};
    Context listener(SOAP_IO_UDP);
    const int port = BindLoopback(listener);
    ASSERT_NE(port, 0);
    Peer peer;
    peer.SendTo(port, Probe(c.env, c.wsa, "n:CorvaneBackend_3"));
    Listen(listener);
    EXPECT_EQ(g_probe.calls, 1);
    EXPECT_EQ(g_probe.types, kType);
  }
}

// An answered Probe goes back to the prober as a ProbeMatches related to its MessageID.
TEST(WsddBinding, ProbeMatchesReplyReachesProber) {
  g_probe = {};
  g_probe.answer = true;
  Context listener(SOAP_IO_UDP);
  const int port = BindLoopback(listener);
  ASSERT_NE(port, 0);
  Peer peer;
  peer.SendTo(port, Probe("http://www.w3.org/2003/05/soap-envelope",
                          "http://www.w3.org/2005/08/addressing", "n:CorvaneBackend_3"));
  Listen(listener);
  const std::string reply = peer.Receive();
  for (const std::string& part :
       {std::string("<wsa5:RelatesTo>urn:uuid:11111111-2222-4333-8444-555555555555</wsa5:RelatesTo>"),
        std::string("xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\""),
        std::string("<wsdd:ProbeMatch>"), std::string("<wsdd:Types>wex:CorvaneBackend_3</wsdd:Types>"),
        std::string("<wsdd:XAddrs>http://127.0.0.1:8080/</wsdd:XAddrs>")})
    EXPECT_NE(reply.find(part), std::string::npos) << part << "\n" << reply;
}

}  // namespace

// The plug-in calls these by name; only the Probe matters here.
soap_wsdd_mode wsdd_event_Probe(struct soap* soap, const char*, const char*, const char* Types,
                                const char*, const char*, struct wsdd__ProbeMatchesType* matches) {
  ++g_probe.calls;
  g_probe.types = Types ? Types : "";
  if (!g_probe.answer) return SOAP_WSDD_ADHOC;
  // No soap_wsa_request here: the plug-in's reply header relates to the header's current
  // MessageID, so replacing it would make the answer relate to a message nobody sent.
  soap_wsdd_init_ProbeMatches(soap, matches);
  soap_wsdd_add_ProbeMatch(soap, matches, kEndpoint, kType, nullptr, nullptr, "http://127.0.0.1:8080/", 7);
  return SOAP_WSDD_MANAGED;
}

soap_wsdd_mode wsdd_event_Resolve(struct soap*, const char*, const char*, const char*,
                                  struct wsdd__ResolveMatchType*) {
  return SOAP_WSDD_ADHOC;
}

void wsdd_event_Hello(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*,
                      const char*, const char*, const char*, const char*, const char*, unsigned int) {}

void wsdd_event_Bye(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*,
                    const char*, const char*, const char*, const char*, const char*, unsigned int*) {}

void wsdd_event_ProbeMatches(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*,
                             struct wsdd__ProbeMatchesType*) {}

void wsdd_event_ResolveMatches(struct soap*, unsigned int, const char*, unsigned int, const char*,
                               const char*, struct wsdd__ResolveMatchType*) {}
