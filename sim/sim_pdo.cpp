// The simulated node's PDOs: TPDOs sent on SYNC from the mapping in force,
// RPDOs stored into their mapped objects.
#include <vector>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint16_t kRpdoComm = 0x1400;
constexpr uint16_t kRpdoMap = 0x1600;
constexpr uint16_t kTpdoComm = 0x1800;  // records added by AddCommunicationObjects
constexpr uint16_t kTpdoMap = 0x1A00;
constexpr uint32_t kCobIdInvalid = 0x80000000u;
constexpr uint8_t kRpdoEventDriven = 0xFF;  // transmission type: stored on arrival
constexpr uint32_t kCobIdMask = 0x7FFu;
constexpr uint16_t kEmcyPdoLength = 0x8210;  // PDO not processed: length error

struct MapEntry {
    uint16_t index;
    uint8_t sub;
    std::size_t bytes;
};

MapEntry Decode(uint32_t v) {
    return {static_cast<uint16_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<std::size_t>((v & 0xFF) / 8)};
}

}  // namespace

void SimNode::AddRpdoObjects() {
    for (uint16_t n = 0; n < 4; ++n) {
        AddU8(kRpdoComm + n, 0, 2, Access::kConst);
        AddU32(kRpdoComm + n, 1, kCobIdInvalid | (0x200u + 0x100u * n + nodeId_));
        AddU8(kRpdoComm + n, 2, kRpdoEventDriven);
        AddU8(kRpdoMap + n, 0, 0);
        for (uint8_t sub = 1; sub <= 8; ++sub) AddU32(kRpdoMap + n, sub, 0);
    }
}

void SimNode::SendTpdosLocked() {
    for (uint16_t n = 0; n < 4; ++n) {
        if (!FindLocked(kTpdoComm + n, 1)) continue;
        const uint32_t cobId = ValueU32Locked(kTpdoComm + n, 1);
        const uint32_t count = ValueU32Locked(kTpdoMap + n, 0);
        if ((cobId & kCobIdInvalid) != 0 || count == 0 || count > 8) continue;
        // Transmission type: 0 (acyclic) and 1..240 (every n-th) are sent on
        // SYNC; without sub 2, every SYNC.
        const uint32_t type = FindLocked(kTpdoComm + n, 2) ? ValueU32Locked(kTpdoComm + n, 2) : 1;
        if (type > 240) continue;
        if (type > 1 && ++syncCount_[n] < type) continue;
        syncCount_[n] = 0;
        KIV_CanFrame f = MakeFrame(cobId & kCobIdMask, {});
        std::size_t len = 0;
        bool fits = true;
        for (uint8_t sub = 1; sub <= count && fits; ++sub) {
            const MapEntry e = Decode(ValueU32Locked(kTpdoMap + n, sub));
            const std::vector<uint8_t>* value = FindLocked(e.index, e.sub);
            fits = value && len + e.bytes <= 8;
            for (std::size_t i = 0; fits && i < e.bytes; ++i)
                f.data[len++] = i < value->size() ? (*value)[i] : 0;
        }
        if (!fits) continue;  // a mapping that cannot be built sends nothing
        f.dlc = static_cast<uint8_t>(len);
        SendLocked(f);
    }
}

void SimNode::ReceiveRpdoLocked(const KIV_CanFrame& frame) {
    for (uint16_t n = 0; n < 4; ++n) {
        if (!FindLocked(kRpdoComm + n, 1)) continue;
        const uint32_t cobId = ValueU32Locked(kRpdoComm + n, 1);
        if ((cobId & kCobIdInvalid) != 0 || (cobId & kCobIdMask) != frame.id) continue;
        const uint32_t count = ValueU32Locked(kRpdoMap + n, 0);
        std::vector<MapEntry> entries;
        std::size_t total = 0;
        for (uint8_t sub = 1; sub <= count && sub <= 8; ++sub) {
            entries.push_back(Decode(ValueU32Locked(kRpdoMap + n, sub)));
            total += entries.back().bytes;
        }
        if (total > frame.dlc) {
            SendLocked(MakeFrame(0x80u + nodeId_,
                                 {static_cast<uint8_t>(kEmcyPdoLength & 0xFF),
                                  static_cast<uint8_t>(kEmcyPdoLength >> 8), 0x10, 0, 0, 0, 0, 0}));
            return;
        }
        std::size_t offset = 0;
        for (const MapEntry& e : entries) {
            std::vector<uint8_t>* value = FindLocked(e.index, e.sub);
            if (value && value->size() == e.bytes) {
                value->assign(frame.data + offset, frame.data + offset + e.bytes);
                AfterWrite(e.index, e.sub);
            }
            offset += e.bytes;
        }
        return;
    }
}

}  // namespace orukiv::sim
