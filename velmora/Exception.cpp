#include "velmora/Exception.h"

namespace velmora {
namespace Exception {

Generic::Generic(const std::string& message) : std::runtime_error(message), mMessage(message) {}

Generic::~Generic() {}

const char* Generic::what() const noexcept
{
    return mMessage.c_str();
}

} // namespace Exception
} // namespace velmora
