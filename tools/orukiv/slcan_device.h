// A serial-line CAN adapter in software: it speaks the adapter's side of the
// protocol on a serial port and puts the channel's frames on a virtual bus.
// With a pseudo-terminal it lets a host reach the simulated network through
// its slcan bus (tests, `orukiv serve-slcan`). POSIX only.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "orukiv_sim/sim.h"
#include "serial_port.h"

namespace orukiv::tool {

class SlcanDevice {
public:
    SlcanDevice(sim::VirtualBus& bus, std::unique_ptr<SerialPort> port);
    ~SlcanDevice();
    SlcanDevice(const SlcanDevice&) = delete;
    SlcanDevice& operator=(const SlcanDevice&) = delete;

    bool IsOpen() const { return open_; }
    // Commands refused so far (answered with BEL).
    uint64_t Refusals() const { return refusals_; }

private:
    void ReadLoop();
    void Serve(const std::string& line);
    void Write(const std::string& text);

    sim::VirtualBus& bus_;
    std::unique_ptr<SerialPort> port_;
    std::shared_ptr<sim::Endpoint> ep_;
    std::mutex writeM_;
    std::atomic<bool> open_{false};
    std::atomic<bool> bitrateSet_{false};
    std::atomic<uint64_t> refusals_{0};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace orukiv::tool
