// Commissioning figures on the simulated network:
//
// BM_Fastscan64Ones: KIV_LSS_Fastscan of one unconfigured slave whose
// identity has 64 '1' bits, with the default step wait (20 ms) and the
// default worker timing. Every '1' bit costs one wait, so the floor is
// 64 x 20 ms = 1.28 s; target: at most 3 s. Counters: "scan_s" per scan and
// "of_target" = scan_s / 3 s.
//
// BM_Boot16Nodes: KIV_BootNode of 16 nodes from 16 threads, each node's
// device type and identity checked and a concise DCF of 50 entries (u32
// each) written, then started; low-latency mode (1 ms period, wake on
// request and drain receive) with a host that calls KIV_Notify as frames
// arrive. Target: at most 1 s. Counters: "boot_s" per run of 16 boots,
// "of_target" = boot_s / 1 s.
//
// Both run on the bit-timed virtual bus when it is available
// (kBitTimed, 125 and 500 kbit/s), else on the instant bus.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "orukiv_sim/sim.h"

namespace {

using namespace orukiv::sim;

// A host endpoint that tells the instance as each frame arrives.
class NotifyingHost {
public:
    explicit NotifyingHost(VirtualBus& bus)
        : bus_(bus), ep_(bus.Attach("host", [this](const KIV_CanFrame& f) { Arrived(f); })) {}
    ~NotifyingHost() { Stop(); }
    void Stop() {
        handle.store(nullptr);
        if (ep_) bus_.Detach(ep_);
        ep_.reset();
    }
    KIV_InitParam Param() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &NotifyingHost::Recv;
        p.canSend = &NotifyingHost::Send;
        p.userData = this;
        return p;
    }
    std::atomic<KIV_Handle> handle{nullptr};

private:
    void Arrived(const KIV_CanFrame& f) {
        {
            std::lock_guard<std::mutex> g(m_);
            q_.push_back(f);
        }
        if (KIV_Handle h = handle.load()) KIV_Notify(h);
    }
    static int32_t Recv(KIV_CanFrame* frames, uint32_t max, void* user) {
        auto* self = static_cast<NotifyingHost*>(user);
        std::lock_guard<std::mutex> g(self->m_);
        uint32_t n = 0;
        for (; n < max && !self->q_.empty(); ++n) {
            frames[n] = self->q_.front();
            self->q_.pop_front();
        }
        return static_cast<int32_t>(n);
    }
    static int32_t Send(const KIV_CanFrame* f, void* user) {
        static_cast<NotifyingHost*>(user)->ep_->Send(*f);
        return 0;
    }

    VirtualBus& bus_;
    std::shared_ptr<Endpoint> ep_;
    std::mutex m_;
    std::deque<KIV_CanFrame> q_;
};

bool UseBitTiming(VirtualBus& bus, uint32_t bitRate) {
#ifdef ORUKIV_SIM_BIT_TIMING
    BitTiming t;
    t.bitRate = bitRate;
    return bus.SetBitTiming(t);
#else
    (void)bus;
    (void)bitRate;
    return false;
#endif
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void BM_Fastscan64Ones(benchmark::State& state) {
    VirtualBus bus;
    const bool timed = UseBitTiming(bus, 125000);
    NotifyingHost host(bus);
    SimNode slave(bus, 255);
    // 32 + 16 + 16 + 0 '1' bits.
    const std::array<uint32_t, 4> id = {0xFFFFFFFF, 0xFFFF0000, 0x0000FFFF, 0x00000000};
    slave.AddDeviceObjects({0x191, "", id[0], id[1], id[2], id[3]});
    const KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    double total = 0;
    for (auto _ : state) {
        std::array<uint32_t, 4> found{};
        const auto t0 = Clock::now();
        const int32_t rc = KIV_LSS_Fastscan(h, 0, found.data());
        const double s = Seconds(Clock::now() - t0);
        if (rc != KIV_OK || found != id) state.SkipWithError("fastscan did not find the slave");
        KIV_LSS_SwitchGlobal(h, 0);  // back to waiting, still unconfigured
        state.SetIterationTime(s);
        total += s;
    }
    host.Stop();
    KIV_Destroy(h);
    const double per = total / static_cast<double>(state.iterations());
    state.counters["scan_s"] = per;
    state.counters["of_target"] = per / 3.0;
    state.counters["bit_timed_125k"] = timed ? 1 : 0;
}
BENCHMARK(BM_Fastscan64Ones)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_Boot16Nodes(benchmark::State& state) {
    constexpr int kNodes = 16;
    constexpr uint16_t kEntries = 50;
    VirtualBus bus;
    const bool timed = UseBitTiming(bus, 500000);
    NotifyingHost host(bus);
    std::vector<std::unique_ptr<SimNode>> nodes;
    for (int i = 0; i < kNodes; ++i) {
        auto n = std::make_unique<SimNode>(bus, static_cast<uint8_t>(1 + i));
        n->AddDeviceObjects({0x191, "", 0xA1F, 0x305, 0x10000, 0x100u + static_cast<uint32_t>(i)});
        for (uint16_t k = 0; k < kEntries; ++k) n->AddU32(static_cast<uint16_t>(0x2000 + k), 0, 0);
        nodes.push_back(std::move(n));
    }
    std::vector<uint8_t> dcf;
    const auto put = [&](uint32_t v, int bytes) {
        for (int b = 0; b < bytes; ++b) dcf.push_back(static_cast<uint8_t>(v >> (8 * b)));
    };
    put(kEntries, 4);
    for (uint16_t k = 0; k < kEntries; ++k) {
        put(0x2000u + k, 2);
        put(0, 1);
        put(4, 4);
        put(0x01000000u + k, 4);
    }
    const KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    host.handle.store(h);
    KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
    double total = 0;
    for (auto _ : state) {
        std::atomic<int> failed{0};
        const auto t0 = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < kNodes; ++i) {
            threads.emplace_back([&, i] {
                KIV_BootParam bp{};
                bp.deviceType = 0x191;
                bp.vendorId = 0xA1F;
                bp.productCode = 0x305;
                bp.revision = 0x10000;
                bp.serial = 0x100u + static_cast<uint32_t>(i);
                bp.flags = KIV_BOOT_CONFIGURE | KIV_BOOT_START;
                bp.conciseDcf = dcf.data();
                bp.conciseDcfSize = static_cast<uint32_t>(dcf.size());
                KIV_BootReport r{};
                if (KIV_BootNode(h, static_cast<uint8_t>(1 + i), &bp, &r) != KIV_OK) ++failed;
            });
        }
        for (auto& t : threads) t.join();
        const double s = Seconds(Clock::now() - t0);
        if (failed.load() != 0) state.SkipWithError("a boot failed");
        state.SetIterationTime(s);
        total += s;
    }
    host.Stop();
    KIV_Destroy(h);
    const double per = total / static_cast<double>(state.iterations());
    state.counters["boot_s"] = per;
    state.counters["of_target"] = per / 1.0;
    state.counters["bit_timed_500k"] = timed ? 1 : 0;
}
BENCHMARK(BM_Boot16Nodes)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
