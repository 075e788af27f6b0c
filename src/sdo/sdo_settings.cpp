// Per-instance SDO settings: re-send policy, one transfer per node, block
// transfer parameters and the progress callback. Each takes effect for
// transfers requested after the call (a channel copies them when claimed).
#include "sdo/sdo_channel.h"
#include "stack/cia301.h"
#include "stack/co_stack.h"

namespace {

using orukiv::SdoSettings;

template <typename Change>
int32_t Update(KIV_Handle handle, Change change) {
    if (handle == nullptr) return KIV_ERR_PARAM;
    orukiv::platform::MutexLock(handle->mutex);
    change(handle->sdoSettings);
    orukiv::platform::MutexUnlock(handle->mutex);
    return KIV_OK;
}

}  // namespace

extern "C" {

int32_t KIV_SetSdoRetry(KIV_Handle handle, uint32_t intervalMs, uint32_t maxResends) {
    if (intervalMs == 0) return KIV_ERR_PARAM;
    return Update(handle, [&](SdoSettings& s) {
        s.resendMs = intervalMs;
        s.maxResends = maxResends;
    });
}

int32_t KIV_SetSdoOneTransferPerNode(KIV_Handle handle, uint32_t enable) {
    return Update(handle, [&](SdoSettings& s) { s.onePerNode = enable != 0 ? 1 : 0; });
}

int32_t KIV_SetSdoRefuseLongReads(KIV_Handle handle, uint32_t enable) {
    return Update(handle, [&](SdoSettings& s) { s.refuseLong = enable != 0 ? 1 : 0; });
}

int32_t KIV_SetBlockTransfer(KIV_Handle handle, uint32_t blockSize, uint32_t switchThreshold,
                             uint32_t framesPerPass) {
    using namespace orukiv::cia301;
    if (blockSize < kBlockMinSize || blockSize > kBlockMaxSize || switchThreshold > 0xFF ||
        framesPerPass == 0)
        return KIV_ERR_PARAM;
    return Update(handle, [&](SdoSettings& s) {
        s.blockSize = blockSize;
        s.switchThreshold = switchThreshold;
        s.framesPerPass = framesPerPass;
    });
}

int32_t KIV_SetTransferProgress(KIV_Handle handle, KIV_ProgressFn fn, void* user) {
    return Update(handle, [&](SdoSettings& s) {
        s.progress = fn;
        s.progressUser = user;
    });
}

}  // extern "C"
