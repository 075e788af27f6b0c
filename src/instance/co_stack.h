// The instance behind a KIV_Handle: the foundation (stack/stack_core.h) and
// the state of each service it owns. The services' files see it; the
// foundation does not.
#pragma once

#include <atomic>
#include <cstdint>

#include "sdo/sdo_channel.h"
#include "services/cyclic.h"
#include "services/lss_master.h"
#include "services/node_supervision.h"
#include "stack/cia301.h"
#include "stack/stack_core.h"

struct CoStack : StackCore {
    // SDO client: the time-out, the claim order (worker only), the
    // channels, the answers that re-sent copies of finished writes may still
    // draw (worker only), and the settings (guarded by the mutex).
    uint32_t sdoTimeoutMs;
    uint32_t sdoClaimSeq;
    orukiv::SdoChannel sdoUpload[orukiv::SDO_CHANNELS];
    orukiv::SdoChannel sdoDownload[orukiv::SDO_CHANNELS];
    orukiv::SdoEcho sdoEchoes[orukiv::SDO_ECHOES];
    orukiv::SdoSettings sdoSettings;
    // Progress callback calls begun and ended (odd while one is under way);
    // raised by the worker, the first time under the mutex together with
    // reading the callback (sdo/sdo_channel.cpp, ReportProgress).
    std::atomic<uint32_t> progressCalls;

    // Heartbeat consumer and node guarding (worker-owned, published for the
    // queries).
    orukiv::NodeSupervision supervision;
    // SYNC producer and the host's frames of each cycle (services/cyclic.*).
    orukiv::Cyclic cyclic;
    // LSS master (worker-owned) and the wait of its confirmed services.
    orukiv::LssMaster lss;
    std::atomic<uint32_t> lssTimeoutMs;
    // Boot-up messages received per node (index = node id), counted by the
    // worker so that a boot can wait for the next one without queuing.
    std::atomic<uint32_t> bootUps[128];
    // Boot-up and heartbeat messages received per node (KIV_LSS_ConfigureAll
    // skips the node-IDs heard from).
    std::atomic<uint32_t> heard[128];
    // While KIV_BootNetwork runs: its list (1 per listed node); a boot-up of
    // an unlisted node is reported with status 'A'.
    std::atomic<uint32_t> netBootActive;
    std::atomic<uint8_t> netBootListed[128];
};

namespace orukiv {

// The instance of a foundation that the services were handed.
inline CoStack* Instance(StackCore* core) {
    return static_cast<CoStack*>(core);
}

// Zero-filled instance with default settings and no worker; tests use it to
// drive channels and dispatch directly. Freed with FreeStack.
CoStack* NewStack(const KIV_InitParam* param);
void FreeStack(CoStack* stack);

}  // namespace orukiv
