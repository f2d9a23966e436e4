// The request reader against libxml2 on small bodies: both must give one verdict, and what the
// reader hands the runtime must read, in libxml2, as the original did. Larger bodies only grow
// libxml2's own cost per input, so they are cut; the caps are a matter of the reader's tests.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "tests/common/XmlOracle.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    xmlInitParser();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 8192)
        return 0;
    const std::string body(reinterpret_cast<const char*>(data), size);
    const std::string disagreement = corvane_test::Disagreement(body);
    if (!disagreement.empty())
        fuzz::Fail(disagreement + "\nbody: " + fuzz::Escaped(body));
    return 0;
}
