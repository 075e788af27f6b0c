// Serial-line CAN lines: bitrate commands, frames, and the reply stream.
#include "slcan_codec.h"

#include <cinttypes>
#include <cstdio>

namespace orukiv::tool {

namespace {

constexpr uint32_t kBitrates[] = {10000,  20000,  50000,  100000, 125000,
                                  250000, 500000, 800000, 1000000};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `digits` hex digits at the front of `text`; false if any is not hex.
bool TakeHex(std::string_view& text, std::size_t digits, uint32_t& out) {
    if (text.size() < digits) return false;
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        const int d = HexValue(text[i]);
        if (d < 0) return false;
        out = out << 4 | static_cast<uint32_t>(d);
    }
    text.remove_prefix(digits);
    return true;
}

}  // namespace

std::optional<std::string> SlcanBitrateCommand(uint32_t bitrate) {
    for (std::size_t i = 0; i < std::size(kBitrates); ++i)
        if (kBitrates[i] == bitrate) return "S" + std::to_string(i);
    return std::nullopt;
}

std::string EncodeSlcanFrame(const KIV_CanFrame& frame) {
    const bool extended = frame.id > 0x7FF;
    const unsigned dlc = frame.dlc > 8 ? 8 : frame.dlc;
    char buf[40];
    int n = extended ? std::snprintf(buf, sizeof buf, "%c%08" PRIX32 "%u", frame.rtr ? 'R' : 'T',
                                     frame.id & 0x1FFFFFFFu, dlc)
                     : std::snprintf(buf, sizeof buf, "%c%03" PRIX32 "%u", frame.rtr ? 'r' : 't',
                                     frame.id, dlc);
    std::string line(buf, static_cast<std::size_t>(n));
    if (!frame.rtr) {
        for (unsigned i = 0; i < dlc; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", frame.data[i]);
            line += buf;
        }
    }
    line += '\r';
    return line;
}

bool DecodeSlcanFrame(std::string_view line, KIV_CanFrame& out) {
    if (line.empty()) return false;
    const char kind = line[0];
    const bool extended = kind == 'T' || kind == 'R';
    const bool remote = kind == 'r' || kind == 'R';
    if (!extended && !remote && kind != 't') return false;
    line.remove_prefix(1);
    KIV_CanFrame f{};
    uint32_t id = 0, dlc = 0;
    if (!TakeHex(line, extended ? 8 : 3, id) || !TakeHex(line, 1, dlc) || dlc > 8) return false;
    if (id > (extended ? 0x1FFFFFFFu : 0x7FFu)) return false;
    f.id = id;
    f.dlc = static_cast<uint8_t>(dlc);
    f.rtr = remote ? 1 : 0;
    if (!remote) {
        for (uint32_t i = 0; i < dlc; ++i) {
            uint32_t b = 0;
            if (!TakeHex(line, 2, b)) return false;
            f.data[i] = static_cast<uint8_t>(b);
        }
    }
    // What may follow is a 4-digit timestamp, nothing else.
    uint32_t stamp = 0;
    if (!line.empty() && !(line.size() == 4 && TakeHex(line, 4, stamp))) return false;
    out = f;
    return true;
}

void SlcanReader::Feed(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r') {
            ready_.push_back({Kind::kLine, pending_});
            pending_.clear();
        } else if (c == '\a') {
            ready_.push_back({Kind::kRefused, {}});
            pending_.clear();
        } else if (c != '\n') {
            pending_ += c;
        }
    }
}

bool SlcanReader::Next(Item& out) {
    if (ready_.empty()) return false;
    out = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

}  // namespace orukiv::tool
