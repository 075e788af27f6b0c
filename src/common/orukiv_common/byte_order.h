// Little-endian numbers in CANopen byte strings and the SDO frame header
// (command byte, index, sub-index): the one definition for the library, the
// simulated network and the command-line tool. Header-only, standard library
// only, so that every part of the project may include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orukiv {

// ---- Little-endian numbers -------------------------------------------------

// The first min(size, 8) bytes at `data` as a little-endian number.
constexpr uint64_t LoadLe(const uint8_t* data, std::size_t size) {
    uint64_t v = 0;
    for (std::size_t i = 0; i < size && i < 8; ++i) v |= static_cast<uint64_t>(data[i]) << (8 * i);
    return v;
}
constexpr uint16_t LoadLe16(const uint8_t* data) {
    return static_cast<uint16_t>(LoadLe(data, 2));
}
constexpr uint32_t LoadLe32(const uint8_t* data) {
    return static_cast<uint32_t>(LoadLe(data, 4));
}
constexpr uint64_t LoadLe64(const uint8_t* data) {
    return LoadLe(data, 8);
}

// Writes the low min(size, 8) bytes of `value` to `out`, least significant first.
constexpr void StoreLe(uint8_t* out, uint64_t value, std::size_t size) {
    for (std::size_t i = 0; i < size && i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}
constexpr void StoreLe16(uint8_t* out, uint16_t value) {
    StoreLe(out, value, 2);
}
constexpr void StoreLe32(uint8_t* out, uint32_t value) {
    StoreLe(out, value, 4);
}
constexpr void StoreLe64(uint8_t* out, uint64_t value) {
    StoreLe(out, value, 8);
}

// Byte-string forms, for the simulator and the tool (not for the library's
// allocation-free paths).
// The first bytes (at most 4) of `bytes` as a little-endian number.
inline uint32_t LoadLe32(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(LoadLe(bytes.data(), bytes.size() < 4 ? bytes.size() : 4));
}
// `size` bytes of `value`, least significant first (bytes past 8 are 0).
inline std::vector<uint8_t> StoreLe(uint64_t value, std::size_t size) {
    std::vector<uint8_t> out(size);
    StoreLe(out.data(), value, size);
    return out;
}

// ---- SDO frame header ------------------------------------------------------
// Bytes 0..3 of every SDO initiate, abort and block initiate/end frame: the
// command byte, the object's index (little-endian) and its sub-index.

struct SdoHeader {
    uint8_t command = 0;
    uint16_t index = 0;
    uint8_t subIndex = 0;
};

// Writes the header to data[0..3].
constexpr void PackSdoHeader(uint8_t* data, uint8_t command, uint16_t index, uint8_t subIndex) {
    data[0] = command;
    StoreLe16(data + 1, index);
    data[3] = subIndex;
}
// Reads the header from data[0..3].
constexpr SdoHeader ReadSdoHeader(const uint8_t* data) {
    return SdoHeader{data[0], LoadLe16(data + 1), data[3]};
}
// True when data[1..3] name the object index:subIndex.
constexpr bool SdoHeaderNames(const uint8_t* data, uint16_t index, uint8_t subIndex) {
    return LoadLe16(data + 1) == index && data[3] == subIndex;
}

}  // namespace orukiv
