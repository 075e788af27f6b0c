// Interrupts on POSIX systems: SIGINT and SIGTERM.
#include <signal.h>

#include <atomic>

#include "interrupt.h"

namespace orukiv::tool {

namespace {

std::atomic<bool> gInterrupted{false};

extern "C" void OnInterrupt(int signal) {
    if (gInterrupted.exchange(true)) {
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

bool Interrupted() {
    return gInterrupted.load();
}

void RequestInterrupt() {
    gInterrupted = true;
}

void ClearInterrupt() {
    gInterrupted = false;
}

}  // namespace orukiv::tool
