// Windows implementation of the platform layer: the Win32 calls and the C
// runtime's thread start.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <shlwapi.h>
#include <windows.h>

#include <atomic>
#include <cstring>

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

// ---- Mutex ----------------------------------------------------------------

struct Mutex;

Mutex* MutexCreate() {
    return reinterpret_cast<Mutex*>(CreateMutexA(nullptr, FALSE, nullptr));
}
void MutexLock(Mutex* mutex) {
    WaitForSingleObject(H(mutex), INFINITE);
}
int MutexUnlock(Mutex* mutex) {
    return ReleaseMutex(H(mutex)) ? 1 : 0;
}
void MutexClose(Mutex* mutex) {
    CloseHandle(H(mutex));
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

bool LocalTimeNow(std::tm* out) {
    std::time_t now = std::time(nullptr);
    return localtime_s(out, &now) == 0;
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

}  // namespace orukiv::platform
