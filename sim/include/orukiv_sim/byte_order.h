// Little-endian numbers in CANopen byte strings, for the simulated network
// and the command-line tool alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orukiv {

// The first min(size, 8) bytes as a little-endian number.
inline uint64_t LoadLe(const uint8_t* data, std::size_t size) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i) v |= static_cast<uint64_t>(data[i]) << (8 * i);
    return v;
}

// The first bytes (at most 4) of `bytes` as a little-endian number.
inline uint32_t LoadLe32(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(LoadLe(bytes.data(), bytes.size() < 4 ? bytes.size() : 4));
}

// `size` bytes of `value`, least significant first.
inline std::vector<uint8_t> StoreLe(uint64_t value, std::size_t size) {
    std::vector<uint8_t> out(size);
    for (std::size_t i = 0; i < size && i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
    return out;
}

}  // namespace orukiv
