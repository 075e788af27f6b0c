#include "frames.h"

#include <cstdio>
#include <cstring>

namespace orukiv::test {

KIV_CanFrame Frame(uint32_t id, std::initializer_list<uint8_t> bytes) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = id;
    uint8_t n = 0;
    for (uint8_t b : bytes)
        if (n < 8) f.data[n++] = b;
    f.dlc = n;
    return f;
}

KIV_CanFrame RemoteFrame(uint32_t id, uint8_t dlc) {
    KIV_CanFrame f;
    std::memset(&f, 0, sizeof f);
    f.id = id;
    f.rtr = 1;
    f.dlc = dlc;
    return f;
}

KIV_CanFrame Sdo(uint32_t id, std::initializer_list<uint8_t> bytes) {
    KIV_CanFrame f = Frame(id, bytes);
    f.dlc = 8;
    return f;
}

std::string Describe(const KIV_CanFrame& f) {
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, "id=0x%03x rtr=%u dlc=%u data=", f.id, f.rtr, f.dlc);
    for (int i = 0; i < 8; ++i) n += std::snprintf(buf + n, sizeof buf - n, "%02X ", f.data[i]);
    std::string s(buf);
    const auto* raw = reinterpret_cast<const unsigned char*>(&f);
    bool reservedSet = false;
    for (int i : {4, 5, 6, 7, 8, 9, 11, 13, 14, 15}) reservedSet = reservedSet || raw[i] != 0;
    if (reservedSet) s += "(reserved bytes set)";
    return s;
}

bool SameBytes(const KIV_CanFrame& a, const KIV_CanFrame& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace orukiv::test
