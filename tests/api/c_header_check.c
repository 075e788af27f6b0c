/*
 * The public header as a C99 host sees it: compiled with -std=c99
 * -Wpedantic, linked against the shared library. Checks the record sizes the
 * C compiler sees and the mapping-entry helper's byte order at run time.
 */
#include <stdio.h>
#include <string.h>

#include "orukiv/orukiv.h"
#include "orukiv/orukiv_od.h"

static int failures = 0;

static void check(int ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

int main(void) {
    static const unsigned char statusword16[4] = {0x10, 0x00, 0x41, 0x60};
    static const unsigned char position32[4] = {0x20, 0x02, 0x64, 0x60};
    KIV_PdoMapEntry entries[2];
    KIV_InitParam param;
    static const char eds[] =
        "[1017]\nParameterName=Producer heartbeat time\nDataType=0x0006\n"
        "AccessType=rw\nDefaultValue=$NODEID+0x10\n";
    KIV_OdError error;
    KIV_OdEntry entry;
    KIV_Od* od;
    char text[16];

    check(sizeof(KIV_CanFrame) == 24, "KIV_CanFrame is 24 bytes");
    check(sizeof(KIV_FdFrame) == 80, "KIV_FdFrame is 80 bytes");
    check(sizeof(KIV_Event) == 88, "KIV_Event is 88 bytes");
    check(sizeof(KIV_InitParam) == 48, "KIV_InitParam is 48 bytes");
    check(sizeof(KIV_PdoMapEntry) == 4, "KIV_PdoMapEntry is 4 bytes");
    check(offsetof(KIV_CanFrame, data) == 16, "KIV_CanFrame.data at 16");
    check(offsetof(KIV_Event, body) == 8, "KIV_Event.body at 8");

    /* In memory, an entry reads as the CiA 301 mapping value
     * index<<16 | sub<<8 | bits, least significant byte first. */
    entries[0] = KIV_MakePdoMapEntry(0x6041, 0x00, 16);
    entries[1] = KIV_MakePdoMapEntry(0x6064, 0x02, 32);
    check(memcmp(&entries[0], statusword16, 4) == 0, "entry 0x6041:00, 16 bits");
    check(memcmp(&entries[1], position32, 4) == 0, "entry 0x6064:02, 32 bits");
    check(sizeof entries == 8, "entries pack without padding");

    /* The exports link from C under their plain names. */
    memset(&param, 0, sizeof param);
    check(KIV_Init(NULL) == NULL, "KIV_Init(NULL) refused");
    check(KIV_Init(&param) == NULL, "KIV_Init without callbacks refused");
    check(KIV_Destroy(NULL) == KIV_ERR_PARAM, "KIV_Destroy(NULL) is KIV_ERR_PARAM");

    /* The object dictionary records and calls as C sees them. */
    check(sizeof(KIV_OdError) == 256, "KIV_OdError is 256 bytes");
    check(sizeof(KIV_OdEntry) == 104, "KIV_OdEntry is 104 bytes");
    check(sizeof(KIV_ConfigReport) == 32, "KIV_ConfigReport is 32 bytes");
    od = KIV_OdLoadText(eds, (uint32_t)(sizeof eds - 1), 2, &error);
    check(od != NULL, "a one-object EDS loads");
    check(KIV_OdFindName(od, "producer heartbeat time", &entry) == KIV_OK, "found by name");
    check(KIV_OdFormatValue(entry.dataType, entry.defaultValue, entry.defaultSize, text,
                            sizeof text) == KIV_OK &&
              strcmp(text, "18") == 0,
          "default $NODEID+0x10 of node 2 is 18");
    KIV_OdFree(od);

    if (failures != 0) return 1;
    printf("C interface checks passed\n");
    return 0;
}
