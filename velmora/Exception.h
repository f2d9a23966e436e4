// The one exception type of the utility library; thrown by value, caught by reference.
// Immutable after construction, so any thread may read it.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {
namespace Exception {

class Generic : public std::runtime_error {
public:
    explicit Generic(const std::string& message);
    ~Generic() override;
    const char* what() const noexcept override;

private:
    std::string mMessage;
};

} // namespace Exception
} // namespace velmora
