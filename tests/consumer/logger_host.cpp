// A C++ host on Windows using the logger classes from orukiv.dll, built
// once with MinGW and once in the Visual C++ ABI (no C or C++ runtime
// there): every public member of QMutex and QUserLog is called through the
// import library. Run with the SDK's sample QUserLog.ini beside it (level
// INFO, file output on, log folder "logs" under the current directory).
// Exits 0 when all went as it should, else the number of the failed step.
#include "host_win32.h"
#include "orukiv/QUserLog.h"

namespace {

// A placement form of its own: no <new> in a host without a C++ library.
struct Here {};

bool Contains(const char* text, const char* part) {
    for (; *text != '\0'; ++text) {
        const char* t = text;
        const char* p = part;
        while (*p != '\0' && *t == *p) ++t, ++p;
        if (*p == '\0') return true;
    }
    return false;
}

// The line of the log file that holds part: its start, or null.
const char* FindLine(const char* text, const char* part) {
    const char* line = text;
    while (*line != '\0') {
        const char* end = line;
        while (*end != '\0' && *end != '\n') ++end;
        char buffer[512];
        unsigned long n = 0;
        for (const char* c = line; c != end && n + 1 < sizeof buffer; ++c) buffer[n++] = *c;
        buffer[n] = '\0';
        if (Contains(buffer, part)) return line;
        line = *end == '\0' ? end : end + 1;
    }
    return nullptr;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "[YYYY-MM-DD HH:MM:SS] [LEVEL] text": the time stamp's shape and the level.
bool LineHasShape(const char* line, const char* level) {
    const char* shape = "[dddd-dd-dd dd:dd:dd] [";
    for (int i = 0; shape[i] != '\0'; ++i) {
        if (shape[i] == 'd' ? !IsDigit(line[i]) : line[i] != shape[i]) return false;
    }
    line += 23;
    while (*level != '\0')
        if (*line++ != *level++) return false;
    return line[0] == ']' && line[1] == ' ';
}

void AppendNumber(char*& out, unsigned value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out += digits;
}

// Reads logs\OruLog_<today>.log into text; false when it cannot be read.
bool ReadTodaysLog(char* text, unsigned long capacity) {
    HostSystemTime now;
    GetLocalTime(&now);
    char name[64];
    char* out = name;
    for (const char* prefix = "logs\\OruLog_"; *prefix != '\0'; ++prefix) *out++ = *prefix;
    AppendNumber(out, now.year, 4);
    *out++ = '-';
    AppendNumber(out, now.month, 2);
    *out++ = '-';
    AppendNumber(out, now.day, 2);
    const char* ext = ".log";
    while (*ext != '\0') *out++ = *ext++;
    *out = '\0';

    void* file = CreateFileA(name, 0x80000000ul /* GENERIC_READ */, 3ul /* share all */, nullptr,
                             3ul /* OPEN_EXISTING */, 0, nullptr);
    if (file == reinterpret_cast<void*>(-1)) return false;
    unsigned long total = 0, got = 0;
    while (total + 1 < capacity &&
           ReadFile(file, text + total, capacity - 1 - total, &got, nullptr) && got > 0)
        total += got;
    text[total] = '\0';
    CloseHandle(file);
    return true;
}

#if defined(ORUKIV_MSVC_ABI_HOST)
// The constructor as the import library names it. In the Visual C++ ABI a
// constructor returns the object's address, and callers may use it.
extern "C" void* (*const ImportedConstructor)(void*)__asm__("__imp_??0QMutex@@QEAA@XZ");
#endif

alignas(QMutex) unsigned char g_mutexSpace[sizeof(QMutex)];
QMutex* g_mutex;
volatile long g_otherThreadHeld;

unsigned long __stdcall TakeTheLock(void*) {
    g_mutex->Lock();
    g_otherThreadHeld = 1;
    g_mutex->Unlock();
    return 0;
}

int Fail(int step, const char* what) {
    host_say("logger host: ");
    host_say(what);
    host_say("\n");
    return step;
}

char g_log[16384];

}  // namespace

inline void* operator new(decltype(sizeof 0), void* where, Here) noexcept {
    return where;
}

extern "C" int run(void) {
    // ---- QMutex: construction in place, re-entrant locking, exclusion.
    g_mutex = new (g_mutexSpace, Here{}) QMutex();
    if (static_cast<void*>(g_mutex) != g_mutexSpace) return Fail(1, "QMutex built elsewhere");
    g_mutex->Lock();
    g_mutex->Lock();  // re-entrant: the holder may lock again
    void* thread = CreateThread(nullptr, 0, TakeTheLock, nullptr, 0, nullptr);
    if (thread == nullptr) return Fail(2, "CreateThread failed");
    if (WaitForSingleObject(thread, 200) != HOST_WAIT_TIMEOUT || g_otherThreadHeld != 0)
        return Fail(3, "another thread took the QMutex while this one held it");
    g_mutex->Unlock();
    if (WaitForSingleObject(thread, 200) != HOST_WAIT_TIMEOUT || g_otherThreadHeld != 0)
        return Fail(4, "one Unlock released a lock taken twice");
    g_mutex->Unlock();
    if (WaitForSingleObject(thread, 20000) != HOST_WAIT_OBJECT_0 || g_otherThreadHeld != 1)
        return Fail(5, "the other thread never got the released QMutex");
    CloseHandle(thread);
    {
        QMutex other;
        if (&(*g_mutex = other) != g_mutex)
            return Fail(6, "QMutex::operator= returned another object");
        other.Lock();
        g_mutex->Lock();  // each object kept its own lock
        g_mutex->Unlock();
        other.Unlock();
    }
    g_mutex->~QMutex();
#if defined(ORUKIV_MSVC_ABI_HOST)
    if (ImportedConstructor(g_mutexSpace) != g_mutexSpace)
        return Fail(7, "the QMutex constructor did not return the object's address");
    g_mutex->~QMutex();
#endif

    // ---- QUserLog: the one instance, configured from QUserLog.ini.
    QUserLog& log = QUserLog::GetInstance();
    if (&log != &QUserLog::GetInstance()) return Fail(8, "GetInstance returned two objects");
    log.LoadConfig("QUserLog.ini");
    log.SetLogPath("logs");
    log.Debug("host line below the level");
    log.Info("host info %s %d %d %d %d %.2f", "args", 1, 2, 3, 4, 2.5);
    log.SetLogLevel(LOG_WARN);
    log.Info("host info above the level");
    log.Warn("host warn %u", 7u);
    log.EnableFileOutput(false);
    log.Error("host error while file output is off");
    log.EnableFileOutput(true);
    log.Error("host error %c", 'e');
    log.Fatal("host fatal");
    log.SetLogLevel(LOG_TRACE);
    log.Trace("host trace %ld", -5l);
    log.FlushCache();

    if (!ReadTodaysLog(g_log, sizeof g_log)) return Fail(9, "no log file logs\\OruLog_<today>.log");
    struct Expected {
        const char* text;
        const char* level;
    };
    static const Expected lines[] = {{"host info args 1 2 3 4 2.50", "INFO"},
                                     {"host warn 7", "WARN"},
                                     {"host error e", "ERROR"},
                                     {"host fatal", "FATAL"},
                                     {"host trace -5", "TRACE"}};
    const char* previous = g_log;
    for (const Expected& e : lines) {
        const char* line = FindLine(g_log, e.text);
        if (line == nullptr) return Fail(10, e.text);
        if (!LineHasShape(line, e.level)) return Fail(11, "a line without time stamp or level");
        if (line < previous) return Fail(12, "lines out of order");
        previous = line;
    }
    static const char* const absent[] = {"below the level", "above the level",
                                         "file output is off"};
    for (const char* text : absent)
        if (FindLine(g_log, text) != nullptr) return Fail(13, text);

    host_say("logger host: QMutex and QUserLog work through the import library\n");
    return 0;
}

HOST_MAIN(run)
