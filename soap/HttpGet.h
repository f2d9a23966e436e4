#pragma once
// HTTP GET and HEAD hooks of the service contexts: serve regular files below "/tmp/downloads/".
// Run on the worker thread that serves the connection; share a compiled pattern and the count
// of downloads being sent (atomic).
#include <exception>

struct soap;

class HTTP_404 : public std::exception {};

// 0 when the file was sent, 404 when the request is refused, 503 (with Retry-After set) when
// every download slot is taken; the runtime answers the last two.
int corvane_http_get(struct soap* soap);
// The head GET would send, without the body; a refusal is answered here with an empty 404
// and the runtime's result of that is returned.
int corvane_http_head(struct soap* soap);

// Downloads sent at once are limited to a share of the pool's `workers` (DownloadLimits.h), so
// that readers who stall cannot hold every worker. Called by the core before it serves.
void SetDownloadWorkers(int workers);
