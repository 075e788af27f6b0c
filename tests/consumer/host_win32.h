/*
 * What the Windows consumer hosts need from kernel32, declared here rather
 * than taken from <windows.h>: built in the Visual C++ ABI on this machine,
 * the hosts have neither the Windows headers nor a C runtime. They link
 * kernel32 and orukiv only, and start at host_entry when built without a
 * runtime (ORUKIV_HOST_NO_CRT), at main otherwise.
 */
#ifndef ORUKIV_HOST_WIN32_H
#define ORUKIV_HOST_WIN32_H

#ifdef __cplusplus
extern "C" {
#endif

#define HOST_WINAPI __stdcall
#define HOST_IMPORT __declspec(dllimport)
#define HOST_WAIT_OBJECT_0 0ul
#define HOST_WAIT_TIMEOUT 258ul

typedef unsigned long(HOST_WINAPI* HostThreadFn)(void* arg);
typedef struct HostSystemTime {
    unsigned short year, month, dayOfWeek, day, hour, minute, second, milliseconds;
} HostSystemTime;

HOST_IMPORT void HOST_WINAPI ExitProcess(unsigned int code);
HOST_IMPORT void HOST_WINAPI Sleep(unsigned long ms);
HOST_IMPORT void* HOST_WINAPI GetStdHandle(unsigned long which);
HOST_IMPORT int HOST_WINAPI WriteFile(void* file, const void* data, unsigned long size,
                                      unsigned long* written, void* overlapped);
HOST_IMPORT int HOST_WINAPI ReadFile(void* file, void* data, unsigned long size,
                                     unsigned long* read, void* overlapped);
HOST_IMPORT void* HOST_WINAPI CreateFileA(const char* name, unsigned long access,
                                          unsigned long share, void* security,
                                          unsigned long disposition, unsigned long flags,
                                          void* templateFile);
HOST_IMPORT int HOST_WINAPI CloseHandle(void* handle);
HOST_IMPORT void* HOST_WINAPI CreateThread(void* security, unsigned long long stackSize,
                                           HostThreadFn start, void* arg, unsigned long flags,
                                           unsigned long* id);
HOST_IMPORT unsigned long HOST_WINAPI WaitForSingleObject(void* handle, unsigned long ms);
HOST_IMPORT void HOST_WINAPI GetLocalTime(HostSystemTime* now);

/* Writes a NUL-terminated text to the standard error stream. */
static void host_say(const char* text) {
    unsigned long len = 0, written = 0;
    while (text[len] != '\0') ++len;
    WriteFile(GetStdHandle((unsigned long)-12), text, len, &written, 0);
}

#ifdef __cplusplus
#define HOST_EXTERN_C extern "C"
#else
#define HOST_EXTERN_C
#endif

#if defined(ORUKIV_HOST_NO_CRT)
/* Floating-point code refers to this marker, normally defined by the C
 * runtime. */
HOST_EXTERN_C int _fltused;
int _fltused = 0;
#define HOST_MAIN(run)                    \
    HOST_EXTERN_C void host_entry(void);  \
    HOST_EXTERN_C void host_entry(void) { \
        ExitProcess((unsigned int)run()); \
    }
#else
#define HOST_MAIN(run) \
    int main(void) {   \
        return run();  \
    }
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_HOST_WIN32_H */
