// QMutex: a re-entrant lock (a critical section on Windows, a recursive
// pthread mutex on POSIX).
#include "orukiv/QUserLog.h"
#include "platform/platform.h"

QMutex::QMutex() {
    orukiv::platform::RecursiveLockInit(m_storage);
}

QMutex::~QMutex() {
    orukiv::platform::RecursiveLockDestroy(m_storage);
}

// A lock's internal state must never be duplicated: each object keeps its own.
QMutex& QMutex::operator=(const QMutex&) {
    return *this;
}

void QMutex::Lock() {
    orukiv::platform::RecursiveLockEnter(m_storage);
}

void QMutex::Unlock() {
    orukiv::platform::RecursiveLockLeave(m_storage);
}
