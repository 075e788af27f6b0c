// A whole instance driven by a byte script: exports and received frames
// interleaved, against the simulator's strict SDO servers with their faults.
//
// Input: a 4-byte header, then 12-byte records.
//   header: [0] node 6 faults: bits 0-2 drop share in 1/16, bits 3-5 corrupt
//               share in 1/16, bit 6 repeat answers on a repeated toggle,
//               bit 7 answers without the size indicated
//           [1] node 6: corrupted byte (value % 9 - 1; -1 any), [2] bits 0-1
//               answers with a wrong toggle, bits 2-4 segments served before
//               an abort (7: never), bits 5-7 announced upload size off by
//               that much (0: the real size)
//           [3] drive (node 5): bits 0-2 drop share in 1/16; bits 3-7 SDO
//               time-out in 20 ms steps
//   record: [0] operation (value % 15, see Run), [1..11] its arguments.
// Node 5 is a CiA 402 drive, node 6 a node with objects of every size and
// access, node 9 is absent; other node bytes go to the library unchanged.
//
// The fuzzing thread is the instance's worker (passes on a clock of its
// own); the exports run on a second thread, one at a time. Checked: no
// access out of bounds or leak (sanitizers; read buffers of exact size),
// every call returns a documented code (refusals exactly where arguments are
// bad), a read or write that returns 0 read or wrote the node's true data
// unless forged frames or corrupted data bytes were in play, no call waits
// for ever, and at the end every channel is free again.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "orukiv/QUserLog.h"
#include "orukiv_sim/sim.h"
#include "platform/platform.h"
#include "instance/co_stack.h"

namespace {

using orukiv::sim::Access;
using Bytes = std::vector<uint8_t>;

constexpr uint8_t kDriveNode = 5;
constexpr uint8_t kNode = 6;
constexpr uint8_t kAbsentNode = 9;
constexpr int32_t kSendFailure = 55;
constexpr uint32_t kPassMs = 5;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_instance: %s\n", what);
    std::abort();
}

uint32_t g_now = 0;
uint32_t FakeTick(void*) {
    return g_now;
}

// Runs one export at a time on its own thread.
class Caller {
public:
    Caller() : thread_([this] { Loop(); }) {}
    void Start(std::function<void()> job) {
        std::lock_guard<std::mutex> g(m_);
        job_ = std::move(job);
        done_ = false;
        cv_.notify_all();
    }
    bool Done() const { return done_.load(); }

private:
    void Loop() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> g(m_);
                cv_.wait(g, [this] { return static_cast<bool>(job_); });
                job = std::move(job_);
                job_ = nullptr;
            }
            job();
            done_.store(true);
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::function<void()> job_;
    std::atomic<bool> done_{true};
    std::thread thread_;
};

// Lives for the whole process (its thread never ends).
Caller& TheCaller() {
    static Caller* caller = new Caller;
    return *caller;
}

// The host's callbacks around the simulator's: canSend fails and receive
// polls answer bad counts when the script says so.
struct Host {
    KIV_InitParam inner{};
    int failSends = 0;
    bool badPoll = false;
    int32_t badCount = 0;

    static int32_t Send(const KIV_CanFrame* f, void* u) {
        auto* self = static_cast<Host*>(u);
        if (f->dlc > 8) Fail("sent a frame with dlc above 8");
        if (self->failSends > 0) {
            --self->failSends;
            return kSendFailure;
        }
        return self->inner.canSend(f, self->inner.userData);
    }
    static int32_t Recv(KIV_CanFrame* frames, uint32_t maxCount, void* u) {
        auto* self = static_cast<Host*>(u);
        const int32_t n = self->inner.canRecv(frames, maxCount, self->inner.userData);
        if (!std::exchange(self->badPoll, false)) return n;
        for (uint32_t i = static_cast<uint32_t>(n); i < maxCount; ++i)
            std::memset(&frames[i], 0, sizeof frames[i]);  // NMT frames: harmless
        return self->badCount;
    }
};

struct Object {
    uint16_t index;
    uint8_t sub;
};
constexpr Object kObjects[8] = {{0x2000, 0}, {0x2001, 0}, {0x2002, 0}, {0x2003, 0},
                                {0x2004, 0}, {0x2005, 0}, {0x1A00, 1}, {0x3000, 0}};

uint8_t NodeOf(uint8_t b) {
    switch (b & 3) {
        case 0:
            return kDriveNode;
        case 1:
            return kNode;
        case 2:
            return kAbsentNode;
        default:
            return b;
    }
}

bool NodeValid(uint8_t node) {
    return node >= 1 && node <= 127;
}

bool InSet(int32_t rc, std::initializer_list<int32_t> codes) {
    return std::find(codes.begin(), codes.end(), rc) != codes.end();
}

// FUZZ_INSTANCE_TRACE=1 prints every call's result (for reading a crash).
const bool g_trace = std::getenv("FUZZ_INSTANCE_TRACE") != nullptr;

void ExpectSdo(int32_t rc, uint8_t node) {
    if (g_trace) std::fprintf(stderr, "  SDO call, node %d: %d\n", node, rc);
    if (!NodeValid(node)) {
        if (rc != KIV_ERR_PARAM) Fail("bad node id not refused");
        return;
    }
    if (!InSet(rc, {KIV_OK, KIV_ERR_PARAM, KIV_ERR_TIMEOUT, KIV_ERR_NO_RESOURCE, KIV_ERR_ABORTED}))
        Fail("SDO call returned an undocumented code");
}

void ExpectService(int32_t rc, bool refused) {
    if (g_trace) std::fprintf(stderr, "  service call%s: %d\n", refused ? " (refused)" : "", rc);
    if (refused ? rc != KIV_ERR_PARAM : !InSet(rc, {KIV_OK, kSendFailure}))
        Fail("service call returned the wrong code");
}

uint32_t Le(const uint8_t* b, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(b[i]) << (8 * i);
    return v;
}

KIV_CanFrame FrameOf(const uint8_t* r) {
    KIV_CanFrame f{};
    f.id = Le(r + 1, 2) & 0x7FF;
    f.rtr = (r[2] & 0x80) != 0 ? 1 : 0;
    f.dlc = r[3] % 10;
    std::memcpy(f.data, r + 4, 8);
    return f;
}

bool SdoRange(uint32_t id) {
    return id >= 0x580 && id <= 0x6FF;
}

class Script {
public:
    Script(const uint8_t* in)
        : drive_(bus_, kDriveNode),
          node_(bus_, kNode),
          rogue_(bus_.Attach("rogue", [](const KIV_CanFrame&) {})) {
        node_.AddU8(0x2000, 0, 0x11);
        node_.AddU16(0x2001, 0, 0x2222);
        node_.AddU32(0x2002, 0, 0x33333333);
        node_.AddVariableObject(0x2003, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 40);
        Bytes big(70);
        for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
        node_.AddObject(0x2004, 0, big, Access::kRO);
        node_.AddU32(0x2005, 0, 0, Access::kWO);
        node_.AddCommunicationObjects();

        orukiv::sim::SdoFaults f;
        f.seed = Le(in, 4);
        f.dropShare = (in[0] & 7) / 16.0;
        f.corruptShare = ((in[0] >> 3) & 7) / 16.0;
        f.repeatOnSameToggle = (in[0] & 0x40) != 0;
        f.omitUploadSize = (in[0] & 0x80) != 0;
        f.corruptByte = in[1] % 9 - 1;
        f.wrongToggleAnswers = in[2] & 3;
        f.abortAfterSegments = ((in[2] >> 2) & 7) == 7 ? -1 : (in[2] >> 2) & 7;
        if ((in[2] >> 5) != 0) f.announcedUploadSize = 70u + (in[2] >> 5) - 4u;
        node_.SetFaults(f);
        // A flipped data byte cannot be told from real data.
        trustData_ = f.corruptShare == 0 || f.corruptByte == 0;
        omitSize_ = f.omitUploadSize;
        orukiv::sim::SdoFaults d;
        d.seed = f.seed + 1;
        d.dropShare = (in[3] & 7) / 16.0;
        drive_.SetFaults(d);

        host_.inner = endpoint_.Param(false);
        KIV_InitParam p = host_.inner;
        p.canSend = &Host::Send;
        p.canRecv = &Host::Recv;
        p.userData = &host_;
        stack_ = orukiv::NewStack(&p);
        if (stack_ == nullptr) Fail("no instance");
        stack_->mutex = orukiv::platform::MutexCreate();
        stack_->tick = &FakeTick;
        stack_->sdoTimeoutMs = 20u * (1u + (in[3] >> 3));
        g_now = 1000;
    }
    ~Script() { orukiv::FreeStack(stack_); }

    void Run(const uint8_t* r) {
        const KIV_Handle h = stack_;
        const uint8_t op = r[0] % 15;
        if (op == 11) {  // the time-out needs no worker: called right here
            if (KIV_SetSDOTimeout(h, 20u + 10u * r[1]) == 0) Fail("KIV_SetSDOTimeout failed");
            return;
        }
        if (op == 12) {
            host_.failSends = r[1] % 4;
            return;
        }
        if (op == 13) {
            host_.badPoll = true;
            host_.badCount = static_cast<int8_t>(r[1]);
            return;
        }
        if (op == 14) {  // let time pass
            for (int i = 0; i < r[1] % 16; ++i) Pass(1u + r[2]);
            return;
        }
        if (op == 8) {  // a frame from another device on the bus
            const KIV_CanFrame f = FrameOf(r);
            if (SdoRange(f.id)) forged_ = true;
            rogue_->Send(f);
            return;
        }
        Call([this, h, op, r] { Export(h, op, r); });
    }

    // Every channel must end on its own, by its time-out at the latest.
    void Finish() {
        for (int i = 0; i < 400 && Busy(); ++i) Pass(50);
        if (Busy()) Fail("a channel still busy long after its time-out");
    }

private:
    void Pass(uint32_t ms) {
        g_now += ms;
        orukiv::WorkerPass(stack_);
    }
    bool Waiting() const {
        orukiv::platform::MutexLock(stack_->mutex);
        const bool waiting = stack_->ring.head != stack_->ring.tail;
        orukiv::platform::MutexUnlock(stack_->mutex);
        return waiting;
    }
    bool Busy() const {
        for (int i = 0; i < orukiv::SDO_CHANNELS; ++i)
            if (stack_->sdoUpload[i].busy || stack_->sdoDownload[i].busy) return true;
        return false;
    }
    // Runs the export on the caller thread and worker passes here until it
    // has returned.
    void Call(std::function<void()> job) {
        Caller& caller = TheCaller();
        caller.Start(std::move(job));
        for (long spins = 0; !caller.Done(); ++spins) {
            if (Waiting() || Busy()) {
                Pass(kPassMs);
                spins = 0;
            } else {
                std::this_thread::yield();
            }
            if (g_now > 1000u + 3'600'000u) Fail("a call still waits after an hour");
            if (spins > 50'000'000) Fail("a call neither returns nor queues");
        }
    }

    void Export(KIV_Handle h, uint8_t op, const uint8_t* r) {
        switch (op) {
            case 0:
                Read(h, NodeOf(r[1]), kObjects[r[2] % 8], r[3] % 80, (r[4] & 1) != 0);
                break;
            case 1:
                Write(h, NodeOf(r[1]), kObjects[r[2] % 8], 1u + r[3] % 72u, r[4], (r[5] & 1) != 0);
                break;
            case 2:
                ExpectService(KIV_NMT_SendCommand(h, r[1], r[2]), r[1] > 127);
                break;
            case 3:
                if ((r[3] & 1) != 0)
                    ExpectService(KIV_SendNodeGuardRequest(h, r[1]), !NodeValid(r[1]));
                else
                    ExpectService(KIV_NMT_SendHeartbeat(h, r[1], r[2]), !NodeValid(r[1]));
                break;
            case 4:
                ExpectService(KIV_SendEMCY(h, r[1], static_cast<uint16_t>(Le(r + 2, 2)), r[4],
                                           (r[5] & 1) != 0 ? r + 6 : nullptr),
                              !NodeValid(r[1]));
                break;
            case 5:
                if ((r[9] & 0x80) != 0) {
                    ExpectService(KIV_SendRemotePDO(h, Le(r + 1, 4)), false);
                } else {
                    // Exactly `len` bytes on the heap: a byte read beyond is an error.
                    const uint8_t len = r[9] % 10;
                    std::unique_ptr<uint8_t[]> data(new uint8_t[len == 0 ? 1 : len]);
                    for (uint8_t i = 0; i < len; ++i) data[i] = r[5 + i % 4];
                    ExpectService(KIV_SendPDO(h, Le(r + 1, 4), data.get(), len),
                                  len == 0 || len > 8);
                }
                break;
            case 6:
                if ((r[1] & 1) != 0)
                    ExpectService(KIV_SendSYNC(h), false);
                else
                    ExpectService(KIV_SendTimestamp(h, static_cast<uint16_t>(Le(r + 2, 2)), r[4],
                                                    r[5], r[6], r[7], r[8], Le(r + 8, 4)),
                                  false);
                break;
            case 7: {
                const KIV_CanFrame f = FrameOf(r);
                if (SdoRange(f.id)) forged_ = true;
                if (KIV_InputFrame(h, &f) != KIV_OK) Fail("KIV_InputFrame failed");
                break;
            }
            case 9:
                Drive(h, r);
                break;
            default: {  // 10: remote configuration
                const uint8_t node = NodeOf(r[1]);
                if ((r[2] & 1) != 0) {
                    ExpectSdo(
                        KIV_NMT_SetHeartbeatPeriod(h, node, static_cast<uint16_t>(Le(r + 3, 2))),
                        node);
                } else {
                    KIV_PdoMapEntry map[3];
                    for (int i = 0; i < 3; ++i)
                        map[i] = KIV_MakePdoMapEntry(static_cast<uint16_t>(0x2000 + r[4 + i] % 6),
                                                     0, static_cast<uint8_t>(8 * (1 + r[7] % 4)));
                    const uint8_t tpdo = r[3] % 6;
                    const uint8_t count = r[8] % 4;
                    const int32_t rc = KIV_ConfigTPDO(h, node, tpdo, map, count);
                    if (tpdo == 0 || tpdo > 4 || count == 0) {
                        if (rc != KIV_ERR_PARAM) Fail("bad TPDO arguments not refused");
                    } else {
                        ExpectSdo(rc, node);
                    }
                }
                break;
            }
        }
    }

    void Read(KIV_Handle h, uint8_t node, Object o, uint32_t capacity, bool ex) {
        // Exactly `capacity` bytes on the heap: a byte too many is an error.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[capacity == 0 ? 1 : capacity]);
        uint32_t got = 0xFFFFFFFFu, abortCode = 0xFFFFFFFFu;
        const int32_t rc =
            ex ? KIV_ReadObjectEx(h, node, o.index, o.sub, buf.get(), capacity, &got, &abortCode)
               : KIV_ReadObject(h, node, o.index, o.sub, buf.get(), capacity, &got);
        ExpectSdo(rc, node);
        if (ex && (rc == KIV_ERR_ABORTED) != (abortCode != 0)) Fail("abort code and result differ");
        if (rc != KIV_OK) return;
        if (got > capacity) Fail("read more than the capacity");
        if (node != kNode || forged_ || !trustData_) return;
        auto value = node_.Value(o.index, o.sub);
        if (!value) Fail("read of an absent object succeeded");
        // Without the size indicated, an expedited answer's four bytes are
        // the data: the object's, zero-padded.
        if (omitSize_ && value->size() <= 4) value->resize(4, 0);
        if (got != std::min<std::size_t>(value->size(), capacity)) Fail("read size differs");
        if (std::memcmp(buf.get(), value->data(), got) != 0) Fail("read data differs");
    }

    void Write(KIV_Handle h, uint8_t node, Object o, uint32_t size, uint8_t seed, bool ex) {
        std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
        for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(seed + 3 * i);
        uint32_t abortCode = 0xFFFFFFFFu;
        const int32_t rc =
            ex ? KIV_WriteObjectEx(h, node, o.index, o.sub, data.get(), size, &abortCode)
               : KIV_WriteObject(h, node, o.index, o.sub, data.get(), size);
        ExpectSdo(rc, node);
        if (ex && (rc == KIV_ERR_ABORTED) != (abortCode != 0)) Fail("abort code and result differ");
        for (uint32_t i = 0; i < size; ++i)
            if (data[i] != static_cast<uint8_t>(seed + 3 * i)) Fail("a write changed its data");
        if (rc != KIV_OK || node != kNode || forged_) return;
        const auto value = node_.Value(o.index, o.sub);
        if (!value || *value != Bytes(data.get(), data.get() + size))
            Fail("written data not stored");
    }

    void Drive(KIV_Handle h, const uint8_t* r) {
        const uint8_t node = NodeOf(r[2]);
        const auto v = static_cast<int32_t>(Le(r + 3, 4));
        uint16_t u16 = 0;
        int16_t i16 = 0;
        int32_t i32 = 0;
        int32_t rc = 0;
        switch (r[1] % 13) {
            case 0:
                rc = KIV_402_SetControlWord(h, node, static_cast<uint16_t>(v));
                break;
            case 1:
                rc = KIV_402_GetStatusWord(h, node, &u16);
                break;
            case 2:
                rc = KIV_402_SetOpMode(h, node, v);
                break;
            case 3:
                rc = KIV_402_GetOpMode(h, node, &i32);
                break;
            case 4:
                rc = KIV_402_SetTargetPos(h, node, v);
                break;
            case 5:
                rc = KIV_402_GetActualPos(h, node, &i32);
                break;
            case 6:
                rc = KIV_402_SetTargetVel(h, node, v);
                break;
            case 7:
                rc = KIV_402_GetActualVel(h, node, &i32);
                break;
            case 8:
                rc = KIV_402_SetTargetTorque(h, node, static_cast<int16_t>(v));
                break;
            case 9:
                rc = KIV_402_GetActualTorque(h, node, &i16);
                break;
            case 10:
                rc = KIV_402_SetHomingMode(h, node, static_cast<int8_t>(v));
                break;
            case 11:
                rc = KIV_402_FaultReset(h, node);
                break;
            default:
                rc = KIV_402_PowerOn(h, node);
                break;
        }
        ExpectSdo(rc, node);
    }

    orukiv::sim::VirtualBus bus_;
    orukiv::sim::HostEndpoint endpoint_{bus_};
    orukiv::sim::SimDrive drive_;
    orukiv::sim::SimNode node_;
    std::shared_ptr<orukiv::sim::Endpoint> rogue_;
    Host host_;
    CoStack* stack_ = nullptr;
    bool trustData_ = true;
    bool omitSize_ = false;
    bool forged_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    QUserLog::GetInstance().SetLogLevel(static_cast<LogLevel>(LOG_FATAL + 1));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* in, std::size_t size) {
    if (size < 4) return 0;
    Script script(in);
    for (std::size_t at = 4; at + 12 <= size; at += 12) script.Run(in + at);
    script.Finish();
    return 0;
}
