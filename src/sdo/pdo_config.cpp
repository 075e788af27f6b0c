// The PDO configuration procedure (KIV_ConfigPDO) and the running of SDO
// write lists with a report.
#include "sdo/pdo_config.h"

#include "orukiv_common/byte_order.h"
#include "stack/cia301.h"

namespace orukiv::pdo {

std::size_t StepCount(const Procedure& p) {
    return (p.cobDisabled != nullptr) + (p.count != nullptr ? 2 : 0) + p.entryCount + p.paramCount +
           (p.cobFinal != nullptr);
}

std::size_t Steps(const Procedure& p, Write* out) {
    static const uint8_t kZero = 0;
    std::size_t n = 0;
    if (p.cobDisabled != nullptr) out[n++] = {p.commIndex, cia301::kPdoCobIdSub, p.cobDisabled, 4};
    if (p.count != nullptr) out[n++] = {p.mapIndex, cia301::kPdoMapCountSub, &kZero, 1};
    for (std::size_t i = 0; i < p.entryCount; ++i) out[n++] = p.entries[i];
    if (p.count != nullptr) out[n++] = {p.mapIndex, cia301::kPdoMapCountSub, p.count, 1};
    for (std::size_t i = 0; i < p.paramCount; ++i) out[n++] = p.params[i];
    if (p.cobFinal != nullptr) out[n++] = {p.commIndex, cia301::kPdoCobIdSub, p.cobFinal, 4};
    return n;
}

int32_t RunWrites(KIV_Handle handle, uint8_t node, const Write* writes, std::size_t n,
                  uint32_t skipped, bool goOn, bool lastAlways, KIV_ConfigReport* report) {
    KIV_ConfigReport r{};
    r.flags = report != nullptr ? report->flags : 0;
    r.skipped = skipped;
    r.steps = static_cast<uint32_t>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (r.failed != 0 && !goOn) {
            if (!lastAlways) break;
            i = n - 1;  // straight to the last write
        }
        const Write& w = writes[i];
        uint32_t abortCode = 0;
        const int32_t rc =
            KIV_WriteObjectEx(handle, node, w.index, w.subIndex, w.data, w.size, &abortCode);
        if (rc == KIV_OK) {
            ++r.written;
            continue;
        }
        if (r.failed++ == 0) {
            r.failedIndex = w.index;
            r.failedSubIndex = w.subIndex;
            r.failedResult = rc;
            r.abortCode = abortCode;
        }
    }
    if (report != nullptr) *report = r;
    return r.failedResult;
}

}  // namespace orukiv::pdo

namespace {

using namespace orukiv;

constexpr uint8_t kMaxEntries = cia301::kPdoMaxMapEntries;
constexpr std::size_t kMaxSteps = kMaxEntries + 5;

int32_t Refuse(KIV_ConfigReport* report) {
    if (report != nullptr) {
        const uint32_t flags = report->flags;
        *report = KIV_ConfigReport{};
        report->flags = flags;
        report->failedResult = KIV_ERR_PARAM;
    }
    return KIV_ERR_PARAM;
}

}  // namespace

extern "C" {

int32_t KIV_ConfigPDO(KIV_Handle handle, uint8_t node, uint8_t isTransmit, uint16_t pdoNumber,
                      uint32_t cobId, uint8_t transmissionType, const KIV_PdoMapEntry* entries,
                      uint8_t count, KIV_ConfigReport* report) {
    if (handle == nullptr || !cia301::IsNodeId(node) || pdoNumber < 1 ||
        pdoNumber > cia301::kPdoPerKind || count > kMaxEntries ||
        (entries == nullptr && count != 0))
        return Refuse(report);
    const uint16_t comm = static_cast<uint16_t>(
        (isTransmit != 0 ? cia301::kTpdoCommunicationBase : cia301::kRpdoCommunicationBase) +
        pdoNumber - 1);
    uint8_t disabled[4], final[4], mapping[kMaxEntries][4];
    StoreLe32(disabled, cobId | cia301::kPdoCobIdInvalid);
    StoreLe32(final, cobId);
    pdo::Write mapWrites[kMaxEntries];
    const auto map = static_cast<uint16_t>(comm + cia301::kPdoMappingOffset);
    for (uint8_t i = 0; i < count; ++i) {
        const KIV_PdoMapEntry& e = entries[i];
        StoreLe16(mapping[i], e.bitLengthAndSubIndex);
        mapping[i][2] = e.indexLow;
        mapping[i][3] = e.indexHigh;
        mapWrites[i] = {map, static_cast<uint8_t>(i + 1), mapping[i], 4};
    }
    const pdo::Write type{comm, cia301::kPdoTransmissionTypeSub, &transmissionType, 1};
    pdo::Procedure p;
    p.commIndex = comm;
    p.mapIndex = map;
    p.cobDisabled = disabled;
    p.count = &count;
    p.entries = mapWrites;
    p.entryCount = count;
    p.params = &type;
    p.paramCount = 1;
    // A COB-ID with bit 31 set was written in the first step already.
    p.cobFinal = (cobId & cia301::kPdoCobIdInvalid) == 0 ? final : nullptr;
    pdo::Write steps[kMaxSteps];
    const std::size_t n = pdo::Steps(p, steps);
    return pdo::RunWrites(handle, node, steps, n, 0, false, false, report);
}

}  // extern "C"
