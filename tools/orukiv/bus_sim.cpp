// The simulated network as a bus.
#include <memory>

#include "bus.h"
#include "orukiv_sim/sim.h"

namespace orukiv::tool {

namespace {

class SimBus : public Bus {
public:
    SimBus() : host_(net_.Bus().Attach("orukiv")) { net_.Start(); }
    ~SimBus() override { net_.Bus().Detach(host_); }

    std::string Interface() const override { return "sim"; }
    int Receive(KIV_CanFrame* frames, int max) override {
        return static_cast<int>(host_->PopMany(frames, static_cast<std::size_t>(max)));
    }
    int Send(const KIV_CanFrame& frame) override {
        host_->Send(frame);
        return 0;
    }
    sim::SimNetwork* Simulation() override { return &net_; }

private:
    sim::SimNetwork net_;
    std::shared_ptr<sim::Endpoint> host_;
};

}  // namespace

std::unique_ptr<Bus> OpenSimBus() {
    return std::make_unique<SimBus>();
}

}  // namespace orukiv::tool
