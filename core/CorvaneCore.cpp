#include "core/CorvaneCore.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>

#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>

#include "core/CorvaneConfig.h"
#include "core/GlobalExit.h"
#include "core/Logger.h"
#include "core/PortNumber.h"
#include "core/Signals.h"
#include "discovery/WsddTargetService.h"
#include "discovery/WsddTargetServiceConstructionException.h"
#include "plugins/CommandProcess.h"
#include "soap/AcceptHook.h"
#include "soap/ConnectionTask.h"
#include "soap/HttpGet.h"
#include "soap/SoapContext.h"
#include "stdsoap2.h"

const std::string CONFIG_EXT = "xml";

namespace {

int WorkerCount()
{
    unsigned n = boost::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

void InstallSignalHandlerOnWorker() { install_signal_handler(); }

// Waiting time in select after which the action sets are checked (above 100 ms) and a Hello is
// multicast (above 30 s); time spent outside select does not count.
const uint32_t kActionSetPeriodMicros = 99999;
const uint32_t kHelloPeriodMicros = 29999999;
// Connections accepted but not yet taken by a worker; beyond this the loop leaves new ones in
// the kernel's backlog, so a connection flood cannot grow memory without bound.
const int kMaxWaitingConnections = 64;
// How long the loop stops polling the listening socket when accepting fails for want of
// descriptors or memory; the connection stays queued in the kernel meanwhile.
const long kAcceptPauseMicros = 100000;
// A turn's wait while the loop is not accepting, so that accepting resumes soon.
const long kThrottledWaitMicros = 10000;
// A peer that connects and sends nothing is not handed to the loop for this long (the
// kernel's deferred accept), so idle connections cost no worker.
const int kDeferAcceptSeconds = 30;
// The listen backlog. The kernel counts the connections it defers against it too; once they
// fill it, further handshakes complete by SYN cookie, which cannot be deferred, so idle peers
// reach the workers and each holds one for the request deadline while new clients queue
// behind them (100 let 150 idle peers delay a new client by 18 s). The kernel caps it at
// net.core.somaxconn, 4096 by default; a deferred connection costs it a few hundred bytes.
const int kListenBacklog = 4096;
// At stop, how long connections being served and action commands may still take before they
// are ended, how long commands and actions get between SIGTERM and SIGKILL, and how long after
// the first SIGKILL stopping gives up on what is left: only a process that left its command's
// process group outlives SIGKILL. Stopping takes at most the sum, 7 s.
const std::chrono::milliseconds kStopGrace(3000);
const std::chrono::milliseconds kCommandPatience(2000);
const std::chrono::milliseconds kKillPatience(2000);
// Commands can start while the stop is under way: one queued behind an ended one on the same
// plug-in, and one that is listed just after a round of signals went out (commands start
// without a lock). So the signals are repeated this often while anything runs.
const std::chrono::milliseconds kSignalRepeat(50);

// Nothing a plug-in, an action set or a datagram does may end the main loop.
template <typename F>
void Guarded(const std::string& what, F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        Logger::GetInstance()->Log(Logger::eError, "error while " + what + ": " + e.what());
    } catch (...) {
        Logger::GetInstance()->Log(Logger::eError, "error while " + what);
    }
}

}  // namespace

CorvaneCore::CorvaneCore() try
    : plugins(),
      wsdd(new WsddTargetService()),
      connections_(),
      executor(WorkerCount(), boost::function<void()>(&InstallSignalHandlerOnWorker)),
      userStore(),
      host_{plugins, boost::bind(&SQLite::Login, &userStore, boost::placeholders::_1, boost::placeholders::_2),
            connections_}
{
    SetDownloadWorkers(WorkerCount());
    int n = RegisterPlugins();
    Logger::GetInstance()->Log(Logger::eInfo, "registered " + std::to_string(n) + " plugins");
} catch (const WsddTargetServiceConstructionException& e) {
    throw CorvaneCoreConstructionException(e.what());
}

CorvaneCore::~CorvaneCore()
{
    // Tasks still running use the bookkeeping members declared after the pool.
    executor.stop();
}

int CorvaneCore::RegisterPlugins()
{
    std::string dir;
    CorvaneConfig::GetInstance()->GetConfigValue("plugin_dir", dir);
    DIR* d = opendir(dir.c_str());
    if (!d) {
        Logger::GetInstance()->Log(Logger::eError, "could not open directory " + dir + ": " + strerror(errno));
        return 0;
    }
    int count = 0;
    while (struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name.size() < 3 || name.compare(name.size() - 3, 3, CONFIG_EXT) != 0)
            continue;
        const std::string path = dir + "/" + name;
        try {
            std::unique_ptr<Plugin> plugin(new Plugin(path));
            WsddTargetService* discovery = wsdd.get();
            plugin->addListener("InvalidateNodeInfo", [discovery](std::string) { discovery->SendHello(); });
            const std::string key = plugin->GetName();
            plugins.emplace(key, std::move(plugin));
            ++count;
        } catch (const std::exception& e) {
            Logger::GetInstance()->Log(Logger::eError,
                                       "exception while trying to create plugin from " + path + ": " + e.what());
        }
    }
    closedir(d);
    return count;
}

bool CorvaneCore::StopServing()
{
    using Clock = std::chrono::steady_clock;
    stopping_.store(true);
    // Workers finish the task they run and take no other.
    executor.close();
    if (!WaitIdle(Clock::now() + kStopGrace)) {
        Logger::GetInstance()->Log(Logger::eWarn, executor.running() > 0 ? "ending the connections still being served"
                                                                         : "ending the action commands still running");
        connections_.ShutDownAll();
        // A process that left its command's group can hold the output open for ever: with the
        // first SIGKILL the workers stop reading it and waiting for it.
        const Clock::time_point killAt = Clock::now() + kCommandPatience;
        const Clock::time_point giveUpAt = killAt + kKillPatience;
        while (!WaitIdle(std::min(Clock::now() + kSignalRepeat, giveUpAt))) {
            const Clock::time_point now = Clock::now();
            if (now >= giveUpAt) {
                std::size_t actions = 0;
                for (auto& entry : plugins)
                    actions += entry.second->CollectActionChildren();
                const std::size_t connections = executor.running();
                Logger::GetInstance()->Log(
                    Logger::eError, "stopping without " + std::to_string(connections) +
                                        " connections and " + std::to_string(actions) +
                                        " action commands that did not end after SIGKILL");
                if (connections > 0)
                    return false;
                break;
            }
            if (now < killAt) {
                CommandProcess::SignalAll(SIGTERM);
            } else {
                CommandProcess::SignalAll(SIGKILL);
                CommandProcess::AbandonAll();
            }
        }
    }
    // Queued connections are released here, each deleting its server unserved, so that none
    // keeps the core alive past main's release.
    executor.stop();
    return true;
}

bool CorvaneCore::WaitIdle(std::chrono::steady_clock::time_point until)
{
    if (!executor.waitIdle(until))
        return false;
    std::size_t actions = 0;
    for (auto& entry : plugins)
        actions += entry.second->CollectActionChildren(until);
    return actions == 0;
}

boost::shared_ptr<ServiceHost> CorvaneCore::Host()
{
    return boost::shared_ptr<ServiceHost>(shared_from_this(), &host_);
}

void CorvaneCore::Post(boost::function<void()> task)
{
    connections_.Queued();
    ConnectionRegistry* connections = &connections_;
    executor.post([connections, task] {
        connections->Taken();
        task();
    });
}

int CorvaneCore::run()
{
    CorvaneSoap::SoapContext owner(soap_new1(SOAP_C_UTFSTRING));
    if (!owner)
        throw std::runtime_error("could not create the SOAP server context");
    struct soap* ctx = owner.get();
    ctx->recv_timeout = 60;
    ctx->send_timeout = 60;
    ctx->accept_timeout = 3600;
    ctx->bind_flags = SO_REUSEADDR;
    ctx->max_keep_alive = 100;
    // A client that closes early must cost an error on its connection, never SIGPIPE.
    ctx->socket_flags = MSG_NOSIGNAL;

    std::string portText;
    if (!CorvaneConfig::GetInstance()->GetConfigValue("port", portText))
        return 1;
    int port = 0;
    if (!ParsePortNumber(portText, port)) {
        Logger::GetInstance()->Log(Logger::eError, "invalid port '" + portText + "': not a number from 1 to 65535");
        return 1;
    }

    if (!soap_valid_socket(soap_bind(ctx, nullptr, port, kListenBacklog))) {
        CorvaneSoap::LogSoapFault(ctx);
        return ctx->error;
    }
    AcceptHook acceptHook(ctx);
    const int deferSeconds = kDeferAcceptSeconds;
    setsockopt(ctx->master, IPPROTO_TCP, TCP_DEFER_ACCEPT, &deferSeconds, sizeof deferSeconds);

    struct timeval wait = {1, 0};
    uint32_t actionCounter = 0;
    uint32_t helloCounter = 0;
    const int wsddFd = wsdd->GetServerFd();
    // Microseconds of waiting left before the listening socket is polled again after a
    // failed accept; the episode's error line is written once.
    long acceptPause = 0;
    bool acceptFailing = false;
    // The SOAP socket was readable in a turn that served discovery: it goes first next turn.
    bool soapDeferred = false;

    while (!GlobalExit.load()) {
        const bool listening = acceptPause <= 0 && connections_.Waiting() < kMaxWaitingConnections;
        if (!listening) {
            const long cap = acceptPause > 0 ? std::min(acceptPause, 1000000L) : kThrottledWaitMicros;
            wait.tv_sec = cap / 1000000;
            wait.tv_usec = cap % 1000000;
        }
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(wsddFd, &readSet);
        if (listening)
            FD_SET(ctx->master, &readSet);
        int maxFd = std::max(wsddFd, static_cast<int>(ctx->master));
        const long planned = wait.tv_sec * 1000000L + wait.tv_usec;
        if (select(maxFd + 1, &readSet, nullptr, nullptr, &wait) == -1) {
            // A signal cuts the wait short (a stop signal has set the flag by then); a debugger
            // does too. Only another failure ends the loop. Either way the set says nothing.
            if (errno != EINTR) {
                Logger::GetInstance()->Log(Logger::eError, std::string("select failed: ") + std::strerror(errno));
                GlobalExit.store(true);
            }
            FD_ZERO(&readSet);
        }
        const uint32_t waited = static_cast<uint32_t>(planned - (wait.tv_sec * 1000000L + wait.tv_usec));
        if (acceptPause > 0)
            acceptPause -= std::max<long>(waited, 1);

        const bool discoveryReady = FD_ISSET(wsddFd, &readSet);
        const bool soapReady = listening && FD_ISSET(ctx->master, &readSet);
        if (discoveryReady) {
            Guarded("serving discovery", [this] { wsdd->Dispatch(); });
        }
        if (soapReady && discoveryReady && !soapDeferred) {
            soapDeferred = true;
        } else if (soapReady) {
            soapDeferred = false;
            SOAP_SOCKET accepted;
            {
                AcceptHook::Turn turn(acceptHook);
                accepted = soap_accept(ctx);
            }
            if (soap_valid_socket(accepted)) {
                if (acceptFailing)
                    Logger::GetInstance()->Log(Logger::eInfo, "accepting connections again");
                acceptFailing = false;
                boost::function<void()> task = MakeConnectionTask(*ctx, Host(), &stopping_);
                // The listening context must not close the socket it handed over.
                ctx->socket = SOAP_INVALID_SOCKET;
                Post(task);
            } else if (ctx->errnum == 0) {
                Logger::GetInstance()->Log(Logger::eError, "Server timed out");
                break;
            } else {
                const int error = ctx->errnum;
                const bool exhausted = error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
                if (!exhausted || !acceptFailing)
                    CorvaneSoap::LogSoapFault(ctx, exhausted ? " (not accepting for a while)" : "");
                if (exhausted) {
                    acceptFailing = true;
                    acceptPause = kAcceptPauseMicros;
                }
            }
        }

        actionCounter += waited;
        if (actionCounter > kActionSetPeriodMicros) {
            for (auto& entry : plugins)
                Guarded("running the action sets of " + entry.first, [&entry] { entry.second->ExecuteActionsSets(); });
            actionCounter = 0;
        }
        helloCounter += waited;
        if (helloCounter > kHelloPeriodMicros) {
            Guarded("sending Hello", [this] { wsdd->SendHello(); });
            helloCounter = 0;
        }
        wait.tv_sec = 1;
        wait.tv_usec = 0;
    }
    return 0;
}
