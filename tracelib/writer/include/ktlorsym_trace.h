/* Trace library: numbered, time-stamped trace lines written to a set of trace files that
 * are reused in turn.
 *
 * Every function returns -1 on failure (unless its description says otherwise) and leaves a
 * code word in the calling thread's error record: the function code in the high 8 bits and
 * the cause in the low 24 bits. KTLORSYM_GetLastError reads it.
 *
 * Managed (memory-mapped, multi-process) writers are not available in this build:
 * KTLORSYM_InitializeM and KTLORSYM_CreateInstanceM check their arguments (cause 1) and
 * then fail with cause 28, "not supported for this kind of writer".
 */
#ifndef KTLORSYM_TRACE_H
#define KTLORSYM_TRACE_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KTLORSYM_TRACE_BUILD)
#define KTLORSYM_TRACE_API __declspec(dllexport)
#else
#define KTLORSYM_TRACE_API __declspec(dllimport)
#endif
#else
#define KTLORSYM_TRACE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What the four open functions are given; the library copies what it needs. */
typedef struct TraceFileConfig {
    int32_t FileSize;       /* bytes of one trace file */
    int32_t FileCount;      /* files are numbered 1 to FileCount */
    const char* PathPrefix; /* file n is PathPrefix, the decimal n and ".log" */
} TraceFileConfig;

/* Opaque instance handle. */
typedef struct TraceInstance TraceInstance;

/* Library levels and switches; callers may read and write the fields directly. */
typedef struct KTLORSYM_ThresholdBlock {
    char Id[8];            /* "ID_ZUNO" */
    int32_t MaxLevel;      /* library log level, -1 to 1000 */
    int32_t FileThreshold; /* -1 to 1000 */
    int32_t ShmThreshold;  /* echo threshold */
    int32_t Echo;          /* non-zero: lines passing the echo threshold go to standard output */
} KTLORSYM_ThresholdBlock;

/* Wait times (milliseconds) of the cross-process lock of managed writers. */
typedef struct KTLORSYM_LockValueBlock {
    int32_t LockWaitTime;
    int32_t LockRetryTimes;
    int32_t InstanceLockWaitTime;
    int32_t InstanceLockRetryTimes;
} KTLORSYM_LockValueBlock;

KTLORSYM_TRACE_API extern KTLORSYM_ThresholdBlock KTLORSYM_Threshold;
KTLORSYM_TRACE_API extern KTLORSYM_LockValueBlock KTLORSYM_LockValue;
/* 1: library-level puts show "****" time stamps; anything else: local time. */
KTLORSYM_TRACE_API extern int32_t KTLORSYM_iTickType;

/* Opening and closing. Result 0, or -1. */
KTLORSYM_TRACE_API int KTLORSYM_Initialize(const TraceFileConfig* config, const char* programId);
KTLORSYM_TRACE_API int KTLORSYM_InitializeM(const TraceFileConfig* config, const char* programId,
                                            int options);
KTLORSYM_TRACE_API int KTLORSYM_Finalize(void);
KTLORSYM_TRACE_API int KTLORSYM_CreateInstance(TraceInstance** instance,
                                               const TraceFileConfig* config,
                                               const char* programId);
KTLORSYM_TRACE_API int KTLORSYM_CreateInstanceM(TraceInstance** instance,
                                                const TraceFileConfig* config,
                                                const char* programId, int options);
KTLORSYM_TRACE_API int KTLORSYM_DeleteInstance(TraceInstance* instance);
KTLORSYM_TRACE_API void KTLORSYM_EndLibrary(void);

/* Levels and thresholds: -1 to 1000. The setters return the previous value. */
KTLORSYM_TRACE_API int KTLORSYM_SetLogLevel(int level);
KTLORSYM_TRACE_API int KTLORSYM_GetLogLevel(void);
KTLORSYM_TRACE_API int KTLORSYM_SetFileThreshold(int threshold);
KTLORSYM_TRACE_API int KTLORSYM_SetInstanceLogLevel(TraceInstance* instance, int level);
KTLORSYM_TRACE_API int KTLORSYM_GetInstanceLogLevel(TraceInstance* instance);
KTLORSYM_TRACE_API int KTLORSYM_SetInstanceFileThreshold(TraceInstance* instance, int threshold);
KTLORSYM_TRACE_API int KTLORSYM_GetTimeStumpMode(void);
KTLORSYM_TRACE_API int KTLORSYM_SetTimeStumpMode(int mode);

/* Cross-process lock wait times (managed writers only). */
KTLORSYM_TRACE_API int KTLORSYM_GetLockWaitTime(void);
KTLORSYM_TRACE_API int KTLORSYM_SetLockWaitTime(int milliseconds);
KTLORSYM_TRACE_API int KTLORSYM_GetInstanceLockWaitTime(TraceInstance* instance);
KTLORSYM_TRACE_API int KTLORSYM_SetInstanceLockWaitTime(TraceInstance* instance, int milliseconds);
/* Retry counts are not supported: these always fail with cause 28. */
KTLORSYM_TRACE_API int KTLORSYM_GetLockRetryTimes(void);
KTLORSYM_TRACE_API int KTLORSYM_SetLockRetryTimes(int times);
KTLORSYM_TRACE_API int KTLORSYM_GetInstanceLockRetryTimes(TraceInstance* instance);
KTLORSYM_TRACE_API int KTLORSYM_SetInstanceLockRetryTimes(TraceInstance* instance, int times);

/* Kept for callers of older versions: no effect, result 0. */
KTLORSYM_TRACE_API int KTLORSYM_SetShmThreshold(int threshold);
KTLORSYM_TRACE_API int KTLORSYM_SetInstanceShmThreshold(TraceInstance* instance, int threshold);
KTLORSYM_TRACE_API int KTLORSYM_PutToShm(unsigned int level, const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutMsgSigSafe(unsigned int level, const char* text);
KTLORSYM_TRACE_API int KTLORSYM_ChFileAttr(int attributes);
KTLORSYM_TRACE_API int KTLORSYM_ChInstanceFileAttr(TraceInstance* instance, int attributes);

/* Flush and backup. Backup concatenates the trace files, oldest first, into one file. */
KTLORSYM_TRACE_API int KTLORSYM_FileBufferFlush(void);
KTLORSYM_TRACE_API int KTLORSYM_InstanceFileBufferFlush(TraceInstance* instance);
KTLORSYM_TRACE_API int KTLORSYM_TraceBackup(const char* backupFileName);
KTLORSYM_TRACE_API int KTLORSYM_TraceBackupM(const char* backupFileName, int mode);
KTLORSYM_TRACE_API int KTLORSYM_InstanceTraceBackup(TraceInstance* instance,
                                                    const char* backupFileName);
KTLORSYM_TRACE_API int KTLORSYM_InstanceTraceBackupM(TraceInstance* instance,
                                                     const char* backupFileName, int mode);

/* Deletes old files that match a wildcard pattern (at most 520 characters, e.g.
 * "/var/log/svc*.log"): mode 1 those last written at least value seconds ago, mode 2 all but
 * the value newest. Directories are never deleted. Needs no initialization. */
KTLORSYM_TRACE_API int KTLORSYM_LogFileClear(const char* pattern, int mode, int value);

/* The calling thread's code word; its OS error goes to *osError when osError is not null.
 * 16 when the thread has no error record. */
KTLORSYM_TRACE_API uint32_t KTLORSYM_GetLastError(uint32_t* osError);

/* Library-level puts (need KTLORSYM_Initialize). Level 0 to 1000; only text is required.
 * Result 0 when written or dropped by the log level, -1 on failure. */
KTLORSYM_TRACE_API int KTLORSYM_PutLine(unsigned int level, const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutWithId(unsigned int level, const char* messageId,
                                          const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutWithIdEx(unsigned int level, const char* programId,
                                            const char* messageId, const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutWithMsgType(unsigned int level, const char* programId,
                                               const char* messageId, const char* messageType,
                                               const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutWithIdAndTidEx(unsigned int level, const char* programId,
                                                  const char* threadId, const char* messageId,
                                                  const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutWithMsgTypeAndTid(unsigned int level, const char* programId,
                                                     const char* threadId, const char* messageId,
                                                     const char* messageType, const char* text);

/* Instance puts (no initialization needed). */
KTLORSYM_TRACE_API int KTLORSYM_PutInstanceLine(TraceInstance* instance, unsigned int level,
                                                const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutInstanceWithId(TraceInstance* instance, unsigned int level,
                                                  const char* messageId, const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutInstanceWithIdEx(TraceInstance* instance, unsigned int level,
                                                    const char* programId, const char* messageId,
                                                    const char* text);
KTLORSYM_TRACE_API int KTLORSYM_PutInstanceWithMsgType(TraceInstance* instance, unsigned int level,
                                                       const char* programId, const char* messageId,
                                                       const char* messageType, const char* text);

#ifdef __cplusplus
}
#endif

#endif /* KTLORSYM_TRACE_H */
