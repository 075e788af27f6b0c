// The commands that work with object dictionaries (EDS and DCF files):
// objects by name and values by type in read, write and monitor; the od,
// concise and configure commands. Each returns the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "session.h"
#include "values.h"

namespace orukiv::tool {

// Loads the dictionaries of --eds (and the simulated nodes' own on the
// simulated bus) into the session; false, with the reason printed, when
// one does not load.
bool LoadObjectBook(Session& s);

// For the monitor: the name (and value, by type) of an SDO event's object,
// as "  [Producer heartbeat time = 1000]"; "" for other events and objects
// no dictionary names.
std::string SdoObjectNote(Session& s, const KIV_Event& event);

// od FILE [--node N] [--json]: lists the dictionary, one line per entry.
int CmdOd(const std::string& path, uint8_t node, bool json);
// concise FILE.dcf OUT.bin [--node N]: writes the DCF's download as a
// concise DCF (node N resolves $NODEID).
int CmdConcise(Session& s, const std::string& dcfPath, const std::string& outPath, uint8_t node);
// As above, reporting in words.
int CmdConcise(const std::string& dcfPath, const std::string& outPath, uint8_t node);
// configure NODE FILE: applies a DCF, or a concise DCF (FILE ending in
// .bin), to the node; a line per step and a summary.
int CmdConfigure(Session& s, uint8_t node, const std::string& path);

// One entry as the line `od --json` prints (no newline).
std::string OdEntryJson(const KIV_OdEntry& e);

}  // namespace orukiv::tool
