#include "soap/SoapServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "auth/UnauthorizedException.h"
#include "auth/User.h"
#include "core/Logger.h"
#include "core/Utf8.h"
#include "plugins/CommandLimits.h"
#include "plugins/PluginBusyException.h"
#include "plugins/PluginCommandException.h"
#include "soap/ConnectionRegistry.h"
#include "soap/ConnectionTask.h"
#include "soap/HttpFaultText.h"
#include "soap/HttpGet.h"
#include "soap/RequestReader.h"
#include "soap/ServiceHost.h"
#include "soap/SoapContext.h"

namespace {

const char* const kRealm = "Corvane login";

}  // namespace

SoapServer::SoapServer(const struct soap& listening, boost::shared_ptr<ServiceHost> service)
    : CorvaneSoap::Service(listening), host_(std::move(service)), mpUser(new User(USER_ANONYM))
{
    Service_init(listening.imode, listening.omode);
    Setup();
}

SoapServer::SoapServer(boost::shared_ptr<ServiceHost> service)
    : CorvaneSoap::Service(), host_(std::move(service)), mpUser(new User(USER_ANONYM))
{
    Service_init(SOAP_C_UTFSTRING, SOAP_C_UTFSTRING);
    Setup();
}

SoapServer::~SoapServer()
{
    host_->connections.Closed(this);
}

void SoapServer::Setup()
{
    this->fget = corvane_http_get;
    this->fhead = corvane_http_head;
    this->authrealm = kRealm;
    // The service is literal: no request may make the runtime resolve SOAP-encoding
    // references, which copy the referenced element once for every reference to it.
    soap_set_imode(this, SOAP_XML_TREE);
    CorvaneSoap::InstallHttpFaultText(this);
    ConnectionRegistry* connections = &host_->connections;
    reader_.reset(new RequestReader(this, [connections, this] { connections->Closed(this); }));
}

CorvaneSoap::Service* SoapServer::copy()
{
    const CorvaneSoap::SoapContext copied(soap_copy(this));
    if (!copied)
        return nullptr;
    return new SoapServer(*copied, host_);
}

int SoapServer::serve()
{
    this->keep_alive = this->max_keep_alive + 1;
    do {
        if (this->keep_alive > 0 && this->max_keep_alive > 0)
            this->keep_alive--;
        soap_begin(this);
        bool failed = soap_begin_recv(this) != SOAP_OK;
        if (!failed && (soap_envelope_begin_in(this) || soap_recv_header(this) || soap_body_begin_in(this))) {
            failed = true;
            // The runtime leaves the request's method as the error when the body's root is no
            // SOAP envelope.
            if (this->error == SOAP_POST || this->error == SOAP_PUT)
                this->error = SOAP_VERSIONMISMATCH;
        }
        if (failed) {
            if (this->error < SOAP_STOP)
                return SendFault();
            soap_closesock(this);
            continue;
        }
        if ((dispatch() || (this->fserveloop && this->fserveloop(this))) && this->error && this->error < SOAP_STOP)
            return SendFault();
    } while (this->keep_alive);
    return SOAP_OK;
}

int SoapServer::SendFault()
{
    // The runtime clears the realm with each request it reads.
    if (this->error == 401)
        this->authrealm = kRealm;
    // A fault string may echo the caller's text, such as the name of an unknown element; it
    // is filled in now so that it gets the same treatment as every answer's text. (The
    // details are the daemon's own.)
    const int raised = this->error;
    soap_set_fault(this);
    this->error = raised;
    const char** text = soap_faultstring(this);
    if (text && *text && !Utf8::IsXmlText(*text))
        *text = soap_strdup(this, AnswerText(*text).c_str());
    return soap_send_fault(this);
}

std::string SoapServer::AnswerText(const std::string& text)
{
    return Utf8::ToXmlText(text);
}

int SoapServer::dispatch()
{
    try {
        return CorvaneSoap::Service::dispatch();
    } catch (const UnauthorizedException&) {
        return this->error = 401;
    } catch (const std::exception& e) {
        // Whatever failed inside an operation stays with this connection: answer a fault.
        Logger::GetInstance()->Log(Logger::eError, PeerAddress() + ": request failed: " + e.what());
        return soap_receiverfault("Internal error", nullptr);
    } catch (...) {
        Logger::GetInstance()->Log(Logger::eError, PeerAddress() + ": request failed");
        return soap_receiverfault("Internal error", nullptr);
    }
}

void SoapServer::perform_auth()
{
    // A caller that sent credentials meant to be someone; it is never served as anonymous.
    if (reader_->CredentialsMalformed())
        throw UnauthorizedException("malformed credentials");
    if (*mpUser == USER_ANONYM && this->userid && this->passwd)
        mpUser.reset(new User(host_->login(std::string(this->userid), std::string(this->passwd))));
}

void SoapServer::ensure_auth(const std::vector<std::string>& required)
{
    const std::vector<std::string>& effective = required.empty() ? TOKEN_LIST_ANY : required;
    perform_auth();
    std::vector<std::string> tokens = mpUser->getTokens();
    std::vector<std::string> common;
    std::set_intersection(tokens.begin(), tokens.end(), effective.begin(), effective.end(),
                          std::back_inserter(common));
    if (common.empty())
        throw UnauthorizedException(TokenString(tokens) + " does not intersect " + TokenString(effective));
}

int SoapServer::list_plugins(CorvaneSoap::StringList& names)
{
    ensure_auth(TOKEN_LIST_AUTHED);
    for (const auto& entry : host_->plugins) {
        if (!entry.second->GetConfigContents(mpUser->getTokens()).empty())
            names.item.push_back(AnswerText(entry.second->GetName()));
    }
    Logger::GetInstance()->Log(Logger::eDebug, PeerAddress() + ": SoapServer::list_plugins() called.");
    return 0;
}

int SoapServer::get_plugin_config(const std::string& plugin, std::string& config)
{
    ensure_auth(TOKEN_LIST_AUTHED);
    config.clear();
    try {
        config += AnswerText(host_->plugins.at(plugin)->GetConfigContents(mpUser->getTokens()));
    } catch (const std::out_of_range&) {
        return -1;
    }
    return 0;
}

int SoapServer::command(const std::string& plugin, const std::string& command, const std::string& parameters,
                        std::string& result)
{
    ensure_auth(TOKEN_LIST_AUTHED);
    result.clear();
    const std::string prefix = PeerAddress() + ": SoapServer::command() called for plugin '" + plugin +
                               "' with command '" + command;
    Plugin* target = nullptr;
    try {
        target = host_->plugins.at(plugin).get();
    } catch (const std::out_of_range&) {
        Logger::GetInstance()->Log(Logger::eError, prefix + "', but the plugin was not found.");
        return -1;
    }
    ConnectionRegistry* connections = &host_->connections;
    try {
        result = AnswerText(target->ExecPluginAndWait(command, parameters, mpUser->getTokens(),
                                                      [connections] { return connections->YieldWorker(); }));
    } catch (const std::out_of_range&) {
        Logger::GetInstance()->Log(Logger::eError, prefix + "', but the command was not found.");
        return -1;
    } catch (const PluginBusyException&) {
        Logger::GetInstance()->Log(Logger::eDebug, prefix + "', but the plugin was busy.");
        return AnswerBusy();
    } catch (const PluginCommandException& e) {
        return soap_receiverfault(e.what(), nullptr);
    }
    return 0;
}

int SoapServer::AnswerBusy()
{
    static const std::string retryAfter =
        "Retry-After: " + std::to_string(CommandLimits::kBusyRetryAfter.count());
    soap_receiverfault("Plugin busy, retry later", nullptr);
    this->http_extra_header = retryAfter.c_str();
    return this->error = 503;
}

int SoapServer::auth_user(std::string& result)
{
    ensure_auth(TOKEN_LIST_AUTHED);
    result.clear();
    const std::vector<std::string>& tokens = mpUser->getTokens();
    std::string joined;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i)
            joined += ':';
        joined += tokens[i];
    }
    result = AnswerText(joined);
    return 0;
}

void SoapServer::process_request(SoapServer* server)
{
    if (soap_valid_socket(server->socket))
        server->host_->connections.Opened(server, server->socket);
    try {
        server->serve();
    } catch (const std::exception& e) {
        Logger::GetInstance()->Log(Logger::eError, std::string("connection failed: ") + e.what());
    } catch (...) {
        Logger::GetInstance()->Log(Logger::eError, "connection failed");
    }
    delete server;
}

std::string SoapServer::PeerAddress() const
{
    const unsigned long address = this->ip;
    if (address != 0) {
        return std::to_string((address >> 24) & 0xFF) + "." + std::to_string((address >> 16) & 0xFF) + "." +
               std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
    }
    return this->host;
}

boost::function<void()> MakeConnectionTask(const struct soap& master, boost::shared_ptr<ServiceHost> host,
                                           const std::atomic<bool>* dropped)
{
    auto owned = std::make_shared<std::unique_ptr<SoapServer>>(new SoapServer(master, std::move(host)));
    return [owned, dropped] {
        if (dropped->load())
            owned->reset();
        else
            SoapServer::process_request(owned->release());
    };
}
