// POSIX implementation of the platform layer: pthreads and the C++ standard
// library.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/platform.h"

namespace orukiv::platform {

// ---- Threads --------------------------------------------------------------

// The join state is shared by the handle and the running thread, so a thread
// that outlives its handle (a join that timed out) still has somewhere to
// report its end.
struct Thread {
    ThreadBody body = nullptr;
    void* arg = nullptr;
    pthread_t id{};
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    bool detached = false;  // handle closed: the thread frees this record
};

namespace {
void* ThreadTrampoline(void* p) {
    auto* t = static_cast<Thread*>(p);
    t->body(t->arg);
    bool freeSelf;
    {
        std::lock_guard<std::mutex> g(t->lock);
        t->done = true;
        freeSelf = t->detached;
        t->ended.notify_all();
    }
    if (freeSelf) delete t;
    return nullptr;
}
}  // namespace

Thread* ThreadStart(ThreadBody body, void* arg) {
    auto* t = new (std::nothrow) Thread;
    if (t == nullptr) return nullptr;
    t->body = body;
    t->arg = arg;
    if (pthread_create(&t->id, nullptr, ThreadTrampoline, t) != 0) {
        delete t;
        return nullptr;
    }
    pthread_detach(t->id);
    return t;
}

bool ThreadJoin(Thread* thread, uint32_t timeoutMs) {
    std::unique_lock<std::mutex> g(thread->lock);
    return thread->ended.wait_for(g, std::chrono::milliseconds(timeoutMs),
                                  [thread] { return thread->done; });
}

void ThreadClose(Thread* thread) {
    bool freeNow;
    {
        std::lock_guard<std::mutex> g(thread->lock);
        freeNow = thread->done;
        thread->detached = true;
    }
    if (freeNow) delete thread;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- Waitable sleep ---------------------------------------------------------

// libstdc++ waits on the steady clock with pthread_cond_clockwait
// (CLOCK_MONOTONIC): a change of the wall clock neither ends nor stretches a
// sleep.
struct Waker {
    std::mutex m;
    std::condition_variable cv;
    bool woken = false;
};

Waker* WakerCreate() {
    return new (std::nothrow) Waker;
}

void WakerClose(Waker* waker) {
    delete waker;
}

bool WakerSleepUs(Waker* waker, uint32_t us) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
    std::unique_lock<std::mutex> g(waker->m);
    const bool woken = waker->cv.wait_until(g, until, [waker] { return waker->woken; });
    waker->woken = false;
    return woken;
}

bool WakerSleepUntilNs(Waker* waker, uint64_t deadlineNs) {
    const std::chrono::steady_clock::time_point until{std::chrono::nanoseconds(deadlineNs)};
    std::unique_lock<std::mutex> g(waker->m);
    const bool woken = waker->cv.wait_until(g, until, [waker] { return waker->woken; });
    waker->woken = false;
    return woken;
}

void WakerWake(Waker* waker) {
    // The lock is only ever held for the sleeper's flag test, never across
    // its wait: taking it cannot keep the caller waiting for a sleep. The
    // signal is given with the lock held: once the sleeper has seen the flag
    // and returned, its owner may free the waker, and a signal after the
    // unlock could then touch freed memory.
    std::lock_guard<std::mutex> g(waker->m);
    waker->woken = true;
    waker->cv.notify_one();
}

// ---- Mutex ----------------------------------------------------------------

struct Mutex {
    std::mutex m;
};

Mutex* MutexCreate() {
    return new (std::nothrow) Mutex;
}
void MutexLock(Mutex* mutex) {
    mutex->m.lock();
}
int MutexUnlock(Mutex* mutex) {
    mutex->m.unlock();
    return 1;
}
void MutexClose(Mutex* mutex) {
    delete mutex;
}

// ---- Semaphore --------------------------------------------------------------

struct Semaphore {
    std::mutex m;
    std::condition_variable cv;
    int count = 0;
    bool inUse = false;
    bool onHeap = false;
};

// Every export creates, waits on and closes one semaphore per call, and a
// thread makes one call at a time: a semaphore kept per thread serves them
// all without touching the heap. A second one open at once on the same
// thread (not done by the library) comes from the heap.
Semaphore* SemaphoreCreate() {
    thread_local Semaphore perThread;
    if (!perThread.inUse) {
        perThread.inUse = true;
        perThread.count = 0;
        return &perThread;
    }
    auto* sem = new (std::nothrow) Semaphore;
    if (sem != nullptr) {
        sem->inUse = true;
        sem->onHeap = true;
    }
    return sem;
}

void SemaphoreWait(Semaphore* sem) {
    std::unique_lock<std::mutex> g(sem->m);
    sem->cv.wait(g, [sem] { return sem->count > 0; });
    --sem->count;
}

void SemaphorePost(Semaphore* sem) {
    // Notify under the lock: the waiter may close the semaphore as soon as
    // it can see the count.
    std::lock_guard<std::mutex> g(sem->m);
    if (sem->count < 1) ++sem->count;
    sem->cv.notify_one();
}

void SemaphoreClose(Semaphore* sem) {
    if (sem->onHeap) {
        delete sem;
        return;
    }
    std::lock_guard<std::mutex> g(sem->m);
    sem->count = 0;
    sem->inUse = false;
}

// ---- Re-entrant lock --------------------------------------------------------

static_assert(sizeof(pthread_mutex_t) <= kRecursiveLockSize);

void RecursiveLockInit(void* storage) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(static_cast<pthread_mutex_t*>(storage), &attr);
    pthread_mutexattr_destroy(&attr);
}
void RecursiveLockDestroy(void* storage) {
    pthread_mutex_destroy(static_cast<pthread_mutex_t*>(storage));
}
void RecursiveLockEnter(void* storage) {
    pthread_mutex_lock(static_cast<pthread_mutex_t*>(storage));
}
void RecursiveLockLeave(void* storage) {
    pthread_mutex_unlock(static_cast<pthread_mutex_t*>(storage));
}

// ---- Time -----------------------------------------------------------------

uint32_t TickMs() {
    using namespace std::chrono;
    auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    return static_cast<uint32_t>(static_cast<uint64_t>(ms));
}

uint64_t SteadyNs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

bool LocalTimeNow(std::tm* out) {
    return LocalTimeAt(std::time(nullptr), out);
}

bool LocalTimeAt(std::time_t when, std::tm* out) {
    return localtime_r(&when, out) != nullptr;
}

// ---- Debugger output -------------------------------------------------------

namespace {
std::atomic<DebugCaptureFn> g_captureFn{nullptr};
std::atomic<void*> g_captureCtx{nullptr};

bool DebugToStderr() {
    const char* v = std::getenv("ORUKIV_DEBUG_OUTPUT");
    return v != nullptr && std::strcmp(v, "1") == 0;
}
}  // namespace

void DebugOutput(const char* text) {
    static const bool toStderr = DebugToStderr();
    if (toStderr) std::fputs(text, stderr);
    if (DebugCaptureFn fn = g_captureFn.load()) fn(text, g_captureCtx.load());
}

void SetDebugCapture(DebugCaptureFn fn, void* context) {
    g_captureCtx.store(context);
    g_captureFn.store(fn);
}

// ---- Files and paths --------------------------------------------------------

char PathSeparator() {
    return '/';
}

std::size_t ExecutablePath(char* buffer, std::size_t size) {
    if (size == 0) return 0;
    ssize_t n = readlink("/proc/self/exe", buffer, size);
    if (n <= 0 || static_cast<std::size_t>(n) >= size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[n] = '\0';
    return static_cast<std::size_t>(n);
}

bool PathExists(const char* path) {
    struct stat st;
    return path != nullptr && path[0] != '\0' && stat(path, &st) == 0;
}

bool CreateDir(const char* path) {
    return mkdir(path, 0777) == 0;
}

// The descriptor plus one, so that no valid file is null. Plain system
// calls: opening, writing and closing allocate nothing.
AppendFile* AppendFileOpen(const char* path) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    return reinterpret_cast<AppendFile*>(static_cast<intptr_t>(fd) + 1);
}

bool AppendFileWrite(AppendFile* file, const char* data, std::size_t size) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(file) - 1);
    while (size != 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void AppendFileClose(AppendFile* file) {
    close(static_cast<int>(reinterpret_cast<intptr_t>(file) - 1));
}

}  // namespace orukiv::platform
