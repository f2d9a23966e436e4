#pragma once
// Raised by Plugin::ExecPluginAndWait when a command could not be run or was ended before its
// output was complete; what() is the text for the caller, the reason is logged where it was
// found. A plain value, thrown on the worker thread that called.
#include <stdexcept>
#include <string>

class PluginCommandException : public std::runtime_error {
public:
    explicit PluginCommandException(const std::string& text) : std::runtime_error(text) {}
};
