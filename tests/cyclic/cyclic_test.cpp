// Cyclic operation through the shipped library on a fake bus: refused
// arguments, the SYNC counter byte, the frames of a cycle right after their
// SYNC, stop and destroy from another thread, a start while running, a slow
// callback and callbacks that return garbage. Checks are on order and
// counts; the few times involved are lower bounds or wide.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_bus.h"

using namespace std::chrono_literals;
using orukiv::test::FakeBus;

namespace {

constexpr uint32_t kSync = 0x080;
constexpr uint32_t kRpdo = 0x201;

struct Instance {
    FakeBus bus;
    KIV_Handle h = nullptr;
    explicit Instance(uint32_t lowLatencyUs = 0) {
        KIV_InitParam p = bus.Param(false);
        h = KIV_Init(&p);
        if (lowLatencyUs != 0) KIV_SetWorkerTiming(h, lowLatencyUs, 0);
    }
    ~Instance() {
        if (h != nullptr) KIV_Destroy(h);
    }
    std::vector<KIV_CanFrame> Syncs() const {
        std::vector<KIV_CanFrame> out;
        for (const KIV_CanFrame& f : bus.SentFrames())
            if (f.id == kSync) out.push_back(f);
        return out;
    }
    bool WaitForSyncs(std::size_t n) const {
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (Syncs().size() < n) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }
    KIV_CyclicStats Stats() const {
        KIV_CyclicStats s{};
        KIV_GetCyclicStats(h, &s);
        return s;
    }
};

// A host's cycle: records its calls and answers `frames` RPDOs carrying the
// cycle number, or `answer` when set.
struct Host {
    std::atomic<int> calls{0};
    std::atomic<int> callsAfterReturn{0};  // calls once `returned` was set
    std::atomic<bool> returned{false};
    std::atomic<int> refusedQueuing{0};
    std::vector<uint32_t> cycles;  // worker only until stopped
    int frames = 3;
    int32_t answer = -2;  // -2: answer `frames`
    uint8_t dlc = 4;
    std::chrono::microseconds slowFor{0};
    int slowCalls = 0;
    KIV_Handle probe = nullptr;  // queries and misuse inside the callback
    KIV_CyclicStats atSixthCall{};

    static int32_t Fn(uint64_t cycle, KIV_CanFrame* out, uint32_t max, void* user) {
        auto* self = static_cast<Host*>(user);
        if (self->returned.load()) self->callsAfterReturn.fetch_add(1);
        const int n = self->calls.fetch_add(1);
        self->cycles.push_back(cycle);
        if (n < self->slowCalls) std::this_thread::sleep_for(self->slowFor);
        if (self->probe != nullptr && n == 5) KIV_GetCyclicStats(self->probe, &self->atSixthCall);
        if (self->probe != nullptr && n == 0) {
            const uint8_t b = 1;
            if (KIV_SendPDO(self->probe, kRpdo, &b, 1) == KIV_ERR_PARAM)
                self->refusedQueuing.fetch_add(1);
        }
        if (max < 16) return -1;
        for (int i = 0; i < self->frames; ++i) {
            out[i].id = kRpdo + static_cast<uint32_t>(i);
            out[i].dlc = self->dlc;
            std::memcpy(out[i].data, &cycle, 4);
        }
        return self->answer != -2 ? self->answer : self->frames;
    }
};

}  // namespace

TEST(Cyclic, RefusedArgumentsChangeNothing) {
    struct Case {
        uint32_t periodUs;
        uint8_t overflow;
    } const refused[] = {{249, 0}, {1000001, 0}, {0, 0}, {1000, 1}, {1000, 241}, {1000, 255}};
    // Stopped: nothing starts.
    Instance stopped;
    for (const Case& c : refused)
        EXPECT_EQ(KIV_StartCyclic(stopped.h, c.periodUs, c.overflow, nullptr, nullptr),
                  KIV_ERR_PARAM)
            << c.periodUs << " us, overflow " << int(c.overflow);
    EXPECT_EQ(KIV_GetCyclicStats(stopped.h, nullptr), KIV_ERR_PARAM);
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(stopped.Syncs().empty());
    EXPECT_EQ(stopped.Stats().cycles, 0u);
    for (const Case& c : std::initializer_list<Case>{{250, 0}, {1000000, 2}, {1000, 240}}) {
        EXPECT_EQ(KIV_StartCyclic(stopped.h, c.periodUs, c.overflow, nullptr, nullptr), KIV_OK);
        EXPECT_EQ(KIV_StopCyclic(stopped.h), KIV_OK);
    }
    // Running: the counter keeps its range and its run, the period goes on.
    Instance running;
    ASSERT_EQ(KIV_StartCyclic(running.h, 250, 3, nullptr, nullptr), KIV_OK);
    ASSERT_TRUE(running.WaitForSyncs(2));
    for (const Case& c : refused)
        EXPECT_EQ(KIV_StartCyclic(running.h, c.periodUs, c.overflow, nullptr, nullptr),
                  KIV_ERR_PARAM);
    ASSERT_TRUE(running.WaitForSyncs(12));
    ASSERT_EQ(KIV_StopCyclic(running.h), KIV_OK);
    const std::vector<KIV_CanFrame> syncs = running.Syncs();
    for (std::size_t i = 0; i < syncs.size(); ++i) EXPECT_EQ(syncs[i].data[0], i % 3 + 1) << i;
    EXPECT_EQ(running.Stats().cycles, syncs.size());
}

TEST(Cyclic, CounterByteRunsFromOneToOverflowAndWraps) {
    for (uint8_t overflow : {0, 2, 5, 240}) {
        SCOPED_TRACE(testing::Message() << "overflow " << int(overflow));
        Instance inst;
        const std::size_t n = overflow + 3u;
        ASSERT_EQ(KIV_StartCyclic(inst.h, 250, overflow, nullptr, nullptr), KIV_OK);
        ASSERT_TRUE(inst.WaitForSyncs(n));
        ASSERT_EQ(KIV_StopCyclic(inst.h), KIV_OK);
        const std::vector<KIV_CanFrame> syncs = inst.Syncs();
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(syncs[i].dlc, overflow == 0 ? 0 : 1) << i;
            if (overflow != 0) {
                ASSERT_EQ(syncs[i].data[0], i % overflow + 1) << i;
            }
        }
    }
}

// Each SYNC is followed at once by exactly its cycle's frames, in order,
// while another thread queues PDOs of its own, in both timings.
TEST(Cyclic, FramesOfACycleFollowItsSyncBeforeAnythingElse) {
    for (uint32_t lowLatencyUs : {0u, 200u}) {
        SCOPED_TRACE(testing::Message() << "low-latency period " << lowLatencyUs);
        Instance inst(lowLatencyUs);
        Host host;
        host.probe = inst.h;
        std::atomic<bool> done{false};
        std::thread other([&] {
            const uint8_t b = 0xEE;
            while (!done.load()) KIV_SendPDO(inst.h, 0x301, &b, 1);
        });
        ASSERT_EQ(KIV_StartCyclic(inst.h, 500, 0, &Host::Fn, &host), KIV_OK);
        ASSERT_TRUE(inst.WaitForSyncs(40));
        ASSERT_EQ(KIV_StopCyclic(inst.h), KIV_OK);
        done.store(true);
        other.join();

        EXPECT_EQ(host.refusedQueuing.load(), 1);
        const std::vector<KIV_CanFrame> sent = inst.bus.SentFrames();
        std::size_t syncs = 0;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            if (sent[i].id != kSync) continue;
            ASSERT_LE(i + 3, sent.size() - 1) << "frames of the last cycle missing";
            uint32_t cycle = 0;
            for (int k = 0; k < 3; ++k) {
                const KIV_CanFrame& f = sent[i + 1 + static_cast<std::size_t>(k)];
                ASSERT_EQ(f.id, kRpdo + static_cast<uint32_t>(k)) << "after SYNC " << syncs;
                uint32_t c;
                std::memcpy(&c, f.data, 4);
                if (k == 0) cycle = c;
                ASSERT_EQ(c, cycle);
            }
            ASSERT_EQ(cycle, host.cycles[syncs]);
            ++syncs;
        }
        EXPECT_EQ(static_cast<int>(syncs), host.calls.load());
        for (std::size_t i = 1; i < host.cycles.size(); ++i)
            ASSERT_GT(host.cycles[i], host.cycles[i - 1]);
        const KIV_CyclicStats s = inst.Stats();
        EXPECT_EQ(s.cycles, syncs);
        EXPECT_EQ(host.cycles.back(), s.cycles - 1 + s.skipped);
    }
}

// From another thread while cycles run: once the call returns, no callback
// and no SYNC. Repeated, with callbacks of some length, to meet the race.
TEST(Cyclic, StopAndDestroyFromAnotherThreadEndCyclesOnReturn) {
    for (bool destroy : {false, true}) {
        for (int round = 0; round < 10; ++round) {
            SCOPED_TRACE(testing::Message() << (destroy ? "destroy" : "stop") << " " << round);
            auto inst = std::make_unique<Instance>();
            Host host;
            host.slowFor = 200us;
            host.slowCalls = 1 << 30;
            ASSERT_EQ(KIV_StartCyclic(inst->h, 250, 0, &Host::Fn, &host), KIV_OK);
            while (host.calls.load() < 5 + round) std::this_thread::sleep_for(100us);
            if (destroy) {
                ASSERT_EQ(KIV_Destroy(inst->h), KIV_OK);
                inst->h = nullptr;
            } else {
                ASSERT_EQ(KIV_StopCyclic(inst->h), KIV_OK);
            }
            host.returned.store(true);
            const std::size_t sent = inst->bus.SentCount();
            std::this_thread::sleep_for(10ms);
            EXPECT_EQ(host.callsAfterReturn.load(), 0);
            EXPECT_EQ(inst->bus.SentCount(), sent);
        }
    }
}

TEST(Cyclic, StartWhileRunningReplacesPeriodAndCallbackFromTheNextCycle) {
    Instance inst;
    Host a, b;
    a.frames = b.frames = 1;
    ASSERT_EQ(KIV_StartCyclic(inst.h, 2000, 0, &Host::Fn, &a), KIV_OK);
    ASSERT_TRUE(inst.WaitForSyncs(3));
    ASSERT_EQ(KIV_StartCyclic(inst.h, 250, 3, &Host::Fn, &b), KIV_OK);
    a.returned.store(true);
    while (b.calls.load() < 20) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(KIV_StopCyclic(inst.h), KIV_OK);

    EXPECT_EQ(a.callsAfterReturn.load(), 0);
    ASSERT_GE(b.cycles.size(), 20u);
    EXPECT_GT(b.cycles.front(), a.cycles.back());  // the numbering runs on
    const std::vector<KIV_CanFrame> syncs = inst.Syncs();
    const std::size_t first = static_cast<std::size_t>(a.calls.load());
    ASSERT_GE(syncs.size(), first + 20);
    for (std::size_t i = 0; i < first; ++i) EXPECT_EQ(syncs[i].dlc, 0) << i;
    for (std::size_t i = first; i < first + 20; ++i) {
        ASSERT_EQ(syncs[i].dlc, 1) << i;
        EXPECT_EQ(syncs[i].data[0], (i - first) % 3 + 1) << i;
    }
    EXPECT_EQ(inst.Stats().cycles, syncs.size());  // kept across the restart
}

// Five callbacks of 10 ms at a 1 ms period: the deadlines they overran are
// skipped and counted, and the sixth cycle is the sixth SYNC, not a burst.
TEST(Cyclic, SlowCallbackSkipsDeadlinesWithoutBurst) {
    Instance inst;
    Host host;
    host.frames = 0;
    host.slowFor = 10ms;
    host.slowCalls = 5;
    host.probe = inst.h;
    ASSERT_EQ(KIV_StartCyclic(inst.h, 1000, 0, &Host::Fn, &host), KIV_OK);
    while (host.calls.load() < 6) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(KIV_StopCyclic(inst.h), KIV_OK);
    // Deadline k+1 and those up to 9 ms after it are passed when call k ends.
    const KIV_CyclicStats& s = host.atSixthCall;
    EXPECT_GE(s.skipped, 5u * 9u);
    EXPECT_EQ(host.cycles[5], s.cycles - 1 + s.skipped);
    EXPECT_LT(s.maxLateUs, 1000u);  // a SYNC goes out for the last deadline passed
    // At the sixth call, six SYNCs went out: none for the skipped deadlines.
    EXPECT_EQ(s.cycles, 6u);
    for (std::size_t i = 1; i < 6; ++i) EXPECT_GE(host.cycles[i] - host.cycles[i - 1], 10u) << i;
}

TEST(Cyclic, GarbageFromTheCallbackSendsNothingAndCyclesGoOn) {
    struct Case {
        const char* what;
        int32_t answer;
        uint8_t dlc;
    } cases[] = {{"negative", -1, 4}, {"too many", 17, 4}, {"dlc 9", -2, 9}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Instance inst;
        Host host;
        host.answer = c.answer;
        host.dlc = c.dlc;
        ASSERT_EQ(KIV_StartCyclic(inst.h, 250, 0, &Host::Fn, &host), KIV_OK);
        ASSERT_TRUE(inst.WaitForSyncs(10));
        ASSERT_EQ(KIV_StopCyclic(inst.h), KIV_OK);
        for (const KIV_CanFrame& f : inst.bus.SentFrames()) EXPECT_EQ(f.id, kSync);
        EXPECT_EQ(static_cast<std::size_t>(host.calls.load()), inst.Syncs().size());
    }
}
