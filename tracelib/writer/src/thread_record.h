// The per-thread error record and line buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codes.h"
#include "trace_line.h"

namespace ktl {

constexpr std::size_t kLineBufferSize = 4188;

struct ThreadRecord {
    ThreadRecord* next;
    ThreadRecord* previous;
    std::uint32_t os_error;
    std::uint32_t code_word;
    char thread_id_text[10];  // "%08X " and a NUL
    StampCache stamps;
    char line[kLineBufferSize];

    void clear() {
        os_error = 0;
        code_word = 0;
    }
    // A failure as a whole: code word (function, cause), its OS error.
    void fail(Function function, Failure failure) {
        os_error = failure.os_error;
        code_word = ktl::code_word(function, failure.cause);
    }
    void fail(Function function, std::uint32_t cause) { fail(function, Failure{cause, 0}); }
    // A lower layer's cause gets the function code of the API call that reports it.
    void add_function(Function function) { code_word = ktl::code_word(function, code_word); }
};

// The calling thread's record, made on first use; null when it cannot be allocated.
ThreadRecord* current_thread_record();

// The calling thread's record, cleared as most calls begin; null when it has none.
ThreadRecord* cleared_thread_record();

// Makes the calling thread's id text again, for the child of a fork.
void renew_thread_id_text();

// Records currently allocated, for tests of thread clean-up.
std::size_t live_thread_record_count();

}  // namespace ktl
