/* Settings store: typed settings described by a definition file and kept in value files.
 *
 * This header holds the records and codes that cross the library boundary. Their field
 * order and widths are fixed: callers built separately read them directly, in 64-bit and
 * 32-bit builds alike (pointer-sized fields follow the build). Texts are NUL-terminated
 * UTF-8, owned by the library.
 */
#ifndef JOVACFG_H
#define JOVACFG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define QAC_ALIGN8 alignas(8)
extern "C" {
#else
#define QAC_ALIGN8 _Alignas(8)
#endif

/* Type codes of definitions, defaults and values. 0: no type (missing or unknown). */
#define QAC_TYPE_NONE 0u
#define QAC_TYPE_INTEGER 1u
#define QAC_TYPE_STRING 2u
#define QAC_TYPE_BOOLEAN 3u
#define QAC_TYPE_IPADDR 4u
#define QAC_TYPE_ENUMERATION 5u
#define QAC_TYPE_STRUCTURE 6u

/* Results: 0 for success, else a class in the upper bits. QAC_E_SYSTEM and QAC_E_BUSY carry
 * the operating system's error number in the low bits. */
#define QAC_E_SYSTEM 0x01400000u
#define QAC_E_BUSY 0x04300000u
#define QAC_E_NOMEM 0x03400000u
#define QAC_E_PARAM 0x04400000u
#define QAC_E_NOTFOUND 0x05300000u
#define QAC_E_EXIST 0x06300000u
#define QAC_E_UNDEFINED 0x06400000u
#define QAC_E_HANDLE 0x07400000u
#define QAC_E_FOREIGN 0x09400000u
#define QAC_E_RANGE 0x0A400000u

/* QAC_IpAddr.Form */
#define QAC_IPADDR_EMPTY 0u
#define QAC_IPADDR_HOSTNAME 1u
#define QAC_IPADDR_NUMERIC 2u

typedef struct QAC_Data QAC_Data;

typedef struct QAC_IpAddr {
    uint16_t Form;        /* QAC_IPADDR_* */
    uint16_t Family;      /* 4 or 6 for a numeric address, else 0 */
    const char* HostName; /* form QAC_IPADDR_HOSTNAME only, else null */
    uint8_t Address[16];  /* network order; IPv4 uses the first four bytes */
    uint8_t Mask[16];     /* network order; all zero: no mask */
} QAC_IpAddr;

/* A value's payload; the member is chosen by the type code. */
typedef union QAC_Payload {
    QAC_ALIGN8 int64_t Integer; /* QAC_TYPE_INTEGER */
    const char* String;         /* QAC_TYPE_STRING */
    uint32_t Boolean;           /* QAC_TYPE_BOOLEAN: 0 FALSE, 1 TRUE */
    QAC_IpAddr IpAddr;          /* QAC_TYPE_IPADDR */
    const char* Enumeration;    /* QAC_TYPE_ENUMERATION: one of the listed words */
    QAC_Data* FirstMember;      /* QAC_TYPE_STRUCTURE */
} QAC_Payload;

/* A definition's default: the first two parts of a value record. */
typedef struct QAC_Default {
    uint32_t Type;
    QAC_Payload Payload;
} QAC_Default;

/* One allowed word of an enumeration; both texts live in the entry's own allocation. */
typedef struct QAC_EnumEntry {
    struct QAC_EnumEntry* Next;
    const char* Value;    /* the word */
    const char* DispText; /* display text, empty when there is none */
} QAC_EnumEntry;

/* One definition (an item of the definition file). */
typedef struct QAC_Content {
    struct QAC_Content* Next; /* next definition of the same level */
    const char* Name;         /* null when absent */
    const char* Description;
    const char* DispString;
    uint32_t Identifier; /* 0/1 */
    uint32_t Necessity;  /* 0/1 */
    uint32_t Hidden;     /* 0/1 */
    uint32_t Number;     /* most values the definition may hold, 0: no limit */
    uint32_t Type;       /* QAC_TYPE_* */
    QAC_EnumEntry* EnumList;
    QAC_Default Default;
    int64_t Minimum; /* integer: the number's bounds; string: the length's; else 0 */
    int64_t Maximum;
    struct QAC_Content* Members; /* nested definitions, in file order */
} QAC_Content;

/* One element of the array the content list operations fill. */
typedef struct QAC_ContentEntry {
    const char* Name;
    uint32_t Type;
} QAC_ContentEntry;

#ifdef __cplusplus
}  // extern "C"
#define QAC_STATIC_ASSERT static_assert
#define QAC_ALIGNOF alignof
#else
#define QAC_STATIC_ASSERT _Static_assert
#define QAC_ALIGNOF _Alignof
#endif

#define QAC_PTR sizeof(void*)
QAC_STATIC_ASSERT(sizeof(QAC_IpAddr) == 2 * QAC_PTR + 32, "QAC_IpAddr size");
QAC_STATIC_ASSERT(offsetof(QAC_IpAddr, Family) == 2, "QAC_IpAddr.Family");
QAC_STATIC_ASSERT(offsetof(QAC_IpAddr, HostName) == QAC_PTR, "QAC_IpAddr.HostName");
QAC_STATIC_ASSERT(offsetof(QAC_IpAddr, Address) == 2 * QAC_PTR, "QAC_IpAddr.Address");
QAC_STATIC_ASSERT(offsetof(QAC_IpAddr, Mask) == 2 * QAC_PTR + 16, "QAC_IpAddr.Mask");
QAC_STATIC_ASSERT(sizeof(QAC_Payload) == sizeof(QAC_IpAddr), "payload as large as an address");
QAC_STATIC_ASSERT(QAC_ALIGNOF(QAC_Payload) == 8, "payload is 8-byte aligned");
QAC_STATIC_ASSERT(offsetof(QAC_Default, Payload) == 8, "default: type, then payload");
QAC_STATIC_ASSERT(offsetof(QAC_EnumEntry, Value) == QAC_PTR, "QAC_EnumEntry.Value");
QAC_STATIC_ASSERT(offsetof(QAC_EnumEntry, DispText) == 2 * QAC_PTR, "QAC_EnumEntry.DispText");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Name) == QAC_PTR, "QAC_Content.Name");
QAC_STATIC_ASSERT(offsetof(QAC_Content, DispString) == 3 * QAC_PTR, "QAC_Content.DispString");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Identifier) == 4 * QAC_PTR, "QAC_Content.Identifier");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Type) == 4 * QAC_PTR + 16, "QAC_Content.Type");
QAC_STATIC_ASSERT(offsetof(QAC_Content, EnumList) == 5 * QAC_PTR + 16, "QAC_Content.EnumList");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Default) == 6 * QAC_PTR + 16, "QAC_Content.Default");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Minimum) ==
                      offsetof(QAC_Content, Default) + sizeof(QAC_Default),
                  "QAC_Content.Minimum");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Maximum) == offsetof(QAC_Content, Minimum) + 8,
                  "QAC_Content.Maximum");
QAC_STATIC_ASSERT(offsetof(QAC_Content, Members) == offsetof(QAC_Content, Maximum) + 8,
                  "QAC_Content.Members");
QAC_STATIC_ASSERT(sizeof(QAC_Content) == (offsetof(QAC_Content, Members) + QAC_PTR + 7) / 8 * 8,
                  "QAC_Content size");
QAC_STATIC_ASSERT(offsetof(QAC_ContentEntry, Type) == QAC_PTR, "QAC_ContentEntry.Type");
#undef QAC_PTR
#undef QAC_ALIGNOF
#undef QAC_STATIC_ASSERT

#endif /* JOVACFG_H */
