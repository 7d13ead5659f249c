/* Event log writer: a syslog-style interface (open with an ident, put a message with a
 * priority, close) whose events go to the system's event log under a registered event
 * source, and two functions that delete old files.
 *
 * Results. The instance functions return an internal result: 0 success, 1 bad argument or
 * invalid instance, or a tagged code with the failing step in the top byte (101 allocating an
 * instance, 102 opening the event log, 103 the event source is not registered, 104 reporting
 * the event) and the system error number in the low 24 bits. KTLORSYM_SysLogErrApi and
 * KTLORSYM_SysLogErrCode decode it. The plain functions translate it for the caller: 0 stays
 * 0, 1 becomes 87, a tagged code becomes its system error (-1 when that is 0).
 *
 * An event source is registered by the key
 * HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\EventLog\Application\<source>.
 * On Linux an event is one syslog datagram to /dev/log (VARMOTH_SYSLOG_SOCKET names another
 * socket) in the form glibc's syslog() writes (RFC 3164): the facility of the open call, the
 * severity of the event type (error, warning, information), the source name as the tag, the
 * process id, and the event's text. A put never waits: when no daemon takes the event at
 * once, it fails in the reporting step with the system error. */
#ifndef KTLORSYM_SYSLOG_H
#define KTLORSYM_SYSLOG_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(KTLORSYM_SYSLOG_BUILD)
#define KTLORSYM_SYSLOG_API __declspec(dllexport)
#else
#define KTLORSYM_SYSLOG_API __declspec(dllimport)
#endif
#else
#define KTLORSYM_SYSLOG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque log output. */
typedef struct SysLogInstance SysLogInstance;

/* Option bit of KTLORSYM_OpenSysLogInstance: the instance's plain put adds the message id
 * and the calling thread's id. */
#define KTLORSYM_SYSLOG_OPTION_TID 0x10000

/* Thread id format types of KTLORSYM_SetSysLogTidFormat. */
#define KTLORSYM_TID_HEX 1     /* "%lX" */
#define KTLORSYM_TID_DECIMAL 2 /* "%lu" */
#define KTLORSYM_TID_HEX8 4    /* "%08lX", the default */
#define KTLORSYM_TID_HEX16 8   /* "%016lX" */

/* The default output. Priorities are syslog's (3 error, 5 warning, 6 information, ...). */
KTLORSYM_SYSLOG_API void KTLORSYM_OpenSysLog(const char* ident, int option, int facility);
KTLORSYM_SYSLOG_API int KTLORSYM_PutToSysLog(int priority, const char* message);
KTLORSYM_SYSLOG_API int KTLORSYM_PutToSysLogWithTid(int priority, const char* messageId,
                                                    const char* text);
KTLORSYM_SYSLOG_API int KTLORSYM_SetLogMask(int mask);
KTLORSYM_SYSLOG_API int KTLORSYM_SetEventSrcName(const char* sourceName);
KTLORSYM_SYSLOG_API int KTLORSYM_SetSysLogTidFormat(int type, const char* prefix,
                                                    const char* suffix);
KTLORSYM_SYSLOG_API void KTLORSYM_CloseSysLog(void);

/* Further outputs. */
KTLORSYM_SYSLOG_API int KTLORSYM_CreateSysLogInstance(SysLogInstance** instance);
KTLORSYM_SYSLOG_API int KTLORSYM_DeleteSysLogInstance(SysLogInstance* instance);
KTLORSYM_SYSLOG_API int KTLORSYM_OpenSysLogInstance(SysLogInstance* instance, const char* ident,
                                                    int option, int facility);
KTLORSYM_SYSLOG_API int KTLORSYM_CloseSysLogInstance(SysLogInstance* instance);
KTLORSYM_SYSLOG_API int KTLORSYM_PutToSysLogInstance(SysLogInstance* instance, int priority,
                                                     const char* messageId, const char* text);
KTLORSYM_SYSLOG_API int KTLORSYM_PutToSysLogWithTidInstance(SysLogInstance* instance, int priority,
                                                            const char* messageId,
                                                            const char* text);
KTLORSYM_SYSLOG_API int KTLORSYM_SetLogMaskInstance(SysLogInstance* instance, int mask);
KTLORSYM_SYSLOG_API int KTLORSYM_SetEventSrcNameInstance(SysLogInstance* instance,
                                                         const char* sourceName);
KTLORSYM_SYSLOG_API int KTLORSYM_SetSysLogTidFormatInstance(SysLogInstance* instance, int type,
                                                            const char* prefix, const char* suffix);

/* Decoding an internal result: the failing step (0, 1, 101 to 104, or -1 for a code that is
 * none of these) and the system error (0, 87 for 1, or -1 when there is none). */
KTLORSYM_SYSLOG_API int KTLORSYM_SysLogErrApi(int result);
KTLORSYM_SYSLOG_API int KTLORSYM_SysLogErrCode(int result);

/* Deleting old files that match a wildcard pattern ("dir/name*.log"): all but the newest
 * count files, or those last written at least ageSeconds ago. Directories are never deleted.
 * Result 0, or the system error of the search or of the last deletion that failed (87 for a
 * null pattern). Patterns and paths longer than 259 bytes are refused with the system's
 * "name too long" error. */
KTLORSYM_SYSLOG_API int KTLORSYM_FileCleanupByNum(const char* pattern, int count);
KTLORSYM_SYSLOG_API int KTLORSYM_FileCleanupByTime(const char* pattern, int ageSeconds);

#ifdef __cplusplus
}
#endif

#endif /* KTLORSYM_SYSLOG_H */
