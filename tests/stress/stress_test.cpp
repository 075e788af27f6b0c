// Bounded stress: several instances, many threads each, every export mixed,
// against simulated nodes that drop, delay, corrupt and abort, with canSend
// failing and receive polls misbehaving at random, callbacks calling
// exports, and one more instance created and destroyed over and over.
//
// Checked: every call returns a documented code; a read that returns 0
// holds the node's true data; afterwards no channel is left busy (16
// parallel reads per instance all succeed). Corruption hits the command
// byte only: a flipped data byte cannot be told from real data.
//
// ORUKIV_STRESS_SECONDS sets the mixed phase's length (default 8).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orukiv/orukiv.h"
#include "orukiv_sim/sim.h"

using namespace std::chrono_literals;
using namespace orukiv::sim;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kInstances = 3;
constexpr int kThreadsPerInstance = 8;
constexpr int32_t kSendFailure = 77;  // canSend's own failure code
constexpr uint32_t kSendFailPermille = 30;
constexpr uint8_t kNodes[3] = {1, 2, 3};
constexpr uint8_t kDrive = 7;
constexpr uint16_t kConstIndex = 0x3000;  // read-only constants, subs 0..6
constexpr std::size_t kConstSizes[7] = {1, 2, 3, 4, 7, 20, 70};
constexpr uint16_t kOwnIndex = 0x2000;  // + thread: written by that thread only

// Collects the first few faults seen by any thread.
class Faults {
public:
    void Add(std::string what) {
        std::lock_guard<std::mutex> g(m_);
        ++count_;
        if (first_.size() < 20) first_.push_back(std::move(what));
    }
    std::size_t Count() const {
        std::lock_guard<std::mutex> g(m_);
        return count_;
    }
    std::string Text() const {
        std::lock_guard<std::mutex> g(m_);
        std::string s;
        for (const auto& f : first_) s += f + "\n";
        return s;
    }

private:
    mutable std::mutex m_;
    std::size_t count_ = 0;
    std::vector<std::string> first_;
};

Faults g_faults;

void Expect(bool ok, const std::string& what) {
    if (!ok) g_faults.Add(what);
}

bool InSet(int32_t rc, std::initializer_list<int32_t> codes) {
    for (int32_t c : codes)
        if (rc == c) return true;
    return false;
}

std::string Call(const char* name, int32_t rc) {
    return std::string(name) + " returned " + std::to_string(rc);
}

// Strict servers with a time-out of their own, as devices have: a transfer
// whose client went away (its abort frame lost with a failing canSend)
// ends after a while instead of blocking the node for good.
constexpr auto kServerTimeout = 1500ms;
SdoFaults Server() {
    SdoFaults f;
    f.transferTimeout = kServerTimeout;
    return f;
}

// One bus with its nodes and the library instance on it. The host's
// callbacks wrap the simulator's: canSend fails at random, receive polls
// answer bad counts at random, and onEvent now and then calls a queuing
// export of its own instance (which must be refused).
class Rig {
public:
    explicit Rig(uint32_t seed) : rng_(seed) {
        for (uint8_t id : kNodes) {
            auto node = std::make_unique<SimNode>(bus_, id);
            std::mt19937 fill(seed * 131 + id);
            for (uint8_t sub = 0; sub < 7; ++sub) {
                Bytes v(kConstSizes[sub]);
                for (auto& b : v) b = static_cast<uint8_t>(fill());
                node->AddObject(kConstIndex, sub, v, Access::kRO);
            }
            for (int t = 0; t < kThreadsPerInstance; ++t)
                node->AddVariableObject(static_cast<uint16_t>(kOwnIndex + t), 0, {0}, 70);
            node->AddCommunicationObjects();
            nodes_.push_back(std::move(node));
        }
        SdoFaults drop = Server();
        drop.seed = seed;
        drop.dropShare = 0.1;
        nodes_[0]->SetFaults(drop);
        SdoFaults delay = Server();
        delay.seed = seed + 1;
        delay.delay = 15ms;
        delay.dropShare = 0.03;
        delay.repeatOnSameToggle = true;
        nodes_[1]->SetFaults(delay);
        SdoFaults corrupt = Server();
        corrupt.seed = seed + 2;
        corrupt.corruptShare = 0.1;
        corrupt.corruptByte = 0;
        corrupt.abortAfterSegments = 3;  // 70-byte transfers are aborted
        nodes_[2]->SetFaults(corrupt);
        SdoFaults driveFaults = Server();
        driveFaults.seed = seed + 3;
        driveFaults.dropShare = 0.05;
        drive_.SetFaults(driveFaults);

        inner_ = host_.Param(true);
        KIV_InitParam p = inner_;
        p.userData = this;
        p.canSend = &Rig::Send;
        p.canRecv = &Rig::Recv;
        p.onEvent = &Rig::Event;
        handle_ = KIV_Init(&p);
    }
    ~Rig() {
        if (handle_ != nullptr) KIV_Destroy(handle_);
    }

    KIV_Handle handle() const { return handle_; }
    SimNode& node(int i) { return *nodes_[static_cast<std::size_t>(i)]; }
    SimDrive& drive() { return drive_; }
    void Calm() {
        calm_.store(true);
        for (auto& n : nodes_) n->SetFaults(Server());
        drive_.SetFaults(Server());
    }

private:
    uint32_t Draw() {
        std::lock_guard<std::mutex> g(rngM_);
        return static_cast<uint32_t>(rng_() % 1000);
    }
    static int32_t Send(const KIV_CanFrame* f, void* u) {
        auto* self = static_cast<Rig*>(u);
        if (!self->calm_.load() && self->Draw() < kSendFailPermille) return kSendFailure;
        return self->inner_.canSend(f, self->inner_.userData);
    }
    static int32_t Recv(KIV_CanFrame* frames, uint32_t maxCount, void* u) {
        auto* self = static_cast<Rig*>(u);
        const int32_t n = self->inner_.canRecv(frames, maxCount, self->inner_.userData);
        if (self->calm_.load()) return n;
        const uint32_t d = self->Draw();
        if (d < 5) return -3;  // the polled frames are lost
        if (d < 10) {          // more than the room: taken as 8
            for (uint32_t i = static_cast<uint32_t>(n); i < maxCount; ++i)
                std::memset(&frames[i], 0, sizeof frames[i]);
            return 1000;
        }
        return n;
    }
    static void Event(const KIV_Event*, void* u) {
        auto* self = static_cast<Rig*>(u);
        if (self->Draw() >= 3) return;
        const int32_t rc = KIV_SendSYNC(self->handle_);
        Expect(rc == KIV_ERR_PARAM, Call("KIV_SendSYNC inside onEvent", rc));
    }

    VirtualBus bus_;
    HostEndpoint host_{bus_};
    std::vector<std::unique_ptr<SimNode>> nodes_;
    SimDrive drive_{bus_, kDrive};
    KIV_InitParam inner_{};
    std::mutex rngM_;
    std::mt19937 rng_;
    std::atomic<bool> calm_{false};
    KIV_Handle handle_ = nullptr;
};

// A read of `len` bytes that returned 0 must hold the value's first bytes.
void CheckRead(const char* what, const Bytes& value, const uint8_t* buf, uint32_t capacity,
               uint32_t received) {
    Expect(received <= capacity, std::string(what) + ": more than the capacity");
    if (received > capacity) return;
    Expect(received <= value.size() && std::memcmp(buf, value.data(), received) == 0,
           std::string(what) + ": data differs from the node's");
    if (value.size() <= capacity)
        Expect(received == value.size(), std::string(what) + ": short of the object's size");
}

struct Counters {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> readsOk{0};
    std::atomic<uint64_t> writesOk{0};
    std::atomic<uint64_t> cycles{0};
};

void Worker(Rig& rig, int thread, uint32_t seed, Clock::time_point end, Counters& n) {
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t k) { return static_cast<uint32_t>(rng() % k); };
    const KIV_Handle h = rig.handle();
    const auto own = static_cast<uint16_t>(kOwnIndex + thread);
    uint8_t buf[96];
    while (Clock::now() < end) {
        const int ni = static_cast<int>(pick(3));
        const uint8_t node = kNodes[ni];
        const uint32_t op = pick(20);
        ++n.calls;
        if (op < 5) {  // read a constant, any capacity
            const auto sub = static_cast<uint8_t>(pick(7));
            const uint32_t cap = 1 + pick(90);
            uint32_t got = 0, abortCode = 0;
            const bool ex = pick(2) == 0;
            const int32_t rc =
                ex ? KIV_ReadObjectEx(h, node, kConstIndex, sub, buf, cap, &got, &abortCode)
                   : KIV_ReadObject(h, node, kConstIndex, sub, buf, cap, &got);
            ++n.reads;
            Expect(InSet(rc, {0, 1, 2, 3, 4}), Call("KIV_ReadObject", rc));
            if (ex) Expect((rc == KIV_ERR_ABORTED) == (abortCode != 0), "abort code vs result");
            if (rc == KIV_OK) {
                ++n.readsOk;
                CheckRead("constant", *rig.node(ni).Value(kConstIndex, sub), buf, cap, got);
            }
        } else if (op < 9) {  // write the thread's own object, then read it back
            Bytes v(1 + pick(70));
            for (auto& b : v) b = static_cast<uint8_t>(rng());
            uint32_t abortCode = 0;
            const bool ex = pick(2) == 0;
            int32_t rc =
                ex ? KIV_WriteObjectEx(h, node, own, 0, v.data(), static_cast<uint32_t>(v.size()),
                                       &abortCode)
                   : KIV_WriteObject(h, node, own, 0, v.data(), static_cast<uint32_t>(v.size()));
            Expect(InSet(rc, {0, 1, 2, 3, 4}), Call("KIV_WriteObjectEx", rc));
            if (ex)
                Expect((rc == KIV_ERR_ABORTED) == (abortCode != 0), "write abort code vs result");
            if (rc == KIV_OK) {
                ++n.writesOk;
                Expect(*rig.node(ni).Value(own, 0) == v, "written value not stored");
            }
            uint32_t got = 0;
            rc = KIV_ReadObject(h, node, own, 0, buf, sizeof buf, &got);
            ++n.calls;
            ++n.reads;
            Expect(InSet(rc, {0, 1, 2, 3, 4}), Call("KIV_ReadObject", rc));
            if (rc == KIV_OK) {
                ++n.readsOk;
                CheckRead("own object", *rig.node(ni).Value(own, 0), buf, sizeof buf, got);
            }
        } else if (op < 13) {  // service frames
            static const uint8_t kData[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            int32_t rc = 0;
            switch (pick(8)) {
                case 0:
                    rc = KIV_NMT_SendCommand(h, static_cast<uint8_t>(pick(128)), 1);
                    break;
                case 1:
                    rc = KIV_NMT_SendHeartbeat(h, node, 5);
                    break;
                case 2:
                    rc = KIV_SendNodeGuardRequest(h, node);
                    break;
                case 3:
                    rc = KIV_SendSYNC(h);
                    break;
                case 4:
                    rc = KIV_SendEMCY(h, node, 0x1000, 1, kData);
                    break;
                case 5:
                    rc = KIV_SendPDO(h, 0x200 + node, kData, static_cast<uint8_t>(1 + pick(8)));
                    break;
                case 6:
                    rc = KIV_SendRemotePDO(h, 0x180 + node);
                    break;
                default:
                    rc = KIV_SendTimestamp(h, 2024, 5, 6, 7, 8, 9, 10);
                    break;
            }
            Expect(InSet(rc, {0, kSendFailure}), Call("service frame", rc));
        } else if (op < 16) {  // drive profile: every call
            uint16_t u16 = 0;
            int16_t i16 = 0;
            int32_t i32 = 0;
            const auto v = static_cast<int32_t>(rng());
            const std::function<int32_t()> calls[] = {
                [&] { return KIV_402_SetControlWord(h, kDrive, static_cast<uint16_t>(v & 0x8F)); },
                [&] { return KIV_402_GetStatusWord(h, kDrive, &u16); },
                [&] { return KIV_402_SetOpMode(h, kDrive, v % 11); },
                [&] { return KIV_402_GetOpMode(h, kDrive, &i32); },
                [&] { return KIV_402_SetTargetPos(h, kDrive, v); },
                [&] { return KIV_402_GetActualPos(h, kDrive, &i32); },
                [&] { return KIV_402_SetTargetVel(h, kDrive, v); },
                [&] { return KIV_402_GetActualVel(h, kDrive, &i32); },
                [&] { return KIV_402_SetTargetTorque(h, kDrive, static_cast<int16_t>(v)); },
                [&] { return KIV_402_GetActualTorque(h, kDrive, &i16); },
                [&] { return KIV_402_SetHomingMode(h, kDrive, static_cast<int8_t>(v)); },
                [&] { return KIV_402_FaultReset(h, kDrive); },
                [&] { return KIV_402_PowerOn(h, kDrive); },
            };
            const int32_t rc = calls[pick(std::size(calls))]();
            Expect(InSet(rc, {0, 1, 2, 3, 4}), Call("drive call", rc));
        } else if (op < 17) {  // remote configuration
            const KIV_PdoMapEntry map[2] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                            KIV_MakePdoMapEntry(0x6064, 0, 32)};
            const int32_t rc = pick(2) == 0
                                   ? KIV_NMT_SetHeartbeatPeriod(h, node, 100)
                                   : KIV_ConfigTPDO(h, node, static_cast<uint8_t>(1 + pick(4)), map,
                                                    static_cast<uint8_t>(1 + pick(2)));
            Expect(InSet(rc, {0, 1, 2, 3, 4}), Call("remote configuration", rc));
        } else if (op < 18) {  // an input frame outside the SDO range
            KIV_CanFrame f{};
            f.id = 0x180 + pick(0x300);
            f.dlc = static_cast<uint8_t>(pick(9));
            const int32_t rc = KIV_InputFrame(h, &f);
            Expect(rc == KIV_OK, Call("KIV_InputFrame", rc));
        } else if (op < 19) {  // refused arguments
            uint32_t got = 0;
            const int32_t rc[] = {
                KIV_ReadObject(h, 0, kConstIndex, 0, buf, 4, &got),
                KIV_WriteObject(h, 128, own, 0, buf, 4),
                KIV_ReadObject(h, node, kConstIndex, 0, nullptr, 4, &got),
                KIV_SendEMCY(h, 0, 0, 0, nullptr),
                KIV_NMT_SendCommand(h, 200, 1),
                KIV_SendPDO(h, 0x201, buf, 9),
                KIV_ConfigTPDO(h, node, 5, nullptr, 1),
            };
            for (int32_t r : rc) Expect(r == KIV_ERR_PARAM, Call("refused call", r));
        } else {  // queries that never queue
            Expect(KIV_SetSDOTimeout(h, 600 + pick(600)) != 0, "KIV_SetSDOTimeout");
            Expect(KIV_SdoAbortText(static_cast<uint32_t>(rng())) != nullptr, "abort text");
        }
    }
}

// Creates and destroys an instance over and over, with a call in between,
// on a bus of its own.
void Cycler(Clock::time_point end, Counters& n) {
    VirtualBus bus;
    HostEndpoint host(bus);
    SimNode node(bus, 4);
    node.AddU32(0x1000, 0, 0x00020192, Access::kRO);
    KIV_InitParam p = host.Param(true);
    uint8_t buf[8];
    uint32_t got = 0;
    while (Clock::now() < end) {
        KIV_Handle h = KIV_Init(&p);
        Expect(h != nullptr, "KIV_Init failed");
        if (h == nullptr) continue;
        int32_t rc = KIV_ReadObject(h, 4, 0x1000, 0, buf, sizeof buf, &got);
        Expect(rc == KIV_OK && got == 4 && buf[0] == 0x92, Call("cycler read", rc));
        rc = KIV_Destroy(h);
        Expect(rc == KIV_OK, Call("KIV_Destroy", rc));
        ++n.cycles;
        n.calls += 3;
    }
}

double StressSeconds() {
    const char* v = std::getenv("ORUKIV_STRESS_SECONDS");
    const double s = v != nullptr ? std::atof(v) : 8.0;
    return s > 0 ? s : 8.0;
}

}  // namespace

TEST(Stress, EveryExportMixedAgainstFaultyNodes) {
    std::vector<std::unique_ptr<Rig>> rigs;
    for (int i = 0; i < kInstances; ++i) {
        rigs.push_back(std::make_unique<Rig>(1000u + static_cast<uint32_t>(i)));
        ASSERT_NE(rigs.back()->handle(), nullptr);
    }
    Counters n;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(StressSeconds()));
    std::vector<std::thread> threads;
    for (int i = 0; i < kInstances; ++i)
        for (int t = 0; t < kThreadsPerInstance; ++t)
            threads.emplace_back(Worker, std::ref(*rigs[static_cast<std::size_t>(i)]), t,
                                 static_cast<uint32_t>(i * 100 + t), end, std::ref(n));
    threads.emplace_back(Cycler, end, std::ref(n));
    for (auto& t : threads) t.join();
    const double mixed = std::chrono::duration<double>(Clock::now() - start).count();

    // Calm bus: every channel must be free again, and 16 reads at once per
    // instance must all succeed with the node's data, once the servers have
    // dropped what clients left behind.
    for (auto& rig : rigs) rig->Calm();
    std::this_thread::sleep_for(kServerTimeout + 100ms);
    for (auto& rig : rigs) {
        ASSERT_NE(KIV_SetSDOTimeout(rig->handle(), 3000), 0);
        std::vector<std::thread> readers;
        for (int r = 0; r < 16; ++r) {
            readers.emplace_back([&rig, r] {
                const int ni = r % 3;
                const auto sub = static_cast<uint8_t>(r % 7);
                uint8_t buf[80];
                uint32_t got = 0, abortCode = 0;
                const int32_t rc = KIV_ReadObjectEx(rig->handle(), kNodes[ni], kConstIndex, sub,
                                                    buf, sizeof buf, &got, &abortCode);
                Expect(rc == KIV_OK, Call("final parallel read", rc) + " from node " +
                                         std::to_string(kNodes[ni]) + ", abort code " +
                                         std::to_string(abortCode));
                if (rc == KIV_OK)
                    CheckRead("final read", *rig->node(ni).Value(kConstIndex, sub), buf, sizeof buf,
                              got);
            });
        }
        for (auto& t : readers) t.join();
    }

    std::printf(
        "stress: %d instances x %d threads + 1 create/destroy thread, %.1f s: %llu calls "
        "(%llu reads, %llu returned 0; %llu writes returned 0), %llu create/destroy "
        "cycles\n",
        kInstances, kThreadsPerInstance, mixed, static_cast<unsigned long long>(n.calls.load()),
        static_cast<unsigned long long>(n.reads.load()),
        static_cast<unsigned long long>(n.readsOk.load()),
        static_cast<unsigned long long>(n.writesOk.load()),
        static_cast<unsigned long long>(n.cycles.load()));
    EXPECT_EQ(g_faults.Count(), 0u) << g_faults.Text();
    EXPECT_GT(n.readsOk.load(), 0u);
    EXPECT_GT(n.writesOk.load(), 0u);
}
