// `orukiv serve-slcan`: the simulated network behind a pseudo-terminal that
// speaks the serial-line CAN protocol, for trying the slcan bus without an
// adapter.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "command.h"
#include "commands.h"

#ifndef _WIN32
#include "orukiv_sim/sim.h"
#include "slcan_device.h"
#endif

namespace orukiv::tool {

int CmdServeSlcan(double seconds) {
#ifdef _WIN32
    (void)seconds;
    std::fprintf(stderr, "orukiv: serve-slcan needs pseudo-terminals (Linux)\n");
    return 1;
#else
    PseudoTerminal pty;
    std::string error;
    if (!OpenPseudoTerminal(pty, error)) {
        std::fprintf(stderr, "orukiv: %s\n", error.c_str());
        return 1;
    }
    sim::SimNetwork net;
    SlcanDevice device(net.Bus(), std::move(pty.master));
    net.Start();
    std::printf("%s\n", pty.slavePath.c_str());
    std::printf(
        "the simulated network (drive at node 5, I/O module at node 10) answers there: "
        "orukiv --bus slcan:%s ...\n",
        pty.slavePath.c_str());
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    while (!Interrupted() && (seconds <= 0 || std::chrono::steady_clock::now() - start <
                                                  std::chrono::duration<double>(seconds)))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
#endif
}

Command ServeSlcanCommand() {
    Command c{"serve-slcan",
              "put the simulated network behind a pseudo-terminal speaking slcan: [SECONDS]",
              [](CLI::App& app) -> Handler {
                  auto seconds = std::make_shared<double>(0);
                  AddSeconds(app, "SECONDS", *seconds, "how long to serve (default: until Ctrl-C)");
                  return [seconds](Session&) { return CmdServeSlcan(*seconds); };
              }};
    c.runs = Command::Runs::kAlone;
    return c;
}

}  // namespace orukiv::tool
