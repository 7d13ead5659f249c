// Message windows: a window belongs to the thread that created it, which runs its message
// loop. Messages are posted (queued) or sent (the sender blocks until the window's thread has
// handled them); timers post a timer message on their window's thread. Registered message
// names give the same number throughout the process. Other processes find a window by its
// class (and title) and post registered messages to it by name.
#pragma once

#include <cstdint>

#include "plat/error.h"

namespace plat {

constexpr std::uint32_t kWmClose = 0x0010;
constexpr std::uint32_t kWmQuit = 0x0012;
constexpr std::uint32_t kWmTimer = 0x0113;
constexpr std::uint32_t kWmUser = 0x0400;

class Window;

// The window procedure: the window, the message and its two parameters.
using WindowProcedure = std::intptr_t (*)(Window* window, std::uint32_t message,
                                          std::uintptr_t wparam, std::intptr_t lparam);

// Identifies the program to the window functions; never null for a running program.
using ModuleInstance = const void*;
ModuleInstance module_instance();

// A process-wide number for the name (the same name, in any case, gives the same number),
// or 0 when the name is empty, longer than 255 characters or the table is full.
std::uint32_t register_window_message(const char* name);

// Window classes: a window is created from a registered class, which names its procedure.
// A class cannot be unregistered while windows of it exist.
Status register_window_class(const char* class_name, WindowProcedure procedure);
Status unregister_window_class(const char* class_name);

// Where window timers take their time from. Timers are due on this clock; the message loop
// waits real time for them, as real_wait_ms converts. Set it before any window exists.
class MessageClock {
  public:
    virtual ~MessageClock() = default;
    virtual std::uint32_t tick_ms() = 0;
    // Real milliseconds to wait for ms of this clock to pass.
    virtual std::uint32_t real_wait_ms(std::uint32_t ms) = 0;
};
void set_message_clock(MessageClock* clock);  // nullptr: the system's tick

struct Message {
    Window* window = nullptr;  // null for thread messages (quit)
    std::uint32_t message = 0;
    std::uintptr_t wparam = 0;
    std::intptr_t lparam = 0;
};

class Window {
  public:
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    // Creates the window on the calling thread. Other processes can post to it once this
    // returns. Fails when the class is not registered or another live window of the same
    // class and title exists.
    Status create(ModuleInstance instance, const char* class_name, const char* title);
    bool exists() const;
    // Only by the owning thread. Pending senders return 0; later posts and sends fail.
    Status destroy();

    Status post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
    // Returns the procedure's result once the owning thread has handled the message (at once
    // when called on that thread); 0 when the window does not exist or is destroyed first.
    std::intptr_t send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);

    // Posts kWmTimer with wparam id every interval_ms of the message clock until killed;
    // setting an id again restarts it.
    Status set_timer(std::uintptr_t id, std::uint32_t interval_ms);
    Status kill_timer(std::uintptr_t id);

    struct Impl;
    Impl* impl_ptr() const;

  private:
    Impl* impl_;
};

// The calling thread's message loop. get_message: 1 a message was taken, 0 the quit message
// was taken (message->wparam holds its exit code), -1 failure. Sent messages are handled
// inside it.
int get_message(Message* message);
std::intptr_t dispatch_message(const Message& message);
void post_quit_message(int exit_code);

// A live window of this process with that class (case-insensitive) and, unless title is
// null, that title; null when there is none.
Window* find_window(const char* class_name, const char* title);

// Posts the registered message of that name to the window of that class and title (null:
// no title), in this or another process. Not found: the error classifies as not_found.
Status post_message_to_window(const char* class_name, const char* title, const char* message_name);

// Windows: the calling process on the interactive window station "WinSta0" and the calling
// thread on its desktop "Default", for as long as the object lives, so that a service finds
// the windows of the logged-on user there. switch_to() answers whether it is switched
// (already switched counts); switch_back() (and the destructor) puts back the station and the
// desktop it saved. POSIX has no window stations: never switched.
class InteractiveDesktop {
  public:
    InteractiveDesktop() = default;
    ~InteractiveDesktop() { switch_back(); }
    InteractiveDesktop(const InteractiveDesktop&) = delete;
    InteractiveDesktop& operator=(const InteractiveDesktop&) = delete;

    bool switch_to();
    void switch_back();

  private:
    bool switched_ = false;
    void* saved_station_ = nullptr;
    void* saved_desktop_ = nullptr;
    void* station_ = nullptr;
    void* desktop_ = nullptr;
};

// POSIX: the directory that holds the windows' sockets, $VARMOTH_RUNTIME_DIR or else
// /run/varmoth; windows accept messages only from root and their own user.
const char* window_runtime_directory();

}  // namespace plat
