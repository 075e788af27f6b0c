// Test seams of the logger: its clock and its cache bound.
#pragma once

#include <cstddef>
#include <ctime>

namespace orukiv::logtest {

// Replaces the local-time source of log lines and file names (null restores
// the system clock). Returns false from the source to simulate a failure.
using LocalTimeFn = bool (*)(std::tm* out);
void SetLocalTimeSource(LocalTimeFn fn);

// True once the logger has been destroyed at exit; it then does nothing.
bool LoggerFinished();

// Most lines kept while the log file cannot be opened.
constexpr std::size_t kMaxCachedLines = 10000;

}  // namespace orukiv::logtest
