// jovaprv.dll loaded as COM loads it, and the programs the tests start.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <objbase.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <algorithm>
#include <string>

#include "com_names.h"

namespace com_test {

// The directory of the test program, where the library is built.
inline std::wstring program_directory() {
    wchar_t path[MAX_PATH];
    const std::wstring directory(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

inline std::wstring library_path() {
    return program_directory() + L"jovaprv.dll";
}

// The library's four entry points.
class Server {
    using Entry = HRESULT(STDAPICALLTYPE*)();
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    template <typename Function>
    Function entry(const char* name) const {
        return module_ == nullptr ? nullptr
                                  : reinterpret_cast<Function>(
                                        reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    const HMODULE module_ = LoadLibraryW(library_path().c_str());

  public:
    Server() { EXPECT_NE(module_, nullptr) << "jovaprv.dll does not load: " << GetLastError(); }
    ~Server() { FreeLibrary(module_); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    bool loaded() const {
        return get_class_object && can_unload_now && register_server && unregister_server;
    }

    // The factory; nullptr (and a failure) when it is not handed out.
    IClassFactory* factory() const {
        void* object = nullptr;
        EXPECT_EQ(get_class_object(jovaprv::com::kProviderClassId, IID_IClassFactory, &object),
                  S_OK);
        return static_cast<IClassFactory*>(object);
    }
    // A new provider object asked for its first interface.
    IWbemProviderInit* create_provider() const {
        IClassFactory* the_factory = factory();
        void* object = nullptr;
        if (the_factory != nullptr) {
            EXPECT_EQ(the_factory->CreateInstance(nullptr, IID_IWbemProviderInit, &object), S_OK);
            the_factory->Release();
        }
        return static_cast<IWbemProviderInit*>(object);
    }

    const GetClassObject get_class_object = entry<GetClassObject>("DllGetClassObject");
    const Entry can_unload_now = entry<Entry>("DllCanUnloadNow");
    const Entry register_server = entry<Entry>("DllRegisterServer");
    const Entry unregister_server = entry<Entry>("DllUnregisterServer");
};

// Starts a program (a command line); its process handle, or nullptr (and a failure).
inline HANDLE start(std::wstring command_line) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ADD_FAILURE() << "cannot start a program: " << GetLastError();
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Waits for a started program and closes its handle; its exit code, or -1 when it did not
// start or did not end within the time (it is ended then).
inline int finish(HANDLE process, DWORD timeout_ms = 60000) {
    DWORD code = static_cast<DWORD>(-1);
    if (process == nullptr) {
        return -1;
    }
    if (WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    } else {
        ADD_FAILURE() << "a program did not end in time";
        TerminateProcess(process, 1);
    }
    CloseHandle(process);
    return static_cast<int>(code);
}

// A host path as Windows programs under Wine reach it.
inline std::string windows_path(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path.rfind('\\', 0) == 0 ? "Z:" + path : path;
}

}  // namespace com_test
