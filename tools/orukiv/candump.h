// Frame traces in the candump log form, one frame a line:
//   (1700000000.123456) sim 705#05      data frame, standard id
//   (1700000000.223456) sim 705#R       remote frame
//   (1700000000.323456) sim 12345678#01 id above 0x7FF: extended, 8 digits
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "orukiv/orukiv.h"

namespace orukiv::tool {

std::string CandumpLine(const KIV_CanFrame& frame, std::chrono::system_clock::time_point at,
                        const std::string& interface);

// Writes every frame handed to it, in both directions, to the console
// (--trace: standard output, or standard error under --json so that
// standard output stays JSON) and/or a file (--log); safe from any thread.
class FrameTrace {
public:
    // `console` (not owned) and `file` (owned) may be null.
    FrameTrace(std::string interface, std::FILE* console, std::FILE* file);
    ~FrameTrace();
    FrameTrace(const FrameTrace&) = delete;
    FrameTrace& operator=(const FrameTrace&) = delete;

    void Frame(const KIV_CanFrame& frame);

private:
    const std::string interface_;
    std::FILE* const console_;
    std::FILE* const file_;  // owned
    std::mutex m_;
};

}  // namespace orukiv::tool
