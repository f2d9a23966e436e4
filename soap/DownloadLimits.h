#pragma once
// What downloads may hold of the daemon. A download holds its worker for as long as its reader
// takes, and readers that stall are as cheap to make as connections; the share keeps the rest of
// the pool for the SOAP service whatever they do.
#include <chrono>

namespace DownloadLimits {

// Downloads sent at once: at most the workers divided by this (and at least one). Half: a
// peer can block one download per slot, and the other half of the pool stays free for calls.
constexpr int kWorkersPerDownload = 2;
// The Retry-After of the 503 answer to a download refused for want of a slot: slots free as
// downloads end, which for the files served here takes seconds rather than milliseconds.
constexpr std::chrono::seconds kRetryAfter(5);

}  // namespace DownloadLimits
