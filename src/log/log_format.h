// printf-style formatting of log messages, quicker than vsnprintf for the
// plain conversions the library's messages use, with the same result.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace orukiv::logdetail {

// Formats as std::vsnprintf(out, size, format, args) would (size > 0: the
// text is cut to size - 1 characters and ended with a NUL) and returns the
// number of characters stored before the NUL. Conversions %d %i %u %x %X
// (also with l or ll), %s, %c and %% without flags, width or precision are
// done here; a format with anything else goes to std::vsnprintf whole.
std::size_t FormatMessage(char* out, std::size_t size, const char* format, va_list args);

}  // namespace orukiv::logdetail
