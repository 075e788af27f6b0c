/*
 * orukiv: SDO: object access, block transfer, the client's settings, and remote
 * configuration (heartbeat period, PDO configuration).
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_SDO_H
#define ORUKIV_SDO_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

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
/* SDO object access                                                         */
/* ------------------------------------------------------------------------ */

/* Reads object index/subIndex of node into buffer (capacity bytes). The
 * server chooses the protocol (expedited for small objects, segmented for
 * long ones), whatever the buffer size, so pass a buffer as large as the
 * largest value expected. On success *received holds the bytes stored: the
 * object's size, or capacity when the object is longer (the rest is
 * dropped; see KIV_SetSdoRefuseLongReads for refusing such an object at
 * the server's first answer). KIV_ERR_PARAM for a null buffer or received
 * pointer, or when a
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
 * Received frames: the worker takes up to 8 frames per receive poll, and a
 * poll that filled all 8 is followed by the next pass at once, in every
 * timing, so that the worker takes frames at least as fast as a 1 Mbit/s
 * bus delivers them (about 8,000 frames/s). In the default timing this
 * lifts a block upload from about 0.18 of the bus to about 0.9, and a
 * heartbeat no longer waits behind a backlog of segments; the plain 5 ms
 * sleep between passes comes only after a poll that was not full (1 ms
 * while a block download awaits a sub-block's acknowledgement, which lifts
 * a block download in the default timing from about 0.7 to about 0.9 of a
 * 1 Mbit/s bus).
 *
 * Re-sent requests and late answers: an answer names at most the object,
 * so an answer to a re-sent copy cannot be told from the answer to a later
 * transfer of the same object; and a server that already finished may
 * answer a late copy with an abort. The rule: every frame of a transfer
 * (initiate, segment, block end) sent again leaves one answer outstanding
 * (the last frame too, when the transfer timed out or was cancelled). The
 * node's next transfer of that object, read or write, and its next block
 * transfer of any object wait, before their first frame, until as many
 * frames came from the node's server or the SDO time-out has passed since
 * the transfer ended; a frame counts when it names the object, or, when it
 * names none, while no other transfer with the node has started. So no
 * transfer is ever completed or failed by an answer that may belong to an
 * earlier request. A transfer whose frames were all answered the first time
 * leaves nothing to wait for. KIV_SetSdoRetry(handle, interval, 0) never
 * sends a copy at all. */
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
 * 0x08000000) before its call returns (when canSend refuses it, it is sent
 * again at the next passes, for up to the SDO time-out, and the call ends
 * once it went out); one that sent nothing ends without a frame. A transfer already over (answered, aborted or failed, its caller
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
 * - A server that refuses block transfer (abort 0x05040001 on the initiate,
 *   whatever object the abort names) makes the same call go on as
 *   KIV_ReadObjectEx would; *abortCode stays 0.
 * - An answer whose command specifier the protocol does not allow there (a
 *   download answer to the initiate, say) ends the read with KIV_ERR_PARAM
 *   and the client's abort 0x05040001, at once.
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
 * block transfer (abort 0x05040001 on the initiate, whatever object the
 * abort names) makes the same call go on as KIV_WriteObjectEx would. An
 * answer whose command specifier the protocol does not allow there (an end
 * answer instead of a sub-block acknowledgement, say) ends the write with
 * KIV_ERR_PARAM and the client's abort 0x05040001, at once. Results as for
 * KIV_WriteObjectEx; abortCode may be null; KIV_ERR_PARAM for null data or
 * size 0. */
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
 * callback rules of orukiv_lifecycle.h apply (KIV_Cancel may be called
 * from it). */
typedef void (*KIV_ProgressFn)(uint8_t node, uint16_t index, uint8_t subIndex, uint32_t done,
                               uint32_t total, void* user);
/* Sets (fn not null) or clears the progress callback; user is passed back.
 * It takes effect at once, for transfers under way too: once it has
 * returned, no call of the previous callback starts, so its user may be
 * freed. A call of the previous callback under way on the worker is waited
 * for (not when this is called from inside that callback). KIV_Destroy
 * gives the same guarantee. 0; KIV_ERR_PARAM for a null handle. Queues
 * nothing. */
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

KIV_LAYOUT_CHECK(sizeof(KIV_PdoMapEntry) == 4, pdo_map_entry_size);
KIV_LAYOUT_CHECK(offsetof(KIV_PdoMapEntry, indexLow) == 2, pdo_map_entry_index_low);
KIV_LAYOUT_CHECK(offsetof(KIV_PdoMapEntry, indexHigh) == 3, pdo_map_entry_index_high);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_SDO_H */
