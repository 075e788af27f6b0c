// The simulated network as a bus. Frames for the host queue here as the
// network delivers them (on the sender's thread: the worker's own for inline
// answers, the ticker's for heartbeats) and each arrival is reported.
#include <deque>
#include <memory>
#include <mutex>

#include "bus.h"
#include "orukiv_sim/sim.h"

namespace orukiv::tool {

namespace {

class SimBus : public Bus {
public:
    explicit SimBus(int unconfigured)
        : host_(net_.Bus().Attach("orukiv", [this](const KIV_CanFrame& f) { Deliver(f); })) {
        net_.AddUnconfigured(unconfigured);
        net_.Start();
    }
    ~SimBus() override { net_.Bus().Detach(host_); }

    std::string Interface() const override { return "sim"; }
    int Receive(KIV_CanFrame* frames, int max) override {
        std::lock_guard<std::mutex> lock(m_);
        return TakeQueuedFrames(frames_, frames, max);
    }
    int Send(const KIV_CanFrame& frame) override {
        host_->Send(frame);
        return 0;
    }
    sim::SimNetwork* Simulation() override { return &net_; }

private:
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

std::unique_ptr<Bus> OpenSimBus(int unconfigured) {
    return std::make_unique<SimBus>(unconfigured);
}

}  // namespace orukiv::tool
