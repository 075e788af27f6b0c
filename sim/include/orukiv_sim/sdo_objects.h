// What the simulated SDO servers need of a node's object dictionary.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "orukiv/orukiv.h"

namespace orukiv::sim {

using Clock = std::chrono::steady_clock;

// What an SDO server needs of a node's object dictionary; each call returns
// 0 or the SDO abort code that refuses the access.
class SdoObjects {
public:
    virtual ~SdoObjects() = default;
    // The object's value, for an upload.
    virtual uint32_t ReadForUpload(uint16_t index, uint8_t sub, std::vector<uint8_t>& value) = 0;
    // Whether a download may start; `size` when the client indicated it. A
    // refusal is recorded as a write of `attempted`.
    virtual uint32_t CheckDownload(uint16_t index, uint8_t sub, std::optional<uint32_t> size,
                                   const std::vector<uint8_t>& attempted) = 0;
    // The object's size when it is fixed (an expedited write without the
    // size indicated takes it); nothing for variable objects.
    virtual std::optional<std::size_t> FixedSize(uint16_t, uint8_t) { return std::nullopt; }
    // Stores a complete download.
    virtual uint32_t CommitDownload(uint16_t index, uint8_t sub,
                                    const std::vector<uint8_t>& data) = 0;
};

}  // namespace orukiv::sim
