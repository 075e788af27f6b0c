// A virtual CAN bus and simulated CANopen nodes, for tests, the demo and the
// benchmarks. Not part of the shipped library: depends only on the public
// header and the standard library.
//
//   VirtualBus bus;                      // declare first: it outlives all below
//   HostEndpoint host(bus);              // the library's side of the bus
//   SimNode node(bus, 5);                // an SDO server on node 5
//   node.AddU16(0x2000, 0, 0x1234);
//   KIV_InitParam p = host.Param();
//   KIV_Handle h = KIV_Init(&p);         // destroy before host and node go
//
// A frame sent by one endpoint reaches every other endpoint of the bus, never
// its sender. By default a node answers in the sender's delivery call, so an
// answer to the library is waiting in the host's queue before canSend returns
// and the simulator adds no latency of its own.
//
// Bit timing (VirtualBus::SetBitTiming, opt-in) makes the bus take real
// time: frames wait in a bounded transmit queue per endpoint, leave one at a
// time in identifier order, each occupying the bus for FrameBits of it at
// the bit rate, and are delivered from the bus's own thread at their end.
// With BitTiming::mergeIdentical, identical frames that start in the same
// bit time are one frame, as on a real bus.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/nmt_slave.h"
#include "orukiv_sim/sdo_server.h"

namespace orukiv::sim {

using Clock = std::chrono::steady_clock;

// A zero-filled data frame with the given id and bytes (dlc = byte count).
KIV_CanFrame MakeFrame(uint32_t id, std::initializer_list<uint8_t> bytes);
// An 8-byte frame (dlc 8), bytes beyond the list zero: the SDO frame form.
KIV_CanFrame MakeSdoFrame(uint32_t id, std::initializer_list<uint8_t> bytes);

// The bits a classic base-format frame takes on the bus: start of frame to
// end of frame with the stuff bits that its identifier, RTR bit, DLC, data
// and CRC call for, plus the 3-bit intermission before the next frame may
// start. 47 + 8 x data bytes before stuffing; identifiers above 0x7FF are
// taken modulo 0x800, a dlc above 8 carries 8 data bytes.
uint32_t FrameBits(const KIV_CanFrame& frame);
// CRC-16 of SDO block transfers (polynomial 0x1021, initial value 0, no
// reflection, no final xor), continued from `crc`.
uint16_t BlockCrc(const uint8_t* data, std::size_t size, uint16_t crc = 0);

class VirtualBus;

// One attachment to a bus. Frames from other endpoints are either handed to
// the endpoint's handler, on the sending thread, or queued for polling.
class Endpoint {
public:
    using Handler = std::function<void(const KIV_CanFrame&)>;

    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    uint32_t Id() const { return id_; }
    const std::string& Name() const { return name_; }

    // Sends to every other endpoint of the bus: at once, or with bit timing
    // into this endpoint's transmit queue. False, sending nothing, once
    // closed or when the transmit queue is full.
    bool Send(const KIV_CanFrame& frame);
    // Sends after `delay` from the bus's timer thread (dropped if this
    // endpoint is closed by then, or its transmit queue is full). With bit
    // timing the frame is queued at once, due `delay` after now on the bus's
    // time line: what a receiver sends in answer counts from the end of the
    // frame it answers, however late the bus's thread delivered it.
    void SendAfter(const KIV_CanFrame& frame, std::chrono::microseconds delay);

    // With bit timing: how many frames the transmit queue holds, the one on
    // the bus included (0: no bound). Until this is called, the bus's
    // BitTiming::txQueueDepth.
    void SetTxQueueDepth(std::size_t depth);
    // With bit timing: called on the bus's thread each time one of this
    // endpoint's frames has left the bus (its queue has room again).
    void SetSentHandler(std::function<void()> handler);

    // Endpoints without a handler: called on the delivering thread after a
    // frame was queued for polling (empty: nothing). Once this (or
    // SetSentHandler) returns, the old handler is not running and will not
    // be called again.
    void SetArrivalHandler(std::function<void()> handler);

    // Queue access (endpoints without a handler).
    bool TryPop(KIV_CanFrame& out);
    std::size_t PopMany(KIV_CanFrame* out, std::size_t maxCount);
    // Blocks until a frame is queued or the endpoint is closed (false).
    bool WaitPop(KIV_CanFrame& out);
    // As WaitPop, false also when `timeout` passes.
    bool WaitPopFor(KIV_CanFrame& out, std::chrono::milliseconds timeout);
    std::size_t QueueSize() const;
    void ClearQueue();

    // Stops delivery, wakes waiters and waits for handler calls in progress
    // to return. Must not be called from this endpoint's own handler.
    void Close();

private:
    friend class VirtualBus;
    Endpoint(VirtualBus& bus, uint32_t id, std::string name, Handler handler);
    void Deliver(const KIV_CanFrame& frame);

    VirtualBus& bus_;
    const uint32_t id_;
    const std::string name_;
    const Handler handler_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<KIV_CanFrame> queue_;
    bool closed_ = false;
    int inFlight_ = 0;

    // Transmit queue (bit timing only), guarded by the bus's wireM_.
    struct Queued {
        KIV_CanFrame frame;
        Clock::time_point at;  // when it was queued
    };
    std::deque<Queued> tx_;
    std::size_t txDepth_ = 0;
    bool txDepthSet_ = false;  // by SetTxQueueDepth: SetBitTiming leaves it

    // The hooks, held while they run.
    void RunHook(const std::function<void()>& hook);
    std::mutex hookM_;
    std::function<void()> onArrival_;
    std::function<void()> onSent_;
};

// One frame as it crossed the bus.
struct TraceEntry {
    KIV_CanFrame frame;
    Clock::time_point at;  // when it was delivered; with bit timing, the end
                           // of the frame on the bus's own time line
    uint32_t senderId;     // Endpoint::Id of the sender
    std::string sender;    // Endpoint::Name of the sender
};

// Bit timing of a VirtualBus.
struct BitTiming {
    uint32_t bitRate = 0;  // bits per second, 10 000..1 000 000; 0: instant
    // Frames each endpoint's transmit queue holds unless SetTxQueueDepth
    // says otherwise (10: a SocketCAN socket's default); 0: no bound.
    std::size_t txQueueDepth = 10;
    // Identical frames (identifier, RTR, DLC, data) of several endpoints
    // that start in the same bit time, frames that waited for the bus
    // included, are one frame on the bus, as on a real one: every such
    // sender sees its frame sent, the other endpoints receive it once.
    // Off: each is a frame of its own.
    bool mergeIdentical = false;
};

// Thread-safe in-memory CAN bus. Must outlive every endpoint attached to it.
//
// With bit timing the bus keeps its own time line: a frame starts when the
// bus is free and it has won arbitration (the lowest identifier among the
// frames at the heads of the transmit queues that were waiting when the bus
// became free; when none was waiting, the first one queued after), takes
// FrameBits / bitRate seconds and is delivered, on the bus's thread, once
// that time has passed. A late wake-up of the thread delays the delivery
// but not the time line: frames waiting meanwhile follow back to back, and
// what a receiver sends from its delivery call (an inline node's answer,
// delayed or not) is due from the end of the frame it answers. Frames sent
// from other threads (a library's worker) are due when they are sent.
class VirtualBus {
public:
    VirtualBus();
    ~VirtualBus();
    VirtualBus(const VirtualBus&) = delete;
    VirtualBus& operator=(const VirtualBus&) = delete;

    // Attaches an endpoint; with a handler, frames go to it instead of the
    // queue. Ids are unique per bus, from 1.
    std::shared_ptr<Endpoint> Attach(std::string name, Endpoint::Handler handler = {});
    // Closes the endpoint and removes it from the bus.
    void Detach(const std::shared_ptr<Endpoint>& endpoint);

    // Delivers to every attached endpoint except `from` (null: to all), at
    // once: the transmit queues and bit timing are Endpoint::Send's.
    void Send(const Endpoint* from, const KIV_CanFrame& frame);

    // Turns bit timing on (bitRate 10 000..1 000 000) or off (0). Call it
    // before traffic starts; endpoints attached earlier take the new queue
    // depth too, unless their own was set. False, changing nothing, for a
    // rate out of range.
    bool SetBitTiming(const BitTiming& timing);
    BitTiming Timing() const;
    // With bit timing: while held, queued frames wait; on release the bus
    // time line restarts now and every waiting frame contends at once.
    void SetHold(bool on);
    // With bit timing: the time the bus has been busy with frames so far.
    std::chrono::nanoseconds BusyTime() const;
    // Fault knob: a share (0..1) of the frames, drawn at random from a
    // generator seeded with `seed`, reaches no endpoint (with bit timing it
    // still takes its time on the bus). 0: none lost (the start).
    void SetLoss(double share, uint32_t seed = 1);

    // The trace records every frame delivered while it is on (off at start).
    void SetTrace(bool on);
    std::vector<TraceEntry> Trace() const;
    void ClearTrace();
    // Waits until the trace holds at least n entries; false on time-out.
    bool WaitForTrace(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    friend class Endpoint;
    struct Delayed {
        Clock::time_point due;
        uint64_t seq;
        std::weak_ptr<Endpoint> from;
        KIV_CanFrame frame;
    };
    using EndpointList = std::vector<std::shared_ptr<Endpoint>>;

    void SendAfter(const Endpoint& from, const KIV_CanFrame& frame,
                   std::chrono::microseconds delay);
    std::shared_ptr<Endpoint> Find(const Endpoint& endpoint) const;
    void TimerLoop();
    // Bit timing: queues a frame of `from`, due at `at` (false when its
    // queue is full).
    bool Enqueue(Endpoint& from, const KIV_CanFrame& frame, Clock::time_point at);
    // The bus's time line: the end of the frame being delivered on the bus's
    // thread, the clock's now elsewhere.
    Clock::time_point TimeLineNow() const;
    void WireLoop();
    void AddTrace(const Endpoint* from, const KIV_CanFrame& frame, Clock::time_point at);

    mutable std::mutex m_;
    std::shared_ptr<const EndpointList> endpoints_;  // replaced on (de)attach
    uint32_t nextId_ = 1;

    bool Lost();  // draws for SetLoss

    std::atomic<bool> tracing_{false};
    std::atomic<bool> lossy_{false};
    std::mutex lossM_;
    double lossShare_ = 0.0;
    std::mt19937 lossRng_;
    mutable std::mutex traceM_;
    mutable std::condition_variable traceCv_;
    std::vector<TraceEntry> trace_;

    std::mutex timerM_;
    std::condition_variable timerCv_;
    std::vector<Delayed> delayed_;  // a heap ordered by (due, seq)
    uint64_t delayedSeq_ = 0;
    bool timerStop_ = false;
    std::thread timer_;  // started with the first delayed send

    // Bit timing: the transmit queues (in the endpoints), the bus time line.
    mutable std::mutex wireM_;
    std::condition_variable wireCv_;
    BitTiming timing_;
    std::atomic<uint32_t> rate_{0};  // timing_.bitRate, read without the lock
    bool hold_ = false;
    bool wireStop_ = false;
    Clock::time_point busFree_{};  // end of the last frame on the time line
    std::chrono::nanoseconds busy_{0};
    std::thread wire_;  // started with bit timing
};

// The host's side of the bus: gives a library instance its canRecv/canSend
// (and onEvent) through static functions and userData.
class HostEndpoint {
public:
    // What canSend returns when the frame was not taken (the endpoint is
    // closed or, with bit timing, its transmit queue is full).
    static constexpr int32_t kSendFailed = -105;

    explicit HostEndpoint(VirtualBus& bus, std::string name = "host");
    ~HostEndpoint();
    HostEndpoint(const HostEndpoint&) = delete;
    HostEndpoint& operator=(const HostEndpoint&) = delete;

    // canRecv and canSend bound to this endpoint; with events, onEvent
    // forwards to the handler set by SetEventHandler.
    KIV_InitParam Param(bool withEvents = false);
    // Called on the library's worker thread for each event; may be changed
    // at any time (empty: events dropped).
    void SetEventHandler(std::function<void(const KIV_Event&)> handler);

    // Direct use without a library instance (simulator tests).
    bool Send(const KIV_CanFrame& frame) { return ep_->Send(frame); }
    std::optional<KIV_CanFrame> Receive();
    std::optional<KIV_CanFrame> WaitReceive(std::chrono::milliseconds timeout);
    std::size_t Pending() const { return ep_->QueueSize(); }
    void Clear() { ep_->ClearQueue(); }

    Endpoint& endpoint() { return *ep_; }
    const Endpoint& endpoint() const { return *ep_; }

private:
    static int32_t CanRecv(KIV_CanFrame* frames, uint32_t maxCount, void* user);
    static int32_t CanSend(const KIV_CanFrame* frame, void* user);
    static void OnEvent(const KIV_Event* event, void* user);

    VirtualBus& bus_;
    std::shared_ptr<Endpoint> ep_;
    std::mutex eventM_;
    std::function<void(const KIV_Event&)> onEvent_;
};

// ---------------------------------------------------------------------------
// Simulated node
// ---------------------------------------------------------------------------

enum class Access : uint8_t {
    kRO,     // read only: a write is aborted with 0x06010002
    kWO,     // write only: a read is aborted with 0x06010001
    kRW,     // read and write
    kConst,  // constant: read only
};

// One SDO write the server received and decided on.
struct WriteRecord {
    uint16_t index;
    uint8_t subIndex;
    std::vector<uint8_t> data;
    Clock::time_point at;
    uint32_t abortCode;  // 0: accepted and stored
};

// A CANopen node with an object dictionary and CiA 301 SDO servers on its
// default SDO (requests on 0x600 + id, answers on 0x580 + id): an
// SdoSegmentedServer (expedited and segmented) and an SdoBlockServer beside
// it, one transfer at a time between them (a block initiate during a
// segmented transfer is aborted with kCommandInvalid; while a block transfer
// runs every request is its). The SdoFaults knobs act on the expedited and
// segmented answers only; the block server has its own (SetBlockServer).
//
// TPDO communication and mapping records (AddCommunicationObjects), and the
// RPDO ones (AddRpdoObjects, 0x1400+n and 0x1600+n alike), follow the
// CiA 301 procedure: a mapping entry (0x1A00+n sub 1..8) is refused with
// kUnsupportedAccess while the PDO is valid (0x1800+n sub 1 bit 31 clear) or
// its count (sub 0) is not 0; the count is refused with kUnsupportedAccess
// while the PDO is valid, and on writing checks the entries: kValueTooHigh
// above 8, kCannotMap for an entry whose object is absent or whose length
// is not the object's, kMappingTooLong beyond 64 bits. A valid PDO's
// COB-ID may only be written to set bit 31 (else kInvalidValue).
class SimNode : private SdoObjects {
public:
    enum class Mode {
        kInline,  // answers in the sender's delivery call (lowest latency)
        kThread,  // own thread, woken by a condition variable per frame
        kManual,  // frames queue until Pump() is called
    };

    SimNode(VirtualBus& bus, uint8_t nodeId, Mode mode = Mode::kInline);
    virtual ~SimNode();
    SimNode(const SimNode&) = delete;
    SimNode& operator=(const SimNode&) = delete;

    uint8_t NodeId() const { return nodeId_; }

    // Object dictionary. A fixed-size object accepts writes of exactly its
    // size; a variable object (strings, domains) any size from 1 to maxSize.
    void AddObject(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value,
                   Access access = Access::kRW);
    void AddVariableObject(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value,
                           std::size_t maxSize, Access access = Access::kRW);
    void AddU8(uint16_t index, uint8_t subIndex, uint8_t value, Access access = Access::kRW);
    void AddU16(uint16_t index, uint8_t subIndex, uint16_t value, Access access = Access::kRW);
    void AddU32(uint16_t index, uint8_t subIndex, uint32_t value, Access access = Access::kRW);
    void RemoveObject(uint16_t index, uint8_t subIndex);
    // Adds the producer heartbeat time 0x1017:0 (u16, rw), the TPDO
    // communication records 0x1800..0x1803 (sub 0 u8 const 2; sub 1 COB-ID
    // u32 rw, 0x180/0x280/0x380/0x480 + node id, valid; sub 2 transmission
    // type u8 rw, 1: on every SYNC) and the TPDO mapping records
    // 0x1A00..0x1A03 (sub 0 u8 count, subs 1..8 u32, rw; all 0).
    void AddCommunicationObjects();

    // The application's view: no access check, the size may change.
    // SetValue returns false when the entry does not exist.
    bool SetValue(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value);
    std::optional<std::vector<uint8_t>> Value(uint16_t index, uint8_t subIndex) const;
    // The first (up to) 4 bytes as a little-endian number; 0 if absent.
    uint32_t ValueU32(uint16_t index, uint8_t subIndex) const;

    void SetFaults(const SdoFaults& faults);
    SdoFaults Faults() const;
    // The block-transfer server's behaviour and knobs (it starts with the
    // defaults: CRC, blksize 127, no faults, no latency).
    void SetBlockServer(const BlockServerSettings& settings);
    BlockServerSettings BlockServer() const;

    // Every SDO write decided on (accepted or refused), oldest first. A
    // segmented write that never completed is not recorded.
    std::vector<WriteRecord> Writes() const;
    void ClearWrites();
    bool WaitForWrites(std::size_t n, std::chrono::milliseconds timeout) const;

    // Frames the node saw and answers it sent (after drops), for tests.
    uint64_t RequestsSeen() const;
    uint64_t AnswersSent() const;

    // Boot-up (0x700 + id, one byte 0x00) and heartbeat frames.
    void SendBootUp();
    void SendHeartbeat(uint8_t state);

    // ---- Network behaviour (sim_nmt.cpp, sim_pdo.cpp, sim_device.cpp) ------
    // NMT slave. A node starts pre-operational and silent; Boot() sends its
    // boot-up message as after power-on. NMT commands on id 0 (to the node
    // or to all) move the state; reset node and reset communication send the
    // boot-up again. A stopped node serves neither SDO nor PDOs. Remote
    // frames on 0x700 + id are answered with the state and the guarding
    // toggle bit (0 first, then alternating; reset communication restarts it).
    KIV_NmtState NmtState() const;
    void Boot();
    bool WaitForNmtState(KIV_NmtState s, std::chrono::milliseconds timeout) const;
    // Test knob: while on, no heartbeat is produced (guarding still answers).
    void SetHeartbeatSilenced(bool on);
    // Time-driven behaviour up to `now`: the heartbeat every 0x1017 ms
    // (0: none), then the derived class's OnTick. SimTicker calls it.
    void Tick(Clock::time_point now);
    // PDOs. In operational, a SYNC sends each TPDO of the records of
    // AddCommunicationObjects that is valid, has a non-zero count and a
    // synchronous transmission type n (0x1800+n sub 2, 0..240; 1..240: every
    // n-th SYNC) with the mapping in force; a mapping that does not fit in
    // 8 bytes sends nothing. AddRpdoObjects adds the RPDO records: COB-IDs
    // 0x1400..0x1403 sub 1 (u32, 0x200/0x300/0x400/0x500 + id, not valid;
    // sub 0 u8 const 2, sub 2 transmission type u8 rw 0xFF) and mappings
    // 0x1600..0x1603 (sub 0 count, subs 1..8 entries), written by the same
    // CiA 301 rules as the TPDO records; a valid
    // RPDO's data is stored in its mapped objects in operational (a frame
    // shorter than the mapping is answered with EMCY 0x8210).
    void AddRpdoObjects();
    // Supervision objects: error register 0x1001 (u8 ro; EMCY frames the
    // node sends set it, bit 4 for a communication error), guard time
    // 0x100C (u16 rw, ms) and life time factor 0x100D (u8 rw), consumer
    // heartbeat time 0x1016 (sub 0 u8 const 1; sub 1 u32 rw: master node-ID
    // in bits 16..23, time in ms in bits 0..15) and error behaviour 0x1029
    // (sub 0 u8 const 1; sub 1 u8 rw, communication error: 0 pre-operational,
    // 1 no change, 2 stopped), all 0. A node with them supervises its master
    // as NmtSlave::CheckMaster says and reacts to its loss with EMCY 0x8130.
    void AddSupervisionObjects();
    // Device type 0x1000, device name 0x1008 (visible string) and identity
    // 0x1018 sub 0..4 (count, vendor, product, revision, serial), all const.
    struct Identity {
        uint32_t deviceType = 0;
        std::string name;
        uint32_t vendorId = 0;
        uint32_t productCode = 0;
        uint32_t revision = 0;
        uint32_t serial = 0;
    };
    void AddDeviceObjects(const Identity& identity);

    // ---- LSS slave (sim_lss.cpp) ---------------------------------------------
    // A CiA 305 slave whose identity is 0x1018:1..4 (AddDeviceObjects). A
    // node made with node-ID 255 starts unconfigured: it takes no part in
    // NMT, SDO, guarding or heartbeat, and answers fastscan and "identify
    // non-configured" until it gets a node-ID over LSS. Switched back to
    // waiting state with a node-ID, it takes it at once and boots; a
    // configured node takes a new node-ID at its next reset communication.
    // Bit timing: table 0 only (index 0..8 but 5); activation takes the
    // configured index at once. "Store" keeps node-ID and bit timing across
    // PowerCycle.
    uint8_t PendingNodeId() const;
    uint8_t BitTimingIndex() const;  // in force; 0 (1000 kbit/s) at first
    bool InLssConfiguration() const;
    // Power off and on: the stored node-ID and bit timing (at first, those
    // the node was made with) take effect, LSS waiting state, NMT
    // pre-operational, and the boot-up message when configured.
    void PowerCycle();
    // The boot-up message of every later reset or LSS numbering goes out
    // this much later (0 at first).
    void SetBootUpDelay(std::chrono::milliseconds delay);
    // Test knob: "store configuration" refused with error code 1.
    void SetLssStoreSupported(bool on);
    // Every LSS answer goes out `delay` plus a random share of `jitter`
    // (uniform, from a generator seeded with `seed`) after the frame it
    // answers, as slaves answering one query at different moments do. 0
    // and 0 at first: at once.
    void SetLssAnswerDelay(std::chrono::microseconds delay, std::chrono::microseconds jitter,
                           uint32_t seed = 1);

    // Manual mode: handles every queued frame; returns how many.
    std::size_t Pump();
    // Manual mode: waits up to `timeout` for one frame and handles it.
    bool PumpOne(std::chrono::milliseconds timeout);

protected:
    // Called under the node's lock once a write passed the dictionary
    // checks, before it is stored. Non-zero refuses it with that abort code.
    virtual uint32_t OnWrite(uint16_t index, uint8_t subIndex, const std::vector<uint8_t>& data);
    // Called under the node's lock after a write was stored.
    virtual void AfterWrite(uint16_t index, uint8_t subIndex);
    // Called under the node's lock at each Tick, after the heartbeat.
    virtual void OnTick(Clock::time_point now);
    // Called under the node's lock on NMT reset node, before the boot-up.
    virtual void OnResetApplication();
    // Called under the node's lock on each SYNC in operational, before the
    // TPDOs are built.
    virtual void OnSyncLocked(Clock::time_point now);

    // For the hooks and derived classes, with m_ held.
    std::vector<uint8_t>* FindLocked(uint16_t index, uint8_t subIndex);
    void SetLocked(uint16_t index, uint8_t subIndex, std::vector<uint8_t> value);
    uint32_t ValueU32Locked(uint16_t index, uint8_t subIndex) const;
    // Queues a frame to go out once m_ is released: within a hook the node
    // sends it itself; elsewhere call FlushPending after unlocking.
    void SendLocked(const KIV_CanFrame& frame);
    void FlushPending();

    // Closes the endpoint, stops the thread and waits for handler calls in
    // progress. Derived classes with hooks call it first in their destructor.
    void Shutdown();

    mutable std::mutex m_;

private:
    struct Entry {
        std::vector<uint8_t> value;
        Access access = Access::kRW;
        bool variable = false;
        std::size_t maxSize = 0;
    };
    // SdoObjects, for the servers (m_ held).
    uint32_t ReadForUpload(uint16_t index, uint8_t sub, std::vector<uint8_t>& value) override;
    uint32_t CheckDownload(uint16_t index, uint8_t sub, std::optional<uint32_t> size,
                           const std::vector<uint8_t>& attempted) override;
    std::optional<std::size_t> FixedSize(uint16_t index, uint8_t sub) override;
    uint32_t CommitDownload(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data) override;
    // A block-transfer frame (or any request while one runs): true when taken.
    bool ServeBlock(const uint8_t* d, uint16_t index, uint8_t sub);

    void HandleFrame(const KIV_CanFrame& frame);
    // LSS master frames (0x7E5): true when the frame was one.
    bool HandleLssFrame(const KIV_CanFrame& frame);
    // NMT, SYNC, guarding and RPDO frames, and SDO requests to a stopped
    // node: true when the frame was taken here.
    bool HandleNetworkFrame(const KIV_CanFrame& frame);
    void NmtCommandLocked(uint8_t command);
    void BootLocked();
    // The master lost (NmtSlave::CheckMaster): error register bit 4, EMCY
    // 0x8130, and the state 0x1029:1 asks (0: pre-operational from
    // operational, 1: no change, 2: stopped).
    void MasterLostLocked(NmtSlave::Loss loss);
    // Takes a node-ID (from LSS or storage) for the node and its SDO servers.
    void AdoptNodeIdLocked(uint8_t nodeId);
    void SendTpdosLocked();
    void ReceiveRpdoLocked(const KIV_CanFrame& frame);
    void ServeRequest(const uint8_t* d);
    // Checks and stores a complete write; returns the abort code (0: ok).
    uint32_t CommitWrite(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data);
    uint32_t CheckWriteAccess(uint16_t index, uint8_t sub) const;
    // The CiA 301 rules for TPDO communication and mapping records.
    uint32_t CheckPdoRecordWrite(uint16_t index, uint8_t sub,
                                 const std::vector<uint8_t>& data) const;
    uint32_t CheckMapping(uint16_t mapIndex, uint8_t count) const;
    uint32_t CheckSize(const Entry& e, std::size_t size) const;
    const Entry* Find(uint16_t index, uint8_t sub) const;
    uint32_t LookUp(uint16_t index, uint8_t sub, const Entry** out) const;
    void Answer(KIV_CanFrame frame);
    void Abort(uint16_t index, uint8_t sub, uint32_t code);
    void Record(uint16_t index, uint8_t sub, const std::vector<uint8_t>& data, uint32_t code);
    double Draw();

    VirtualBus& bus_;
    std::atomic<uint8_t> nodeId_;  // 255: unconfigured
    const Mode mode_;
    std::shared_ptr<Endpoint> ep_;
    std::thread thread_;
    bool shutDown_ = false;

    std::map<uint32_t, Entry> od_;  // key: index << 8 | sub-index
    std::mt19937 rng_;              // SdoFaults' random draws

    SdoSegmentedServer seg_;
    SdoBlockServer block_;
    Clock::time_point blockMoved_{};  // the block transfer's last request

    std::vector<WriteRecord> writes_;
    mutable std::condition_variable writesCv_;
    uint64_t requestsSeen_ = 0;
    uint64_t answersSent_ = 0;
    // Frames produced under the lock, sent once it is released.
    std::vector<std::pair<KIV_CanFrame, std::chrono::microseconds>> outbox_;

    // Network state (sim_nmt.cpp, nmt_slave.cpp).
    NmtSlave nmt_;
    mutable std::condition_variable nmtCv_;
    uint8_t syncCount_[4] = {};  // SYNCs since each TPDO was last sent
    std::chrono::milliseconds bootUpDelay_{0};

    // LSS slave (sim_lss.cpp).
    uint8_t pendingNodeId_;
    uint8_t storedNodeId_;
    uint8_t bitTiming_ = 0;
    uint8_t pendingBitTiming_ = 0;
    uint8_t storedBitTiming_ = 0;
    bool lssConfiguration_ = false;
    bool lssStoreSupported_ = true;
    uint8_t selectiveMatched_ = 0;  // parts of a switch selective matched so far
    uint8_t fastscanPos_ = 0xFF;    // identity part next checked; 0xFF not scanning
    std::chrono::microseconds lssDelay_{0};
    std::chrono::microseconds lssJitter_{0};
    std::mt19937 lssRng_;
};

// ---------------------------------------------------------------------------
// CiA 402 drive
// ---------------------------------------------------------------------------

enum class DriveState : uint8_t {
    kNotReadyToSwitchOn,
    kSwitchOnDisabled,
    kReadyToSwitchOn,
    kSwitchedOn,
    kOperationEnabled,
    kQuickStopActive,
    kFaultReactionActive,
    kFault,
};

const char* DriveStateName(DriveState s);
// The statusword bits 0..3, 5, 6 of a state (the other bits zero).
uint16_t StatusWordOf(DriveState s);

// A servo drive: a SimNode whose controlword 0x6040 drives the CiA 402 state
// machine, reflected in the statusword 0x6041. It starts in switch on
// disabled. Objects (sub-index 0): 0x6040 u16 rw, 0x6041 u16 ro, 0x6060 i8
// rw, 0x6061 i8 ro (follows 0x6060), 0x607A i32 rw, 0x6064 i32 ro, 0x60FF
// i32 rw, 0x606C i32 ro, 0x6071 i16 rw, 0x6077 i16 ro, 0x6098 i8 rw, plus
// 0x1000 (device type, ro), the communication objects of
// SimNode::AddCommunicationObjects and the program data 0x1F50 (sub 0: u8
// const 1; sub 1: a DOMAIN, rw, empty at start, up to kProgramDataMaxSize
// bytes: a firmware image as a download tool writes it). In operation enabled a written target
// (position, velocity, torque) is reached at once: the actual value takes it,
// except in profile position mode (0x6061 = 1; sim_drive_motion.cpp): there a
// rising controlword bit 4 (new set-point; bit 6: relative) takes 0x607A as
// the target, statusword bit 12 acknowledges it while bit 4 stays set, and at
// each Tick the actual position moves toward the target at the profile
// velocity 0x6081 (u32 rw, counts per second) until it is reached: then
// statusword bit 10 (target reached) is set.
//
// Cyclic synchronous position (mode 8) and velocity (mode 9): a target
// written (by RPDO or SDO) is taken on the next SYNC, never at once. On each
// SYNC in operation enabled, the drive closes half the gap to the target
// (position in mode 8, velocity in mode 9, the position then moving by the
// velocity over the time since the previous SYNC), then stores the target
// minus the actual value of the mode in the following error 0x60F4 (i32,
// ro) and sets statusword bit 13 while its magnitude exceeds the window
// 0x6065 (u32, rw, 1000) and bit 12 (following the command) in either mode;
// the TPDOs of that SYNC carry the new values. Outside the window for longer
// than the following error time out 0x6066 (u16 rw, ms; 0 at first: never)
// the drive faults with error code 0x8611 (EMCY). The error code 0x603F
// (u16 ro) and the error register 0x1001 show the fault until it is reset. The drive has the RPDO
// records of AddRpdoObjects.
class SimDrive : public SimNode {
public:
    static constexpr std::size_t kProgramDataMaxSize = std::size_t{1} << 20;  // 1 MiB

    SimDrive(VirtualBus& bus, uint8_t nodeId, Mode mode = Mode::kInline);
    ~SimDrive() override;

    DriveState State() const;
    uint16_t StatusWord() const;
    // Enters fault (through fault reaction active), with the error code in
    // 0x603F and the generic error bit in 0x1001 (a fault reset clears
    // both), and when asked sends an EMCY frame (0x80 + id) with them.
    void InjectFault(uint16_t errorCode = 0x1000, bool sendEmcy = true);
    // Actual values as the drive's sensors report them.
    void SetActualPosition(int32_t v);
    void SetActualVelocity(int32_t v);
    void SetActualTorque(int16_t v);
    // Waits until the drive is in state s; false on time-out.
    bool WaitForState(DriveState s, std::chrono::milliseconds timeout) const;
    // The largest magnitude of 0x60F4 since the last mode change.
    uint32_t WorstFollowingError() const;
    // Test knob: a drive whose controlword halt bit does nothing (it goes on
    // moving), as firmware without halt support would.
    void SetHaltIgnored(bool on) { haltIgnored_ = on; }

protected:
    void AfterWrite(uint16_t index, uint8_t subIndex) override;
    void OnTick(Clock::time_point now) override;
    void OnResetApplication() override;
    void OnSyncLocked(Clock::time_point now) override;

private:
    void ApplyControlWord(uint16_t cw);
    void EnterLocked(DriveState s);
    void FaultLocked(uint16_t errorCode, bool sendEmcy);
    // Profile position (sim_drive_motion.cpp), with m_ held.
    bool ProfilePositionLocked() const;
    void SetPointLocked(uint16_t cw, uint16_t previousCw);
    void SetStatusBitsLocked(uint16_t mask, bool on);
    // Cyclic synchronous modes (sim_drive_cyclic.cpp), with m_ held.
    bool CyclicModeLocked() const;

    bool moving_ = false;
    std::atomic<bool> haltIgnored_{false};
    int32_t moveTarget_ = 0;
    int64_t moveCarry_ = 0;  // counts x microseconds not yet travelled
    Clock::time_point lastTick_{};
    Clock::time_point lastSync_{};
    int64_t syncCarry_ = 0;  // counts x microseconds not yet travelled (mode 9)
    uint32_t worstFollowing_ = 0;
    Clock::time_point followingSince_{};  // outside the following window since

    DriveState state_ = DriveState::kSwitchOnDisabled;
    uint16_t lastControlWord_ = 0;
    mutable std::condition_variable stateCv_;
};

// ---------------------------------------------------------------------------
// I/O node
// ---------------------------------------------------------------------------

// A digital I/O module (sim_io_node.cpp): eight inputs in 0x6000:1 (u8 ro),
// eight outputs in 0x6200:1 (u8 rw), device objects, and its PDOs mapped
// and valid: TPDO1 on 0x180 + id carries the inputs, RPDO1 on 0x200 + id
// sets the outputs.
class SimIoNode : public SimNode {
public:
    SimIoNode(VirtualBus& bus, uint8_t nodeId, Mode mode = Mode::kInline);
    ~SimIoNode() override;

    // The state of the input lines, as the wiring sets them.
    void SetInputs(uint8_t bits);
    uint8_t Outputs() const;
};

// ---------------------------------------------------------------------------
// Simulated network
// ---------------------------------------------------------------------------

// Calls Tick on nodes from its own thread every `period` (sim_network.cpp).
class SimTicker {
public:
    explicit SimTicker(std::chrono::milliseconds period = std::chrono::milliseconds(5));
    ~SimTicker();
    SimTicker(const SimTicker&) = delete;
    SimTicker& operator=(const SimTicker&) = delete;

    // Nodes must be added before Start and outlive the ticker's Stop.
    void Add(SimNode& node);
    void Start();
    void Stop();

private:
    const std::chrono::milliseconds period_;
    std::vector<SimNode*> nodes_;
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

// A ready network: a virtual bus with a CiA 402 drive at node 5 and an I/O
// node at node 10, both with device objects and PDO objects and a producer
// heartbeat of 1000 ms, ticked every 5 ms. Attach the host's endpoint to
// Bus() before Start(), which sends the nodes' boot-up messages.
class SimNetwork {
public:
    static constexpr uint8_t kDriveNode = 5;
    static constexpr uint8_t kIoNode = 10;

    SimNetwork();
    ~SimNetwork();

    VirtualBus& Bus() { return bus_; }
    SimDrive& Drive() { return drive_; }
    SimIoNode& Io() { return io_; }
    std::vector<SimNode*> Nodes() { return {&drive_, &io_}; }
    // Before Start: adds n LSS slaves without a node-ID (255), with device
    // objects, identity 0x00000A1F:0x00000305:0x00010000:0x00C0FFE0 + i, a
    // producer heartbeat of 1000 ms once numbered, and LSS answers within
    // 2 ms at random moments (SetLssAnswerDelay).
    void AddUnconfigured(int n);
    void Start();

private:
    VirtualBus bus_;
    SimDrive drive_;
    SimIoNode io_;
    std::vector<std::unique_ptr<SimNode>> unconfigured_;
    SimTicker ticker_;
};

}  // namespace orukiv::sim
