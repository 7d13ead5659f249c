// Flushing a writer's file and copying its files into one backup file.
#include <mutex>

#include "library.h"
#include "thread_record.h"

using namespace ktl;

namespace {

constexpr int kBackupModeDefault = 0;
constexpr int kBackupModeAlternate = 16;

bool backup_mode_valid(int mode) {
    return mode == kBackupModeDefault || mode == kBackupModeAlternate;
}

int library_backup(const char* file_name, int mode, Function function) {
    if (KTLORSYM_FileBufferFlush() != 0) {
        return -1;
    }
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (file_name == nullptr) {
        record->fail(function, kCauseInvalidArgument);
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    TraceWriter* writer = lib.writer();
    if (writer == nullptr) {
        record->fail(function, kCauseBadState);
        return -1;
    }
    const Failure copied = writer->backup(file_name, mode);
    if (!copied.ok()) {
        record->fail(function, copied);
        return -1;
    }
    return 0;
}

int instance_backup(TraceInstance* instance, const char* file_name, int mode, Function function) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (instance == nullptr || file_name == nullptr) {
        record->fail(function, kCauseInvalidArgument);
        return -1;
    }
    if (KTLORSYM_InstanceFileBufferFlush(instance) != 0) {
        return -1;
    }
    record->clear();
    std::lock_guard guard(library().lock);
    TraceWriter* writer = is_live(instance) ? writer_of(instance) : nullptr;
    if (writer == nullptr) {
        record->fail(function, kCauseBadState);
        return -1;
    }
    const Failure copied = writer->backup(file_name, mode);
    if (!copied.ok()) {
        record->fail(function, copied);
        return -1;
    }
    return 0;
}

int flush_writer(ThreadRecord* record, TraceWriter* writer, Function function) {
    if (writer == nullptr) {
        record->fail(function, kCauseBadState);
        return -1;
    }
    const Failure flushed = writer->flush();
    if (!flushed.ok()) {
        record->fail(function, flushed);
        return -1;
    }
    return 0;
}

}  // namespace

int KTLORSYM_FileBufferFlush(void) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    std::lock_guard guard(lib.lock);
    return flush_writer(record, lib.writer(), kFnFileBufferFlush);
}

int KTLORSYM_InstanceFileBufferFlush(TraceInstance* instance) {
    ThreadRecord* record = cleared_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (instance == nullptr) {
        record->fail(kFnInstanceFileBufferFlush, kCauseInvalidArgument);
        return -1;
    }
    if (!is_live(instance)) {
        record->fail(kFnInstanceFileBufferFlush, kCauseBadState);
        return -1;
    }
    std::lock_guard guard(library().lock);
    return flush_writer(record, writer_of(instance), kFnInstanceFileBufferFlush);
}

int KTLORSYM_TraceBackup(const char* backupFileName) {
    return library_backup(backupFileName, kBackupModeDefault, kFnTraceBackup);
}

int KTLORSYM_TraceBackupM(const char* backupFileName, int mode) {
    if (!backup_mode_valid(mode)) {
        if (ThreadRecord* record = current_thread_record()) {
            record->fail(kFnTraceBackupM, kCauseInvalidArgument);
        }
        return -1;
    }
    return library_backup(backupFileName, mode, kFnTraceBackupM);
}

int KTLORSYM_InstanceTraceBackup(TraceInstance* instance, const char* backupFileName) {
    return instance_backup(instance, backupFileName, kBackupModeDefault, kFnInstanceTraceBackup);
}

int KTLORSYM_InstanceTraceBackupM(TraceInstance* instance, const char* backupFileName, int mode) {
    if (!backup_mode_valid(mode)) {
        if (ThreadRecord* record = current_thread_record()) {
            record->fail(kFnInstanceTraceBackupM, kCauseInvalidArgument);
        }
        return -1;
    }
    return instance_backup(instance, backupFileName, mode, kFnInstanceTraceBackupM);
}
