#pragma once
// Collects the WS-Discovery datagrams multicast on 239.255.255.250:3702 inside the test's
// private network namespace, on a thread of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvane_test {

class MulticastWatcher {
public:
    MulticastWatcher()
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(3702);
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ip_mreq mreq = {};
        mreq.imr_multiaddr.s_addr = inet_addr("239.255.255.250");
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        setsockopt(fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
        thread_ = std::thread([this] { Loop(); });
    }
    ~MulticastWatcher()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    // Datagrams seen so far that contain every one of the texts.
    std::vector<std::string> Matching(const std::vector<std::string>& texts)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const std::string& d : seen_) {
            bool all = true;
            for (const std::string& t : texts)
                all = all && d.find(t) != std::string::npos;
            if (all)
                out.push_back(d);
        }
        return out;
    }

    // Whether every datagram that has arrived so far has been collected.
    bool Drained()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int next = 0;
        return ioctl(fd_, FIONREAD, &next) == 0 && next == 0;
    }

private:
    void Loop()
    {
        char buf[65536];
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            // Taken and kept under the lock, so that Drained() never misses one in between.
            std::lock_guard<std::mutex> lock(mutex_);
            ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                seen_.emplace_back(buf, static_cast<size_t>(n));
        }
    }
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> seen_;
};

}  // namespace corvane_test
