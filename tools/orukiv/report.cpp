// Results for people and for programs.
#include "report.h"

#include <cstdio>

#include "master.h"
#include "session.h"

namespace orukiv::tool {

namespace {

void Member(std::string& members, std::string_view key, const std::string& json) {
    if (!members.empty()) members += ',';
    members += JsonString(key);
    members += ':';
    members += json;
}

void PrintLine(std::FILE* f, const std::string& line) {
    std::fprintf(f, "%s\n", line.c_str());
    std::fflush(f);
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    char buf[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            // A whole UTF-8 sequence passes as it is; other bytes are taken
            // as Latin-1, as older EDS files are written.
            const std::size_t n = (c & 0xE0) == 0xC0   ? 2
                                  : (c & 0xF0) == 0xE0 ? 3
                                  : (c & 0xF8) == 0xF0 ? 4
                                                       : 0;
            bool valid = n > 0 && i + n <= text.size();
            for (std::size_t k = 1; valid && k < n; ++k)
                valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
            if (valid) {
                out.append(text.substr(i, n));
                i += n - 1;
            } else {
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            }
        }
    }
    return out + '"';
}

Json& Json::Int(std::string_view key, int64_t value) {
    Member(members_, key, std::to_string(value));
    return *this;
}

Json& Json::Uint(std::string_view key, uint64_t value) {
    Member(members_, key, std::to_string(value));
    return *this;
}

Json& Json::Bool(std::string_view key, bool value) {
    Member(members_, key, value ? "true" : "false");
    return *this;
}

Json& Json::Str(std::string_view key, std::string_view value) {
    Member(members_, key, JsonString(value));
    return *this;
}

Json& Json::Raw(std::string_view key, std::string_view json) {
    Member(members_, key, std::string(json));
    return *this;
}

Json& Json::Merge(const Json& other) {
    if (!other.members_.empty()) {
        if (!members_.empty()) members_ += ',';
        members_ += other.members_;
    }
    return *this;
}

std::string Json::Object() const {
    return "{" + members_ + "}";
}

void PrintJson(const Session& s, bool ok, const Json& fields) {
    PrintLine(stdout, Json().Bool("ok", ok).Merge(s.context()).Merge(fields).Object());
}

void PrintDone(const Session& s, const std::string& human, const Json& fields) {
    if (!s.options().json) return PrintLine(stdout, human);
    PrintJson(s, true, fields);
}

int PrintFailure(const Session& s, const std::string& what, int32_t result, uint32_t abortCode,
                 const Json& fields) {
    if (result == KIV_OK) return PrintError(s, what, fields);  // not the library's failure
    if (!s.options().json) {
        PrintLine(stderr, "orukiv: " + what + " failed: " + ResultText(result, abortCode));
        return 1;
    }
    Json j;
    j.Str("result", ResultName(result));
    if (result == KIV_ERR_ABORTED && abortCode != 0)
        j.Uint("abortCode", abortCode).Str("abortText", KIV_SdoAbortText(abortCode));
    j.Str("error", what + " failed");
    PrintJson(s, false, j.Merge(fields));
    return 1;
}

int PrintError(const Session& s, const std::string& text, const Json& fields) {
    if (!s.options().json) {
        PrintLine(stderr, "orukiv: " + text);
        return 1;
    }
    PrintJson(s, false, Json().Str("result", "tool").Str("error", text).Merge(fields));
    return 1;
}

int PrintResult(const Session& s, const std::string& done, const std::string& what, int32_t result,
                const Json& fields) {
    if (result != KIV_OK) return PrintFailure(s, what, result, 0, fields);
    PrintDone(s, done, fields);
    return 0;
}

int PrintUsage(const Session& s, const std::string& text, const Json& fields) {
    if (!s.options().json) {
        PrintLine(stderr, "orukiv: " + text);
        return 2;
    }
    PrintJson(s, false, Json().Str("result", "usage").Str("error", text).Merge(fields));
    return 2;
}

}  // namespace orukiv::tool
