// The simulated node's device objects: type, name and identity.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

void SimNode::AddDeviceObjects(const Identity& identity) {
    AddU32(0x1000, 0, identity.deviceType, Access::kConst);
    AddVariableObject(0x1008, 0, std::vector<uint8_t>(identity.name.begin(), identity.name.end()),
                      identity.name.size(), Access::kConst);
    AddU8(0x1018, 0, 4, Access::kConst);
    AddU32(0x1018, 1, identity.vendorId, Access::kConst);
    AddU32(0x1018, 2, identity.productCode, Access::kConst);
    AddU32(0x1018, 3, identity.revision, Access::kConst);
    AddU32(0x1018, 4, identity.serial, Access::kConst);
}

}  // namespace orukiv::sim
