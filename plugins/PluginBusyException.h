#pragma once
// Raised by Plugin::ExecPluginAndWait when its caller gave up waiting for the plug-in's
// previous command to give its worker to a waiting connection; nothing was run. A plain
// value, thrown on the worker thread that called.
#include <stdexcept>
#include <string>

class PluginBusyException : public std::runtime_error {
public:
    explicit PluginBusyException(const std::string& plugin) : std::runtime_error("plugin " + plugin + " is busy") {}
};
