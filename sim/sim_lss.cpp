// The simulated node as a CiA 305 LSS slave: switch state global and
// selective, node-ID and bit timing configuration, store, inquiries,
// identify non-configured and fastscan.
#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint32_t kLssMaster = 0x7E5;
constexpr uint32_t kLssSlave = 0x7E4;
constexpr uint8_t kUnconfigured = 0xFF;
constexpr uint8_t kNotScanning = 0xFF;

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool BitTimingSupported(uint8_t table, uint8_t index) {
    return table == 0 && index <= 8 && index != 5;
}

}  // namespace

uint8_t SimNode::PendingNodeId() const {
    std::lock_guard<std::mutex> lock(m_);
    return pendingNodeId_;
}

uint8_t SimNode::BitTimingIndex() const {
    std::lock_guard<std::mutex> lock(m_);
    return bitTiming_;
}

bool SimNode::InLssConfiguration() const {
    std::lock_guard<std::mutex> lock(m_);
    return lssConfiguration_;
}

void SimNode::SetLssStoreSupported(bool on) {
    std::lock_guard<std::mutex> lock(m_);
    lssStoreSupported_ = on;
}

void SimNode::SetLssAnswerDelay(std::chrono::microseconds delay, std::chrono::microseconds jitter,
                                uint32_t seed) {
    std::lock_guard<std::mutex> lock(m_);
    lssDelay_ = delay;
    lssJitter_ = jitter;
    lssRng_.seed(seed);
}

void SimNode::AdoptNodeIdLocked(uint8_t nodeId) {
    nodeId_ = nodeId;
    seg_.SetNodeId(nodeId);
    block_.SetNodeId(nodeId);
}

void SimNode::PowerCycle() {
    {
        std::lock_guard<std::mutex> lock(m_);
        AdoptNodeIdLocked(storedNodeId_);
        pendingNodeId_ = storedNodeId_;
        bitTiming_ = pendingBitTiming_ = storedBitTiming_;
        lssConfiguration_ = false;
        selectiveMatched_ = 0;
        fastscanPos_ = kNotScanning;
        OnResetApplication();
        BootLocked();
    }
    FlushPending();
}

bool SimNode::HandleLssFrame(const KIV_CanFrame& frame) {
    if (frame.id != kLssMaster || frame.rtr != 0) return false;
    {
        std::lock_guard<std::mutex> lock(m_);
        const uint8_t* d = frame.data;
        const auto answer = [&](std::initializer_list<uint8_t> bytes) {
            auto delay = lssDelay_;
            if (lssJitter_.count() > 0)
                delay += std::chrono::microseconds(lssRng_() % (lssJitter_.count() + 1));
            outbox_.emplace_back(MakeSdoFrame(kLssSlave, bytes), delay);
        };
        const uint32_t identity[4] = {ValueU32Locked(0x1018, 1), ValueU32Locked(0x1018, 2),
                                      ValueU32Locked(0x1018, 3), ValueU32Locked(0x1018, 4)};
        const bool nonConfigured = pendingNodeId_ == kUnconfigured;
        const uint8_t cs = d[0];
        if (cs != 0x41 && cs != 0x42 && cs != 0x43) selectiveMatched_ = 0;
        switch (cs) {
            case 0x04:  // switch state global
                if (d[1] == 1) {
                    lssConfiguration_ = true;
                } else if (d[1] == 0) {
                    const bool numbered = lssConfiguration_ && nodeId_ == kUnconfigured &&
                                          pendingNodeId_ != kUnconfigured;
                    lssConfiguration_ = false;
                    if (numbered) {
                        AdoptNodeIdLocked(pendingNodeId_);
                        BootLocked();
                    }
                }
                break;
            case 0x40:  // switch state selective: vendor, product, revision, serial
            case 0x41:
            case 0x42:
            case 0x43: {
                const int part = cs - 0x40;
                if (selectiveMatched_ == part && U32(&d[1]) == identity[part]) {
                    if (++selectiveMatched_ == 4) {
                        selectiveMatched_ = 0;
                        lssConfiguration_ = true;
                        answer({0x44});
                    }
                } else {
                    selectiveMatched_ = 0;
                }
                break;
            }
            case 0x11:  // configure node-ID
                if (!lssConfiguration_) break;
                if ((d[1] >= 1 && d[1] <= 127) || d[1] == kUnconfigured) {
                    pendingNodeId_ = d[1];
                    answer({0x11, 0, 0});
                } else {
                    answer({0x11, 1, 0});
                }
                break;
            case 0x13:  // configure bit timing
                if (!lssConfiguration_) break;
                if (BitTimingSupported(d[1], d[2])) {
                    pendingBitTiming_ = d[2];
                    answer({0x13, 0, 0});
                } else {
                    answer({0x13, 1, 0});
                }
                break;
            case 0x15:  // activate bit timing
                if (lssConfiguration_) bitTiming_ = pendingBitTiming_;
                break;
            case 0x17:  // store configuration
                if (!lssConfiguration_) break;
                if (!lssStoreSupported_) {
                    answer({0x17, 1, 0});
                    break;
                }
                storedNodeId_ = pendingNodeId_;
                storedBitTiming_ = pendingBitTiming_;
                answer({0x17, 0, 0});
                break;
            case 0x5A:  // inquire vendor, product, revision, serial
            case 0x5B:
            case 0x5C:
            case 0x5D: {
                if (!lssConfiguration_) break;
                const uint32_t v = identity[cs - 0x5A];
                answer({cs, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                        static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
                break;
            }
            case 0x5E:  // inquire node-ID: the one in force
                if (lssConfiguration_) answer({0x5E, nodeId_});
                break;
            case 0x4C:  // identify non-configured remote slave
                if (nonConfigured) answer({0x50});
                break;
            case 0x51: {  // fastscan
                if (lssConfiguration_ || !nonConfigured) break;
                const uint8_t bit = d[5], part = d[6], next = d[7];
                if (bit == 0x80) {
                    fastscanPos_ = 0;
                    answer({0x4F});
                } else if (bit <= 31 && part <= 3 && part == fastscanPos_ &&
                           ((U32(&d[1]) ^ identity[part]) & (0xFFFFFFFFu << bit)) == 0) {
                    answer({0x4F});
                    if (bit == 0) {
                        // The part is confirmed: on to the next, or after
                        // the last into configuration state.
                        if (next < part) {
                            lssConfiguration_ = true;
                            fastscanPos_ = kNotScanning;
                        } else {
                            fastscanPos_ = next;
                        }
                    }
                }
                break;
            }
            default:
                break;
        }
    }
    FlushPending();
    return true;
}

}  // namespace orukiv::sim
