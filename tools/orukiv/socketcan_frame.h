// Conversion between the library's frame and the Linux raw CAN socket's
// struct can_frame. Ids above 0x7FF travel as extended frames; error frames
// are not frames of the bus and are not converted.
#pragma once

#include <linux/can.h>

#include "orukiv/orukiv.h"

namespace orukiv::tool {

struct can_frame ToSocketCan(const KIV_CanFrame& frame);
// False for error frames.
bool FromSocketCan(const struct can_frame& in, KIV_CanFrame& out);

}  // namespace orukiv::tool
