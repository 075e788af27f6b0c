// KIV_GetStats and the counting of SDO transfer outcomes.
#include "stack/statistics.h"

#include <cstring>

#include "instance/co_stack.h"

namespace orukiv {

void CountSdoEnd(StackCore* stack, uint8_t node, int32_t result, uint32_t abortCode) {
    Statistics& st = stack->stats;
    switch (result) {
        case KIV_OK:
            Count(st.sdoCompleted);
            break;
        case KIV_ERR_TIMEOUT:
            Count(st.sdoTimeouts);
            break;
        case KIV_ERR_ABORTED:
            Count(st.sdoAborts);
            st.lastAbort.store(static_cast<uint64_t>(abortCode) << 8 | node,
                               std::memory_order_relaxed);
            break;
        default:
            break;
    }
}

}  // namespace orukiv

extern "C" int32_t KIV_GetStats(KIV_Handle handle, KIV_Stats* stats) {
    if (handle == nullptr || stats == nullptr) return KIV_ERR_PARAM;
    const orukiv::Statistics& st = handle->stats;
    constexpr auto relaxed = std::memory_order_relaxed;
    KIV_Stats out;
    std::memset(&out, 0, sizeof out);
    out.framesReceived = st.framesReceived.load(relaxed);
    out.framesSent = st.framesSent.load(relaxed);
    out.sendFailures = st.sendFailures.load(relaxed);
    out.fullPolls = st.fullPolls.load(relaxed);
    out.sdoCompleted = st.sdoCompleted.load(relaxed);
    out.sdoTimeouts = st.sdoTimeouts.load(relaxed);
    out.sdoAborts = st.sdoAborts.load(relaxed);
    const uint64_t last = st.lastAbort.load(relaxed);
    out.lastAbortCode = static_cast<uint32_t>(last >> 8);
    out.lastAbortNode = static_cast<uint8_t>(last & 0xFF);
    *stats = out;
    return KIV_OK;
}
