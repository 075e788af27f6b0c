// Remote node configuration through SDO: heartbeat period and TPDO mapping.
#include "orukiv/orukiv.h"
#include "stack/cia301.h"

namespace {

using namespace orukiv::cia301;
constexpr uint32_t kPdoInvalid = kPdoCobInvalid;

int32_t WriteU32(KIV_Handle handle, uint8_t node, uint16_t index, uint8_t sub, uint32_t value) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return KIV_WriteObject(handle, node, index, sub, bytes, 4);
}

}  // namespace

extern "C" {

int32_t KIV_NMT_SetHeartbeatPeriod(KIV_Handle handle, uint8_t node, uint16_t periodMs) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(periodMs & 0xFF),
                              static_cast<uint8_t>(periodMs >> 8)};
    return KIV_WriteObject(handle, node, kObjHeartbeatProducer, 0, bytes, 2);
}

int32_t KIV_ConfigTPDO(KIV_Handle handle, uint8_t node, uint8_t tpdo,
                       const KIV_PdoMapEntry* entries, uint8_t count) {
    if (handle == nullptr || tpdo < 1 || tpdo > kMaxTpdo || entries == nullptr || count == 0)
        return KIV_ERR_PARAM;
    const auto commIndex = static_cast<uint16_t>(kObjTpdoComm1 + tpdo - 1);
    const auto mapIndex = static_cast<uint16_t>(kObjTpdoMap1 + tpdo - 1);

    // A node accepts a new mapping only while the PDO is invalid (COB-ID
    // bit 31 set) and its entry count is 0; the count written last makes
    // the node check the entries.
    uint8_t cobBytes[4] = {0, 0, 0, 0};
    uint32_t received = 0;
    int32_t rc = KIV_ReadObject(handle, node, commIndex, kSubPdoCobId, cobBytes, 4, &received);
    if (rc != KIV_OK) return rc;
    if (received != 4) return KIV_ERR_PARAM;
    const uint32_t cobId =
        static_cast<uint32_t>(cobBytes[0]) | static_cast<uint32_t>(cobBytes[1]) << 8 |
        static_cast<uint32_t>(cobBytes[2]) << 16 | static_cast<uint32_t>(cobBytes[3]) << 24;
    const bool wasValid = (cobId & kPdoInvalid) == 0;
    if (wasValid) {
        rc = WriteU32(handle, node, commIndex, kSubPdoCobId, cobId | kPdoInvalid);
        if (rc != KIV_OK) return rc;
    }
    const uint8_t zero = 0;
    rc = KIV_WriteObject(handle, node, mapIndex, 0, &zero, 1);
    for (unsigned i = 0; rc == KIV_OK && i < count; ++i) {
        const KIV_PdoMapEntry& e = entries[i];
        const uint8_t bytes[4] = {static_cast<uint8_t>(e.bitLengthAndSubIndex & 0xFF),
                                  static_cast<uint8_t>(e.bitLengthAndSubIndex >> 8), e.indexLow,
                                  e.indexHigh};
        rc = KIV_WriteObject(handle, node, mapIndex, static_cast<uint8_t>(i + 1), bytes, 4);
    }
    if (rc == KIV_OK) rc = KIV_WriteObject(handle, node, mapIndex, 0, &count, 1);
    if (wasValid) {
        // Re-enabled after success, and restored after a failure: the PDO is
        // never left disabled by this call.
        const int32_t restored = WriteU32(handle, node, commIndex, kSubPdoCobId, cobId);
        if (rc == KIV_OK) rc = restored;
    }
    return rc;
}

}  // extern "C"
