#pragma once
// Raised when a plug-in description cannot be turned into a Plugin; carries the reason.
// A plain value; thrown on the main thread while the registry loads plug-ins.
#include <exception>
#include <string>

class PluginConstructionException : public std::exception {
public:
    explicit PluginConstructionException(const std::string& message) : message_(message) {}
    explicit PluginConstructionException(const char* message) : message_(message) {}
    ~PluginConstructionException() override = default;
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};
