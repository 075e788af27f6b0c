// Remote node configuration through SDO: heartbeat period and TPDO mapping.
#include "orukiv/orukiv.h"
#include "orukiv_common/byte_order.h"
#include "sdo/pdo_config.h"
#include "stack/cia301.h"

using namespace orukiv;
using namespace orukiv::cia301;

namespace {

// KIV_ConfigTPDO takes any count up to 255 as it always did; a node refuses
// the sub-indices past its mapping record.
constexpr uint8_t kMaxTpdoEntries = 255;

}  // namespace

extern "C" {

int32_t KIV_NMT_SetHeartbeatPeriod(KIV_Handle handle, uint8_t node, uint16_t periodMs) {
    uint8_t bytes[2];
    StoreLe16(bytes, periodMs);
    return KIV_WriteObject(handle, node, kObjHeartbeatProducer, 0, bytes, 2);
}

int32_t KIV_ConfigTPDO(KIV_Handle handle, uint8_t node, uint8_t tpdo,
                       const KIV_PdoMapEntry* entries, uint8_t count) {
    if (handle == nullptr || tpdo < 1 || tpdo > kMaxTpdo || entries == nullptr || count == 0)
        return KIV_ERR_PARAM;
    const auto comm = static_cast<uint16_t>(kTpdoCommunicationBase + tpdo - 1);
    const auto map = static_cast<uint16_t>(comm + kPdoMappingOffset);

    // The PDO procedure around the node's own COB-ID: disabled only when it
    // is valid, and then re-enabled after success and restored after a
    // failure, so that the PDO is never left disabled by this call.
    uint8_t cob[4] = {0, 0, 0, 0};
    uint32_t received = 0;
    const int32_t rc = KIV_ReadObject(handle, node, comm, kPdoCobIdSub, cob, 4, &received);
    if (rc != KIV_OK) return rc;
    if (received != 4) return KIV_ERR_PARAM;
    const uint32_t cobId = LoadLe32(cob);
    const bool wasValid = (cobId & kPdoCobIdInvalid) == 0;
    uint8_t disabled[4];
    StoreLe32(disabled, cobId | kPdoCobIdInvalid);

    uint8_t mapping[kMaxTpdoEntries][4];
    pdo::Write mapWrites[kMaxTpdoEntries];
    for (uint8_t i = 0; i < count; ++i) {
        StoreLe16(mapping[i], entries[i].bitLengthAndSubIndex);
        mapping[i][2] = entries[i].indexLow;
        mapping[i][3] = entries[i].indexHigh;
        mapWrites[i] = {map, static_cast<uint8_t>(i + 1), mapping[i], 4};
    }
    pdo::Procedure p;
    p.commIndex = comm;
    p.mapIndex = map;
    p.cobDisabled = wasValid ? disabled : nullptr;
    p.count = &count;
    p.entries = mapWrites;
    p.entryCount = count;
    p.cobFinal = wasValid ? cob : nullptr;
    pdo::Write steps[kMaxTpdoEntries + 4];
    const std::size_t n = pdo::Steps(p, steps);
    return pdo::RunWrites(handle, node, steps, n, 0, false, wasValid, nullptr);
}

}  // extern "C"
