#pragma once
// Raised by GetNodeAttribute when an XPath expression yields no attribute. Carries nothing.
// Thrown and caught inside the description reader; no thread concerns.
#include <exception>

class NoSuchAttributeException : public std::exception {
};
