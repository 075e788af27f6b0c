// Shared by the object access exports and the drive-profile getters.
#pragma once

#include <cstdint>

struct CoStack;

namespace orukiv {
// Builds a REQ_SDO_READ request and submits it; the caller's pointers must be
// valid (the exports check them).
int32_t SubmitRead(CoStack* stack, uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer,
                   uint32_t capacity, uint32_t* received, uint32_t* abortCode = nullptr);
}  // namespace orukiv
