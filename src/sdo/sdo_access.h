// Shared by the object access exports and the drive-profile calls.
#pragma once

#include <cstdint>

struct CoStack;

namespace orukiv {
// Build a REQ_SDO_READ or REQ_SDO_WRITE request and submit it on behalf of
// the export named exportName. The caller checks handle and pointers; these
// refuse a node id outside 1..127 with KIV_ERR_PARAM, sending nothing.
// `block` asks for a block transfer; `unsized`, when not null, is set to 1
// when the server's expedited answer indicated no size (0 otherwise).
int32_t SubmitRead(CoStack* stack, uint8_t node, uint16_t index, uint8_t subIndex, uint8_t* buffer,
                   uint32_t capacity, uint32_t* received, uint32_t* abortCode,
                   const char* exportName, bool block = false, uint8_t* unsized = nullptr);
int32_t SubmitWrite(CoStack* stack, uint8_t node, uint16_t index, uint8_t subIndex,
                    const uint8_t* data, uint32_t size, uint32_t* abortCode, const char* exportName,
                    bool block = false);
}  // namespace orukiv
