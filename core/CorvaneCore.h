#pragma once
// The one core object: owns the plug-in registry, the discovery service, the connection
// registry, the worker pool and the user store. Built and run on the main thread; worker threads
// only read the plug-in registry, call the login and report their connections. Members are
// declared in start order, so destruction runs it backwards.
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>

#include "auth/SQLite.h"
#include "core/ExecutorService.h"
#include "plugins/Plugin.h"
#include "soap/ConnectionRegistry.h"
#include "soap/ServiceHost.h"

extern const std::string CONFIG_EXT;

class WsddTargetService;

class CorvaneCoreConstructionException : public std::runtime_error {
public:
    explicit CorvaneCoreConstructionException(const std::string& what) : std::runtime_error(what) {}
};

class CorvaneCore : public boost::enable_shared_from_this<CorvaneCore> {
public:
    // Throws CorvaneCoreConstructionException when the discovery service cannot be built;
    // other failures (SQLAuthException) pass unchanged.
    CorvaneCore();
    virtual ~CorvaneCore();

    // The main loop; must be called on a core owned by a boost::shared_ptr.
    int run();

    // Stops the worker pool: queued connections are dropped, those being served and the
    // action commands still running get a short grace period to finish; after it the sockets
    // are shut down, every command's process group is ended and the workers stop reading what
    // a command left behind, so that stopping never waits on a peer or a plug-in. A process
    // that left its command's group is given up on with an error line. Called by main once
    // run returns, so that the core is released on the main thread. False when a worker was
    // still busy at the final bound (in CPU, where no signal reaches it): the pool is then not
    // joined, and the core must not be destroyed while that worker may use it.
    bool StopServing();

    const PluginMap& getPlugins() const { return plugins; }
    // What a connection's server uses of the core; the pointer keeps the core alive. Must be
    // called on a core owned by a boost::shared_ptr.
    boost::shared_ptr<ServiceHost> Host();

private:
    int RegisterPlugins();
    // Posts a connection's task, counting it while it waits.
    void Post(boost::function<void()> task);
    // Until no connection is served and no action command runs, or `until` has passed.
    bool WaitIdle(std::chrono::steady_clock::time_point until);

    PluginMap plugins;
    // Held through a pointer so that this header never brings the discovery binding's
    // generated declarations next to the service binding's.
    std::unique_ptr<WsddTargetService> wsdd;
    ConnectionRegistry connections_;
    ExecutorService executor;
    SQLite userStore;
    ServiceHost host_;
    std::atomic<bool> stopping_{false};
};
