#include "library.h"

#if !defined(_WIN32)
#include <pthread.h>
#endif

#include "plat/text.h"
#include "plat/thread.h"
#include "thread_record.h"

extern "C" {

KTLORSYM_ThresholdBlock KTLORSYM_Threshold = {"ID_ZUNO", 0, 0, 0, 0};
KTLORSYM_LockValueBlock KTLORSYM_LockValue = {10, -1, 10, -1};
std::int32_t KTLORSYM_iTickType = 0;

}  // extern "C"

namespace ktl {

// Nothing reads it; it marks the binary.
[[maybe_unused]] __attribute__((used)) const char kIdentification[] =
    "@(#)zuno2KTLORLIBt_x64 trace library";

namespace {

#if !defined(_WIN32)
// The child of a fork goes on with the forking thread alone, under ids of its own.
void renew_ids_in_child() {
    library().make_id_texts();
    renew_thread_id_text();
}
#endif

}  // namespace

LibraryState::LibraryState() {
    set_program_id(nullptr);
    make_id_texts();
#if !defined(_WIN32)
    // After make_id_texts(): the platform's own fork handler has been registered by then,
    // and the ids this one asks for are the child's.
    pthread_atfork(nullptr, nullptr, renew_ids_in_child);
#endif
}

void LibraryState::make_id_texts() {
    plat::format_cut(process_id_text, sizeof process_id_text, "%08X ", plat::current_process_id());
}

void LibraryState::set_program_id(const char* program_id) {
    char text[kProgramIdWidth + 1];
    store_program_id(text, program_id);
    std::uint64_t words[2];
    static_assert(sizeof words == kProgramIdWidth);
    std::memcpy(words, text, sizeof words);
    // Release stores of the words: a reader that sees one of them also sees the odd count.
    const std::uint32_t changes = program_id_changes_.load(std::memory_order_relaxed);
    program_id_changes_.store(changes + 1, std::memory_order_relaxed);
    program_id_words_[0].store(words[0], std::memory_order_release);
    program_id_words_[1].store(words[1], std::memory_order_release);
    program_id_changes_.store(changes + 2, std::memory_order_release);
}

void LibraryState::copy_program_id(char (&out)[kProgramIdWidth + 1]) const {
    std::uint64_t words[2];
    std::uint32_t before;
    std::uint32_t after;
    do {
        before = program_id_changes_.load(std::memory_order_acquire);
        words[0] = program_id_words_[0].load(std::memory_order_acquire);
        words[1] = program_id_words_[1].load(std::memory_order_acquire);
        after = program_id_changes_.load(std::memory_order_relaxed);
    } while ((before & 1u) != 0 || before != after);
    std::memcpy(out, words, sizeof words);
    out[kProgramIdWidth] = '\0';
}

void LibraryState::destroy_writers() {
    delete plain_writer;
    plain_writer = nullptr;
    delete managed_writer;
    managed_writer = nullptr;
}

LibraryState& library() {
    static ProcessLifetime<LibraryState> state;
    return state.get();
}

namespace {
// Made at load, so that the process id text and the lock exist before the first call.
[[maybe_unused]] const LibraryState& g_made_at_load = library();
}  // namespace

void store_program_id(char (&out)[kProgramIdWidth + 1], const char* program_id) {
    plat::fill_field(out, kProgramIdWidth, program_id);
    out[kProgramIdWidth] = '\0';
}

bool config_within(const TraceFileConfig* config, const ConfigLimits& limits) {
    return config != nullptr && config->FileSize >= 4096 &&
           config->FileSize <= limits.max_file_size && config->FileCount >= 1 &&
           config->FileCount <= limits.max_file_count && config->PathPrefix != nullptr &&
           plat::bounded_length(config->PathPrefix, limits.max_prefix + 1) <= limits.max_prefix;
}

}  // namespace ktl
