// QUserLog: the process-wide logger. Lines go to the debugger output at
// once and, with file output on, to a cache appended to the day's log file
// in batches.
#include "orukiv/QUserLog.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "log/log_internal.h"
#include "platform/platform.h"

namespace {

std::atomic<orukiv::logtest::LocalTimeFn> g_timeSource{nullptr};

// Set when the instance is being destroyed at exit. Worker threads of
// instances that were never destroyed may still log then; they must find a
// logger that does nothing rather than freed memory.
std::atomic<bool> g_finished{false};
// Public calls currently inside the logger (see CallGuard).
std::atomic<int> g_calls{0};

// How long the destructor waits for calls already inside. Threads that are
// alive leave within microseconds (a flush within milliseconds). A thread
// that the system ended inside a call never leaves: Windows ends every other
// thread before a DLL's statics are destroyed, so waiting long there only
// delays the exit.
#if defined(_WIN32)
constexpr uint32_t kDrainLimitMs = 100;
#else
constexpr uint32_t kDrainLimitMs = 1000;
#endif

bool WaitForCallsToLeave() {
    const uint32_t start = orukiv::platform::TickMs();
    while (g_calls.load() != 0) {
        if (orukiv::platform::TickMs() - start >= kDrainLimitMs) return false;
        orukiv::platform::SleepMs(1);
    }
    return true;
}

}  // namespace

namespace orukiv::logtest {
void SetLocalTimeSource(LocalTimeFn fn) {
    g_timeSource.store(fn);
}
bool LoggerFinished() {
    return g_finished.load();
}
}  // namespace orukiv::logtest

namespace orukiv::logdetail {
// Both orders are sequentially consistent: either the destructor sees this
// call counted in and waits for it, or the call sees the logger finished.
CallGuard::CallGuard() {
    g_calls.fetch_add(1);
    ok_ = !g_finished.load();
}
CallGuard::~CallGuard() {
    g_calls.fetch_sub(1);
}
}  // namespace orukiv::logdetail

QUserLog& QUserLog::GetInstance() {
    // The logger lives on the heap, owned by a static that finishes it at
    // exit. When a call never leaves (see WaitForCallsToLeave), the owner
    // leaves the whole object alone, lock, path and cache included: a
    // destructor cannot skip its members' destructors, so the only way not
    // to destroy them under that call is not to destroy the object at all.
    // It is leaked on purpose; the process is ending.
    struct Owner {
        QUserLog* log = new QUserLog();
        ~Owner() {
            g_finished.store(true);
            if (WaitForCallsToLeave()) delete log;
        }
    };
    static Owner owner;
    return *owner.log;
}

QUserLog::QUserLog()
    : m_level(LOG_TRACE),
      m_logPath(),
      m_fileOutput(false),
      m_lock(),
      m_cache(nullptr),
      m_dropped(0) {
    m_cache = new std::queue<std::string>();
    try {
        char exe[1024] = {0};
        const char sep = orukiv::platform::PathSeparator();
        if (orukiv::platform::ExecutablePath(exe, sizeof exe) == 0) {
            m_logPath = "./";
        } else {
            const char* last = std::strrchr(exe, sep);
            m_logPath = last == nullptr ? std::string("./")
                                        : std::string(static_cast<const char*>(exe), last + 1);
        }
        LoadConfig((m_logPath + "QUserLog.ini").c_str());
    } catch (...) {
        // The next GetInstance tries again with a new object.
        delete m_cache;
        throw;
    }
}

// Runs only once every call has left the finished logger (GetInstance's
// owner makes sure); when one never left, the logger is never destroyed and
// the lines still cached are lost.
QUserLog::~QUserLog() {
    m_lock.Lock();
    WriteCachedLines();  // whatever the file-output flag says
    m_lock.Unlock();
    delete m_cache;
    m_cache = nullptr;
}

void QUserLog::SetLogLevel(LogLevel level) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    m_level = level;
}

void QUserLog::EnableFileOutput(bool enable) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    m_fileOutput = enable;
}

#define ORUKIV_LEVEL_METHOD(Name, Level)           \
    void QUserLog::Name(const char* format, ...) { \
        orukiv::logdetail::CallGuard call;         \
        if (!call.ok()) return;                    \
        orukiv::logdetail::ScopedLock g(m_lock);   \
        if (m_level > (Level)) return;             \
        va_list args;                              \
        va_start(args, format);                    \
        WriteLog((Level), format, args);           \
        va_end(args);                              \
    }

ORUKIV_LEVEL_METHOD(Trace, LOG_TRACE)
ORUKIV_LEVEL_METHOD(Debug, LOG_DEBUG)
ORUKIV_LEVEL_METHOD(Info, LOG_INFO)
ORUKIV_LEVEL_METHOD(Warn, LOG_WARN)
ORUKIV_LEVEL_METHOD(Error, LOG_ERROR)
ORUKIV_LEVEL_METHOD(Fatal, LOG_FATAL)

#undef ORUKIV_LEVEL_METHOD

void QUserLog::WriteLog(LogLevel level, const char* format, va_list args) {
    char message[4096] = {0};
    std::vsnprintf(message, sizeof message, format != nullptr ? format : "", args);
    std::string line = FormatLogEntry(level, message);
    orukiv::platform::DebugOutput(line.c_str());
    orukiv::platform::DebugOutput("\n");
    if (!m_fileOutput || m_cache == nullptr) return;
    // While the file cannot be opened the cache would grow without end:
    // keep the newest lines and count the ones dropped.
    if (m_cache->size() >= orukiv::logtest::kMaxCachedLines) {
        m_cache->pop();
        ++m_dropped;
    }
    m_cache->push(std::move(line));
    if (m_cache->size() >= static_cast<std::size_t>(MAX_CACHE_SIZE)) FlushCache();
}

std::string QUserLog::FormatLogEntry(LogLevel level, const char* message) {
    char line[4096] = {0};
    // Cut to fit: a message near the 4095-character limit plus its prefix
    // does not fit the line buffer.
    std::snprintf(line, sizeof line, "[%s] [%s] %s", GetTickCount().c_str(), LevelToString(level),
                  message);
    return line;
}

std::string QUserLog::GetTickCount() {
    std::tm tm{};
    orukiv::logtest::LocalTimeFn source = g_timeSource.load();
    const bool ok = source != nullptr ? source(&tm) : orukiv::platform::LocalTimeNow(&tm);
    char text[64] = {0};
    if (ok) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

const char* QUserLog::LevelToString(LogLevel level) {
    switch (level) {
        case LOG_TRACE:
            return "TRACE";
        case LOG_DEBUG:
            return "DEBUG";
        case LOG_INFO:
            return "INFO";
        case LOG_WARN:
            return "WARN";
        case LOG_ERROR:
            return "ERROR";
        case LOG_FATAL:
            return "FATAL";
        default:
            return "UNKNOWN";
    }
}

void QUserLog::FlushCache() {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    WriteCachedLines();
}

void QUserLog::WriteCachedLines() {
    if (m_cache == nullptr || m_cache->empty()) return;  // no file is created
    // The date first: the clock is a call out, the path is only read after.
    const std::string day = GetTickCount().substr(0, 10);
    const std::string name = m_logPath + "OruLog_" + day + ".log";
    std::FILE* file = std::fopen(name.c_str(), "a");
    if (file == nullptr) return;  // every line stays cached
    if (m_dropped != 0) {
        char note[128];
        std::snprintf(note, sizeof note, "log cache full, %lu lines dropped...", m_dropped);
        std::fprintf(file, "%s\n", FormatLogEntry(LOG_WARN, note).c_str());
        m_dropped = 0;
    }
    while (!m_cache->empty()) {
        std::fprintf(file, "%s\n", m_cache->front().c_str());
        m_cache->pop();
    }
    std::fclose(file);
}
