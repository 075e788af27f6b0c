// Frame conversion for raw CAN sockets.
#include "socketcan_frame.h"

#include <cstring>

namespace orukiv::tool {

struct can_frame ToSocketCan(const KIV_CanFrame& frame) {
    struct can_frame out;
    std::memset(&out, 0, sizeof out);
    out.can_id = frame.id > CAN_SFF_MASK ? (frame.id & CAN_EFF_MASK) | CAN_EFF_FLAG : frame.id;
    if (frame.rtr) out.can_id |= CAN_RTR_FLAG;
    out.can_dlc = frame.dlc > 8 ? 8 : frame.dlc;
    if (!frame.rtr) std::memcpy(out.data, frame.data, out.can_dlc);
    return out;
}

bool FromSocketCan(const struct can_frame& in, KIV_CanFrame& out) {
    if (in.can_id & CAN_ERR_FLAG) return false;
    std::memset(&out, 0, sizeof out);
    out.id = in.can_id & ((in.can_id & CAN_EFF_FLAG) ? CAN_EFF_MASK : CAN_SFF_MASK);
    out.rtr = (in.can_id & CAN_RTR_FLAG) ? 1 : 0;
    out.dlc = in.can_dlc > 8 ? 8 : in.can_dlc;
    if (!out.rtr) std::memcpy(out.data, in.data, out.dlc);
    return true;
}

}  // namespace orukiv::tool
