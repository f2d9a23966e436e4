#pragma once
// One linear pass over a request body before the runtime parses it: refuses what the runtime
// would accept although it is not well-formed XML (an end tag that does not match its start
// tag, text or a second element beside the root, a truncated document, a character reference
// that is malformed or names a character XML does not allow), and what would make
// the runtime's own parser quadratic (see RequestLimits). Pure function; any thread.
#include <cstddef>

// Null when the document passes, otherwise a short text naming the first problem found.
const char* XmlShapeProblem(const char* data, std::size_t size);

// The SOAP version of the envelope a body holds, as far as its root start tag tells: 2 when
// the root's prefix is bound there to a SOAP 1.2 envelope namespace, otherwise 1. So a
// refusal can answer in the envelope the caller speaks.
int XmlEnvelopeVersion(const char* data, std::size_t size);
