// A logger call held inside the logger while the process exits, longer than
// the logger waits for calls to leave. The logger gives up waiting and must
// then leave its lock, its log path and its cache alone: the held call
// resumes after the logger's own exit handling (a static destroyed after it
// lets it go) and must still write the cached lines to the right file.
//
//   log_held_exit     exit code 0 when the held call finished and the lines
//                     are in the log file; sanitizers catch freed memory
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "log/log_internal.h"
#include "orukiv/QUserLog.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLines = 3;

std::mutex g_m;
std::condition_variable g_cv;
bool g_inside = false;
bool g_released = false;
thread_local bool t_holdHere = false;

// The logger's clock: on the held thread, the first reading waits until the
// process exit lets it go.
bool HeldClock(std::tm* out) {
    if (t_holdHere) {
        t_holdHere = false;
        std::unique_lock<std::mutex> g(g_m);
        g_inside = true;
        g_cv.notify_all();
        g_cv.wait(g, [] { return g_released; });
    }
    return orukiv::platform::LocalTimeNow(out);
}

// Constructed before the logger, so destroyed after it: lets the held call go
// once the logger has given up waiting, then checks what the call did.
struct Resumer {
    fs::path dir;
    std::thread held;
    bool flushed = false;

    ~Resumer() {
        {
            std::lock_guard<std::mutex> g(g_m);
            g_released = true;
            g_cv.notify_all();
        }
        if (held.joinable()) held.join();
        if (!flushed) Fail("the held call did not return");
        int found = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir, ec)) {
            std::ifstream in(e.path());
            std::string line;
            while (std::getline(in, line))
                if (line.find("cached before exit") != std::string::npos) ++found;
        }
        if (found != kLines) Fail("cached lines missing from the log file");
        std::printf("held call finished after the logger gave up; %d lines written\n", found);
    }
    [[noreturn]] static void Fail(const char* what) {
        std::fprintf(stderr, "FAIL: %s\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
};

}  // namespace

int main() {
    static Resumer resumer;
    // Long enough that the logger's copy of the path lives on the heap.
    resumer.dir = fs::current_path() / "log_held_exit_directory_with_a_long_name";
    std::error_code ec;
    fs::remove_all(resumer.dir, ec);

    QUserLog& log = QUserLog::GetInstance();
    log.SetLogLevel(LOG_TRACE);
    log.SetLogPath(resumer.dir.string().c_str());
    log.EnableFileOutput(true);
    for (int i = 0; i < kLines; ++i) log.Info("line %d cached before exit", i);

    orukiv::logtest::SetLocalTimeSource(HeldClock);
    resumer.held = std::thread([] {
        t_holdHere = true;
        QUserLog::GetInstance().FlushCache();
        resumer.flushed = true;
    });
    std::unique_lock<std::mutex> g(g_m);
    if (!g_cv.wait_for(g, std::chrono::seconds(60), [] { return g_inside; })) {
        Resumer::Fail("the flush never reached the clock");
    }
    return 0;  // the logger is finished with the flush still inside
}
