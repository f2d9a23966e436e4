#pragma once
// One plug-in: the model read from its description file, its per-token-list variants, and
// the runner of its executable. Owned by the core's registry for the daemon's life. Commands
// run on worker threads under the plug-in's mutex; action sets run on the main thread; the
// cache lock guards the variant cache and the description copy and is always taken after the
// plug-in's mutex when both are held.
#include <chrono>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/regex.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/unordered_map.hpp>
#include <boost/unordered_set.hpp>

#include "plugins/ActionSet.h"
#include "plugins/CommandProcess.h"
#include "plugins/NoSuchAttributeException.h"
#include "plugins/PluginConstructionException.h"
#include "plugins/Variant.h"

namespace xmlpp {
class Document;
class Node;
}  // namespace xmlpp

class Plugin : private boost::noncopyable {
public:
    typedef boost::function<void(std::string)> Listener;
    // Asked while a caller waits for the plug-in past CommandLimits::kBusyPatience, again
    // every few milliseconds: true when its worker is wanted for another connection.
    typedef boost::function<bool()> YieldQuery;

    // Reads the description file; throws PluginConstructionException on every failure, and
    // then nothing of the plug-in remains.
    explicit Plugin(const std::string& descriptionPath);
    virtual ~Plugin();

    const std::string& GetName() const { return name_; }
    const std::string& GetVersion() const { return version_; }
    const std::string& GetProtocolVersion() const { return protocolVersion_; }
    const std::list<ActionSet>& GetActionSetList() const { return actionSets_; }

    // Parameter ids declared in the whole document of `node`, document order, duplicates kept.
    std::list<std::string> GatherAllParameter(const xmlpp::Node& node) const;

    // The cached variant of a token list, built on first use (at most once per list).
    // Throws xmlpp::exception when building fails; nothing is cached then.
    const Variant& getVariant(const std::vector<std::string>& tokens) const;
    const std::string& GetConfigContents(const std::vector<std::string>& tokens) const;
    // Command word that the timer runs for an action's command name, as seen with the token
    // "*" only: the first command element of that name, action sets' own included (callers'
    // command maps hold only the commands declared outside them). std::out_of_range if absent.
    std::string GetCommandMapping(std::string command);
    // Whether the id (type.instance.name generalised to type.*.name) is permitted for the
    // command; std::out_of_range when the map lacks the command.
    bool checkParameter(const CommandMap& commands, const std::string& command,
                        const std::string& parameter);

    // Runs one command to its end and returns its kept output lines, each ending in "\n".
    // Throws std::out_of_range (nothing started) when the caller's variant lacks the command;
    // PluginBusyException (nothing started) when `yieldWorker` gave the wait up;
    // PluginCommandException when the command could not be run, its output passed
    // CommandLimits::kMaxOutputBytes or it was abandoned at stop.
    std::string ExecPluginAndWait(const std::string& command, const std::string& parameters,
                                  const std::vector<std::string>& tokens,
                                  const YieldQuery& yieldWorker = YieldQuery());
    void addListener(const std::string& event, const Listener& listener);
    void trigger(const std::string& event);

    // Starts the due actions of every set without waiting for them, and collects earlier
    // action children that have ended. Main thread only.
    void ExecuteActionsSets();
    // Same with the current time supplied by the caller.
    void ExecuteActionsSets(long now);
    // Starts the executable with the argument words in a child process and returns at once.
    void ExecPluginAndContinue(std::list<std::string>& arguments);
    // Non-blocking: collects the action children that have ended, logging a failed status;
    // how many still run. Main thread only.
    std::size_t CollectActionChildren();
    // The same, waiting for them until `until`.
    std::size_t CollectActionChildren(std::chrono::steady_clock::time_point until);

private:
    // One cached token list: the variant and what the caller cannot see beyond it.
    struct VariantEntry {
        Variant variant;
        // The permitted ids of the command map by command, hashed: output lines are checked
        // against them one by one.
        boost::unordered_map<std::string, boost::unordered_set<std::string>> permitted;
        // "type.instance." of every declared instance hidden from the token list.
        boost::unordered_set<std::string> hiddenInstances;
        // Command name to command word for the timer; filled for TOKEN_LIST_ANY only.
        boost::unordered_map<std::string, std::string> timerWords;
    };

    const VariantEntry& getEntry(const std::vector<std::string>& tokens) const;
    // checkParameter, and for an id of a declared instance hidden from the caller always false.
    bool Permitted(const VariantEntry& entry, const std::string& command, const std::string& parameter);
    std::string ParsePluginCfg(const xmlpp::Node* root);
    std::string ParseExecutableCfg(const xmlpp::Node* root);
    std::string ParseActionCfg(const xmlpp::Node* root);
    void createConfigVariant(const std::vector<std::string>& tokens) const;
    // Shell line: executable path and command word as the description has them, then the
    // caller's words, each quoted so that the shell only passes them on. False when the
    // caller's text cannot be split into words.
    bool ComposeShellLine(const std::string& word, const std::string& parameters,
                          std::string& line) const;
    bool SetArgumentsPermitted(const VariantEntry& entry, const std::string& command,
                               const std::string& parameters);
    void ExecuteActionSet(ActionSet& set, long now);

    std::string descriptionPath_;
    std::string executablePath_;
    std::string name_;
    std::string version_;
    std::string protocolVersion_;
    std::list<ActionSet> actionSets_;
    std::unique_ptr<xmlpp::Document> description_;
    // Timed, so that a caller can give up waiting for a busy plug-in.
    boost::timed_mutex mutex_;
    mutable boost::unordered_map<std::vector<std::string>, VariantEntry> variantCache_;
    mutable boost::mutex cacheLock_;
    // Compiled once for all plug-ins; a compiled boost::regex may be matched by any number of
    // threads at once.
    static const boost::regex keyPattern_;
    static const boost::regex listPattern_;
    static const boost::regex argumentSeparator_;
    static const boost::regex eventPattern_;
    std::map<std::string, std::list<Listener>> listeners_;
    // Action children not yet collected; main thread only.
    std::list<std::unique_ptr<CommandProcess>> actionChildren_;
};

// The plug-in registry: every plug-in by its name.
typedef std::map<std::string, std::unique_ptr<Plugin>> PluginMap;

// Value of the attribute that the XPath expression finds first from `node`;
// NoSuchAttributeException when it finds nothing or something other than an attribute.
std::string GetNodeAttribute(const xmlpp::Node* node, const std::string& xpath);
// The same, with the empty text where GetNodeAttribute throws.
std::string GetNodeAttributeNonThrow(const xmlpp::Node* node, const std::string& xpath);
