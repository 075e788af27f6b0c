// The CAN buses the tool can be the host of, each a small adapter between
// the library's receive/send callbacks and a bus:
//   sim[@BITRATE]            the simulated network (drive at 5, I/O at 10);
//                            with a bit rate (10000..1000000), bit timing
//   socketcan:IFNAME         a raw CAN socket (Linux)
//   slcan:DEVICE[@BITRATE]   a serial-line CAN adapter (Linux tty, Windows COM)
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "orukiv/orukiv.h"

namespace orukiv::sim {
class SimNetwork;
}

namespace orukiv::tool {

// One bus. Receive and Send are called on the library's worker thread only.
class Bus {
public:
    using ArrivalHandler = std::function<void()>;

    virtual ~Bus() = default;
    // The interface name shown in traces ("sim", "can0", "slcan").
    virtual std::string Interface() const = 0;
    // Fills up to `max` frames with what has arrived; never blocks.
    virtual int Receive(KIV_CanFrame* frames, int max) = 0;
    // 0 when sent or queued, non-zero on failure.
    virtual int Send(const KIV_CanFrame& frame) = 0;
    // The simulated network behind the bus, for its test knobs; null on a
    // real bus.
    virtual sim::SimNetwork* Simulation() { return nullptr; }

    // Sets what is called when frames arrive for Receive (empty: nothing).
    // The adapter calls it from its own receive thread or the bus's delivery
    // path, never from inside Receive. Once this returns, the old handler is
    // not running and will not be called again.
    void SetArrivalHandler(ArrivalHandler handler) {
        std::lock_guard<std::mutex> lock(arrivalM_);
        arrival_ = std::move(handler);
    }

    // Why the adapter is gone ("the serial line closed"); empty while it
    // works. Once lost, a bus stays lost: the command ends with exit status 3.
    std::string Lost() const {
        std::lock_guard<std::mutex> lock(lostM_);
        return lost_;
    }

protected:
    // For the adapters: frames have been queued for Receive.
    void FramesArrived() {
        std::lock_guard<std::mutex> lock(arrivalM_);
        if (arrival_) arrival_();
    }
    // For the adapters: the adapter is gone (the first reason is kept).
    void SetLost(const std::string& why) {
        std::lock_guard<std::mutex> lock(lostM_);
        if (lost_.empty()) lost_ = why;
    }

private:
    std::mutex arrivalM_;
    ArrivalHandler arrival_;
    mutable std::mutex lostM_;
    std::string lost_;
};

// Moves up to `max` frames from the front of an adapter's receive queue into
// `out`; the caller holds the queue's lock. Returns how many were moved.
int TakeQueuedFrames(std::deque<KIV_CanFrame>& queue, KIV_CanFrame* out, int max);

struct BusAddress {
    enum class Kind { kSim, kSocketCan, kSlcan } kind = Kind::kSim;
    std::string device;         // interface or serial device
    uint32_t bitrate = 500000;  // slcan only
    uint32_t simBitRate = 0;    // sim@BITRATE: bit timing at that rate; 0: instant
    int simUnconfigured = 0;    // sim only: LSS slaves without a node-ID
};

// Parses --bus; sets `error` and returns nothing when the text is not one of
// the forms above or the bitrate is not one an slcan adapter knows.
std::optional<BusAddress> ParseBusAddress(const std::string& text, std::string& error);

// Opens the bus; null with `error` set on failure.
std::unique_ptr<Bus> OpenBus(const BusAddress& address, std::string& error);

// The adapters (bus_sim.cpp, bus_socketcan.cpp, bus_slcan.cpp).
std::unique_ptr<Bus> OpenSimBus(uint32_t bitRate = 0, int unconfigured = 0);
#ifdef __linux__
std::unique_ptr<Bus> OpenSocketCanBus(const std::string& interface, std::string& error);
#endif
std::unique_ptr<Bus> OpenSlcanBus(const std::string& device, uint32_t bitrate, std::string& error);

}  // namespace orukiv::tool
