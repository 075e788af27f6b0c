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
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;  // UTF-8 passes as it is
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

void PrintDone(const Session& s, const std::string& human, const Json& fields) {
    if (!s.options().json) return PrintLine(stdout, human);
    PrintLine(stdout, Json().Bool("ok", true).Merge(fields).Object());
}

int PrintFailure(const Session& s, const std::string& what, int32_t result, uint32_t abortCode,
                 const Json& fields) {
    if (result == KIV_OK) return PrintError(s, what, fields);  // not the library's failure
    if (!s.options().json) {
        PrintLine(stderr, "orukiv: " + what + " failed: " + ResultText(result, abortCode));
        return 1;
    }
    Json j;
    j.Bool("ok", false).Str("result", ResultName(result));
    if (result == KIV_ERR_ABORTED && abortCode != 0)
        j.Uint("abortCode", abortCode).Str("abortText", KIV_SdoAbortText(abortCode));
    j.Str("error", what + " failed");
    PrintLine(stdout, j.Merge(fields).Object());
    return 1;
}

int PrintError(const Session& s, const std::string& text, const Json& fields) {
    if (!s.options().json) {
        PrintLine(stderr, "orukiv: " + text);
        return 1;
    }
    PrintLine(
        stdout,
        Json().Bool("ok", false).Str("result", "tool").Str("error", text).Merge(fields).Object());
    return 1;
}

}  // namespace orukiv::tool
