// The service log: every thread queues numbered messages; one logger thread writes them to
// the service's trace files and the event log, so that no caller waits for either.
#pragma once

#include <cstdint>

#include "JOVX_MessageCatalogue.h"

namespace jovx {

enum class LogDestination { trace, event_log };

struct LogMessage {
    const char* id;
    LogDestination destination;
    std::int32_t level;  // trace level, or event priority for event log messages
    const char* text;
};

namespace msg {
#define JOVX_DEFINE_MESSAGE(name, id, destination, level, text) \
    inline constexpr LogMessage name{id, LogDestination::destination, level, text};
JOVX_MESSAGE_CATALOGUE(JOVX_DEFINE_MESSAGE)
#undef JOVX_DEFINE_MESSAGE
}  // namespace msg

#define JOVX_CATALOGUE_ENTRY(name, id, destination, level, text) msg::name,
inline constexpr LogMessage kMessageCatalogue[] = {JOVX_MESSAGE_CATALOGUE(JOVX_CATALOGUE_ENTRY)};
#undef JOVX_CATALOGUE_ENTRY

// Trace levels of the four message kinds, and the event priorities.
constexpr std::int32_t kLevelError = 0;
constexpr std::int32_t kLevelWarning = 10;
constexpr std::int32_t kLevelInformation = 20;
constexpr std::int32_t kLevelDetail = 30;

constexpr int kLogQueueCapacity = 480;
constexpr std::size_t kLogIdCapacity = 21;
constexpr std::size_t kLogTextCapacity = 302;

struct LogQueueEntry {
    std::uint32_t kind;  // 1 trace file message, 2 event log message
    std::int32_t level;
    char message_id[kLogIdCapacity];
    char text[kLogTextCapacity];
};

// The ring of queued messages. Its owner locks it; a full ring drops its oldest entry and
// counts it as skipped.
struct LogQueue {
    LogQueueEntry ring[kLogQueueCapacity];
    std::int32_t head = 0;     // oldest entry
    std::int32_t tail = 0;     // next free slot
    std::int32_t count = 0;    // entries held
    std::int32_t skipped = 0;  // dropped since the last take, stops at 2147483647

    void clear() { head = tail = count = skipped = 0; }
    void push(std::uint32_t kind, std::int32_t level, const char* message_id, const char* text);
    // Copies the oldest entry to *out (*taken tells whether there was one) and returns the
    // skipped count it clears: -1 when there was neither an entry nor a skipped count.
    std::int32_t take(LogQueueEntry* out, bool* taken);
};

}  // namespace jovx

// Results: 0 success, 1 failure. Initialize fails while the log runs, and after a terminate
// that gave up until a later terminate succeeds. Messages and reconfigures are taken only
// between a successful initialize and the next terminate; outside that they are dropped.
// Terminate stops taking them at once, even when it then gives up on the logger thread.
int WDTLogInitialize(std::uint32_t file_size_bytes, std::uint32_t file_count, const char* path,
                     std::int32_t level_threshold);
int WDTLogReconfigure(std::uint32_t file_size_mb, std::uint32_t file_count, const char* path,
                      std::int32_t level_threshold);
int WDTLogTerminate();

// The format's arguments: the calling function's name, the message's own values, then the
// caller's source file name and line (the log appends "FileName: %s, LineNumber: %d.").
void WDTLogWrite(std::int32_t level, const char* message_id, const char* format, ...);
void WDTEventLogWrite(std::uint32_t priority, const char* message_id, const char* format, ...);

// The trace file path from the LogName setting and the service's install directory, into a
// 260-byte buffer: 0 success, 1 failure (no install directory, or a location that cannot
// hold files; the buffer still holds the path).
int WDTLogGetFilePath(char* path);

// Asks the logger thread to end once it has emptied the queue again.
void WDTLogSetStopFlag();

// Sees every message as it is written, before any level filter, with its composed text:
// kind 1 trace, 2 event log. For a person watching the service in a terminal, and for tests.
// Called on the writing thread; set it while no other thread writes.
using WDTLogTap = void (*)(std::uint32_t kind, std::int32_t level, const char* message_id,
                           const char* text);
void WDTLogSetTap(WDTLogTap tap);

// Messages from the catalogue. Each source file names itself in kSourceFileName.
#define WDT_LOG(message, function, ...)                        \
    WDTLogWrite((message).level, (message).id, (message).text, \
                function __VA_OPT__(, ) __VA_ARGS__, kSourceFileName, __LINE__)
#define WDT_EVENT(message) \
    WDTEventLogWrite(static_cast<std::uint32_t>((message).level), (message).id, (message).text)
