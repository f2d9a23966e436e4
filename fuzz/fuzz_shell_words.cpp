// Caller text on its way to a plug-in executable. For every text the splitter accepts, the
// quoted line must give back exactly its words, both to the splitter and (every Nth input,
// since it forks) to /bin/sh. Every Nth input also runs the "set" command of a fixture
// plug-in whose executable prints its arguments: if the command runs at all, the executable
// must get exactly "set" and the split words, each a permitted key=value word holding no
// line break or other control character but tab.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "auth/User.h"
#include "plugins/Plugin.h"
#include "plugins/PluginCommandException.h"
#include "plugins/ShellWords.h"

namespace {

const unsigned kEvery = 16;

std::string ShellOutput(const std::string& line)
{
    FILE* pipe = ::popen(("printf '%s\\0' " + line).c_str(), "r");
    if (pipe == nullptr)
        fuzz::Fail("popen failed");
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fileno(pipe), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::pclose(pipe);
    return out;
}

std::string Unhex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

Plugin& SetPlugin()
{
    static std::unique_ptr<Plugin> plugin;
    if (!plugin) {
        std::string pattern = fuzz::TempDir() + "/corvane_fuzz_set_XXXXXX";
        const std::string path = ::mkdtemp(&pattern[0]);
        std::ifstream in(CORVANE_FUZZ_DATA "/set_plugin.xml");
        std::ofstream(path + "/set_plugin.xml") << in.rdbuf();
        if (::symlink(CORVANE_FUZZ_ARGDUMP, (path + "/argdump").c_str()) != 0)
            fuzz::Fail("cannot link the argument printer");
        plugin.reset(new Plugin(path + "/set_plugin.xml"));
    }
    return *plugin;
}

// C0 controls but tab, DEL, C1 controls in UTF-8, LINE and PARAGRAPH SEPARATOR.
bool HasControl(const std::string& word)
{
    for (size_t i = 0; i < word.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        const unsigned char next = i + 1 < word.size() ? static_cast<unsigned char>(word[i + 1]) : 0;
        if ((c < 0x20 && c != '\t') || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F))
            return true;
        if (c == 0xE2 && next == 0x80 && i + 2 < word.size() && (word[i + 2] == '\xA8' || word[i + 2] == '\xA9'))
            return true;
    }
    return false;
}

void CheckSet(const std::string& text, bool splits, const std::vector<std::string>& words)
{
    std::string result;
    try {
        result = SetPlugin().ExecPluginAndWait("set", text, TOKEN_LIST_ANY);
    } catch (const PluginCommandException&) {
        return;  // the executable never ran, so no word reached it
    }
    if (result.empty())
        return;
    std::vector<std::string> received;
    std::istringstream lines(result);
    for (std::string line; std::getline(lines, line);)
        received.push_back(Unhex(line));
    if (!splits)
        fuzz::Fail("a text the splitter rejects still ran the command");
    std::vector<std::string> expected{"set"};
    expected.insert(expected.end(), words.begin(), words.end());
    if (received != expected)
        fuzz::Fail("executable got other words than the splitter produced for: " + fuzz::Escaped(text));
    static const std::set<std::string> permitted{"a", "b"};
    for (size_t i = 1; i < received.size(); ++i) {
        const std::string::size_type eq = received[i].find('=');
        if (eq == std::string::npos || eq == 0 || permitted.count(received[i].substr(0, eq)) == 0)
            fuzz::Fail("executable got a word that is no permitted key=value: " + fuzz::Escaped(received[i]));
        if (HasControl(received[i]))
            fuzz::Fail("executable got a word with a control character: " + fuzz::Escaped(received[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static unsigned count = 0;
    static const bool restarting = fuzz::RestartAfterAlarm();
    (void)restarting;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool hasNul = text.find('\0') != std::string::npos;

    std::vector<std::string> words;
    const bool splits = ShellWords::Split(text, words);
    if (splits) {
        const std::string line = ShellWords::QuoteAll(words);
        std::vector<std::string> again;
        if (!ShellWords::Split(line, again) || again != words)
            fuzz::Fail("split of the quoted line differs for: " + fuzz::Escaped(text));
        // A NUL cannot travel in a command line at all; those texts never reach sh.
        if (!hasNul && !words.empty() && count % kEvery == 0) {
            std::string expected;
            for (const std::string& w : words)
                expected += w + '\0';
            const std::string got = ShellOutput(line);
            if (got != expected)
                fuzz::Fail("sh gave other words for: " + fuzz::Escaped(text) + " line: " +
                           fuzz::Escaped(line) + " sh: " + fuzz::Escaped(got));
        }
    }
    if (!hasNul && count % kEvery == 0)
        CheckSet(text, splits, words);
    ++count;
    return 0;
}
