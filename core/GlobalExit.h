#pragma once
// Process-wide stop flag: set by the signal handler (any thread, signal context) and by the
// main loop when select fails; read by the main loop once per turn. Lock-free, so a signal
// handler may store into it.
#include <atomic>

extern std::atomic<bool> GlobalExit;
static_assert(std::atomic<bool>::is_always_lock_free, "GlobalExit must be usable from a signal handler");
