// Line-level reading of EDS/DCF files: CR LF or LF endings, a UTF-8 byte-order
// mark, ";" and "#" comment lines, blanks around names and "=", names in any
// case; binary lines are noted for the model to refuse where they matter.
#include "od/ini_reader.h"

#include <algorithm>
#include <cstdio>

#include "log/log.h"
#include "od/od_types.h"

namespace orukiv::od {

namespace {

bool IsBinary(std::string_view line) {
    for (char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7F) return true;
    }
    return false;
}

// Sorts a finished section's keys; a repeated key keeps its first line.
void Finish(IniSection& s, Warnings& warnings) {
    std::stable_sort(s.keys.begin(), s.keys.end(),
                     [](const IniKey& a, const IniKey& b) { return a.key < b.key; });
    auto out = s.keys.begin();
    for (auto it = s.keys.begin(); it != s.keys.end(); ++it) {
        if (out != s.keys.begin() && (out - 1)->key == it->key) {
            if ((out - 1)->value.empty()) {  // an empty value is an absent one
                *(out - 1) = std::move(*it);
                continue;
            }
            if (it->value.empty()) continue;
            warnings.Add(it->line, "key \"%s\" of [%s] given again (first at line %u): ignored",
                         it->key.c_str(), s.name.c_str(), static_cast<unsigned>((out - 1)->line));
            continue;
        }
        if (out != it) *out = std::move(*it);
        ++out;
    }
    s.keys.erase(out, s.keys.end());
}

}  // namespace

const IniKey* IniSection::Find(std::string_view lowerKey) const {
    const auto it = std::lower_bound(keys.begin(), keys.end(), lowerKey,
                                     [](const IniKey& k, std::string_view v) { return k.key < v; });
    return (it != keys.end() && it->key == lowerKey) ? &*it : nullptr;
}

Warnings::~Warnings() {
    if (count_ > kMaxWarnings)
        Log().Warn("object dictionary: %d more warnings not shown", count_ - kMaxWarnings);
}

void Warnings::Add(uint32_t line, const char* format, ...) {
    if (++count_ > kMaxWarnings) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (line != 0)
        Log().Warn("object dictionary, line %u: %s", static_cast<unsigned>(line), text);
    else
        Log().Warn("object dictionary: %s", text);
}

bool ReadIni(std::string_view text, std::vector<IniSection>& out, LoadError& error,
             Warnings& warnings) {
    if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    IniSection* current = nullptr;
    uint32_t lineNo = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        ++lineNo;
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > kMaxLineBytes) {
            error = {lineNo, "line longer than " + std::to_string(kMaxLineBytes) + " bytes"};
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        const bool binary = IsBinary(line);
        if (!binary && line[0] == '[') {
            const std::size_t close = line.find(']');
            if (close != std::string_view::npos) {
                if (current != nullptr) Finish(*current, warnings);
                current = &out.emplace_back();
                current->name = ToLower(Trim(line.substr(1, close - 1)));
                current->line = lineNo;
                continue;
            }
        }
        const std::size_t eq = binary ? std::string_view::npos : line.find('=');
        const bool keyLine = eq != std::string_view::npos && !Trim(line.substr(0, eq)).empty();
        if (current == nullptr) {
            if (binary) {
                error = {lineNo, "binary bytes before the first section: not an EDS or DCF file"};
                return false;
            }
            continue;
        }
        if (!keyLine) {
            if (current->badLine == 0) current->badLine = lineNo;
            continue;
        }
        const std::string_view value = Trim(line.substr(eq + 1));
        current->keys.push_back({ToLower(Trim(line.substr(0, eq))), value, lineNo});
    }
    if (current != nullptr) Finish(*current, warnings);
    return true;
}

}  // namespace orukiv::od
