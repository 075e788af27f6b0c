// Interrupts on POSIX systems: SIGINT and SIGTERM.
#include <signal.h>

#include "interrupt.h"

namespace orukiv::tool {

namespace {

extern "C" void OnInterrupt(int signal) {
    if (MarkInterrupted()) {
        // The second interrupt: the default action, the tool ends now.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(signal, &dfl, nullptr);
        ::raise(signal);
    }
}

}  // namespace

void InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking wait returns with EINTR
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace orukiv::tool
