// The INI form of EDS and DCF files, read tolerantly: sections and their
// key=value lines with line numbers. What the lines mean is the model's
// business (od_model.cpp).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orukiv::od {

// Bounds of what the reader takes.
constexpr std::size_t kMaxFileBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxLineBytes = 65536;

struct IniKey {
    std::string key;         // lower-case, trimmed
    std::string_view value;  // trimmed, comments not removed; empty: absent
    uint32_t line;
};

struct IniSection {
    std::string name;          // lower-case, trimmed
    uint32_t line = 0;         // of the header
    uint32_t badLine = 0;      // first line that is neither key=value nor a
                               // comment (binary bytes, no "="); 0: none
    std::vector<IniKey> keys;  // sorted by key; the first given of a repeated key

    const IniKey* Find(std::string_view lowerKey) const;
};

// A refusal: 1-based line (0: not at a line) and message.
struct LoadError {
    uint32_t line = 0;
    std::string message;
};

// Warnings through the library's logger, at most kMaxWarnings lines per
// load (then one line saying how many more there were).
class Warnings {
public:
    static constexpr int kMaxWarnings = 32;
    ~Warnings();
    void Add(uint32_t line, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

private:
    int count_ = 0;
};

// Splits text into sections (text must outlive out: values are views into
// it). Lines before the first section are ignored, unless binary. A key given
// twice in a section keeps the first, with a warning naming both lines.
// False with error set for a line longer than kMaxLineBytes or binary
// bytes before the first section.
bool ReadIni(std::string_view text, std::vector<IniSection>& out, LoadError& error,
             Warnings& warnings);

}  // namespace orukiv::od
