// The ini parser on arbitrary file contents: parsing must never crash, and a failed parse
// leaves the earlier values in place.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "core/CorvaneConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static fuzz::ScratchFile file(".ini");
    CorvaneConfig* config = CorvaneConfig::GetInstance();
    std::string before;
    const bool had = config->GetConfigValue("backend.port", before);

    const bool parsed = config->ParseConfig(file.Write(data, size));

    std::string value;
    const bool has = config->GetConfigValue("backend.port", value);
    if (!parsed && (has != had || value != before))
        fuzz::Fail("a rejected file changed backend.port");
    for (const char* key : {"port", "plugin_dir", "global.mcast_if", "loglevel", "a.b.c", ".", ""})
        config->get(key, "default");
    return 0;
}
