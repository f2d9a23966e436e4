#pragma once
// Raised for rejected credentials and missing rights; the SOAP layer answers it with 401.
// A plain value carried by the exception machinery; no shared state.
#include <stdexcept>
#include <string>

class UnauthorizedException : public std::runtime_error {
public:
    explicit UnauthorizedException(const std::string& what) : std::runtime_error(what) {}
};
