/*
 * orukiv: supervision: heartbeat consumer, node guarding, node states and the
 * instance's statistics.
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_SUPERVISION_H
#define ORUKIV_SUPERVISION_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

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

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_SUPERVISION_H */
