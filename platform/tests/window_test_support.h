// A hidden window on a thread of its own, and what its procedure saw: shared by the window
// tests of both platforms.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "plat/time.h"
#include "plat/window.h"

namespace plat_test {

constexpr char kClass[] = "PlatTestWindow";

// What the window procedure saw, in order.
struct Seen {
    std::mutex mutex;
    std::vector<std::uint32_t> messages;
    std::vector<std::uintptr_t> wparams;
    void add(std::uint32_t message, std::uintptr_t wparam) {
        std::lock_guard<std::mutex> lock(mutex);
        messages.push_back(message);
        wparams.push_back(wparam);
    }
    std::vector<std::uint32_t> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};
inline Seen* g_seen = nullptr;

inline std::intptr_t procedure(plat::Window* window, std::uint32_t message, std::uintptr_t wparam,
                               std::intptr_t) {
    g_seen->add(message, wparam);
    if (message == plat::kWmClose) {
        window->destroy();
        plat::post_quit_message(7);
    }
    return static_cast<std::intptr_t>(message) + 1;
}

// A clock that runs a hundred times faster than real time.
class FastClock final : public plat::MessageClock {
  public:
    std::uint32_t tick_ms() override { return plat::tick_count_ms() * 100u; }
    std::uint32_t real_wait_ms(std::uint32_t ms) override { return ms / 100 + 1; }
};

// A window on a thread of its own that runs the message loop until the quit message.
class WindowThread {
  public:
    explicit WindowThread(const char* title = nullptr) {
        g_seen = &seen;
        EXPECT_TRUE(plat::register_window_class(kClass, procedure));
        std::atomic<int> created{0};
        thread_ = std::thread([this, title, &created] {
            created = window.create(plat::module_instance(), kClass, title).ok() ? 1 : 2;
            created.notify_all();
            plat::Message message;
            int got;
            while ((got = plat::get_message(&message)) > 0) {
                plat::dispatch_message(message);
            }
            quit_code = got == 0 ? static_cast<int>(message.wparam) : -1;
        });
        created.wait(0);
        EXPECT_EQ(created.load(), 1);
    }
    ~WindowThread() {
        if (window.exists()) {
            window.send(plat::kWmClose, 0, 0);
        }
        thread_.join();
        EXPECT_TRUE(plat::unregister_window_class(kClass));
    }
    // Waits until the procedure has seen `count` messages; fails after two seconds.
    bool wait_for(std::size_t count) {
        for (int i = 0; i < 400; ++i) {
            if (seen.all().size() >= count) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ADD_FAILURE() << "saw " << seen.all().size() << " messages, waited for " << count;
        return false;
    }

    Seen seen;
    plat::Window window;
    int quit_code = -2;

  private:
    std::thread thread_;
};
}  // namespace plat_test
