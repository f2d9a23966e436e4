#pragma once
// The service for one accepted connection: authenticates the caller once from HTTP Basic
// credentials and carries out the four operations against the host's plug-in registry.
// Made by the main loop, then served and destroyed by one worker thread; shares the host.
#include <memory>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "CorvaneSoapService.h"

class RequestReader;
struct ServiceHost;
class User;

class SoapServer : public CorvaneSoap::Service {
public:
    // From the listening context, which carries the accepted socket and the peer's address.
    SoapServer(const struct soap& listening, boost::shared_ptr<ServiceHost> service);
    explicit SoapServer(boost::shared_ptr<ServiceHost> service);
    ~SoapServer() override;

    CorvaneSoap::Service* copy() override;
    // The generated serve loop, except that a body which is no SOAP envelope is answered with
    // the runtime's version-mismatch fault (the runtime itself would close without a word),
    // and that a fault's texts are made fit for XML like every answer's.
    int serve() override;
    // Turns UnauthorizedException into HTTP 401.
    int dispatch() override;

    int list_plugins(CorvaneSoap::StringList& plugins) override;
    int get_plugin_config(const std::string& plugin, std::string& config) override;
    int command(const std::string& plugin, const std::string& command, const std::string& parameters,
                std::string& result) override;
    int auth_user(std::string& result) override;

    // Throws UnauthorizedException when the credentials are rejected or cannot be read.
    void perform_auth();
    // Throws UnauthorizedException when the caller's tokens miss every required one.
    void ensure_auth(const std::vector<std::string>& required);

    // Serves the connection, then deletes the server. Never throws.
    static void process_request(SoapServer* server);

private:
    void Setup();
    // HTTP 503 with Retry-After and a SOAP fault: the caller may try again shortly.
    int AnswerBusy();
    std::string PeerAddress() const;
    int SendFault();
    // Every text the daemon writes into an answer: what XML 1.0 cannot carry (and bytes that
    // are not UTF-8) becomes U+FFFD, so the answer stays well-formed.
    static std::string AnswerText(const std::string& text);

    boost::shared_ptr<ServiceHost> host_;
    boost::shared_ptr<User> mpUser;
    std::unique_ptr<RequestReader> reader_;
};
