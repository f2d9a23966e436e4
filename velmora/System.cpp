#include "velmora/System.h"

#include "velmora/CommandOutput.h"
#include "velmora/Exception.h"
#include "velmora/FileOperations.h"
#include "velmora/Utilities.h"

#include <pthread.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <exception>

namespace velmora {

namespace {

const wchar_t* const kGnomePrograms[] = {L"/usr/bin/gnome-open", L"/opt/gnome/bin/gnome-open"};
const wchar_t* const kKdePrograms[] = {L"/usr/bin/kfmclient", L"/opt/kde3/bin/kfmclient"};

// Each wide character keeps only its low eight bits.
std::string narrowBytes(std::wstring const& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        out.push_back(static_cast<char>(static_cast<unsigned long>(c) & 0xFF));
    return out;
}

bool fileExists(std::wstring const& path)
{
    try {
        return FileOperations::CheckF(path);
    } catch (Exception::Generic const&) {
        return false;
    }
}

} // namespace

void System::executeShellCommand(std::wstring const& command, std::wstring const& arguments,
                                 bool const& flag, bool const& blocking)
{
    doShellExecute(command, arguments, flag, blocking);
}

void System::executeShellCommand(std::wstring const& path, bool const& flag, bool const& blocking)
{
    openWithDefaultProgram(path, flag, blocking);
}

void System::doShellExecute(std::wstring const& command, std::wstring const& arguments,
                            bool const& /*flag*/, bool const& blocking)
{
    SysShellInfo* info = new SysShellInfo{command, arguments};
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &System::threadShellExecute, info) != 0) {
        delete info;
        return;
    }
    if (blocking)
        pthread_join(thread, nullptr);
    else
        pthread_detach(thread);
}

void* System::threadShellExecute(void* argument)
{
    SysShellInfo* info = static_cast<SysShellInfo*>(argument);
    try {
        forkProcess(*info);
    } catch (std::exception const&) {
        // Nothing is reported; an exception must not end the process from this thread.
    }
    delete info;
    pthread_exit(nullptr);
}

void System::forkProcess(SysShellInfo const& info)
{
    // Everything the child needs exists before fork: after it, only async-signal-safe calls.
    const std::string command = narrowBytes(info.command);
    std::vector<std::string> words;
    words.push_back(command);
    parseArguments(narrowBytes(info.arguments), words);
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        if (geteuid() == 0 && getuid() != 0 && setuid(0) != 0) {
            // The program then runs with the ids it had.
        }
        execv(command.c_str(), argv.data());
        _exit(255);
    }
    if (pid > 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

void System::parseArguments(std::string const& text, std::vector<std::string>& words)
{
    std::string word;
    bool inQuotes = false;
    std::string::size_type backslashes = 0;
    auto flushBackslashes = [&]() {
        word.append(backslashes, '\\');
        backslashes = 0;
    };
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
        } else if (c == '"') {
            if (backslashes > 0) {
                const bool odd = backslashes % 2 == 1;
                word.append(backslashes / 2, '\\');
                backslashes = 0;
                if (odd)
                    word.push_back('"');
                else
                    inQuotes = !inQuotes;
            } else {
                inQuotes = !inQuotes;
            }
        } else if ((c == ' ' || c == '\t') && !inQuotes) {
            flushBackslashes();
            words.push_back(word);
            word.clear();
        } else {
            flushBackslashes();
            word.push_back(c);
        }
    }
    flushBackslashes();
    if (!word.empty())
        words.push_back(word);
}

void System::openWithDefaultProgram(std::wstring const& path, bool const& flag, bool const& blocking)
{
    if (blocking)
        throw Exception::Generic("openWithDefaultProgram: parameter blocking not implemented.");
    std::string sessions;
    if (readCommandOutput("ps -e | grep gnome-session", sessions)) {
        if (!sessions.empty()) {
            for (const wchar_t* program : kGnomePrograms) {
                if (fileExists(program)) {
                    doShellExecute(program, path, flag, blocking);
                    return;
                }
            }
        }
        for (const wchar_t* program : kKdePrograms) {
            if (fileExists(program)) {
                doShellExecute(program, L"\"exec\" \"" + path + L"\"", flag, blocking);
                return;
            }
        }
    }
    throw Exception::Generic("Could not find appropriate default program for '"
                             + Utilities::convertWideToNarrowString(path) + "'.");
}

} // namespace velmora
