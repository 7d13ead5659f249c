#include "JOVX_ErrorLogging.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <thread>

#include "JOVX_WDT_SettingsRead.h"
#include "ktlorsym_syslog.h"
#include "ktlorsym_trace.h"
#include "plat/file.h"
#include "plat/sync.h"
#include "plat/text.h"
#include "plat/thread.h"
#include "plat/time.h"

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "JOVX_ErrorLogging";
constexpr char kProductName[] = "KTL-OR";
constexpr char kEventSourceName[] = "Orvalis";
constexpr int kSysLogOption = 3;
constexpr int kSysLogFacility = 24;
constexpr std::uint32_t kKindTrace = 1;
constexpr std::uint32_t kKindEvent = 2;
constexpr std::uint32_t kBytesPerMb = 1048576;
constexpr std::uint32_t kTerminateWaitMs = 5000;
constexpr int kCallersLeaveWaitMs = 1000;
constexpr std::size_t kPathCapacity = 261;
constexpr std::size_t kWorkCapacity = 304;
constexpr std::int32_t kMaxTraceLevel = 1000;
constexpr std::uint32_t kMaxEventPriority = 6;
constexpr char kTraceSuffix[] = "FileName: %s, LineNumber: %d.";

struct LogState {
    TraceInstance* instance = nullptr;
    std::uint32_t file_size = 0;
    std::uint32_t file_count = 0;
    char file_path[kPathCapacity] = {};
    std::int32_t level_threshold = 0;
    plat::NamedMutex queue_mutex;
    plat::Event notify_event;
    plat::NamedMutex instance_mutex;
    plat::Thread* logger_thread = nullptr;
    std::atomic<bool> stop{false};
    // Callers are admitted between a successful initialize and the next terminate; the
    // count of admitted callers keeps terminate from closing the mutexes under them.
    std::atomic<bool> accepting{false};
    std::atomic<int> callers{0};

    LogQueue queue;
    LogQueueEntry taken;  // the logger's copy of the entry it works on
};

// Never destroyed: threads may still log while the process exits (a logger that did not
// stop, an operation thread back from a hung call), and destroying the event the logger
// waits on or a mutex in use would hang or crash the exit.
LogState& g_log = *new LogState;

// A caller of the log from the outside. Not admitted (the log is not running): the call
// touches nothing and does nothing.
class Admission {
  public:
    Admission() {
        g_log.callers.fetch_add(1);
        admitted_ = g_log.accepting.load();
    }
    ~Admission() { g_log.callers.fetch_sub(1); }
    Admission(const Admission&) = delete;
    Admission& operator=(const Admission&) = delete;

    bool admitted() const { return admitted_; }

  private:
    bool admitted_;
};

// With admission closed, waits a while for the callers admitted before to leave.
bool callers_left() {
    for (int waited = 0; g_log.callers.load() != 0; ++waited) {
        if (waited == kCallersLeaveWaitMs) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::atomic<WDTLogTap> g_tap{nullptr};

// Both an abandoned and an ordinary acquisition give us the mutex.
bool acquire(plat::NamedMutex& mutex) {
    const plat::WaitResult result = mutex.lock(plat::kWaitForever);
    return result == plat::WaitResult::signalled || result == plat::WaitResult::abandoned;
}

// A cut can leave a lone '%' at the end of a format; it would start a conversion with
// nothing behind it.
void drop_dangling_percent(char* format) {
    std::size_t length = std::strlen(format);
    std::size_t percents = 0;
    while (percents < length && format[length - 1 - percents] == '%') {
        ++percents;
    }
    if (percents % 2 == 1) {
        format[length - 1] = '\0';
    }
}

// "[yyyy/mm/dd hh:mm:ss:mmm] [thread] " in front of the caller's format (with the file and
// line suffix for trace messages), expanded with the caller's arguments: the prefix and the
// format together are cut at 302 characters before expansion, the text at 303 after it.
void build_text(char* out, std::size_t capacity, const char* format, bool trace_suffix,
                std::va_list args) {
    const plat::LocalTime t = plat::local_time_now();
    char* p = out;
    *p++ = '[';
    plat::write_time_stamp(p, t, ':');
    p += plat::kTimeStampLength;
    // The thread id: at least four digits, wider ids whole.
    const std::uint32_t thread_id = plat::current_thread_id();
    std::size_t digits = 4;
    for (std::uint32_t rest = thread_id / 10000; rest != 0; rest /= 10) {
        ++digits;
    }
    std::memcpy(p, "] [", 3);
    plat::put_digits(p + 3, digits, thread_id);
    p += 3 + digits;
    std::memcpy(p, "] ", 2);
    p += 2;
    const auto prefix = static_cast<std::size_t>(p - out);

    char work[kWorkCapacity];
    const std::size_t room = kLogTextCapacity - prefix;  // format characters that fit
    std::size_t used = plat::copy_cut(work, room + 1, format);
    if (trace_suffix) {
        plat::copy_cut(work + used, room + 1 - used, kTraceSuffix);
    }
    drop_dangling_percent(work);
    plat::vformat_cut(p, capacity - prefix, work, args);
}

void queue_entry(std::uint32_t kind, std::int32_t level, const char* message_id, const char* text) {
    if (!acquire(g_log.queue_mutex)) {
        return;
    }
    if (kind == kKindTrace && level > g_log.level_threshold) {
        g_log.queue_mutex.unlock();
        return;
    }
    // The logger empties the queue before it waits again, so only a message that finds the
    // queue empty has to wake it.
    const bool logger_may_wait = g_log.queue.count == 0;
    g_log.queue.push(kind, level, message_id, text);
    g_log.queue_mutex.unlock();
    if (logger_may_wait) {
        g_log.notify_event.set();
    }
}

// Below -1 when the queue cannot be locked; otherwise as LogQueue::take.
int take_entry(bool* taken) {
    *taken = false;
    if (!acquire(g_log.queue_mutex)) {
        return -2;
    }
    const int result = g_log.queue.take(&g_log.taken, taken);
    g_log.queue_mutex.unlock();
    return result;
}

// Written around the queue: the log's own messages must not wait in the queue they report on.
void WDTLogWriteDirect(std::int32_t level, const char* message_id, const char* format, ...) {
    try {
        if (!acquire(g_log.instance_mutex)) {
            return;
        }
        if (level >= 0 && level <= kMaxTraceLevel && message_id != nullptr && format != nullptr &&
            level <= g_log.level_threshold) {
            char text[kWorkCapacity];
            std::va_list args;
            va_start(args, format);
            build_text(text, sizeof text, format, true, args);
            va_end(args);
            if (g_log.instance != nullptr) {
                KTLORSYM_PutInstanceWithId(g_log.instance, static_cast<unsigned>(level), message_id,
                                           text);
            }
        }
        g_log.instance_mutex.unlock();
    } catch (...) {
    }
}

#define WDT_LOG_DIRECT(message, function, ...)                       \
    WDTLogWriteDirect((message).level, (message).id, (message).text, \
                      function __VA_OPT__(, ) __VA_ARGS__, kSourceFileName, __LINE__)

void write_taken_entry() {
    const LogQueueEntry& entry = g_log.taken;
    if (entry.kind == kKindTrace) {
        if (!acquire(g_log.instance_mutex)) {
            return;
        }
        if (g_log.instance != nullptr) {
            KTLORSYM_PutInstanceWithId(g_log.instance, static_cast<unsigned>(entry.level),
                                       entry.message_id, entry.text);
        }
        g_log.instance_mutex.unlock();
    } else {
        KTLORSYM_PutToSysLogWithTid(entry.level, entry.message_id, entry.text);
    }
}

// Takes and writes entries until the queue is empty, reporting skipped counts before the
// entry that comes with them.
void drain_queue() {
    static constexpr char kFunction[] = "WDT_LoggerThread";
    bool taken = false;
    for (int skipped = take_entry(&taken); skipped >= 0; skipped = take_entry(&taken)) {
        if (skipped == INT_MAX) {
            WDT_LOG_DIRECT(msg::KTLOR_057_E, kFunction);
        } else if (skipped > 0) {
            WDT_LOG_DIRECT(msg::KTLOR_058_E, kFunction, skipped);
        }
        if (taken) {
            write_taken_entry();
        }
    }
}

unsigned WDT_LoggerThread() {
    static constexpr char kFunction[] = "WDT_LoggerThread";
    unsigned result = 0;
    try {
        WDT_LOG_DIRECT(msg::KTLOR_011_K, kFunction);
        while (!g_log.stop.load()) {
            const plat::WaitResult woke = g_log.notify_event.wait(plat::kWaitForever);
            if (woke == plat::WaitResult::failed) {
                result = 1;
                break;
            }
            if (woke == plat::WaitResult::signalled) {
                drain_queue();
            }
        }
        // Messages queued after the last drain but before the stop flag was seen would
        // otherwise be lost.
        if (result == 0) {
            drain_queue();
        }
        WDT_LOG_DIRECT(msg::KTLOR_012_K, kFunction);
    } catch (...) {
        result = 1;
    }
    return result;
}

// Creates the trace instance; null when the trace library refuses.
TraceInstance* create_trace_instance(std::uint32_t size_bytes, std::uint32_t count,
                                     const char* path) {
    const TraceFileConfig config{static_cast<std::int32_t>(size_bytes),
                                 static_cast<std::int32_t>(count), path};
    TraceInstance* instance = nullptr;
    return KTLORSYM_CreateInstance(&instance, &config, kProductName) == 0 ? instance : nullptr;
}

// Closes the mutexes once no caller can be using them; otherwise they stay open, and the
// next initialize takes them up again.
void close_named_objects() {
    if (callers_left()) {
        g_log.queue_mutex.close();
        g_log.instance_mutex.close();
    }
}

}  // namespace

namespace jovx {

void LogQueue::push(std::uint32_t kind, std::int32_t level, const char* message_id,
                    const char* text) {
    if (count == kLogQueueCapacity) {
        head = (head + 1) % kLogQueueCapacity;
        --count;
        if (skipped != INT_MAX) {
            ++skipped;
        }
    }
    LogQueueEntry& entry = ring[tail];
    entry.kind = kind;
    entry.level = level;
    plat::copy_cut(entry.message_id, sizeof entry.message_id, message_id);
    plat::copy_cut(entry.text, sizeof entry.text, text);
    ++count;
    tail = (tail + 1) % kLogQueueCapacity;
}

std::int32_t LogQueue::take(LogQueueEntry* out, bool* taken) {
    *taken = false;
    std::int32_t result = -1;
    if (count > 0) {
        *out = ring[head];
        *taken = true;
        --count;
        head = (head + 1) % kLogQueueCapacity;
        result = skipped;
        skipped = 0;
    } else if (skipped > 0) {
        result = skipped;
        skipped = 0;
    }
    return result;
}

}  // namespace jovx

int WDTLogInitialize(std::uint32_t file_size_bytes, std::uint32_t file_count, const char* path,
                     std::int32_t level_threshold) {
    static constexpr char kFunction[] = "WDTLogInitialize";
    try {
        // Not while the log runs, nor while a logger that did not stop may still use it.
        if (path == nullptr || g_log.accepting.load() || g_log.logger_thread != nullptr) {
            return 1;
        }
        g_log.stop.store(false);
        // Mutexes still open were kept for callers of the last run that had not left.
        if (!g_log.queue_mutex.is_open() && !g_log.queue_mutex.open("WDT_ErrorLogMutex").ok()) {
            return 1;
        }
        if (!g_log.notify_event.valid()) {
            close_named_objects();
            return 1;
        }
        if (!g_log.instance_mutex.is_open() &&
            !g_log.instance_mutex.open("WDT_InstanceMutex").ok()) {
            close_named_objects();
            return 1;
        }
        if (!acquire(g_log.queue_mutex)) {
            close_named_objects();
            return 1;
        }
        g_log.queue.clear();
        g_log.level_threshold = level_threshold;
        g_log.queue_mutex.unlock();
        KTLORSYM_OpenSysLog(kProductName, kSysLogOption, kSysLogFacility);
        KTLORSYM_SetEventSrcName(kEventSourceName);

        g_log.instance = create_trace_instance(file_size_bytes, file_count, path);
        if (g_log.instance == nullptr) {
            close_named_objects();
            KTLORSYM_CloseSysLog();
            return 1;
        }
        KTLORSYM_SetInstanceLogLevel(g_log.instance, level_threshold);
        g_log.file_size = file_size_bytes;
        g_log.file_count = file_count;
        plat::copy_cut(g_log.file_path, kPathCapacity - 1, path);

        g_log.logger_thread = new plat::Thread;
        if (!g_log.logger_thread->start([] { WDT_LoggerThread(); }).ok()) {
            delete g_log.logger_thread;
            g_log.logger_thread = nullptr;
            close_named_objects();
            KTLORSYM_DeleteInstance(g_log.instance);
            g_log.instance = nullptr;
            KTLORSYM_CloseSysLog();
            return 1;
        }
        if (const plat::Status raised = g_log.logger_thread->raise_to_time_critical();
            raised.ok()) {
            WDT_LOG_DIRECT(msg::KTLOR_106_I, kFunction);
        } else {
            WDT_LOG_DIRECT(msg::KTLOR_105_E, kFunction, static_cast<int>(raised.error));
        }
        g_log.accepting.store(true);
        return 0;
    } catch (...) {
        return 1;
    }
}

void WDTLogWrite(std::int32_t level, const char* message_id, const char* format, ...) {
    try {
        const Admission admission;
        // The tap sees messages whether or not the log is running.
        const WDTLogTap tap = g_tap.load(std::memory_order_acquire);
        if ((!admission.admitted() && tap == nullptr) || level < 0 || level > kMaxTraceLevel ||
            message_id == nullptr || format == nullptr) {
            return;
        }
        char text[kWorkCapacity];
        std::va_list args;
        va_start(args, format);
        build_text(text, sizeof text, format, true, args);
        va_end(args);
        if (tap != nullptr) {
            tap(kKindTrace, level, message_id, text);
        }
        if (admission.admitted()) {
            queue_entry(kKindTrace, level, message_id, text);
        }
    } catch (...) {
    }
}

void WDTEventLogWrite(std::uint32_t priority, const char* message_id, const char* format, ...) {
    try {
        const Admission admission;
        // The tap sees messages whether or not the log is running.
        const WDTLogTap tap = g_tap.load(std::memory_order_acquire);
        if ((!admission.admitted() && tap == nullptr) || priority > kMaxEventPriority ||
            message_id == nullptr || format == nullptr) {
            return;
        }
        char text[kWorkCapacity];
        std::va_list args;
        va_start(args, format);
        build_text(text, sizeof text, format, false, args);
        va_end(args);
        if (tap != nullptr) {
            tap(kKindEvent, static_cast<std::int32_t>(priority), message_id, text);
        }
        if (admission.admitted()) {
            queue_entry(kKindEvent, static_cast<std::int32_t>(priority), message_id, text);
        }
    } catch (...) {
    }
}

int WDTLogReconfigure(std::uint32_t file_size_mb, std::uint32_t file_count, const char* path,
                      std::int32_t level_threshold) {
    try {
        const Admission admission;
        if (!admission.admitted() || path == nullptr) {
            return 1;
        }
        if (!acquire(g_log.queue_mutex)) {
            return 1;
        }
        if (!acquire(g_log.instance_mutex)) {
            g_log.queue_mutex.unlock();
            return 1;
        }
        // Terminate may have begun since: the instance is no longer ours to replace.
        if (!g_log.accepting.load()) {
            g_log.instance_mutex.unlock();
            g_log.queue_mutex.unlock();
            return 1;
        }
        const std::uint64_t size_bytes = static_cast<std::uint64_t>(file_size_mb) * kBytesPerMb;
        // Without a trace instance (a previous re-creation failed) the files count as
        // changed, so that settings that worked before bring the trace output back.
        const bool files_same = g_log.instance != nullptr && g_log.file_size == size_bytes &&
                                g_log.file_count == file_count &&
                                std::strcmp(g_log.file_path, path) == 0;
        const bool level_same = g_log.level_threshold == level_threshold;
        if (!(files_same && level_same)) {
            if (!files_same) {
                if (g_log.instance != nullptr) {
                    KTLORSYM_DeleteInstance(g_log.instance);
                }
                g_log.instance =
                    create_trace_instance(static_cast<std::uint32_t>(size_bytes), file_count, path);
                if (g_log.instance == nullptr) {
                    g_log.instance_mutex.unlock();
                    g_log.queue_mutex.unlock();
                    return 1;
                }
            }
            KTLORSYM_SetInstanceLogLevel(g_log.instance, level_threshold);
        }
        g_log.file_size = static_cast<std::uint32_t>(size_bytes);
        g_log.file_count = file_count;
        plat::copy_cut(g_log.file_path, kPathCapacity - 1, path);
        g_log.level_threshold = level_threshold;
        g_log.instance_mutex.unlock();
        g_log.queue_mutex.unlock();
        return 0;
    } catch (...) {
        return 1;
    }
}

void WDTLogSetTap(WDTLogTap tap) {
    g_tap.store(tap, std::memory_order_release);
}

void WDTLogSetStopFlag() {
    g_log.stop.store(true);
    // The logger tests the flag only before it waits: wake it so that it sees the flag now
    // rather than never.
    g_log.notify_event.set();
}

int WDTLogTerminate() {
    try {
        if (g_log.logger_thread == nullptr) {
            return 1;
        }
        // From now on messages are dropped, as the log is going away either way.
        g_log.accepting.store(false);
        if (g_log.logger_thread->join(kTerminateWaitMs) != plat::WaitResult::signalled) {
            return 1;
        }
        delete g_log.logger_thread;
        g_log.logger_thread = nullptr;
        // A reconfigure admitted before may still hold the instance: take it from under
        // the mutex that guards it, and leave it to a holder that never lets go.
        if (const plat::WaitResult held = g_log.instance_mutex.lock(kTerminateWaitMs);
            held == plat::WaitResult::signalled || held == plat::WaitResult::abandoned) {
            if (g_log.instance != nullptr) {
                KTLORSYM_DeleteInstance(g_log.instance);
                g_log.instance = nullptr;
            }
            g_log.instance_mutex.unlock();
        }
        KTLORSYM_CloseSysLog();
        close_named_objects();
        return 0;
    } catch (...) {
        return 1;
    }
}

int WDTLogGetFilePath(char* path) {
    static constexpr char kFunction[] = "WDTLogGetFilePath";
    constexpr std::size_t kFallbackLength = 250;
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        if (path == nullptr) {
            return 1;
        }
        char log_name[kSettingsTextCapacity];
        char default_name[kSettingsTextCapacity];
        char install[kPathBufferSize];
        WDT_Settings* settings = WDT_LockSettings();
        plat::copy_cut(log_name, sizeof log_name, settings->LogName);
        plat::copy_cut(default_name, sizeof default_name, settings->DefaultLogName);
        const int found = WDT_GetInstallPath(install, kInstallPathService);
        WDT_UnlockSettings();
        if (found != 0) {
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }

        char chosen[kPathBufferSize];
        bool has_separator = false;
        for (const char* c = log_name; *c != '\0'; ++c) {
            has_separator = has_separator || plat::is_path_separator(*c);
        }
        if (plat::is_full_path(log_name)) {
            plat::copy_cut(chosen, sizeof chosen, log_name);
        } else if (has_separator) {
            // A name with a directory is taken below the installation.
            if (plat::is_path_separator(log_name[0])) {
                plat::format_cut(chosen, sizeof chosen, "%s%s", install, log_name);
            } else {
                plat::format_cut(chosen, sizeof chosen, "%s%c%s", install, plat::kPathSeparator,
                                 log_name);
            }
        } else {
            plat::format_cut(chosen, sizeof chosen, "%s%clog%c%s", install, plat::kPathSeparator,
                             plat::kPathSeparator, log_name);
        }
        if (std::strlen(chosen) >= kFallbackLength) {
            plat::format_cut(chosen, sizeof chosen, "%s%clog%c%s", install, plat::kPathSeparator,
                             plat::kPathSeparator, default_name);
        }
        plat::copy_cut(path, kPathBufferSize, chosen);
        const int result = plat::path_root_usable(path) ? 0 : 1;
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}
