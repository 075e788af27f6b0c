// --bus parsing and the choice of adapter.
#include "bus.h"

#include "slcan_codec.h"
#include "values.h"

namespace orukiv::tool {

std::optional<BusSpec> ParseBusSpec(const std::string& text, std::string& error) {
    BusSpec spec;
    const auto colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    if (kind == "sim" && colon == std::string::npos) {
        spec.kind = BusSpec::Kind::kSim;
        return spec;
    }
    if (kind == "socketcan" && !rest.empty()) {
        spec.kind = BusSpec::Kind::kSocketCan;
        spec.device = rest;
        return spec;
    }
    if (kind == "slcan" && !rest.empty()) {
        spec.kind = BusSpec::Kind::kSlcan;
        const auto at = rest.rfind('@');
        spec.device = rest.substr(0, at);
        if (at != std::string::npos) {
            const auto rate = ParseUnsigned(rest.substr(at + 1), 1000000);
            if (!rate || !SlcanBitrateCommand(static_cast<uint32_t>(*rate))) {
                error = "slcan bitrate '" + rest.substr(at + 1) +
                        "' is not one of 10000, 20000, 50000, 100000, 125000, 250000, 500000, "
                        "800000, 1000000";
                return std::nullopt;
            }
            spec.bitrate = static_cast<uint32_t>(*rate);
        }
        if (!spec.device.empty()) return spec;
    }
    error = "unknown bus '" + text + "' (sim, socketcan:IFNAME or slcan:DEVICE[@BITRATE])";
    return std::nullopt;
}

std::unique_ptr<Bus> OpenBus(const BusSpec& spec, std::string& error) {
    switch (spec.kind) {
        case BusSpec::Kind::kSim:
            return OpenSimBus();
        case BusSpec::Kind::kSocketCan:
#ifdef __linux__
            return OpenSocketCanBus(spec.device, error);
#else
            error = "socketcan buses exist on Linux only";
            return nullptr;
#endif
        case BusSpec::Kind::kSlcan:
            return OpenSlcanBus(spec.device, spec.bitrate, error);
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
