// Origins of File::seek and File::truncate. A holder for the enumeration only; no state.
#pragma once

namespace velmora {

struct FileSeekMode {
    enum eMode {
        eBegin = 0,
        eCurrent = 1,
        eEnd = 2,
    };
};

} // namespace velmora
