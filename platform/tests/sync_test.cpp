// Events, named mutexes and threads as the service's log and watchdog rely on them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "plat/sync.h"
#include "plat/thread.h"

namespace {

using namespace std::chrono_literals;

std::string unique_name(const char* base) {
    return std::string(base) + "." + std::to_string(plat::current_process_id());
}

TEST(Event, AutoResetReleasesOneWaitAndTimesOut) {
    plat::Event event;
    ASSERT_TRUE(event.valid());
    EXPECT_EQ(event.wait(10), plat::WaitResult::timed_out);
    event.set();
    event.set();  // setting twice still releases a single wait
    EXPECT_EQ(event.wait(0), plat::WaitResult::signalled);
    EXPECT_EQ(event.wait(20), plat::WaitResult::timed_out);
}

TEST(Event, WakesAWaiterInAnotherThread) {
    plat::Event event;
    plat::Thread waiter;
    std::atomic<bool> woke{false};
    ASSERT_TRUE(waiter.start(
        [&] { woke = event.wait(plat::kWaitForever) == plat::WaitResult::signalled; }));
    EXPECT_NE(waiter.id(), 0u);
    EXPECT_EQ(waiter.join(30), plat::WaitResult::timed_out);
    event.set();
    EXPECT_EQ(waiter.join(5000), plat::WaitResult::signalled);
    EXPECT_TRUE(woke);
}

TEST(NamedMutex, TwoHandlesOfOneNameExcludeEachOther) {
    const std::string name = unique_name("plat-test-exclusion");
    plat::NamedMutex first;
    plat::NamedMutex second;
    ASSERT_TRUE(first.open(name.c_str()));
    ASSERT_TRUE(second.open(name.c_str()));
    ASSERT_EQ(first.lock(), plat::WaitResult::signalled);
    EXPECT_EQ(first.lock(0), plat::WaitResult::signalled) << "recursive for its owner";
    plat::Thread other;
    std::atomic<int> result{-1};
    ASSERT_TRUE(other.start([&] { result = static_cast<int>(second.lock(50)); }));
    ASSERT_EQ(other.join(5000), plat::WaitResult::signalled);
    EXPECT_EQ(result, static_cast<int>(plat::WaitResult::timed_out));
    first.unlock();
    first.unlock();
    EXPECT_EQ(second.lock(1000), plat::WaitResult::signalled);
    second.unlock();
}

TEST(NamedMutex, OwnerThatEndsWhileHoldingItAbandonsIt) {
    const std::string name = unique_name("plat-test-abandoned");
    plat::NamedMutex mutex;
    ASSERT_TRUE(mutex.open(name.c_str()));
    plat::Thread owner;
    ASSERT_TRUE(owner.start([&] {
        plat::NamedMutex own;
        ASSERT_TRUE(own.open(name.c_str()));
        ASSERT_EQ(own.lock(), plat::WaitResult::signalled);
    }));
    ASSERT_EQ(owner.join(5000), plat::WaitResult::signalled);
    // An untimed wait, as the service's log uses: the owner is gone, so it returns at once.
    EXPECT_EQ(mutex.lock(), plat::WaitResult::abandoned);
    mutex.unlock();
    EXPECT_EQ(mutex.lock(1000), plat::WaitResult::signalled) << "usable again afterwards";
    mutex.unlock();
}

TEST(Thread, ObjectMayGoWhileTheThreadRunsOn) {
    std::atomic<bool> finished{false};
    plat::Event release;
    {
        plat::Thread worker;
        ASSERT_TRUE(worker.start([&] {
            release.wait(plat::kWaitForever);
            finished = true;
        }));
    }
    release.set();
    for (int i = 0; i < 500 && !finished; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(finished);
}

}  // namespace
