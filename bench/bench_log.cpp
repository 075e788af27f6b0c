// Logger throughput in lines per second: file output off (debugger output
// only), file output on (cache and a file append every 100 lines), and
// messages below the level (rejected at the threshold). The debugger output
// goes to a no-op capture; nothing is printed.
//
// The reference is spdlog's synchronous file sink (basic_logger_mt) writing
// the same lines, with the same time and level prefix, to a file in the
// same kind of scratch folder; scripts/bench divides the two rates.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "alloc_counter.h"
#include "orukiv/QUserLog.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

void Discard(const char*, void*) {}

class ScratchDir {
public:
    ScratchDir() {
        std::random_device rd;
        path_ = fs::temp_directory_path() / ("orukiv_bench_log_" + std::to_string(rd()));
        fs::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

void BM_LogFileOutputOff(benchmark::State& state) {
    QUserLog& log = QUserLog::GetInstance();
    orukiv::platform::SetDebugCapture(Discard, nullptr);
    log.SetLogLevel(LOG_TRACE);
    log.EnableFileOutput(false);
    int i = 0;
    for (auto _ : state) log.Info("sdo seg read...<%d,%d>", i++, 4096);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogFileOutputOff);

void BM_LogFileOutputOn(benchmark::State& state) {
    QUserLog& log = QUserLog::GetInstance();
    orukiv::platform::SetDebugCapture(Discard, nullptr);
    ScratchDir dir;
    log.SetLogLevel(LOG_TRACE);
    log.SetLogPath(dir.path().string().c_str());
    log.EnableFileOutput(true);
    long long i = 0;
    // Allocations of the logging thread, flushes included.
    t_news = 0;
    t_mallocs = 0;
    t_counting = true;
    for (auto _ : state) {
        log.Info("sdo seg read...<%lld,%d>", i, 4096);
        // Keep the file small: drop it now and then, between two flushes
        // (the cache is empty right after every 100th line).
        if (++i % 200000 == 0) {
            state.PauseTiming();
            t_counting = false;
            std::error_code ec;
            for (const auto& e : fs::directory_iterator(dir.path(), ec)) fs::remove(e.path(), ec);
            t_counting = true;
            state.ResumeTiming();
        }
    }
    t_counting = false;
    const double lines = static_cast<double>(state.iterations());
    state.counters["new_per_line"] = static_cast<double>(t_news) / lines;
    state.counters["malloc_per_line"] =
        BENCH_COUNTS_MALLOC ? static_cast<double>(t_mallocs) / lines : -1.0;
    log.FlushCache();
    log.EnableFileOutput(false);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogFileOutputOn);

void BM_SpdlogFileSink(benchmark::State& state) {
    ScratchDir dir;
    const std::string file = (dir.path() / "spdlog.log").string();
    auto open = [&file] {
        auto logger = spdlog::basic_logger_mt("bench", file, true);
        logger->set_pattern("[%Y-%m-%d %H:%M:%S] [INFO] %v");
        logger->set_level(spdlog::level::trace);
        return logger;
    };
    auto logger = open();
    long long i = 0;
    for (auto _ : state) {
        logger->info("sdo seg read...<{},{}>", i, 4096);
        // Keep the file small, as above: start a new one now and then.
        if (++i % 200000 == 0) {
            state.PauseTiming();
            logger.reset();
            spdlog::drop("bench");
            logger = open();
            state.ResumeTiming();
        }
    }
    logger->flush();
    logger.reset();
    spdlog::drop("bench");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogFileSink);

void BM_LogBelowLevel(benchmark::State& state) {
    QUserLog& log = QUserLog::GetInstance();
    orukiv::platform::SetDebugCapture(Discard, nullptr);
    log.SetLogLevel(LOG_WARN);
    log.EnableFileOutput(false);
    int i = 0;
    for (auto _ : state) log.Debug("sdo fast write send can ... %d", i++);
    log.SetLogLevel(LOG_TRACE);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogBelowLevel);

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
    // The debugger output must not reach standard error while measuring.
    unsetenv("ORUKIV_DEBUG_OUTPUT");
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
