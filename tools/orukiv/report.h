// What a command tells the user: a line of text for people, or with --json
// exactly one JSON object per line for each result or event, always with
// "ok" and, on failure, "result" (the result code's name) and, for a server
// abort, "abortCode" and "abortText".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orukiv::tool {

class Session;

// The members of one JSON object, in the order added.
class Json {
public:
    Json& Int(std::string_view key, int64_t value);
    Json& Uint(std::string_view key, uint64_t value);
    Json& Bool(std::string_view key, bool value);
    Json& Str(std::string_view key, std::string_view value);
    // `json` is already JSON text (a nested value).
    Json& Raw(std::string_view key, std::string_view json);
    Json& Merge(const Json& other);
    // "{...}" with the members added.
    std::string Object() const;

private:
    std::string members_;
};

// `text` as a JSON string, quotes included.
std::string JsonString(std::string_view text);

// One JSON line on standard output: {"ok":ok, the session's context...,
// fields...}.
void PrintJson(const Session& s, bool ok, const Json& fields);
// A success: `human` on standard output, or {"ok":true, fields...}.
void PrintDone(const Session& s, const std::string& human, const Json& fields = {});
// A single library call's outcome: `done` on success, else as PrintFailure
// ("WHAT failed: ..."). Returns the exit status (0 or 1).
int PrintResult(const Session& s, const std::string& done, const std::string& what, int32_t result,
                const Json& fields = {});
// A failed library call: "orukiv: WHAT failed: RESULT" on standard error, or
// {"ok":false,"result":..., fields...} on standard output. Returns 1, the
// exit status of a failed operation. With KIV_OK as `result`, as PrintError.
int PrintFailure(const Session& s, const std::string& what, int32_t result, uint32_t abortCode = 0,
                 const Json& fields = {});
// A failure found by the tool itself: "orukiv: TEXT", or in JSON
// "result":"tool" and "error":TEXT. Returns 1.
int PrintError(const Session& s, const std::string& text, const Json& fields = {});
// A command line that cannot be run: "orukiv: TEXT", or in JSON
// "result":"usage" and "error":TEXT. Returns 2.
int PrintUsage(const Session& s, const std::string& text, const Json& fields = {});

}  // namespace orukiv::tool
