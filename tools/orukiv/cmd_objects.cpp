// read and write: objects by INDEX SUB or by name, values by --type, by the
// node's dictionary or by size; and the monitor's SDO events named.
#include <cstdio>
#include <memory>

#include "cmd_od.h"
#include "command.h"
#include "procedures.h"
#include "report.h"

namespace orukiv::tool {

namespace {

struct Target {
    uint16_t index = 0;
    uint8_t sub = 0;
    std::optional<KIV_OdEntry> entry;  // when a dictionary knows it
};

// INDEX SUB, INDEX:SUB, NAME, or NAME SUB (an ARRAY's or RECORD's name).
// Every failure is a usage error.
std::optional<Target> Resolve(Session& s, uint8_t node, const std::vector<std::string>& args,
                              std::string& error) {
    Target t;
    std::optional<uint64_t> sub;
    if (args.size() == 2 && !(sub = ParseUnsigned(args[1], 0xFF))) {
        error = "SUB: '" + args[1] + "' is not a number from 0 to 255";
        return std::nullopt;
    }
    const auto colon = args[0].find(':');
    if (args.size() == 1 && colon != std::string::npos) {
        const auto index = ParseUnsigned(args[0].substr(0, colon), 0xFFFF);
        const auto s2 = ParseUnsigned(args[0].substr(colon + 1), 0xFF);
        if (index && s2) {
            t.index = static_cast<uint16_t>(*index);
            t.sub = static_cast<uint8_t>(*s2);
            t.entry = s.objects().Find(node, t.index, t.sub);
            return t;
        }
    }
    if (const auto index = ParseUnsigned(args[0], 0xFFFF)) {
        if (!sub) {
            error = "give INDEX SUB, INDEX:SUB or an object's name";
            return std::nullopt;
        }
        t.index = static_cast<uint16_t>(*index);
        t.sub = static_cast<uint8_t>(*sub);
        t.entry = s.objects().Find(node, t.index, t.sub);
        return t;
    }
    const KIV_Od* od = s.objects().Of(node);
    if (!od) {
        error = "no EDS for node " + std::to_string(node) + " to find '" + args[0] +
                "' in (give --eds " + std::to_string(node) + "=FILE, or INDEX SUB)";
        return std::nullopt;
    }
    const auto all = FindAllByName(
        od, args[0], sub ? std::optional<uint8_t>(static_cast<uint8_t>(*sub)) : std::nullopt);
    if (all.size() > 1) {
        error = "'" + args[0] + "' names " + std::to_string(all.size()) +
                " entries in the EDS of node " + std::to_string(node) +
                "; give the full name (Object.Sub) or INDEX:SUB:";
        for (const KIV_OdEntry& e : all) {
            char where[16];
            std::snprintf(where, sizeof where, "0x%04X:%02X", e.index, e.subIndex);
            error += std::string("\n  ") + where + "  " + EntryName(e);
        }
        return std::nullopt;
    }
    if (all.empty()) {
        error = "no object '" + args[0] + "'" + (sub ? " with sub-index " + args[1] : "") +
                " in the EDS of node " + std::to_string(node);
        return std::nullopt;
    }
    t.entry = all.front();
    t.index = t.entry->index;
    t.sub = t.entry->subIndex;
    return t;
}

std::string Describe(const KIV_OdEntry& e) {
    return "[" + EntryName(e) + ", " + DataTypeName(e.dataType) + "]";
}

Json ObjectFields(uint8_t node, uint16_t index, uint8_t sub) {
    return Json().Uint("node", node).Uint("index", index).Uint("subIndex", sub);
}

}  // namespace

bool LoadObjectBook(Session& s) {
    std::string error;
    if (s.objects().Load(s.options().eds, s.bus().Simulation() != nullptr, error)) return true;
    PrintUsage(s, error);
    return false;
}

int CmdRead(Session& s, uint8_t node, const std::vector<std::string>& object,
            const ValueType* type) {
    std::string error;
    const auto t = Resolve(s, node, object, error);
    if (!t) return PrintUsage(s, error, Json().Uint("node", node));
    Access a;
    bool interrupted = false;
    {
        CancelOnInterrupt cancel(s);  // Ctrl-C: the transfer is aborted at once
        a = s.Read(node, t->index, t->sub);
        interrupted = cancel.Cancelled();
    }
    // Shown as --type, else as the dictionary's type, else as the standard
    // signed objects are, else by its size.
    const ValueType* known = KnownObjectType(t->index, t->sub);
    const bool byEntry = !type && t->entry;
    if (!type && !byEntry && known && known->size == a.data.size()) type = known;
    const std::string name = ObjectName(node, t->index, t->sub);
    const std::string described = byEntry ? "  " + Describe(*t->entry) : "";
    const Json where = ObjectFields(node, t->index, t->sub);
    if (!a.ok())
        return PrintFailure(s, (interrupted ? "interrupted: read " : "read ") + name + described,
                            a.result, a.abortCode, where);
    const uint8_t* data = a.data.data();
    const std::size_t size = a.data.size();
    if (type && type->size != 0 && type->size != size)
        return PrintError(s,
                          name + " holds " + std::to_string(size) + " bytes (" +
                              HexBytes(data, size) + "), not a " + type->name,
                          Json(where).Uint("size", size));
    const uint16_t dataType = byEntry ? t->entry->dataType : 0;
    PrintDone(
        s,
        name + " = " +
            (byEntry ? FormatTyped(dataType, data, size) : FormatValue(type, data, size)) +
            described,
        Json(where)
            .Uint("size", size)
            .Str("data", HexBytesLower(data, size))
            .Raw("value", byEntry ? JsonTyped(dataType, data, size) : JsonValue(type, data, size)));
    return kExitOk;
}

int CmdWrite(Session& s, uint8_t node, const std::vector<std::string>& objectAndValue,
             const ValueType* type) {
    const std::vector<std::string> object(objectAndValue.begin(), objectAndValue.end() - 1);
    const std::string& value = objectAndValue.back();
    std::string error;
    const auto t = Resolve(s, node, object, error);
    if (!t) return PrintUsage(s, error, Json().Uint("node", node));
    const Json where = ObjectFields(node, t->index, t->sub);
    // Typed as --type, else as the dictionary's entry, else as the standard
    // signed objects, else a number is a u32 (i32 when negative) and
    // anything else text. Whatever does not fit is refused unsent.
    const bool byEntry = !type && t->entry;
    std::optional<std::vector<uint8_t>> bytes;
    if (byEntry) {
        bytes = ParseTyped(t->entry->dataType, value, error);
    } else {
        if (!type && LooksNumeric(value)) type = KnownObjectType(t->index, t->sub);
        if (!type) {
            if (LooksNumeric(value) && !ParseSigned(value, INT32_MIN, UINT32_MAX))
                return PrintError(s,
                                  "'" + value +
                                      "' is not an integer that fits 32 bits; nothing was sent "
                                      "(--type str sends it as text)",
                                  where);
            const bool number = LooksNumeric(value);
            type = FindValueType(!number ? "str" : value[0] == '-' ? "i32" : "u32");
        }
        bytes = EncodeValue(*type, value, error);
    }
    if (!bytes) return PrintError(s, error + "; nothing was sent", where);
    Access a;
    bool interrupted = false;
    {
        CancelOnInterrupt cancel(s);  // Ctrl-C: the transfer is aborted at once
        a = s.Write(node, t->index, t->sub, *bytes);
        interrupted = cancel.Cancelled();
    }
    const std::string what =
        ObjectName(node, t->index, t->sub) + " <- " +
        (byEntry ? FormatTyped(t->entry->dataType, bytes->data(), bytes->size()) + " " +
                       Describe(*t->entry)
                 : FormatValue(type, bytes->data(), bytes->size()) + " [" + type->name + "]");
    const Json fields = Json(where)
                            .Uint("size", bytes->size())
                            .Str("data", HexBytesLower(bytes->data(), bytes->size()));
    if (!a.ok())
        return PrintFailure(s, (interrupted ? "interrupted: write " : "write ") + what, a.result,
                            a.abortCode, fields);
    PrintDone(s, what + ": done", fields);
    return kExitOk;
}

Command ReadCommand() {
    return {"read", "read an object: NODE INDEX SUB, or NODE NAME [SUB]",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0;
                    std::vector<std::string> object;
                    const ValueType* type = nullptr;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                app.add_option("OBJECT", a->object,
                               "INDEX SUB, INDEX:SUB, or its name in the node's EDS (Object.Sub "
                               "when a name is shared)")
                    ->required()
                    ->expected(1, 2);
                AddValueType(app, a->type,
                             "how to show the value (default: as the EDS says, else by its "
                             "size); a size that does not match the type fails");
                return [a](Session& s) {
                    return CmdRead(s, static_cast<uint8_t>(a->node), a->object, a->type);
                };
            }};
}

Command WriteCommand() {
    return {"write", "write an object: NODE INDEX SUB VALUE, or NODE NAME [SUB] VALUE",
            [](CLI::App& app) -> Handler {
                struct Args {
                    int64_t node = 0;
                    std::vector<std::string> objectAndValue;
                    const ValueType* type = nullptr;
                };
                auto a = std::make_shared<Args>();
                AddNode(app, a->node);
                app.add_option("OBJECT", a->objectAndValue,
                               "INDEX SUB VALUE, INDEX:SUB VALUE, or NAME VALUE; `--` before a "
                               "value that starts with '-' and a letter (-- -inf)")
                    ->required()
                    ->expected(2, 3);
                AddValueType(app, a->type,
                             "value type (default: as the EDS says, else u32 for numbers, i32 "
                             "for negative ones, str for text); a value that does not fit is "
                             "refused unsent");
                return [a](Session& s) {
                    return CmdWrite(s, static_cast<uint8_t>(a->node), a->objectAndValue, a->type);
                };
            }};
}

std::string SdoObjectNote(Session& s, const KIV_Event& event) {
    if (event.type != KIV_EVENT_SDO || event.body.sdo.sdoKind == KIV_SDO_OTHER) return {};
    const auto& sdo = event.body.sdo;
    const auto e =
        s.objects().Find(static_cast<uint8_t>(event.node & 0x7F), sdo.index, sdo.subIndex);
    if (!e) return {};
    std::string note = "  [" + EntryName(*e);
    // Expedited data of the entry's own size is its value.
    const bool data = sdo.sdoKind == KIV_SDO_WRITE_REQUEST || sdo.sdoKind == KIV_SDO_READ_RESPONSE;
    const uint32_t fixed = e->dataType == KIV_OD_BOOLEAN  ? 1
                           : e->dataType == KIV_OD_REAL32 ? 4
                                                          : IntegerSize(e->dataType);
    if (data && sdo.sdoLength > 0 && sdo.sdoLength == fixed)
        note += " = " + FormatTyped(e->dataType, sdo.sdoData, sdo.sdoLength);
    return note + "]";
}

}  // namespace orukiv::tool
