#include "soap/SoapContext.h"

#include <fcntl.h>

#include <stdsoap2.h>

#include "core/Logger.h"

namespace CorvaneSoap {

void SoapContextDeleter::operator()(struct soap* ctx) const
{
    soap_destroy(ctx);
    soap_end(ctx);
    soap_free(ctx);
}

void LogSoapFault(struct soap* ctx, const std::string& suffix)
{
    char text[1024];
    soap_sprint_fault(ctx, text, sizeof text);
    text[sizeof text - 1] = '\0';
    Logger::GetInstance()->Log(Logger::eError, text + suffix);
}

void SetCloseOnExec(int fd)
{
    if (fd < 0)
        return;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace CorvaneSoap
