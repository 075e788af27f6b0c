/*
 * orukiv: the process-wide diagnostic logger and its re-entrant lock.
 *
 * Every accepted message becomes one line "[YYYY-MM-DD HH:MM:SS] [LEVEL] text"
 * that goes at once to the debugger output and, with file output on, into a
 * cache that is appended to "OruLog_<date>.log" in the log directory every
 * 100 lines, on FlushCache and when the logger is destroyed. The library and
 * its host share the one instance returned by QUserLog::GetInstance().
 *
 * Hosts built with MinGW-w64 or GCC on Linux link the members under their
 * GCC names. Hosts built in the Visual C++ ABI (Visual C++, clang-cl) link
 * them under their Microsoft names, which orukiv.dll exports as well; for
 * such hosts the header needs only C headers and keeps the classes' private
 * state out of view (a host never touches it: it reaches the logger through
 * GetInstance and embeds a QMutex only as an opaque block).
 */
#ifndef ORUKIV_QUSERLOG_H
#define ORUKIV_QUSERLOG_H

#if defined(_MSC_VER) && !defined(__MINGW32__)
#define ORUKIV_MSVC_ABI_HOST 1
#if defined(ORUKIV_BUILDING)
#error "orukiv itself is built with GCC's C++ ABI (MinGW-w64 on Windows)"
#endif
#include <stdarg.h>
#else
#include <cstdarg>
#include <queue>
#include <string>
#endif

#include "orukiv_export.h"

#if defined(__MINGW32__)
#define ORUKIV_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#elif defined(__GNUC__)
#define ORUKIV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define ORUKIV_PRINTF(fmt, args)
#endif

/* Message levels; a message is accepted when the logger's level is at most
 * the message's level (signed comparison). The underlying type is fixed so
 * that every 32-bit value is a valid level: any value may be stored, above 5
 * silencing everything and below 0 accepting everything. */
enum LogLevel : int {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_FATAL = 5
};

/* A re-entrant lock: the holding thread may lock it again and must unlock it
 * as often as it locked it. Copy assignment leaves each object with its own
 * lock. */
class ORUKIV_API QMutex {
public:
    QMutex();
    ~QMutex();
    QMutex(const QMutex&) = delete;
    /* Assignment keeps this object's own lock; nothing is copied. */
    QMutex& operator=(const QMutex& other);

    /* Blocks until the calling thread holds the lock. */
    void Lock();
    /* Releases one level of the calling thread's hold. */
    void Unlock();

private:
    /* Large enough for a CRITICAL_SECTION (40 bytes on 64-bit Windows) or a
     * pthread mutex (40 bytes on 64-bit Linux). The same in every ABI: a
     * host embeds the object, the library builds the lock in it. */
    alignas(8) unsigned char m_storage[64];
};

/* A host's QMutex must hold the library's lock: a 64-bit CRITICAL_SECTION
 * is 40 bytes, aligned to 8. */
static_assert(sizeof(QMutex) >= 40 && alignof(QMutex) >= 8, "QMutex holds a CRITICAL_SECTION");

class ORUKIV_API QUserLog {
public:
    /* The one instance, created (and configured from "QUserLog.ini" beside
     * the executable) at the first call. */
    static QUserLog& GetInstance();

    /* Stores the threshold level; any value (above 5 silences everything,
     * below 0 accepts everything). */
    void SetLogLevel(LogLevel level);
    /* Switches caching for the log file on or off; cached lines stay. */
    void EnableFileOutput(bool enable);
    /* Sets the log directory (a trailing backslash is added when missing)
     * and creates it with its missing parents. An empty path changes
     * nothing. */
    void SetLogPath(const char* path);
    /* Reads "LogLevel", "LogPath" and "FileOutput" from section "LogConfig"
     * of the given file; without such a file, switches file output off. */
    void LoadConfig(const char* configPath);

    /* printf-style messages at levels TRACE..FATAL. */
    void Trace(const char* format, ...) ORUKIV_PRINTF(2, 3);
    void Debug(const char* format, ...) ORUKIV_PRINTF(2, 3);
    void Info(const char* format, ...) ORUKIV_PRINTF(2, 3);
    void Warn(const char* format, ...) ORUKIV_PRINTF(2, 3);
    void Error(const char* format, ...) ORUKIV_PRINTF(2, 3);
    void Fatal(const char* format, ...) ORUKIV_PRINTF(2, 3);

    /* Appends every cached line to the day's log file and empties the cache.
     * Lines stay cached when the file cannot be opened. */
    void FlushCache();

private:
    QUserLog();
    ~QUserLog();
    QUserLog(const QUserLog&) = delete;
    QUserLog& operator=(const QUserLog&) = delete;

#if !defined(ORUKIV_MSVC_ABI_HOST)
    void WriteLog(LogLevel level, const char* format, va_list args);
    /* Appends the cache to the day's file; the caller holds the lock. */
    void WriteCachedLines();
    std::string FormatLogEntry(LogLevel level, const char* message);
    std::string GetTickCount();
    const char* LevelToString(LogLevel level);
    bool EnsureLogDirectory(const char* path);
    bool PathExists(const char* path);
    bool ReadConfigValue(const char* file, const char* section, const char* key,
                         std::string& result, const char* defaultValue);
    bool ReadConfigValue(const char* file, const char* section, const char* key, int& result,
                         int defaultValue);

    static const int MAX_CACHE_SIZE = 100;

    LogLevel m_level;
    std::string m_logPath;
    bool m_fileOutput;
    QMutex m_lock;
    std::queue<std::string>* m_cache;
    /* Lines dropped because the cache reached its bound while the log file
     * could not be opened; reported at the next successful flush. */
    unsigned long m_dropped;
#else
    /* No state in the Visual C++ view: hosts only ever hold the reference
     * GetInstance returns, so the class's size is no part of the interface. */
#endif
};

#endif /* ORUKIV_QUSERLOG_H */
