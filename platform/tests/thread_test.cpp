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
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "scoped_env.h"
#else
#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "child_process.h"
#include "scoped_env.h"
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
    plat::NamedMutex::remove(name.c_str());
}

TEST(NamedMutex, NamesMadeFromLongPathsWithSlashesStayApart) {
    const std::string stem = "Global\\plat-test/" + std::to_string(plat::current_process_id());
    const std::string names[] = {stem + "/a/b", stem + "%2Fa/b", stem + "/" + std::string(400, 'x'),
                                 stem + "/" + std::string(400, 'x') + "y"};
    plat::NamedMutex mutexes[4];
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mutexes[i].open(names[i].c_str())) << names[i];
    }
    // Hold the first of each pair: the second must stay free.
    ASSERT_EQ(mutexes[0].lock(0), WaitResult::signalled);
    ASSERT_EQ(mutexes[2].lock(0), WaitResult::signalled);
    plat::Thread other;
    std::atomic<int> free_mask{0};
    ASSERT_TRUE(other.start([&] {
        for (int i = 0; i < 4; ++i) {
            plat::NamedMutex m;
            if (m.open(names[i].c_str()) && m.lock(0) == WaitResult::signalled) {
                free_mask |= 1 << i;
                m.unlock();
            }
        }
    }));
    ASSERT_EQ(other.join(5000), WaitResult::signalled);
    EXPECT_EQ(free_mask, 0b1010) << "each name reaches its own mutex";
    mutexes[0].unlock();
    mutexes[2].unlock();
    for (const auto& name : names) {
        plat::NamedMutex::remove(name.c_str());
    }
}

#if !defined(_WIN32)
// Mode and owner of the shared-memory object behind a named mutex.
struct stat object_status(const std::string& object) {
    struct stat st {};
    const int fd = shm_open(object.c_str(), O_RDONLY | O_CLOEXEC, 0);
    EXPECT_GE(fd, 0) << object;
    if (fd >= 0) {
        fstat(fd, &st);
        close(fd);
    }
    return st;
}

// Whoever can open a named mutex can hold it and stall its users: the object is its owner's
// alone whatever the umask, one found with access for others or of another account is
// replaced (root may remove another's), and another account cannot open it at all.
TEST(NamedMutex, OnlyItsOwnerMayOpenIt) {
    const std::string space = "plat-owner" + std::to_string(plat::current_process_id());
    const plat_test::ScopedEnv names("VM_IPC_NAMESPACE", space);
    const auto object = [&](const std::string& name) { return "/" + space + "." + name; };
    // A name is mapped once per process, so each case has its own.
    const struct {
        const char* name;
        mode_t umask;
        mode_t planted;  // mode of an object made beforehand, 0 for none
        bool other_owner;
    } cases[] = {
        {"open", 0000, 0, false},       {"masked", 0277, 0, false},
        {"planted", 0022, 0666, false}, {"own", 0022, 0600, false},
        {"foreign", 0022, 0666, true},  {"foreign-private", 0022, 0600, true},
    };
    const passwd* nobody = getpwnam("nobody");
    const uid_t other_uid = nobody != nullptr ? nobody->pw_uid : 65534;
    const gid_t other_gid = nobody != nullptr ? nobody->pw_gid : 65534;
    const bool root = geteuid() == 0;
    for (const auto& c : cases) {
        if (c.other_owner && !root) {
            continue;
        }
        SCOPED_TRACE(c.name);
        ino_t planted_inode = 0;
        if (c.planted != 0) {
            const int fd =
                shm_open(object(c.name).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, c.planted);
            ASSERT_GE(fd, 0);
            EXPECT_EQ(fchmod(fd, c.planted), 0);
            EXPECT_EQ(fchown(fd, c.other_owner ? other_uid : geteuid(), -1), 0);
            close(fd);
            planted_inode = object_status(object(c.name)).st_ino;
        }
        const mode_t old_mask = umask(c.umask);
        plat::NamedMutex mutex;
        const bool opened = mutex.open(c.name).ok();
        umask(old_mask);
        EXPECT_TRUE(opened);
        const struct stat st = object_status(object(c.name));
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(st.st_uid, geteuid());
        // Only an object of ours that nobody else could open is taken up as it is.
        const bool kept = c.planted == 0600 && !c.other_owner;
        EXPECT_EQ(st.st_ino == planted_inode, kept);
        plat::NamedMutex::remove(c.name);
    }
    if (!root) {
        GTEST_SKIP() << "another account's objects and access need root (to switch accounts)";
    }

    // Another account gets an error, rather than a mutex to hold or to wait for. Both sides
    // are fresh processes: a name this process has mapped would be found in its own table.
    const auto in_child = [](auto body) {
        plat_test::ChildProcess child(fork());
        if (child.pid() == 0) {
            _exit(body());
        }
        return child.wait_exit(std::chrono::seconds(10));
    };
    EXPECT_EQ(in_child([] { return plat::NamedMutex().open("shared").ok() ? 0 : 1; }), 0);
    EXPECT_EQ(in_child([&] {
                  if (setgid(other_gid) != 0 || setuid(other_uid) != 0) {
                      return 2;
                  }
                  return plat::NamedMutex().open("shared").ok() ? 1 : 0;
              }),
              0)
        << "1: the other account opened it, 2: no account switch";
    plat::NamedMutex::remove("shared");
}
#else
// Whoever can open a named mutex can hold it and stall its users: its access list names
// the account that made it, SYSTEM and the administrators, and nobody else.
TEST(NamedMutex, OnlyItsOwnerMayOpenIt) {
    const std::string space = "plat-owner" + std::to_string(plat::current_process_id());
    const plat_test::ScopedEnv names("VM_IPC_NAMESPACE", space);
    plat::NamedMutex mutex;
    ASSERT_TRUE(mutex.open("m"));
    HANDLE handle = OpenMutexA(READ_CONTROL, FALSE, (space + ".m").c_str());
    ASSERT_NE(handle, nullptr);
    PSID owner = nullptr;
    ACL* dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(handle, SE_KERNEL_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(handle);
    ASSERT_NE(dacl, nullptr) << "no access list grants everyone everything";
    const auto text = [](PSID sid) {
        char* string = nullptr;
        std::string result = ConvertSidToStringSidA(sid, &string) ? string : "?";
        LocalFree(string);
        return result;
    };
    std::vector<std::string> granted;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, index, &ace));
        ASSERT_EQ(static_cast<ACE_HEADER*>(ace)->AceType, ACCESS_ALLOWED_ACE_TYPE);
        granted.push_back(text(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart));
    }
    const std::string account = text(owner);
    LocalFree(descriptor);
    EXPECT_EQ(granted, (std::vector<std::string>{account, "S-1-5-18", "S-1-5-32-544"}));
}
#endif

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
