#include "thread_record.h"

#include <cstdlib>
#include <mutex>

#include "library.h"
#include "plat/sync.h"
#include "plat/text.h"
#include "plat/thread.h"

namespace ktl {

namespace {

void release_record(void* value);

// Every record is linked into one list so that none is lost unseen. The registry lives as
// long as the process: records of threads still running at exit stay usable.
class RecordRegistry {
  public:
    RecordRegistry() : slot_(release_record) {}

    ThreadRecord* current() const { return static_cast<ThreadRecord*>(slot_.get()); }

    ThreadRecord* create() {
        auto* record = static_cast<ThreadRecord*>(std::calloc(1, sizeof(ThreadRecord)));
        if (record == nullptr) {
            return nullptr;
        }
        make_thread_id_text(record);
        if (!slot_.set(record)) {
            std::free(record);
            return nullptr;
        }
        std::lock_guard guard(lock_);
        record->next = head_;
        if (head_ != nullptr) {
            head_->previous = record;
        }
        head_ = record;
        ++count_;
        return record;
    }

    void release(ThreadRecord* record) {
        {
            std::lock_guard guard(lock_);
            if (record->previous != nullptr) {
                record->previous->next = record->next;
            } else {
                head_ = record->next;
            }
            if (record->next != nullptr) {
                record->next->previous = record->previous;
            }
            --count_;
        }
        std::free(record);
    }

    static void make_thread_id_text(ThreadRecord* record) {
        plat::format_cut(record->thread_id_text, sizeof record->thread_id_text, "%08X ",
                         plat::current_thread_id());
    }

    std::size_t count() {
        std::lock_guard guard(lock_);
        return count_;
    }

  private:
    plat::ThreadSlot slot_;
    plat::RecursiveMutex lock_;
    ThreadRecord* head_ = nullptr;
    std::size_t count_ = 0;
};

RecordRegistry& registry() {
    static ProcessLifetime<RecordRegistry> instance;
    return instance.get();
}

void release_record(void* value) {
    registry().release(static_cast<ThreadRecord*>(value));
}

}  // namespace

ThreadRecord* current_thread_record() {
    RecordRegistry& records = registry();
    ThreadRecord* record = records.current();
    return record != nullptr ? record : records.create();
}

ThreadRecord* cleared_thread_record() {
    ThreadRecord* record = current_thread_record();
    if (record != nullptr) {
        record->clear();
    }
    return record;
}

void renew_thread_id_text() {
    if (ThreadRecord* record = registry().current()) {
        RecordRegistry::make_thread_id_text(record);
    }
}

std::size_t live_thread_record_count() {
    return registry().count();
}

}  // namespace ktl
