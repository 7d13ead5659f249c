/* Settings store: typed settings described by a definition file and kept in value files.
 *
 * This header holds the records, codes and functions that cross the library boundary. Their
 * field order and widths are fixed: callers built separately read them directly, in 64-bit
 * and 32-bit builds alike (pointer-sized fields follow the build). Texts are NUL-terminated
 * UTF-8, owned by the library. Callers load the library at run time (libjovacfg.so,
 * jovacfg.dll) and resolve the nineteen QAC_ functions by name.
 *
 * Ownership. A handle owns its definitions, their defaults, every value in its groups and
 * all their texts; callers never free what the library hands out. A value made by
 * QAC_DataDefaultCreate(FromData) or removed by QAC_DataDel(FromData), or one that a change
 * detached, belongs to no group: adding it again hands it back to a group. Detached values
 * are kept by their handle and released by QAC_ConfigDestroy, so one that is never added
 * again does not outlive its handle. A value record pointer stays valid until the value is
 * released: its group emptied (a failed read) or released, or the handle destroyed. Texts
 * and host names inside a record stay valid until the value is changed; defaults and the
 * names in content entries until the handle is destroyed.
 *
 * Threads. Each value set has its own lock, so lookups of one handle may run in several
 * threads at once. Group lists are not locked: one handle must not be changed (read into,
 * added to, changed, removed from) by two threads at once, nor read while it is changed.
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
struct QAC_DataSet;

#if defined(_WIN32)
#if defined(JOVACFG_BUILD)
#define QAC_API __declspec(dllexport)
#else
#define QAC_API __declspec(dllimport)
#endif
#else
#define QAC_API __attribute__((visibility("default")))
#endif

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

/* The values of one level: a handle's top level, or the members of one structure value.
 * Read it only through the functions below; its fields are the library's. */
typedef struct QAC_DataGroup {
    void* First; /* the values in the order they were read or added */
    void* Last;
    uint32_t DefinitionCount;
    const QAC_Content* const* Definitions; /* the level's definitions, in file order */
    struct QAC_DataSet* Sets;              /* one ordered set per definition */
    QAC_Data* Owner;                       /* the structure value holding the group, or null */
} QAC_DataGroup;

/* A value. The record's address stays the same for the value's whole life. A structure
 * value's payload refers to its first member in list order, null while it has none. */
struct QAC_Data {
    uint32_t Type; /* QAC_TYPE_*, the type of the value's definition */
    QAC_Payload Payload;
    QAC_DataGroup Members; /* structure values: their members */
};

/* The handle. Callers read the first four members; the rest is the library's. */
typedef struct QAC_Config {
    const char* Name; /* the definition file's name, description and dispstring, or null */
    const char* Description;
    const char* DispString;
    uint32_t Hidden;       /* 0/1 */
    QAC_Content* Contents; /* top-level definitions, in file order */
    QAC_DataGroup Data;    /* top-level values */
    void* State;
} QAC_Config;

/* All functions return 0 or a QAC_E_ code, QAC_ConfigDestroy nothing.
 *
 * A FromData/ToData function works inside the structure value given first, one level down;
 * the nesting repeats to any depth. Counts are in/out: the capacity of the array on entry,
 * the total number on return, whether or not all of it was stored.
 *
 * Payload of QAC_DataChange(ToData): a pointer to an int64_t (integer), the new text itself
 * (string, enumeration), a pointer to a uint32_t (boolean, any non-zero value is TRUE), a
 * pointer to a QAC_IpAddr (taken unchecked, any form and family; its host name is copied,
 * the one of an address of another form ignored; the writer puts down no text for a form or
 * family it has none for). Changing a structure value leaves it as it is: its members are
 * changed one by one.
 *
 * String defaults. A string definition without a default that its bounds allow has as many
 * spaces as its minimum length. Up to 16 MiB they are made with the definitions; a longer
 * padding (minimums go up to 2147483646) is made on first use, so that the definition file
 * loads whatever its minimums: the definition record's Default holds a null text until
 * QAC_DataDefaultGet(FromData) asks for it, and QAC_DataDefaultCreate(FromData) makes the
 * new value's own text. Such a call gives QAC_E_NOMEM if memory runs out then; the rest of
 * the handle is not affected.
 *
 * A change, addition or removal inside a structure value keeps the structure in order in
 * its own set; when the structure then equals another value of its set, it is detached as
 * a colliding change detaches a value, and the result is QAC_E_EXIST.
 *
 * Checks beyond the argument rules of each function: a record that is not a value of this
 * library, or a null payload, gives QAC_E_PARAM; a value that is in another group than the
 * one operated on gives QAC_E_FOREIGN; adding a value that is in a group gives QAC_E_EXIST.
 *
 * Files. A value file is held exclusively while it is written: reading or writing it through
 * the library meanwhile gives QAC_E_BUSY, and a file being read cannot be written. The new
 * text goes to a temporary file in the same directory (the value file's name followed by
 * ".<process id>-<count>.tmp"), which is flushed to disk and then takes the value file's
 * place in one step, with the old file's owner and permissions where the system keeps them
 * per file. So the value file is always the whole old or the whole new text, even when the
 * writer dies; a write that fails gives QAC_E_SYSTEM (QAC_E_BUSY when the file was in use)
 * and leaves the old file as it was, without a temporary file. A file that cannot be read
 * to its end (a directory, an I/O error) gives QAC_E_SYSTEM.
 */
QAC_API uint32_t QAC_ConfigCreate(const char* path, QAC_Config** handle);
QAC_API void QAC_ConfigDestroy(QAC_Config* handle);
QAC_API uint32_t QAC_ConfigRead(const char* path, QAC_Config* handle);
QAC_API uint32_t QAC_ConfigReadFromData(const char* text, QAC_Config* handle);
QAC_API uint32_t QAC_ConfigWrite(const char* path, QAC_Config* handle);
QAC_API uint32_t QAC_ContentListGet(QAC_Config* handle, QAC_ContentEntry* entries, uint32_t* count);
QAC_API uint32_t QAC_ContentListGetFromData(QAC_Data* value, QAC_ContentEntry* entries,
                                            uint32_t* count);
QAC_API uint32_t QAC_DataGet(QAC_Config* handle, const char* name, QAC_Data** values,
                             uint32_t* count);
QAC_API uint32_t QAC_DataGetFromData(QAC_Data* structure, const char* name, QAC_Data** values,
                                     uint32_t* count);
QAC_API uint32_t QAC_DataDefaultGet(QAC_Config* handle, const char* name,
                                    const QAC_Default** value);
QAC_API uint32_t QAC_DataDefaultGetFromData(QAC_Data* structure, const char* name,
                                            const QAC_Default** value);
QAC_API uint32_t QAC_DataDefaultCreate(QAC_Config* handle, const char* name, QAC_Data** value);
QAC_API uint32_t QAC_DataDefaultCreateFromData(QAC_Data* structure, const char* name,
                                               QAC_Data** value);
QAC_API uint32_t QAC_DataChange(QAC_Config* handle, QAC_Data* value, const void* payload);
QAC_API uint32_t QAC_DataChangeToData(QAC_Data* structure, QAC_Data* member, const void* payload);
QAC_API uint32_t QAC_DataAdd(QAC_Config* handle, QAC_Data* value);
QAC_API uint32_t QAC_DataAddToData(QAC_Data* structure, QAC_Data* value);
QAC_API uint32_t QAC_DataDel(QAC_Config* handle, QAC_Data* value);
QAC_API uint32_t QAC_DataDelFromData(QAC_Data* structure, QAC_Data* member);

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
/* A value record starts as a default does: callers read either through the same shape. */
QAC_STATIC_ASSERT(offsetof(QAC_Data, Type) == offsetof(QAC_Default, Type), "QAC_Data.Type");
QAC_STATIC_ASSERT(offsetof(QAC_Data, Payload) == offsetof(QAC_Default, Payload),
                  "QAC_Data.Payload");
QAC_STATIC_ASSERT(offsetof(QAC_Data, Members) == 8 + sizeof(QAC_Payload), "QAC_Data.Members");
QAC_STATIC_ASSERT(offsetof(QAC_Config, Description) == QAC_PTR, "QAC_Config.Description");
QAC_STATIC_ASSERT(offsetof(QAC_Config, DispString) == 2 * QAC_PTR, "QAC_Config.DispString");
QAC_STATIC_ASSERT(offsetof(QAC_Config, Hidden) == 3 * QAC_PTR, "QAC_Config.Hidden");
#undef QAC_PTR
#undef QAC_ALIGNOF
#undef QAC_STATIC_ASSERT

#endif /* JOVACFG_H */
