// One WS-Discovery datagram at a time through the target service's serve path: sent to the
// group on loopback, then served by Dispatch. Needs a private network namespace with
// multicast on lo and a writable /var/lib/corvane (run.sh provides both).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "core/CorvaneConfig.h"
#include "discovery/WsddTargetService.h"

namespace {

// Never destroyed: its Bye at exit would read the configuration after it is gone.
WsddTargetService* service = nullptr;
int sender = -1;

void Drain()
{
    char buffer[65536];
    while (::recv(sender, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string path = fuzz::TempDir() + "/corvane_fuzz_wsdd_" + std::to_string(::getpid()) + ".ini";
    std::ofstream(path) << "[backend]\nport = 8083\n[global]\nmcast_if = lo\n";
    if (!CorvaneConfig::GetInstance()->ParseConfig(path))
        fuzz::Fail("cannot parse the configuration");
    ::unlink(path.c_str());
    service = new WsddTargetService();

    sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(sender, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        fuzz::Fail("cannot bind the sender");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65000)
        return 0;
    sockaddr_in group{};
    group.sin_family = AF_INET;
    group.sin_port = htons(3702);
    group.sin_addr.s_addr = ::inet_addr("239.255.255.250");
    if (::sendto(sender, data, size, 0, reinterpret_cast<sockaddr*>(&group), sizeof group) < 0)
        fuzz::Fail("sendto group failed");
    pollfd ready{service->GetServerFd(), POLLIN, 0};
    if (::poll(&ready, 1, 1000) <= 0)
        fuzz::Fail("datagram never reached the listener");
    service->Dispatch();
    Drain();
    return 0;
}
