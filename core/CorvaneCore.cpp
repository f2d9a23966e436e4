#include "core/CorvaneCore.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/select.h>

#include <boost/bind/bind.hpp>
#include <boost/thread/thread.hpp>

#include "core/CorvaneConfig.h"
#include "core/GlobalExit.h"
#include "core/Logger.h"
#include "core/PortNumber.h"
#include "core/Signals.h"
#include "discovery/WsddTargetService.h"
#include "discovery/WsddTargetServiceConstructionException.h"
#include "stdsoap2.h"
#include "soap/ConnectionTask.h"

const std::string CONFIG_EXT = "xml";

namespace {

int WorkerCount()
{
    unsigned n = boost::thread::hardware_concurrency();
    return n == 0 ? 1 : static_cast<int>(n);
}

void InstallSignalHandlerOnWorker() { install_signal_handler(); }

void SetCloseOnExec(int fd)
{
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0)
        fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// A request larger than this is refused before an operation sees it.
const size_t kMaxRequestBytes = 1024 * 1024;
// Deepest XML nesting accepted in a request.
const unsigned kMaxRequestNesting = 64;
// Longest time one request may take to arrive, so a dribbled request frees its worker.
const int kMaxTransferSeconds = 10;

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
      executor(WorkerCount(), boost::function<void()>(&InstallSignalHandlerOnWorker)),
      userStore(),
      authFunction(boost::bind(&SQLite::Login, &userStore, boost::placeholders::_1, boost::placeholders::_2))
{
    int n = RegisterPlugins();
    Logger::GetInstance()->Log(Logger::eInfo, "registered " + std::to_string(n) + " plugins");
} catch (const WsddTargetServiceConstructionException& e) {
    throw CorvaneCoreConstructionException(e.what());
}

CorvaneCore::~CorvaneCore() = default;

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

void CorvaneCore::StopServing()
{
    stopping_.store(true);
    executor.stop();
    // Run what is still queued on this thread: with the flag set each task only deletes its
    // server, so no connection keeps the core alive past main's release.
    executor.ioService.restart();
    executor.ioService.poll();
}

int CorvaneCore::run()
{
    struct soap* ctx = soap_new1(SOAP_C_UTFSTRING);
    if (!ctx)
        throw std::runtime_error("could not create the SOAP server context");
    std::unique_ptr<struct soap, void (*)(struct soap*)> owner(ctx, [](struct soap* s) {
        soap_destroy(s);
        soap_end(s);
        soap_free(s);
    });
    // Every connection gets its own copy of this context, larger than glibc's default mmap
    // threshold; without these each copy is a fresh mmap or heap growth whose page faults make
    // this accepting thread the limit of the request rate.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    mallopt(M_TRIM_THRESHOLD, 16 << 20);
    ctx->recv_timeout = 60;
    ctx->send_timeout = 60;
    ctx->accept_timeout = 3600;
    ctx->bind_flags = SO_REUSEADDR;
    ctx->max_keep_alive = 100;
    // A client that closes early must cost an error on its connection, never SIGPIPE.
    ctx->socket_flags = MSG_NOSIGNAL;
    ctx->recv_maxlength = kMaxRequestBytes;
    ctx->maxlevel = kMaxRequestNesting;
    ctx->transfer_timeout = kMaxTransferSeconds;

    std::string portText;
    if (!CorvaneConfig::GetInstance()->GetConfigValue("port", portText))
        return 1;
    int port = 0;
    if (!ParsePortNumber(portText, port)) {
        Logger::GetInstance()->Log(Logger::eError, "invalid port '" + portText + "': not a number from 1 to 65535");
        return 1;
    }

    if (!soap_valid_socket(soap_bind(ctx, nullptr, port, 100))) {
        char buf[1024];
        soap_sprint_fault(ctx, buf, sizeof buf);
        Logger::GetInstance()->Log(Logger::eError, buf);
        return ctx->error;
    }
    SetCloseOnExec(ctx->master);

    struct timeval wait = {1, 0};
    uint32_t actionCounter = 0;
    uint32_t helloCounter = 0;
    const int wsddFd = wsdd->GetServerFd();

    while (!GlobalExit.load()) {
        fd_set readSet;
        FD_ZERO(&readSet);
        FD_SET(wsddFd, &readSet);
        FD_SET(ctx->master, &readSet);
        int maxFd = std::max(wsddFd, static_cast<int>(ctx->master));
        if (select(maxFd + 1, &readSet, nullptr, nullptr, &wait) == -1)
            GlobalExit.store(true);

        if (FD_ISSET(wsddFd, &readSet)) {
            Guarded("serving discovery", [this] { wsdd->Dispatch(); });
        } else if (FD_ISSET(ctx->master, &readSet)) {
            if (soap_valid_socket(soap_accept(ctx))) {
                SetCloseOnExec(ctx->socket);
                boost::function<void()> task = MakeConnectionTask(*ctx, shared_from_this(), &stopping_);
                // The listening context must not close the socket it handed over.
                ctx->socket = SOAP_INVALID_SOCKET;
                executor.ioService.post(task);
            } else if (ctx->errnum == 0) {
                Logger::GetInstance()->Log(Logger::eError, "Server timed out");
                break;
            } else {
                char buf[1024];
                soap_sprint_fault(ctx, buf, sizeof buf);
                Logger::GetInstance()->Log(Logger::eError, buf);
            }
        }

        const uint32_t waited = 1000000u - static_cast<uint32_t>(wait.tv_sec * 1000000 + wait.tv_usec);
        actionCounter += waited;
        if (actionCounter > 99999) {
            for (auto& entry : plugins)
                Guarded("running the action sets of " + entry.first, [&entry] { entry.second->ExecuteActionsSets(); });
            actionCounter = 0;
        }
        helloCounter += waited;
        if (helloCounter > 29999999) {
            Guarded("sending Hello", [this] { wsdd->SendHello(); });
            helloCounter = 0;
        }
        wait.tv_sec = 1;
        wait.tv_usec = 0;
    }
    return 0;
}
