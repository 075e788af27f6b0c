// Cost of turning one received frame into an event, over the traffic of a
// busy bus: PDOs most, then heartbeats, SYNC, SDO, EMCY, NMT and TIME.
//
// Counters: "per_frame" is the time per frame (in seconds, printed with an SI
// prefix, so 4.2n is 4.2 ns).
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "services/rx_events.h"
#include "instance/co_stack.h"

namespace {

KIV_CanFrame Make(uint32_t id, uint8_t dlc, std::mt19937& rng, bool remote = false) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = id;
    f.dlc = dlc;
    f.rtr = remote ? 1 : 0;
    for (uint8_t i = 0; i < 8; ++i) f.data[i] = i < dlc ? static_cast<uint8_t>(rng()) : 0;
    return f;
}

// 4096 frames in a fixed pseudo-random order, by share of the traffic:
// 62 % PDO (TPDO 1..4 of nodes 1..16, 2..8 bytes), 16 % heartbeat, 8 % SYNC,
// 8 % SDO (both directions, expedited and segmented), 3 % EMCY, 2 % NMT,
// 1 % TIME.
std::vector<KIV_CanFrame> RealisticMix() {
    std::mt19937 rng(42);
    std::vector<KIV_CanFrame> out;
    out.reserve(4096);
    while (out.size() < 4096) {
        const unsigned pick = rng() % 100;
        const uint32_t node = 1 + rng() % 16;
        if (pick < 62) {
            const uint32_t tpdo = rng() % 4;
            out.push_back(
                Make(0x180 + tpdo * 0x100 + node, static_cast<uint8_t>(2 + rng() % 7), rng));
        } else if (pick < 78) {
            KIV_CanFrame f = Make(0x700 + node, 1, rng);
            const uint8_t states[] = {0x05, 0x85, 0x7F, 0x04};
            f.data[0] = states[rng() % 4];
            out.push_back(f);
        } else if (pick < 86) {
            out.push_back(Make(0x080, 0, rng));
        } else if (pick < 94) {
            const bool fromServer = rng() % 2 != 0;
            KIV_CanFrame f = Make((fromServer ? 0x580 : 0x600) + node, 8, rng);
            const uint8_t server[] = {0x4B, 0x43, 0x60, 0x80, 0x41, 0x00};
            const uint8_t client[] = {0x40, 0x2B, 0x23, 0x60, 0x70};
            f.data[0] = fromServer ? server[rng() % 6] : client[rng() % 5];
            out.push_back(f);
        } else if (pick < 97) {
            out.push_back(Make(0x080 + node, 8, rng));
        } else if (pick < 99) {
            KIV_CanFrame f = Make(0x000, 2, rng);
            f.data[0] = 0x01;
            out.push_back(f);
        } else {
            KIV_CanFrame f = Make(0x100, 6, rng);
            f.data[3] &= 0x0F;
            f.data[5] = 0x39;
            out.push_back(f);
        }
    }
    return out;
}

void PerFrame(benchmark::State& state, std::size_t frames) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
    state.counters["per_frame"] = benchmark::Counter(
        static_cast<double>(frames),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Classification alone.
void BM_DecodeEvent(benchmark::State& state) {
    const std::vector<KIV_CanFrame> frames = RealisticMix();
    KIV_Event ev;
    for (auto _ : state) {
        for (const KIV_CanFrame& f : frames) {
            orukiv::DecodeEvent(&f, &ev);
            benchmark::DoNotOptimize(ev);
        }
    }
    PerFrame(state, frames.size());
}
BENCHMARK(BM_DecodeEvent);

// What the host's callback does with the event: reads a few fields.
struct Consumer {
    uint64_t sum = 0;
    static void OnEvent(const KIV_Event* e, void* user) {
        auto* c = static_cast<Consumer*>(user);
        c->sum += e->type + e->node + e->body.raw[0] + e->body.raw[4];
    }
};

int32_t SendNothing(const KIV_CanFrame*, void*) {
    return 0;
}

// The worker's whole path for one frame: SDO offer, event, callback.
// Argument: SDO transfers in progress in each direction (on node 0x7F, which
// the traffic never answers for), and whether onEvent is registered.
void BM_ProcessRxFrame(benchmark::State& state) {
    const auto busy = static_cast<int>(state.range(0));
    const bool withEvents = state.range(1) != 0;
    const std::vector<KIV_CanFrame> frames = RealisticMix();

    Consumer consumer;
    KIV_InitParam p;
    std::memset(&p, 0, sizeof p);
    p.canSend = &SendNothing;
    p.onEvent = withEvents ? &Consumer::OnEvent : nullptr;
    p.userData = &consumer;
    CoStack* stack = orukiv::NewStack(&p);

    uint8_t buffers[2 * orukiv::SDO_CHANNELS][8] = {};
    uint32_t received[orukiv::SDO_CHANNELS] = {};
    std::vector<CoRequest> requests(2 * orukiv::SDO_CHANNELS);
    for (int i = 0; i < 2 * busy; ++i) {
        CoRequest& r = requests[static_cast<std::size_t>(i)];
        std::memset(&r, 0, sizeof r);
        r.node = 0x7F;
        if (i % 2 == 0) {
            r.type = REQ_SDO_READ;
            r.payload.sdoRead = {0x6041, 0, buffers[i], 4, &received[i / 2], nullptr};
        } else {
            r.type = REQ_SDO_WRITE;
            r.payload.sdoWrite = {0x6040, 0, buffers[i], 2, nullptr};
        }
        orukiv::SdoClaimChannel(stack, &r);
    }
    // One tick puts the transfers into their waiting state.
    orukiv::SdoTickUploads(stack);
    orukiv::SdoTickDownloads(stack);

    for (auto _ : state) {
        for (const KIV_CanFrame& f : frames) orukiv::ProcessRxFrame(stack, &f);
        benchmark::DoNotOptimize(consumer.sum);
    }
    PerFrame(state, frames.size());
    orukiv::FreeStack(stack);
}
BENCHMARK(BM_ProcessRxFrame)
    ->ArgNames({"busySdo", "onEvent"})
    ->Args({0, 1})
    ->Args({2, 1})
    ->Args({16, 1})
    ->Args({0, 0})
    ->Args({16, 0});

}  // namespace

BENCHMARK_MAIN();
