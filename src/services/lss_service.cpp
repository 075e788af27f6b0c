// The LSS master as a service of the stack: the adapter between the service
// table and the master's entry points (services/lss_master.h).
#include "instance/co_stack.h"
#include "stack/service.h"

namespace orukiv {

namespace {

constexpr int32_t kRequestTypes[] = {REQ_LSS};

bool Dispatch(StackCore* core, CoRequest* request) {
    return LssDispatch(Instance(core), request);
}
void OnFrame(StackCore* core, const KIV_CanFrame* frame) {
    LssOfferFrame(Instance(core), frame);
}
void Due(StackCore* core) {
    LssDue(Instance(core));
}
void Init(StackCore* core) {
    Instance(core)->lssTimeoutMs.store(kLssDefaultTimeoutMs);
}
void Release(StackCore* core, int32_t result) {
    LssReleaseAll(Instance(core), result);
}

}  // namespace

extern const Service kLssService = {
    "LSS master",
    kRequestTypes,
    std::size(kRequestTypes),
    Dispatch,
    0,
    kAllFrames,  // the answers on 0x7E4, and the SDO answer of a node-ID probe
    OnFrame,
    Due,
    nullptr,
    Init,
    nullptr,
    Release,
    nullptr,
    nullptr,
};

}  // namespace orukiv
