// The SDO client as a service of the stack: the adapter between the service
// table and the channels' entry points (sdo/sdo_channel.h).
#include <cstring>

#include "instance/co_stack.h"
#include "stack/service.h"
#include "stack/worker_timing.h"

namespace orukiv {

namespace {

constexpr int32_t kRequestTypes[] = {REQ_SDO_READ, REQ_SDO_WRITE};

bool Dispatch(StackCore* core, CoRequest* request) {
    if (SdoClaimChannel(Instance(core), request) == KIV_OK) return true;
    request->result = KIV_ERR_NO_RESOURCE;
    return false;
}

void OnFrame(StackCore* core, const KIV_CanFrame* frame) {
    SdoOfferFrame(Instance(core), frame);
}

void Due(StackCore* core) {
    SdoTickUploads(Instance(core));
    SdoTickDownloads(Instance(core));
}

void Init(StackCore* core) {
    CoStack* stack = Instance(core);
    stack->sdoTimeoutMs = 1000;
    SdoDefaultSettings(&stack->sdoSettings);
}

// Transfers still in a channel end with KIV_ERR_TIMEOUT, whatever the
// foundation's result.
void Release(StackCore* core, int32_t) {
    CoStack* stack = Instance(core);
    for (SdoChannel* pool : {stack->sdoUpload, stack->sdoDownload}) {
        for (int i = 0; i < SDO_CHANNELS; ++i) {
            SdoChannel& ch = pool[i];
            if (!ch.busy || ch.request == nullptr) continue;
            ch.request->result = KIV_ERR_TIMEOUT;
            platform::Semaphore* done = ch.request->done;
            std::memset(&ch, 0, sizeof ch);
            if (done != nullptr) platform::SemaphorePost(done);
        }
    }
}

// In the default timing, a block download waiting for its sub-block's
// acknowledgement looks again after 1 ms rather than the plain 5 ms (not
// while cycles run: their own pause times the worker then).
bool Pause(StackCore* core) {
    CoStack* stack = Instance(core);
    if (InLowLatencyMode(stack) || stack->lastPollFull || stack->cyclic.active.load() ||
        !SdoAwaitsBlockAck(stack))
        return false;
    platform::SleepMs(1);
    return true;
}

// No progress call may start or still run once KIV_Destroy returned.
void HandOver(StackCore* core, uint32_t maxMs) {
    SdoAwaitProgress(Instance(core), maxMs);
}

}  // namespace

// The channels pick their servers' answers themselves: every frame.
extern const Service kSdoService = {
    "SDO client",
    kRequestTypes,
    std::size(kRequestTypes),
    Dispatch,
    0,
    kAllFrames,
    OnFrame,
    Due,
    Pause,
    Init,
    nullptr,
    Release,
    nullptr,
    HandOver,
};

}  // namespace orukiv
