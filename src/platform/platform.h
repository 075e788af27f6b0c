// The operating-system layer: everything the library needs from Windows or
// POSIX, behind one small interface. Nothing outside src/platform includes a
// system header for threads, synchronisation, paths or debugger output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace orukiv::platform {

// ---- Threads --------------------------------------------------------------

struct Thread;
using ThreadBody = unsigned (*)(void* arg);

// Starts a thread running body(arg) at once; null when it cannot be started.
Thread* ThreadStart(ThreadBody body, void* arg);
// Waits up to timeoutMs for the thread to end; true when it has ended.
bool ThreadJoin(Thread* thread, uint32_t timeoutMs);
// Releases the handle. A thread that has not ended keeps running, detached.
void ThreadClose(Thread* thread);
// Suspends the calling thread for about ms milliseconds.
void SleepMs(uint32_t ms);

// ---- Waitable sleep ---------------------------------------------------------

// A sleep that another thread can end early. A wake given while nobody
// sleeps is kept: the next sleep returns at once (one kept wake at most).
// Sleeping and waking allocate nothing.
struct Waker;
Waker* WakerCreate();
void WakerClose(Waker* waker);
// Sleeps about us microseconds (on the steady clock), or until a wake.
// Returns true when woken, false when the time ran out.
bool WakerSleepUs(Waker* waker, uint32_t us);
// Sleeps until deadlineNs on the SteadyNs clock, or until a wake; a
// deadline already past only takes a kept wake. Returns true when woken.
bool WakerSleepUntilNs(Waker* waker, uint64_t deadlineNs);
// Ends the current or next sleep. Any thread; never waits for the sleeper.
void WakerWake(Waker* waker);

// ---- Instance mutex (not re-entrant) --------------------------------------

struct Mutex;
Mutex* MutexCreate();
void MutexLock(Mutex* mutex);
// Returns non-zero on success (the Windows ReleaseMutex convention).
int MutexUnlock(Mutex* mutex);
void MutexClose(Mutex* mutex);

// ---- Completion semaphore (initial count 0, maximum 1) --------------------

struct Semaphore;
Semaphore* SemaphoreCreate();
void SemaphoreWait(Semaphore* sem);
void SemaphorePost(Semaphore* sem);
void SemaphoreClose(Semaphore* sem);

// ---- Re-entrant lock storage for QMutex ------------------------------------

constexpr std::size_t kRecursiveLockSize = 64;
void RecursiveLockInit(void* storage);
void RecursiveLockDestroy(void* storage);
void RecursiveLockEnter(void* storage);
void RecursiveLockLeave(void* storage);

// ---- Time -----------------------------------------------------------------

// Milliseconds since an arbitrary start, 32 bits, wrapping like GetTickCount.
uint32_t TickMs();
// Nanoseconds on the system's steady clock (the clock of the waitable
// sleep), since an arbitrary start; never goes back, never wraps in practice.
uint64_t SteadyNs();
// The current local calendar time; false when it cannot be had.
bool LocalTimeNow(std::tm* out);
// The local calendar time of a std::time value; false when it cannot be had.
bool LocalTimeAt(std::time_t when, std::tm* out);

// ---- Debugger output -------------------------------------------------------

// Hands text to the debugger output (OutputDebugStringA on Windows; standard
// error on POSIX when ORUKIV_DEBUG_OUTPUT is "1"). A capture hook, when set,
// receives every text as well.
void DebugOutput(const char* text);
using DebugCaptureFn = void (*)(const char* text, void* context);
void SetDebugCapture(DebugCaptureFn fn, void* context);

// ---- Files and paths --------------------------------------------------------

// The native path separator: '\\' on Windows, '/' on POSIX.
char PathSeparator();
// Writes the host executable's full path into buffer (size bytes, NUL
// included); returns its length, or 0 on failure or when it does not fit.
std::size_t ExecutablePath(char* buffer, std::size_t size);
// True when a file or directory of that name exists.
bool PathExists(const char* path);
// Creates one directory whose parent exists; true on success.
bool CreateDir(const char* path);

// A file opened for appending text, created when missing; lines end in
// '\n' in the data and as the system's text files end them on disk ("\r\n"
// on Windows). Null when it cannot be opened.
struct AppendFile;
AppendFile* AppendFileOpen(const char* path);
// Appends size bytes; false when not all of them could be written.
bool AppendFileWrite(AppendFile* file, const char* data, std::size_t size);
void AppendFileClose(AppendFile* file);

}  // namespace orukiv::platform
