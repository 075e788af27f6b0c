// QUserLog: the process-wide logger. Lines go to the debugger output at
// once and, with file output on, to a cache appended to the day's log file
// in batches.
//
// The path of an accepted line allocates nothing once the cache has grown
// to its working size: the line is formatted in place on the stack, the
// time text is made once per second, and the cache is one text buffer of
// newline-terminated lines written with a single call at each flush. A line
// below the threshold costs one atomic load.
#include "orukiv/QUserLog.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "log/log_format.h"
#include "log/log_internal.h"
#include "platform/platform.h"

namespace {

std::atomic<orukiv::logtest::LocalTimeFn> g_timeSource{nullptr};

// The threshold as the level methods test it before anything else; written
// with m_level, under the lock. Plain static storage: still readable while
// the logger is being destroyed at exit.
std::atomic<int> g_level{LOG_TRACE};

constexpr std::size_t kLineSize = 4096;  // a line, its NUL included
constexpr std::size_t kTimeSize = 64;

// The cached lines, each followed by '\n', in text[head..]; the lines
// before head were dropped and are compacted away now and then. The
// instance owns it; everything here is guarded by the logger's lock.
struct LineCache {
    std::string text;
    std::size_t head = 0;
    std::size_t lines = 0;
    std::string fileName;  // reused at every flush
};
LineCache* g_cache = nullptr;

// The time text of the last second seen on the system clock.
struct TimeCache {
    std::time_t second = static_cast<std::time_t>(-1);
    std::size_t length = 0;
    char text[kTimeSize] = {0};
};
TimeCache g_timeText;

// Writes the current local time as "YYYY-MM-DD HH:MM:SS" into out (empty
// when the time cannot be had) and returns its length. The caller holds the
// logger's lock. A substituted time source is asked every time.
std::size_t CurrentTimeText(char* out) {
    std::tm tm{};
    if (orukiv::logtest::LocalTimeFn source = g_timeSource.load()) {
        const std::size_t n =
            source(&tm) ? std::strftime(out, kTimeSize, "%Y-%m-%d %H:%M:%S", &tm) : 0;
        out[n] = '\0';
        return n;
    }
    const std::time_t now = std::time(nullptr);
    if (now != g_timeText.second || now == static_cast<std::time_t>(-1)) {
        const bool ok = orukiv::platform::LocalTimeAt(now, &tm);
        g_timeText.length =
            ok ? std::strftime(g_timeText.text, kTimeSize, "%Y-%m-%d %H:%M:%S", &tm) : 0;
        g_timeText.text[g_timeText.length] = '\0';
        g_timeText.second = ok ? now : static_cast<std::time_t>(-1);
    }
    std::memcpy(out, g_timeText.text, g_timeText.length + 1);
    return g_timeText.length;
}

// Appends src (n bytes) to dst at *pos, never beyond the line buffer.
void Put(char* dst, std::size_t* pos, const char* src, std::size_t n) {
    const std::size_t room = kLineSize - 1 - *pos;
    if (n > room) n = room;
    std::memcpy(dst + *pos, src, n);
    *pos += n;
}

// Formats "[time] [LEVEL] message" into line (kLineSize bytes), cut to fit,
// and returns its length; the text stops at a NUL the message produced.
std::size_t FormatLine(char* line, const char* level, const char* format, va_list args) {
    char time[kTimeSize];
    const std::size_t timeLength = CurrentTimeText(time);
    std::size_t n = 0;
    Put(line, &n, "[", 1);
    Put(line, &n, time, timeLength);
    Put(line, &n, "] [", 3);
    Put(line, &n, level, std::strlen(level));
    Put(line, &n, "] ", 2);
    return n + orukiv::logdetail::FormatMessage(line + n, kLineSize - n,
                                                format != nullptr ? format : "", args);
}

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
    // m_cache is not used: the lines are kept in g_cache.
    g_cache = new LineCache();
    g_cache->text.reserve(MAX_CACHE_SIZE * 128);
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
        delete g_cache;
        g_cache = nullptr;
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
    delete g_cache;
    g_cache = nullptr;
}

void QUserLog::SetLogLevel(LogLevel level) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    m_level = level;
    g_level.store(level, std::memory_order_relaxed);
}

void QUserLog::EnableFileOutput(bool enable) {
    orukiv::logdetail::CallGuard call;
    if (!call.ok()) return;
    orukiv::logdetail::ScopedLock g(m_lock);
    m_fileOutput = enable;
}

#define ORUKIV_LEVEL_METHOD(Name, Level)                               \
    void QUserLog::Name(const char* format, ...) {                     \
        if (g_level.load(std::memory_order_relaxed) > (Level)) return; \
        orukiv::logdetail::CallGuard call;                             \
        if (!call.ok()) return;                                        \
        orukiv::logdetail::ScopedLock g(m_lock);                       \
        if (m_level > (Level)) return;                                 \
        va_list args;                                                  \
        va_start(args, format);                                        \
        WriteLog((Level), format, args);                               \
        va_end(args);                                                  \
    }

ORUKIV_LEVEL_METHOD(Trace, LOG_TRACE)
ORUKIV_LEVEL_METHOD(Debug, LOG_DEBUG)
ORUKIV_LEVEL_METHOD(Info, LOG_INFO)
ORUKIV_LEVEL_METHOD(Warn, LOG_WARN)
ORUKIV_LEVEL_METHOD(Error, LOG_ERROR)
ORUKIV_LEVEL_METHOD(Fatal, LOG_FATAL)

#undef ORUKIV_LEVEL_METHOD

void QUserLog::WriteLog(LogLevel level, const char* format, va_list args) {
    char line[kLineSize];
    const std::size_t length = FormatLine(line, LevelToString(level), format, args);
    orukiv::platform::DebugOutput(line);
    orukiv::platform::DebugOutput("\n");
    LineCache* cache = g_cache;
    if (!m_fileOutput || cache == nullptr) return;
    // While the file cannot be opened the cache would grow without end:
    // keep the newest lines and count the ones dropped.
    if (cache->lines >= orukiv::logtest::kMaxCachedLines) {
        cache->head = cache->text.find('\n', cache->head) + 1;
        --cache->lines;
        ++m_dropped;
        if (cache->head > cache->text.size() / 2) {
            cache->text.erase(0, cache->head);
            cache->head = 0;
        }
    }
    cache->text.append(line, length);
    cache->text.push_back('\n');
    if (++cache->lines >= static_cast<std::size_t>(MAX_CACHE_SIZE)) FlushCache();
}

std::string QUserLog::FormatLogEntry(LogLevel level, const char* message) {
    char line[kLineSize];
    std::size_t n = 0;
    const std::string time = GetTickCount();
    Put(line, &n, "[", 1);
    Put(line, &n, time.data(), time.size());
    Put(line, &n, "] [", 3);
    Put(line, &n, LevelToString(level), std::strlen(LevelToString(level)));
    Put(line, &n, "] ", 2);
    Put(line, &n, message, std::strlen(message));
    return std::string(line, n);
}

std::string QUserLog::GetTickCount() {
    char text[kTimeSize];
    const std::size_t n = CurrentTimeText(text);
    return std::string(text, n);
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
    LineCache* cache = g_cache;
    if (cache == nullptr || cache->lines == 0) return;  // no file is created
    char date[kTimeSize];
    const std::size_t dateLength = CurrentTimeText(date);
    cache->fileName.assign(m_logPath);
    cache->fileName.append("OruLog_");
    cache->fileName.append(date, dateLength < 10 ? dateLength : 10);
    cache->fileName.append(".log");
    orukiv::platform::AppendFile* file = orukiv::platform::AppendFileOpen(cache->fileName.c_str());
    if (file == nullptr) return;  // every line stays cached
    if (m_dropped != 0) {
        char note[128];
        std::snprintf(note, sizeof note, "log cache full, %lu lines dropped...", m_dropped);
        std::string line = FormatLogEntry(LOG_WARN, note);
        line.push_back('\n');
        (void)orukiv::platform::AppendFileWrite(file, line.data(), line.size());
        m_dropped = 0;
    }
    (void)orukiv::platform::AppendFileWrite(file, cache->text.data() + cache->head,
                                            cache->text.size() - cache->head);
    cache->text.clear();
    cache->head = 0;
    cache->lines = 0;
    orukiv::platform::AppendFileClose(file);
}
