// `orukiv serve-slcan`: the simulated network behind a pseudo-terminal that
// speaks the serial-line CAN protocol, for trying the slcan bus without an
// adapter.
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "bus.h"
#include "command.h"
#include "procedures.h"
#include "report.h"

#ifndef _WIN32
#include "orukiv_sim/sim.h"
#include "slcan_device.h"
#endif

namespace orukiv::tool {

int CmdServeSlcan(Session& s, double seconds) {
    // The simulated network as --bus sim[@BITRATE] and --unconfigured N
    // describe it.
    std::string error;
    const auto address = ParseBusAddress(s.options().bus, error);
    if (!address) return PrintUsage(s, error);
    if (address->kind != BusAddress::Kind::kSim)
        return PrintUsage(s, "serve-slcan serves the simulated network: --bus sim[@BITRATE], not " +
                                 s.options().bus);
#ifdef _WIN32
    (void)seconds;
    return PrintError(s, "serve-slcan needs pseudo-terminals (Linux)");
#else
    PseudoTerminal pty;
    if (!OpenPseudoTerminal(pty, error)) return PrintError(s, error);
    sim::SimNetwork net;
    // The adapter queues what the serial line brings however fast it comes;
    // the bus takes it at its bit rate.
    if (address->simBitRate != 0) net.Bus().SetBitTiming({address->simBitRate, 0});
    net.AddUnconfigured(s.options().unconfigured);
    SlcanDevice device(net.Bus(), std::move(pty.master));
    net.Start();
    const std::string timing =
        address->simBitRate ? ", bit-timed at " + std::to_string(address->simBitRate) + " bit/s"
                            : "";
    const std::string lss =
        s.options().unconfigured
            ? ", " + std::to_string(s.options().unconfigured) + " LSS slave(s) without a node-ID"
            : "";
    if (s.options().json) {
        PrintDone(s, "",
                  Json()
                      .Str("device", pty.slavePath)
                      .Uint("bitRate", address->simBitRate)
                      .Uint("unconfigured", static_cast<uint64_t>(s.options().unconfigured)));
    } else {
        std::printf("%s\n", pty.slavePath.c_str());
        std::printf(
            "the simulated network (drive at node 5, I/O module at node 10%s%s) answers there: "
            "orukiv --bus slcan:%s ...\n",
            lss.c_str(), timing.c_str(), pty.slavePath.c_str());
        std::fflush(stdout);
    }
    const auto start = std::chrono::steady_clock::now();
    while (!Interrupted() && (seconds <= 0 || std::chrono::steady_clock::now() - start <
                                                  std::chrono::duration<double>(seconds)))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return 0;
#endif
}

Command ServeSlcanCommand() {
    Command c{"serve-slcan",
              "put the simulated network behind a pseudo-terminal speaking slcan: [SECONDS]; "
              "--bus sim@BITRATE makes it bit-timed and --unconfigured N adds LSS slaves, as "
              "for the simulated bus",
              [](CLI::App& app) -> Handler {
                  auto seconds = std::make_shared<double>(0);
                  AddSeconds(app, "SECONDS", *seconds, "how long to serve (default: until Ctrl-C)");
                  return [seconds](Session& s) { return CmdServeSlcan(s, *seconds); };
              }};
    c.runs = Command::Runs::kAlone;
    return c;
}

}  // namespace orukiv::tool
