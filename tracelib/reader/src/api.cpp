// The exported functions: argument checks, the process-wide cause, and no exception across
// the boundary.
#include <new>
#include <string>

#include "ktlorsym_reader.h"
#include "plat/text.h"
#include "reader.h"

using ktlor::reader::Reader;
namespace cause = ktlor::reader;

struct MpttInstance {
    Reader reader;
};

namespace {

int without_instance() {
    cause::set_process_last_error(cause::kArgument);
    return cause::kArgument;
}

}  // namespace

extern "C" {

MpttInstance* KTLORSYM_MpttCreateInstance(const char* tracePath) {
    if (tracePath == nullptr ||
        plat::bounded_length(tracePath, cause::kMaxPath + 1) > cause::kMaxPath) {
        without_instance();
        return nullptr;
    }
    try {
        return new MpttInstance{Reader(tracePath)};
    } catch (...) {
        cause::set_process_last_error(cause::kMemory);
        return nullptr;
    }
}

int KTLORSYM_MpttDeleteInstance(MpttInstance* instance) {
    if (instance == nullptr) {
        return 0;
    }
    const int released = instance->reader.release();
    if (released != cause::kNone) {
        cause::set_process_last_error(released);
        return released;
    }
    delete instance;
    return 0;
}

int KTLORSYM_MpttOpenManagementFile(MpttInstance* instance) {
    return instance == nullptr ? without_instance() : instance->reader.open_management_file();
}

int KTLORSYM_MpttCloseManagementFile(MpttInstance* instance) {
    return instance == nullptr ? without_instance() : instance->reader.close_management_file();
}

int KTLORSYM_MpttOpen(MpttInstance* instance) {
    return instance == nullptr ? without_instance() : instance->reader.open();
}

int KTLORSYM_MpttClose(MpttInstance* instance) {
    return instance == nullptr ? without_instance() : instance->reader.close();
}

int64_t KTLORSYM_MpttGetCurrentOffset(MpttInstance* instance) {
    if (instance == nullptr) {
        without_instance();
        return -1;
    }
    return instance->reader.current_offset();
}

uint32_t KTLORSYM_MpttRead(MpttInstance* instance, void* buffer, uint32_t size) {
    if (instance == nullptr) {
        without_instance();
        return 0;
    }
    return instance->reader.read(buffer, size);
}

int KTLORSYM_MpttGetChar(MpttInstance* instance) {
    if (instance == nullptr) {
        without_instance();
        return -1;
    }
    return instance->reader.get_char();
}

uint32_t KTLORSYM_MpttGetLine(MpttInstance* instance, char* buffer, uint32_t size) {
    if (instance == nullptr) {
        without_instance();
        return 0;
    }
    return instance->reader.get_line(buffer, size);
}

int KTLORSYM_MpttSeek(MpttInstance* instance, int64_t offset, int origin) {
    return instance == nullptr ? without_instance() : instance->reader.seek(offset, origin);
}

int64_t KTLORSYM_MpttTell(MpttInstance* instance) {
    if (instance == nullptr) {
        without_instance();
        return -1;
    }
    return instance->reader.tell();
}

int KTLORSYM_MpttGetLastError(MpttInstance* instance) {
    return instance == nullptr ? cause::process_last_error() : instance->reader.last_error();
}

void KTLORSYM_MpttClearError(MpttInstance* instance) {
    if (instance == nullptr) {
        cause::set_process_last_error(cause::kNone);
    } else {
        instance->reader.clear_error();
    }
}

namespace {

int get_setting(MpttInstance* instance, int Reader::*field) {
    if (instance == nullptr) {
        without_instance();
        return -1;
    }
    return instance->reader.*field;
}

int set_setting(MpttInstance* instance, int Reader::*field, int value, int lowest) {
    if (instance == nullptr) {
        without_instance();
        return -1;
    }
    if (value < lowest) {
        instance->reader.fail(cause::kArgument);
        return -1;
    }
    const int previous = instance->reader.*field;
    instance->reader.*field = value;
    return previous;
}

}  // namespace

int KTLORSYM_MpttGetLockBlockTime(MpttInstance* instance) {
    return get_setting(instance, &Reader::lock_block_time);
}

int KTLORSYM_MpttGetLockSleepTime(MpttInstance* instance) {
    return get_setting(instance, &Reader::lock_sleep_time);
}

int KTLORSYM_MpttGetLockRetryTimes(MpttInstance* instance) {
    return get_setting(instance, &Reader::lock_retry_times);
}

int KTLORSYM_MpttSetLockBlockTime(MpttInstance* instance, int milliseconds) {
    return set_setting(instance, &Reader::lock_block_time, milliseconds, 0);
}

int KTLORSYM_MpttSetLockSleepTime(MpttInstance* instance, int milliseconds) {
    return set_setting(instance, &Reader::lock_sleep_time, milliseconds, 0);
}

int KTLORSYM_MpttSetLockRetryTimes(MpttInstance* instance, int times) {
    return set_setting(instance, &Reader::lock_retry_times, times, 1);
}

}  // extern "C"
