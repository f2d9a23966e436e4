#pragma once
// Raised when the user store cannot be opened (missing key, unopenable database).
// A plain value carried by the exception machinery; no shared state.
#include <string>

#include "auth/UnauthorizedException.h"

class SQLAuthException : public UnauthorizedException {
public:
    explicit SQLAuthException(const std::string& what) : UnauthorizedException(what) {}
};
