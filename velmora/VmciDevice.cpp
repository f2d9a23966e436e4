#include "velmora/VmciDevice.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>

namespace velmora {
namespace network {

namespace {

char const* const kDevicePaths[] = {"/dev/vsock", "/vmfs/devices/char/vsock/vsock"};
unsigned long const kRequestAddressFamily = 0x7B8;

class SystemBackend : public VmciDevice::Backend {
public:
    int Open(char const* path) override
    {
        // Not inherited by the programs the library starts.
        return ::open(path, O_RDWR | O_CLOEXEC);
    }
    int RequestFamily(int fd, std::int32_t* family) override
    {
        return ::ioctl(fd, kRequestAddressFamily, family);
    }
    void Close(int fd) override { ::close(fd); }
};

struct DeviceState {
    std::mutex mutex;
    SystemBackend system;
    VmciDevice::Backend* backend = &system;
    int fd = -1;
};

DeviceState& state()
{
    static DeviceState s;
    return s;
}

} // namespace

unsigned short VmciDevice::AddressFamily()
{
    DeviceState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fd < 0) {
        for (char const* path : kDevicePaths) {
            s.fd = s.backend->Open(path);
            if (s.fd >= 0)
                break;
        }
        if (s.fd < 0)
            return 0xFFFF;
    }
    std::int32_t family = -1;
    const int rc = s.backend->RequestFamily(s.fd, &family);
    if (rc >= 0 && family >= 0)
        return static_cast<unsigned short>(family);
    s.backend->Close(s.fd);
    s.fd = -1;
    return static_cast<unsigned short>(rc < 0 ? -1 : family);
}

void VmciDevice::SetBackend(Backend* backend)
{
    DeviceState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.fd >= 0)
        s.backend->Close(s.fd);
    s.fd = -1;
    s.backend = backend ? backend : &s.system;
}

} // namespace network
} // namespace velmora
