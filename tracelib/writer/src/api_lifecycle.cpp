// Opening and closing the library-level writer and instances.
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <new>

#include "library.h"
#include "managed_writer.h"
#include "plain_writer.h"
#include "thread_record.h"

using namespace ktl;

namespace {

constexpr int kMaxManagedOptions = 63;

bool managed_arguments_valid(const TraceFileConfig* config, int options) {
    return config_within(config, kManagedLimits) && options >= 0 && options <= kMaxManagedOptions;
}

// Creates and opens a plain writer; on failure nothing is left behind.
Failure open_plain_writer(const TraceFileConfig& config, TraceWriter** out) {
    auto* writer = new (std::nothrow) PlainTraceWriter(config);
    if (writer == nullptr) {
        return {kCauseAllocFailed, 0};
    }
    const Failure opened = writer->open();
    if (!opened.ok()) {
        delete writer;
        return opened;
    }
    *out = writer;
    return Failure::none();
}

// Creates and opens a managed writer; on failure nothing is left behind. An open that took
// its position from the trace files succeeds with kCausePositionFromTraceFiles.
Failure open_managed_writer(const TraceFileConfig& config, const char* program_id, int options,
                            int wait_ms, TraceWriter** out) {
    auto* writer = new (std::nothrow) ManagedTraceWriter(config, program_id);
    if (writer == nullptr) {
        return {kCauseAllocFailed, 0};
    }
    writer->set_options(static_cast<std::uint32_t>(options));
    writer->set_lock_wait_time(wait_ms);
    const Failure opened = writer->open();
    if (!opened.ok() && opened.cause != kCausePositionFromTraceFiles) {
        delete writer;
        return opened;
    }
    *out = writer;
    return opened;
}

void release_instance(TraceInstance* instance) {
    delete instance->plain_writer;
    delete instance->managed_writer;
    std::free(instance);
}

TraceInstance* new_instance(const char* program_id) {
    auto* instance = static_cast<TraceInstance*>(std::calloc(1, sizeof(TraceInstance)));
    if (instance != nullptr) {
        std::memcpy(instance->magic, "LIVE", 4);
        store_program_id(instance->program_id, program_id);
    }
    return instance;
}

}  // namespace

int KTLORSYM_Initialize(const TraceFileConfig* config, const char* programId) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (lib.initialized.load()) {
        record->fail(kFnInitialize, kCauseBadState);
        return -1;
    }
    lib.set_program_id(programId);
    // A writer left over from a failed finalize is used again as it is.
    if (lib.plain_writer == nullptr) {
        if (!config_within(config, kPlainLimits)) {
            record->fail(kFnInitialize, kCauseInvalidArgument);
            return -1;
        }
        const Failure opened = open_plain_writer(*config, &lib.plain_writer);
        if (!opened.ok()) {
            lib.destroy_writers();
            record->fail(kFnInitialize, opened);
            return -1;
        }
    }
    lib.initialized.store(true);
    return 0;
}

int KTLORSYM_InitializeM(const TraceFileConfig* config, const char* programId, int options) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (lib.initialized.load()) {
        record->fail(kFnInitializeM, kCauseBadState);
        return -1;
    }
    lib.set_program_id(programId);
    int result = 0;
    // A writer left over from a failed finalize is used again as it is.
    if (lib.managed_writer == nullptr) {
        if (!managed_arguments_valid(config, options)) {
            record->fail(kFnInitializeM, kCauseInvalidArgument);
            return -1;
        }
        const Failure opened =
            open_managed_writer(*config, nullptr, options,
                                load_relaxed(KTLORSYM_LockValue.LockWaitTime), &lib.managed_writer);
        if (opened.cause == kCausePositionFromTraceFiles) {
            record->fail(kFnInitializeM, opened);
            result = 3;
        } else if (!opened.ok()) {
            lib.destroy_writers();
            record->fail(kFnInitializeM, opened);
            return -1;
        }
    }
    lib.initialized.store(true);
    return result;
}

int KTLORSYM_Finalize(void) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (!lib.initialized.load()) {
        record->fail(kFnFinalize, kCauseBadState);
        return -1;
    }
    lib.initialized.store(false);
    if (lib.writer() == nullptr) {
        record->fail(kFnFinalize, kCauseBadState);
        return -1;
    }
    int result = 0;
    // A writer that fails to close stays for the next initialization.
    for (TraceWriter** writer : {&lib.plain_writer, &lib.managed_writer}) {
        if (*writer == nullptr) {
            continue;
        }
        const Failure closed = (*writer)->close();
        if (closed.ok()) {
            delete *writer;
            *writer = nullptr;
        } else {
            record->fail(kFnFinalize, closed);
            result = -1;
        }
    }
    return result;
}

int KTLORSYM_CreateInstance(TraceInstance** instance, const TraceFileConfig* config,
                            const char* programId) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        if (instance != nullptr) {
            *instance = nullptr;
        }
        return -1;
    }
    record->clear();
    if (instance == nullptr) {
        record->fail(kFnCreateInstance, kCauseInvalidArgument);
        return -1;
    }
    *instance = nullptr;
    TraceInstance* created = new_instance(programId);
    if (created == nullptr) {
        record->fail(kFnCreateInstance, kCauseAllocFailed);
        return -1;
    }
    std::lock_guard guard(library().lock);
    if (!config_within(config, kPlainLimits)) {
        release_instance(created);
        record->fail(kFnCreateInstance, kCauseInvalidArgument);
        return -1;
    }
    const Failure opened = open_plain_writer(*config, &created->plain_writer);
    if (!opened.ok()) {
        release_instance(created);
        record->fail(kFnCreateInstance, opened);
        return -1;
    }
    *instance = created;
    return 0;
}

int KTLORSYM_CreateInstanceM(TraceInstance** instance, const TraceFileConfig* config,
                             const char* programId, int options) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        if (instance != nullptr) {
            *instance = nullptr;
        }
        return -1;
    }
    record->clear();
    if (instance == nullptr) {
        record->fail(kFnCreateInstanceM, kCauseInvalidArgument);
        return -1;
    }
    *instance = nullptr;
    TraceInstance* created = new_instance(programId);
    if (created == nullptr) {
        record->fail(kFnCreateInstanceM, kCauseAllocFailed);
        return -1;
    }
    std::lock_guard guard(library().lock);
    if (!managed_arguments_valid(config, options)) {
        release_instance(created);
        record->fail(kFnCreateInstanceM, kCauseInvalidArgument);
        return -1;
    }
    const Failure opened = open_managed_writer(
        *config, created->program_id, options,
        load_relaxed(KTLORSYM_LockValue.InstanceLockWaitTime), &created->managed_writer);
    if (!opened.ok() && opened.cause != kCausePositionFromTraceFiles) {
        release_instance(created);
        record->fail(kFnCreateInstanceM, opened);
        return -1;
    }
    *instance = created;
    if (!opened.ok()) {
        record->fail(kFnCreateInstanceM, opened);
        return 3;
    }
    return 0;
}

int KTLORSYM_DeleteInstance(TraceInstance* instance) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (instance == nullptr) {
        record->fail(kFnDeleteInstance, kCauseInvalidArgument);
        return -1;
    }
    std::lock_guard guard(library().lock);
    if (TraceWriter* writer = writer_of(instance)) {
        const Failure closed = writer->close();
        if (!closed.ok()) {
            record->fail(kFnDeleteInstance, closed);
            return -1;
        }
    }
    std::memcpy(instance->magic, "DEAD", 4);
    release_instance(instance);
    return 0;
}

void KTLORSYM_EndLibrary(void) {}
