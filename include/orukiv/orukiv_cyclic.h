/*
 * orukiv: cyclic operation: SYNC at a precise period with the host's frames of each
 * cycle.
 *
 * Part of the interface that orukiv.h includes; include orukiv.h.
 */
#ifndef ORUKIV_CYCLIC_H
#define ORUKIV_CYCLIC_H

#include "orukiv_lifecycle.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Counters of cyclic operation (24 bytes), from KIV_GetCyclicStats. They
 * start at 0 when KIV_StartCyclic starts a stopped instance; a start while
 * running keeps them. */
typedef struct KIV_CyclicStats {
    uint64_t cycles;    /* SYNCs sent (canSend took them)                */
    uint64_t skipped;   /* deadlines missed by a whole period: no SYNC
                           was sent for them                             */
    uint32_t maxLateUs; /* worst lateness of a SYNC against its deadline,
                           in microseconds                               */
    uint32_t reserved;  /* zero                                          */
} KIV_CyclicStats;

/* ------------------------------------------------------------------------ */
/* Cyclic operation                                                          */
/* ------------------------------------------------------------------------ */

/* The host's part of a cycle, called on the worker right after the cycle's
 * SYNC went to canSend. cycle numbers the cycle's deadline: 0 for the first
 * deadline after KIV_StartCyclic started a stopped instance, then one more
 * per period, so the first SYNC's number is above 0 when it came a whole
 * period or more late, and it grows by more than 1 after skipped deadlines
 * (its time is
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

KIV_LAYOUT_CHECK(sizeof(KIV_CyclicStats) == 24, cyclic_stats_size);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, skipped) == 8, cyclic_stats_skipped);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, maxLateUs) == 16, cyclic_stats_max_late);
KIV_LAYOUT_CHECK(offsetof(KIV_CyclicStats, reserved) == 20, cyclic_stats_reserved);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_CYCLIC_H */
