// The process's one VMCI socket device descriptor: opened on first use, shared by every VMCI
// endpoint, kept open after a successful family request. Any thread; one mutex guards
// the descriptor and the installed backend.
#pragma once

#include <cstdint>

namespace velmora {
namespace network {

class VmciDevice {
public:
    // The system calls behind the device, replaceable so that tests need no driver.
    class Backend {
    public:
        virtual ~Backend() = default;
        // A descriptor, or -1.
        virtual int Open(char const* path) = 0;
        // The request's own result: -1 on failure.
        virtual int RequestFamily(int fd, std::int32_t* family) = 0;
        virtual void Close(int fd) = 0;
    };

    // The address family the driver reports; 0xFFFF when no device opens, otherwise the
    // low 16 bits of a negative answer (-1 when the request failed).
    static unsigned short AddressFamily();

    // Installs a backend (nullptr: the system's) after closing a descriptor held through the
    // previous one. The backend must outlive its use.
    static void SetBackend(Backend* backend);
};

} // namespace network
} // namespace velmora
