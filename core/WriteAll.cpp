#include "core/WriteAll.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace {

const int kRoomWaitMillis = 100;

}  // namespace

bool WriteAll(int fd, const char* data, std::size_t size, const std::function<bool()>& carryOn)
{
    while (size > 0) {
        if (carryOn && !carryOn()) {
            errno = ECANCELED;
            return false;
        }
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0) {
            errno = EIO;
            return false;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd room = {fd, POLLOUT, 0};
            ::poll(&room, 1, kRoomWaitMillis);
        } else if (errno != EINTR) {
            return false;
        }
    }
    return true;
}
