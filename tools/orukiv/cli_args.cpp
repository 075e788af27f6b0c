// Arguments the commands share: numbers, nodes, durations, types, bytes.
#include <cmath>

#include "command.h"
#include "values.h"

namespace orukiv::tool {

CLI::Validator NumberCheck(int64_t lo, int64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string& text) -> std::string {
            if (ParseSigned(text, lo, hi)) return {};
            return "'" + text + "' is not a number from " + std::to_string(lo) + " to " +
                   std::to_string(hi) + " (decimal or 0x hex)";
        },
        "NUMBER");
}

CLI::Option* AddNumber(CLI::App& app, const std::string& name, int64_t& out, int64_t lo, int64_t hi,
                       const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&out](const std::string& text) { out = *ParseSigned(text, INT64_MIN, INT64_MAX); },
            help)
        ->check(NumberCheck(lo, hi));
}

CLI::Option* AddNode(CLI::App& app, int64_t& out, bool broadcast) {
    return AddNumber(app, "NODE", out, broadcast ? 0 : 1, 127)->required();
}

CLI::Option* AddSeconds(CLI::App& app, const std::string& name, double& out,
                        const std::string& help) {
    return app
        .add_option_function<std::string>(
            name, [&out](const std::string& text) { out = std::stod(text); }, help)
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                std::size_t used = 0;
                double v = -1;
                try {
                    v = std::stod(text, &used);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used == text.size() && std::isfinite(v) && v >= 0 && v <= 1e9) return {};
                return "'" + text + "' is not a number of seconds from 0 to 1000000000";
            },
            "SECONDS"));
}

CLI::Option* AddValueType(CLI::App& app, const ValueType*& out, const std::string& help) {
    return app
        .add_option_function<std::string>(
            "--type", [&out](const std::string& text) { out = FindValueType(text); }, help)
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                return FindValueType(text)
                           ? std::string()
                           : "unknown type '" + text + "' (" + ValueTypeNames() + ")";
            },
            ValueTypeNames()));
}

CLI::Option* AddHexBytes(CLI::App& app, const std::string& name, std::vector<uint8_t>& out,
                         std::size_t maxBytes, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&out](const std::string& text) {
                std::string error;
                out = *EncodeValue(*FindValueType("hex"), text, error);
            },
            help)
        ->check(CLI::Validator(
            [maxBytes](std::string& text) -> std::string {
                std::string error;
                const auto bytes = EncodeValue(*FindValueType("hex"), text, error);
                if (!bytes || bytes->size() > maxBytes)
                    return "'" + text + "' is not 1.." + std::to_string(maxBytes) + " hex bytes";
                return {};
            },
            "HEX"));
}

}  // namespace orukiv::tool
