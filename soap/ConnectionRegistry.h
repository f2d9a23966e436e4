#pragma once
// The connections of the worker pool: how many wait for a worker, which are being served (with
// their sockets, so that stopping can end them) and how many workers were given up for waiting
// ones. Owned by the core for its life; the main loop counts what it hands to the pool, the
// workers report the connections they take and serve; any thread. The counts are atomic, one
// mutex guards the sockets.
#include <atomic>
#include <map>
#include <mutex>

class ConnectionRegistry {
public:
    // A connection was handed to the pool.
    void Queued();
    // A worker took a queued connection: it waits no more, and it takes the place a worker gave
    // up for a waiting connection, if there is one.
    void Taken();
    // Connections handed to the pool and not yet taken.
    int Waiting() const { return waiting_.load(); }
    // Whether a worker waiting for a busy plug-in should give its place to a connection that
    // waits for a worker; true claims that place, so that one waiting connection frees one
    // worker.
    bool YieldWorker();

    // A connection being served on a worker; `key` is its server.
    void Opened(const void* key, int socket);
    void Closed(const void* key);
    // Shuts down the socket of every connection being served, so that its worker meets the end
    // at its next read or write; how many.
    int ShutDownAll();

private:
    std::atomic<int> waiting_{0};
    // Workers given up for waiting connections that no worker has taken yet.
    std::atomic<int> yielded_{0};
    std::mutex mutex_;
    std::map<const void*, int> sockets_;
};
