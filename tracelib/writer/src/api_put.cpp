// The put functions: a line is composed in the calling thread's buffer without a lock,
// then handed to the writer under the library lock and, if asked, echoed.
#include <mutex>

#include "library.h"
#include "plat/file.h"
#include "plat/time.h"
#include "thread_record.h"
#include "trace_line.h"

using namespace ktl;

namespace {

constexpr std::int32_t kOff = -1;
constexpr std::int32_t kMaskedTimeMode = 1;

struct Thresholds {
    std::int32_t file;
    std::int32_t shm;
};

// Writes the composed line to the writer and the echo; returns the put's result. The writer
// is chosen under the library lock, where it cannot change.
template <typename SelectWriter>
int deliver(LibraryState& lib, ThreadRecord* record, Function function, unsigned level,
            SelectWriter select_writer, const Thresholds& thresholds, std::size_t length) {
    int result = 0;
    const auto message_level = static_cast<std::int32_t>(level);
    if (thresholds.file != kOff && thresholds.file <= message_level) {
        std::lock_guard guard(lib.lock);
        TraceWriter* writer = select_writer();
        if (writer == nullptr) {
            record->fail(function, kCauseBadState);
            result = -1;
        } else if (const Failure wrote = writer->write_line(record->line, length); !wrote.ok()) {
            record->fail(function, wrote);
            result = -1;
        }
    }
    if (thresholds.shm != kOff && thresholds.shm >= message_level) {
        // The shared-memory channel of this stage is never opened: its cause replaces the
        // code word, while the OS error stays.
        record->code_word = kCauseBadState;
        if (load_relaxed(KTLORSYM_Threshold.Echo) != 0 && plat::standard_output_available()) {
            (void)plat::write_standard_output(record->line, length);
        }
    }
    if (result != 0) {
        record->add_function(function);
    }
    return result;
}

// A message above the log level costs only these comparisons: the exports make them before
// anything else is built. Bad arguments fall through to the full path, which reports them.
bool library_drops(unsigned level, const char* text) {
    return level <= kMaxLevel && text != nullptr &&
           static_cast<std::int32_t>(level) > load_relaxed(KTLORSYM_Threshold.MaxLevel) &&
           library().initialized.load(std::memory_order_acquire);
}

bool instance_drops(const TraceInstance* instance, unsigned level, const char* text) {
    return instance != nullptr && level <= kMaxLevel && text != nullptr && is_live(instance) &&
           static_cast<std::int32_t>(level) >
               load_relaxed(const_cast<TraceInstance*>(instance)->max_level);
}

int library_put(Function function, unsigned level, const LineFields& given, bool by_mode) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        return -1;
    }
    LibraryState& lib = library();
    if (!lib.initialized.load(std::memory_order_acquire)) {
        record->fail(function, kCauseBadState);
        return -1;
    }
    if (level > kMaxLevel || given.text == nullptr) {
        record->fail(function, kCauseInvalidArgument);
        return -1;
    }
    if (library_drops(level, given.text)) {
        return 0;
    }
    record->clear();
    LineFields fields = given;
    fields.process_id_text = lib.process_id_text;
    if (fields.thread_id == nullptr) {
        fields.thread_id = record->thread_id_text;
        fields.own_thread_id = true;
    }
    fields.masked_time = by_mode && load_relaxed(KTLORSYM_iTickType) == kMaskedTimeMode;
    const plat::LocalTime now = fields.masked_time ? plat::LocalTime{} : plat::local_time_now();
    const std::size_t length =
        compose_line(record->line, fields, next_sequence_number(), now, &record->stamps);
    const Thresholds thresholds{load_relaxed(KTLORSYM_Threshold.FileThreshold),
                                load_relaxed(KTLORSYM_Threshold.ShmThreshold)};
    return deliver(
        lib, record, function, level, [&lib] { return lib.writer(); }, thresholds, length);
}

int instance_put(Function function, TraceInstance* instance, unsigned level,
                 const LineFields& given) {
    ThreadRecord* record = current_thread_record();
    if (record == nullptr) {
        return -1;
    }
    if (instance == nullptr || level > kMaxLevel || given.text == nullptr) {
        record->fail(function, kCauseInvalidArgument);
        return -1;
    }
    if (!is_live(instance)) {
        record->fail(function, kCauseBadState);
        return -1;
    }
    if (instance_drops(instance, level, given.text)) {
        return 0;
    }
    record->clear();
    LibraryState& lib = library();
    LineFields fields = given;
    if (fields.program_id == nullptr) {
        fields.program_id = instance->program_id;
        fields.stored_program_id = true;
    }
    fields.process_id_text = lib.process_id_text;
    fields.thread_id = record->thread_id_text;
    fields.own_thread_id = true;
    const std::size_t length = compose_line(record->line, fields, next_sequence_number(),
                                            plat::local_time_now(), &record->stamps);
    const Thresholds thresholds{load_relaxed(instance->file_threshold),
                                load_relaxed(instance->shm_threshold)};
    return deliver(
        lib, record, function, level, [instance] { return writer_of(instance); }, thresholds,
        length);
}

LineFields body(BodyForm form, const char* program_id, const char* message_id,
                const char* message_type, const char* text) {
    LineFields fields;
    fields.form = form;
    fields.program_id = program_id;
    fields.message_id = message_id;
    fields.message_type = message_type;
    fields.text = text;
    return fields;
}

}  // namespace

int KTLORSYM_PutLine(unsigned int level, const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    char program_id[kProgramIdWidth + 1];
    library().copy_program_id(program_id);
    LineFields fields = body(BodyForm::text_only, program_id, nullptr, nullptr, text);
    fields.stored_program_id = true;
    return library_put(kFnPutLine, level, fields, true);
}

int KTLORSYM_PutWithId(unsigned int level, const char* messageId, const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    char program_id[kProgramIdWidth + 1];
    library().copy_program_id(program_id);
    LineFields fields = body(BodyForm::with_id, program_id, messageId, nullptr, text);
    fields.stored_program_id = true;
    return library_put(kFnPutWithId, level, fields, true);
}

int KTLORSYM_PutWithIdEx(unsigned int level, const char* programId, const char* messageId,
                         const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    return library_put(kFnPutWithIdEx, level,
                       body(BodyForm::with_id, programId, messageId, nullptr, text), true);
}

int KTLORSYM_PutWithMsgType(unsigned int level, const char* programId, const char* messageId,
                            const char* messageType, const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    return library_put(kFnPutWithMsgType, level,
                       body(BodyForm::with_type, programId, messageId, messageType, text), true);
}

int KTLORSYM_PutWithIdAndTidEx(unsigned int level, const char* programId, const char* threadId,
                               const char* messageId, const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    LineFields fields = body(BodyForm::with_id, programId, messageId, nullptr, text);
    // The caller's thread-id text; none gives spaces.
    fields.thread_id = threadId != nullptr ? threadId : "";
    return library_put(kFnPutWithIdAndTidEx, level, fields, false);
}

int KTLORSYM_PutWithMsgTypeAndTid(unsigned int level, const char* programId, const char* threadId,
                                  const char* messageId, const char* messageType,
                                  const char* text) {
    if (library_drops(level, text)) {
        return 0;
    }
    LineFields fields = body(BodyForm::with_type, programId, messageId, messageType, text);
    fields.thread_id = threadId != nullptr ? threadId : "";
    return library_put(kFnPutWithMsgTypeAndTid, level, fields, false);
}

int KTLORSYM_PutInstanceLine(TraceInstance* instance, unsigned int level, const char* text) {
    if (instance_drops(instance, level, text)) {
        return 0;
    }
    return instance_put(kFnPutInstanceLine, instance, level,
                        body(BodyForm::text_only, nullptr, nullptr, nullptr, text));
}

int KTLORSYM_PutInstanceWithId(TraceInstance* instance, unsigned int level, const char* messageId,
                               const char* text) {
    if (instance_drops(instance, level, text)) {
        return 0;
    }
    return instance_put(kFnPutInstanceWithId, instance, level,
                        body(BodyForm::with_id, nullptr, messageId, nullptr, text));
}

int KTLORSYM_PutInstanceWithIdEx(TraceInstance* instance, unsigned int level, const char* programId,
                                 const char* messageId, const char* text) {
    if (instance_drops(instance, level, text)) {
        return 0;
    }
    // The argument's program id replaces the instance's; none gives spaces.
    return instance_put(
        kFnPutInstanceWithIdEx, instance, level,
        body(BodyForm::with_id, programId != nullptr ? programId : "", messageId, nullptr, text));
}

int KTLORSYM_PutInstanceWithMsgType(TraceInstance* instance, unsigned int level,
                                    const char* programId, const char* messageId,
                                    const char* messageType, const char* text) {
    if (instance_drops(instance, level, text)) {
        return 0;
    }
    return instance_put(kFnPutInstanceWithMsgType, instance, level,
                        body(BodyForm::with_type, programId != nullptr ? programId : "", messageId,
                             messageType, text));
}
