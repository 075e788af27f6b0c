/*
 * orukiv: a CANopen master library.
 *
 * The host owns the CAN hardware. It creates one stack instance per bus with
 * KIV_Init, handing over callbacks that poll and send CAN frames; the
 * instance's worker thread polls those callbacks every 5 ms (or as
 * KIV_SetWorkerTiming sets), runs the requests that the exports below queue,
 * and advances SDO transfers.
 *
 * Every export is synchronous: it queues a request for the worker and blocks
 * until the worker (or the SDO transfer) has completed it; only the queries
 * KIV_GetNodeState, KIV_GetStats and KIV_GetCyclicStats read without
 * queuing, and KIV_StartCyclic and KIV_StopCyclic queue nothing. All
 * callbacks run on the worker thread; what they may call is said where they
 * are declared.
 *
 * Records crossing this interface have fixed layouts for 64-bit,
 * little-endian processes; the layouts are checked at compile time below.
 * The header is valid C99 and C++.
 */
#ifndef ORUKIV_H
#define ORUKIV_H

#include <stddef.h>
#include <stdint.h>

#include "orukiv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */

/* Every export except KIV_Init and KIV_SetSDOTimeout returns one of these,
 * or any other non-zero value: the send callback's own failure code, passed
 * through unchanged. Code 5 is never produced. Refused arguments include
 * node ids outside 1..127 and queuing calls made inside a callback of the
 * same instance (see the callback rules at the top). */
#define KIV_OK 0              /* carried out; for SDO, the transfer completed */
#define KIV_ERR_PARAM 1       /* argument refused, or bad SDO segment sizes   */
#define KIV_ERR_TIMEOUT 2     /* SDO transfer got no complete answer in time  */
#define KIV_ERR_NO_RESOURCE 3 /* ring full, no semaphore or no free channel   */
#define KIV_ERR_ABORTED 4     /* the SDO server aborted the transfer          */
#define KIV_ERR_NO_SEND 6     /* no send callback, or no frame to send        */
#define KIV_ERR_CANCELLED 7   /* ended by KIV_Cancel                          */

/* ------------------------------------------------------------------------ */
/* Frames and callbacks                                                      */
/* ------------------------------------------------------------------------ */

/* Opaque handle of one stack instance, returned by KIV_Init. */
typedef struct CoStack* KIV_Handle;

/* One classic CAN frame (24 bytes). Reserved bytes are zero in every frame
 * the library builds and ignored in frames it receives. */
typedef struct KIV_CanFrame {
    uint32_t id;          /* CAN identifier (COB-ID); no extended-id flag   */
    uint8_t reserved0[6]; /* zero                                           */
    uint8_t rtr;          /* non-zero: remote transmission request          */
    uint8_t reserved1;    /* zero                                           */
    uint8_t dlc;          /* number of data bytes, 0..8                     */
    uint8_t reserved2[3]; /* zero                                           */
    uint8_t data[8];      /* data bytes, byte 0 first on the bus            */
} KIV_CanFrame;

/* One CAN FD frame (80 bytes). Received CAN FD frames are polled and
 * discarded; the library never sends one. */
typedef struct KIV_FdFrame {
    uint32_t id;          /* CAN identifier                                 */
    uint8_t reserved0[8]; /* zero                                           */
    uint8_t len;          /* number of data bytes, 0..64 (not a DLC code)   */
    uint8_t reserved1[3]; /* zero                                           */
    uint8_t data[64];     /* data bytes                                     */
} KIV_FdFrame;

struct KIV_Event;

/* Rules for every callback below: it runs on the instance's worker thread,
 * one at a time, and never once KIV_Destroy of the instance has returned
 * (see there). Inside a callback of its own instance, an export that queues
 * a request would wait for itself: it returns KIV_ERR_PARAM at once instead,
 * queues nothing and logs one Error line naming the export. Exports that
 * queue nothing (KIV_SetSDOTimeout, KIV_SdoAbortText, KIV_StartCyclic,
 * KIV_StopCyclic) work there, KIV_Destroy stops the instance without
 * waiting, and every export of another instance works as anywhere else. */

/* Polls the host for received classic frames: fill up to maxCount (always 8)
 * records and return how many were filled (0..8). */
typedef int32_t (*KIV_CanRecvFn)(KIV_CanFrame* frames, uint32_t maxCount, void* userData);
/* Sends one classic frame: return 0 when sent (or queued), anything else on
 * failure. The record must be left unchanged. */
typedef int32_t (*KIV_CanSendFn)(const KIV_CanFrame* frame, void* userData);
/* Polls the host for received CAN FD frames, as KIV_CanRecvFn. */
typedef int32_t (*KIV_FdRecvFn)(KIV_FdFrame* frames, uint32_t maxCount, void* userData);
/* Sends one CAN FD frame. Stored, never called by the library. */
typedef int32_t (*KIV_FdSendFn)(const KIV_FdFrame* frame, void* userData);
/* Receives one decoded event per received classic frame, and the
 * KIV_EVENT_NODE_STATE events of supervised nodes; the record is valid only
 * during the call. */
typedef void (*KIV_EventFn)(const struct KIV_Event* event, void* userData);

/* What KIV_Init needs (48 bytes). The record is copied; the host may discard
 * it when KIV_Init returns. */
typedef struct KIV_InitParam {
    KIV_CanRecvFn canRecv; /* mandatory                                      */
    KIV_CanSendFn canSend; /* mandatory                                      */
    KIV_FdRecvFn fdRecv;   /* optional: CAN FD frames polled and dropped     */
    KIV_FdSendFn fdSend;   /* optional: stored, never called                 */
    KIV_EventFn onEvent;   /* optional: no events without it                 */
    void* userData;        /* passed back as the last argument of callbacks  */
} KIV_InitParam;

/* ------------------------------------------------------------------------ */
/* Received-frame events                                                     */
/* ------------------------------------------------------------------------ */

/* KIV_Event.type */
typedef enum KIV_EventType {
    KIV_EVENT_NONE = 0,       /* not classified (0x101..0x17F, 0x680..0x6FF,
                                 0x780..0x7FF, 0x800 up); head only          */
    KIV_EVENT_NMT = 1,        /* ids 0x000..0x07F                             */
    KIV_EVENT_SYNC = 2,       /* id 0x080; head only                          */
    KIV_EVENT_EMCY = 3,       /* ids 0x081..0x0FF                             */
    KIV_EVENT_HEARTBEAT = 4,  /* data frames on 0x700..0x77F                  */
    KIV_EVENT_NODE_STATE = 5, /* a supervised or guarded node changed state,
                                 was lost or came back (KIV_SuperviseNode,
                                 KIV_GuardNode); not a frame of its own     */
    KIV_EVENT_TIME = 6,       /* id 0x100; day counts beyond 49 710 (past
                                 2120-02-07) continue the calendar          */
    KIV_EVENT_SDO = 7,        /* ids 0x580..0x67F, both directions            */
    KIV_EVENT_FRAME = 8,      /* ids 0x180..0x57F (PDO range), raw            */
    KIV_EVENT_NODE_GUARD = 9, /* remote frames on 0x700..0x77F; head only     */
    KIV_EVENT_BOOT = 10       /* a KIV_BootNode ended (body.boot); not a frame
                                 of its own                                 */
} KIV_EventType;

/* NMT command specifiers: sent by KIV_NMT_SendCommand, reported in
 * KIV_EVENT_NMT. Any other received byte is reported as UNKNOWN. */
typedef enum KIV_NmtCommand {
    KIV_NMT_CMD_START = 0x01,
    KIV_NMT_CMD_STOP = 0x02,
    KIV_NMT_CMD_PRE_OPERATIONAL = 0x80,
    KIV_NMT_CMD_RESET_NODE = 0x81,
    KIV_NMT_CMD_RESET_COMM = 0x82,
    KIV_NMT_CMD_UNKNOWN = 0xFF
} KIV_NmtCommand;

/* NMT states: sent by KIV_NMT_SendHeartbeat (0 is the boot-up message),
 * reported in KIV_EVENT_HEARTBEAT with the toggle bit cleared. */
typedef enum KIV_NmtState {
    KIV_NMT_STATE_BOOTUP = 0,
    KIV_NMT_STATE_STOPPED = 4,
    KIV_NMT_STATE_OPERATIONAL = 5,
    KIV_NMT_STATE_PRE_OPERATIONAL = 127,
    KIV_NMT_STATE_UNKNOWN = 255
} KIV_NmtState;

/* Why a KIV_EVENT_NODE_STATE event was sent. */
typedef enum KIV_NodeStateCause {
    KIV_NODE_BOOTUP = 0,         /* boot-up frame (one byte 0) received       */
    KIV_NODE_STATE_CHANGED = 1,  /* a valid frame carried another state       */
    KIV_NODE_HEARTBEAT_LOST = 2, /* no heartbeat within the time-out         */
    KIV_NODE_GUARDING_LOST = 3,  /* no valid guarding answer within the life
                                    time (guard time x life time factor)     */
    KIV_NODE_BACK = 4            /* a valid frame from a node declared lost   */
} KIV_NodeStateCause;

/* Kind of an SDO frame seen on the bus (KIV_EVENT_SDO). Only expedited
 * transfers with the size indicated carry data into the event. */
typedef enum KIV_SdoEventKind {
    KIV_SDO_READ_REQUEST = 0,   /* client 0x40                               */
    KIV_SDO_READ_RESPONSE = 1,  /* server 0x4F/0x4B/0x47/0x43, 1..4 bytes    */
    KIV_SDO_WRITE_REQUEST = 2,  /* client 0x2F/0x2B/0x27/0x23, 1..4 bytes    */
    KIV_SDO_WRITE_RESPONSE = 3, /* server 0x60                               */
    KIV_SDO_ABORT = 4,          /* 0x80, either direction                    */
    KIV_SDO_OTHER = 5           /* anything else                             */
} KIV_SdoEventKind;

/* One decoded received frame (88 bytes). Every byte that the type does not
 * define is zero; multi-byte fields are native (little-endian) integers. */
typedef struct KIV_Event {
    uint32_t type;       /* KIV_EventType                                   */
    uint8_t node;        /* low 8 bits of the id; EMCY: id - 0x80; SDO
                            responses: 0x80 + node id                       */
    uint8_t reserved[3]; /* zero                                            */
    union {
        struct {
            uint32_t command; /* KIV_NmtCommand from data byte 0             */
        } nmt;
        struct {
            uint16_t errorCode;          /* data bytes 0..1                   */
            uint8_t errorRegister;       /* data byte 2                       */
            uint8_t manufacturerData[5]; /* data bytes 3..7                   */
        } emcy;
        struct {
            uint32_t state; /* KIV_NmtState from data byte 0, bit 7 cleared  */
        } heartbeat;
        struct {
            uint16_t year;  /* full year, such as 2024                       */
            uint8_t month;  /* 1..12                                         */
            uint8_t day;    /* 1..31                                         */
            uint8_t hour;   /* 0..23                                         */
            uint8_t minute; /* 0..59                                         */
            uint8_t second; /* 0..59                                         */
            uint8_t reserved;
            uint32_t millisecond; /* 0..999                                  */
        } time;
        struct {
            uint32_t sdoKind;   /* KIV_SdoEventKind                          */
            uint16_t index;     /* data bytes 1..2                           */
            uint8_t subIndex;   /* data byte 3                               */
            uint8_t sdoData[8]; /* first sdoLength bytes: data bytes 4..     */
            uint8_t sdoLength;  /* 0..4                                      */
        } sdo;
        struct {
            uint32_t cobId;       /* the frame's whole id                    */
            uint8_t frameData[8]; /* first frameLength bytes: the data       */
            uint8_t frameLength;  /* dlc (at most 8); 0 for a remote frame   */
        } frame;
        struct {
            uint8_t oldState;     /* KIV_NmtState before the change           */
            uint8_t newState;     /* KIV_NmtState after it; 255 when lost     */
            uint8_t cause;        /* KIV_NodeStateCause                       */
            uint8_t reserved;     /* zero                                     */
            uint32_t sinceLastMs; /* ms since the node's last valid frame;
                                     for an event caused by a frame, since
                                     the valid frame before it; 0xFFFFFFFF
                                     when there was none                  */
        } nodeState;
        struct {
            uint8_t status;      /* CiA 302-2 letter 'A'..'O'; 0: booted   */
            uint8_t nmtState;    /* KIV_NmtState the node was left in;
                                    255 when not known                     */
            uint8_t reserved[2]; /* zero                                   */
            int32_t result;      /* as KIV_BootNode returned               */
            uint32_t abortCode;  /* SDO abort code of the failed step, or 0 */
        } boot;
        uint8_t raw[80];
    } body;
} KIV_Event;

/* ------------------------------------------------------------------------ */
/* PDO mapping entries                                                       */
/* ------------------------------------------------------------------------ */

/* One TPDO mapping entry (4 bytes), written as its four bytes in memory
 * order, which gives the CiA 301 mapping value index<<16 | sub<<8 | bits.
 * Build entries with KIV_MakePdoMapEntry rather than by hand. */
typedef struct KIV_PdoMapEntry {
    uint16_t bitLengthAndSubIndex; /* low byte: length in bits; high byte:
                                      sub-index                            */
    uint8_t indexLow;              /* object index, low byte               */
    uint8_t indexHigh;             /* object index, high byte              */
} KIV_PdoMapEntry;

/* Builds the mapping entry of object index/subIndex, bitLength bits long. */
static inline KIV_PdoMapEntry KIV_MakePdoMapEntry(uint16_t index, uint8_t subIndex,
                                                  uint8_t bitLength) {
    KIV_PdoMapEntry e;
    e.bitLengthAndSubIndex = (uint16_t)((uint16_t)bitLength | ((uint16_t)subIndex << 8));
    e.indexLow = (uint8_t)(index & 0xFFu);
    e.indexHigh = (uint8_t)(index >> 8);
    return e;
}

/* ------------------------------------------------------------------------ */
/* Node supervision and statistics                                           */
/* ------------------------------------------------------------------------ */

/* KIV_NodeStatus.mode */
typedef enum KIV_SupervisionMode {
    KIV_SUPERVISION_NONE = 0,
    KIV_SUPERVISION_HEARTBEAT = 1, /* KIV_SuperviseNode */
    KIV_SUPERVISION_GUARDING = 2   /* KIV_GuardNode     */
} KIV_SupervisionMode;

/* What the worker knows of one node (8 bytes), from KIV_GetNodeState. A node
 * that is neither supervised nor guarded reads as never seen. */
typedef struct KIV_NodeStatus {
    uint8_t state;        /* KIV_NmtState of the last valid frame; 255
                             before any frame and while the node is lost  */
    uint8_t mode;         /* KIV_SupervisionMode                          */
    uint8_t alive;        /* 1 while valid frames arrive in time; 0 when
                             lost or never seen                           */
    uint8_t reserved;     /* zero                                         */
    uint32_t sinceLastMs; /* ms since the last valid frame; 0xFFFFFFFF
                             before any frame                             */
} KIV_NodeStatus;

/* Counters of one instance (64 bytes), from KIV_GetStats; all start at 0 in
 * KIV_Init and only grow (u64, never wrap in practice). */
typedef struct KIV_Stats {
    uint64_t framesReceived; /* classic frames handled: polled or handed in
                                by KIV_InputFrame                          */
    uint64_t framesSent;     /* canSend calls that returned 0              */
    uint64_t sendFailures;   /* canSend calls that returned non-zero       */
    uint64_t fullPolls;      /* receive polls that filled all 8 slots: the
                                bus may be outrunning the worker           */
    uint64_t sdoCompleted;   /* SDO transfers completed with 0             */
    uint64_t sdoTimeouts;    /* SDO transfers ended by KIV_ERR_TIMEOUT     */
    uint64_t sdoAborts;      /* SDO transfers the server aborted           */
    uint32_t lastAbortCode;  /* the last server abort code; 0 before one   */
    uint8_t lastAbortNode;   /* the node that sent it; 0 before one        */
    uint8_t reserved[3];     /* zero                                       */
} KIV_Stats;

/* Counters of cyclic operation (24 bytes), from KIV_GetCyclicStats. They
 * start at 0 when KIV_StartCyclic starts a stopped instance; a start while
 * running keeps them. */
typedef struct KIV_CyclicStats {
    uint64_t cycles;    /* SYNCs sent                                    */
    uint64_t skipped;   /* deadlines missed by a whole period: no SYNC
                           was sent for them                             */
    uint32_t maxLateUs; /* worst lateness of a SYNC against its deadline,
                           in microseconds                               */
    uint32_t reserved;  /* zero                                          */
} KIV_CyclicStats;

/* ------------------------------------------------------------------------ */
/* Boot-up of a node (CiA 302-2)                                             */
/* ------------------------------------------------------------------------ */

/* KIV_BootParam.flags */
/* The node must be there: its device type is asked again (every 100 ms)
 * until it answers or bootTimeMs has passed, instead of once. */
#define KIV_BOOT_MANDATORY 0x01u
/* After the checks, NMT reset communication, then the boot-up message is
 * awaited for bootTimeMs. */
#define KIV_BOOT_RESET_COMM 0x02u
/* Apply the configuration: dcf, or else the concise DCF. */
#define KIV_BOOT_CONFIGURE 0x04u
/* NMT start at the end. */
#define KIV_BOOT_START 0x08u
/* A node already known operational (supervised and alive in state 5) is
 * left running: checked, neither reset nor configured, supervised, and
 * reported with status 'L' and result 0. */
#define KIV_BOOT_KEEP_OPERATIONAL 0x10u

struct KIV_Od; /* an object dictionary or DCF: orukiv_od.h */

/* What KIV_BootNode is to check and do (64 bytes). An expected value of 0
 * is not checked. */
typedef struct KIV_BootParam {
    uint32_t flags;            /* KIV_BOOT_ flags                              */
    uint32_t deviceType;       /* expected 0x1000                              */
    uint32_t vendorId;         /* expected 0x1018:1                            */
    uint32_t productCode;      /* expected 0x1018:2                            */
    uint32_t revision;         /* expected 0x1018:3                            */
    uint32_t serial;           /* expected 0x1018:4                            */
    uint32_t bootTimeMs;       /* wait for a mandatory node and for the boot-up
                                  message; 0: 5000                             */
    uint32_t heartbeatMs;      /* heartbeat consumer time-out (KIV_SuperviseNode);
                                  0: no heartbeat supervision                  */
    uint32_t guardTimeMs;      /* node guarding (KIV_GuardNode) instead, when
                                  not 0                                        */
    uint8_t lifeTimeFactor;    /* of guarding; 0 counts as 3                 */
    uint8_t reserved[3];       /* zero                                       */
    const struct KIV_Od* dcf;  /* configuration, or null                  */
    const uint8_t* conciseDcf; /* used when dcf is null                   */
    uint32_t conciseDcfSize;   /* bytes at conciseDcf                     */
    uint32_t reserved2;        /* zero                                    */
} KIV_BootParam;

/* KIV_BootReport.step: where the boot ended. */
typedef enum KIV_BootStep {
    KIV_BOOT_STEP_DEVICE_TYPE = 1, /* reading or checking 0x1000         */
    KIV_BOOT_STEP_IDENTITY = 2,    /* reading or checking 0x1018:1..4     */
    KIV_BOOT_STEP_RESET = 3,       /* reset communication, boot-up wait   */
    KIV_BOOT_STEP_CONFIGURE = 4,   /* the configuration                   */
    KIV_BOOT_STEP_SUPERVISE = 5,   /* starting heartbeat or guarding      */
    KIV_BOOT_STEP_START = 6,       /* NMT start                           */
    KIV_BOOT_STEP_DONE = 7         /* every step passed                   */
} KIV_BootStep;

/* How a boot ended (32 bytes). status is the CiA 302-2 error status:
 * 'B' no answer to 0x1000 (or no boot-up after reset communication),
 * 'C' device type, 'D' vendor, 'M' product, 'N' revision, 'O' serial
 * differ, 'J' configuration failed, 'E' no heartbeat, 'F' no guarding
 * answer, 'L' already operational and left running; 0 booted. */
typedef struct KIV_BootReport {
    uint8_t status;     /* letter, or 0                                   */
    uint8_t step;       /* KIV_BootStep                                   */
    uint8_t nmtState;   /* KIV_NmtState the node was left in; 255 unknown */
    uint8_t subIndex;   /* object of the failed step (0x1018:n, or the
                           configuration entry)                           */
    uint16_t index;     /* its index; 0 when no object                    */
    uint16_t reserved;  /* zero                                           */
    int32_t result;     /* as KIV_BootNode returns                        */
    uint32_t abortCode; /* the SDO abort code of the failed step, or 0    */
    uint32_t expected;  /* a check that failed: the value expected ...    */
    uint32_t actual;    /* ... and the value read                         */
    uint32_t elapsedMs; /* the boot's duration                            */
    uint32_t reserved2; /* zero                                           */
} KIV_BootReport;

/* ------------------------------------------------------------------------ */
/* Layout checks                                                             */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define KIV_LAYOUT_CHECK(cond, name) static_assert(cond, #name)
#else
#define KIV_LAYOUT_CHECK(cond, name) typedef char kiv_layout_check_##name[(cond) ? 1 : -1]
#endif

KIV_LAYOUT_CHECK(sizeof(KIV_CanFrame) == 24, can_frame_size);
KIV_LAYOUT_CHECK(offsetof(KIV_CanFrame, id) == 0, can_frame_id);
KIV_LAYOUT_CHECK(offsetof(KIV_CanFrame, rtr) == 10, can_frame_rtr);
KIV_LAYOUT_CHECK(offsetof(KIV_CanFrame, dlc) == 12, can_frame_dlc);
KIV_LAYOUT_CHECK(offsetof(KIV_CanFrame, data) == 16, can_frame_data);
KIV_LAYOUT_CHECK(sizeof(KIV_FdFrame) == 80, fd_frame_size);
KIV_LAYOUT_CHECK(offsetof(KIV_FdFrame, len) == 12, fd_frame_len);
KIV_LAYOUT_CHECK(offsetof(KIV_FdFrame, data) == 16, fd_frame_data);
KIV_LAYOUT_CHECK(sizeof(KIV_Event) == 88, event_size);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, node) == 4, event_node);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body) == 8, event_body);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.nmt.command) == 8, event_nmt_command);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.emcy.errorCode) == 8, event_emcy_code);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.emcy.errorRegister) == 10, event_emcy_reg);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.emcy.manufacturerData) == 11, event_emcy_mfr);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.heartbeat.state) == 8, event_hb_state);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.time.year) == 8, event_time_year);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.time.month) == 10, event_time_month);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.time.second) == 14, event_time_second);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.time.millisecond) == 16, event_time_ms);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.sdo.sdoKind) == 8, event_sdo_kind);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.sdo.index) == 12, event_sdo_index);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.sdo.subIndex) == 14, event_sdo_sub);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.sdo.sdoData) == 15, event_sdo_data);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.sdo.sdoLength) == 23, event_sdo_length);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.frame.cobId) == 8, event_frame_cobid);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.frame.frameData) == 12, event_frame_data);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.frame.frameLength) == 20, event_frame_length);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.nodeState.oldState) == 8, event_node_old_state);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.nodeState.newState) == 9, event_node_new_state);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.nodeState.cause) == 10, event_node_cause);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.nodeState.sinceLastMs) == 12, event_node_since_last);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.boot.status) == 8, event_boot_status);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.boot.nmtState) == 9, event_boot_nmt_state);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.boot.result) == 12, event_boot_result);
KIV_LAYOUT_CHECK(offsetof(KIV_Event, body.boot.abortCode) == 16, event_boot_abort_code);
KIV_LAYOUT_CHECK(sizeof(KIV_NodeStatus) == 8, node_status_size);
KIV_LAYOUT_CHECK(offsetof(KIV_NodeStatus, mode) == 1, node_status_mode);
KIV_LAYOUT_CHECK(offsetof(KIV_NodeStatus, alive) == 2, node_status_alive);
KIV_LAYOUT_CHECK(offsetof(KIV_NodeStatus, sinceLastMs) == 4, node_status_since_last);
KIV_LAYOUT_CHECK(sizeof(KIV_Stats) == 64, stats_size);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, framesSent) == 8, stats_frames_sent);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, sendFailures) == 16, stats_send_failures);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, fullPolls) == 24, stats_full_polls);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, sdoCompleted) == 32, stats_sdo_completed);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, sdoTimeouts) == 40, stats_sdo_timeouts);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, sdoAborts) == 48, stats_sdo_aborts);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, lastAbortCode) == 56, stats_last_abort_code);
KIV_LAYOUT_CHECK(offsetof(KIV_Stats, lastAbortNode) == 60, stats_last_abort_node);
KIV_LAYOUT_CHECK(sizeof(KIV_CyclicStats) == 24, cyclic_stats_size);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, skipped) == 8, cyclic_stats_skipped);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, maxLateUs) == 16, cyclic_stats_max_late);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, reserved) == 20, cyclic_stats_reserved);
KIV_LAYOUT_CHECK(sizeof(KIV_BootReport) == 32, boot_report_size);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, index) == 4, boot_report_index);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, result) == 8, boot_report_result);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, abortCode) == 12, boot_report_abort_code);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, elapsedMs) == 24, boot_report_elapsed);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, bootTimeMs) == 24, boot_param_boot_time);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, lifeTimeFactor) == 36, boot_param_life_factor);
KIV_LAYOUT_CHECK(sizeof(KIV_PdoMapEntry) == 4, pdo_map_entry_size);
KIV_LAYOUT_CHECK(offsetof(KIV_PdoMapEntry, indexLow) == 2, pdo_map_entry_index_low);
KIV_LAYOUT_CHECK(offsetof(KIV_PdoMapEntry, indexHigh) == 3, pdo_map_entry_index_high);
#if UINTPTR_MAX == UINT64_MAX
KIV_LAYOUT_CHECK(sizeof(KIV_InitParam) == 48, init_param_size);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, canSend) == 8, init_param_can_send);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, fdRecv) == 16, init_param_fd_recv);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, fdSend) == 24, init_param_fd_send);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, onEvent) == 32, init_param_on_event);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, userData) == 40, init_param_user_data);
KIV_LAYOUT_CHECK(sizeof(KIV_BootParam) == 64, boot_param_size);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, dcf) == 40, boot_param_dcf);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, conciseDcfSize) == 56, boot_param_concise_size);
#endif

/* ------------------------------------------------------------------------ */
/* Instance lifecycle                                                        */
/* ------------------------------------------------------------------------ */

/* Creates an instance and starts its worker. Null when param, its canRecv
 * or its canSend is null, or when a resource cannot be had. */
ORUKIV_C_API KIV_Handle KIV_Init(const KIV_InitParam* param);

/* Stops the worker and releases the instance. 1 for a null handle, else 0.
 * No other call on the handle may be in progress, except from inside the
 * instance's own callbacks.
 *
 * Guarantee: once KIV_Destroy has returned, the library calls none of the
 * instance's callbacks again, so the host may free whatever they use. It
 * waits up to 1000 ms for the worker to end; when a callback is still
 * running then, it gives up waiting and returns 0 anyway: that callback
 * runs to its end, and then the worker sends nothing more, completes every
 * request still queued with KIV_ERR_NO_RESOURCE and every SDO transfer in
 * progress with KIV_ERR_TIMEOUT, frees the instance and ends. Called inside
 * one of the instance's own callbacks, it does not wait for itself: it
 * stops the instance and returns 0 at once, and the worker does the same
 * when that callback returns. */
ORUKIV_C_API int32_t KIV_Destroy(KIV_Handle handle);

/* Every export below returns KIV_ERR_PARAM for a null handle and queues
 * nothing (KIV_SetSDOTimeout returns 0 there). Where a node id picks the
 * frame's identifier (EMCY, heartbeat, guarding, SDO and everything built
 * on SDO), ids outside 1..127 are refused the same way and nothing is
 * sent. COB-IDs passed by the host (PDOs) go out unchanged. */

/* Hands a frame received by other means to the worker, which offers it to
 * the SDO transfers and reports its event before the call returns. */
ORUKIV_C_API int32_t KIV_InputFrame(KIV_Handle handle, const KIV_CanFrame* frame);

/* ------------------------------------------------------------------------ */
/* Worker timing (opt-in low-latency mode)                                   */
/* ------------------------------------------------------------------------ */

/* KIV_SetWorkerTiming flags. */
/* A queued request ends the worker's current sleep: its pass starts at once. */
#define KIV_TIMING_WAKE_ON_REQUEST 0x1u
/* A receive poll that filled all 8 records starts the next pass without
 * sleeping, so that the worker keeps up while the host has frames. */
#define KIV_TIMING_DRAIN_RECEIVE 0x2u

/* Puts the instance in low-latency mode: the worker sleeps periodUs
 * microseconds (100..1000000) between passes, a sleep that KIV_Notify (and,
 * with the flag, a queued request) ends early, and flags (0 or any of the
 * KIV_TIMING_ flags) take effect from the next sleep on. In this mode an SDO
 * transfer whose answer arrived completes in the pass that received it, and
 * the next segment of a segmented transfer goes out in that same pass. May
 * be called again, from any thread, to change either. An instance that never
 * calls it sleeps a plain 5 ms between passes. Returns 0; KIV_ERR_PARAM,
 * changing nothing, for a period outside 100..1000000 or an unknown flag;
 * KIV_ERR_NO_RESOURCE, changing nothing, when the system cannot provide
 * the waitable sleep. */
ORUKIV_C_API int32_t KIV_SetWorkerTiming(KIV_Handle handle, uint32_t periodUs, uint32_t flags);

/* Tells the worker that frames are waiting: in low-latency mode it ends the
 * worker's current sleep (or the next one, when the worker is in a pass),
 * so that the next receive poll comes at once. Safe from any thread and from
 * inside the instance's own callbacks; never waits for the worker and
 * queues nothing. In the default timing it has no effect. The handle must
 * stay valid: a host stops notifying before it calls KIV_Destroy. Returns 0. */
ORUKIV_C_API int32_t KIV_Notify(KIV_Handle handle);

/* ------------------------------------------------------------------------ */
/* Service frames                                                            */
/* ------------------------------------------------------------------------ */

/* NMT command on id 0x000: data [command low byte, node] (node 0: all;
 * 128 and above refused). */
ORUKIV_C_API int32_t KIV_NMT_SendCommand(KIV_Handle handle, uint8_t node, int32_t command);
/* Heartbeat on 0x700 + node with the state's low byte (0: boot-up). */
ORUKIV_C_API int32_t KIV_NMT_SendHeartbeat(KIV_Handle handle, uint8_t node, int32_t state);
/* Node-guarding remote request on 0x700 + node. */
ORUKIV_C_API int32_t KIV_SendNodeGuardRequest(KIV_Handle handle, uint8_t node);
/* SYNC on 0x080 without a counter byte. */
ORUKIV_C_API int32_t KIV_SendSYNC(KIV_Handle handle);
/* EMCY on 0x080 + node; manufacturerData points to 5 bytes, or is null for
 * five zero bytes. */
ORUKIV_C_API int32_t KIV_SendEMCY(KIV_Handle handle, uint8_t node, uint16_t errorCode,
                                  uint8_t errorRegister, const uint8_t* manufacturerData);
/* PDO of 1..8 bytes on cobId, always as a classic frame. KIV_ERR_PARAM for
 * null data or a length of 0 or above 8. */
ORUKIV_C_API int32_t KIV_SendPDO(KIV_Handle handle, uint32_t cobId, const uint8_t* data,
                                 uint8_t length);
/* Remote PDO request (rtr 1, dlc 0) on cobId. */
ORUKIV_C_API int32_t KIV_SendRemotePDO(KIV_Handle handle, uint32_t cobId);
/* TIME stamp on 0x100 (dlc 8): TIME_OF_DAY of the given local calendar time,
 * valid from 1984-01-01 to 2120-02-07 06:28:15.999. Day, hour, minute and
 * second carry beyond their range; the millisecond is added unchanged. A
 * month outside 1..12 is wrapped into it: month 13 counts as January, 0 as
 * December (no year change). */
ORUKIV_C_API int32_t KIV_SendTimestamp(KIV_Handle handle, uint16_t year, uint8_t month, uint8_t day,
                                       uint8_t hour, uint8_t minute, uint8_t second,
                                       uint32_t millisecond);

/* ------------------------------------------------------------------------ */
/* Cyclic operation                                                          */
/* ------------------------------------------------------------------------ */

/* The host's part of a cycle, called on the worker right after the cycle's
 * SYNC went to canSend. cycle numbers the cycle's deadline: 0 for the first
 * SYNC after KIV_StartCyclic started a stopped instance, then one more per
 * period, so it grows by more than 1 after skipped deadlines (its time is
 * cycle x period after the start, while the period is unchanged); it runs
 * on across a start while running. Fill up to
 * maxFrames (at least 16) frames, typically the RPDOs with this cycle's
 * targets, and return how many: the library sends them at once, in order,
 * before anything else. A return below 0 or above maxFrames, or a frame
 * with a dlc above 8, sends none of the cycle's frames and is logged once
 * per start. The callback rules hold (exports that queue are refused;
 * KIV_Notify, KIV_GetStats, KIV_GetCyclicStats, KIV_StartCyclic and
 * KIV_StopCyclic work). Keep it short: the next SYNC waits for it. */
typedef int32_t (*KIV_CycleFn)(uint64_t cycle, KIV_CanFrame* frames, uint32_t maxFrames,
                               void* user);

/* Starts SYNC on 0x080 every periodUs microseconds (250..1000000), the
 * first at once, with deadlines start + k x period (no drift).
 * counterOverflow 0 sends SYNC without data; 2..240 adds the counter byte,
 * 1 in the first SYNC and one more in each SYNC sent up to counterOverflow,
 * then 1 again (a skipped deadline sends nothing and counts nothing). fn may
 * be null (SYNC only); user is passed back to it. A SYNC later than its
 * deadline by a whole period or more is not caught up: those deadlines are
 * skipped and counted, and the SYNC goes out for the last deadline passed.
 * Works in the default timing and in low-latency mode: the worker sleeps
 * until its next pass or the next deadline, whichever comes first, and while
 * cycles run a receive poll that filled all 8 records starts the next pass
 * at once (as KIV_TIMING_DRAIN_RECEIVE does), so that the drives' answers do
 * not pile up. Starting while running replaces period, counter overflow, fn
 * and user from the next cycle, which comes one new period after the last
 * cycle's deadline (at once when that has passed); the counter byte runs on
 * (1 when it is beyond the new overflow). Safe from any thread and from the
 * instance's callbacks. 0; KIV_ERR_PARAM, changing nothing, for a null
 * handle, a period out of range or a counterOverflow of 1 or above 240;
 * KIV_ERR_NO_RESOURCE, changing nothing, when the system cannot provide the
 * waitable sleep. */
ORUKIV_C_API int32_t KIV_StartCyclic(KIV_Handle handle, uint32_t periodUs, uint8_t counterOverflow,
                                     KIV_CycleFn fn, void* user);

/* Stops cyclic operation: once it returns, no SYNC goes out and fn is not
 * called again until the next start. From another thread it waits for a
 * cycle under way (SYNC, fn, its frames) to end, so fn must not wait for
 * the stopping thread. Called inside fn, the frames that fn returns are
 * still sent. KIV_Destroy stops it too. 0 (also when not running);
 * KIV_ERR_PARAM for a null handle. */
ORUKIV_C_API int32_t KIV_StopCyclic(KIV_Handle handle);

/* Copies the counters of cyclic operation into *stats. Takes no lock and
 * never waits: safe from any thread, callbacks included; fields are read
 * one by one. All zero before the first start. 0, or KIV_ERR_PARAM for a
 * null handle or stats. */
ORUKIV_C_API int32_t KIV_GetCyclicStats(KIV_Handle handle, KIV_CyclicStats* stats);

/* ------------------------------------------------------------------------ */
/* SDO object access                                                         */
/* ------------------------------------------------------------------------ */

/* Reads object index/subIndex of node into buffer (capacity bytes). The
 * server chooses the protocol (expedited for small objects, segmented for
 * long ones), whatever the buffer size, so pass a buffer as large as the
 * largest value expected. On success *received holds the bytes stored: the
 * object's size, or capacity when the object is longer (the rest is
 * dropped; see KIV_SetSdoRefuseLongReads for refusing such an object at
 * the server's first answer). KIV_ERR_PARAM for a null buffer or received pointer, or when a
 * segmented answer disagrees with its announced size (the library then
 * aborts the transfer); KIV_ERR_ABORTED when the server aborts (the code:
 * KIV_ReadObjectEx); KIV_ERR_TIMEOUT when the server stays silent for the
 * SDO time-out. */
ORUKIV_C_API int32_t KIV_ReadObject(KIV_Handle handle, uint8_t node, uint16_t index,
                                    uint8_t subIndex, uint8_t* buffer, uint32_t capacity,
                                    uint32_t* received);
/* Writes size bytes (1..4 expedited, 5 or more segmented) to object
 * index/subIndex of node. KIV_ERR_PARAM for null data or size 0;
 * KIV_ERR_ABORTED when the server aborts the write (the code:
 * KIV_WriteObjectEx); KIV_ERR_TIMEOUT as for reads.
 *
 * SDO transfers of one instance, from any number of threads: up to 16 reads
 * and 16 writes are in progress at once. Transfers with one node are kept
 * apart: a segmented exchange (a write of 5 bytes or more, a read into a
 * buffer of 5 bytes or more, or a read the server answers segmented) has
 * the node to itself; other transfers with that node wait, before their
 * first frame, until it ends, and it waits for the node's transfers in
 * progress. Expedited transfers to distinct objects of a node overlap, and
 * reads of one object may share one answer. Waiting transfers start in the
 * order they were requested; a transfer's time-out starts with its first
 * frame. The time-out bounds the server's silence: it runs from the last
 * answered frame, so long objects need no longer time-out. Segments move
 * one per worker pass; an unanswered frame is sent again every 100 ms
 * (KIV_SetSdoRetry changes both figures).
 *
 * What a standard server does with overlapping transfers: a CiA 301 server
 * serves one transfer at a time on its SDO and commonly drops a request
 * that arrives while it works, so an overlapping expedited transfer is only
 * answered after its re-send. KIV_SetSdoOneTransferPerNode makes every
 * transfer with a node wait for the previous one instead.
 *
 * Re-sent requests and late answers: an answer names only the object, so
 * an answer to a re-sent copy of a write cannot be told from the answer to
 * a later write of the same object. The rule: when a write's initiate frame
 * was sent more than once, the node's next write of that object waits,
 * before its first frame, until every copy has drawn an answer (or an
 * abort) or the SDO time-out has passed since the last copy; no write is
 * ever completed by an answer that may belong to an earlier request. Reads
 * behave exactly as without the rule. KIV_SetSdoRetry(handle, interval, 0)
 * never sends a copy at all. */
ORUKIV_C_API int32_t KIV_WriteObject(KIV_Handle handle, uint8_t node, uint16_t index,
                                     uint8_t subIndex, const uint8_t* data, uint32_t size);
/* KIV_ReadObject and KIV_WriteObject with one more out-parameter:
 * *abortCode (when abortCode is not null) receives the server's SDO abort
 * code when the server aborted the transfer (the result is then
 * KIV_ERR_ABORTED), and 0 otherwise. Results as for the plain calls. */
ORUKIV_C_API int32_t KIV_ReadObjectEx(KIV_Handle handle, uint8_t node, uint16_t index,
                                      uint8_t subIndex, uint8_t* buffer, uint32_t capacity,
                                      uint32_t* received, uint32_t* abortCode);
ORUKIV_C_API int32_t KIV_WriteObjectEx(KIV_Handle handle, uint8_t node, uint16_t index,
                                       uint8_t subIndex, const uint8_t* data, uint32_t size,
                                       uint32_t* abortCode);
/* The meaning of a CiA 301 SDO abort code in words (static text, never
 * null; "unknown abort code" for a code outside the standard's table). */
ORUKIV_C_API const char* KIV_SdoAbortText(uint32_t abortCode);
/* Sets the SDO time-out (ms, 1000 initially) of transfers requested from now
 * on: how long the server may stay silent. Returns non-zero on success, 0
 * for a null handle. */
ORUKIV_C_API int32_t KIV_SetSDOTimeout(KIV_Handle handle, uint32_t timeoutMs);

/* Re-send policy of SDO transfers requested from now on: an unanswered
 * initiate, segment or end frame is sent again every intervalMs ms, at most
 * maxResends times (0: never; 0xFFFFFFFF: until the time-out). Initially
 * 100 ms and 0xFFFFFFFF, which is the behaviour described at
 * KIV_WriteObject. 0, or KIV_ERR_PARAM for intervalMs 0. Queues nothing:
 * safe from any thread. */
ORUKIV_C_API int32_t KIV_SetSdoRetry(KIV_Handle handle, uint32_t intervalMs, uint32_t maxResends);

/* enable non-zero: transfers with one node (reads and writes, of any
 * object) no longer overlap; each waits, before its first frame, until the
 * node's previous transfer has ended, as a standard server expects (see
 * KIV_WriteObject). 0 (the initial setting) lets expedited transfers to
 * distinct objects overlap. Applies to transfers requested from now on.
 * 0; KIV_ERR_PARAM for a null handle. Queues nothing. */
ORUKIV_C_API int32_t KIV_SetSdoOneTransferPerNode(KIV_Handle handle, uint32_t enable);

/* enable non-zero: a read requested from now on (KIV_ReadObject, its Ex and
 * Block forms) whose server announces the object's size in its first
 * answer (segmented or block) and a size above capacity ends at once: the
 * client sends its abort frame (0x06070012, length too high), nothing more
 * moves and nothing is stored; the result is 0 with *received equal to
 * capacity, as for any object longer than the buffer (pass capacity one
 * above the largest size accepted to tell the two apart). 0 (the initial
 * setting): the read goes on and stores the first capacity bytes. Objects
 * of 1..4 bytes and servers that announce no size are read as without it.
 * 0; KIV_ERR_PARAM for a null handle. Queues nothing. */
ORUKIV_C_API int32_t KIV_SetSdoRefuseLongReads(KIV_Handle handle, uint32_t enable);

/* Cancels the SDO transfers (expedited, segmented and block, reads and
 * writes) of this instance with node (1..127; 0: with every node) that are
 * queued or under way when it is called: each call ends with
 * KIV_ERR_CANCELLED within one worker pass. A transfer that has sent its
 * initiate frame sends the abort frame for its object (abort code
 * 0x08000000) before its call returns; one that sent nothing ends without a
 * frame. A transfer already over (answered, aborted or failed, its caller
 * not yet released) keeps its result. Calls made after it run normally.
 * Waits for nothing and queues nothing: safe from any thread and from
 * inside the instance's own callbacks (the progress callback is the natural
 * place). 0; KIV_ERR_PARAM for a null handle or a node above 127. */
ORUKIV_C_API int32_t KIV_Cancel(KIV_Handle handle, uint8_t node);

/* ------------------------------------------------------------------------ */
/* SDO block transfer                                                        */
/* ------------------------------------------------------------------------ */

/* Reads object index/subIndex of node with a CiA 301 block upload: the
 * client asks for sub-blocks of blockSize segments (KIV_SetBlockTransfer,
 * 127 initially) with CRC, acknowledges each sub-block with the last segment
 * it took in order (the server repeats what follows), and checks the CRC
 * (CRC-16, polynomial 0x1021, initial value 0, over the data only) when the
 * server supports it. Arguments, stored bytes and results as for
 * KIV_ReadObjectEx; abortCode may be null.
 * - A server may answer an object no longer than the protocol-switch
 *   threshold (KIV_SetBlockTransfer, 4 bytes initially) with a normal
 *   upload; the read then completes as such.
 * - A server that refuses block transfer (abort 0x05040001 on the initiate)
 *   makes the same call go on as KIV_ReadObjectEx would; *abortCode stays 0.
 * - Faults of the server end the read with KIV_ERR_PARAM, and the client
 *   sends its abort frame with the code given: a segment number outside
 *   1..blksize (0x05040003); an end frame claiming more unused bytes than
 *   the last segment holds, a size indicated other than the data sent
 *   (0x06070010); a CRC mismatch (0x05040004). A segment out of order is
 *   dropped and the sub-block acknowledged with the last good number; a
 *   server that never gets further, or stays silent, ends the read with
 *   KIV_ERR_TIMEOUT after the SDO time-out since the last segment taken,
 *   and the client's abort 0x05040000. The buffer is never written past
 *   capacity. A block transfer has the node to itself. */
ORUKIV_C_API int32_t KIV_ReadObjectBlock(KIV_Handle handle, uint8_t node, uint16_t index,
                                         uint8_t subIndex, uint8_t* buffer, uint32_t capacity,
                                         uint32_t* received, uint32_t* abortCode);

/* Writes size bytes (1 or more) to object index/subIndex of node with a
 * CiA 301 block download, size indicated, CRC supported. The server's
 * blksize is taken from its initiate answer and from every acknowledgement;
 * a value outside 1..127 ends the write with KIV_ERR_PARAM and the client's
 * abort 0x05040002, an acknowledgement of a segment not sent with 0x05040003.
 * A sub-block is sent again from the segment after the last one
 * acknowledged. Pacing: in the default timing at most framesPerPass
 * segments (KIV_SetBlockTransfer, 127 initially) go out per worker pass; in
 * low-latency mode a sub-block goes out as fast as canSend takes it. A
 * failing canSend pauses the sub-block: that segment is sent again at the
 * next pass (each failure counted in KIV_Stats.sendFailures); the transfer
 * only fails when nothing moves for the SDO time-out. A server that refuses
 * block transfer (abort 0x05040001 on the initiate) makes the same call go
 * on as KIV_WriteObjectEx would. Results as for KIV_WriteObjectEx; abortCode
 * may be null; KIV_ERR_PARAM for null data or size 0. */
ORUKIV_C_API int32_t KIV_WriteObjectBlock(KIV_Handle handle, uint8_t node, uint16_t index,
                                          uint8_t subIndex, const uint8_t* data, uint32_t size,
                                          uint32_t* abortCode);

/* Block transfer parameters of transfers requested from now on: blockSize
 * (1..127) segments per sub-block the client asks for in uploads;
 * switchThreshold (0..255) the protocol-switch threshold sent in the upload
 * initiate (0: the server must not switch); framesPerPass (1 or more)
 * download segments sent per worker pass in the default timing. Initially
 * 127, 4 and 127. 0, or KIV_ERR_PARAM changing nothing. Queues nothing. */
ORUKIV_C_API int32_t KIV_SetBlockTransfer(KIV_Handle handle, uint32_t blockSize,
                                          uint32_t switchThreshold, uint32_t framesPerPass);

/* Progress of a segmented or block transfer: done bytes of total moved so
 * far (total 0 where the server indicated no size). Called on the worker
 * thread, at most once per pass per transfer, when the count changed; the
 * callback rules at the top apply. */
typedef void (*KIV_ProgressFn)(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t done,
                               uint32_t total, void* user);
/* Sets (fn not null) or clears the progress callback for transfers
 * requested from now on; user is passed back. 0; KIV_ERR_PARAM for a null
 * handle. Queues nothing. */
ORUKIV_C_API int32_t KIV_SetTransferProgress(KIV_Handle handle, KIV_ProgressFn fn, void* user);

/* ------------------------------------------------------------------------ */
/* Remote configuration                                                      */
/* ------------------------------------------------------------------------ */

/* Writes the producer heartbeat time 0x1017:0 (2 bytes, periodMs in ms; 0
 * stops the node's heartbeat) of node. Results as for KIV_WriteObject. */
ORUKIV_C_API int32_t KIV_NMT_SetHeartbeatPeriod(KIV_Handle handle, uint8_t node, uint16_t periodMs);
/* Maps TPDO tpdo (1..4) of node as CiA 301 nodes require: reads the PDO's
 * COB-ID (0x1800+tpdo-1 sub 1); when the PDO is valid, writes it back with
 * bit 31 set; writes the mapping count (0x1A00+tpdo-1 sub 0) as 0, the
 * entries to sub 1..count, then the count; finally writes the original
 * COB-ID back when it was changed. Stops at the first step that fails and
 * returns its result (the COB-ID is still restored), 0 only when every step
 * succeeded; 1 for a bad tpdo, null entries or count 0 (nothing sent). */
ORUKIV_C_API int32_t KIV_ConfigTPDO(KIV_Handle handle, uint8_t node, uint8_t tpdo,
                                    const KIV_PdoMapEntry* entries, uint8_t count);

/* KIV_ConfigReport.flags (set by the caller before the call). */
/* Go on with the next write after a failed one (default: stop there). */
#define KIV_CONFIG_CONTINUE 0x1u

/* What a configuration call did (32 bytes): KIV_ConfigPDO, KIV_ConfigureNode
 * and KIV_WriteConciseDcf (orukiv_od.h). The caller sets flags; the call
 * fills in the rest. */
typedef struct KIV_ConfigReport {
    uint32_t flags;         /* in: KIV_CONFIG_ flags                        */
    uint32_t written;       /* SDO writes that succeeded                    */
    uint32_t failed;        /* SDO writes that failed (at most 1 without
                               KIV_CONFIG_CONTINUE)                         */
    uint32_t skipped;       /* DCF entries with a ParameterValue left out:
                               not writable (ro, const, no AccessType)     */
    uint16_t failedIndex;   /* the first failed write's index ...          */
    uint8_t failedSubIndex; /* ... and sub-index; 0 when none failed       */
    uint8_t reserved;       /* zero                                         */
    int32_t failedResult;   /* its result (KIV_ERR_); 0 when none failed    */
    uint32_t abortCode;     /* its SDO abort code when the node aborted it  */
    uint32_t steps;         /* SDO writes the call consists of              */
} KIV_ConfigReport;
KIV_LAYOUT_CHECK(sizeof(KIV_ConfigReport) == 32, config_report_size);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, written) == 4, config_report_written);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, failed) == 8, config_report_failed);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, skipped) == 12, config_report_skipped);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, failedIndex) == 16, config_report_index);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, failedSubIndex) == 18, config_report_sub);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, failedResult) == 20, config_report_result);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, abortCode) == 24, config_report_abort);
KIV_LAYOUT_CHECK(offsetof(KIV_ConfigReport, steps) == 28, config_report_steps);

/* Configures PDO pdoNumber (1..512) of node: an RPDO (isTransmit 0:
 * records 0x1400+n-1 and 0x1600+n-1) or a TPDO (isTransmit not 0: 0x1800+n-1
 * and 0x1A00+n-1), as CiA 301 nodes require, one SDO write per step: the
 * COB-ID (sub 1) as cobId with bit 31 set (the PDO invalid), the mapping
 * count (sub 0) as 0, the count entries to sub 1..count, the count, the
 * transmission type (sub 2), and cobId last unless its bit 31 is set (the
 * PDO then stays invalid; the first step wrote it). count 0 leaves the PDO
 * with no mapping. Stops at the first step that fails (the PDO is then left
 * invalid) and returns its result, 0 only when every step succeeded;
 * report (may be null) says which step failed (failedIndex,
 * failedSubIndex, failedResult, abortCode), how many succeeded (written)
 * and how many the call has (steps); its flags are kept and not used.
 * KIV_ERR_PARAM, sending nothing, for a null handle, a node outside 1..127,
 * a pdoNumber outside 1..512, count above 64, or null entries with count
 * not 0. */
ORUKIV_C_API int32_t KIV_ConfigPDO(KIV_Handle handle, uint8_t node, uint8_t isTransmit,
                                   uint16_t pdoNumber, uint32_t cobId, uint8_t transmissionType,
                                   const KIV_PdoMapEntry* entries, uint8_t count,
                                   KIV_ConfigReport* report);

/* ------------------------------------------------------------------------ */
/* Node supervision and statistics                                           */
/* ------------------------------------------------------------------------ */

/* Supervision is off for every node until one of the two calls below turns
 * it on; the worker then tracks that node's NMT state from its frames on
 * 0x700 + node and reports every change with a KIV_EVENT_NODE_STATE event,
 * sent after the event of the frame that caused it. A lost node gives one
 * event and no more until it comes back. Node ids outside 1..127 are
 * refused with KIV_ERR_PARAM. Both calls queue: not from a callback. */

/* Heartbeat consumer: node is declared lost (KIV_NODE_HEARTBEAT_LOST) when
 * more than heartbeatTimeoutMs ms pass after its last valid heartbeat or
 * boot-up frame. Watching starts with the first such frame. A node that
 * was guarded is heartbeat-supervised from now on; calling again changes
 * the time-out and keeps what is known. heartbeatTimeoutMs 0 stops
 * heartbeat supervision of node and forgets it (a guarded node is left
 * guarded). KIV_ERR_PARAM for a time-out above 0x7FFFFFFF. */
ORUKIV_C_API int32_t KIV_SuperviseNode(KIV_Handle handle, uint8_t node,
                                       uint32_t heartbeatTimeoutMs);

/* Node guarding (master side): the worker sends the guarding remote frame
 * on 0x700 + node every guardTimeMs ms, the first at once, and takes an
 * answer as valid when it carries a known NMT state (4, 5 or 127) and a
 * toggle bit (bit 7) other than the previous valid answer's; the first
 * answer after the call or after a boot-up frame may carry either toggle.
 * After a loss, only an answer whose toggle differs from the last answer
 * seen (or a boot-up frame) brings the node back, so that a node whose
 * toggle never alternates stays lost instead of coming and going. node is declared lost
 * (KIV_NODE_GUARDING_LOST) when more than guardTimeMs x lifeTimeFactor ms pass without a valid
 * answer, counted from the call before the first answer. Answers with a toggle error are logged and
 * ignored. A heartbeat-supervised node is guarded from now on. guardTimeMs 0 stops guarding node
 * and forgets it (a heartbeat-supervised node is left so). KIV_ERR_PARAM for a lifeTimeFactor of 0
 * or a life time above 0x7FFFFFFF ms. */
ORUKIV_C_API int32_t KIV_GuardNode(KIV_Handle handle, uint8_t node, uint32_t guardTimeMs,
                                   uint8_t lifeTimeFactor);

/* Copies what the worker knows of node into *status. Does not queue: safe
 * from any thread, callbacks included. 0, or KIV_ERR_PARAM for a null
 * handle or status, or a node outside 1..127. */
ORUKIV_C_API int32_t KIV_GetNodeState(KIV_Handle handle, uint8_t node, KIV_NodeStatus* status);

/* Copies the instance's counters into *stats. Does not queue: safe from any
 * thread, callbacks included; counters are read one by one, so a snapshot
 * taken while the worker runs may be a pass apart. 0, or KIV_ERR_PARAM for
 * a null handle or stats. */
ORUKIV_C_API int32_t KIV_GetStats(KIV_Handle handle, KIV_Stats* stats);

/* ------------------------------------------------------------------------ */
/* LSS master (CiA 305)                                                      */
/* ------------------------------------------------------------------------ */

/* Layer setting services: frames on 0x7E5, answers on 0x7E4. Each call is
 * one service and queues one request; the worker runs one LSS service at a
 * time (others wait, in order) while the rest of the bus traffic goes on.
 * Out-parameters may not be null (KIV_ERR_PARAM). A confirmed service whose
 * answer does not come within the LSS time-out (KIV_LSS_SetTimeout) returns
 * KIV_ERR_TIMEOUT; answers with another command specifier are ignored. */

/* Switch state global: mode 0 waiting, 1 configuration (others refused).
 * Unconfirmed. */
ORUKIV_C_API int32_t KIV_LSS_SwitchGlobal(KIV_Handle handle, uint8_t mode);
/* Switch state selective: the slave with this identity enters
 * configuration state; 0 when it confirmed. */
ORUKIV_C_API int32_t KIV_LSS_SwitchSelective(KIV_Handle handle, uint32_t vendor, uint32_t product,
                                             uint32_t revision, uint32_t serial);
/* Configure node-ID (1..127, or 255 to make the slave unconfigured; any
 * other refused before any frame) of the slave in configuration state. 0
 * when accepted; KIV_ERR_ABORTED when the slave refused it, *errorCode
 * then holding its error code (1: out of range). A configured slave takes
 * the new node-ID at its next reset communication; an unconfigured one
 * when it is switched back to waiting state. */
ORUKIV_C_API int32_t KIV_LSS_ConfigureNodeId(KIV_Handle handle, uint8_t nodeId, uint8_t* errorCode);
/* Configure bit timing: table 0 is the CiA standard table (index 0 1000,
 * 1 800, 2 500, 3 250, 4 125, 6 50, 7 20, 8 10 kbit/s). Results and
 * *errorCode as KIV_LSS_ConfigureNodeId (1: not supported). */
ORUKIV_C_API int32_t KIV_LSS_ConfigureBitTiming(KIV_Handle handle, uint8_t table, uint8_t index,
                                                uint8_t* errorCode);
/* Activate bit timing (unconfirmed): slaves stop sending, switch to the new
 * bit timing after delayMs and wait delayMs more. The host switches its own
 * interface in between; the library does not. */
ORUKIV_C_API int32_t KIV_LSS_ActivateBitTiming(KIV_Handle handle, uint16_t delayMs);
/* Store configuration: the slave keeps its node-ID and bit timing across a
 * power cycle. Results and *errorCode as KIV_LSS_ConfigureNodeId (1: not
 * supported, 2: storage access error). */
ORUKIV_C_API int32_t KIV_LSS_StoreConfiguration(KIV_Handle handle, uint8_t* errorCode);
/* Inquire identity of the slave in configuration state: vendor, product,
 * revision and serial into identity[0..3] (written only on success). */
ORUKIV_C_API int32_t KIV_LSS_InquireIdentity(KIV_Handle handle, uint32_t identity[4]);
/* Inquire node-ID of the slave in configuration state (255: unconfigured). */
ORUKIV_C_API int32_t KIV_LSS_InquireNodeId(KIV_Handle handle, uint8_t* nodeId);
/* Identify non-configured remote slaves: 0 as soon as one answered,
 * KIV_ERR_TIMEOUT when none did within timeoutMs (0: the LSS time-out). */
ORUKIV_C_API int32_t KIV_LSS_IdentifyNonConfigured(KIV_Handle handle, uint32_t timeoutMs);
/* Fastscan: finds the whole identity (vendor, product, revision, serial
 * into found[0..3]) of one unconfigured slave in waiting state and leaves
 * it in configuration state, ready for KIV_LSS_ConfigureNodeId. Returns
 * KIV_ERR_TIMEOUT when no slave answers the first query (none left). With
 * several unconfigured slaves it finds the one with the lowest identity;
 * call again, after numbering it, for the next.
 *
 * timeoutMs is the wait for "no answer" at each of the up to 133 steps
 * (0: 20 ms); every '1' bit of the identity costs one such wait, a '0' bit
 * only the answer's round trip. 20 ms covers the query and the answer on
 * the wire at 50 kbit/s and above (two 8-byte frames take at most 5.4 ms
 * there), a slave that answers within 10 ms, and the worker's 5 ms pass.
 * Raise it for 20 or 10 kbit/s (about 2 x 13 ms per frame at 10 kbit/s),
 * for slaves that answer slower, or for interfaces that add latency: wait =
 * 2 x frame time + the slave's answer time + the host's latency. A part of
 * the identity misread because an answer came later than the wait (no
 * slave confirms it) is scanned once more with twice the wait; when that
 * fails too the result is KIV_ERR_TIMEOUT. timeoutMs above 0x7FFFFFFF is
 * refused. */
ORUKIV_C_API int32_t KIV_LSS_Fastscan(KIV_Handle handle, uint32_t timeoutMs, uint32_t found[4]);
/* Sets the wait for the answer of the confirmed services (ms, 1000
 * initially; 1..0x7FFFFFFF). Does not queue; takes effect for services
 * started after it. */
ORUKIV_C_API int32_t KIV_LSS_SetTimeout(KIV_Handle handle, uint32_t timeoutMs);

/* ------------------------------------------------------------------------ */
/* Boot-up of a node (CiA 302-2)                                             */
/* ------------------------------------------------------------------------ */

/* Boots one node as a CiA 302-2 manager does, in these steps, stopping at
 * the first that fails:
 *  1. reads 0x1000 (once; a mandatory node until bootTimeMs) and compares
 *     it with deviceType: 'B' no answer, 'C' differs;
 *  2. reads 0x1018:1..4 where a value is expected and compares:
 *     'D' vendor, 'M' product, 'N' revision, 'O' serial (an unanswered read
 *     gives the same letter with its result);
 *  3. KIV_BOOT_RESET_COMM: NMT reset communication, then waits for the
 *     node's boot-up message up to bootTimeMs: 'B' when it does not come;
 *  4. KIV_BOOT_CONFIGURE: writes the configuration (KIV_ConfigureNode of
 *     dcf, else KIV_WriteConciseDcf of the concise DCF): 'J', with the
 *     failed entry in index/subIndex and its abort code;
 *  5. guardTimeMs: KIV_GuardNode, else heartbeatMs: KIV_SuperviseNode; the
 *     node must then answer within the life time / heartbeat time: 'F' /
 *     'E' otherwise;
 *  6. KIV_BOOT_START: NMT start.
 * Returns 0 when the node booted (status 0, or 'L'); a failed step's own
 * result (KIV_ERR_TIMEOUT, KIV_ERR_ABORTED, a send failure ...); and
 * KIV_ERR_ABORTED for a check whose value differs. KIV_ERR_PARAM for a
 * node outside 1..127, a null param or report, or KIV_BOOT_CONFIGURE
 * without a configuration (nothing sent). *report is always filled, and
 * the worker reports the end with a KIV_EVENT_BOOT event.
 *
 * Each step is made of the exports above, so it is bounded by their
 * time-outs (the SDO time-out for each read and write). Several nodes are
 * booted at once by calling KIV_BootNode from several threads, one per
 * node: their SDO transfers run side by side. Not from a callback. */
ORUKIV_C_API int32_t KIV_BootNode(KIV_Handle handle, uint8_t node, const KIV_BootParam* param,
                                  KIV_BootReport* report);

/* ------------------------------------------------------------------------ */
/* CiA 402 drive profile (sub-index 0 of each object, expedited SDO)         */
/* ------------------------------------------------------------------------ */

/* Each call is one SDO transfer (PowerOn four) with the node's object, and
 * returns as KIV_WriteObject or KIV_ReadObject. A Get call returns
 * KIV_ERR_PARAM for a null value pointer, and leaves the value as it was
 * unless the read succeeded with the object's full size. */

/* Controlword 0x6040. */
ORUKIV_C_API int32_t KIV_402_SetControlWord(KIV_Handle handle, uint8_t node, uint16_t value);
/* Statusword 0x6041. The getters store the value only when exactly the
 * object's size arrived (2 bytes here); an answer of another length fails
 * with KIV_ERR_PARAM. */
ORUKIV_C_API int32_t KIV_402_GetStatusWord(KIV_Handle handle, uint8_t node, uint16_t* value);
/* Modes of operation 0x6060: the low byte of mode is written. */
ORUKIV_C_API int32_t KIV_402_SetOpMode(KIV_Handle handle, uint8_t node, int32_t mode);
/* Modes of operation display 0x6061 (1 byte: the mode in force),
 * zero-extended. */
ORUKIV_C_API int32_t KIV_402_GetOpMode(KIV_Handle handle, uint8_t node, int32_t* mode);
/* Target position 0x607A. */
ORUKIV_C_API int32_t KIV_402_SetTargetPos(KIV_Handle handle, uint8_t node, int32_t value);
/* Position actual value 0x6064; exactly 4 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualPos(KIV_Handle handle, uint8_t node, int32_t* value);
/* Target velocity 0x60FF. */
ORUKIV_C_API int32_t KIV_402_SetTargetVel(KIV_Handle handle, uint8_t node, int32_t value);
/* Velocity actual value 0x606C; exactly 4 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualVel(KIV_Handle handle, uint8_t node, int32_t* value);
/* Target torque 0x6071. */
ORUKIV_C_API int32_t KIV_402_SetTargetTorque(KIV_Handle handle, uint8_t node, int16_t value);
/* Torque actual value 0x6077; exactly 2 bytes. */
ORUKIV_C_API int32_t KIV_402_GetActualTorque(KIV_Handle handle, uint8_t node, int16_t* value);
/* Homing method 0x6098. */
ORUKIV_C_API int32_t KIV_402_SetHomingMode(KIV_Handle handle, uint8_t node, int8_t method);
/* Writes the controlword 0x0080 (fault reset). */
ORUKIV_C_API int32_t KIV_402_FaultReset(KIV_Handle handle, uint8_t node);
/* Writes the controlwords 0x0080, 0x0006, 0x0007, 0x000F, 10 ms apart;
 * returns the first failure, or the last write's result. */
ORUKIV_C_API int32_t KIV_402_PowerOn(KIV_Handle handle, uint8_t node);

/* ------------------------------------------------------------------------ */
/* Version                                                                   */
/* ------------------------------------------------------------------------ */

/* The library's version as one number, major * 10000 + minor * 100 + patch
 * (1.2.3 is 10203), so that versions compare as numbers. When `text` is not
 * null it receives the same version as static text, "1.2.3" (never null).
 * Queues nothing: callable at any time, from any thread, callbacks included. */
ORUKIV_C_API uint32_t KIV_GetVersion(const char** text);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_H */
