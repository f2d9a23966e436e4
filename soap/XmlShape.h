#pragma once
// One linear pass over a request body before the runtime parses it: refuses what the runtime
// would accept although it is not well-formed XML (an end tag that does not match its start
// tag, text or a second element beside the root, a truncated document), and what would make
// the runtime's own parser quadratic (see RequestLimits). Pure function; any thread.
#include <cstddef>

// Null when the document passes, otherwise a short text naming the first problem found.
const char* XmlShapeProblem(const char* data, std::size_t size);
