// `orukiv demo`: one scripted run of the master on the simulated network.
// Each step prints what it did and checks what it should have caused; the
// demo passes only when every step does. New steps go into kSteps.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cmd_cyclic.h"
#include "cmd_od.h"
#include "command.h"
#include "event_text.h"
#include "orukiv_common/byte_order.h"
#include "orukiv_sim/sim.h"
#include "procedures.h"

namespace orukiv::tool {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kDrive = sim::SimNetwork::kDriveNode;
constexpr uint8_t kIo = sim::SimNetwork::kIoNode;
constexpr auto kEventWait = milliseconds(2000);

class Demo {
public:
    Demo(Session& s, sim::SimNetwork& net)
        : s(s), net(net), listener(net.Bus().Attach("demo listener")) {}
    ~Demo() {
        if (lssTicker) lssTicker->Stop();
        if (newTicker) newTicker->Stop();
        net.Bus().Detach(listener);
    }

    Session& s;
    sim::SimNetwork& net;
    std::shared_ptr<sim::Endpoint> listener;  // sees every frame the master sends
    // The LSS step's slave, without a node-ID until the demo gives it one.
    std::unique_ptr<sim::SimNode> lssNode;
    std::unique_ptr<sim::SimTicker> lssTicker;
    // The network step's four new slaves.
    std::vector<std::unique_ptr<sim::SimNode>> newSlaves;
    std::unique_ptr<sim::SimTicker> newTicker;

    // Under --json the lines of a step are kept for its JSON line.
    void Say(const std::string& line) {
        if (s.options().json)
            said.push_back(line);
        else
            std::printf("  %s\n", line.c_str());
    }
    bool Fail(const std::string& why) {
        Say("FAILED: " + why);
        return false;
    }
    std::vector<std::string> said;
    // Waits for an event after `from`; prints it. False on time-out.
    bool Expect(const std::string& what, const EventLog::Predicate& match, std::size_t from,
                KIV_Event* out = nullptr) {
        const long i = s.master().Events().WaitFor(match, from, kEventWait);
        if (i < 0)
            return Fail("no " + what + " within " + std::to_string(kEventWait.count()) + " ms");
        const KIV_Event e = s.master().Events().Since(static_cast<std::size_t>(i)).front();
        Say("event: " + EventText(e));
        if (out) *out = e;
        return true;
    }
    std::size_t Mark() const { return s.master().Events().Size(); }
};

auto IsHeartbeat(uint8_t node, uint32_t state) {
    return [=](const KIV_Event& e) {
        return e.type == KIV_EVENT_HEARTBEAT && e.node == node && e.body.heartbeat.state == state;
    };
}

auto IsPdo(uint32_t cobId) {
    return [=](const KIV_Event& e) {
        return e.type == KIV_EVENT_FRAME && e.body.frame.cobId == cobId;
    };
}

// ---- Steps ------------------------------------------------------------------

bool Scan(Demo& d) {
    const std::vector<NodeInfo> nodes = ScanNodes(d.s);
    PrintNodes(nodes);
    if (nodes.size() != 2 || nodes[0].node != kDrive || nodes[1].node != kIo)
        return d.Fail("expected nodes 5 and 10");
    for (const NodeInfo& n : nodes)
        if (!n.hasIdentity || n.name.empty())
            return d.Fail("node " + std::to_string(n.node) + " without identity or name");
    return true;
}

bool Heartbeats(Demo& d) {
    for (uint8_t node : {kDrive, kIo}) {
        const int32_t r = KIV_NMT_SetHeartbeatPeriod(d.s.h(), node, 100);
        if (r != KIV_OK)
            return d.Fail("heartbeat period of node " + std::to_string(node) + ": " +
                          ResultText(r));
    }
    d.Say("heartbeat period 100 ms set on nodes 5 and 10 (0x1017)");
    // Monitoring: count what arrives in 600 ms.
    const std::size_t from = d.Mark();
    std::this_thread::sleep_for(milliseconds(600));
    int count[2] = {0, 0};
    for (const KIV_Event& e : d.s.master().Events().Since(from))
        if (e.type == KIV_EVENT_HEARTBEAT) ++count[e.node == kDrive ? 0 : 1];
    d.Say("heartbeats in 600 ms: node 5: " + std::to_string(count[0]) +
          ", node 10: " + std::to_string(count[1]));
    if (count[0] < 3 || count[1] < 3) return d.Fail("expected about 6 heartbeats from each node");
    return true;
}

bool NmtStart(Demo& d) {
    const std::size_t from = d.Mark();
    const int32_t r = KIV_NMT_SendCommand(d.s.h(), 0, KIV_NMT_CMD_START);
    if (r != KIV_OK) return d.Fail("NMT start: " + ResultText(r));
    d.Say("NMT start sent to all nodes");
    return d.Expect("operational heartbeat of node 5",
                    IsHeartbeat(kDrive, KIV_NMT_STATE_OPERATIONAL), from) &&
           d.Expect("operational heartbeat of node 10", IsHeartbeat(kIo, KIV_NMT_STATE_OPERATIONAL),
                    from);
}

bool Guarding(Demo& d) {
    // The node answers each guarding request with its state and a toggle
    // bit that alternates. Its heartbeat is silenced meanwhile (a test knob)
    // so that only guarding answers come from it.
    d.net.Drive().SetHeartbeatSilenced(true);
    bool ok = true;
    for (uint8_t expected : {0x05, 0x85}) {
        std::this_thread::sleep_for(milliseconds(150));  // a heartbeat in flight passes
        d.listener->ClearQueue();
        KIV_SendNodeGuardRequest(d.s.h(), kDrive);
        KIV_CanFrame f{};
        const auto until = Clock::now() + kEventWait;
        bool got = false;
        while (!got && Clock::now() < until)
            got = d.listener->WaitPopFor(f, milliseconds(50)) && f.id == 0x700u + kDrive &&
                  f.rtr == 0 && f.dlc == 1;
        if (!got) {
            ok = d.Fail("no guarding answer");
            break;
        }
        char buf[96];
        std::snprintf(buf, sizeof buf, "guarding answer 0x%02X: toggle %u, %s", f.data[0],
                      f.data[0] >> 7, NmtStateName(f.data[0] & 0x7F).c_str());
        d.Say(buf);
        if (f.data[0] != expected) {
            ok = d.Fail("expected 0x" + HexBytes(&expected, 1));
            break;
        }
    }
    d.net.Drive().SetHeartbeatSilenced(false);
    return ok;
}

auto IsNodeState(uint8_t node, uint8_t cause) {
    return [=](const KIV_Event& e) {
        return e.type == KIV_EVENT_NODE_STATE && e.node == node && e.body.nodeState.cause == cause;
    };
}

// What KIV_GetNodeState says of a node, in words; false when it is not
// `alive` in `state`.
bool NodeStatusIs(Demo& d, uint8_t node, bool alive, uint8_t state) {
    KIV_NodeStatus st{};
    const int32_t r = KIV_GetNodeState(d.s.h(), node, &st);
    if (r != KIV_OK) return d.Fail("KIV_GetNodeState: " + ResultText(r));
    static const char* const kModes[] = {"none", "heartbeat", "guarding"};
    d.Say("KIV_GetNodeState: node " + std::to_string(node) + " " +
          (st.alive ? "alive" : "not alive") + ", state " + NmtStateName(st.state) +
          ", supervision " + (st.mode < std::size(kModes) ? kModes[st.mode] : "?"));
    if (st.mode != KIV_SUPERVISION_HEARTBEAT || (st.alive != 0) != alive || st.state != state)
        return d.Fail(std::string("expected ") + (alive ? "alive" : "not alive") + " and " +
                      NmtStateName(state));
    return true;
}

bool Supervision(Demo& d) {
    // Heartbeats come every 100 ms; the time-out leaves room for a late
    // worker pass and a coarse clock (16 ms steps on Windows).
    constexpr uint32_t kTimeoutMs = 400;
    const std::size_t from = d.Mark();
    for (uint8_t node : {kDrive, kIo}) {
        const int32_t r = KIV_SuperviseNode(d.s.h(), node, kTimeoutMs);
        if (r != KIV_OK) return d.Fail("KIV_SuperviseNode: " + ResultText(r));
    }
    d.Say("heartbeats of nodes 5 and 10 supervised, lost after " + std::to_string(kTimeoutMs) +
          " ms");
    bool ok =
        d.Expect("first node state of node 5", IsNodeState(kDrive, KIV_NODE_STATE_CHANGED), from) &&
        d.Expect("first node state of node 10", IsNodeState(kIo, KIV_NODE_STATE_CHANGED), from);
    const std::size_t silenced = d.Mark();
    d.net.Drive().SetHeartbeatSilenced(true);
    d.Say("heartbeat of node 5 silenced");
    KIV_Event lost{};
    ok = ok && d.Expect("heartbeat lost of node 5", IsNodeState(kDrive, KIV_NODE_HEARTBEAT_LOST),
                        silenced, &lost);
    if (ok && (lost.body.nodeState.newState != KIV_NMT_STATE_UNKNOWN ||
               lost.body.nodeState.sinceLastMs <= kTimeoutMs))
        ok = d.Fail("the loss came early or left a state");
    ok = ok && NodeStatusIs(d, kDrive, false, KIV_NMT_STATE_UNKNOWN) &&
         NodeStatusIs(d, kIo, true, KIV_NMT_STATE_OPERATIONAL);
    const std::size_t back = d.Mark();
    d.net.Drive().SetHeartbeatSilenced(false);
    d.Say("heartbeat of node 5 on again");
    KIV_Event again{};
    ok = ok && d.Expect("node 5 back", IsNodeState(kDrive, KIV_NODE_BACK), back, &again);
    if (ok && again.body.nodeState.newState != KIV_NMT_STATE_OPERATIONAL)
        ok = d.Fail("node 5 came back in another state than operational");
    ok = ok && NodeStatusIs(d, kDrive, true, KIV_NMT_STATE_OPERATIONAL);
    for (const KIV_Event& e : d.s.master().Events().Since(from))
        if (ok && e.type == KIV_EVENT_NODE_STATE && e.node == kIo &&
            e.body.nodeState.cause == KIV_NODE_HEARTBEAT_LOST)
            ok = d.Fail("node 10 was declared lost");
    // Whatever happened, the later steps run as before: unsupervised.
    d.net.Drive().SetHeartbeatSilenced(false);
    for (uint8_t node : {kDrive, kIo}) KIV_SuperviseNode(d.s.h(), node, 0);
    d.Say("supervision stopped");
    return ok;
}

bool MapTpdo(Demo& d) {
    const KIV_PdoMapEntry entries[] = {KIV_MakePdoMapEntry(0x6041, 0, 16),
                                       KIV_MakePdoMapEntry(0x6064, 0, 32)};
    const int32_t r = KIV_ConfigTPDO(d.s.h(), kDrive, 1, entries, 2);
    if (r != KIV_OK) return d.Fail("KIV_ConfigTPDO: " + ResultText(r));
    std::string error;
    const std::string now = DescribeTpdo(d.s, kDrive, 1, error);
    if (now.empty()) return d.Fail(error);
    d.Say("TPDO1 of node 5 mapped to statusword and actual position: " + now);
    if (now != "COB-ID 0x185 (valid), mapping 0x6041:00/16 0x6064:00/32")
        return d.Fail("the mapping in force is not the one written");
    return true;
}

bool SyncPdos(Demo& d) {
    d.net.Io().SetInputs(0x5A);
    d.Say("inputs of the I/O module wired to 0x5A");
    const std::size_t from = d.Mark();
    if (KIV_SendSYNC(d.s.h()) != KIV_OK) return d.Fail("SYNC not sent");
    d.Say("SYNC sent");
    KIV_Event drive{}, io{};
    if (!d.Expect("TPDO1 of node 5", IsPdo(0x185), from, &drive) ||
        !d.Expect("TPDO1 of node 10", IsPdo(0x18A), from, &io))
        return false;
    const auto& f = drive.body.frame;
    if (f.frameLength != 6) return d.Fail("TPDO1 of node 5 is not 6 bytes");
    const auto sw = static_cast<uint16_t>(LoadLe(f.frameData, 2));
    char buf[120];
    std::snprintf(buf, sizeof buf,
                  "decoded: node 5 statusword 0x%04X (%s), position %d; node 10 inputs 0x%02X", sw,
                  DriveStateOf(sw), static_cast<int>(LoadLe(f.frameData + 2, 4)),
                  io.body.frame.frameData[0]);
    d.Say(buf);
    if (io.body.frame.frameLength != 1 || io.body.frame.frameData[0] != 0x5A)
        return d.Fail("inputs not 0x5A");
    return true;
}

bool Outputs(Demo& d) {
    const uint8_t bits = 0xA5;
    if (KIV_SendPDO(d.s.h(), 0x200 + kIo, &bits, 1) != KIV_OK) return d.Fail("RPDO not sent");
    d.Say("RPDO1 of node 10 (0x20A) sent with outputs 0xA5");
    const Access a = d.s.Read(kIo, 0x6200, 1);
    if (!a.ok()) return d.Fail("read of 0x6200:01: " + a.Error());
    d.Say("read back " + ObjectName(kIo, 0x6200, 1) + " = " +
          FormatValue(FindValueType("u8"), a.data.data(), a.data.size()));
    return a.data.size() == 1 && a.data[0] == bits ? true : d.Fail("outputs not set");
}

bool PowerOnDrive(Demo& d) {
    std::string report;
    const bool ok = PowerOn(d.s, kDrive, false, report);
    d.Say("statusword read, each state awaited: " + report);
    return ok ? true : d.Fail("the drive is not in operation enabled");
}

bool Move(Demo& d) {
    const int32_t target = 50000;
    d.Say("profile position move of node 5 to " + std::to_string(target));
    std::string report;
    const bool ok = MoveTo(
        d.s, kDrive, target,
        [&](int32_t pos) {
            const int pct = static_cast<int>(static_cast<int64_t>(pos) * 100 / target);
            d.Say("position " + std::to_string(pos) + " (" + std::to_string(pct) + " %)");
        },
        report);
    d.Say(report);
    if (!ok) return d.Fail("target not reached");
    // The mapped TPDO now shows the new position and "target reached".
    const std::size_t from = d.Mark();
    KIV_SendSYNC(d.s.h());
    KIV_Event e{};
    if (!d.Expect("TPDO1 of node 5", IsPdo(0x185), from, &e)) return false;
    const auto sw = static_cast<uint16_t>(LoadLe(e.body.frame.frameData, 2));
    const auto pos = static_cast<int32_t>(LoadLe(e.body.frame.frameData + 2, 4));
    if (pos != target || (sw & 0x0400) == 0) return d.Fail("TPDO does not show the target reached");
    d.Say("decoded: statusword bit 10 (target reached) set, position " + std::to_string(pos));
    return true;
}

bool CyclicPosition(Demo& d) {
    CyclicRun run;
    std::string report;
    CyclicParam param;
    param.periodUs = 1000;
    param.seconds = 0.5;
    param.distance = 20000;
    const bool ok = RunCyclic(d.s, kDrive, param, run, report);
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "1 ms SYNC for 0.5 s: %llu cycles, %llu skipped, worst lateness %u us, worst "
                  "following error %u",
                  static_cast<unsigned long long>(run.stats.cycles),
                  static_cast<unsigned long long>(run.stats.skipped), run.stats.maxLateUs,
                  run.worstFollowing);
    d.Say(buf);
    d.Say(report);
    if (!ok) return d.Fail("the drive did not follow the trajectory");
    return run.tpdos > 0 ? true : d.Fail("no TPDO answered the SYNCs");
}

bool Fault(Demo& d) {
    const std::size_t from = d.Mark();
    d.net.Drive().InjectFault(0x2310);  // continuous over-current
    d.Say("simulated fault on node 5: over-current");
    KIV_Event e{};
    if (!d.Expect(
            "EMCY of node 5",
            [](const KIV_Event& ev) { return ev.type == KIV_EVENT_EMCY && ev.node == kDrive; },
            from, &e))
        return false;
    if (e.body.emcy.errorCode != 0x2310) return d.Fail("EMCY code is not 0x2310");
    uint16_t sw = 0;
    KIV_402_GetStatusWord(d.s.h(), kDrive, &sw);
    char buf[64];
    std::snprintf(buf, sizeof buf, "statusword 0x%04X (%s)", sw, DriveStateOf(sw));
    d.Say(buf);
    if (std::string(DriveStateOf(sw)) != "fault") return d.Fail("the drive is not in fault");
    const int32_t r = KIV_402_FaultReset(d.s.h(), kDrive);
    KIV_402_GetStatusWord(d.s.h(), kDrive, &sw);
    d.Say("fault reset (controlword 0x0080): " + ResultText(r) + ", now " + DriveStateOf(sw));
    return std::string(DriveStateOf(sw)) == "switch on disabled" ? true : d.Fail("fault not reset");
}

bool Time(Demo& d) {
    d.listener->ClearQueue();
    std::string stamp;
    const int32_t r = SendTimeNow(d.s, stamp);
    if (r != KIV_OK) return d.Fail("TIME stamp: " + ResultText(r));
    d.Say("TIME stamp sent: " + stamp);
    KIV_CanFrame f{};
    const auto until = Clock::now() + kEventWait;
    bool got = false;
    while (!got && Clock::now() < until)
        got = d.listener->WaitPopFor(f, milliseconds(50)) && f.id == 0x100;
    if (!got) return d.Fail("no TIME frame on the bus");
    char buf[40];
    std::snprintf(buf, sizeof buf, "on the bus: 0x%03X [%u] ", f.id, f.dlc);
    d.Say(buf + HexBytes(f.data, f.dlc));
    return f.dlc == 6 || f.dlc == 8 ? true : d.Fail("not a TIME_OF_DAY frame");
}

bool LongRead(Demo& d) {
    const Access a = d.s.Read(kDrive, 0x1008, 0);
    if (!a.ok()) return d.Fail("read of 0x1008: " + a.Error());
    const std::string name(a.data.begin(), a.data.end());
    d.Say(ObjectName(kDrive, 0x1008, 0) + " = \"" + name + "\" (" + std::to_string(a.data.size()) +
          " bytes: segmented transfer)");
    return name == "orukiv sim servo drive" ? true : d.Fail("unexpected device name");
}

// A small DCF for the I/O module: heartbeat every 250 ms, TPDO1 remapped
// to carry the inputs and the outputs, the outputs set.
constexpr char kIoDcf[] = R"dcf([DeviceComissioning]
NodeID=10
NodeName=io

[1017]
ParameterName=Producer heartbeat time
DataType=0x0006
AccessType=rw
DefaultValue=1000
ParameterValue=250

[1800]
ParameterName=TPDO communication parameter 1
ObjectType=0x9
SubNumber=2

[1800sub1]
ParameterName=COB-ID used by TPDO
DataType=0x0007
AccessType=rw
DefaultValue=$NODEID+0x180

[1800sub2]
ParameterName=Transmission type
DataType=0x0005
AccessType=rw
DefaultValue=1
ParameterValue=1

[1A00]
ParameterName=TPDO mapping parameter 1
ObjectType=0x9
SubNumber=3

[1A00sub0]
ParameterName=Number of mapped objects
DataType=0x0005
AccessType=rw
ParameterValue=2

[1A00sub1]
ParameterName=Mapped object 1
DataType=0x0007
AccessType=rw
ParameterValue=0x60000108

[1A00sub2]
ParameterName=Mapped object 2
DataType=0x0007
AccessType=rw
ParameterValue=0x62000108

[6200]
ParameterName=Write output 8-bit
ObjectType=0x8
SubNumber=1

[6200sub1]
ParameterName=Outputs 1 to 8
DataType=0x0005
AccessType=rww
ParameterValue=0x3C
)dcf";

bool ApplyDcf(Demo& d) {
    KIV_OdError error{};
    const OdPtr dcf(KIV_OdLoadText(kIoDcf, sizeof kIoDcf - 1, kIo, &error), KIV_OdFree);
    if (!dcf)
        return d.Fail("the demo's DCF, line " + std::to_string(error.line) + ": " + error.message);
    KIV_ConfigReport report{};
    const int32_t r = KIV_ConfigureNode(d.s.h(), kIo, dcf.get(), &report);
    d.Say("DCF applied to node 10 (KIV_ConfigureNode): " + std::to_string(report.written) + " of " +
          std::to_string(report.steps) + " SDO writes done");
    if (r != KIV_OK) return d.Fail(ResultText(r, report.abortCode));
    // Read back by name, from the simulated module's own EDS.
    const struct {
        const char* name;
        const char* expected;
    } kChecks[] = {{"Producer heartbeat time", "250 (0x00FA)"},
                   {"TPDO mapping parameter 1.Number of mapped objects", "2 (0x02)"},
                   {"TPDO mapping parameter 1.Mapped object 2", "1644167432 (0x62000108)"},
                   {"Outputs 1 to 8", "60 (0x3C)"}};
    for (const auto& c : kChecks) {
        const auto e = FindByName(d.s.objects().Of(kIo), c.name, std::nullopt);
        if (!e) return d.Fail(std::string("no '") + c.name + "' in the EDS of node 10");
        const Access a = d.s.Read(kIo, e->index, e->subIndex);
        if (!a.ok()) return d.Fail(std::string("read of ") + c.name + ": " + a.Error());
        const std::string value = FormatTyped(e->dataType, a.data.data(), a.data.size());
        d.Say("read back \"" + std::string(c.name) + "\" = " + value);
        if (value != c.expected) return d.Fail(std::string("expected ") + c.expected);
    }
    // The remapped TPDO carries inputs and outputs.
    const std::size_t from = d.Mark();
    KIV_SendSYNC(d.s.h());
    KIV_Event e{};
    if (!d.Expect("TPDO1 of node 10", IsPdo(0x18A), from, &e)) return false;
    if (e.body.frame.frameLength != 2 || e.body.frame.frameData[1] != 0x3C)
        return d.Fail("TPDO1 of node 10 does not carry the outputs");
    return true;
}

constexpr uint8_t kNumbered = 20;
constexpr uint32_t kLssIdentity[4] = {0x00000A1F, 0x00000305, 0x00010000, 0x7FFFFFFF};

bool LssNumbering(Demo& d) {
    d.lssNode = std::make_unique<sim::SimNode>(d.net.Bus(), 255);
    sim::SimNode::Identity id;
    id.deviceType = 0x00000191;
    id.name = "orukiv sim LSS slave";
    id.vendorId = kLssIdentity[0];
    id.productCode = kLssIdentity[1];
    id.revision = kLssIdentity[2];
    id.serial = kLssIdentity[3];
    d.lssNode->AddDeviceObjects(id);
    d.lssNode->AddCommunicationObjects();
    d.lssTicker = std::make_unique<sim::SimTicker>(milliseconds(5));
    d.lssTicker->Add(*d.lssNode);
    d.lssTicker->Start();
    d.Say("a slave without a node-ID (255) joined the network");
    uint32_t found[4] = {};
    const auto start = Clock::now();
    int32_t r = KIV_LSS_Fastscan(d.s.h(), 0, found);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
    if (r != KIV_OK) return d.Fail("fastscan: " + ResultText(r));
    char buf[120];
    std::snprintf(buf, sizeof buf, "fastscan found 0x%08X:0x%08X:0x%08X:0x%08X in %ld ms", found[0],
                  found[1], found[2], found[3], ms);
    d.Say(buf);
    if (!std::equal(found, found + 4, kLssIdentity)) return d.Fail("not the slave's identity");
    const std::size_t from = d.Mark();
    uint8_t error = 0;
    r = KIV_LSS_ConfigureNodeId(d.s.h(), kNumbered, &error);
    if (r != KIV_OK) return d.Fail("configure node-ID: " + ResultText(r));
    r = KIV_LSS_SwitchGlobal(d.s.h(), 0);
    if (r != KIV_OK) return d.Fail("switch to waiting state: " + ResultText(r));
    d.Say("node-ID 20 given, slave switched back to waiting state");
    return d.Expect("boot-up of node 20", IsHeartbeat(kNumbered, KIV_NMT_STATE_BOOTUP), from);
}

bool BootNumbered(Demo& d) {
    // Heartbeat 200 ms written by the configuration (a concise DCF).
    static const uint8_t kDcf[] = {1, 0, 0, 0, 0x17, 0x10, 0, 2, 0, 0, 0, 200, 0};
    KIV_BootParam p{};
    p.deviceType = 0x00000191;
    p.vendorId = kLssIdentity[0];
    p.productCode = kLssIdentity[1];
    p.revision = kLssIdentity[2];
    p.serial = kLssIdentity[3];
    p.flags = KIV_BOOT_RESET_COMM | KIV_BOOT_CONFIGURE | KIV_BOOT_START;
    p.conciseDcf = kDcf;
    p.conciseDcfSize = sizeof kDcf;
    p.heartbeatMs = 600;
    const std::size_t from = d.Mark();
    KIV_BootReport r{};
    const int32_t rc = KIV_BootNode(d.s.h(), kNumbered, &p, &r);
    if (rc != KIV_OK)
        return d.Fail("boot of node 20: status '" + std::string(1, static_cast<char>(r.status)) +
                      "', " + ResultText(rc, r.abortCode));
    d.Say("node 20 booted in " + std::to_string(r.elapsedMs) +
          " ms: identity checked, reset, configured, heartbeat supervised, started");
    return d.Expect(
        "boot event of node 20",
        [](const KIV_Event& e) { return e.type == KIV_EVENT_BOOT && e.node == kNumbered; }, from);
}

constexpr uint8_t kFirstNew = 21;
constexpr int kNewSlaves = 4;

// Four new slaves without node-IDs join; KIV_LSS_ConfigureAll numbers them
// from 21, then KIV_BootNetwork boots the drive, the I/O module (both
// mandatory) and the four (optional) side by side and starts them.
bool NumberAndBootNetwork(Demo& d) {
    d.newTicker = std::make_unique<sim::SimTicker>(milliseconds(5));
    for (int i = 0; i < kNewSlaves; ++i) {
        auto n = std::make_unique<sim::SimNode>(d.net.Bus(), 255);
        sim::SimNode::Identity id;
        id.deviceType = 0x00000191;
        id.name = "orukiv sim LSS slave";
        id.vendorId = kLssIdentity[0];
        id.productCode = kLssIdentity[1];
        id.revision = kLssIdentity[2];
        id.serial = 0x7FFF0001u + static_cast<uint32_t>(i);
        n->AddDeviceObjects(id);
        n->AddCommunicationObjects();
        n->SetLssAnswerDelay(std::chrono::microseconds(0), std::chrono::microseconds(2000),
                             static_cast<uint32_t>(i + 1));
        d.newTicker->Add(*n);
        d.newSlaves.push_back(std::move(n));
    }
    d.newTicker->Start();
    d.Say("four slaves without a node-ID (255) joined the network");
    KIV_LssFound found[kNewSlaves + 1];
    uint32_t count = 0;
    const auto start = Clock::now();
    int32_t r = KIV_LSS_ConfigureAll(d.s.h(), kFirstNew, kNewSlaves + 1, 0, 0, found, &count);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
    for (uint32_t i = 0; i < count; ++i)
        d.Say("slave " + IdentityText(found[i].identity) + ": node-ID " +
              std::to_string(found[i].nodeId));
    if (r != KIV_OK) return d.Fail("configure-all: " + ResultText(r));
    if (count != kNewSlaves) return d.Fail(std::to_string(count) + " slaves numbered, not 4");
    d.Say("4 slaves numbered in " + std::to_string(ms) + " ms");

    std::vector<KIV_BootNetParam> list;
    const auto add = [&](uint8_t node, uint32_t flags, uint32_t serial) {
        KIV_BootNetParam n{};
        n.node = node;
        n.param.flags = flags | KIV_BOOT_START;
        n.param.deviceType = node == kDrive || node == kIo ? 0 : 0x00000191;
        n.param.serial = serial;
        list.push_back(n);
    };
    add(kDrive, KIV_BOOT_MANDATORY, 0);
    add(kIo, KIV_BOOT_MANDATORY, 0);
    for (uint32_t i = 0; i < count; ++i) add(found[i].nodeId, 0, found[i].identity[3]);
    std::vector<KIV_BootReport> reports(list.size());
    r = KIV_BootNetwork(d.s.h(), list.data(), static_cast<uint32_t>(list.size()), 0,
                        reports.data());
    for (std::size_t i = 0; i < list.size(); ++i)
        d.Say("node " + std::to_string(list[i].node) + ": " +
              (reports[i].result == KIV_OK
                   ? std::string("booted, ") + NmtStateName(reports[i].nmtState)
                   : "status '" + std::string(1, char(reports[i].status)) + "', " +
                         ResultText(reports[i].result)));
    if (r != KIV_OK) return d.Fail("network boot: " + ResultText(r));
    for (const auto& n : d.newSlaves)
        if (n->NmtState() != KIV_NMT_STATE_OPERATIONAL)
            return d.Fail("node " + std::to_string(n->NodeId()) + " is not operational");
    d.Say("network of six nodes booted and started");
    return true;
}

struct DemoStep {
    const char* name;
    bool (*run)(Demo&);
};

const DemoStep kSteps[] = {
    {"scan with identities", Scan},
    {"heartbeat period and monitoring", Heartbeats},
    {"NMT start", NmtStart},
    {"node guarding", Guarding},
    {"heartbeat supervision", Supervision},
    {"TPDO mapping", MapTpdo},
    {"SYNC and decoded PDOs", SyncPdos},
    {"RPDO to the outputs", Outputs},
    {"drive power-on", PowerOnDrive},
    {"profile position move", Move},
    {"cyclic synchronous position", CyclicPosition},
    {"fault, EMCY and reset", Fault},
    {"TIME stamp", Time},
    {"segmented read", LongRead},
    {"DCF applied, read back by name", ApplyDcf},
    {"LSS: unconfigured node numbered", LssNumbering},
    {"boot-up of the numbered node", BootNumbered},
    {"4 slaves numbered, network booted", NumberAndBootNetwork},
};

// The instance's counters over the whole demo.
bool PrintStats(Session& s) {
    KIV_Stats st{};
    const int32_t r = KIV_GetStats(s.h(), &st);
    if (r != KIV_OK) {
        std::printf("\nStatistics: KIV_GetStats failed: %s\n", ResultText(r).c_str());
        return false;
    }
    const struct {
        const char* name;
        uint64_t value;
    } rows[] = {
        {"frames received", st.framesReceived}, {"frames sent", st.framesSent},
        {"send failures", st.sendFailures},     {"full receive polls", st.fullPolls},
        {"SDO transfers ok", st.sdoCompleted},  {"SDO time-outs", st.sdoTimeouts},
        {"SDO aborts", st.sdoAborts},
    };
    std::printf("\nStatistics\n");
    for (const auto& row : rows)
        std::printf("  %-20s %8llu\n", row.name, static_cast<unsigned long long>(row.value));
    if (st.lastAbortNode == 0)
        std::printf("  %-20s %8s\n", "last abort", "none");
    else
        std::printf("  %-20s 0x%08X from node %u (%s)\n", "last abort", st.lastAbortCode,
                    st.lastAbortNode, KIV_SdoAbortText(st.lastAbortCode));
    return true;
}

}  // namespace

int CmdDemo(Session& s) {
    sim::SimNetwork* net = s.bus().Simulation();
    if (!net) return PrintUsage(s, "the demo runs on the simulated network only (--bus sim)");
    const bool json = s.options().json;
    if (!json)
        std::printf(
            "orukiv demo: a CANopen master on a simulated network\n"
            "(CiA 402 drive at node 5, digital I/O module at node 10)\n");
    Demo demo(s, *net);
    struct Outcome {
        const char* name;
        bool ok;
        long ms;
    };
    std::vector<Outcome> outcomes;
    const std::size_t total = std::size(kSteps);
    for (std::size_t i = 0; i < total && !Interrupted(); ++i) {
        if (!json) std::printf("\n[%zu/%zu] %s\n", i + 1, total, kSteps[i].name);
        const auto start = Clock::now();
        demo.said.clear();
        const bool ok = kSteps[i].run(demo);
        const long ms = static_cast<long>(
            std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
        outcomes.push_back({kSteps[i].name, ok, ms});
        if (json) {
            std::string lines = "[";
            for (const std::string& line : demo.said)
                lines += (lines.size() > 1 ? "," : "") + JsonString(line);
            PrintJson(s, ok,
                      Json()
                          .Uint("step", i + 1)
                          .Uint("steps", total)
                          .Str("name", kSteps[i].name)
                          .Int("ms", ms)
                          .Raw("lines", lines + "]"));
        }
        std::fflush(stdout);
    }
    std::size_t passed = 0;
    for (const Outcome& o : outcomes) passed += o.ok ? 1 : 0;
    if (json) {
        KIV_Stats st{};
        const int32_t r = KIV_GetStats(s.h(), &st);
        PrintJson(s, r == KIV_OK && passed == total,
                  Json()
                      .Uint("passed", passed)
                      .Uint("steps", total)
                      .Uint("framesReceived", st.framesReceived)
                      .Uint("framesSent", st.framesSent)
                      .Uint("sdoCompleted", st.sdoCompleted)
                      .Uint("sdoTimeouts", st.sdoTimeouts)
                      .Uint("sdoAborts", st.sdoAborts));
        return r == KIV_OK && passed == total ? 0 : 1;
    }
    std::printf("\nSummary\n  %-34s %-6s %8s\n", "step", "result", "time");
    for (const Outcome& o : outcomes)
        std::printf("  %-34s %-6s %5ld ms\n", o.name, o.ok ? "ok" : "FAILED", o.ms);
    std::printf("%zu of %zu steps passed\n", passed, total);
    return PrintStats(s) && passed == total ? 0 : 1;
}

Command DemoCommand() {
    return {"demo", "a scripted run on the simulated network; exit 0 when all went well",
            [](CLI::App&) -> Handler { return [](Session& s) { return CmdDemo(s); }; }};
}

}  // namespace orukiv::tool
