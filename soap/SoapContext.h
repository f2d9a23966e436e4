// Owning handle and small helpers for a bare gSOAP runtime context, shared by the code that
// holds one: the main loop's listener, the discovery sockets and a connection's copy. The
// handle belongs to whoever holds it; the helpers keep no state and act on the caller's context.
#pragma once

#include <memory>
#include <string>

struct soap;

namespace CorvaneSoap {

// Frees what the context allocated (objects, then data), then the context itself.
struct SoapContextDeleter {
    void operator()(struct soap* ctx) const;
};
using SoapContext = std::unique_ptr<struct soap, SoapContextDeleter>;

// Logs the context's current fault as an error line, with `suffix` appended.
void LogSoapFault(struct soap* ctx, const std::string& suffix = std::string());

// Keeps the descriptor out of the plug-in commands' children; a negative one is ignored.
void SetCloseOnExec(int fd);

}  // namespace CorvaneSoap
