// Object dictionaries:
//  - parse time of a generated 500-object EDS (VARs, and RECORDs of four
//    sub-entries, with the usual keys and comments), per object and as
//    bytes per second;
//  - KIV_ConfigureNode of a 100-entry DCF in the low-latency mode (200 us
//    passes, woken by requests) against a simulated node, beside a plain
//    loop of the same 100 KIV_WriteObjectEx calls on the same rig: the
//    ratio configure / loop is what the download adds to its writes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "orukiv/orukiv_od.h"
#include "orukiv_sim/sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint8_t kNode = 5;
constexpr int kObjects = 500;
constexpr int kDcfEntries = 100;
constexpr uint16_t kFirstIndex = 0x2000;

std::string Eds() {
    std::string text =
        "[FileInfo]\nFileName=bench.eds\n\n[DeviceInfo]\nVendorName=orukiv bench\n\n";
    char buf[512];
    for (int i = 0; i < kObjects; ++i) {
        const int index = kFirstIndex + i;
        if (i % 4 == 3) {
            std::snprintf(buf, sizeof buf,
                          "[%X]\nParameterName=Record %d\nObjectType=0x9\nSubNumber=4\n\n", index,
                          i);
            text += buf;
            for (int sub = 0; sub < 4; ++sub) {
                std::snprintf(buf, sizeof buf,
                              "[%Xsub%d]\nParameterName=Field %d\nObjectType=0x7\nDataType=0x%04X\n"
                              "AccessType=%s\nDefaultValue=%s\nPDOMapping=%d\n\n",
                              index, sub, sub, sub == 0 ? 5 : 7, sub == 0 ? "ro" : "rw",
                              sub == 0 ? "3" : "$NODEID+0x180", sub == 0 ? 0 : 1);
                text += buf;
            }
        } else {
            std::snprintf(
                buf, sizeof buf,
                "[%X]\nParameterName=Variable %d ; comment\nObjectType=0x7\nDataType=0x0007\n"
                "AccessType=rw\nDefaultValue=0x%08X\nLowLimit=0\nHighLimit=0xFFFFFFFF\nPDOMapping="
                "1\n\n",
                index, i, i * 977);
            text += buf;
        }
    }
    return text;
}

void BM_OdParse500Objects(benchmark::State& state) {
    const std::string text = Eds();
    for (auto _ : state) {
        KIV_Od* od =
            KIV_OdLoadText(text.data(), static_cast<uint32_t>(text.size()), kNode, nullptr);
        if (od == nullptr) state.SkipWithError("the generated EDS does not load");
        benchmark::DoNotOptimize(od);
        KIV_OdFree(od);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.counters["objects_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * kObjects, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OdParse500Objects)->Unit(benchmark::kMillisecond);

std::string Dcf() {
    std::string text = "[FileInfo]\nFileName=bench.dcf\n\n";
    char buf[256];
    for (int i = 0; i < kDcfEntries; ++i) {
        std::snprintf(buf, sizeof buf,
                      "[%X]\nParameterName=Setting "
                      "%d\nDataType=0x0007\nAccessType=rw\nParameterValue=0x%08X\n\n",
                      kFirstIndex + i, i, 0x10000 + i);
        text += buf;
    }
    return text;
}

void BM_ConfigureNode100Entries(benchmark::State& state) {
    orukiv::sim::VirtualBus bus;
    orukiv::sim::HostEndpoint host(bus);
    orukiv::sim::SimNode node(bus, kNode);
    for (int i = 0; i < kDcfEntries; ++i) node.AddU32(static_cast<uint16_t>(kFirstIndex + i), 0, 0);
    KIV_InitParam p = host.Param();
    KIV_Handle handle = KIV_Init(&p);
    KIV_SetWorkerTiming(handle, 200, KIV_TIMING_WAKE_ON_REQUEST);
    const std::string text = Dcf();
    KIV_Od* dcf = KIV_OdLoadText(text.data(), static_cast<uint32_t>(text.size()), kNode, nullptr);
    double configureMs = 0, loopMs = 0;
    for (auto _ : state) {
        KIV_ConfigReport report{};
        const auto t0 = Clock::now();
        if (KIV_ConfigureNode(handle, kNode, dcf, &report) != KIV_OK ||
            report.written != kDcfEntries)
            state.SkipWithError("the download failed");
        const auto t1 = Clock::now();
        for (int i = 0; i < kDcfEntries; ++i) {
            const uint32_t v = 0x10000u + static_cast<uint32_t>(i);
            KIV_WriteObjectEx(handle, kNode, static_cast<uint16_t>(kFirstIndex + i), 0,
                              reinterpret_cast<const uint8_t*>(&v), 4, nullptr);
        }
        const auto t2 = Clock::now();
        configureMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
        loopMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["configure_ms"] = configureMs / n;
    state.counters["loop_ms"] = loopMs / n;
    state.counters["us_per_write"] = configureMs / n * 1000.0 / kDcfEntries;
    state.counters["configure_over_loop"] = loopMs > 0 ? configureMs / loopMs : 0;
    KIV_OdFree(dcf);
    KIV_Destroy(handle);
}
BENCHMARK(BM_ConfigureNode100Entries)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
