// The simulated network as a bus. Frames for the host queue here as the
// network delivers them (on the sender's thread: the worker's own for inline
// answers, the ticker's for heartbeats; with bit timing the bus's own) and
// each arrival is reported. With bit timing a send fails while the host's
// transmit queue (10 frames) is full, and each frame of the host's that
// leaves the bus is reported as an arrival too, so that a worker in
// low-latency mode wakes to send more.
#include <deque>
#include <memory>
#include <mutex>

#include "bus.h"
#include "orukiv_sim/sim.h"

namespace orukiv::tool {

namespace {

class SimBus : public Bus {
public:
    SimBus(uint32_t bitRate, int unconfigured) {
        if (bitRate != 0) net_.Bus().SetBitTiming({bitRate, kHostTxQueue, true});
        host_ = net_.Bus().Attach("orukiv", [this](const KIV_CanFrame& f) { Deliver(f); });
        if (bitRate != 0) host_->SetSentHandler([this] { FramesArrived(); });
        net_.AddUnconfigured(unconfigured);
        net_.Start();
    }
    ~SimBus() override { net_.Bus().Detach(host_); }

    std::string Interface() const override { return "sim"; }
    int Receive(KIV_CanFrame* frames, int max) override {
        std::lock_guard<std::mutex> lock(m_);
        return TakeQueuedFrames(frames_, frames, max);
    }
    int Send(const KIV_CanFrame& frame) override { return host_->Send(frame) ? 0 : 1; }
    sim::SimNetwork* Simulation() override { return &net_; }

private:
    static constexpr std::size_t kHostTxQueue = 10;  // a SocketCAN socket's default

    void Deliver(const KIV_CanFrame& frame) {
        {
            std::lock_guard<std::mutex> lock(m_);
            frames_.push_back(frame);
        }
        FramesArrived();
    }

    std::mutex m_;
    std::deque<KIV_CanFrame> frames_;
    sim::SimNetwork net_;
    std::shared_ptr<sim::Endpoint> host_;
};

}  // namespace

std::unique_ptr<Bus> OpenSimBus(uint32_t bitRate, int unconfigured) {
    return std::make_unique<SimBus>(bitRate, unconfigured);
}

}  // namespace orukiv::tool
