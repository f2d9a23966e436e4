#pragma once
// Stop signals (INT, TERM, HUP, USR1, USR2, QUIT, ALRM). install_signal_handler runs on the
// main thread at start-up, before any other thread exists, and again on every worker as the
// pool's init function; the handler itself only stores into GlobalExit. A stop signal that is
// ignored when the daemon starts (nohup, a background job) is left ignored.
// It also ignores SIGPIPE and SIGXFSZ for the whole process: a write to a pipe, socket or FIFO
// whose reader is gone (a plug-in that exits without reading, a log FIFO, a peer) fails with
// EPIPE, a log file at the file-size limit with EFBIG, instead of ending the daemon. Children
// get the defaults back (CommandProcess).

void signal_handler(int sig);
// 0 on success, otherwise the failing sigaction result.
int install_signal_handler();
