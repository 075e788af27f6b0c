// Building and printing frames in tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>

#include "orukiv/orukiv.h"

namespace orukiv::test {

// A zero-filled data frame with the given id and bytes (dlc = byte count).
KIV_CanFrame Frame(uint32_t id, std::initializer_list<uint8_t> bytes);
// A zero-filled remote frame.
KIV_CanFrame RemoteFrame(uint32_t id, uint8_t dlc = 0);
// An 8-byte SDO frame (dlc 8), as the library builds them.
KIV_CanFrame Sdo(uint32_t id, std::initializer_list<uint8_t> bytes);

// "id=0x123 rtr=0 dlc=2 data=01 02 00 00 00 00 00 00 reserved=..." for
// failure messages.
std::string Describe(const KIV_CanFrame& f);

// Whole-record comparison, reserved bytes included.
bool SameBytes(const KIV_CanFrame& a, const KIV_CanFrame& b);

}  // namespace orukiv::test

// Lets GoogleTest print frames in assertions.
inline std::ostream& operator<<(std::ostream& os, const KIV_CanFrame& f) {
    return os << orukiv::test::Describe(f);
}
inline bool operator==(const KIV_CanFrame& a, const KIV_CanFrame& b) {
    return orukiv::test::SameBytes(a, b);
}
