#pragma once
// The one core object: owns the plug-in registry, the discovery service, the worker pool and
// the user store. Built and run on the main thread; worker threads only read the registry and
// call copies of the authentication function. Members are declared in start order, so
// destruction runs it backwards.
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include <boost/enable_shared_from_this.hpp>
#include <boost/function.hpp>

#include "auth/SQLite.h"
#include "auth/User.h"
#include "core/ExecutorService.h"
#include "plugins/Plugin.h"

extern const std::string CONFIG_EXT;

class WsddTargetService;

class CorvaneCoreConstructionException : public std::runtime_error {
public:
    explicit CorvaneCoreConstructionException(const std::string& what) : std::runtime_error(what) {}
};

class CorvaneCore : public boost::enable_shared_from_this<CorvaneCore> {
public:
    typedef std::map<std::string, std::unique_ptr<Plugin>> PluginMap;
    typedef boost::function<User(std::string, std::string)> AuthFunction;

    // Throws CorvaneCoreConstructionException when the discovery service cannot be built;
    // other failures (SQLAuthException) pass unchanged.
    CorvaneCore();
    virtual ~CorvaneCore();

    // The main loop; must be called on a core owned by a boost::shared_ptr.
    int run();

    // Stops the worker pool: queued connections are dropped, those being served and the
    // action commands still running get a short grace period to finish; after it the sockets
    // are shut down, every command's process group is ended and the workers stop reading what
    // a command left behind, so that stopping never waits on a peer or a plug-in. Called by
    // main once run returns, so that the core is released on the main thread.
    void StopServing();

    // Whether a worker waiting for a busy plug-in should give its place to a connection that
    // waits for a worker; true claims that place, so that one waiting connection frees one
    // worker. Any thread.
    bool YieldWorker();

    // A connection being served on a worker, known so that StopServing can end it; `key` is
    // its server. Any thread.
    void ConnectionOpened(const void* key, int socket);
    void ConnectionClosed(const void* key);

    const PluginMap& getPlugins() const { return plugins; }
    AuthFunction getAuthFunction() { return authFunction; }

private:
    int RegisterPlugins();
    // Posts a connection's task, counting it while it waits and while it runs.
    void Post(boost::function<void()> task);
    // Until no connection is served and no action command runs, or `patience` has passed.
    bool WaitIdle(std::chrono::milliseconds patience);

    PluginMap plugins;
    // Held through a pointer so that this header never brings the discovery binding's
    // generated declarations next to the service binding's.
    std::unique_ptr<WsddTargetService> wsdd;
    ExecutorService executor;
    SQLite userStore;
    AuthFunction authFunction;
    std::atomic<bool> stopping_{false};
    // Connection tasks posted but not started, and started but not finished.
    std::atomic<int> waiting_{0};
    std::atomic<int> busy_{0};
    // Workers given up for waiting connections that no task has taken yet.
    std::atomic<int> yielded_{0};
    std::mutex connectionsMutex_;
    std::map<const void*, int> connections_;
};
