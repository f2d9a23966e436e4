#pragma once
// What one plug-in command may cost the daemon: the output it may send for one answer.
// Plugin::ExecPluginAndWait applies it.
#include <cstddef>

namespace CommandLimits {

// Output read from one command. Real outputs are a few KiB (a "getall" of every parameter);
// beyond this the command is ended and answered with a fault, so a plug-in that writes
// without end cannot take the daemon's memory.
constexpr std::size_t kMaxOutputBytes = 16 * 1024 * 1024;

}  // namespace CommandLimits
