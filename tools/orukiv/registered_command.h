// A command that declares its own CLI11 subcommand and options, so that
// main.cpp only lists it and runs it when it was chosen.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "session.h"

namespace orukiv::tool {

struct RegisteredCommand {
    CLI::App* sub;                     // chosen when *sub is true
    std::function<int(Session&)> run;  // its exit status
};

// `orukiv lss scan|set-id|inquire` (cmd_lss.cpp).
RegisteredCommand RegisterLssCommand(CLI::App& app);
// `orukiv boot NODE ...` (cmd_boot.cpp).
RegisteredCommand RegisterBootCommand(CLI::App& app);

// "V:P:R:S", each decimal or 0x hex; false when malformed.
bool ParseIdentity(const std::string& text, uint32_t out[4]);
// "0x00000A1F:0x00000305:0x00010000:0x00C0FFEE"
std::string IdentityText(const uint32_t id[4]);

}  // namespace orukiv::tool
