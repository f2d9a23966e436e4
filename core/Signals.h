#pragma once
// Stop signals (INT, TERM, HUP, USR1, USR2, QUIT, ALRM). install_signal_handler runs on the
// main thread at start-up and again on every worker as the pool's init function; the handler
// itself only stores into GlobalExit.

void signal_handler(int sig);
// 0 on success, otherwise the failing sigaction result.
int install_signal_handler();
