#include "soap/HttpFaultText.h"

#include <stdsoap2.h>

#include <cstdio>

namespace CorvaneSoap {
namespace {

struct StatusText {
  int code;
  const char* text;
};

// The reason phrases of the runtime's status line, so head and fault text agree.
constexpr StatusText kStatusTexts[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Found"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {416, "Requested range not satisfiable"},
    {417, "Expectation Failed"},
    {431, "Request Header Fields Too Large"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
    {505, "HTTP Version not supported"},
};

// Runs before the runtime fills in its own "Error %d: HTTP %d %s"; msgbuf is the
// buffer the runtime itself uses for that text, so the string lives as long.
void SetFaultText(struct soap* ctx, const char** code, const char** text) {
  (void)code;
  if (*text != nullptr || ctx->error <= 200 || ctx->error >= 600) return;
  std::snprintf(ctx->msgbuf, sizeof ctx->msgbuf, "HTTP Error: %d %s", ctx->error,
                HttpStatusText(ctx->error));
  *text = ctx->msgbuf;
}

}  // namespace

const char* HttpStatusText(int code) {
  for (const StatusText& s : kStatusTexts)
    if (s.code == code) return s.text;
  return "HTTP Error";
}

void InstallHttpFaultText(struct soap* ctx) { ctx->fseterror = SetFaultText; }

}  // namespace CorvaneSoap
