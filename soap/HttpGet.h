#pragma once
// HTTP GET hook of the service contexts: serves regular files below "/tmp/downloads/".
// Runs on the worker thread that serves the connection; shares only a compiled pattern.
#include <exception>

struct soap;

class HTTP_404 : public std::exception {};

// 0 when the file was sent, 404 when the request is refused.
int corvane_http_get(struct soap* soap);
