// Frame lengths on the wire (bit stuffing, CAN CRC-15) and the CRC-16 of
// SDO block transfers.
#include <vector>

#include "orukiv_sim/sim.h"

namespace orukiv::sim {

namespace {

constexpr uint16_t kCanCrcPolynomial = 0x4599;      // CRC-15 of classic CAN
constexpr uint32_t kUnstuffedTail = 1 + 2 + 7 + 3;  // CRC delimiter, ACK, EOF, intermission

void PushBits(std::vector<uint8_t>& bits, uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) bits.push_back(static_cast<uint8_t>((value >> i) & 1));
}

uint16_t CanCrc(const std::vector<uint8_t>& bits) {
    uint16_t crc = 0;
    for (uint8_t bit : bits) {
        const bool flip = (bit ^ (crc >> 14)) & 1;
        crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
        if (flip) crc ^= kCanCrcPolynomial;
    }
    return crc;
}

}  // namespace

uint32_t FrameBits(const KIV_CanFrame& frame) {
    // Start of frame to the end of the CRC sequence: the stuffed part.
    std::vector<uint8_t> bits;
    bits.reserve(98);
    const uint32_t dlc = frame.dlc > 15 ? 15u : frame.dlc;
    const uint32_t bytes = frame.rtr != 0 ? 0u : (dlc > 8 ? 8u : dlc);
    bits.push_back(0);  // start of frame
    PushBits(bits, frame.id & 0x7FF, 11);
    bits.push_back(frame.rtr != 0 ? 1 : 0);
    bits.push_back(0);  // IDE: base format
    bits.push_back(0);  // r0
    PushBits(bits, dlc, 4);
    for (uint32_t i = 0; i < bytes; ++i) PushBits(bits, frame.data[i], 8);
    PushBits(bits, CanCrc(bits), 15);

    // After five equal bits the sender inserts one of the other level, which
    // counts toward the next run.
    uint32_t stuff = 0;
    uint8_t level = 2;
    int run = 0;
    for (uint8_t bit : bits) {
        run = bit == level ? run + 1 : 1;
        level = bit;
        if (run == 5) {
            ++stuff;
            level ^= 1;
            run = 1;
        }
    }
    return static_cast<uint32_t>(bits.size()) + stuff + kUnstuffedTail;
}

uint16_t BlockCrc(const uint8_t* data, std::size_t size, uint16_t crc) {
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

}  // namespace orukiv::sim
