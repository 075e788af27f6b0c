// The configuration step of a boot: a concise DCF (u32 entry count, then
// per entry u16 index, u8 sub-index, u32 size and the data, little-endian),
// each entry one SDO write, stopping at the first that fails.
#include <cstring>

#include "services/node_boot.h"

namespace orukiv {

namespace {

uint32_t Le(const uint8_t* p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
    return v;
}

}  // namespace

int32_t BootConfigure(KIV_Handle handle, uint8_t node, const KIV_BootParam& param,
                      KIV_BootReport& report) {
    if (param.dcf != nullptr) return KIV_ERR_PARAM;  // needs the dictionary calls
    const uint8_t* d = param.conciseDcf;
    const uint32_t size = param.conciseDcfSize;
    if (size < 4) return KIV_ERR_PARAM;
    const uint32_t count = Le(d, 4);
    // Checked whole before anything is written.
    uint32_t at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - at < 7) return KIV_ERR_PARAM;
        const uint32_t n = Le(d + at + 3, 4);
        if (n == 0 || n > size - at - 7) return KIV_ERR_PARAM;
        at += 7 + n;
    }
    if (at != size) return KIV_ERR_PARAM;
    at = 4;
    for (uint32_t i = 0; i < count; ++i) {
        const auto index = static_cast<uint16_t>(Le(d + at, 2));
        const uint8_t sub = d[at + 2];
        const uint32_t n = Le(d + at + 3, 4);
        uint32_t abortCode = 0;
        const int32_t rc = KIV_WriteObjectEx(handle, node, index, sub, d + at + 7, n, &abortCode);
        if (rc != KIV_OK) {
            report.index = index;
            report.subIndex = sub;
            report.abortCode = abortCode;
            return rc;
        }
        at += 7 + n;
    }
    return KIV_OK;
}

}  // namespace orukiv
