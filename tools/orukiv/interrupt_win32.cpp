// Interrupts on Windows: Ctrl-C, Ctrl-Break and the console window closing.
#include <windows.h>

#include "interrupt.h"

namespace orukiv::tool {

namespace {

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            // The second interrupt: not handled here, the tool ends now.
            if (MarkInterrupted()) return FALSE;
            if (event == CTRL_CLOSE_EVENT) Sleep(3000);  // the halt gets its time
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace orukiv::tool
