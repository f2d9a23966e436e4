#pragma once
// The one way the daemon writes a whole block to a descriptor: the log file, the pid and
// identity files, a command's input. A pure function; any thread.
#include <cstddef>
#include <functional>

// Writes the `size` bytes at `data` to `fd`, going on after short writes and EINTR. While a
// non-blocking descriptor has no room it waits in poll, at most 100 ms at a time, and before
// each write asks `carryOn`, when given, whether to go on. True once every byte is written;
// false with errno set when a write fails (EPIPE when the reader is gone: the process ignores
// SIGPIPE, see install_signal_handler), EIO when a write took nothing, ECANCELED when
// `carryOn` said no.
bool WriteAll(int fd, const char* data, std::size_t size, const std::function<bool()>& carryOn = {});
