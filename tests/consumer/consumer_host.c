/*
 * A C99 host as a user of the installed library writes it, against
 * orukiv.h alone: one instance on a loopback bus (each frame sent comes back
 * in the next poll), a SYNC sent, and its event received. Exits 0 when all
 * went as it should, else the number of the failed step.
 *
 * Built on Linux (against the CMake package and through pkg-config) and for
 * Windows (MinGW against liborukiv.dll.a; the Visual C++ ABI, without a C
 * runtime, against orukiv.lib).
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L
#endif

#include "orukiv/orukiv.h"

#if defined(_WIN32)
#include "host_win32.h"
static void say(const char* text) {
    host_say(text);
}
static void sleep_ms(unsigned ms) {
    Sleep(ms);
}
#else
#include <stdio.h>
#include <time.h>
static void say(const char* text) {
    fputs(text, stderr);
}
static void sleep_ms(unsigned ms) {
    struct timespec t;
    t.tv_sec = 0;
    t.tv_nsec = (long)ms * 1000000L;
    nanosleep(&t, NULL);
}
#endif

/* The loopback queue; only the worker thread touches it (both callbacks run
 * there). */
#define QUEUE_SIZE 16u
static KIV_CanFrame queue[QUEUE_SIZE];
static unsigned queue_head, queue_count;
static int user_marker;

/* Written by the worker, read by the main thread. */
static int sync_events, foreign_user_data;

static int32_t send_frame(const KIV_CanFrame* frame, void* user) {
    if (user != &user_marker) __atomic_store_n(&foreign_user_data, 1, __ATOMIC_RELEASE);
    if (queue_count == QUEUE_SIZE) return -1;
    queue[(queue_head + queue_count) % QUEUE_SIZE] = *frame;
    ++queue_count;
    return 0;
}

static int32_t poll_frames(KIV_CanFrame* frames, uint32_t max_count, void* user) {
    int32_t n = 0;
    (void)user;
    while (queue_count > 0 && (uint32_t)n < max_count) {
        frames[n++] = queue[queue_head];
        queue_head = (queue_head + 1) % QUEUE_SIZE;
        --queue_count;
    }
    return n;
}

static void on_event(const struct KIV_Event* event, void* user) {
    if (user != &user_marker) __atomic_store_n(&foreign_user_data, 1, __ATOMIC_RELEASE);
    if (event->type == KIV_EVENT_SYNC && event->node == 0x80)
        __atomic_add_fetch(&sync_events, 1, __ATOMIC_ACQ_REL);
}

static int run(void) {
    KIV_InitParam param;
    KIV_Handle handle;
    int waited;

    param.canRecv = poll_frames;
    param.canSend = send_frame;
    param.fdRecv = NULL;
    param.fdSend = NULL;
    param.onEvent = on_event;
    param.userData = &user_marker;

    handle = KIV_Init(&param);
    if (handle == NULL) {
        say("KIV_Init failed\n");
        return 1;
    }
    if (KIV_SendSYNC(handle) != KIV_OK) {
        say("KIV_SendSYNC did not return KIV_OK\n");
        KIV_Destroy(handle);
        return 2;
    }
    /* The SYNC comes back at the worker's next poll (5 ms); allow 20 s. */
    for (waited = 0; waited < 20000 && __atomic_load_n(&sync_events, __ATOMIC_ACQUIRE) == 0;
         waited += 5)
        sleep_ms(5);
    if (KIV_Destroy(handle) != KIV_OK) {
        say("KIV_Destroy did not return KIV_OK\n");
        return 3;
    }
    if (__atomic_load_n(&sync_events, __ATOMIC_ACQUIRE) != 1) {
        say("expected exactly one SYNC event\n");
        return 4;
    }
    if (__atomic_load_n(&foreign_user_data, __ATOMIC_ACQUIRE) != 0) {
        say("a callback got another userData than the one handed to KIV_Init\n");
        return 5;
    }
    say("consumer host: SYNC sent and received back\n");
    return 0;
}

#if defined(_WIN32)
HOST_MAIN(run)
#else
int main(void) {
    return run();
}
#endif
