/*
 * orukiv: LSS master (CiA 305) and the boot-up of a node (CiA 302-2).
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_LSS_H
#define ORUKIV_LSS_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

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
/* LSS master (CiA 305)                                                      */
/* ------------------------------------------------------------------------ */

/* Layer setting services: frames on 0x7E5, answers on 0x7E4. Each call is
 * one service and queues one request; the worker runs one LSS service at a
 * time (others wait, in order) while the rest of the bus traffic goes on.
 * KIV_Cancel(h, 0) ends the LSS services queued or under way with
 * KIV_ERR_CANCELLED within one worker pass (they address no single node:
 * KIV_Cancel for a node leaves them).
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
 * revision and serial into identity[0..3] (written only on success). After
 * the first answer to each inquiry, further answers are awaited for 20 ms
 * (or as long again as the first took, within the LSS time-out); when more
 * than one slave answers (several in configuration state) the result is
 * KIV_ERR_AMBIGUOUS and nothing is written. The same holds for
 * KIV_LSS_InquireNodeId. */
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
 * several unconfigured slaves it finds one of them: among those whose
 * vendor, product and revision equal the ones the previous successful scan
 * of this instance found, if any, else among all, the lowest identity.
 * Call again, after numbering it and switching it back to waiting state,
 * for the next: repeated calls find every slave once.
 *
 * timeoutMs is the step (0: 20 ms): how long the slaves may take to answer
 * a query. An answer is taken only for the query whose step it arrives in,
 * never for a later one. The first query waits its whole step; when it
 * draws more than one answer frame (slaves answering at different moments)
 * every query waits its whole step (about 133 steps per slave), otherwise
 * a '1' bit costs one step and a '0' bit only the answer's round trip, and
 * each of the four parts is confirmed by a query sent two steps after the
 * last answered one, so that a late answer can never confirm a misread
 * part. A part already found by the previous scan is tried first with one
 * confirmation. 20 ms covers the query and the answer on the wire at
 * 50 kbit/s and above (two 8-byte frames take at most 5.4 ms there), a
 * slave that answers within 10 ms, and the worker's 5 ms pass. Raise it for
 * 20 or 10 kbit/s (about 2 x 13 ms per frame at 10 kbit/s), for slaves that
 * answer slower, or for interfaces that add latency: step = 2 x frame time
 * + the slave's answer time + the host's latency. A part that no slave
 * confirms (answers later than the step) is scanned once more with twice
 * the step; when that fails too the result is KIV_ERR_TIMEOUT, never a
 * wrong identity. timeoutMs above 0x7FFFFFFF is refused. */
ORUKIV_C_API int32_t KIV_LSS_Fastscan(KIV_Handle handle, uint32_t timeoutMs, uint32_t found[4]);
/* Sets the wait for the answer of the confirmed services (ms, 1000
 * initially; 1..0x7FFFFFFF). Does not queue; takes effect for services
 * started after it. */
ORUKIV_C_API int32_t KIV_LSS_SetTimeout(KIV_Handle handle, uint32_t timeoutMs);

/* KIV_LSS_ConfigureAll flags: store each node-ID in the slave. */
#define KIV_LSS_STORE 1u

/* One slave numbered by KIV_LSS_ConfigureAll (24 bytes). */
typedef struct KIV_LssFound {
    uint32_t identity[4]; /* vendor, product, revision, serial found     */
    uint8_t nodeId;       /* the node-ID given; 0 when none was          */
    uint8_t stored;       /* 1 when the slave stored it                  */
    uint8_t errorCode;    /* the slave's LSS error code of the failed
                             configure or store; 0 otherwise             */
    uint8_t reserved;     /* zero                                        */
    int32_t result;       /* 0 numbered (and stored when asked); else the
                             first failed service's result               */
} KIV_LssFound;
KIV_LAYOUT_CHECK(sizeof(KIV_LssFound) == 24, lss_found_size);
KIV_LAYOUT_CHECK(offsetof(KIV_LssFound, nodeId) == 16, lss_found_node_id);
KIV_LAYOUT_CHECK(offsetof(KIV_LssFound, result) == 20, lss_found_result);

/* Numbers every unconfigured slave: fastscans (step stepMs as
 * KIV_LSS_Fastscan, 0: 20 ms), gives the slave found the next node-ID from
 * firstNodeId up that no node uses, stores it with KIV_LSS_STORE, switches
 * it back to waiting state (it takes the node-ID and boots), and repeats
 * until no slave is left or maxCount slaves are numbered. A node-ID is in
 * use when the instance has heard a boot-up or heartbeat of it, or when the
 * node answers an SDO upload of 0x1000 within 50 ms. found[0..maxCount-1]
 * receives one entry per slave found, *count how many were filled. Returns
 * 0 when every slave found was numbered; otherwise the first failure's
 * code (the entries say which): a slave that refuses its node-ID ends the
 * run (switched back to waiting, it would be found again), one that only
 * refuses to store is numbered and the run goes on; KIV_ERR_NO_RESOURCE
 * when node-IDs run out above 127; KIV_ERR_TIMEOUT when a scan that drew
 * answers found no whole identity (the step is too short). KIV_ERR_PARAM,
 * KIV_Cancel(h, 0) ends the run with KIV_ERR_CANCELLED (the service under
 * way ends within a worker pass; a slave found is switched back to
 * waiting). KIV_ERR_PARAM, before any frame, for firstNodeId 0 or above 127,
 * maxCount 0, null found
 * or count, stepMs above 0x7FFFFFFF. Not from a callback. */
ORUKIV_C_API int32_t KIV_LSS_ConfigureAll(KIV_Handle handle, uint8_t firstNodeId, uint8_t maxCount,
                                          uint32_t flags, uint32_t stepMs, KIV_LssFound* found,
                                          uint32_t* count);

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
 * result (KIV_ERR_TIMEOUT, KIV_ERR_ABORTED for a server abort, a send
 * failure ...); and KIV_ERR_MISMATCH for a check whose value differs
 * (expected and actual in the report). KIV_ERR_PARAM for a
 * node outside 1..127, a null param or report, or KIV_BOOT_CONFIGURE
 * without a configuration (nothing sent). *report is always filled, and
 * the worker reports the end with a KIV_EVENT_BOOT event.
 *
 * KIV_Cancel for the node (or 0) ends the boot with KIV_ERR_CANCELLED and
 * status 0 (no letter): the SDO transfer under way ends (its abort frame
 * sent) and no further step is taken.
 *
 * Each step is made of other exports, so it is bounded by their
 * time-outs (the SDO time-out for each read and write). Several nodes are
 * booted at once by calling KIV_BootNode from several threads, one per
 * node: their SDO transfers run side by side. Not from a callback. */
ORUKIV_C_API int32_t KIV_BootNode(KIV_Handle handle, uint8_t node, const KIV_BootParam* param,
                                  KIV_BootReport* report);

/* KIV_BootNetwork flags */
/* Start the network with one NMT "start all nodes" command. */
#define KIV_BOOTNET_START_ALL 1u
/* When a mandatory slave fails: NMT "stop all nodes". */
#define KIV_BOOTNET_STOP_ALL 2u

/* One node of the network list (72 bytes). */
typedef struct KIV_BootNetParam {
    uint8_t node;        /* 1..127, once in the list                    */
    uint8_t reserved[7]; /* zero                                        */
    KIV_BootParam param; /* its boot, as KIV_BootNode; KIV_BOOT_MANDATORY
                            marks a mandatory slave                     */
} KIV_BootNetParam;
KIV_LAYOUT_CHECK(sizeof(KIV_BootNetParam) == 72, boot_net_param_size);
KIV_LAYOUT_CHECK(offsetof(KIV_BootNetParam, param) == 8, boot_net_param_param);

/* Boots a network: the listed nodes side by side (16 at a time, as many
 * as there are SDO channels; the next starts as one ends), each by the
 * KIV_BootNode procedure with its param, except that KIV_BOOT_START is
 * left to the end; reports[i] receives nodes[i]'s report and a
 * KIV_EVENT_BOOT event reports each end. When every mandatory slave booted
 * the network is started: with KIV_BOOTNET_START_ALL by one NMT "start all
 * nodes", otherwise node by node for the nodes with KIV_BOOT_START that
 * booted. When a mandatory slave fails, no node is started and the result
 * is the code of the first failed mandatory slave in list order (with
 * KIV_BOOTNET_STOP_ALL an NMT "stop all nodes" is sent). Optional slaves
 * that fail are reported and do not stop the network. A boot-up message of
 * a node not on the list, heard during the network boot, is reported as a
 * KIV_EVENT_BOOT event with status 'A' (result 0). Returns 0 when every
 * mandatory slave booted. KIV_Cancel for a node ends its boot with
 * KIV_ERR_CANCELLED (a mandatory one: nothing is started); KIV_Cancel(h, 0)
 * ends them all and the result is KIV_ERR_CANCELLED, nothing started.
 * KIV_ERR_PARAM, before any frame, for null nodes
 * or reports, count 0 or above 127, a node 0 or above 127 or twice in the
 * list, or a param KIV_BootNode would refuse. Not from a callback. */
ORUKIV_C_API int32_t KIV_BootNetwork(KIV_Handle handle, const KIV_BootNetParam* nodes,
                                     uint32_t count, uint32_t flags, KIV_BootReport* reports);

KIV_LAYOUT_CHECK(sizeof(KIV_BootReport) == 32, boot_report_size);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, index) == 4, boot_report_index);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, result) == 8, boot_report_result);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, abortCode) == 12, boot_report_abort_code);
KIV_LAYOUT_CHECK(offsetof(KIV_BootReport, elapsedMs) == 24, boot_report_elapsed);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, bootTimeMs) == 24, boot_param_boot_time);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, lifeTimeFactor) == 36, boot_param_life_factor);
#if UINTPTR_MAX == UINT64_MAX
KIV_LAYOUT_CHECK(sizeof(KIV_BootParam) == 64, boot_param_size);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, dcf) == 40, boot_param_dcf);
KIV_LAYOUT_CHECK(offsetof(KIV_BootParam, conciseDcfSize) == 56, boot_param_concise_size);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_LSS_H */
