// --bus parsing and the choice of adapter.
#include "bus.h"

#include "slcan_codec.h"
#include "values.h"

namespace orukiv::tool {

std::optional<BusAddress> ParseBusAddress(const std::string& text, std::string& error) {
    BusAddress address;
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (kind.rfind("sim", 0) == 0 && colon == std::string::npos) {
        address.kind = BusAddress::Kind::kSim;
        if (kind == "sim") return address;
        const auto rate = kind[3] == '@' ? ParseUnsigned(kind.substr(4), 1000000) : std::nullopt;
        if (rate && *rate >= 10000) {
            address.simBitRate = static_cast<uint32_t>(*rate);
            return address;
        }
        if (kind[3] == '@') {
            error = "sim bit rate '" + kind.substr(4) + "' is not a number from 10000 to 1000000";
            return std::nullopt;
        }
    }
    if (kind == "socketcan" && !rest.empty()) {
        address.kind = BusAddress::Kind::kSocketCan;
        address.device = rest;
        return address;
    }
    if (kind == "slcan" && !rest.empty()) {
        address.kind = BusAddress::Kind::kSlcan;
        const auto at = rest.rfind('@');
        address.device = rest.substr(0, at);
        if (at != std::string::npos) {
            const auto rate = ParseUnsigned(rest.substr(at + 1), 1000000);
            if (!rate || !SlcanBitrateCommand(static_cast<uint32_t>(*rate))) {
                error = "slcan bitrate '" + rest.substr(at + 1) +
                        "' is not one of 10000, 20000, 50000, 100000, 125000, 250000, 500000, "
                        "800000, 1000000";
                return std::nullopt;
            }
            address.bitrate = static_cast<uint32_t>(*rate);
        }
        if (!address.device.empty()) return address;
    }
    error =
        "unknown bus '" + text + "' (sim[@BITRATE], socketcan:IFNAME or slcan:DEVICE[@BITRATE])";
    return std::nullopt;
}

std::unique_ptr<Bus> OpenBus(const BusAddress& address, std::string& error) {
    switch (address.kind) {
        case BusAddress::Kind::kSim:
            return OpenSimBus(address.simBitRate, address.simUnconfigured);
        case BusAddress::Kind::kSocketCan:
#ifdef __linux__
            return OpenSocketCanBus(address.device, error);
#else
            error = "socketcan buses exist on Linux only";
            return nullptr;
#endif
        case BusAddress::Kind::kSlcan:
            return OpenSlcanBus(address.device, address.bitrate, error);
    }
    return nullptr;
}

int TakeQueuedFrames(std::deque<KIV_CanFrame>& queue, KIV_CanFrame* out, int max) {
    int n = 0;
    while (n < max && !queue.empty()) {
        out[n++] = queue.front();
        queue.pop_front();
    }
    return n;
}

}  // namespace orukiv::tool
