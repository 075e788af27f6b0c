// The simulated node's PDO communication and mapping records, and the CiA 301
// rules a standard device applies to writes of them.
#include "orukiv_common/byte_order.h"
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint16_t kRpdoComm = 0x1400;
constexpr uint16_t kRpdoMap = 0x1600;
constexpr uint16_t kTpdoComm = 0x1800;
constexpr uint16_t kTpdoMap = 0x1A00;
constexpr uint16_t kMapOffset = kTpdoMap - kTpdoComm;  // the same for RPDOs
constexpr int kTpdos = 4;
constexpr int kRpdos = 4;
constexpr uint8_t kMaxEntries = 8;
constexpr uint32_t kPdoInvalid = 0x80000000u;

}  // namespace

void SimNode::AddCommunicationObjects() {
    AddU16(0x1017, 0, 0);
    for (int n = 0; n < kTpdos; ++n) {
        const auto comm = static_cast<uint16_t>(kTpdoComm + n);
        AddU8(comm, 0, 2, Access::kConst);
        AddU32(comm, 1, 0x180u + 0x100u * static_cast<uint32_t>(n) + nodeId_);
        AddU8(comm, 2, 1);
        const auto map = static_cast<uint16_t>(kTpdoMap + n);
        AddU8(map, 0, 0);
        for (uint8_t sub = 1; sub <= kMaxEntries; ++sub) AddU32(map, sub, 0);
    }
}

uint32_t SimNode::CheckPdoRecordWrite(uint16_t index, uint8_t sub,
                                      const std::vector<uint8_t>& data) const {
    if (seg_.Faults().lenientMapping) return 0;
    const bool comm = (index >= kTpdoComm && index < kTpdoComm + kTpdos) ||
                      (index >= kRpdoComm && index < kRpdoComm + kRpdos);
    const bool map = (index >= kTpdoMap && index < kTpdoMap + kTpdos) ||
                     (index >= kRpdoMap && index < kRpdoMap + kRpdos);
    if (!comm && !map) return 0;
    const auto commIndex = static_cast<uint16_t>(comm ? index : index - kMapOffset);
    const bool pdoValid =
        Find(commIndex, 1) != nullptr && (ValueU32Locked(commIndex, 1) & kPdoInvalid) == 0;
    if (comm) {
        // A valid PDO's identifier cannot change; it can only be disabled.
        if (sub != 1 || !pdoValid) return 0;
        const uint32_t value = LoadLe32(data);
        if ((value & kPdoInvalid) != 0 || value == ValueU32Locked(commIndex, 1)) return 0;
        return abort_code::kInvalidValue;
    }
    if (pdoValid) return abort_code::kUnsupportedAccess;
    if (sub == 0) return data.empty() ? 0 : CheckMapping(index, data[0]);
    if (ValueU32Locked(index, 0) != 0) return abort_code::kUnsupportedAccess;
    return 0;
}

uint32_t SimNode::CheckMapping(uint16_t mapIndex, uint8_t count) const {
    if (count > kMaxEntries) return abort_code::kValueTooHigh;
    uint32_t bits = 0;
    for (uint8_t sub = 1; sub <= count; ++sub) {
        const uint32_t entry = ValueU32Locked(mapIndex, sub);
        const Entry* object =
            Find(static_cast<uint16_t>(entry >> 16), static_cast<uint8_t>((entry >> 8) & 0xFF));
        const uint32_t length = entry & 0xFF;
        if (object == nullptr || object->variable || length != object->value.size() * 8)
            return abort_code::kCannotMap;
        bits += length;
    }
    return bits > 64 ? abort_code::kMappingTooLong : 0;
}

}  // namespace orukiv::sim
