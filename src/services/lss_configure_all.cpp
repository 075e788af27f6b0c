// KIV_LSS_ConfigureAll: numbers every unconfigured LSS slave, made of the
// LSS services (fastscan, configure, store, switch back) and a probe of
// each node-ID before it is given.
#include <cstring>

#include "log/log.h"
#include "services/lss_master.h"
#include "stack/cancel.h"
#include "stack/cia301.h"
#include "instance/co_stack.h"

namespace orukiv {

namespace {

class Numbering {
public:
    Numbering(KIV_Handle h, uint8_t first, uint32_t step)
        : h_(h), next_(first), step_(step), mark_(CancelMark(h, 0)) {}

    // KIV_Cancel(h, 0) was called since the run began.
    bool Cancelled() const { return CancelledSince(h_, 0, mark_); }
    uint32_t Mark() const { return mark_; }

    // The next node-ID from next_ up that no node uses: heard from (boot-up
    // or heartbeat), or answering a probe. 0 when none is left.
    int32_t FreeNodeId(uint8_t& id) {
        for (; next_ <= cia301::kMaxNodeId; ++next_) {
            if (h_->heard[next_].load(std::memory_order_acquire) != 0) continue;
            uint8_t inUse = 0;
            const int32_t rc = LssProbeNode(h_, next_, kProbeWaitMs, &inUse, mark_);
            if (rc != KIV_OK) return rc;
            if (inUse == 0) {
                id = next_++;
                return KIV_OK;
            }
        }
        id = 0;
        return KIV_ERR_NO_RESOURCE;
    }

    // Numbers the slave a fastscan left in configuration state. False when
    // the run must end (the slave kept no node-ID).
    bool Number(KIV_LssFound& e, uint32_t flags) {
        uint8_t id = 0;
        e.result = FreeNodeId(id);
        if (e.result == KIV_OK && Cancelled()) e.result = KIV_ERR_CANCELLED;
        if (e.result == KIV_OK) {
            uint8_t code = 0;
            e.result = KIV_LSS_ConfigureNodeId(h_, id, &code);
            if (e.result == KIV_OK) {
                e.nodeId = id;
            } else if (e.result == KIV_ERR_ABORTED) {
                e.errorCode = code;
            }
        }
        if (e.result == KIV_OK && (flags & KIV_LSS_STORE) != 0) {
            uint8_t code = 0;
            const int32_t rc = KIV_LSS_StoreConfiguration(h_, &code);
            e.stored = rc == KIV_OK ? 1 : 0;
            if (rc != KIV_OK) {
                e.result = rc;
                e.errorCode = code;
            }
        }
        // Back to waiting (cancelled too): a numbered slave takes its node-ID
        // and boots. Switch global is unconfirmed and ends at once.
        const int32_t rc = KIV_LSS_SwitchGlobal(h_, 0);
        if (e.result == KIV_OK && rc != KIV_OK) e.result = rc;
        return e.nodeId != 0 && rc == KIV_OK && !Cancelled();
    }

    uint32_t Step() const { return step_; }

private:
    KIV_Handle h_;
    uint8_t next_;
    uint32_t step_;
    uint32_t mark_;
};

}  // namespace

}  // namespace orukiv

using namespace orukiv;

extern "C" int32_t KIV_LSS_ConfigureAll(KIV_Handle handle, uint8_t firstNodeId, uint8_t maxCount,
                                        uint32_t flags, uint32_t stepMs, KIV_LssFound* found,
                                        uint32_t* count) {
    if (handle == nullptr || !cia301::IsNodeId(firstNodeId) || maxCount == 0 || found == nullptr ||
        count == nullptr || stepMs > 0x7FFFFFFFu)
        return KIV_ERR_PARAM;
    if (OnOwnWorker(handle)) {
        Log().Error("kiv KIV_LSS_ConfigureAll called in a callback of its own instance: refused");
        return KIV_ERR_PARAM;
    }
    *count = 0;
    Numbering numbering(handle, firstNodeId, stepMs);
    int32_t first = KIV_OK;
    while (*count < maxCount) {
        if (numbering.Cancelled()) {
            if (first == KIV_OK) first = KIV_ERR_CANCELLED;
            break;
        }
        uint32_t identity[4] = {};
        uint8_t answered = 0;
        const int32_t rc =
            LssFastscan(handle, numbering.Step(), identity, &answered, numbering.Mark());
        if (rc == KIV_ERR_TIMEOUT && answered == 0) break;  // no slave left
        if (rc != KIV_OK) {
            // Slaves answered but no whole identity was found.
            if (first == KIV_OK) first = rc;
            break;
        }
        KIV_LssFound& e = found[(*count)++];
        std::memset(&e, 0, sizeof e);
        std::memcpy(e.identity, identity, sizeof identity);
        const bool goOn = numbering.Number(e, flags);
        if (e.result != KIV_OK && first == KIV_OK) first = e.result;
        if (numbering.Cancelled() && first == KIV_OK) first = KIV_ERR_CANCELLED;
        if (!goOn) break;
    }
    return first;
}
