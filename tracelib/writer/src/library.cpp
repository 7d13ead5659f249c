#include "library.h"

#include "plat/text.h"
#include "plat/thread.h"

extern "C" {

KTLORSYM_ThresholdBlock KTLORSYM_Threshold = {"ID_ZUNO", 0, 0, 0, 0};
KTLORSYM_LockValueBlock KTLORSYM_LockValue = {10, -1, 10, -1};
std::int32_t KTLORSYM_iTickType = 0;

}  // extern "C"

namespace ktl {

// Nothing reads it; it marks the binary.
[[maybe_unused]] __attribute__((used)) const char kIdentification[] =
    "@(#)zuno2KTLORLIBt_x64 trace library";

LibraryState::LibraryState() {
    store_program_id(program_id, nullptr);
    plat::format_cut(process_id_text, sizeof process_id_text, "%08X ", plat::current_process_id());
}

// Callers close their writers first; at unload they are only released.
LibraryState::~LibraryState() {
    destroy_writers();
}

void LibraryState::destroy_writers() {
    delete plain_writer;
    plain_writer = nullptr;
    delete managed_writer;
    managed_writer = nullptr;
}

LibraryState& library() {
    static LibraryState state;
    return state;
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
