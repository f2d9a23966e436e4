#include "plugins/Plugin.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/wait.h>

#include <chrono>

#include <boost/thread/lock_types.hpp>

#include "core/Logger.h"
#include "core/Utf8.h"
#include "plugins/CommandLimits.h"
#include "plugins/CommandProcess.h"
#include "plugins/PluginBusyException.h"
#include "plugins/PluginCommandException.h"
#include "plugins/ShellWords.h"

namespace {

// How often a caller past its patience asks again whether its worker is wanted elsewhere.
const std::chrono::milliseconds kYieldCheck(20);

boost::chrono::milliseconds ForBoost(std::chrono::milliseconds wait)
{
    return boost::chrono::milliseconds(wait.count());
}

const char* const kNotRun = "Plugin command could not be run";

// Whether the text holds a control character other than tab (Utf8::IsControl) or bytes that
// are not well-formed UTF-8, in which a lax decoder might find one (an overlong line feed, a
// lone C1 byte read as Latin-1).
bool HoldsControlCharacter(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t used = Utf8::Sequence(text, at, cp);
        if (used == 0 || (cp != '\t' && Utf8::IsControl(cp)))
            return true;
        at += used;
    }
    return false;
}

}  // namespace

bool Plugin::ComposeShellLine(const std::string& word, const std::string& parameters,
                              std::string& line) const
{
    // The executable path and the command word are the administrator's shell text and go in
    // as written. The caller's text reaches the shell only as single-quoted words, so it can
    // never become a command, pipe, substitution or redirection; the executable still gets
    // the words the text names.
    std::vector<std::string> parameterWords;
    if (!ShellWords::Split(parameters, parameterWords)) {
        Logger::GetInstance()->Log(Logger::eError, "plugin " + name_ +
                                                       ": unbalanced quote in command line: " +
                                                       word + " " + parameters);
        return false;
    }
    line = executablePath_ + " " + word + " " + ShellWords::QuoteAll(parameterWords);
    return true;
}

bool Plugin::SetArgumentsPermitted(const VariantEntry& entry, const std::string& command,
                                   const std::string& parameters)
{
    Logger* log = Logger::GetInstance();
    std::vector<std::string> arguments;
    for (boost::sregex_token_iterator it(parameters.begin(), parameters.end(), argumentSeparator_, -1), end;
         it != end; ++it)
        arguments.push_back(*it);

    // Text outside the quoted key="value" form reaches the executable as more words than
    // the separator finds, so every word the executable will get is checked as well.
    std::vector<std::string> words;
    if (ShellWords::Split(parameters, words))
        arguments.insert(arguments.end(), words.begin(), words.end());

    for (const std::string& argument : arguments) {
        boost::smatch key;
        if (!boost::regex_search(argument, key, keyPattern_)) {
            log->Log(Logger::eWarn, "could not match line: " + argument);
            return false;
        }
        // A line-based plug-in would store the text after a line end as a line of its own,
        // a key nobody checked; a value XML cannot hold would spoil every later answer that
        // carries it.
        if (HoldsControlCharacter(argument) || !Utf8::IsXmlText(argument) ||
            !Permitted(entry, command, key[1])) {
            log->Log(Logger::eTrace, "Prevented \"set\" operation." + parameters);
            return false;
        }
    }
    return true;
}

std::string Plugin::ExecPluginAndWait(const std::string& command, const std::string& parameters,
                                      const std::vector<std::string>& tokens, const YieldQuery& yieldWorker)
{
    boost::unique_lock<boost::timed_mutex> lock(mutex_, boost::defer_lock);
    if (!lock.try_lock_for(ForBoost(CommandLimits::kBusyPatience))) {
        if (!yieldWorker)
            lock.lock();
        while (!lock.owns_lock()) {
            if (yieldWorker())
                throw PluginBusyException(name_);
            lock.try_lock_for(ForBoost(kYieldCheck));
        }
    }
    Logger* log = Logger::GetInstance();

    const VariantEntry& entry = getEntry(tokens);
    const std::string& word = entry.variant.get<1>().at(command).get<0>();
    log->Log(Logger::eTrace, "exec: " + executablePath_ + " " + word + " " + parameters);

    std::string arguments = parameters;
    std::string data;
    const bool setconfig = command == "setconfig";
    if (setconfig) {
        const std::string::size_type cut = parameters.find('\x17');
        if (cut != std::string::npos) {
            data = parameters.substr(cut + 1);
            arguments = parameters.substr(0, cut);
        }
    } else if (command == "set" && !SetArgumentsPermitted(entry, command, parameters)) {
        return std::string();
    }

    std::string line;
    if (!ComposeShellLine(word, arguments, line))
        return std::string();

    CommandProcess process(line, setconfig ? CommandProcess::eWrite : CommandProcess::eRead);
    if (!process.running()) {
        const int error = errno;
        log->Log(Logger::eError, "problem popen'ing " + executablePath_ + ": " + std::strerror(error));
        throw PluginCommandException(kNotRun);
    }

    std::string result;
    std::size_t outputBytes = 0;
    if (setconfig) {
        process.WriteAll(data);
    } else {
        const bool filtered = command == "get" || command == "getall";
        const bool events = command == "apply";
        auto keep = [&](std::string& text) {
            if (filtered) {
                // A reader of the result may take a CR for a line end, so it ends a line here
                // too, and a hidden key=value cannot follow a permitted one on the same line.
                // CR LF stays one line end.
                if (!text.empty() && text.back() == '\r')
                    text.pop_back();
                std::string::size_type start = 0;
                for (;;) {
                    const std::string::size_type cr = text.find('\r', start);
                    const std::string piece = text.substr(start, cr == std::string::npos ? cr : cr - start);
                    boost::smatch key;
                    if (!boost::regex_search(piece, key, keyPattern_)) {
                        log->Log(Logger::eWarn, "could not match line: " + piece);
                    } else if (Permitted(entry, command, key[1])) {
                        result += piece + "\n";
                    } else {
                        log->Log(Logger::eTrace, "Suppressed line: " + piece);
                    }
                    if (cr == std::string::npos)
                        break;
                    start = cr + 1;
                }
            } else if (events) {
                boost::smatch event;
                if (boost::regex_match(text, event, eventPattern_))
                    trigger(event[1]);
                else
                    result += text + "\n";
            } else {
                result += text + "\n";
            }
        };

        char buffer[64 * 1024];
        std::string text;
        for (;;) {
            const ssize_t n = process.Read(buffer, sizeof buffer);
            if (n < 0 && errno == ECANCELED) {
                log->Log(Logger::eWarn, "plugin " + name_ + ": stopped reading the output of " + command);
                throw PluginCommandException("Plugin command ended");
            }
            if (n <= 0)
                break;
            outputBytes += static_cast<std::size_t>(n);
            if (outputBytes > CommandLimits::kMaxOutputBytes) {
                log->Log(Logger::eError, "plugin " + name_ + ": output of " + command + " exceeds " +
                                             std::to_string(CommandLimits::kMaxOutputBytes) +
                                             " bytes, command ended");
                process.Signal(SIGKILL);
                throw PluginCommandException("Plugin output too large");
            }
            const char* from = buffer;
            const char* const end = buffer + n;
            for (const char* eol; (eol = static_cast<const char*>(std::memchr(from, '\n', end - from)));
                 from = eol + 1) {
                text.append(from, eol);
                keep(text);
                text.clear();
            }
            text.append(from, end);
        }
        if (!text.empty())
            keep(text);
    }

    // The shell's own statuses for a command it could not start; with any output the
    // executable did run, and its status is its own affair.
    const int status = process.Wait();
    if (outputBytes == 0 && WIFEXITED(status) && (WEXITSTATUS(status) == 127 || WEXITSTATUS(status) == 126)) {
        log->Log(Logger::eError, "plugin " + name_ + ": could not run " + executablePath_ + ": " +
                                     (WEXITSTATUS(status) == 127 ? "not found" : "not executable") +
                                     " (status " + std::to_string(WEXITSTATUS(status)) + ")");
        throw PluginCommandException(kNotRun);
    }
    return result;
}

void Plugin::addListener(const std::string& event, const Listener& listener)
{
    listeners_[event].push_back(listener);
}

void Plugin::trigger(const std::string& event)
{
    try {
        const auto found = listeners_.find(event);
        if (found == listeners_.end())
            return;
        for (const Listener& listener : found->second)
            listener(event);
    } catch (const std::out_of_range&) {
        // A listener's lookup failure ends the round quietly.
    }
}
