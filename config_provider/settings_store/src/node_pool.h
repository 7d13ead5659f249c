// The value nodes of one handle, taken from large blocks and reused once released: a read
// makes thousands of them, and they all go together with the handle.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

#include "plat/sync.h"

namespace qac {

struct ValueNode;

class NodePool {
  public:
    NodePool() = default;
    ~NodePool();
    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;

    // A fresh node. Throws std::bad_alloc.
    ValueNode* get();
    void put(ValueNode* node) noexcept;

    // Calls release on every node taken and not put back, in the order they lie in memory,
    // and forgets them: for the handle's end, which releases every value at once without
    // following a single link. A node is taken from when its tag is set until it is put.
    void release_all(void (*release)(ValueNode*) noexcept) noexcept;

    // Held across many gets and puts, it spares each its own locking.
    void lock();
    void unlock();

  private:
    union Slot;

    ValueNode* take();
    void give(ValueNode* node) noexcept;
    bool held_here() const {
        return held_by_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    plat::RecursiveMutex lock_;
    std::atomic<std::thread::id> held_by_{};
    std::size_t depth_ = 0;  // nested holds
    std::vector<Slot*> blocks_;
    std::size_t used_ = 0;  // slots handed out from the last block
    std::size_t block_size_ = 0;
    Slot* free_ = nullptr;
};

}  // namespace qac
