// File identities from the Win32 file ID, apart so that tests can give it IDs
// that no volume at hand would.
#pragma once

#include <cstdint>

#include "platform.h"

namespace pkg::win32 {

// The identity for a volume serial number and a 128-bit file ID
// (FILE_ID_INFO, little-endian).
FileIdentity IdentityFromFileId(std::uint64_t volumeSerial, const std::uint8_t (&fileId)[16]);

}  // namespace pkg::win32
