// Levels, thresholds, time-stamp mode and the lock-wait settings of managed writers.
#include <mutex>

#include "library.h"
#include "thread_record.h"

using namespace ktl;

namespace {

int set_library_level(std::int32_t& field, int value, Function function) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    const int previous = load_relaxed(field);
    if (level_in_range(value)) {
        store_relaxed(field, value);
    } else {
        record->fail(function, kCauseInvalidArgument);
    }
    return previous;
}

// Checks common to the instance setters and getters; 0 is their result on a bad handle.
bool usable_instance(ThreadRecord* record, TraceInstance* instance, Function function) {
    if (instance == nullptr) {
        record->fail(function, kCauseInvalidArgument);
        return false;
    }
    if (!is_live(instance)) {
        record->fail(function, kCauseBadState);
        return false;
    }
    return true;
}

int set_instance_level(TraceInstance* instance, std::int32_t TraceInstance::*field, int value,
                       Function function) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    std::lock_guard guard(library().lock);
    if (!usable_instance(record, instance, function)) {
        return 0;
    }
    const int previous = load_relaxed(instance->*field);
    if (level_in_range(value)) {
        store_relaxed(instance->*field, value);
    } else {
        record->fail(function, kCauseInvalidArgument);
    }
    return previous;
}

int unsupported(Function function) {
    ThreadRecord* record = cleared_thread_record();
    if (record != nullptr) {
        record->fail(function, kCauseNotSupported);
    }
    return -1;
}

}  // namespace

int KTLORSYM_SetLogLevel(int level) {
    return set_library_level(KTLORSYM_Threshold.MaxLevel, level, kFnSetLogLevel);
}

int KTLORSYM_GetLogLevel(void) {
    cleared_thread_record();
    return load_relaxed(KTLORSYM_Threshold.MaxLevel);
}

int KTLORSYM_SetFileThreshold(int threshold) {
    return set_library_level(KTLORSYM_Threshold.FileThreshold, threshold, kFnSetFileThreshold);
}

int KTLORSYM_SetInstanceLogLevel(TraceInstance* instance, int level) {
    return set_instance_level(instance, &TraceInstance::max_level, level, kFnSetInstanceLogLevel);
}

int KTLORSYM_GetInstanceLogLevel(TraceInstance* instance) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (!usable_instance(record, instance, kFnGetInstanceLogLevel)) {
        return 0;
    }
    return load_relaxed(instance->max_level);
}

int KTLORSYM_SetInstanceFileThreshold(TraceInstance* instance, int threshold) {
    return set_instance_level(instance, &TraceInstance::file_threshold, threshold,
                              kFnSetInstanceFileThreshold);
}

int KTLORSYM_GetTimeStumpMode(void) {
    cleared_thread_record();
    return load_relaxed(KTLORSYM_iTickType);
}

int KTLORSYM_SetTimeStumpMode(int mode) {
    store_relaxed(KTLORSYM_iTickType, mode);
    return mode;
}

int KTLORSYM_GetLockWaitTime(void) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (lib.plain_writer != nullptr) {
        record->fail(kFnGetLockWaitTime, kCauseNotSupported);
        return -1;
    }
    if (lib.managed_writer != nullptr) {
        return lib.managed_writer->lock_wait_time();
    }
    return load_relaxed(KTLORSYM_LockValue.LockWaitTime);
}

int KTLORSYM_SetLockWaitTime(int milliseconds) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (milliseconds < 0) {
        milliseconds = 0;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    if (lib.plain_writer != nullptr) {
        record->fail(kFnSetLockWaitTime, kCauseNotSupported);
        return -1;
    }
    int previous = load_relaxed(KTLORSYM_LockValue.LockWaitTime);
    if (lib.managed_writer != nullptr) {
        previous = lib.managed_writer->lock_wait_time();
        lib.managed_writer->set_lock_wait_time(milliseconds);
    }
    store_relaxed(KTLORSYM_LockValue.LockWaitTime, milliseconds);
    return previous;
}

int KTLORSYM_GetInstanceLockWaitTime(TraceInstance* instance) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (instance == nullptr) {
        return load_relaxed(KTLORSYM_LockValue.InstanceLockWaitTime);
    }
    if (!is_live(instance) || writer_of(instance) == nullptr) {
        record->fail(kFnGetInstanceLockWaitTime, kCauseBadState);
        return -1;
    }
    if (instance->managed_writer == nullptr) {
        record->fail(kFnGetInstanceLockWaitTime, kCauseNotSupported);
        return -1;
    }
    std::lock_guard guard(library().lock);
    return instance->managed_writer->lock_wait_time();
}

int KTLORSYM_SetInstanceLockWaitTime(TraceInstance* instance, int milliseconds) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (milliseconds < 0) {
        milliseconds = 0;
    }
    std::lock_guard guard(library().lock);
    if (instance == nullptr) {
        const int previous = load_relaxed(KTLORSYM_LockValue.InstanceLockWaitTime);
        store_relaxed(KTLORSYM_LockValue.InstanceLockWaitTime, milliseconds);
        return previous;
    }
    if (!is_live(instance) || writer_of(instance) == nullptr) {
        record->fail(kFnSetInstanceLockWaitTime, kCauseBadState);
        return -1;
    }
    if (instance->managed_writer == nullptr) {
        record->fail(kFnSetInstanceLockWaitTime, kCauseNotSupported);
        return -1;
    }
    const int previous = instance->managed_writer->lock_wait_time();
    instance->managed_writer->set_lock_wait_time(milliseconds);
    return previous;
}

int KTLORSYM_GetLockRetryTimes(void) {
    return unsupported(kFnGetLockRetryTimes);
}
int KTLORSYM_SetLockRetryTimes(int) {
    return unsupported(kFnSetLockRetryTimes);
}
int KTLORSYM_GetInstanceLockRetryTimes(TraceInstance*) {
    return unsupported(kFnGetInstanceLockRetryTimes);
}
int KTLORSYM_SetInstanceLockRetryTimes(TraceInstance*, int) {
    return unsupported(kFnSetInstanceLockRetryTimes);
}

int KTLORSYM_SetShmThreshold(int) {
    return 0;
}
int KTLORSYM_SetInstanceShmThreshold(TraceInstance*, int) {
    return 0;
}
int KTLORSYM_PutToShm(unsigned int, const char*) {
    return 0;
}
int KTLORSYM_PutMsgSigSafe(unsigned int, const char*) {
    return 0;
}
int KTLORSYM_ChFileAttr(int) {
    return 0;
}
int KTLORSYM_ChInstanceFileAttr(TraceInstance*, int) {
    return 0;
}

uint32_t KTLORSYM_GetLastError(uint32_t* osError) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        return kCauseNoRecord;
    }
    if (osError != nullptr) {
        *osError = record->os_error;
    }
    return record->code_word;
}
