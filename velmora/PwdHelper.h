// Password-database lookups into a caller-owned buffer that grows as the entry needs.
// Stateless; reentrant as long as each thread passes its own record and buffer.
#pragma once

#include <pwd.h>

#include <string>
#include <vector>

namespace velmora {

class PwdHelper {
public:
    // True only when the entry was found; `record` then points into `buffer`.
    static bool getPwdFromUsername(std::string const& name, passwd* record, std::vector<char>& buffer);
    static bool getPwdFromUid(unsigned int const& uid, passwd* record, std::vector<char>& buffer);
};

} // namespace velmora
