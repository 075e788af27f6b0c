// CiA 301 SDO abort codes and their meanings: the one table the library and
// its tools use to name a server's abort.
#pragma once

#include <cstdint>

namespace orukiv {

// The meaning of a CiA 301 abort code in words, or null for a code the
// table does not know.
const char* SdoAbortMeaning(uint32_t code);

}  // namespace orukiv
