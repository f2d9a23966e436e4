// Reads the whole standard output of a shell command through popen.
// Stateless; callable from any thread.
#pragma once

#include <string>

namespace velmora {

// Appends the output to `output`; false when the command cannot be started.
bool readCommandOutput(const char* command, std::string& output);

} // namespace velmora
