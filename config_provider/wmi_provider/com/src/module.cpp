// The in-process server: the four exports, the class factory and the registration under
// HKEY_CLASSES_ROOT\CLSID.
#include <windows.h>

#include <new>
#include <string>

#include "com_names.h"
#include "module.h"
#include "provider.h"

namespace jovaprv::com {
namespace {

HINSTANCE g_module = nullptr;
// Locks taken through LockServer (the factory's AddRef and Release too) and one per live
// provider object, so that COM never unloads the library under an object.
LONG g_locks = 0;

// The single static factory; it has no count of its own and locks the module instead.
class Factory final : public IClassFactory {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        LockServer(TRUE);
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override {
        LockServer(FALSE);
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (outer != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* provider = new (std::nothrow) Provider();
        if (provider == nullptr) {
            return E_OUTOFMEMORY;
        }
        // An interface the object lacks destroys it again here.
        const HRESULT result = provider->QueryInterface(iid, object);
        provider->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            lock_module();
        } else {
            unlock_module();
        }
        return S_OK;
    }
};

Factory& factory() {
    static Factory instance;
    return instance;
}

const std::wstring kClassKey = std::wstring(L"CLSID\\") + kProviderClassIdText;

bool set_text(HKEY key, const wchar_t* name, const wchar_t* text) {
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
           ERROR_SUCCESS;
}

HKEY create_key(const std::wstring& path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

}  // namespace

void lock_module() {
    InterlockedIncrement(&g_locks);
}
void unlock_module() {
    InterlockedDecrement(&g_locks);
}

}  // namespace jovaprv::com

using namespace jovaprv::com;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID class_id, REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualCLSID(class_id, kProviderClassId)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    Factory& the_factory = factory();
    the_factory.AddRef();
    *object = static_cast<IClassFactory*>(&the_factory);
    return S_OK;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return InterlockedCompareExchange(&g_locks, 0, 0) == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() {
    HKEY class_key = create_key(kClassKey);
    if (class_key == nullptr) {
        return E_FAIL;
    }
    set_text(class_key, nullptr, L"VarmothKTLPVProvider Prototype");
    RegCloseKey(class_key);

    HKEY server_key = create_key(kClassKey + L"\\InprocServer32");
    if (server_key == nullptr) {
        return E_FAIL;
    }
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(g_module, path, MAX_PATH);
    // A path cut at MAX_PATH would register a library that is not there.
    const bool written = length > 0 && length < MAX_PATH && set_text(server_key, nullptr, path) &&
                         set_text(server_key, L"ThreadingModel", L"Both");
    RegCloseKey(server_key);
    return written ? S_OK : E_FAIL;
}

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
    RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey.c_str());
    return S_OK;
}
