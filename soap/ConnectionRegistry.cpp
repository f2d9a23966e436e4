#include "soap/ConnectionRegistry.h"

#include <sys/socket.h>

void ConnectionRegistry::Queued()
{
    waiting_.fetch_add(1);
}

void ConnectionRegistry::Taken()
{
    waiting_.fetch_sub(1);
    // Whichever worker takes it, a waiting connection got the place one was given up for.
    int yielded = yielded_.load();
    while (yielded > 0 && !yielded_.compare_exchange_weak(yielded, yielded - 1)) {
    }
}

bool ConnectionRegistry::YieldWorker()
{
    int yielded = yielded_.load();
    do {
        if (waiting_.load() <= yielded)
            return false;
    } while (!yielded_.compare_exchange_weak(yielded, yielded + 1));
    return true;
}

void ConnectionRegistry::Opened(const void* key, int socket)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_[key] = socket;
}

void ConnectionRegistry::Closed(const void* key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sockets_.erase(key);
}

int ConnectionRegistry::ShutDownAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : sockets_)
        ::shutdown(entry.second, SHUT_RDWR);
    return static_cast<int>(sockets_.size());
}
