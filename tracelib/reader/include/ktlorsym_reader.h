/* Trace reader: follows one file of a managed trace set while writers are still adding lines
 * to it, and hands its data out by bytes, blocks and lines from a movable position.
 *
 * Calling order: create; open the management file; open; then repeatedly ask for the current
 * offset and read up to it; close; close the management file; delete (which also closes what
 * is still open). Failures store a cause (KTLORSYM_MPTT_E_...) in the instance, or, for calls
 * without one, process-wide; KTLORSYM_MpttGetLastError reads it. An instance belongs to one
 * thread at a time.
 */
#ifndef KTLORSYM_READER_H
#define KTLORSYM_READER_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KTLORSYM_READER_BUILD)
#define KTLORSYM_READER_API __declspec(dllexport)
#else
#define KTLORSYM_READER_API __declspec(dllimport)
#endif
#else
#define KTLORSYM_READER_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One reader of one trace file. */
typedef struct MpttInstance MpttInstance;

/* Causes. */
#define KTLORSYM_MPTT_E_NONE 0
#define KTLORSYM_MPTT_E_ARGUMENT 1   /* no instance or buffer, bad value or origin */
#define KTLORSYM_MPTT_E_OPEN 2       /* a file could not be opened (other than not found) */
#define KTLORSYM_MPTT_E_CLOSE 3      /* a handle could not be closed */
#define KTLORSYM_MPTT_E_MAPPING 6    /* a file mapping could not be created */
#define KTLORSYM_MPTT_E_VIEW 7       /* a file view could not be mapped */
#define KTLORSYM_MPTT_E_MEMORY 9     /* no memory for a new instance */
#define KTLORSYM_MPTT_E_RELEASE 10   /* memory could not be released */
#define KTLORSYM_MPTT_E_STATE 11     /* not open, open already, or no management file */
#define KTLORSYM_MPTT_E_NOT_FOUND 13 /* file not found */
#define KTLORSYM_MPTT_E_SEEK 14      /* seek target outside the data */
#define KTLORSYM_MPTT_E_PATH 17      /* not a full path ending in a digit and ".log" */
#define KTLORSYM_MPTT_E_SIZE 20      /* the file size could not be read */
#define KTLORSYM_MPTT_E_LOCK 22      /* the writers' lock could not be taken or released */
#define KTLORSYM_MPTT_E_UNMAP 23     /* a view could not be unmapped */
#define KTLORSYM_MPTT_E_RECORD 29    /* the management record is not valid or unknown */
#define KTLORSYM_MPTT_E_MUTEX 30     /* the writers' mutex is missing or cannot be made */

/* Seek origins. */
#define KTLORSYM_MPTT_SEEK_SET 0
#define KTLORSYM_MPTT_SEEK_CUR 1
#define KTLORSYM_MPTT_SEEK_END 2 /* counts from the mapped size */

/* A reader of the trace file at that full path ("<prefix><n>.log"), or NULL. */
KTLORSYM_READER_API MpttInstance* KTLORSYM_MpttCreateInstance(const char* tracePath);
/* 0 or a cause; NULL: 0. */
KTLORSYM_READER_API int KTLORSYM_MpttDeleteInstance(MpttInstance* instance);

/* Finds the set's management file, maps its record and opens the writers' mutex. */
KTLORSYM_READER_API int KTLORSYM_MpttOpenManagementFile(MpttInstance* instance);
KTLORSYM_READER_API int KTLORSYM_MpttCloseManagementFile(MpttInstance* instance);
/* Starts reading at position 0. */
KTLORSYM_READER_API int KTLORSYM_MpttOpen(MpttInstance* instance);
KTLORSYM_READER_API int KTLORSYM_MpttClose(MpttInstance* instance);

/* Where the file's valid data ends now (asked of the writers under their lock), or -1. */
KTLORSYM_READER_API int64_t KTLORSYM_MpttGetCurrentOffset(MpttInstance* instance);

/* Bytes copied from the position, which moves on; 0 at the end of the data or on failure. */
KTLORSYM_READER_API uint32_t KTLORSYM_MpttRead(MpttInstance* instance, void* buffer, uint32_t size);
/* The next byte (0 to 255), or -1 at the end of the data or on failure. */
KTLORSYM_READER_API int KTLORSYM_MpttGetChar(MpttInstance* instance);
/* Up to and including the next LF, at most size - 1 bytes, NUL-terminated; the count. */
KTLORSYM_READER_API uint32_t KTLORSYM_MpttGetLine(MpttInstance* instance, char* buffer,
                                                  uint32_t size);
/* 0 or a cause. */
KTLORSYM_READER_API int KTLORSYM_MpttSeek(MpttInstance* instance, int64_t offset, int origin);
/* The position, or -1. */
KTLORSYM_READER_API int64_t KTLORSYM_MpttTell(MpttInstance* instance);

/* The instance's cause; with NULL the process-wide one. */
KTLORSYM_READER_API int KTLORSYM_MpttGetLastError(MpttInstance* instance);
KTLORSYM_READER_API void KTLORSYM_MpttClearError(MpttInstance* instance);

/* The wait for the writers' mutex (ms), the pause between attempts at the management file's
 * lock (ms) and the number of those attempts. Getters: the value or -1; setters: the
 * previous value, or -1 (cause 1) for no instance or a value out of range. */
KTLORSYM_READER_API int KTLORSYM_MpttGetLockBlockTime(MpttInstance* instance);
KTLORSYM_READER_API int KTLORSYM_MpttGetLockSleepTime(MpttInstance* instance);
KTLORSYM_READER_API int KTLORSYM_MpttGetLockRetryTimes(MpttInstance* instance);
KTLORSYM_READER_API int KTLORSYM_MpttSetLockBlockTime(MpttInstance* instance, int milliseconds);
KTLORSYM_READER_API int KTLORSYM_MpttSetLockSleepTime(MpttInstance* instance, int milliseconds);
KTLORSYM_READER_API int KTLORSYM_MpttSetLockRetryTimes(MpttInstance* instance, int times);

#ifdef __cplusplus
}
#endif

#endif /* KTLORSYM_READER_H */
