#pragma once
// HTTP GET and HEAD hooks of the service contexts: serve regular files below "/tmp/downloads/".
// Run on the worker thread that serves the connection; share only a compiled pattern.
#include <exception>

struct soap;

class HTTP_404 : public std::exception {};

// 0 when the file was sent, 404 when the request is refused (the runtime answers that).
int corvane_http_get(struct soap* soap);
// The head GET would send, without the body; a refusal is answered here with an empty 404
// and the runtime's result of that is returned.
int corvane_http_head(struct soap* soap);
