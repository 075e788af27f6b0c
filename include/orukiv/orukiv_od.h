/*
 * orukiv: object dictionaries from EDS and DCF files (CiA 306), values in
 * every CiA 301 basic data type, and configuration download.
 *
 * A dictionary is read once (KIV_OdLoadFile, KIV_OdLoadText) into an
 * immutable KIV_Od that any number of threads may query at once; it lives
 * until KIV_OdFree. Using a KIV_Od after KIV_OdFree is the caller's fault,
 * as is using a KIV_OdEntry's pointers after it. The reader, the value calls
 * and KIV_OdToConciseDcf need no stack instance; KIV_ConfigureNode and
 * KIV_WriteConciseDcf write through the instance's SDO client and block as
 * KIV_WriteObject does (not from a callback of the same instance).
 *
 * Every call below taking a pointer returns KIV_ERR_PARAM (1) for a null one
 * (an optional out-parameter says so), except the lookups KIV_OdEntryAt and
 * KIV_OdFind, whose 1 means "not found": they return KIV_OD_BAD_ARGUMENT
 * for a null pointer. Records have fixed layouts for
 * 64-bit, little-endian processes, checked at compile time below. The
 * header is valid C99 and C++; it includes orukiv.h.
 */
#ifndef ORUKIV_OD_H
#define ORUKIV_OD_H

#include "orukiv.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* CiA 301 data types and object codes                                       */
/* ------------------------------------------------------------------------ */

/* KIV_OdEntry.dataType: the CiA 301 type numbers. Values are encoded as on
 * the bus: little-endian integers of the type's size (INTEGER24 is 3 bytes),
 * IEEE 754 REALs, TIME_OF_DAY and TIME_DIFFERENCE as 6 bytes (ms after
 * midnight in 28 bits, then a u16 day count), strings without terminator
 * (UNICODE_STRING as UTF-16LE), OCTET_STRING and DOMAIN as raw bytes. */
#define KIV_OD_BOOLEAN 0x0001u
#define KIV_OD_INTEGER8 0x0002u
#define KIV_OD_INTEGER16 0x0003u
#define KIV_OD_INTEGER32 0x0004u
#define KIV_OD_UNSIGNED8 0x0005u
#define KIV_OD_UNSIGNED16 0x0006u
#define KIV_OD_UNSIGNED32 0x0007u
#define KIV_OD_REAL32 0x0008u
#define KIV_OD_VISIBLE_STRING 0x0009u
#define KIV_OD_OCTET_STRING 0x000Au
#define KIV_OD_UNICODE_STRING 0x000Bu
#define KIV_OD_TIME_OF_DAY 0x000Cu
#define KIV_OD_TIME_DIFFERENCE 0x000Du
#define KIV_OD_DOMAIN 0x000Fu
#define KIV_OD_INTEGER24 0x0010u
#define KIV_OD_REAL64 0x0011u
#define KIV_OD_INTEGER40 0x0012u
#define KIV_OD_INTEGER48 0x0013u
#define KIV_OD_INTEGER56 0x0014u
#define KIV_OD_INTEGER64 0x0015u
#define KIV_OD_UNSIGNED24 0x0016u
#define KIV_OD_UNSIGNED40 0x0018u
#define KIV_OD_UNSIGNED48 0x0019u
#define KIV_OD_UNSIGNED56 0x001Au
#define KIV_OD_UNSIGNED64 0x001Bu

/* KIV_OdEntry.objectType: the CiA 301 object codes (the file's ObjectType;
 * VAR where the file gives none). */
#define KIV_OD_OBJ_DOMAIN 0x02u
#define KIV_OD_OBJ_DEFTYPE 0x05u
#define KIV_OD_OBJ_DEFSTRUCT 0x06u
#define KIV_OD_OBJ_VAR 0x07u
#define KIV_OD_OBJ_ARRAY 0x08u
#define KIV_OD_OBJ_RECORD 0x09u

/* KIV_OdEntry.access: the file's AccessType. */
#define KIV_OD_ACCESS_NONE 0u  /* not given (or not understood, logged)     */
#define KIV_OD_ACCESS_RO 1u    /* "ro" (also "r")                            */
#define KIV_OD_ACCESS_WO 2u    /* "wo" (also "w")                            */
#define KIV_OD_ACCESS_RW 3u    /* "rw"                                       */
#define KIV_OD_ACCESS_RWR 4u   /* "rwr": read-write, mapped into TPDOs       */
#define KIV_OD_ACCESS_RWW 5u   /* "rww": read-write, mapped into RPDOs       */
#define KIV_OD_ACCESS_CONST 6u /* "const"                                    */

/* KIV_OdEntry.flags */
#define KIV_OD_HAS_DEFAULT 0x01u /* defaultValue/defaultSize are valid      */
#define KIV_OD_HAS_VALUE 0x02u   /* a DCF's ParameterValue: value/valueSize */
#define KIV_OD_HAS_LOW 0x04u     /* lowLimit/lowSize are valid              */
#define KIV_OD_HAS_HIGH 0x08u    /* highLimit/highSize are valid            */
#define KIV_OD_DEFAULT_NODEID                                                \
    0x10u                         /* the default uses $NODEID and was loaded \
                                     with node id 0: defaultText holds it,   \
                                     KIV_OD_HAS_DEFAULT is not set          */
#define KIV_OD_VALUE_NODEID 0x20u /* likewise for the ParameterValue         */
#define KIV_OD_AS_DOMAIN                              \
    0x40u /* the file named a type definition (a      \
             DataType above 0x1B) or an unknown type: \
             dataType is DOMAIN, fileDataType the     \
             file's number                          */

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Opaque loaded dictionary. */
typedef struct KIV_Od KIV_Od;

/* Why a load failed (256 bytes). */
typedef struct KIV_OdError {
    uint32_t line;     /* 1-based line of the fault; 0 when the fault is not
                          at a line (no such file, out of memory)         */
    char message[252]; /* what was wrong, in words, NUL-terminated        */
} KIV_OdError;

/* One variable of the dictionary (104 bytes): a VAR object (sub-index 0),
 * or one sub-entry of an ARRAY or RECORD (sub-index 0 included). Pointers
 * point into the KIV_Od and stay valid until KIV_OdFree; value bytes are in
 * the encoding of dataType (see the type numbers above). */
typedef struct KIV_OdEntry {
    uint16_t index;              /* object index                                   */
    uint8_t subIndex;            /* sub-index                                      */
    uint8_t objectType;          /* KIV_OD_OBJ_ of the object (the parent's for a
                                    sub-entry)                                     */
    uint16_t dataType;           /* KIV_OD_ type number                            */
    uint8_t access;              /* KIV_OD_ACCESS_                                 */
    uint8_t pdoMappable;         /* 1 when the file says PDOMapping=1, else 0      */
    uint32_t flags;              /* KIV_OD_HAS_ and other KIV_OD_ flags            */
    uint16_t fileDataType;       /* the DataType the file gave                    */
    uint16_t reserved;           /* zero                                           */
    uint32_t line;               /* line of the entry's section header             */
    uint32_t defaultSize;        /* bytes at defaultValue                          */
    uint32_t valueSize;          /* bytes at value                                 */
    uint32_t lowSize;            /* bytes at lowLimit                              */
    uint32_t highSize;           /* bytes at highLimit                             */
    uint32_t reserved2;          /* zero                                           */
    const char* name;            /* ParameterName (never null)               */
    const char* parentName;      /* the object's name for a sub-entry; null
                                    for a VAR                                */
    const uint8_t* defaultValue; /* DefaultValue, $NODEID resolved          */
    const uint8_t* value;        /* ParameterValue (DCF), $NODEID resolved  */
    const uint8_t* lowLimit;     /* LowLimit                                */
    const uint8_t* highLimit;    /* HighLimit                               */
    const char* defaultText;     /* DefaultValue as the file writes it;
                                    null when the file gives none           */
    const char* valueText;       /* ParameterValue as written; or null      */
} KIV_OdEntry;

KIV_LAYOUT_CHECK(sizeof(KIV_OdError) == 256, od_error_size);
KIV_LAYOUT_CHECK(offsetof(KIV_OdError, message) == 4, od_error_message);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, subIndex) == 2, od_entry_sub);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, objectType) == 3, od_entry_object_type);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, dataType) == 4, od_entry_data_type);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, access) == 6, od_entry_access);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, pdoMappable) == 7, od_entry_pdo);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, flags) == 8, od_entry_flags);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, fileDataType) == 12, od_entry_file_type);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, line) == 16, od_entry_line);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, defaultSize) == 20, od_entry_default_size);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, valueSize) == 24, od_entry_value_size);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, lowSize) == 28, od_entry_low_size);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, highSize) == 32, od_entry_high_size);
#if UINTPTR_MAX == UINT64_MAX
KIV_LAYOUT_CHECK(sizeof(KIV_OdEntry) == 104, od_entry_size);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, name) == 40, od_entry_name);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, parentName) == 48, od_entry_parent_name);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, defaultValue) == 56, od_entry_default);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, value) == 64, od_entry_value);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, lowLimit) == 72, od_entry_low);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, highLimit) == 80, od_entry_high);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, defaultText) == 88, od_entry_default_text);
KIV_LAYOUT_CHECK(offsetof(KIV_OdEntry, valueText) == 96, od_entry_value_text);
#endif

/* ------------------------------------------------------------------------ */
/* Loading                                                                   */
/* ------------------------------------------------------------------------ */

/* Reads an EDS or DCF file (INI form, CiA 306) into a new dictionary.
 * nodeId (1..127) resolves $NODEID in values ("$NODEID+0x180",
 * "0x180+$NODEID", "\+384" where a tool lost the "$NODEID"); 0 leaves
 * such values unresolved (flagged KIV_OD_DEFAULT_NODEID or
 * KIV_OD_VALUE_NODEID).
 *
 * Objects are the sections named by a hex index ([1000], [6040]); their
 * sub-entries [xxxxsubN] (hex N). An ARRAY with CompactSubObj=N gets sub 0
 * "NrOfObjects" (UNSIGNED8, ro, default N) and subs 1..N with the object's
 * type, access, PDO flag and default, named as its [xxxxName] section says
 * (key: the sub-index in decimal) or else the object's name followed by the
 * sub-index in decimal; [xxxxValue] gives their ParameterValues.
 *
 * Values: integers in decimal, hex with "0x" or a trailing "h", octal with a
 * leading 0 when all digits are octal (CiA 306; "0090" is decimal 90), C
 * suffixes ("LL", "U") ignored, hex giving the bit pattern of a signed type;
 * BOOLEAN also TRUE/FALSE; REALs in decimal or as their hex bit pattern;
 * strings as written (";" is no comment there); OCTET_STRING and DOMAIN as
 * hex pairs. An inline comment (";" or "#") ends other values. A value
 * that is no value of its type is kept as text only (defaultText or
 * valueText set, no KIV_OD_HAS_ flag), with a warning.
 *
 * What real files do is read with a warning through the library's logger
 * where it is doubtful (at most 32 warnings per load, then a count): keys
 * and section names in any case, blanks around "=", ";" and "#" comment
 * lines, CR LF endings, a UTF-8 byte-order mark, empty values (absent), an
 * empty ParameterName, a SubNumber that disagrees with the sub-entries
 * present (the entries present win), a DataType naming a type definition
 * or an unknown type (read as DOMAIN), an ObjectType that is no number
 * (RECORD when sub-sections exist, else VAR), a section or key given twice
 * (the first wins), unknown sections (ignored). Refused, with the 1-based
 * line: a line of binary bytes or without "=" in an object section, an
 * object or sub-object section without a ParameterName key, a DataType or
 * CompactSubObj that is no number or above 254 (in any object), an ObjectType number that
 * is no object code, binary bytes before the first section, a line longer
 * than 65536 bytes, more than 512 keys in an object section, sections or
 * entries that would take more than 32 MiB plus 8 times the file's size.
 * Refused without a line: no object section, a file above 64 MiB.
 *
 * Returns the dictionary, or null with *error (when error is not null)
 * saying why: also for a null path, a nodeId above 127, a missing,
 * unreadable or empty file, or a directory. */
ORUKIV_C_API KIV_Od* KIV_OdLoadFile(const char* path, uint8_t nodeId, KIV_OdError* error);

/* KIV_OdLoadFile from length bytes at text (no terminator needed; a NUL
 * byte is binary content). */
ORUKIV_C_API KIV_Od* KIV_OdLoadText(const char* text, uint32_t length, uint8_t nodeId,
                                    KIV_OdError* error);

/* Releases a dictionary and every entry pointer into it. Null is ignored. */
ORUKIV_C_API void KIV_OdFree(KIV_Od* od);

/* ------------------------------------------------------------------------ */
/* Queries (safe from any thread, callbacks included)                        */
/* ------------------------------------------------------------------------ */

/* Number of entries (0 for null). */
ORUKIV_C_API uint32_t KIV_OdCount(const KIV_Od* od);

/* What the lookups below return for a null dictionary, entry or name,
 * unlike KIV_OD_NOT_FOUND. */
#define KIV_OD_BAD_ARGUMENT (-1)
/* What the lookups below return when there is no such entry (the value of
 * KIV_ERR_PARAM, as always). */
#define KIV_OD_NOT_FOUND 1

/* Fills *entry with the entry at position (0..count-1) in (index,
 * sub-index) order. 0; KIV_OD_NOT_FOUND for a position past the end;
 * KIV_OD_BAD_ARGUMENT for a null od or entry. */
ORUKIV_C_API int32_t KIV_OdEntryAt(const KIV_Od* od, uint32_t position, KIV_OdEntry* entry);

/* Fills *entry with entry index/subIndex. 0; KIV_OD_NOT_FOUND when there is
 * none; KIV_OD_BAD_ARGUMENT for a null od or entry. */
ORUKIV_C_API int32_t KIV_OdFind(const KIV_Od* od, uint16_t index, uint8_t subIndex,
                                KIV_OdEntry* entry);

/* Fills *entry with the entry named name, compared without regard to ASCII
 * case and to blanks at either end: a VAR by its name, a sub-entry by
 * "Object name.Sub name" or, when no entry matches that way, by its own
 * name. The first in (index, sub-index) order wins. 0; KIV_OD_NOT_FOUND
 * (1) when none, and for a null od, name or entry. */
ORUKIV_C_API int32_t KIV_OdFindName(const KIV_Od* od, const char* name, KIV_OdEntry* entry);

/* ------------------------------------------------------------------------ */
/* Values                                                                    */
/* ------------------------------------------------------------------------ */

/* Writes size bytes of dataType's encoding at data as text (NUL-terminated,
 * at most capacity bytes with the NUL): integers in decimal, BOOLEAN as 0
 * or 1, REALs in the shortest decimal form that reads back the same
 * ("nan", "inf", "-inf"), VISIBLE_STRING as is without trailing NULs,
 * UNICODE_STRING as UTF-8, OCTET_STRING and DOMAIN as lower-case hex
 * pairs, TIME_OF_DAY as "YYYY-MM-DD HH:MM:SS.mmm" (days from 1984-01-01),
 * TIME_DIFFERENCE as "D HH:MM:SS.mmm". 0; 1 for an unknown type, a size
 * other than a fixed-size type's, or too little capacity (text then holds
 * an empty string when capacity allows). */
ORUKIV_C_API int32_t KIV_OdFormatValue(uint16_t dataType, const uint8_t* data, uint32_t size,
                                       char* text, uint32_t capacity);

/* Parses text into dataType's encoding at data (capacity bytes) and sets
 * *size. Integers: decimal (leading zeros allowed), or hexadecimal with 0x
 * (either case; for signed types it may give the two's-complement bit
 * pattern: 0xFF is -1 as INTEGER8), an optional sign; BOOLEAN also
 * "true"/"false"; REALs as decimal or exponent notation, "nan", "inf";
 * TIME_OF_DAY and TIME_DIFFERENCE as KIV_OdFormatValue writes them or as
 * "DAYS MS"; the other types as KIV_OdFormatValue writes them (hex pairs
 * may be separated by blanks). Blanks around the text are ignored, except
 * for VISIBLE_STRING and UNICODE_STRING, taken as they are. 0; 1 (data and *size unchanged) for an
 * unknown type, text that is not a value of the type, a value outside the type's range, a fraction
 * for an integer, or a value longer than capacity: never truncated. */
ORUKIV_C_API int32_t KIV_OdParseValue(uint16_t dataType, const char* text, uint8_t* data,
                                      uint32_t capacity, uint32_t* size);

/* ------------------------------------------------------------------------ */
/* Configuration download                                                    */
/* ------------------------------------------------------------------------ */

/* The download of a DCF is the list of SDO writes built from its entries
 * that have a ParameterValue and a writable access (wo, rw, rwr, rww), in
 * (index, sub-index) order, except that each PDO (RPDO communication and
 * mapping records 0x1400+n and 0x1600+n, TPDO ones 0x1800+n and 0x1A00+n)
 * is written as a whole, at the place of its first record, by the CiA 301
 * procedure of KIV_ConfigPDO: the COB-ID (sub 1) with bit 31 set
 * (the PDO invalid), the mapping count (sub 0) as 0, the mapping entries
 * (sub 1..count), the count, the other communication parameters (sub 2
 * up), and the COB-ID last. The COB-ID written is the DCF's ParameterValue
 * of sub 1, else its DefaultValue; when the DCF gives neither, the COB-ID
 * steps are left out. Mapping entries past the count are not written. */

/* Applies the DCF dcf to node: the download above, one SDO write per step
 * (KIV_WriteObjectEx). Stops at the first failed write unless report->flags
 * has KIV_CONFIG_CONTINUE (a PDO may then be left invalid). report (may be
 * null: no flags) says what was done. 0 when every write succeeded; else the first failure's result
 * (KIV_ERR_ABORTED with report->abortCode when the node refused it).
 * KIV_ERR_PARAM, sending nothing, for a null handle or dcf, a node outside
 * 1..127, or an entry to be written whose value uses $NODEID unresolved
 * (report->failedIndex/failedSubIndex name it). */
ORUKIV_C_API int32_t KIV_ConfigureNode(KIV_Handle handle, uint8_t node, const KIV_Od* dcf,
                                       KIV_ConfigReport* report);

/* Writes dcf's download as a concise DCF (the format of object 0x1F22: a
 * u32 entry count, then per entry a u16 index, u8 sub-index, u32 size and
 * the data; little-endian) to out (capacity bytes) and sets *size. out may
 * be null with capacity 0 to learn the size. 0; 1 as KIV_ConfigureNode
 * refuses, or when capacity is too small (*size then holds what is
 * needed). */
ORUKIV_C_API int32_t KIV_OdToConciseDcf(const KIV_Od* dcf, uint8_t* out, uint32_t capacity,
                                        uint32_t* size);

/* Applies a concise DCF (size bytes at data) to node: its entries in order,
 * each as one SDO write, with the same flags, report and results as
 * KIV_ConfigureNode. A concise DCF whose entries do not fill it exactly (a
 * count or size reaching past its end, bytes after the last entry) or that
 * has an entry of size 0 is refused with KIV_ERR_PARAM before anything is
 * sent. */
ORUKIV_C_API int32_t KIV_WriteConciseDcf(KIV_Handle handle, uint8_t node, const uint8_t* data,
                                         uint32_t size, KIV_ConfigReport* report);

#ifdef __cplusplus
}
#endif

#endif /* ORUKIV_OD_H */
