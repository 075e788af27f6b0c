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
// BM_FastscanSlaves/RATE/N: N unconfigured slaves (identities differing in
// the serial number only) answering each query within 2 ms at random
// moments, on a bus that merges identical frames starting together; N
// KIV_LSS_Fastscan calls with the default step, each followed by
// configuring the slave found and switching it back, as a host does.
// Counter "per_slave_s"; target: at most 1.2 x the single slave's figure at
// the same rate.
//
// BM_ConfigureAll16: KIV_LSS_ConfigureAll of 16 such slaves at 125 kbit/s,
// default step. Counter "per_slave_s".
//
// BM_BootNetwork32: 32 nodes booted at 500 kbit/s in the low-latency mode,
// each: 0x1000 and 0x1018:1..4 checked, a 50-entry concise DCF written,
// started; once by KIV_BootNetwork ("network_s") and once by 32 KIV_BootNode
// calls one after the other ("serial_s"), in the same run, and the bus time
// of the network boot's frames ("bus_s"). Targets: network_s <= serial_s /
// 4 and network_s <= 1.3 x bus_s.
//
// All run on the bit-timed virtual bus: every frame occupies the bus for
// its length in bits, stuff bits included.
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
        : bus_(bus), ep_(bus.Attach("host", [this](const KIV_CanFrame& f) { Arrived(f); })) {
        ep_->SetTxQueueDepth(0);  // the library's frames wait for the bus, none is dropped
    }
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
        return static_cast<NotifyingHost*>(user)->ep_->Send(*f) ? 0 : 1;
    }

    VirtualBus& bus_;
    std::shared_ptr<Endpoint> ep_;
    std::mutex m_;
    std::deque<KIV_CanFrame> q_;
};

bool UseBitTiming(VirtualBus& bus, uint32_t bitRate) {
    BitTiming t;
    t.bitRate = bitRate;
    return bus.SetBitTiming(t);
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
    double total = 0;
    for (auto _ : state) {
        // A new instance each time: none knows the identity from a scan before.
        KIV_Handle h = KIV_Init(&p);
        std::array<uint32_t, 4> found{};
        const auto t0 = Clock::now();
        const int32_t rc = KIV_LSS_Fastscan(h, 0, found.data());
        const double s = Seconds(Clock::now() - t0);
        if (rc != KIV_OK || found != id) state.SkipWithError("fastscan did not find the slave");
        KIV_LSS_SwitchGlobal(h, 0);  // back to waiting, still unconfigured
        KIV_Destroy(h);
        state.SetIterationTime(s);
        total += s;
    }
    host.Stop();
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

// N unconfigured slaves on a bit-timed bus that merges identical frames.
struct LssNet {
    LssNet(uint32_t bitRate, int count) {
        BitTiming t;
        t.bitRate = bitRate;
        t.mergeIdentical = true;
        bus.SetBitTiming(t);
        host = std::make_unique<NotifyingHost>(bus);
        for (int i = 0; i < count; ++i) {
            auto n = std::make_unique<SimNode>(bus, 255);
            n->AddDeviceObjects({0x191, "", 0xA1F, 0x305, 0x10000, 0xC0FFE0u + uint32_t(i)});
            n->SetLssAnswerDelay(std::chrono::microseconds(0), std::chrono::microseconds(2000),
                                 static_cast<uint32_t>(i + 1));
            slaves.push_back(std::move(n));
        }
        const KIV_InitParam p = host->Param();
        h = KIV_Init(&p);
    }
    ~LssNet() {
        host->Stop();
        KIV_Destroy(h);
    }
    VirtualBus bus;
    std::unique_ptr<NotifyingHost> host;
    std::vector<std::unique_ptr<SimNode>> slaves;
    KIV_Handle h = nullptr;
};

void BM_FastscanSlaves(benchmark::State& state) {
    const auto rate = static_cast<uint32_t>(state.range(0));
    const auto count = static_cast<int>(state.range(1));
    double total = 0;
    for (auto _ : state) {
        LssNet net(rate, count);
        int found = 0;
        const auto t0 = Clock::now();
        for (int i = 0; i < count; ++i) {
            uint32_t id[4] = {};
            uint8_t error = 0;
            if (KIV_LSS_Fastscan(net.h, 0, id) != KIV_OK ||
                KIV_LSS_ConfigureNodeId(net.h, static_cast<uint8_t>(1 + i), &error) != KIV_OK ||
                KIV_LSS_SwitchGlobal(net.h, 0) != KIV_OK)
                break;
            ++found;
        }
        const double s = Seconds(Clock::now() - t0);
        if (found != count) state.SkipWithError("a slave was not found");
        state.SetIterationTime(s);
        total += s;
    }
    state.counters["per_slave_s"] =
        total / static_cast<double>(state.iterations()) / static_cast<double>(count);
}
BENCHMARK(BM_FastscanSlaves)
    ->ArgsProduct({{125000, 1000000}, {1, 4, 16}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

void BM_ConfigureAll16(benchmark::State& state) {
    constexpr int kCount = 16;
    double total = 0;
    for (auto _ : state) {
        LssNet net(125000, kCount);
        KIV_LssFound found[kCount];
        uint32_t count = 0;
        const auto t0 = Clock::now();
        const int32_t rc = KIV_LSS_ConfigureAll(net.h, 1, kCount, 0, 0, found, &count);
        const double s = Seconds(Clock::now() - t0);
        if (rc != KIV_OK || count != kCount) state.SkipWithError("not every slave was numbered");
        state.SetIterationTime(s);
        total += s;
    }
    state.counters["per_slave_s"] = total / static_cast<double>(state.iterations()) / kCount;
}
BENCHMARK(BM_ConfigureAll16)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_BootNetwork32(benchmark::State& state) {
    constexpr int kNodes = 32;
    constexpr uint16_t kEntries = 50;
    VirtualBus bus;
    UseBitTiming(bus, 500000);
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
    std::vector<KIV_BootNetParam> list(kNodes);
    for (int i = 0; i < kNodes; ++i) {
        KIV_BootNetParam& n = list[i];
        std::memset(&n, 0, sizeof n);
        n.node = static_cast<uint8_t>(1 + i);
        n.param.deviceType = 0x191;
        n.param.vendorId = 0xA1F;
        n.param.productCode = 0x305;
        n.param.revision = 0x10000;
        n.param.serial = 0x100u + static_cast<uint32_t>(i);
        n.param.flags = KIV_BOOT_CONFIGURE | KIV_BOOT_START | KIV_BOOT_MANDATORY;
        n.param.conciseDcf = dcf.data();
        n.param.conciseDcfSize = static_cast<uint32_t>(dcf.size());
    }
    const KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    host.handle.store(h);
    KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST | KIV_TIMING_DRAIN_RECEIVE);
    double network = 0, serial = 0, busTime = 0;
    for (auto _ : state) {
        std::vector<KIV_BootReport> reports(kNodes);
        const auto busy0 = bus.BusyTime();
        auto t0 = Clock::now();
        const int32_t rc = KIV_BootNetwork(h, list.data(), kNodes, 0, reports.data());
        const double n = Seconds(Clock::now() - t0);
        busTime += std::chrono::duration<double>(bus.BusyTime() - busy0).count();
        bool ok = rc == KIV_OK;
        t0 = Clock::now();
        for (int i = 0; i < kNodes; ++i)
            ok = KIV_BootNode(h, list[i].node, &list[i].param, &reports[i]) == KIV_OK && ok;
        serial += Seconds(Clock::now() - t0);
        if (!ok) state.SkipWithError("a boot failed");
        state.SetIterationTime(n);
        network += n;
    }
    host.Stop();
    KIV_Destroy(h);
    const auto runs = static_cast<double>(state.iterations());
    state.counters["network_s"] = network / runs;
    state.counters["serial_s"] = serial / runs;
    state.counters["bus_s"] = busTime / runs;
    state.counters["of_serial"] = network / serial;
    state.counters["of_bus"] = network / busTime;
}
BENCHMARK(BM_BootNetwork32)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
