#pragma once
// Reading the configured TCP port. Called by CorvaneCore::run on the main thread.
#include <string>

// A decimal number at the start of `text`, read as sscanf's "%d" reads it (leading blanks and
// a sign, the rest ignored), stored in `port` when it lies between 1 and 65535. False for a
// text that does not begin with a number and for a number outside that range.
bool ParsePortNumber(const std::string& text, int& port);
