// Windows implementation of the platform layer: the Win32 calls and the C
// runtime's thread start.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <shlwapi.h>
#include <windows.h>
// After windows.h: timeapi.h needs its types.
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace orukiv::platform {

namespace {
HANDLE H(void* p) {
    return static_cast<HANDLE>(p);
}
}  // namespace

// ---- Threads --------------------------------------------------------------

struct Thread;  // a Win32 thread HANDLE in disguise

namespace {
struct StartArgs {
    ThreadBody body;
    void* arg;
};
unsigned __stdcall ThreadTrampoline(void* p) {
    StartArgs a = *static_cast<StartArgs*>(p);
    delete static_cast<StartArgs*>(p);
    unsigned code = a.body(a.arg);
    _endthreadex(code);
    return code;
}
}  // namespace

Thread* ThreadStart(ThreadBody body, void* arg) {
    auto* a = new (std::nothrow) StartArgs{body, arg};
    if (a == nullptr) return nullptr;
    uintptr_t h = _beginthreadex(nullptr, 0, ThreadTrampoline, a, 0, nullptr);
    if (h == 0) {
        delete a;
        return nullptr;
    }
    return reinterpret_cast<Thread*>(h);
}

bool ThreadJoin(Thread* thread, uint32_t timeoutMs) {
    return WaitForSingleObject(H(thread), timeoutMs) == WAIT_OBJECT_0;
}

void ThreadClose(Thread* thread) {
    CloseHandle(H(thread));
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}

// ---- Waitable sleep ---------------------------------------------------------

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// An auto-reset event ends the sleep. The time-out comes from a
// high-resolution waitable timer where the system has one (Windows 10 1803
// and later), which keeps 100 ns units without touching the system's timer
// period. Elsewhere the sleep is a wait on the event with a millisecond
// time-out, and the system timer period is raised to 1 ms (timeBeginPeriod)
// for as long as the waker exists, the first time a sleep shorter than the
// default tick of about 15.6 ms is asked for: without it such a wait lasts a
// whole tick.
struct Waker {
    HANDLE event = nullptr;
    HANDLE timer = nullptr;
    bool periodRaised = false;
};

Waker* WakerCreate() {
    auto* w = new (std::nothrow) Waker;
    if (w == nullptr) return nullptr;
    w->event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (w->event == nullptr) {
        delete w;
        return nullptr;
    }
    w->timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                      TIMER_ALL_ACCESS);
    return w;
}

void WakerClose(Waker* waker) {
    if (waker->periodRaised) timeEndPeriod(1);
    if (waker->timer != nullptr) CloseHandle(waker->timer);
    CloseHandle(waker->event);
    delete waker;
}

namespace {
// Sleeps `units` of 100 ns, or until a wake.
bool SleepHundredNs(Waker* waker, uint64_t units) {
    if (waker->timer != nullptr) {
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(units);  // relative
        if (SetWaitableTimer(waker->timer, &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE both[2] = {waker->event, waker->timer};
            return WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0;
        }
    }
    const uint64_t ms = (units + 9999) / 10000;
    if (!waker->periodRaised && units < 156000)
        waker->periodRaised = timeBeginPeriod(1) == TIMERR_NOERROR;
    return WaitForSingleObject(waker->event, static_cast<DWORD>(ms)) == WAIT_OBJECT_0;
}
}  // namespace

bool WakerSleepUs(Waker* waker, uint32_t us) {
    return SleepHundredNs(waker, static_cast<uint64_t>(us) * 10);
}

bool WakerSleepUntilNs(Waker* waker, uint64_t deadlineNs) {
    const uint64_t now = SteadyNs();
    if (deadlineNs <= now) return WaitForSingleObject(waker->event, 0) == WAIT_OBJECT_0;
    return SleepHundredNs(waker, (deadlineNs - now + 99) / 100);
}

void WakerWake(Waker* waker) {
    SetEvent(waker->event);
}

// ---- Mutex ----------------------------------------------------------------

// A slim reader/writer lock taken exclusively: the instance mutex is held
// for a few instructions at a time, always released by the thread that took
// it, and never held across a callback, so no kernel object is needed (the
// worker takes it at least once per pass; a kernel mutex costs a system call
// each time, and under Wine a round trip to its server).
struct Mutex {
    SRWLOCK lock = SRWLOCK_INIT;
};

Mutex* MutexCreate() {
    return new (std::nothrow) Mutex;
}
void MutexLock(Mutex* mutex) {
    AcquireSRWLockExclusive(&mutex->lock);
}
int MutexUnlock(Mutex* mutex) {
    ReleaseSRWLockExclusive(&mutex->lock);
    return 1;
}
void MutexClose(Mutex* mutex) {
    delete mutex;
}

// ---- Semaphore --------------------------------------------------------------

struct Semaphore;

Semaphore* SemaphoreCreate() {
    return reinterpret_cast<Semaphore*>(CreateSemaphoreA(nullptr, 0, 1, nullptr));
}
void SemaphoreWait(Semaphore* sem) {
    WaitForSingleObject(H(sem), INFINITE);
}
void SemaphorePost(Semaphore* sem) {
    ReleaseSemaphore(H(sem), 1, nullptr);
}
void SemaphoreClose(Semaphore* sem) {
    CloseHandle(H(sem));
}

// ---- Re-entrant lock --------------------------------------------------------

static_assert(sizeof(CRITICAL_SECTION) <= kRecursiveLockSize);
static_assert(alignof(CRITICAL_SECTION) <= 8);  // QMutex's storage is aligned to 8

void RecursiveLockInit(void* storage) {
    InitializeCriticalSection(static_cast<CRITICAL_SECTION*>(storage));
}
void RecursiveLockDestroy(void* storage) {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(storage));
}
void RecursiveLockEnter(void* storage) {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(storage));
}
void RecursiveLockLeave(void* storage) {
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(storage));
}

// ---- Time -----------------------------------------------------------------

uint32_t TickMs() {
    return static_cast<uint32_t>(GetTickCount());
}

uint64_t SteadyNs() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const auto count = static_cast<uint64_t>(c.QuadPart);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return count / frequency * 1000000000ull + count % frequency * 1000000000ull / frequency;
}

bool LocalTimeNow(std::tm* out) {
    return LocalTimeAt(std::time(nullptr), out);
}

bool LocalTimeAt(std::time_t when, std::tm* out) {
    return localtime_s(out, &when) == 0;
}

// ---- Debugger output -------------------------------------------------------

namespace {
std::atomic<DebugCaptureFn> g_captureFn{nullptr};
std::atomic<void*> g_captureCtx{nullptr};
}  // namespace

void DebugOutput(const char* text) {
    OutputDebugStringA(text);
    if (DebugCaptureFn fn = g_captureFn.load()) fn(text, g_captureCtx.load());
}

void SetDebugCapture(DebugCaptureFn fn, void* context) {
    g_captureCtx.store(context);
    g_captureFn.store(fn);
}

// ---- Files and paths --------------------------------------------------------

char PathSeparator() {
    return '\\';
}

std::size_t ExecutablePath(char* buffer, std::size_t size) {
    if (size == 0) return 0;
    DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    // A full buffer means the path was cut.
    if (n == 0 || n >= size) {
        buffer[0] = '\0';
        return 0;
    }
    return n;
}

bool PathExists(const char* path) {
    return path != nullptr && path[0] != '\0' && PathFileExistsA(path) == 1;
}

bool CreateDir(const char* path) {
    return CreateDirectoryA(path, nullptr) != 0;
}

// The C runtime's text mode writes each '\n' as "\r\n".
struct AppendFile;

AppendFile* AppendFileOpen(const char* path) {
    return reinterpret_cast<AppendFile*>(std::fopen(path, "a"));
}

bool AppendFileWrite(AppendFile* file, const char* data, std::size_t size) {
    return std::fwrite(data, 1, size, reinterpret_cast<std::FILE*>(file)) == size;
}

void AppendFileClose(AppendFile* file) {
    std::fclose(reinterpret_cast<std::FILE*>(file));
}

}  // namespace orukiv::platform
