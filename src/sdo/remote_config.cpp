// Remote node configuration through SDO writes: heartbeat period and TPDO
// mapping.
#include "orukiv/orukiv.h"

extern "C" {

int32_t KIV_NMT_SetHeartbeatPeriod(KIV_Handle handle, uint8_t node, uint16_t periodMs) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(periodMs & 0xFF),
                              static_cast<uint8_t>(periodMs >> 8)};
    return KIV_WriteObject(handle, node, 0x1017, 0, bytes, 2);
}

int32_t KIV_ConfigTPDO(KIV_Handle handle, uint8_t node, uint8_t tpdo,
                       const KIV_PdoMapEntry* entries, uint8_t count) {
    if (handle == nullptr || static_cast<uint8_t>(tpdo - 1) > 3 || entries == nullptr || count == 0)
        return KIV_ERR_PARAM;
    const auto index = static_cast<uint16_t>(0x1A00 + tpdo - 1);
    // Outcomes are not looked at: every write is tried, and the call reports
    // only argument errors.
    (void)KIV_WriteObject(handle, node, index, 0, &count, 1);
    for (unsigned i = 0; i < count; ++i) {
        const KIV_PdoMapEntry& e = entries[i];
        const uint8_t bytes[4] = {static_cast<uint8_t>(e.bitLengthAndSubIndex & 0xFF),
                                  static_cast<uint8_t>(e.bitLengthAndSubIndex >> 8), e.indexLow,
                                  e.indexHigh};
        (void)KIV_WriteObject(handle, node, index, static_cast<uint8_t>(i + 1), bytes, 4);
    }
    return KIV_OK;
}

}  // extern "C"
