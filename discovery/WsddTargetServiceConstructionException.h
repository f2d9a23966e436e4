// Failure of WsddTargetService's constructor to bind or join the WS-Discovery group.
// Thrown by the constructor only; carries the text that what() returns.
#pragma once

#include <stdexcept>
#include <string>

class WsddTargetServiceConstructionException : public std::runtime_error {
public:
    explicit WsddTargetServiceConstructionException(const std::string& message)
        : std::runtime_error(message)
    {
    }
};
