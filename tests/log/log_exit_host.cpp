// A host program that returns from main while its instances are still
// running (no KIV_Destroy), as quick host programs do. Their workers keep
// logging while the process ends, after the logger has been destroyed; that
// must neither touch freed memory nor lose what was logged before.
//
//   log_exit_host --repeat N   runs itself N times as a child and checks
//                              each run's exit code and log file
//   log_exit_host --child DIR K
//                              the host: logs into DIR, returns from main
//
// Linked against the shared library, through its public headers only.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orukiv/QUserLog.h"
#include "orukiv/orukiv.h"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {

const char* const kLastHostLine = "host returns without destroying its instances";

// ---- The child: a host that never destroys its instances ----------------------

int32_t RecvNothing(KIV_CanFrame*, uint32_t, void*) {
    return 0;
}
int32_t RecvTooMany(KIV_CanFrame* frames, uint32_t maxCount, void*) {
    std::memset(frames, 0, sizeof(KIV_CanFrame) * maxCount);
    return 1000;
}
int32_t RecvNegative(KIV_CanFrame*, uint32_t, void*) {
    return -5;
}
int32_t SendFails(const KIV_CanFrame*, void*) {
    return 77;
}

// Kept in static storage so that the instances stay reachable for leak
// checkers: the process ends with them still running.
KIV_Handle g_instances[3];

int Child(const char* dir, int variant) {
    QUserLog& log = QUserLog::GetInstance();
    log.SetLogLevel(LOG_TRACE);
    log.SetLogPath(dir);
    log.EnableFileOutput(true);

    const KIV_CanRecvFn recv[3] = {RecvNothing, RecvTooMany, RecvNegative};
    for (int i = 0; i < 3; ++i) {
        KIV_InitParam param{};
        param.canRecv = recv[i];
        param.canSend = SendFails;
        g_instances[i] = KIV_Init(&param);
        if (g_instances[i] == nullptr) return 3;
    }
    // Every request makes a worker try a send that fails, and log an error.
    for (KIV_Handle h : g_instances) {
        std::thread([h] {
            for (;;) {
                (void)KIV_SendSYNC(h);
                (void)KIV_NMT_SendHeartbeat(h, 5, 5);
            }
        }).detach();
    }
    for (int i = 0; i < 15; ++i) {
        log.Info("host line %d", i);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Vary the moment of the exit against the workers' passes.
    std::this_thread::sleep_for(std::chrono::milliseconds(variant % 11));
    log.Warn("%s", kLastHostLine);
    return 0;
}

// ---- The parent: runs the host repeatedly and checks what it left -----------------

std::string SelfPath() {
#if defined(_WIN32)
    char buf[4096] = {0};
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
#else
    return fs::read_symlink("/proc/self/exe").string();
#endif
}

int Spawn(const std::string& self, const std::string& dir, int variant) {
    const std::string k = std::to_string(variant);
#if defined(_WIN32)
    // _spawnv joins the arguments with blanks: quote the paths.
    const std::string qself = "\"" + self + "\"";
    const std::string qdir = "\"" + dir + "\"";
    const char* argv[] = {qself.c_str(), "--child", qdir.c_str(), k.c_str(), nullptr};
    const intptr_t rc = _spawnv(_P_WAIT, self.c_str(), argv);
    if (rc == -1) std::fprintf(stderr, "spawn failed: errno %d\n", errno);
    return static_cast<int>(rc);
#else
    std::vector<std::string> args = {self, "--child", dir, k};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
#endif
}

bool WellFormed(const std::string& line) {
    // "[YYYY-MM-DD HH:MM:SS] [LEVEL] text"
    static const char* const names[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    if (line.size() < 29 || line[0] != '[' || line[20] != ']' || line.compare(21, 2, " [") != 0) {
        return false;
    }
    for (int i = 1; i < 20; ++i) {
        const char c = line[i];
        const bool ok = (i == 5 || i == 8)     ? c == '-'
                        : i == 11              ? c == ' '
                        : (i == 14 || i == 17) ? c == ':'
                                               : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    for (const char* name : names) {
        const std::string tag = std::string(name) + "] ";
        if (line.compare(23, tag.size(), tag) == 0) return true;
    }
    return false;
}

#if defined(_WIN32)
// Windows ends every other thread before the library's statics are
// destroyed. When one of them was inside a logger call at that moment, the
// logger may be locked for good: it then writes nothing more rather than
// hang or crash, and the lines still cached are lost. So on Windows a run may
// lack its last lines (or its log file); most runs must still have them.
constexpr bool kExitFlushIsCertain = false;
#else
// On POSIX the other threads keep running during exit: the logger waits for
// calls already inside and always writes what it cached.
constexpr bool kExitFlushIsCertain = true;
#endif

struct RunResult {
    std::string fault;  // "" when the run is good
    bool lastLineWritten = false;
};

// Checks one run's log files.
RunResult CheckRun(const fs::path& dir) {
#if defined(_WIN32)
    const std::string end = "\r\n";
#else
    const std::string end = "\n";
#endif
    RunResult r;
    std::size_t lines = 0;
    bool workerError = false;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("OruLog_", 0) != 0) {
            r.fault = "unexpected file " + name;
            return r;
        }
        std::ifstream in(e.path(), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            const std::size_t lf = bytes.find('\n', pos);
            if (lf == std::string::npos) {
                r.fault = "unterminated last line in " + name;
                return r;
            }
            std::string line = bytes.substr(pos, lf + 1 - pos);
            pos = lf + 1;
            if (line.size() < end.size() ||
                line.compare(line.size() - end.size(), end.size(), end) != 0) {
                r.fault = "bad line ending: " + line;
                return r;
            }
            line.resize(line.size() - end.size());
            if (!WellFormed(line)) {
                r.fault = "malformed line: " + line;
                return r;
            }
            ++lines;
            if (line.find(kLastHostLine) != std::string::npos) r.lastLineWritten = true;
            if (line.find("send fail") != std::string::npos) workerError = true;
        }
    }
    if (!kExitFlushIsCertain) return r;
    if (lines == 0) {
        r.fault = "no log file";
    } else if (!r.lastLineWritten) {
        r.fault = "the host's last line was not written at exit";
    } else if (!workerError) {
        r.fault = "no worker error was logged";
    }
    return r;
}

int Parent(int repeat) {
    const std::string self = SelfPath();
#if !defined(_WIN32)
    // The thread sanitizer pauses a second at every exit so that threads
    // still running can race with it; a tenth does here, twenty times over.
    const char* tsan = std::getenv("TSAN_OPTIONS");
    const std::string options = std::string(tsan != nullptr ? tsan : "") + " atexit_sleep_ms=100";
    setenv("TSAN_OPTIONS", options.c_str(), 1);
#endif
    std::random_device rd;
    const fs::path root =
        fs::temp_directory_path() /
        ("orukiv_exit_" + std::to_string(rd()) + "_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(root);
    int failed = 0;
    int flushed = 0;
    for (int i = 0; i < repeat; ++i) {
        const fs::path dir = root / std::to_string(i);
        fs::create_directories(dir);
        int rc = Spawn(self, dir.string(), i);
#if defined(_WIN32)
        // Under the emulator, about one child start in several hundred (with
        // other tests starting processes alongside) ends with -1, a code
        // that no fault of the host gives (a crash gives an exception code,
        // a failed check 1 to 3). Such a run is made again once; a second
        // -1 counts.
        if (rc == -1) {
            std::fprintf(stderr, "run %d: exit code -1, run again\n", i);
            std::error_code ignored;
            fs::remove_all(dir, ignored);
            fs::create_directories(dir);
            rc = Spawn(self, dir.string(), i);
        }
#endif
        RunResult r;
        if (rc == 0) {
            r = CheckRun(dir);
        } else {
            r.fault = "exit code " + std::to_string(rc);
        }
        if (r.lastLineWritten) ++flushed;
        if (!r.fault.empty()) {
            ++failed;
            std::fprintf(stderr, "run %d: %s\n", i, r.fault.c_str());
        }
    }
    std::error_code ec;
    fs::remove_all(root, ec);
    std::printf("%d runs wrote the host's last line at exit\n", flushed);
    if (!kExitFlushIsCertain && flushed * 2 < repeat) {
        std::fprintf(stderr, "fewer than half of the runs wrote their cached lines at exit\n");
        ++failed;
    }
    std::printf("%d passed, %d failed\n", repeat - failed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0)
        return Child(argv[2], std::atoi(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "--repeat") == 0)
        return Parent(std::max(1, std::atoi(argv[2])));
    std::fprintf(stderr, "usage: %s --repeat N | --child DIR K\n", argv[0]);
    return 2;
}
