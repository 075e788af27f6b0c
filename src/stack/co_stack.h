// The stack instance behind a KIV_Handle, and the request records that the
// exports hand to its worker thread.
#pragma once

#include <atomic>
#include <cstdint>

#include "orukiv/orukiv.h"
#include "platform/platform.h"
#include "sdo/sdo_channel.h"
#include "services/cyclic.h"
#include "services/lss_master.h"
#include "services/node_supervision.h"
#include "services/statistics.h"

enum CoRequestType : int32_t {
    REQ_STOP = 0,
    REQ_INPUT_FRAME = 2,
    REQ_NMT_COMMAND = 4,
    REQ_SDO_READ = 5,
    REQ_SDO_WRITE = 6,
    REQ_PDO = 7,
    REQ_PDO_RTR = 8,
    REQ_SYNC = 9,
    REQ_EMCY = 10,
    REQ_TIMESTAMP = 11,
    REQ_NODE_GUARD = 12,
    REQ_HEARTBEAT = 13,
    REQ_SUPERVISE = 14,
    REQ_GUARD = 15,
    REQ_LSS = 16,
    REQ_BOOT_EVENT = 17,
};

// Arguments of a request, by type. Pointers refer to the caller's memory,
// which stays valid because the caller is blocked until completion.
union CoPayload {
    KIV_CanFrame frame;  // REQ_INPUT_FRAME
    struct {
        int32_t command;
    } nmt;
    struct {
        uint16_t index;
        uint8_t subIndex;
        uint8_t* buffer;
        uint32_t capacity;
        uint32_t* received;
        uint32_t* abortCode;  // may be null
    } sdoRead;
    struct {
        uint16_t index;
        uint8_t subIndex;
        const uint8_t* data;
        uint32_t size;
        uint32_t* abortCode;  // may be null
    } sdoWrite;
    struct {
        uint32_t cobId;
        const uint8_t* data;
        uint8_t length;
    } pdo;
    struct {
        uint32_t cobId;
    } pdoRtr;
    struct {
        uint16_t errorCode;
        uint8_t errorRegister;
        uint8_t manufacturer[5];
    } emcy;
    struct {
        uint16_t year;
        uint8_t month, day, hour, minute, second;
        uint32_t millisecond;
    } timestamp;
    struct {
        int32_t state;
    } heartbeat;
    struct {
        uint32_t timeMs;  // heartbeat time-out or guard time; 0 stops
        uint8_t lifeTimeFactor;
    } supervise;  // REQ_SUPERVISE, REQ_GUARD
    struct {
        uint8_t service;  // orukiv::LssService
        uint8_t a, b;     // node-ID, mode, bit timing table and index
        uint16_t delayMs;
        uint32_t waitMs;     // fastscan step, identify window
        uint32_t values[4];  // switch selective: the identity
        uint32_t* out32;     // identity found or inquired (4)
        uint8_t* out8;       // error code or node-ID
        CoRequest* next;     // worker: the next waiting LSS service
    } lss;
    struct {
        uint8_t status;  // CiA 302-2 letter, 0 success
        uint8_t nmtState;
        int32_t result;
        uint32_t abortCode;
    } boot;  // REQ_BOOT_EVENT
    unsigned char raw[80];
};
static_assert(sizeof(CoPayload) == 80);

// One request. Lives on the calling thread's stack; zero-filled before use.
struct CoRequest {
    int32_t type;  // CoRequestType
    uint8_t node;
    CoPayload payload;
    orukiv::platform::Semaphore* done;  // null in a stop request
    int32_t result;
    // SDO requests: 1 for a block transfer; where a read records that the
    // server's expedited answer indicated no size (may be null).
    uint8_t sdoBlock;
    uint8_t* sdoUnsized;
    // The cancel mark of the request's node when the call was made
    // (stack/cancel.h); services that honour KIV_Cancel set it.
    uint32_t cancelMark;
};

constexpr int kRingSlots = 32;

// Requests waiting for the worker; one slot always stays empty. Guarded by
// the instance mutex.
struct RequestRing {
    CoRequest* slots[kRingSlots];
    int32_t head;
    int32_t tail;
};

using TickSource = uint32_t (*)(void* context);

struct CoStack {
    KIV_CanRecvFn canRecv;
    KIV_CanSendFn canSend;
    KIV_FdRecvFn fdRecv;
    KIV_FdSendFn fdSend;
    KIV_EventFn onEvent;
    void* userData;
    orukiv::platform::Thread* thread;
    orukiv::platform::Mutex* mutex;
    RequestRing ring;
    std::atomic<int32_t> running;
    uint32_t sdoTimeoutMs;
    uint32_t sdoClaimSeq;  // worker only: numbers SDO claims in order
    orukiv::SdoChannel sdoUpload[orukiv::SDO_CHANNELS];
    orukiv::SdoChannel sdoDownload[orukiv::SDO_CHANNELS];
    // Answers that re-sent copies of finished writes may still draw (worker
    // only), and the SDO settings (guarded by the mutex).
    orukiv::SdoEcho sdoEchoes[orukiv::SDO_ECHOES];
    orukiv::SdoSettings sdoSettings;

    // The millisecond clock of the SDO channels; tests substitute their own.
    TickSource tick;
    void* tickContext;
    // Set once a receive poll answered a count outside 0..8, so that a
    // broken host cannot flood the log.
    bool badRecvCountLogged;
    // Heartbeat consumer and node guarding (worker-owned, published for the
    // queries), and the counters behind KIV_GetStats.
    orukiv::NodeSupervision supervision;
    orukiv::Statistics stats;
    // Who frees the instance when KIV_Destroy gave up waiting for the worker:
    // 0 nobody yet, 1 the worker has ended, 2 KIV_Destroy handed it over.
    std::atomic<int32_t> handoff;
    // Set by KIV_Destroy before it returns with the worker still running (it
    // gave up waiting, or was called on the worker itself). The host may free
    // what its callbacks use from then on: the worker enters none again.
    std::atomic<bool> hostReleased;

    // Low-latency mode (stack/worker_timing.cpp): the sleep between passes
    // in microseconds, 0 for the default timing, and KIV_TIMING_ flags. The
    // waker exists from the first KIV_SetWorkerTiming on.
    std::atomic<uint32_t> periodUs;
    std::atomic<uint32_t> timingFlags;
    orukiv::platform::Waker* waker;
    // The last receive poll filled all 8 records (worker only).
    bool lastPollFull;
    // SYNC producer and the host's frames of each cycle (services/cyclic.*).
    orukiv::Cyclic cyclic;

    // LSS master (worker-owned) and the wait of its confirmed services.
    orukiv::LssMaster lss;
    std::atomic<uint32_t> lssTimeoutMs;
    // Boot-up messages received per node (index = node id), counted by the
    // worker so that a boot can wait for the next one without queuing.
    std::atomic<uint32_t> bootUps[128];

    // KIV_Cancel's generation counters (stack/cancel.h): for every node
    // (KIV_Cancel(h, 0)) and per node. Any thread raises them; services read.
    std::atomic<uint32_t> cancelAll;
    std::atomic<uint32_t> cancelNode[128];
};

namespace orukiv {

// The worker's sleep between passes in the default timing.
constexpr uint32_t kPassSleepMs = 5;

inline uint32_t StackTick(CoStack* s) {
    return s->tick(s->tickContext);
}

// Node ids that pick a frame's identifier (EMCY, heartbeat, guarding, SDO):
// 1..127. Any other would put the frame on the identifier of another service
// (EMCY of node 0 on SYNC's 0x080, of node 128 on TIME's 0x100).
inline bool NodeIdValid(uint8_t node) {
    return cia301::IsNodeId(node);
}

// False once KIV_Destroy has returned while the worker still runs: every
// place that calls a host callback asks first.
inline bool HostReachable(const CoStack* s) {
    return !s->hostReleased.load();
}

// True on the worker thread of this instance, that is inside one of its
// callbacks.
bool OnOwnWorker(const CoStack* stack);

// Request ring and call pattern.
bool EnqueueRequest(CoStack* stack, CoRequest* request);
// Queues the request and waits for its completion. On the instance's own
// worker (a callback calling a queuing export) it would wait for itself:
// refused with KIV_ERR_PARAM and one Error line naming exportName.
int32_t SubmitRequest(CoStack* stack, CoRequest* request, const char* exportName);
// Worker only: true when the request was handed to an SDO channel.
bool DispatchRequest(CoStack* stack, CoRequest* request);
// The one path by which a classic frame is sent.
int32_t SendFrame(CoStack* stack, const KIV_CanFrame* frame);
// Sends a frame built by an SDO channel: nothing without canSend, a log line
// on failure.
void ChannelSend(CoStack* stack, const KIV_CanFrame* frame);

// Worker.
unsigned WorkerMain(void* instance);
void PollReceive(CoStack* stack);
// Runs one pass of the worker loop without sleeping (tests drive it).
void WorkerPass(CoStack* stack);

// Received frames (SDO offer, then event).
void ProcessRxFrame(CoStack* stack, const KIV_CanFrame* frame);

// Counts a boot-up message (0x700 + node, data 0) in bootUps.
void CountBootUp(CoStack* stack, const KIV_CanFrame* frame);
// Sends the KIV_EVENT_BOOT event of a REQ_BOOT_EVENT request.
void EmitBootEvent(CoStack* stack, const CoRequest* request);

// Service frame encoders used by the dispatcher.
void BuildServiceFrame(const CoRequest* request, KIV_CanFrame* frame);

// Zero-filled instance with default settings and no worker; tests use it to
// drive channels and dispatch directly. Freed with FreeStack.
CoStack* NewStack(const KIV_InitParam* param);
void FreeStack(CoStack* stack);

}  // namespace orukiv
