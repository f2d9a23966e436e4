// Readers of the kernel's text files that the discovery service needs: the boot time in
// "/proc/stat" and the default route's interface in "/proc/net/route". Stateless; any thread.
// The path is a parameter so the parsing can be checked on fixture texts.
#pragma once

#include <string>

namespace discovery {

// The number after "btime" in a "/proc/stat" text, or 0 (with a warning) when the file
// cannot be read or holds no boot time. Logs the result at level 5.
unsigned int ReadBootTime(const char* path);

// The interface of the first route with destination 0 in a "/proc/net/route" text; the
// header line is never taken for a route. False when the file cannot be read or holds none.
bool FindDefaultRouteInterface(const char* path, std::string& interfaceName);

} // namespace discovery
