// The serial-line CAN protocol of the common low-cost USB adapters: ASCII
// commands and frames, each ending in a carriage return.
//   S0..S8          bitrate 10k, 20k, 50k, 100k, 125k, 250k, 500k, 800k, 1M
//   O / C           open / close the channel
//   tIIILDD..       standard data frame: 3 hex digits id, length, data
//   TIIIIIIIILDD..  extended data frame: 8 hex digits id
//   rIIIL / RIIIIIIIIL  remote frames
// An adapter answers a command with CR (done) or BEL (0x07, refused); a sent
// frame is confirmed with "z" / "Z" + CR by many adapters, with CR by
// others. Received frames may carry a 4-digit timestamp after the data.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "orukiv/orukiv.h"

namespace orukiv::tool {

// "S6" for 500000; nothing for a bitrate the protocol has no command for.
std::optional<std::string> SlcanBitrateCommand(uint32_t bitrate);

// The frame as a line, CR included. Ids above 0x7FF as extended frames.
std::string EncodeSlcanFrame(const KIV_CanFrame& frame);
// A t/T/r/R line without its CR; false when it is not a well-formed frame.
bool DecodeSlcanFrame(std::string_view line, KIV_CanFrame& out);

// Splits what a serial line delivers into lines (without the CR) and BEL
// refusals, whatever the chunks it arrives in.
class SlcanReader {
public:
    enum class Kind { kLine, kRefused };
    struct Item {
        Kind kind;
        std::string line;  // kLine: the text before the CR (may be empty)
    };

    void Feed(const char* data, std::size_t size);
    bool Next(Item& out);

private:
    std::string pending_;
    std::deque<Item> ready_;
};

}  // namespace orukiv::tool
