// The ticker and the ready-made simulated network.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

// ---- SimTicker ----------------------------------------------------------------

SimTicker::SimTicker(std::chrono::milliseconds period) : period_(period) {}

SimTicker::~SimTicker() {
    Stop();
}

void SimTicker::Add(SimNode& node) {
    nodes_.push_back(&node);
}

void SimTicker::Start() {
    if (thread_.joinable()) return;
    thread_ = std::thread([this] {
        std::unique_lock<std::mutex> lock(m_);
        while (!stop_) {
            lock.unlock();
            const Clock::time_point now = Clock::now();
            for (SimNode* node : nodes_) node->Tick(now);
            lock.lock();
            cv_.wait_for(lock, period_, [this] { return stop_; });
        }
    });
}

void SimTicker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// ---- SimNetwork ---------------------------------------------------------------

SimNetwork::SimNetwork() : drive_(bus_, kDriveNode), io_(bus_, kIoNode) {
    SimNode::Identity id;
    id.deviceType = 0x00020192;  // matches the drive's own 0x1000
    id.name = "orukiv sim servo drive";
    id.vendorId = 0x00000A1F;
    id.productCode = 0x00000402;
    id.revision = 0x00010000;
    id.serial = 0x12345678;
    drive_.AddDeviceObjects(id);
    drive_.AddRpdoObjects();
    for (SimNode* node : Nodes()) {
        node->SetValue(0x1017, 0, {0xE8, 0x03});  // 1000 ms
        ticker_.Add(*node);
    }
}

SimNetwork::~SimNetwork() {
    ticker_.Stop();
}

void SimNetwork::AddUnconfigured(int n) {
    for (int i = 0; i < n; ++i) {
        auto node = std::make_unique<SimNode>(bus_, 255);
        SimNode::Identity id;
        id.deviceType = 0x00000191;
        id.name = "orukiv sim LSS slave";
        id.vendorId = 0x00000A1F;
        id.productCode = 0x00000305;
        id.revision = 0x00010000;
        id.serial = 0x00C0FFE0u + static_cast<uint32_t>(i);
        node->AddDeviceObjects(id);
        node->AddCommunicationObjects();
        node->SetValue(0x1017, 0, {0xE8, 0x03});
        // Each slave answers within 2 ms, at its own moment.
        node->SetLssAnswerDelay(std::chrono::microseconds(0), std::chrono::microseconds(2000),
                                static_cast<uint32_t>(i + 1));
        ticker_.Add(*node);
        unconfigured_.push_back(std::move(node));
    }
}

void SimNetwork::Start() {
    for (SimNode* node : Nodes()) node->Boot();
    ticker_.Start();
}

}  // namespace orukiv::sim
