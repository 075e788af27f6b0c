// Worker cost of node supervision: one worker pass (receive poll, request
// ring, SDO ticks, supervision) on an instance supervising all 127 node ids
// by heartbeat, against the same pass on an instance that supervises
// nothing. Both run on the library's own millisecond clock, in alternating
// blocks of passes within one run, timed by this thread's CPU clock so that
// other processes on a shared machine do not count.
//
// Argument "heartbeats": 0 a quiet bus (every node seen once, none due);
// 1 the bus of 127 nodes sending a heartbeat every 100 ms, about six frames
// per 5 ms pass, polled, decoded and handed to the host's callback on both
// instances alike. The host's callbacks do nothing else, so the idle pass
// is the library's floor (a few tens of ns); what supervision adds is one
// read of the millisecond clock a pass (the idle pass reads none), a
// comparison, and a few stores per heartbeat.
//
// Counters: "idle_ns" and "supervised_ns" per pass; "ratio" the second over
// the first; "added_ns" their difference.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/platform.h"
#include "instance/co_stack.h"

namespace {

constexpr int kNodes = 127;
constexpr int kBlock = 1024;             // passes timed together
constexpr uint32_t kTimeoutMs = 600000;  // nobody is lost during a run

// A host that hands the worker a steady share of the heartbeat traffic and
// consumes events the way a host would (reads a few fields).
struct Host {
    bool heartbeats = false;
    uint32_t nextNode = 1;
    uint32_t passes = 0;
    uint64_t sum = 0;

    static int32_t Recv(KIV_CanFrame* frames, uint32_t maxCount, void* user) {
        auto* self = static_cast<Host*>(user);
        if (!self->heartbeats) return 0;
        // 127 frames per 20 passes: 6 or 7 a pass.
        const uint32_t n = (++self->passes % 20 < 7) ? 7 : 6;
        for (uint32_t i = 0; i < n && i < maxCount; ++i) {
            KIV_CanFrame& f = frames[i];
            std::memset(&f, 0, sizeof f);
            f.id = 0x700 + self->nextNode;
            f.dlc = 1;
            f.data[0] = 0x05;
            self->nextNode = self->nextNode % kNodes + 1;
        }
        return static_cast<int32_t>(n);
    }
    static int32_t Send(const KIV_CanFrame*, void*) { return 0; }
    static void OnEvent(const KIV_Event* e, void* user) {
        static_cast<Host*>(user)->sum += e->type + e->node + e->body.raw[0];
    }
};

CoStack* MakeStack(Host& host) {
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canRecv = &Host::Recv;
    p.canSend = &Host::Send;
    p.onEvent = &Host::OnEvent;
    p.userData = &host;
    CoStack* stack = orukiv::NewStack(&p);
    stack->mutex = orukiv::platform::MutexCreate();
    return stack;
}

// CPU time of this thread, so that other processes on a shared machine
// do not count.
double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double TimeBlock(CoStack* stack) {
    const double t0 = ThreadCpuNs();
    for (int i = 0; i < kBlock; ++i) orukiv::WorkerPass(stack);
    return ThreadCpuNs() - t0;
}

void BM_SupervisionPassCost(benchmark::State& state) {
    const bool heartbeats = state.range(0) != 0;
    Host idleHost, supHost;
    idleHost.heartbeats = supHost.heartbeats = heartbeats;
    CoStack* idle = MakeStack(idleHost);
    CoStack* sup = MakeStack(supHost);
    for (int node = 1; node <= kNodes; ++node) {
        CoRequest r;
        std::memset(&r, 0, sizeof r);
        r.type = REQ_SUPERVISE;
        r.node = static_cast<uint8_t>(node);
        r.payload.supervise.timeMs = kTimeoutMs;
        orukiv::DispatchRequest(sup, &r);
        KIV_CanFrame hb;
        std::memset(&hb, 0, sizeof hb);
        hb.id = 0x700u + static_cast<uint32_t>(node);
        hb.dlc = 1;
        hb.data[0] = 0x05;
        orukiv::ProcessRxFrame(sup, &hb);  // seen once: every node is watched
    }
    orukiv::WorkerPass(sup);  // the first check after the set-up

    double idleNs = 0, supNs = 0;
    bool idleFirst = true;
    for (auto _ : state) {
        if (idleFirst) idleNs += TimeBlock(idle);
        supNs += TimeBlock(sup);
        if (!idleFirst) idleNs += TimeBlock(idle);
        idleFirst = !idleFirst;
    }
    const double passes = static_cast<double>(state.iterations()) * kBlock;
    state.counters["idle_ns"] = idleNs / passes;
    state.counters["supervised_ns"] = supNs / passes;
    state.counters["ratio"] = idleNs > 0 ? supNs / idleNs : 0.0;
    state.counters["added_ns"] = (supNs - idleNs) / passes;
    benchmark::DoNotOptimize(idleHost.sum + supHost.sum);
    orukiv::FreeStack(idle);
    orukiv::FreeStack(sup);
}
BENCHMARK(BM_SupervisionPassCost)->ArgName("heartbeats")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
