// Ordering for lists of file names: shorter names first, equal lengths by code point.
// Stateless function object; usable from any thread.
#pragma once

#include <string>

namespace velmora {

struct FileSortPredicate {
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        if (a.size() != b.size())
            return a.size() < b.size();
        return a < b;
    }
};

} // namespace velmora
