// The event layout rules stated independently of the decoder, for tests and
// fuzzers: which type an id gets, and where each type's defined bytes end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "orukiv/orukiv.h"

namespace orukiv::test {

inline uint32_t ExpectedEventType(uint32_t id, bool remote) {
    if (id >= 0x800) return KIV_EVENT_NONE;
    if (id <= 0x07F) return KIV_EVENT_NMT;
    if (id == 0x080) return KIV_EVENT_SYNC;
    if (id <= 0x0FF) return KIV_EVENT_EMCY;
    if (id == 0x100) return KIV_EVENT_TIME;
    if (id <= 0x17F) return KIV_EVENT_NONE;
    if (id <= 0x57F) return KIV_EVENT_FRAME;
    if (id <= 0x67F) return KIV_EVENT_SDO;
    if (id <= 0x6FF) return KIV_EVENT_NONE;
    if (id <= 0x77F) return remote ? KIV_EVENT_NODE_GUARD : KIV_EVENT_HEARTBEAT;
    return KIV_EVENT_NONE;
}

// Offset just past the last byte the type defines; every byte from there to
// the end of the 88-byte record must be zero.
inline std::size_t DefinedEventEnd(uint32_t type) {
    switch (type) {
        case KIV_EVENT_NMT:
        case KIV_EVENT_HEARTBEAT:
            return 12;
        case KIV_EVENT_EMCY:
        case KIV_EVENT_NODE_STATE:
            return 16;
        case KIV_EVENT_TIME:
            return 20;
        case KIV_EVENT_SDO:
            return 24;
        case KIV_EVENT_FRAME:
            return 21;
        default:
            return 8;
    }
}

}  // namespace orukiv::test
