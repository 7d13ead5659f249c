// jovaprv.dll loaded as COM loads it, and the programs the tests start.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <string>

namespace com_test {

// The directory of the test program, where the library is built.
inline std::wstring program_directory() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

inline std::wstring library_path() {
    return program_directory() + L"jovaprv.dll";
}

// The library's four entry points.
class Server {
  public:
    Server() : module_(LoadLibraryW(library_path().c_str())) {
        if (module_ == nullptr) {
            ADD_FAILURE() << "jovaprv.dll does not load: " << GetLastError();
            return;
        }
        get_class_object = reinterpret_cast<decltype(get_class_object)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        can_unload_now = reinterpret_cast<decltype(can_unload_now)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
        register_server = reinterpret_cast<decltype(register_server)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllRegisterServer")));
        unregister_server = reinterpret_cast<decltype(unregister_server)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllUnregisterServer")));
    }
    ~Server() { FreeLibrary(module_); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    bool loaded() const {
        return get_class_object != nullptr && can_unload_now != nullptr &&
               register_server != nullptr && unregister_server != nullptr;
    }

    // The factory; nullptr (and a failure) when it is not handed out.
    IClassFactory* factory() const;
    // A new provider object asked for its first interface.
    IWbemProviderInit* create_provider() const;

    HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now)() = nullptr;
    HRESULT(STDAPICALLTYPE* register_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_server)() = nullptr;

  private:
    HMODULE module_;
};

inline IClassFactory* Server::factory() const {
    void* object = nullptr;
    const HRESULT result =
        get_class_object(jovaprv::com::kProviderClassId, IID_IClassFactory, &object);
    EXPECT_EQ(result, S_OK);
    return static_cast<IClassFactory*>(object);
}

inline IWbemProviderInit* Server::create_provider() const {
    IClassFactory* the_factory = factory();
    if (the_factory == nullptr) {
        return nullptr;
    }
    void* object = nullptr;
    EXPECT_EQ(the_factory->CreateInstance(nullptr, IID_IWbemProviderInit, &object), S_OK);
    the_factory->Release();
    return static_cast<IWbemProviderInit*>(object);
}

// Starts a program (a command line) and waits for it; its exit code, or -1 when it did not
// start or did not end within the time.
inline int run(const std::wstring& command_line, DWORD timeout_ms = 60000) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::wstring line = command_line;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start a program: " << GetLastError();
        return -1;
    }
    CloseHandle(process.hThread);
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, timeout_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        ADD_FAILURE() << "a program did not end in time";
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}

// A host path as Windows programs under Wine reach it.
inline std::string windows_path(const std::string& host_path) {
    std::string path = host_path;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
    }
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path;
}

}  // namespace com_test
