// What every command works with: the bus, the library instance on it and
// the common options, plus the object accesses the commands share.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "master.h"
#include "od_book.h"
#include "report.h"

namespace orukiv::tool {

struct Options {
    std::string bus = "sim";
    uint32_t timeoutMs = 1000;  // SDO time-out
    bool timeoutGiven = false;
    bool trace = false;
    std::string logFile;
    uint32_t lowLatencyUs = 0;     // worker period in low-latency mode; 0: default timing
    bool json = false;             // results and events as JSON lines
    std::vector<std::string> eds;  // --eds NODE=FILE
    uint32_t maxSize = 16u << 20;  // largest object a read takes (--max-size)
    int unconfigured = 0;          // --unconfigured: LSS slaves on the simulated bus
};

// The outcome of one SDO access.
struct Access {
    int32_t result = KIV_OK;
    uint32_t abortCode = 0;
    std::vector<uint8_t> data;  // reads: the bytes received

    bool ok() const { return result == KIV_OK; }
    std::string Error() const { return ResultText(result, abortCode); }
    // The bytes as a little-endian number (at most 4 bytes).
    uint32_t U32() const;
};

class Session {
public:
    Session(const Options& options, Master& master) : options_(options), master_(&master) {}
    // Without a bus (commands that run alone): only options() may be used.
    explicit Session(const Options& options) : options_(options), master_(nullptr) {}

    KIV_Handle h() const { return master_->Handle(); }
    Master& master() { return *master_; }
    Bus& bus() { return master_->bus(); }
    const Options& options() const { return options_; }
    // The nodes' dictionaries (ObjectBook::Load'ed by main).
    ObjectBook& objects() { return objects_; }
    // Members every JSON result carries after "ok" (the shell's line number
    // and text); empty outside the shell.
    const Json& context() const { return context_; }
    void SetContext(const Json& context) { context_ = context; }

    // Reads up to options().maxSize bytes (the server picks the protocol);
    // a longer object fails with KIV_ERR_PARAM and a message on stderr.
    Access Read(uint8_t node, uint16_t index, uint8_t sub);
    Access Write(uint8_t node, uint16_t index, uint8_t sub, const std::vector<uint8_t>& data);
    Access WriteU(uint8_t node, uint16_t index, uint8_t sub, uint32_t value, std::size_t size);

private:
    const Options& options_;
    Master* const master_;
    ObjectBook objects_;
    Json context_;
};

// While it lives, the first interrupt (Ctrl-C, SIGTERM; interrupt.h)
// cancels the instance's SDO transfers (KIV_Cancel for every node) within
// 20 ms: each ends with KIV_ERR_CANCELLED, and one whose initiate went out
// sends its abort frame, so that the command ends at once with no second
// Ctrl-C. Transfers started after the cancel run normally.
class CancelOnInterrupt {
public:
    explicit CancelOnInterrupt(Session& s);
    ~CancelOnInterrupt();
    CancelOnInterrupt(const CancelOnInterrupt&) = delete;
    CancelOnInterrupt& operator=(const CancelOnInterrupt&) = delete;
    // True once the interrupt cancelled the transfers.
    bool Cancelled() const { return cancelled_.load(); }

private:
    const KIV_Handle h_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> cancelled_{false};
    std::thread watch_;
};

// One SDO write of a compound command (power-on, move, tpdo), named for
// the user.
struct Step {
    std::string step;
    uint16_t index;
    uint8_t sub;
    uint32_t value;
    std::size_t size;  // bytes
};
struct StepFailure {
    std::string step;  // "disable the PDO (node 5 0x1800:01)"
    Access access;
};
// Writes the steps in order; false at the first failure, which `failed` names.
bool RunSteps(Session& s, uint8_t node, const std::vector<Step>& steps, StepFailure& failed);

// "node 5 0x1008:00"
std::string ObjectName(uint8_t node, uint16_t index, uint8_t sub);

}  // namespace orukiv::tool
