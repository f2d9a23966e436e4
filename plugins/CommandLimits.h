#pragma once
// What one plug-in command may cost the daemon: the output it may send for one answer, and
// how long its caller may hold a worker while waiting for the plug-in's previous command.
// Plugin::ExecPluginAndWait applies both; the SOAP server names the wait in its answer.
#include <chrono>
#include <cstddef>

namespace CommandLimits {

// Output read from one command. Real outputs are a few KiB (a "getall" of every parameter);
// beyond this the command is ended and answered with a fault, so a plug-in that writes
// without end cannot take the daemon's memory.
constexpr std::size_t kMaxOutputBytes = 16 * 1024 * 1024;
// A caller that has waited this long for a busy plug-in gives its worker up, with 503, while
// other connections wait for one. Commands take milliseconds: their callers never wait this
// long, while one slow or hung command cannot keep every worker behind it.
constexpr std::chrono::seconds kBusyPatience(1);
// Retry-After of that answer.
constexpr std::chrono::seconds kBusyRetryAfter(1);

}  // namespace CommandLimits
