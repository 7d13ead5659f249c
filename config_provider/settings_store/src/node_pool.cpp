#include "node_pool.h"

#include <mutex>
#include <new>

#include "value_node.h"

#if defined(__SANITIZE_ADDRESS__)
#define QAC_POOL_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QAC_POOL_POISON 1
#endif
#endif
#if defined(QAC_POOL_POISON)
#include <sanitizer/asan_interface.h>
#define QAC_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define QAC_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define QAC_POISON(p, n) ((void)(p), (void)(n))
#define QAC_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace qac {

union NodePool::Slot {
    Slot() {}
    ~Slot() {}
    Slot* next_free;
    alignas(ValueNode) unsigned char bytes[sizeof(ValueNode)];
};

namespace {

// Blocks grow from 32 slots to 4096 and stay there.
std::size_t block_size(std::size_t index) {
    return index < 7 ? std::size_t{32} << index : std::size_t{4096};
}

}  // namespace

NodePool::~NodePool() {
    release_all([](ValueNode*) noexcept {});
}

void NodePool::lock() {
    lock_.lock();
    if (depth_++ == 0) {
        held_by_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
}

void NodePool::unlock() {
    if (--depth_ == 0) {
        held_by_.store(std::thread::id(), std::memory_order_relaxed);
    }
    lock_.unlock();
}

ValueNode* NodePool::get() {
    if (held_here()) {
        return take();
    }
    std::lock_guard<NodePool> hold(*this);
    return take();
}

void NodePool::put(ValueNode* node) noexcept {
    if (held_here()) {
        give(node);
        return;
    }
    std::lock_guard<NodePool> hold(*this);
    give(node);
}

ValueNode* NodePool::take() {
    Slot* slot;
    if (free_ != nullptr) {
        slot = free_;
        QAC_UNPOISON(slot, sizeof(Slot));
        free_ = slot->next_free;
    } else {
        if (blocks_.empty() || used_ == block_size_) {
            const std::size_t size = block_size(blocks_.size());
            blocks_.reserve(blocks_.size() + 1);
            blocks_.push_back(new Slot[size]);
            block_size_ = size;
            used_ = 0;
        }
        slot = &blocks_.back()[used_++];
    }
    return new (slot->bytes) ValueNode();
}

void NodePool::release_all(void (*release)(ValueNode*) noexcept) noexcept {
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        const std::size_t used = i + 1 == blocks_.size() ? used_ : block_size(i);
        QAC_UNPOISON(blocks_[i], sizeof(Slot) * used);
        for (std::size_t n = 0; n < used; ++n) {
            auto* node = reinterpret_cast<ValueNode*>(blocks_[i][n].bytes);
            if (node->tag == kNodeTag) {
                release(node);
                node->tag = 0;
            }
        }
    }
    free_ = nullptr;
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        QAC_UNPOISON(blocks_[i], sizeof(Slot) * block_size(i));
        delete[] blocks_[i];
    }
    blocks_.clear();
    used_ = block_size_ = 0;
}

void NodePool::give(ValueNode* node) noexcept {
    node->tag = 0;  // not taken: release_all passes it by
    node->~ValueNode();
    auto* slot = reinterpret_cast<Slot*>(node);
    slot->next_free = free_;
    free_ = slot;
    QAC_POISON(reinterpret_cast<unsigned char*>(slot) + sizeof(Slot*),
               sizeof(Slot) - sizeof(Slot*));
}

}  // namespace qac
