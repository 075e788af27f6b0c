// Decoding of received classic frames into host events.
#pragma once

#include "orukiv/orukiv.h"

namespace orukiv {
// Fills *event (all 88 bytes) from one received frame.
void DecodeEvent(const KIV_CanFrame* frame, KIV_Event* event);
}  // namespace orukiv
