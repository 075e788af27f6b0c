// Costs of the synchronous request path, seen from a host thread:
//  - heap allocations per export call while nothing is logged, counted by a
//    replaced global allocator (and, with glibc, by wrapping malloc itself);
//  - the round trip of KIV_SendSYNC measured against the worker's pass
//    period in the same run (from the timestamps of its receive polls).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alloc_counter.h"
#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"

// ---- A host that allocates nothing per frame ----------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// Records poll times into a fixed array and counts sends; never allocates
// on the worker thread, so any allocation seen there is the library's.
class QuietHost {
public:
    static constexpr std::size_t kMaxPolls = 1 << 20;

    QuietHost() : polls_(kMaxPolls) {}

    KIV_InitParam Param() {
        KIV_InitParam p;
        std::memset(&p, 0, sizeof p);
        p.canRecv = &QuietHost::Recv;
        p.canSend = &QuietHost::Send;
        p.userData = this;
        return p;
    }
    std::vector<Clock::time_point> PollsBetween(Clock::time_point from,
                                                Clock::time_point to) const {
        const std::size_t n = std::min(count_.load(), kMaxPolls);
        std::vector<Clock::time_point> out;
        for (std::size_t i = 0; i < n; ++i)
            if (polls_[i] >= from && polls_[i] <= to) out.push_back(polls_[i]);
        return out;
    }
    uint64_t Sends() const { return sends_.load(); }

private:
    static int32_t Recv(KIV_CanFrame* frames, uint32_t, void* user) {
        auto* self = static_cast<QuietHost*>(user);
        const std::size_t i = self->count_.load(std::memory_order_relaxed);
        if (i < kMaxPolls) self->polls_[i] = Clock::now();
        self->count_.store(i + 1, std::memory_order_release);
        if (!self->hasAnswer_) return 0;
        self->hasAnswer_ = false;
        frames[0] = self->answer_;
        return 1;
    }
    // Answers expedited SDO requests as a server would, at the next poll:
    // reads with four bytes, writes with their confirmation.
    static int32_t Send(const KIV_CanFrame* f, void* user) {
        auto* self = static_cast<QuietHost*>(user);
        self->sends_.fetch_add(1);
        if (f->id > 0x600 && f->id <= 0x67F) {
            const uint8_t command = f->data[0];
            KIV_CanFrame& a = self->answer_;
            a = *f;
            a.id = f->id - 0x600 + 0x580;
            if (command == 0x40) {
                a.data[0] = 0x43;
                a.data[4] = 0x27;
                a.data[5] = a.data[6] = a.data[7] = 0;
                self->hasAnswer_ = true;
            } else if ((command & 0xE3) == 0x23) {
                a.data[0] = 0x60;
                a.data[4] = a.data[5] = a.data[6] = a.data[7] = 0;
                self->hasAnswer_ = true;
            }
        }
        return 0;
    }

    std::vector<Clock::time_point> polls_;
    std::atomic<std::size_t> count_{0};
    std::atomic<uint64_t> sends_{0};
    // Worker thread only.
    bool hasAnswer_ = false;
    KIV_CanFrame answer_{};
};

// Nothing may be logged while allocations are counted.
struct QuietLogger {
    QuietLogger() { QUserLog::GetInstance().SetLogLevel(static_cast<LogLevel>(6)); }
    ~QuietLogger() { QUserLog::GetInstance().SetLogLevel(LOG_TRACE); }
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2.0;
}

double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

const uint8_t kPdo[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const KIV_CanFrame kInjected = {0x181, {0}, 0, 0, 2, {0}, {0x11, 0x22}};

// ---- (a) allocations per call ---------------------------------------------------

void AllocationsPerCall(benchmark::State& state, const std::function<int32_t(KIV_Handle)>& call,
                        bool lowLatency) {
    QuietLogger quiet;
    QuietHost host;
    KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    if (h == nullptr) {
        state.SkipWithError("KIV_Init failed");
        return;
    }
    if (lowLatency) (void)KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST);
    // The first call of a thread may set up per-thread state; it is not
    // part of the steady cost.
    (void)call(h);

    // The counters must see an allocation made inside the counted region,
    // or a zero below would mean nothing.
    t_news = 0;
    t_mallocs = 0;
    t_counting = true;
    int* probe = new int(7);
    benchmark::DoNotOptimize(probe);
    delete probe;
    t_counting = false;
    if (t_news != 1 || (BENCH_COUNTS_MALLOC && t_mallocs < 1)) {
        KIV_Destroy(h);
        state.SkipWithError("allocation counter does not count");
        return;
    }

    t_news = 0;
    t_mallocs = 0;
    g_allNews = 0;
    g_allMallocs = 0;
    int64_t calls = 0;
    g_countAll = true;
    for (auto _ : state) {
        t_counting = true;
        const int32_t rc = call(h);
        t_counting = false;
        benchmark::DoNotOptimize(rc);
        if (rc != KIV_OK) {
            state.SkipWithError("export failed");
            break;
        }
        ++calls;
    }
    g_countAll = false;
    const uint64_t news = t_news;
    const uint64_t mallocs = t_mallocs;
    const uint64_t allNews = g_allNews;
    const uint64_t allMallocs = g_allMallocs;
    KIV_Destroy(h);

    const double n = calls > 0 ? static_cast<double>(calls) : 1.0;
    state.counters["new_per_call"] = static_cast<double>(news) / n;
    state.counters["malloc_per_call"] =
        BENCH_COUNTS_MALLOC ? static_cast<double>(mallocs) / n : -1.0;
    // All threads, worker included, while the loop ran.
    state.counters["all_threads_new_per_call"] = static_cast<double>(allNews) / n;
    state.counters["all_threads_malloc_per_call"] =
        BENCH_COUNTS_MALLOC ? static_cast<double>(allMallocs) / n : -1.0;
}

// Every export that takes a handle, with logging silenced. The SDO calls
// are answered by the host; they and the timing calls run in low-latency
// mode (which then also shows that mode allocates nothing).
struct AllocationRow {
    const char* name;
    std::function<int32_t(KIV_Handle)> call;
    int iterations;
    bool lowLatency;
};

uint16_t g_u16;
int16_t g_i16;
int32_t g_i32;
uint8_t g_buf[4];
uint32_t g_n, g_abort;
const KIV_PdoMapEntry kMap[2] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                 KIV_MakePdoMapEntry(0x6064, 0, 32)};

std::vector<AllocationRow> AllocationRows() {
    return {
        {"SendSYNC", [](KIV_Handle h) { return KIV_SendSYNC(h); }, 300, false},
        {"SendPDO", [](KIV_Handle h) { return KIV_SendPDO(h, 0x201, kPdo, 8); }, 100, false},
        {"SendTimestamp",
         [](KIV_Handle h) { return KIV_SendTimestamp(h, 2024, 2, 29, 23, 59, 59, 999); }, 100,
         false},
        {"InputFrame", [](KIV_Handle h) { return KIV_InputFrame(h, &kInjected); }, 100, false},
        {"LowLatency_SendSYNC", [](KIV_Handle h) { return KIV_SendSYNC(h); }, 1000, true},
        {"NMT_SendCommand", [](KIV_Handle h) { return KIV_NMT_SendCommand(h, 5, 1); }, 300, true},
        {"NMT_SendHeartbeat", [](KIV_Handle h) { return KIV_NMT_SendHeartbeat(h, 1, 5); }, 300,
         true},
        {"SendNodeGuardRequest", [](KIV_Handle h) { return KIV_SendNodeGuardRequest(h, 5); }, 300,
         true},
        {"SendEMCY", [](KIV_Handle h) { return KIV_SendEMCY(h, 1, 0x1000, 1, nullptr); }, 300,
         true},
        {"SendRemotePDO", [](KIV_Handle h) { return KIV_SendRemotePDO(h, 0x181); }, 300, true},
        {"ReadObject", [](KIV_Handle h) { return KIV_ReadObject(h, 5, 0x2000, 0, g_buf, 4, &g_n); },
         200, true},
        {"ReadObjectEx",
         [](KIV_Handle h) { return KIV_ReadObjectEx(h, 5, 0x2000, 0, g_buf, 4, &g_n, &g_abort); },
         200, true},
        {"WriteObject", [](KIV_Handle h) { return KIV_WriteObject(h, 5, 0x2000, 0, kPdo, 4); }, 200,
         true},
        {"WriteObjectEx",
         [](KIV_Handle h) { return KIV_WriteObjectEx(h, 5, 0x2000, 0, kPdo, 4, &g_abort); }, 200,
         true},
        {"SetSDOTimeout",
         [](KIV_Handle h) { return KIV_SetSDOTimeout(h, 1000) != 0 ? KIV_OK : KIV_ERR_PARAM; }, 300,
         true},
        {"NMT_SetHeartbeatPeriod",
         [](KIV_Handle h) { return KIV_NMT_SetHeartbeatPeriod(h, 5, 100); }, 200, true},
        {"ConfigTPDO", [](KIV_Handle h) { return KIV_ConfigTPDO(h, 5, 1, kMap, 2); }, 50, true},
        {"402_SetControlWord", [](KIV_Handle h) { return KIV_402_SetControlWord(h, 5, 0x0F); }, 200,
         true},
        {"402_GetStatusWord", [](KIV_Handle h) { return KIV_402_GetStatusWord(h, 5, &g_u16); }, 200,
         true},
        {"402_SetOpMode", [](KIV_Handle h) { return KIV_402_SetOpMode(h, 5, 1); }, 200, true},
        {"402_GetOpMode", [](KIV_Handle h) { return KIV_402_GetOpMode(h, 5, &g_i32); }, 200, true},
        {"402_SetTargetPos", [](KIV_Handle h) { return KIV_402_SetTargetPos(h, 5, 1000); }, 200,
         true},
        {"402_GetActualPos", [](KIV_Handle h) { return KIV_402_GetActualPos(h, 5, &g_i32); }, 200,
         true},
        {"402_SetTargetVel", [](KIV_Handle h) { return KIV_402_SetTargetVel(h, 5, 1000); }, 200,
         true},
        {"402_GetActualVel", [](KIV_Handle h) { return KIV_402_GetActualVel(h, 5, &g_i32); }, 200,
         true},
        {"402_SetTargetTorque", [](KIV_Handle h) { return KIV_402_SetTargetTorque(h, 5, 100); },
         200, true},
        {"402_GetActualTorque", [](KIV_Handle h) { return KIV_402_GetActualTorque(h, 5, &g_i16); },
         200, true},
        {"402_SetHomingMode", [](KIV_Handle h) { return KIV_402_SetHomingMode(h, 5, 35); }, 200,
         true},
        {"402_FaultReset", [](KIV_Handle h) { return KIV_402_FaultReset(h, 5); }, 200, true},
        {"402_PowerOn", [](KIV_Handle h) { return KIV_402_PowerOn(h, 5); }, 20, true},
        {"SetWorkerTiming",
         [](KIV_Handle h) { return KIV_SetWorkerTiming(h, 1000, KIV_TIMING_WAKE_ON_REQUEST); },
         1000, true},
        {"Notify", [](KIV_Handle h) { return KIV_Notify(h); }, 1000, true},
    };
}

const int kAllocationRowsRegistered = [] {
    for (const AllocationRow& row : AllocationRows()) {
        benchmark::RegisterBenchmark(
            (std::string("BM_AllocationsPerCall_") + row.name).c_str(),
            [row](benchmark::State& state) { AllocationsPerCall(state, row.call, row.lowLatency); })
            ->Iterations(row.iterations)
            ->UseRealTime();
    }
    return 0;
}();

// ---- (b) round trip against the pass period --------------------------------------

// Arg 0: calls back to back. Arg 1: each call starts at a random point of the
// worker's pass (a random pause of up to two nominal passes before it).
void BM_SendSyncRoundTrip(benchmark::State& state) {
    const bool randomPhase = state.range(0) != 0;
    QuietLogger quiet;
    QuietHost host;
    KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    if (h == nullptr) {
        state.SkipWithError("KIV_Init failed");
        return;
    }
    (void)KIV_SendSYNC(h);
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> pauseUs(0, 10000);
    std::vector<double> roundTripsUs;
    roundTripsUs.reserve(static_cast<std::size_t>(state.max_iterations));

    const auto begin = Clock::now();
    for (auto _ : state) {
        if (randomPhase) {
            state.PauseTiming();
            const auto until = Clock::now() + std::chrono::microseconds(pauseUs(rng));
            while (Clock::now() < until) {
            }
            state.ResumeTiming();
        }
        const auto t0 = Clock::now();
        const int32_t rc = KIV_SendSYNC(h);
        const auto t1 = Clock::now();
        benchmark::DoNotOptimize(rc);
        roundTripsUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    const auto end = Clock::now();
    KIV_Destroy(h);

    const auto polls = host.PollsBetween(begin, end);
    std::vector<double> passesUs;
    for (std::size_t i = 1; i < polls.size(); ++i)
        passesUs.push_back(
            std::chrono::duration<double, std::micro>(polls[i] - polls[i - 1]).count());
    const double pass = Median(passesUs);
    const double rt = Median(roundTripsUs);
    state.counters["median_rt_us"] = rt;
    state.counters["median_pass_us"] = pass;
    state.counters["median_ratio"] = pass > 0 ? rt / pass : 0.0;
    state.counters["p90_ratio"] = pass > 0 ? Percentile(roundTripsUs, 0.9) / pass : 0.0;
    state.counters["max_ratio"] = pass > 0 ? Percentile(roundTripsUs, 1.0) / pass : 0.0;
}
BENCHMARK(BM_SendSyncRoundTrip)->Arg(0)->Arg(1)->Iterations(400)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
