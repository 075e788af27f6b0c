// Loading the DLL does nothing beyond switching off per-thread notifications.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        // May fail in a MinGW DLL (it has a TLS directory); harmless either way.
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
