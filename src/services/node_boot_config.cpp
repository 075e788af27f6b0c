// The configuration step of a boot, through the object-dictionary calls:
// the DCF's download (KIV_ConfigureNode) or the concise DCF
// (KIV_WriteConciseDcf), stopping at the first write that fails.
#include <cstring>

#include "orukiv/orukiv_od.h"
#include "services/node_boot.h"

namespace orukiv {

int32_t BootConfigure(KIV_Handle handle, uint8_t node, const KIV_BootParam& param,
                      KIV_BootReport& report) {
    KIV_ConfigReport c;
    std::memset(&c, 0, sizeof c);
    const int32_t rc = param.dcf != nullptr ? KIV_ConfigureNode(handle, node, param.dcf, &c)
                                            : KIV_WriteConciseDcf(handle, node, param.conciseDcf,
                                                                  param.conciseDcfSize, &c);
    if (rc != KIV_OK) {
        report.index = c.failedIndex;
        report.subIndex = c.failedSubIndex;
        report.abortCode = c.abortCode;
    }
    return rc;
}

}  // namespace orukiv
