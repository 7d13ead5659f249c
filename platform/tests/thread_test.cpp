// Per-thread slots and the recursive lock, across real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "plat/sync.h"
#include "plat/thread.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

struct Released {
    std::atomic<int> calls{0};
    std::atomic<int> wrong_thread{0};
};
Released g_released;

// Each value knows the thread that stored it, so a release on another thread shows.
struct Value {
    std::uint32_t owner;
};

void release_value(void* value) {
    auto* v = static_cast<Value*>(value);
    if (v->owner != plat::current_thread_id()) {
        ++g_released.wrong_thread;
    }
    ++g_released.calls;
    delete v;
}

TEST(ThreadSlot, EachThreadSeesItsOwnValueReleasedOnItsOwnEnd) {
    g_released.calls = 0;
    g_released.wrong_thread = 0;
    plat::ThreadSlot slot(release_value);
    ASSERT_TRUE(slot.valid());
    Value mine{plat::current_thread_id()};
    ASSERT_TRUE(slot.set(&mine));

    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    std::atomic<int> saw_empty{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            if (slot.get() == nullptr) {
                ++saw_empty;
            }
            auto* value = new Value{plat::current_thread_id()};
            ASSERT_TRUE(slot.set(value));
            EXPECT_EQ(slot.get(), value);
        });
    }
    // A thread that stores nothing, or clears its value, is not released.
    threads.emplace_back([&] {
        Value unused{0};
        slot.set(&unused);
        slot.set(nullptr);
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(saw_empty, kThreads);
    EXPECT_EQ(g_released.calls, kThreads);
    EXPECT_EQ(g_released.wrong_thread, 0);
    EXPECT_EQ(slot.get(), &mine) << "other threads' values never replace this thread's";
    slot.set(nullptr);
}

TEST(ThreadSlot, DestroyingTheSlotReleasesNothingAndLaterThreadsStillWork) {
    g_released.calls = 0;
    {
        plat::ThreadSlot dropped(release_value);
        std::thread([&] { dropped.set(new Value{plat::current_thread_id()}); }).join();
        EXPECT_EQ(g_released.calls, 1);
        auto* kept = new Value{plat::current_thread_id()};
        dropped.set(kept);
        delete kept;  // the slot is destroyed with a value in it, which stays the caller's
    }
    EXPECT_EQ(g_released.calls, 1);

    // Slots come and go many times over a process's life.
    for (int i = 0; i < 200; ++i) {
        plat::ThreadSlot slot(release_value);
        ASSERT_TRUE(slot.valid()) << "round " << i;
        std::thread([&] { slot.set(new Value{plat::current_thread_id()}); }).join();
    }
    EXPECT_EQ(g_released.calls, 201);
}

TEST(ThreadSlot, ThreadIdsDifferBetweenLiveThreads) {
    const std::uint32_t mine = plat::current_thread_id();
    std::uint32_t other = mine;
    std::thread([&] { other = plat::current_thread_id(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(plat::current_process_id(), 0u);
}

#if defined(_WIN32)
TEST(ThreadSlot, ReadingASlotKeepsTheLastError) {
    plat::ThreadSlot slot(nullptr);
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(slot.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}
#endif

TEST(RecursiveMutex, OwnerMayRelockOthersWaitUntilTheLastUnlock) {
    plat::RecursiveMutex mutex;
    mutex.lock();
    ASSERT_TRUE(mutex.try_lock());
    bool other_got_it = true;
    std::thread([&] { other_got_it = mutex.try_lock(); }).join();
    EXPECT_FALSE(other_got_it);
    mutex.unlock();
    std::thread([&] { other_got_it = mutex.try_lock(); }).join();
    EXPECT_FALSE(other_got_it) << "one unlock of two leaves it held";
    mutex.unlock();

    // Many threads through one lock: the guarded counter loses nothing.
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                std::lock_guard outer(mutex);
                std::lock_guard inner(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, 40000);
}

}  // namespace
