// Interrupts from the user: Ctrl-C and SIGTERM (POSIX, interrupt_posix.cpp);
// Ctrl-C, Ctrl-Break and the console closing (Windows, interrupt_win32.cpp).
// Once the handler is installed, the first interrupt only sets a flag that
// the commands poll, so that a moving drive is halted before the tool ends;
// a second one ends the tool at once (the system's default action).
#pragma once

namespace orukiv::tool {

// Installs the handler (again after a second interrupt restored the default).
void InstallInterruptHandler();
// True once an interrupt arrived since the last ClearInterrupt.
bool Interrupted();
// As if the user had interrupted (tests; the shell's own stop).
void RequestInterrupt();
void ClearInterrupt();
// For the handlers: sets the flag and says whether it was set already (the
// interrupt is the second). Lock-free: safe in a signal handler.
bool MarkInterrupted();

}  // namespace orukiv::tool
