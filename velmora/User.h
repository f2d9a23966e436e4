// The current user's desktop and per-user data directories.
// Static functions only; any thread.
#pragma once

#include <string>

namespace velmora {

class User {
public:
    // $HOME as the shell sees it, with "/Desktop/"; empty when the shell cannot run.
    static std::wstring desktopPath();
    // The effective user's home directory with a trailing slash; empty when it has no entry.
    static std::wstring applicationDataPath();
};

} // namespace velmora
