// Message windows over one lock for the whole process: a queue per thread woken through an
// eventfd, timers kept by the queue and due on the message clock, and a Unix datagram socket
// per window through which other processes post registered messages by name.
#include "plat/window.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/time.h"

namespace plat {

namespace {

constexpr std::uint32_t kFirstRegisteredMessage = 0xC000;
constexpr std::uint32_t kLastRegisteredMessage = 0xFFFF;
constexpr std::size_t kMaxNameLength = 255;
constexpr std::uint32_t kMinimumTimerMs = 10;
constexpr int kDatagramsPerRound = 64;
constexpr char kDefaultRuntimeDirectory[] = "/run/varmoth";

struct Queue;

// A message sent from another thread, waiting for the window's thread.
struct SentMessage {
    Message message;
    bool done = false;
    std::intptr_t result = 0;
};

struct Timer {
    Window::Impl* window;
    std::uintptr_t id;
    std::uint32_t interval_ms;
    std::uint32_t due;
};

struct Queue {
    std::thread::id owner;
    int wake_fd = -1;
    std::deque<Message> posted;
    std::deque<SentMessage*> sent;
    std::vector<Timer> timers;
    std::vector<Window::Impl*> windows;
    bool quit = false;
    int quit_code = 0;

    ~Queue() {
        if (wake_fd >= 0) {
            ::close(wake_fd);
        }
    }
    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(wake_fd, &one, sizeof one);
    }
};

bool same_name(const std::string& a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.c_str(), b, a.size()) == 0;
}

class SystemMessageClock final : public MessageClock {
  public:
    std::uint32_t tick_ms() override { return tick_count_ms(); }
    std::uint32_t real_wait_ms(std::uint32_t ms) override { return ms; }
};

// Everything below is guarded by one lock: windows see a handful of messages a minute.
struct State {
    std::mutex mutex;
    std::condition_variable sent_done;
    std::vector<std::string> messages;  // registered names, by number - first number
    struct Class {
        std::string name;
        WindowProcedure procedure;
    };
    std::vector<Class> classes;
    std::vector<Window::Impl*> windows;  // live windows, oldest first
    MessageClock* clock = nullptr;
};

State& state() {
    // Never destroyed: windows of other threads may outlive main's statics.
    static State* const s = new State;
    return *s;
}

MessageClock& clock_locked() {
    static SystemMessageClock system;
    return state().clock != nullptr ? *state().clock : system;
}

thread_local std::shared_ptr<Queue> t_queue;

Queue* this_thread_queue() {
    if (!t_queue) {
        auto queue = std::make_shared<Queue>();
        queue->owner = std::this_thread::get_id();
        queue->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (queue->wake_fd < 0) {
            return nullptr;
        }
        t_queue = std::move(queue);
    }
    return t_queue.get();
}

std::uint32_t lookup_message_locked(const char* name) {
    const auto& names = state().messages;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (same_name(names[i], name)) {
            return kFirstRegisteredMessage + static_cast<std::uint32_t>(i);
        }
    }
    return 0;
}

// Class and title make the socket's name; anything but a few safe characters is escaped.
std::string socket_name(const char* class_name, const char* title) {
    std::string name;
    const auto append = [&name](const char* text) {
        for (const char* c = text; *c != '\0'; ++c) {
            const auto u = static_cast<unsigned char>(*c);
            if (std::isalnum(u) || u == '.' || u == '_' || u == '-') {
                name += static_cast<char>(std::tolower(u));
            } else {
                static constexpr char kHex[] = "0123456789ABCDEF";
                name += '%';
                name += kHex[u >> 4];
                name += kHex[u & 15];
            }
        }
    };
    append(class_name);
    if (title != nullptr && *title != '\0') {
        name += '#';
        append(title);
    }
    return name;
}

bool make_address(const char* class_name, const char* title, sockaddr_un* address,
                  std::string* path) {
    *path = std::string(window_runtime_directory()) + "/" + socket_name(class_name, title);
    *address = {};
    address->sun_family = AF_UNIX;
    if (path->size() >= sizeof address->sun_path) {
        return false;
    }
    std::memcpy(address->sun_path, path->c_str(), path->size() + 1);
    return true;
}

// The directory must not let others plant a socket of their own there.
ErrorCode prepare_runtime_directory() {
    const char* directory = window_runtime_directory();
    if (::mkdir(directory, 0755) != 0 && errno != EEXIST) {
        return static_cast<ErrorCode>(errno);
    }
    struct stat info {};
    if (::stat(directory, &info) != 0) {
        return static_cast<ErrorCode>(errno);
    }
    const bool trusted_owner = info.st_uid == 0 || info.st_uid == ::geteuid();
    if (!S_ISDIR(info.st_mode) || !trusted_owner || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return EPERM;
    }
    return 0;
}

}  // namespace

struct Window::Impl {
    Window* outer = nullptr;
    std::shared_ptr<Queue> queue;  // set while the window exists
    WindowProcedure procedure = nullptr;
    std::string class_name;
    std::string title;
    std::string socket_path;
    int socket_fd = -1;
};

namespace {

void complete_sends_locked(Queue* queue, const Window::Impl* window) {
    for (auto it = queue->sent.begin(); it != queue->sent.end();) {
        if ((*it)->message.window->impl_ptr() == window) {
            (*it)->done = true;
            it = queue->sent.erase(it);
        } else {
            ++it;
        }
    }
    state().sent_done.notify_all();
}

}  // namespace

ModuleInstance module_instance() {
    static const char anchor = 0;
    return &anchor;
}

std::uint32_t register_window_message(const char* name) {
    if (name == nullptr || *name == '\0' || std::strlen(name) > kMaxNameLength) {
        errno = EINVAL;
        return 0;
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    if (const std::uint32_t known = lookup_message_locked(name)) {
        return known;
    }
    auto& names = state().messages;
    if (kFirstRegisteredMessage + names.size() > kLastRegisteredMessage) {
        errno = ENOSPC;
        return 0;
    }
    names.emplace_back(name);
    return kFirstRegisteredMessage + static_cast<std::uint32_t>(names.size() - 1);
}

Status register_window_class(const char* class_name, WindowProcedure procedure) {
    if (class_name == nullptr || *class_name == '\0' || procedure == nullptr ||
        std::strlen(class_name) > kMaxNameLength) {
        return Status::failure(EINVAL);
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    for (const auto& known : state().classes) {
        if (same_name(known.name, class_name)) {
            return Status::failure(EEXIST);
        }
    }
    state().classes.push_back({class_name, procedure});
    return Status::success();
}

Status unregister_window_class(const char* class_name) {
    if (class_name == nullptr) {
        return Status::failure(EINVAL);
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    for (const Window::Impl* window : state().windows) {
        if (same_name(window->class_name, class_name)) {
            return Status::failure(EBUSY);
        }
    }
    auto& classes = state().classes;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (same_name(it->name, class_name)) {
            classes.erase(it);
            return Status::success();
        }
    }
    return Status::failure(ENOENT);
}

void set_message_clock(MessageClock* clock) {
    std::lock_guard<std::mutex> lock(state().mutex);
    state().clock = clock;
}

Window::Window() : impl_(new Impl) {
    impl_->outer = this;
}

Window::~Window() {
    if (exists()) {
        destroy();
    }
    delete impl_;
}

Window::Impl* Window::impl_ptr() const {
    return impl_;
}

bool Window::exists() const {
    std::lock_guard<std::mutex> lock(state().mutex);
    return impl_->queue != nullptr;
}

Status Window::create(ModuleInstance instance, const char* class_name, const char* title) {
    if (instance == nullptr || class_name == nullptr) {
        return Status::failure(EINVAL);
    }
    Queue* queue = this_thread_queue();
    if (queue == nullptr) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    WindowProcedure procedure = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (impl_->queue != nullptr) {
            return Status::failure(EEXIST);
        }
        for (const auto& known : state().classes) {
            if (same_name(known.name, class_name)) {
                procedure = known.procedure;
            }
        }
    }
    if (procedure == nullptr) {
        return Status::failure(ENOENT);
    }

    sockaddr_un address{};
    std::string path;
    if (!make_address(class_name, title, &address, &path)) {
        return Status::failure(ENAMETOOLONG);
    }
    if (const ErrorCode error = prepare_runtime_directory()) {
        return Status::failure(error);
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    const auto fail = [fd](ErrorCode error) {
        ::close(fd);
        return Status::failure(error);
    };
    // A socket left behind by a window that is gone refuses connections: replace it. One
    // that answers belongs to a live window.
    const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                              sizeof address) == 0;
    if (probe >= 0) {
        ::close(probe);
    }
    if (live) {
        return fail(EADDRINUSE);
    }
    ::unlink(path.c_str());
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return fail(static_cast<ErrorCode>(errno));
    }
    // Only root and this user may send; the credentials of each datagram are checked too.
    ::chmod(path.c_str(), 0600);

    std::lock_guard<std::mutex> lock(state().mutex);
    impl_->queue = t_queue;
    impl_->procedure = procedure;
    impl_->class_name = class_name;
    impl_->title = title != nullptr ? title : "";
    impl_->socket_path = path;
    impl_->socket_fd = fd;
    queue->windows.push_back(impl_);
    state().windows.push_back(impl_);
    return Status::success();
}

Status Window::destroy() {
    std::unique_lock<std::mutex> lock(state().mutex);
    Queue* queue = impl_->queue.get();
    if (queue == nullptr) {
        return Status::failure(EBADF);
    }
    if (queue->owner != std::this_thread::get_id()) {
        return Status::failure(EPERM);
    }
    auto& timers = queue->timers;
    timers.erase(std::remove_if(timers.begin(), timers.end(),
                                [this](const Timer& t) { return t.window == impl_; }),
                 timers.end());
    complete_sends_locked(queue, impl_);
    std::erase(queue->windows, impl_);
    std::erase(state().windows, impl_);
    ::close(impl_->socket_fd);
    ::unlink(impl_->socket_path.c_str());
    impl_->socket_fd = -1;
    impl_->queue.reset();
    return Status::success();
}

Status Window::post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Queue* queue = impl_->queue.get();
    if (queue == nullptr) {
        return Status::failure(EBADF);
    }
    queue->posted.push_back({this, message, wparam, lparam});
    queue->wake();
    return Status::success();
}

std::intptr_t Window::send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
    std::unique_lock<std::mutex> lock(state().mutex);
    std::shared_ptr<Queue> queue = impl_->queue;
    if (queue == nullptr) {
        errno = EBADF;
        return 0;
    }
    if (queue->owner == std::this_thread::get_id()) {
        const WindowProcedure procedure = impl_->procedure;
        lock.unlock();
        return procedure(this, message, wparam, lparam);
    }
    SentMessage sent{{this, message, wparam, lparam}};
    queue->sent.push_back(&sent);
    queue->wake();
    state().sent_done.wait(lock, [&sent] { return sent.done; });
    return sent.result;
}

Status Window::set_timer(std::uintptr_t id, std::uint32_t interval_ms) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Queue* queue = impl_->queue.get();
    if (queue == nullptr) {
        return Status::failure(EBADF);
    }
    interval_ms = std::max(interval_ms, kMinimumTimerMs);
    const std::uint32_t due = clock_locked().tick_ms() + interval_ms;
    for (Timer& timer : queue->timers) {
        if (timer.window == impl_ && timer.id == id) {
            timer.interval_ms = interval_ms;
            timer.due = due;
            queue->wake();
            return Status::success();
        }
    }
    queue->timers.push_back({impl_, id, interval_ms, due});
    queue->wake();
    return Status::success();
}

Status Window::kill_timer(std::uintptr_t id) {
    std::lock_guard<std::mutex> lock(state().mutex);
    Queue* queue = impl_->queue.get();
    if (queue == nullptr) {
        return Status::failure(EBADF);
    }
    auto& timers = queue->timers;
    const auto it = std::find_if(timers.begin(), timers.end(), [this, id](const Timer& t) {
        return t.window == impl_ && t.id == id;
    });
    if (it == timers.end()) {
        return Status::failure(EINVAL);
    }
    timers.erase(it);
    return Status::success();
}

namespace {

// Takes the registered messages that arrived on the window's socket, from root or from this
// process's user only; anything else is read and dropped.
void receive_datagrams_locked(Queue* queue, Window::Impl* window) {
    for (int round = 0; round < kDatagramsPerRound; ++round) {
        char name[kMaxNameLength + 2];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec io{name, sizeof name - 1};
        msghdr header{};
        header.msg_iov = &io;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(window->socket_fd, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            return;
        }
        const ucred* sender = nullptr;
        for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
                sender = reinterpret_cast<const ucred*>(CMSG_DATA(c));
            } else if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
                // Descriptors nobody asked for are closed, never kept.
                const auto count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (std::size_t i = 0; i < count; ++i) {
                    int fd;
                    std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                    ::close(fd);
                }
            }
        }
        const bool trusted = sender != nullptr && (sender->uid == 0 || sender->uid == ::geteuid());
        if (!trusted || n == 0 || (header.msg_flags & MSG_TRUNC) != 0) {
            continue;
        }
        name[n] = '\0';
        if (std::strlen(name) != static_cast<std::size_t>(n)) {
            continue;
        }
        if (const std::uint32_t message = lookup_message_locked(name)) {
            queue->posted.push_back({window->outer, message, 0, 0});
        }
    }
}

}  // namespace

int get_message(Message* message) {
    if (message == nullptr) {
        errno = EINVAL;
        return -1;
    }
    Queue* queue = this_thread_queue();
    if (queue == nullptr) {
        return -1;
    }
    std::unique_lock<std::mutex> lock(state().mutex);
    for (;;) {
        if (!queue->sent.empty()) {
            SentMessage* sent = queue->sent.front();
            queue->sent.pop_front();
            const WindowProcedure procedure = sent->message.window->impl_ptr()->procedure;
            const Message m = sent->message;
            lock.unlock();
            const std::intptr_t result = procedure(m.window, m.message, m.wparam, m.lparam);
            lock.lock();
            sent->result = result;
            sent->done = true;
            state().sent_done.notify_all();
            continue;
        }
        if (!queue->posted.empty()) {
            *message = queue->posted.front();
            queue->posted.pop_front();
            return 1;
        }
        if (queue->quit) {
            queue->quit = false;
            *message = {nullptr, kWmQuit, static_cast<std::uintptr_t>(queue->quit_code), 0};
            return 0;
        }
        MessageClock& clock = clock_locked();
        const std::uint32_t now = clock.tick_ms();
        int timeout = -1;
        for (Timer& timer : queue->timers) {
            const auto left = static_cast<std::int32_t>(timer.due - now);
            if (left <= 0) {
                timer.due = now + timer.interval_ms;
                *message = {timer.window->outer, kWmTimer, timer.id, 0};
                return 1;
            }
            const auto wait = static_cast<int>(std::min<std::uint32_t>(
                clock.real_wait_ms(static_cast<std::uint32_t>(left)), 0x7FFFFFFF));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        std::vector<pollfd> watched{{queue->wake_fd, POLLIN, 0}};
        for (Window::Impl* window : queue->windows) {
            watched.push_back({window->socket_fd, POLLIN, 0});
        }
        lock.unlock();
        const int ready = ::poll(watched.data(), watched.size(), timeout);
        const int poll_error = errno;
        lock.lock();
        if (ready < 0 && poll_error != EINTR) {
            errno = poll_error;
            return -1;
        }
        std::uint64_t drained;
        [[maybe_unused]] const ssize_t ignored = ::read(queue->wake_fd, &drained, sizeof drained);
        for (std::size_t i = 1; i < watched.size() && ready > 0; ++i) {
            if (watched[i].revents == 0) {
                continue;
            }
            // The window may have gone while the lock was free.
            for (Window::Impl* window : queue->windows) {
                if (window->socket_fd == watched[i].fd) {
                    receive_datagrams_locked(queue, window);
                }
            }
        }
    }
}

std::intptr_t dispatch_message(const Message& message) {
    if (message.window == nullptr) {
        return 0;
    }
    WindowProcedure procedure = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        const Window::Impl* impl = message.window->impl_ptr();
        if (impl->queue != nullptr) {
            procedure = impl->procedure;
        }
    }
    return procedure != nullptr
               ? procedure(message.window, message.message, message.wparam, message.lparam)
               : 0;
}

void post_quit_message(int exit_code) {
    Queue* queue = this_thread_queue();
    if (queue == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    queue->quit = true;
    queue->quit_code = exit_code;
    queue->wake();
}

Window* find_window(const char* class_name, const char* title) {
    if (class_name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    for (Window::Impl* window : state().windows) {
        if (same_name(window->class_name, class_name) &&
            (title == nullptr || window->title == title)) {
            return window->outer;
        }
    }
    return nullptr;
}

Status post_message_to_window(const char* class_name, const char* title, const char* message_name) {
    if (class_name == nullptr || message_name == nullptr || *message_name == '\0' ||
        std::strlen(message_name) > kMaxNameLength) {
        return Status::failure(EINVAL);
    }
    sockaddr_un address{};
    std::string path;
    if (!make_address(class_name, title, &address, &path)) {
        return Status::failure(ENAMETOOLONG);
    }
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    const ssize_t sent = ::sendto(fd, message_name, std::strlen(message_name), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    if (sent >= 0) {
        return Status::success();
    }
    // No socket, or one that nobody reads any more: there is no such window.
    return Status::failure(error == ECONNREFUSED ? ENOENT : static_cast<ErrorCode>(error));
}

bool InteractiveDesktop::switch_to() {
    return false;
}

void InteractiveDesktop::switch_back() {}

const char* window_runtime_directory() {
    const char* directory = std::getenv("VARMOTH_RUNTIME_DIR");
    return directory != nullptr && *directory != '\0' ? directory : kDefaultRuntimeDirectory;
}

}  // namespace plat
