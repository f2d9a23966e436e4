#pragma once
// What one request may cost the daemon: its size, how long it may take to arrive, and the
// shape of its XML. Each is enforced once, by every connection's RequestReader (the shape
// through XmlReader, as it reads) before the runtime parses anything; the runtime's own limits
// are left at their defaults, which no request that passed the reader can reach.
// What one plug-in command may cost is in plugins/CommandLimits.h.
#include <chrono>
#include <cstddef>

namespace RequestLimits {

// A larger request is answered 413 before its body is read.
constexpr std::size_t kMaxBytes = 1024 * 1024;
// The request line and header lines together (431 beyond); also each chunk's size line and
// a chunked body's trailer lines together. Clients send a few hundred bytes; the bound keeps
// what a head may cost far below what a body may.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Each header line of a head, its CR LF not counted (431 beyond). The runtime parses the head
// after this reader and reads each line into a buffer of its own, of SOAP_HDRLEN (8192)
// bytes, which holds one line of 8190 at most.
constexpr std::size_t kMaxHeaderLineBytes = 8190;
// Deepest XML nesting accepted.
constexpr unsigned kMaxNesting = 64;
// The whole request (head and body) must arrive within this time once a worker serves the
// connection, so peers that dribble or stall free their worker soon. The answer is not bound
// by it: each single send still has the context's send time-out.
constexpr std::chrono::seconds kDeadline(3);
// The runtime's parser compares each attribute with those before it on the element and looks
// prefixes up through every namespace declaration in scope; both are kept small so that
// parsing stays linear in the request's size. Real clients use a handful of each.
// No conforming parser is cheap without such caps either: libxml2 compares each attribute with
// every other of its element too.
constexpr std::size_t kMaxAttributesPerElement = 64;
constexpr std::size_t kMaxNamespacesInScope = 64;
// Longest element or attribute name, prefix included. The runtime keeps a name in a buffer of
// SOAP_TAGLEN (1024) bytes and silently cuts a longer one, which could then match another;
// real names are a few dozen bytes.
constexpr std::size_t kMaxNameBytes = 1023;

}  // namespace RequestLimits
