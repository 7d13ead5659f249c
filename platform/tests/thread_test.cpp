// Threads, events, named mutexes, per-thread slots and the recursive lock, as the service's
// log and watchdog rely on them, across real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/sync.h"
#include "plat/thread.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using plat::WaitResult;

TEST(Event, AutoResetReleasesOneWaitAndWakesAnotherThread) {
    plat::Event event;
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(event.wait(10), WaitResult::timed_out);
    event.set();
    event.set();  // setting twice still releases a single wait
    EXPECT_EQ(event.wait(0), WaitResult::signalled);
    EXPECT_EQ(event.wait(20), WaitResult::timed_out);

    plat::Thread waiter;
    std::atomic<bool> woke{false};
    ASSERT_TRUE(
        waiter.start([&] { woke = event.wait(plat::kWaitForever) == WaitResult::signalled; }));
    EXPECT_EQ(waiter.join(30), WaitResult::timed_out);
    event.set();
    EXPECT_EQ(waiter.join(5000), WaitResult::signalled);
    EXPECT_TRUE(woke);
    // The object may go while its thread runs on.
    plat::Event finished;
    {
        plat::Thread worker;
        ASSERT_TRUE(worker.start([&] {
            event.wait(plat::kWaitForever);
            finished.set();
        }));
    }
    event.set();
    EXPECT_EQ(finished.wait(5000), WaitResult::signalled);
}

TEST(Event, WaitOnSeveralTakesTheFirstSetOneOnlyAndWakesOnAnyFromAnotherThread) {
    plat::Event a, b, c;
    plat::Event* const events[] = {&a, &b, &c};
    EXPECT_EQ(plat::wait_any(events, 3, 10).result, WaitResult::timed_out);
    c.set();
    b.set();
    plat::WaitAnyResult woke = plat::wait_any(events, 3, 0);
    EXPECT_EQ(woke.result, WaitResult::signalled);
    EXPECT_EQ(woke.index, 1u);
    EXPECT_EQ(c.wait(0), WaitResult::signalled) << "the others stay set";
    EXPECT_EQ(plat::wait_any(events, 0, 0).result, WaitResult::failed);

    // Many rounds: a set between the check and the sleep must never be missed.
    for (int round = 0; round < 200; ++round) {
        plat::Thread setter;
        ASSERT_TRUE(setter.start([&, round] { events[round % 3]->set(); }));
        woke = plat::wait_any(events, 3, 5000);
        ASSERT_EQ(woke.result, WaitResult::signalled) << round;
        EXPECT_EQ(woke.index, static_cast<std::size_t>(round % 3));
        EXPECT_EQ(setter.join(5000), WaitResult::signalled);
    }
    // A plain wait on one of them competes fairly: each set is taken once.
    plat::Thread single;
    std::atomic<bool> single_woke{false};
    ASSERT_TRUE(single.start([&] { single_woke = a.wait(5000) == WaitResult::signalled; }));
    a.set();
    EXPECT_EQ(single.join(5000), WaitResult::signalled);
    EXPECT_TRUE(single_woke);
    EXPECT_EQ(plat::wait_any(events, 3, 0).result, WaitResult::timed_out);
}

TEST(NamedMutex, HandlesOfOneNameExcludeEachOtherAndADeadOwnerAbandonsIt) {
    const std::string name = "plat-test-mutex." + std::to_string(plat::current_process_id());
    plat::NamedMutex first;
    plat::NamedMutex second;
    ASSERT_TRUE(first.open(name.c_str()));
    ASSERT_TRUE(second.open(name.c_str()));
    ASSERT_EQ(first.lock(), WaitResult::signalled);
    EXPECT_EQ(first.lock(0), WaitResult::signalled) << "recursive for its owner";
    plat::Thread other;
    std::atomic<WaitResult> result{WaitResult::signalled};
    ASSERT_TRUE(other.start([&] { result = second.lock(50); }));
    ASSERT_EQ(other.join(5000), WaitResult::signalled);
    EXPECT_EQ(result, WaitResult::timed_out);
    first.unlock();
    first.unlock();
    EXPECT_EQ(second.lock(1000), WaitResult::signalled);
    second.unlock();

    plat::Thread owner;
    ASSERT_TRUE(owner.start([&] {
        plat::NamedMutex own;
        ASSERT_TRUE(own.open(name.c_str()));
        ASSERT_EQ(own.lock(), WaitResult::signalled);
    }));
    ASSERT_EQ(owner.join(5000), WaitResult::signalled);
    // An untimed wait, as the service's log uses: the owner is gone, so it returns at once.
    EXPECT_EQ(first.lock(), WaitResult::abandoned);
    first.unlock();
    EXPECT_EQ(first.lock(1000), WaitResult::signalled) << "usable again afterwards";
    first.unlock();
}

// Each value holds the id of the thread that stored it, so a release on another thread shows.
std::atomic<int> g_released{0};
std::atomic<int> g_released_elsewhere{0};

void release_value(void* value) {
    auto* owner = static_cast<std::uint32_t*>(value);
    g_released_elsewhere += *owner != plat::current_thread_id() ? 1 : 0;
    ++g_released;
    delete owner;
}

std::uint32_t* own_value() {
    return new std::uint32_t(plat::current_thread_id());
}

TEST(ThreadSlot, EachThreadHasItsOwnValueReleasedOnItsOwnEndOnly) {
    plat::ThreadSlot slot(release_value);
    ASSERT_TRUE(slot.valid());
    std::uint32_t mine = plat::current_thread_id();
    ASSERT_TRUE(slot.set(&mine));
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            EXPECT_EQ(slot.get(), nullptr);
            std::uint32_t* value = own_value();
            EXPECT_NE(*value, mine) << "thread ids differ between live threads";
            ASSERT_TRUE(slot.set(value));
            EXPECT_EQ(slot.get(), value);
        });
    }
    // A thread that stores nothing, or clears its value, is not released.
    threads.emplace_back([&] {
        std::uint32_t unused = 0;
        slot.set(&unused);
        slot.set(nullptr);
    });
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(g_released, kThreads);
    EXPECT_EQ(slot.get(), &mine) << "other threads' values never replace this thread's";
    slot.set(nullptr);
#if defined(_WIN32)
    SetLastError(ERROR_SHARING_VIOLATION);
    EXPECT_EQ(slot.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "reading keeps it";
#endif
    // Destroying a slot releases nothing: a value still in it stays the caller's.
    {
        plat::ThreadSlot dropped(release_value);
        std::thread([&] { dropped.set(own_value()); }).join();
        std::uint32_t kept = plat::current_thread_id();
        dropped.set(&kept);
    }
    EXPECT_EQ(g_released, kThreads + 1);
    // Slots come and go many times over a process's life.
    for (int i = 0; i < 200; ++i) {
        plat::ThreadSlot another(release_value);
        ASSERT_TRUE(another.valid()) << "round " << i;
        std::thread([&] { another.set(own_value()); }).join();
    }
    EXPECT_EQ(g_released, kThreads + 201);
    EXPECT_EQ(g_released_elsewhere, 0);
}

TEST(RecursiveMutex, OwnerMayRelockOthersWaitUntilTheLastUnlock) {
    plat::RecursiveMutex mutex;
    mutex.lock();
    ASSERT_TRUE(mutex.try_lock());
    for (const int held : {2, 1}) {
        bool other_got_it = true;
        std::thread([&] { other_got_it = mutex.try_lock(); }).join();
        EXPECT_FALSE(other_got_it) << "held " << held << " times";
        mutex.unlock();
    }
    // Many threads through one lock: the guarded counter loses nothing.
    long counter = 0;
    const auto count = [&] {
        for (int i = 0; i < 10000; ++i) {
            std::lock_guard outer(mutex);
            std::lock_guard inner(mutex);
            ++counter;
        }
    };
    std::thread first(count), second(count), third(count);
    count();
    for (std::thread* t : {&first, &second, &third}) {
        t->join();
    }
    EXPECT_EQ(counter, 40000);
}

}  // namespace
