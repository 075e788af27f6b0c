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
#include <thread>
#include <vector>

#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"

// ---- Counting allocator -----------------------------------------------------

namespace {

// Counting is switched on per thread, around the export call only, so that
// the worker's own activity and the benchmark's bookkeeping stay out.
thread_local bool t_counting = false;
thread_local uint64_t t_news = 0;
thread_local uint64_t t_mallocs = 0;
// Every thread's allocations while the flag is set (the worker included).
std::atomic<bool> g_countAll{false};
std::atomic<uint64_t> g_allNews{0};
std::atomic<uint64_t> g_allMallocs{0};

inline void NoteNew() {
    if (t_counting) ++t_news;
    if (g_countAll.load(std::memory_order_relaxed)) g_allNews.fetch_add(1);
}

void* CountedNew(std::size_t n, std::size_t align) {
    NoteNew();
    if (n == 0) n = 1;
    if (align <= alignof(std::max_align_t)) return std::malloc(n);
    const std::size_t rounded = (n + align - 1) / align * align;
    return std::aligned_alloc(align, rounded);
}

}  // namespace

void* operator new(std::size_t n) {
    if (void* p = CountedNew(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = CountedNew(n, 0)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n, 0);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return CountedNew(n, 0);
}
void* operator new(std::size_t n, std::align_val_t a) {
    if (void* p = CountedNew(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n, std::align_val_t a) {
    if (void* p = CountedNew(n, static_cast<std::size_t>(a))) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedNew(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return CountedNew(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
    std::free(p);
}

#if defined(__GLIBC__)
// glibc lets a program wrap the C allocator around its internal entry
// points; this also catches allocations that bypass operator new.
#define BENCH_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}
namespace {
inline void NoteMalloc() {
    if (t_counting) ++t_mallocs;
    if (g_countAll.load(std::memory_order_relaxed)) g_allMallocs.fetch_add(1);
}
}  // namespace
extern "C" {
void* malloc(std::size_t n) noexcept {
    NoteMalloc();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t m) noexcept {
    NoteMalloc();
    return __libc_calloc(n, m);
}
void* realloc(void* p, std::size_t n) noexcept {
    NoteMalloc();
    return __libc_realloc(p, n);
}
void* aligned_alloc(std::size_t a, std::size_t n) noexcept {
    NoteMalloc();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, std::size_t a, std::size_t n) noexcept {
    NoteMalloc();
    void* p = __libc_memalign(a, n);
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}
void free(void* p) noexcept {
    __libc_free(p);
}
}
#else
#define BENCH_COUNTS_MALLOC 0
#endif

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
    static int32_t Recv(KIV_CanFrame*, uint32_t, void* user) {
        auto* self = static_cast<QuietHost*>(user);
        const std::size_t i = self->count_.load(std::memory_order_relaxed);
        if (i < kMaxPolls) self->polls_[i] = Clock::now();
        self->count_.store(i + 1, std::memory_order_release);
        return 0;
    }
    static int32_t Send(const KIV_CanFrame*, void* user) {
        static_cast<QuietHost*>(user)->sends_.fetch_add(1);
        return 0;
    }

    std::vector<Clock::time_point> polls_;
    std::atomic<std::size_t> count_{0};
    std::atomic<uint64_t> sends_{0};
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

void AllocationsPerCall(benchmark::State& state, const std::function<int32_t(KIV_Handle)>& call) {
    QuietLogger quiet;
    QuietHost host;
    KIV_InitParam p = host.Param();
    KIV_Handle h = KIV_Init(&p);
    if (h == nullptr) {
        state.SkipWithError("KIV_Init failed");
        return;
    }
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

void BM_AllocationsPerCall_SendSYNC(benchmark::State& state) {
    AllocationsPerCall(state, [](KIV_Handle h) { return KIV_SendSYNC(h); });
}
void BM_AllocationsPerCall_SendPDO(benchmark::State& state) {
    AllocationsPerCall(state, [](KIV_Handle h) { return KIV_SendPDO(h, 0x201, kPdo, 8); });
}
void BM_AllocationsPerCall_SendTimestamp(benchmark::State& state) {
    AllocationsPerCall(
        state, [](KIV_Handle h) { return KIV_SendTimestamp(h, 2024, 2, 29, 23, 59, 59, 999); });
}
void BM_AllocationsPerCall_InputFrame(benchmark::State& state) {
    AllocationsPerCall(state, [](KIV_Handle h) { return KIV_InputFrame(h, &kInjected); });
}
BENCHMARK(BM_AllocationsPerCall_SendSYNC)->Iterations(300)->UseRealTime();
BENCHMARK(BM_AllocationsPerCall_SendPDO)->Iterations(100)->UseRealTime();
BENCHMARK(BM_AllocationsPerCall_SendTimestamp)->Iterations(100)->UseRealTime();
BENCHMARK(BM_AllocationsPerCall_InputFrame)->Iterations(100)->UseRealTime();

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
