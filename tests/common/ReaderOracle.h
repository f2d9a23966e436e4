#pragma once
// What the runtime reads of a request that comes through a connection's RequestReader, on a
// context fed from memory: the oracle of the reader's tests and of the SOAP fuzz target. The
// bytes the runtime's parser reads must be exactly the body the shape check passed, or none.
#include <sstream>
#include <string>

#include "soap/RequestReader.h"
#include "soap/SoapContext.h"
#include "stdsoap2.h"

namespace corvane_test {

struct ReaderOutcome {
    bool served = false;  // soap_begin_recv succeeded
    int error = 0;
    std::string checked;  // what the reader's shape check passed, if it passed anything
    std::string parsed;   // every byte the runtime's parser then reads
};

inline ReaderOutcome ReadThroughReader(const std::string& request)
{
    CorvaneSoap::SoapContext ctx(soap_new1(SOAP_C_UTFSTRING));
    std::istringstream in(request);
    std::ostringstream out;
    ctx->is = &in;
    ctx->os = &out;
    ReaderOutcome o;
    RequestReader reader(ctx.get(), nullptr);
    o.served = soap_begin_recv(ctx.get()) == SOAP_OK;
    o.error = ctx->error;
    // A refused request leaves the runtime nothing to read either.
    for (soap_wchar c = soap_getchar(ctx.get()); static_cast<int>(c) != EOF; c = soap_getchar(ctx.get()))
        o.parsed += static_cast<char>(c);
    o.checked = reader.CheckedBody();
    return o;
}

// Whether the outcome keeps the reader's promise. A request refused before its body passed
// the check has no checked body, so the runtime must then read nothing.
inline bool ParsedAsChecked(const ReaderOutcome& o) { return o.parsed == o.checked; }

}  // namespace corvane_test
