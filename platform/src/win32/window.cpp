// Message windows on Win32: each plat class is a real window class whose procedure hands the
// messages the program handles (close, timers, user and registered messages) to the class's
// plat procedure and everything else to the default procedure. The window's plat object
// rides in its user data, set while the window is being created.
#include "plat/window.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace plat {

struct Window::Impl {
    Window* outer = nullptr;
    std::atomic<HWND> hwnd{nullptr};
    WindowProcedure procedure = nullptr;
};

namespace {

constexpr std::size_t kMaxNameLength = 255;

struct ClassEntry {
    std::string name;
    WindowProcedure procedure;
};

struct State {
    std::mutex mutex;
    std::vector<ClassEntry> classes;
    MessageClock* clock = nullptr;
};

State& state() {
    static State* const s = new State;
    return *s;
}

HINSTANCE this_module() {
    return GetModuleHandleA(nullptr);
}

bool handled_by_program(UINT message) {
    return message == WM_CLOSE || message == WM_TIMER || message >= WM_USER;
}

LRESULT CALLBACK class_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
        auto* impl = static_cast<Window::Impl*>(create->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl));
        if (impl != nullptr) {
            impl->hwnd.store(hwnd);
        }
    }
    auto* impl = reinterpret_cast<Window::Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (message == WM_NCDESTROY && impl != nullptr) {
        impl->hwnd.store(nullptr);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    } else if (impl != nullptr && impl->procedure != nullptr && handled_by_program(message)) {
        return impl->procedure(impl->outer, message, wparam, lparam);
    }
    return DefWindowProcA(hwnd, message, wparam, lparam);
}

// The plat window behind a handle of this process, or null.
Window* window_of(HWND hwnd) {
    if (hwnd == nullptr) {
        return nullptr;
    }
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process != GetCurrentProcessId()) {
        return nullptr;
    }
    auto* impl = reinterpret_cast<Window::Impl*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    return impl != nullptr ? impl->outer : nullptr;
}

Status last_failure() {
    const DWORD error = GetLastError();
    return Status::failure(error != 0 ? error : ERROR_GEN_FAILURE);
}

}  // namespace

ModuleInstance module_instance() {
    return this_module();
}

std::uint32_t register_window_message(const char* name) {
    if (name == nullptr || *name == '\0' || std::strlen(name) > kMaxNameLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterWindowMessageA(name);
}

Status register_window_class(const char* class_name, WindowProcedure procedure) {
    if (class_name == nullptr || *class_name == '\0' || procedure == nullptr ||
        std::strlen(class_name) > kMaxNameLength) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = class_procedure;
    window_class.hInstance = this_module();
    window_class.lpszClassName = class_name;
    if (RegisterClassExA(&window_class) == 0) {
        return last_failure();
    }
    state().classes.push_back({class_name, procedure});
    return Status::success();
}

Status unregister_window_class(const char* class_name) {
    if (class_name == nullptr) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    if (!UnregisterClassA(class_name, this_module())) {
        return last_failure();
    }
    auto& classes = state().classes;
    for (auto it = classes.begin(); it != classes.end(); ++it) {
        if (lstrcmpiA(it->name.c_str(), class_name) == 0) {
            classes.erase(it);
            break;
        }
    }
    return Status::success();
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
    return impl_->hwnd.load() != nullptr;
}

Status Window::create(ModuleInstance instance, const char* class_name, const char* title) {
    if (instance == nullptr || class_name == nullptr) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    if (exists()) {
        return Status::failure(ERROR_ALREADY_EXISTS);
    }
    WindowProcedure procedure = nullptr;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        for (const auto& known : state().classes) {
            if (lstrcmpiA(known.name.c_str(), class_name) == 0) {
                procedure = known.procedure;
            }
        }
    }
    if (procedure == nullptr) {
        return Status::failure(ERROR_CANNOT_FIND_WND_CLASS);
    }
    if (FindWindowA(class_name, title) != nullptr) {
        return Status::failure(ERROR_ALREADY_EXISTS);
    }
    impl_->procedure = procedure;
    // Hidden, overlapped, default place and size: it exists only to receive messages.
    const HWND hwnd =
        CreateWindowExA(0, class_name, title != nullptr ? title : "", WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                        nullptr, static_cast<HINSTANCE>(const_cast<void*>(instance)), impl_);
    if (hwnd == nullptr) {
        const Status failed = last_failure();
        impl_->hwnd.store(nullptr);
        return failed;
    }
    ShowWindow(hwnd, SW_HIDE);
    UpdateWindow(hwnd);
    return Status::success();
}

Status Window::destroy() {
    const HWND hwnd = impl_->hwnd.load();
    if (hwnd == nullptr) {
        return Status::failure(ERROR_INVALID_WINDOW_HANDLE);
    }
    if (!DestroyWindow(hwnd)) {
        return last_failure();
    }
    impl_->hwnd.store(nullptr);
    return Status::success();
}

Status Window::post(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
    const HWND hwnd = impl_->hwnd.load();
    if (hwnd == nullptr) {
        return Status::failure(ERROR_INVALID_WINDOW_HANDLE);
    }
    return PostMessageA(hwnd, message, wparam, lparam) ? Status::success() : last_failure();
}

std::intptr_t Window::send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
    const HWND hwnd = impl_->hwnd.load();
    if (hwnd == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return SendMessageA(hwnd, message, wparam, lparam);
}

Status Window::set_timer(std::uintptr_t id, std::uint32_t interval_ms) {
    const HWND hwnd = impl_->hwnd.load();
    if (hwnd == nullptr) {
        return Status::failure(ERROR_INVALID_WINDOW_HANDLE);
    }
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        if (state().clock != nullptr) {
            interval_ms = state().clock->real_wait_ms(interval_ms);
        }
    }
    return SetTimer(hwnd, id, interval_ms, nullptr) != 0 ? Status::success() : last_failure();
}

Status Window::kill_timer(std::uintptr_t id) {
    const HWND hwnd = impl_->hwnd.load();
    if (hwnd == nullptr) {
        return Status::failure(ERROR_INVALID_WINDOW_HANDLE);
    }
    return KillTimer(hwnd, id) ? Status::success() : last_failure();
}

int get_message(Message* message) {
    if (message == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    MSG msg{};
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == -1) {
        return -1;
    }
    *message = {window_of(msg.hwnd), msg.message, msg.wParam, msg.lParam};
    if (got == 0) {
        return 0;
    }
    // Messages for windows that are not plat windows still reach their procedures.
    if (msg.hwnd != nullptr && message->window == nullptr) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        message->message = 0;
    }
    return 1;
}

std::intptr_t dispatch_message(const Message& message) {
    if (message.window == nullptr) {
        return 0;
    }
    MSG msg{};
    msg.hwnd = message.window->impl_ptr()->hwnd.load();
    if (msg.hwnd == nullptr) {
        return 0;
    }
    msg.message = message.message;
    msg.wParam = message.wparam;
    msg.lParam = message.lparam;
    TranslateMessage(&msg);
    return DispatchMessageA(&msg);
}

void post_quit_message(int exit_code) {
    PostQuitMessage(exit_code);
}

Window* find_window(const char* class_name, const char* title) {
    if (class_name == nullptr) {
        return nullptr;
    }
    return window_of(FindWindowA(class_name, title));
}

Status post_message_to_window(const char* class_name, const char* title, const char* message_name) {
    if (class_name == nullptr || message_name == nullptr || *message_name == '\0' ||
        std::strlen(message_name) > kMaxNameLength) {
        return Status::failure(ERROR_INVALID_PARAMETER);
    }
    const HWND hwnd = FindWindowA(class_name, title);
    if (hwnd == nullptr) {
        return Status::failure(ERROR_FILE_NOT_FOUND);
    }
    const UINT message = RegisterWindowMessageA(message_name);
    if (message == 0) {
        return last_failure();
    }
    return PostMessageA(hwnd, message, 0, 0) ? Status::success() : last_failure();
}

bool InteractiveDesktop::switch_to() {
    if (switched_) {
        return true;
    }
    HWINSTA saved_station = GetProcessWindowStation();
    HDESK saved_desktop = GetThreadDesktop(GetCurrentThreadId());
    if (saved_station == nullptr || saved_desktop == nullptr) {
        return false;
    }
    constexpr ACCESS_MASK kAllStationRights = 0x37F;
    constexpr ACCESS_MASK kAllDesktopRights = 0x1FF;
    HWINSTA station = OpenWindowStationW(L"WinSta0", FALSE, kAllStationRights);
    if (station == nullptr) {
        return false;
    }
    if (!SetProcessWindowStation(station)) {
        CloseWindowStation(station);
        return false;
    }
    HDESK desktop = OpenDesktopW(L"Default", 0, FALSE, kAllDesktopRights);
    if (desktop == nullptr || !SetThreadDesktop(desktop)) {
        if (desktop != nullptr) {
            CloseDesktop(desktop);
        }
        SetThreadDesktop(saved_desktop);
        SetProcessWindowStation(saved_station);
        CloseWindowStation(station);
        return false;
    }
    saved_station_ = saved_station;
    saved_desktop_ = saved_desktop;
    station_ = station;
    desktop_ = desktop;
    switched_ = true;
    return true;
}

void InteractiveDesktop::switch_back() {
    if (!switched_) {
        return;
    }
    switched_ = false;
    SetThreadDesktop(static_cast<HDESK>(saved_desktop_));
    SetProcessWindowStation(static_cast<HWINSTA>(saved_station_));
    CloseDesktop(static_cast<HDESK>(desktop_));
    CloseWindowStation(static_cast<HWINSTA>(station_));
}

const char* window_runtime_directory() {
    return "";  // windows are found through the window manager
}

}  // namespace plat
