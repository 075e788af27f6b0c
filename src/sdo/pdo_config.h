// The PDO configuration procedure, and the running of a list of SDO writes
// with a KIV_ConfigReport. One routine for KIV_ConfigPDO, KIV_ConfigTPDO and
// the configuration download (od/od_download.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "orukiv/orukiv.h"

namespace orukiv::pdo {

// One SDO write; data points to size bytes the caller keeps alive.
struct Write {
    uint16_t index;
    uint8_t subIndex;
    const uint8_t* data;
    uint32_t size;
};

// What the procedure writes for one PDO. A null pointer leaves its steps out.
// In order:
//   1. the COB-ID with bit 31 set (the PDO invalid)       cobDisabled
//   2. the mapping count as 0                            count
//   3. the mapping entries, sub 1..                      entries
//   4. the mapping count                                 count
//   5. the other communication parameters               params
//   6. the COB-ID                                        cobFinal
// A node accepts a new mapping only while the PDO is invalid and its count
// is 0; the count written last makes it check the entries.
struct Procedure {
    uint16_t commIndex = 0;
    uint16_t mapIndex = 0;
    const uint8_t* cobDisabled = nullptr;  // 4 bytes
    const uint8_t* count = nullptr;        // 1 byte
    const Write* entries = nullptr;
    std::size_t entryCount = 0;
    const Write* params = nullptr;
    std::size_t paramCount = 0;
    const uint8_t* cobFinal = nullptr;  // 4 bytes
};

// The number of writes of p.
std::size_t StepCount(const Procedure& p);
// Puts p's writes into out (room for StepCount(p) writes); returns their number.
std::size_t Steps(const Procedure& p, Write* out);

// Carries out n writes on node through SDO (KIV_WriteObjectEx) and fills
// report (may be null) as KIV_ConfigureNode describes. Stops at the first
// failure unless goOn; with lastAlways the last write is made even after a
// failure (a COB-ID restored). Returns the first failure's result, else 0.
int32_t RunWrites(KIV_Handle handle, uint8_t node, const Write* writes, std::size_t n,
                  uint32_t skipped, bool goOn, bool lastAlways, KIV_ConfigReport* report);

}  // namespace orukiv::pdo
