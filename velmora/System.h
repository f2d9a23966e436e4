// Starts external programs on threads of their own and opens files with the desktop's program.
// Static functions only; any thread. Each started program is waited for by its own thread,
// so no exited child stays unreaped.
#pragma once

#include <string>
#include <vector>

namespace velmora {

class System {
public:
    // Handed to the worker thread, which owns and deletes it.
    struct SysShellInfo {
        std::wstring command;
        std::wstring arguments;
    };

    // The first flag has no effect. Blocking waits until the program has ended.
    static void executeShellCommand(std::wstring const& command, std::wstring const& arguments,
                                    bool const& flag, bool const& blocking);
    // Forwards to openWithDefaultProgram; throws as it does.
    static void executeShellCommand(std::wstring const& path, bool const& flag, bool const& blocking);

    // Reports nothing: a thread or program that cannot start is silent.
    static void doShellExecute(std::wstring const& command, std::wstring const& arguments,
                               bool const& flag, bool const& blocking);
    // Thread body: runs the program of the SysShellInfo, deletes it and ends the thread.
    static void* threadShellExecute(void* info);
    // Runs the program and waits for it; its exit status is not used.
    static void forkProcess(SysShellInfo const& info);
    // Command-line splitting with double quotes and backslashes; appends to `words`.
    static void parseArguments(std::string const& text, std::vector<std::string>& words);

    // Throws velmora::Exception::Generic when blocking is set or no program is found.
    static void openWithDefaultProgram(std::wstring const& path, bool const& flag, bool const& blocking);
};

} // namespace velmora
