// Mode bits of File::open. A holder for the enumeration only; no state.
#pragma once

namespace velmora {

struct FileOpenMode {
    enum eMode : unsigned int {
        eRead = 0x1,
        eWrite = 0x2,
        eCreate = 0x10,
        eTruncate = 0x20,
        eCreateFolder = 0x40,
        eDirect = 0x1000,
        // Set together with eDirect when the volume was found to support direct transfers.
        eDirectSupported = 0x2000,
        // Lets File::patch_mode decide eDirect from the volume.
        eDirectIfSupported = 0x200000,
    };
};

} // namespace velmora
