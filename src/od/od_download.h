// Configuration download: the SDO writes that put a DCF's values into a node
// (PDO records by the CiA 301 procedure), as a list, as a concise DCF, and
// carried out.
#pragma once

#include <cstdint>
#include <vector>

#include "od/od_model.h"
#include "sdo/pdo_config.h"

namespace orukiv::od {

// One SDO write of a download; data points into the dictionary, the concise
// DCF or the write's own bytes.
using Write = pdo::Write;

struct Plan {
    std::vector<Write> writes;
    std::vector<std::vector<uint8_t>> owned;  // COB-IDs with bit 31 set
    uint32_t skipped = 0;                     // values of entries not writable
};

// The download of dcf. False when an entry to be written has a $NODEID
// value left unresolved: badIndex/badSub name it.
bool BuildPlan(const KIV_Od& dcf, Plan& plan, uint16_t& badIndex, uint8_t& badSub);

// The writes of a concise DCF; false when it is malformed.
bool DecodeConcise(const uint8_t* data, uint32_t size, std::vector<Write>& writes);

// The concise DCF of writes.
std::vector<uint8_t> EncodeConcise(const std::vector<Write>& writes);

// Carries writes out on node through SDO, as KIV_ConfigureNode says.
int32_t RunWrites(KIV_Handle handle, uint8_t node, const std::vector<Write>& writes,
                  uint32_t skipped, KIV_ConfigReport* report);

}  // namespace orukiv::od
