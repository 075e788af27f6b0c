// Test seams of the logger (its clock and its cache bound) and the guard
// that every public logger operation runs under.
#pragma once

#include <cstddef>
#include <ctime>

#include "orukiv/QUserLog.h"

namespace orukiv::logtest {

// Replaces the local-time source of log lines and file names (null restores
// the system clock). Returns false from the source to simulate a failure.
using LocalTimeFn = bool (*)(std::tm* out);
void SetLocalTimeSource(LocalTimeFn fn);

// True once the logger has been destroyed at exit; it then does nothing.
bool LoggerFinished();

// Most lines kept while the log file cannot be opened.
constexpr std::size_t kMaxCachedLines = 10000;

}  // namespace orukiv::logtest

namespace orukiv::logdetail {

// Holds the logger's lock for a scope, on every way out.
class ScopedLock {
public:
    explicit ScopedLock(QMutex& m) : m_(m) { m_.Lock(); }
    ~ScopedLock() { m_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    QMutex& m_;
};

// Counts a public logger call in for its whole duration. A process may end
// (static destruction) while threads of instances never destroyed still log:
// the destructor refuses new calls, then waits for the ones already inside
// before it tears anything down. ok() is false once the logger is finished;
// the call must then return without touching the instance.
class CallGuard {
public:
    CallGuard();
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
    bool ok() const { return ok_; }

private:
    bool ok_;
};

}  // namespace orukiv::logdetail
