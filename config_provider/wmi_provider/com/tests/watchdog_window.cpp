// Stands in for the watchdog service in a process of its own: a hidden top-level window of
// the service's class that waits for the registered reload message.
//   watchdog_window EVENT   sets the named event once the window exists; exits 0 when the
//                           message came with both parameters 0, 4 when it came otherwise,
//                           3 when nothing came within 20 s, 2 when the window cannot be made.
#include <windows.h>

namespace {

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        return 2;
    }
    const UINT reload = RegisterWindowMessageW(L"WM_RELOADCONFIG");
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = procedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"JOVXServerAssistantWatchdog";
    if (reload == 0 || RegisterClassW(&window_class) == 0) {
        return 2;
    }
    // Top-level (not message-only), so that FindWindow sees it; never shown.
    HWND window = CreateWindowExW(0, window_class.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 0, 0,
                                  nullptr, nullptr, window_class.hInstance, nullptr);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]);
    if (window == nullptr || ready == nullptr || !SetTimer(window, 1, 20000, nullptr)) {
        return 2;
    }
    SetEvent(ready);
    CloseHandle(ready);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == reload) {
            return message.hwnd == window && message.wParam == 0 && message.lParam == 0 ? 0 : 4;
        }
        if (message.message == WM_TIMER) {
            return 3;
        }
        DispatchMessageW(&message);
    }
    return 3;
}
