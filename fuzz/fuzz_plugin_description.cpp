// A plug-in description file through Plugin construction and the per-token-list variants:
// a rejected file must throw PluginConstructionException and nothing else; an accepted one
// must build each variant, twice from the cache with the same text.
#include <cstdint>
#include <string>
#include <vector>

#include <libxml++/exceptions/exception.h>

#include "FuzzSupport.h"
#include "auth/User.h"
#include "plugins/Plugin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchFile file(".xml");
    static const std::vector<std::vector<std::string>> tokenLists = {
        {}, TOKEN_LIST_ANY, TOKEN_LIST_AUTHED, {"*", "AUTHED", "admin"},
        {"*", "AUTHED", "operator", "operator", "service"}};

    const std::string& path = file.Write(data, size);
    std::unique_ptr<Plugin> plugin;
    try {
        plugin.reset(new Plugin(path));
    } catch (const PluginConstructionException&) {
        return 0;
    }
    for (const std::vector<std::string>& tokens : tokenLists) {
        try {
            const std::string first = plugin->GetConfigContents(tokens);
            if (plugin->GetConfigContents(tokens) != first)
                fuzz::Fail("cached variant text differs from the first build");
            plugin->getVariant(tokens);
        } catch (const xmlpp::exception&) {
            // A variant that cannot be built is reported this way and left uncached.
        }
    }
    for (const char* command : {"get", "set", "*", ""}) {
        try {
            plugin->GetCommandMapping(command);
        } catch (const std::out_of_range&) {
        } catch (const xmlpp::exception&) {
        }
    }
    return 0;
}
