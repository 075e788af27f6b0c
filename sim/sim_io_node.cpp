// The simulated digital I/O module.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint16_t kInputs = 0x6000;
constexpr uint16_t kOutputs = 0x6200;

}  // namespace

SimIoNode::SimIoNode(VirtualBus& bus, uint8_t nodeId, Mode mode) : SimNode(bus, nodeId, mode) {
    Identity id;
    id.deviceType = 0x00030191;  // I/O profile: digital inputs and outputs
    id.name = "orukiv sim I/O module";
    id.vendorId = 0x00000A1F;
    id.productCode = 0x00000010;
    id.revision = 0x00010002;
    id.serial = 0x00C0FFEE;
    AddDeviceObjects(id);
    AddCommunicationObjects();
    AddSupervisionObjects();
    AddRpdoObjects();
    AddU8(kInputs, 0, 1, Access::kConst);
    AddU8(kInputs, 1, 0, Access::kRO);
    AddU8(kOutputs, 0, 1, Access::kConst);
    AddU8(kOutputs, 1, 0);
    SetValue(0x1A00, 0, {1});                       // TPDO1 on 0x180 + id, valid, on every SYNC
    SetValue(0x1A00, 1, {0x08, 0x01, 0x00, 0x60});  // 0x6000:1, 8 bits
    SetValue(0x1400, 1, {nodeId, 0x02, 0, 0});      // 0x200 + id
    SetValue(0x1600, 0, {1});
    SetValue(0x1600, 1, {0x08, 0x01, 0x00, 0x62});  // 0x6200:1, 8 bits
}

SimIoNode::~SimIoNode() {
    Shutdown();
}

void SimIoNode::SetInputs(uint8_t bits) {
    SetValue(kInputs, 1, {bits});
}

uint8_t SimIoNode::Outputs() const {
    return static_cast<uint8_t>(ValueU32(kOutputs, 1));
}

}  // namespace orukiv::sim
