/*
 * orukiv: lifecycle and frames: result codes, the handle, CAN frames, the host's
 * callbacks and received-frame events, KIV_Init/KIV_Destroy, the worker's
 * timing and the version.
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_LIFECYCLE_H
#define ORUKIV_LIFECYCLE_H

#include <stddef.h>
#include <stdint.h>

#include "orukiv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Result codes                                                              */
/* ------------------------------------------------------------------------ */

/* The exports that return a result code (see orukiv.h) return one of these,
 * or any other non-zero value: the send callback's own failure code, passed
 * through unchanged (exports that send a frame). Code 5 is never produced.
 * Refused arguments include node ids outside 1..127 and queuing calls made
 * inside a callback of the same instance (see the callback rules below). */
/* Carried out; for SDO, the transfer completed. Every family. */
#define KIV_OK 0
/* Argument refused, before anything is sent: every family (a null handle,
 * a node id, a value out of range, a queuing call inside its own
 * instance's callback). Also SDO (and what is built on it): segments that
 * disagree with the announced size; the dictionary calls: a value or file
 * that cannot be read, an entry that is not there. */
#define KIV_ERR_PARAM 1
/* No complete answer in time: SDO and what is built on it (remote
 * configuration, drive profile, configuration download, boot-up), LSS
 * confirmed services, boot-up waits; SDO transfers stranded by
 * KIV_Destroy. */
#define KIV_ERR_TIMEOUT 2
/* Out of a resource: every queuing export (ring full, no semaphore,
 * requests stranded by KIV_Destroy); SDO (no free channel); cyclic operation
 * and worker timing (no waitable sleep); the dictionary calls (memory). */
#define KIV_ERR_NO_RESOURCE 3
/* The other side refused: the SDO server aborted the transfer (SDO and what
 * is built on it, with the abort code where the call reports one); an LSS
 * slave answered with an error; a boot-up step a node refused. */
#define KIV_ERR_ABORTED 4
/* The send path had no send callback, or no frame to send: exports that
 * send a frame. */
#define KIV_ERR_NO_SEND 6
/* Ended by KIV_Cancel: SDO transfers (and what is built on them) queued or
 * under way with the node when it was called. */
#define KIV_ERR_CANCELLED 7
/* Several answers where one was expected: the LSS inquiries, when more than
 * one slave in configuration state answered. */
#define KIV_ERR_AMBIGUOUS 8
/* A check read another value than expected: KIV_BootNode and
 * KIV_BootNetwork (expected and actual in the report). */
#define KIV_ERR_MISMATCH 9

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

/* Rules for every callback of the interface: it runs on the instance's worker thread,
 * one at a time, and never once KIV_Destroy of the instance has returned
 * (see there). Inside a callback of its own instance, an export that queues
 * a request would wait for itself: it returns KIV_ERR_PARAM at once instead,
 * queues nothing and logs one Error line naming the export. Exports that
 * queue nothing (listed in orukiv.h) work there, KIV_Destroy stops the
 * instance without waiting, and every export of another instance works as
 * anywhere else. */

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
/* Layout checks                                                             */
/* ------------------------------------------------------------------------ */

#ifdef __cplusplus
#define KIV_LAYOUT_CHECK(cond, name) static_assert(cond, #name)
#else
#define KIV_LAYOUT_CHECK(cond, name) typedef char kiv_layout_check_##name[(cond) ? 1 : -1]
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
 * when that callback returns. In every case no progress call
 * (KIV_SetTransferProgress) starts after it returned: when it gives up
 * waiting it also waits (up to 1000 ms more) for a progress call under way
 * on the worker to return. */
ORUKIV_C_API int32_t KIV_Destroy(KIV_Handle handle);

/* Every export that takes a handle, in every header, returns KIV_ERR_PARAM
 * for a null one and queues nothing (KIV_SetSDOTimeout returns 0 there). Where a node id picks the
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
 * sleeping, so that the worker keeps up while the host has frames. This is
 * now the behaviour of every timing; the flag is still accepted. */
#define KIV_TIMING_DRAIN_RECEIVE 0x2u
/* The host hands every received frame in with KIV_InputFrame: the worker
 * stops polling canRecv and fdRecv (they are never called while the flag is
 * set), so that a host whose receive path wakes on its own costs nothing
 * while the bus is quiet. */
#define KIV_TIMING_HOST_INPUT 0x8u

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
/* Version                                                                   */
/* ------------------------------------------------------------------------ */

/* The library's version as one number, major * 10000 + minor * 100 + patch
 * (1.2.3 is 10203), so that versions compare as numbers. When `text` is not
 * null it receives the same version as static text, "1.2.3" (never null).
 * Queues nothing: callable at any time, from any thread, callbacks included. */
ORUKIV_C_API uint32_t KIV_GetVersion(const char** text);

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
#if UINTPTR_MAX == UINT64_MAX
KIV_LAYOUT_CHECK(sizeof(KIV_InitParam) == 48, init_param_size);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, canSend) == 8, init_param_can_send);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, fdRecv) == 16, init_param_fd_recv);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, fdSend) == 24, init_param_fd_send);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, onEvent) == 32, init_param_on_event);
KIV_LAYOUT_CHECK(offsetof(KIV_InitParam, userData) == 40, init_param_user_data);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_LIFECYCLE_H */
