// Fault text for HTTP error codes in the form clients rely on: "HTTP Error: 401 Unauthorized".
// A free function on a caller-owned context; call it on the thread that owns the context.
#pragma once

struct soap;

namespace CorvaneSoap {

// Installs the context's fault-text hook (replacing any other): a fault for an error
// code from 201 to 599 that carries no string of its own gets
// "HTTP Error: <code> <status text>".
void InstallHttpFaultText(struct soap* ctx);

// The HTTP status text the runtime uses in its status line, e.g. "Not Found".
const char* HttpStatusText(int code);

}  // namespace CorvaneSoap
