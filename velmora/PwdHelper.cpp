#include "velmora/PwdHelper.h"

#include <cerrno>

namespace velmora {

namespace {

constexpr size_t kStep = 4096;
constexpr size_t kLimit = 2 * 1024 * 1024;

template <typename Lookup>
bool lookupGrowing(Lookup lookup, passwd* record, std::vector<char>& buffer)
{
    buffer.resize(kStep);
    passwd* result = nullptr;
    int error = lookup(record, buffer.data(), buffer.size(), &result);
    while (error != 0) {
        if (buffer.empty() || buffer.size() >= kLimit)
            return false;
        if (error != ERANGE)
            break;
        buffer.resize(buffer.size() + kStep);
        result = nullptr;
        error = lookup(record, buffer.data(), buffer.size(), &result);
    }
    return result != nullptr && result == record;
}

} // namespace

bool PwdHelper::getPwdFromUsername(std::string const& name, passwd* record, std::vector<char>& buffer)
{
    return lookupGrowing(
        [&name](passwd* rec, char* buf, size_t size, passwd** result) {
            return getpwnam_r(name.c_str(), rec, buf, size, result);
        },
        record, buffer);
}

bool PwdHelper::getPwdFromUid(unsigned int const& uid, passwd* record, std::vector<char>& buffer)
{
    return lookupGrowing(
        [&uid](passwd* rec, char* buf, size_t size, passwd** result) {
            return getpwuid_r(static_cast<uid_t>(uid), rec, buf, size, result);
        },
        record, buffer);
}

} // namespace velmora
