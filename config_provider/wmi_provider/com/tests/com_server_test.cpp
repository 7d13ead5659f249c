// The in-process server: its class object, the factory's counts and the module lock, the
// provider object's interfaces, and registration with regsvr32 followed by creation
// through COM.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "com_names.h"
#include "com_test_support.h"

namespace {

using com_test::Server;
using jovaprv::com::kProviderClassId;
using jovaprv::com::kProviderClassIdText;

// {0B9C4A51-2F3E-4D6A-8B7C-1E2D3F405A6B}: a class this library does not serve.
constexpr GUID kOtherClassId = {
    0x0b9c4a51, 0x2f3e, 0x4d6a, {0x8b, 0x7c, 0x1e, 0x2d, 0x3f, 0x40, 0x5a, 0x6b}};

void* const kGarbage = reinterpret_cast<void*>(0x1234);

TEST(ComServer, HandsOutTheFactoryOnlyForItsClassAndTheFactoryInterfaces) {
    Server server;
    ASSERT_TRUE(server.loaded());
    const struct {
        const GUID* class_id;
        const IID* iid;
        HRESULT expected;
    } cases[] = {
        {&kProviderClassId, &IID_IClassFactory, S_OK},
        {&kProviderClassId, &IID_IUnknown, S_OK},
        {&kOtherClassId, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {&kOtherClassId, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
        {&kProviderClassId, &IID_IWbemServices, E_NOINTERFACE},
        {&kProviderClassId, &IID_IWbemProviderInit, E_NOINTERFACE},
    };
    IClassFactory* factory = server.factory();
    ASSERT_NE(factory, nullptr);
    for (const auto& c : cases) {
        void* object = kGarbage;
        EXPECT_EQ(server.get_class_object(*c.class_id, *c.iid, &object), c.expected);
        // One static factory; the out pointer cleared on failure.
        EXPECT_EQ(object, c.expected == S_OK ? factory : nullptr);
        if (object != nullptr && object != kGarbage) {
            static_cast<IUnknown*>(object)->Release();
        }
    }
    factory->Release();
    EXPECT_EQ(server.get_class_object(kProviderClassId, IID_IClassFactory, nullptr), E_POINTER);
    EXPECT_EQ(server.can_unload_now(), S_OK) << "every factory reference was given back";
}

// The factory's fixed counts, LockServer, and what CreateInstance refuses.
TEST(ComServer, FactoryCountsLockServerAndCreateInstanceHoldTheModuleLoadedOnlyAsNeeded) {
    Server server;
    ASSERT_TRUE(server.loaded());
    EXPECT_EQ(server.can_unload_now(), S_OK);
    IClassFactory* factory = server.factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(server.can_unload_now(), S_FALSE) << "a factory reference is out";
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->AddRef(), 2u);
    EXPECT_EQ(factory->Release(), 1u);
    EXPECT_EQ(factory->Release(), 1u);

    void* object = kGarbage;
    EXPECT_EQ(factory->QueryInterface(IID_IWbemServices, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->QueryInterface(IID_IUnknown, &object), S_OK);
    EXPECT_EQ(object, static_cast<IUnknown*>(factory));
    factory->Release();

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(server.can_unload_now(), S_FALSE) << "locked although no reference is out";
    factory = server.factory();
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(server.can_unload_now(), S_FALSE);

    object = kGarbage;
    EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    object = kGarbage;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWbemServices, &object), S_OK);
    ASSERT_NE(object, nullptr);
    factory->Release();
    // A live provider keeps the library: COM would otherwise unload its code under it.
    EXPECT_EQ(server.can_unload_now(), S_FALSE);
    EXPECT_EQ(static_cast<IWbemServices*>(object)->Release(), 0u);
    EXPECT_EQ(server.can_unload_now(), S_OK) << "the refused objects are gone too";
}

TEST(ProviderObject, AnswersItsTwoInterfacesWithOneCount) {
    Server server;
    ASSERT_TRUE(server.loaded());
    IWbemProviderInit* init = server.create_provider();
    ASSERT_NE(init, nullptr);

    void* object = kGarbage;
    ASSERT_EQ(init->QueryInterface(IID_IWbemServices, &object), S_OK);
    auto* services = static_cast<IWbemServices*>(object);
    EXPECT_NE(static_cast<void*>(services), static_cast<void*>(init)) << "the second interface";
    const struct {
        IUnknown* asked;
        const IID* iid;
        void* expected;
    } cases[] = {
        {init, &IID_IUnknown, init},
        {init, &IID_IWbemProviderInit, init},
        {services, &IID_IUnknown, init},
        {services, &IID_IWbemProviderInit, init},
        {services, &IID_IWbemServices, services},
        {init, &IID_IClassFactory, nullptr},
        {services, &IID_IWbemObjectSink, nullptr},
    };
    for (const auto& c : cases) {
        object = kGarbage;
        EXPECT_EQ(c.asked->QueryInterface(*c.iid, &object),
                  c.expected != nullptr ? S_OK : E_NOINTERFACE);
        EXPECT_EQ(object, c.expected);
        if (object != nullptr) {
            static_cast<IUnknown*>(object)->Release();
        }
    }
    // Two references now: the creation's and the query's, counted together.
    EXPECT_EQ(services->AddRef(), 3u);
    EXPECT_EQ(init->Release(), 2u);
    EXPECT_EQ(init->Release(), 1u);
    EXPECT_EQ(server.can_unload_now(), S_FALSE);
    EXPECT_EQ(services->Release(), 0u);
    EXPECT_EQ(server.can_unload_now(), S_OK);
}

// A text value below the class key, as COM reads it.
std::wstring class_value(const wchar_t* subkey, const wchar_t* name = nullptr) {
    const std::wstring path = std::wstring(L"CLSID\\") + kProviderClassIdText + subkey;
    HKEY key;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"<no key>";
    }
    wchar_t data[1024] = {};
    DWORD bytes = sizeof data - sizeof(wchar_t);
    const LSTATUS read = RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, data, &bytes);
    RegCloseKey(key);
    return read == ERROR_SUCCESS ? data : L"<no text value>";
}

TEST(ComRegistration, Regsvr32RegistersTheLibraryForCoCreateInstanceAndRemovesItAgain) {
    Server server;
    ASSERT_TRUE(server.loaded());
    EXPECT_EQ(server.unregister_server(), S_OK);
    EXPECT_EQ(server.unregister_server(), S_OK) << "not registered: still S_OK";
    ASSERT_EQ(class_value(L""), L"<no key>");

    const std::wstring library = com_test::library_path();
    ASSERT_EQ(com_test::finish(com_test::start(L"regsvr32 /s \"" + library + L"\"")), 0);
    EXPECT_EQ(class_value(L""), L"VarmothKTLPVProvider Prototype");
    const std::wstring server_path = class_value(L"\\InprocServer32");
    EXPECT_EQ(_wcsicmp(server_path.c_str(), library.c_str()), 0)
        << std::string(server_path.begin(), server_path.end());
    EXPECT_EQ(class_value(L"\\InprocServer32", L"ThreadingModel"), L"Both");

    for (const DWORD model : {COINIT_MULTITHREADED, COINIT_APARTMENTTHREADED}) {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, model)));
        IWbemServices* services = nullptr;
        EXPECT_EQ(CoCreateInstance(kProviderClassId, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemServices, reinterpret_cast<void**>(&services)),
                  S_OK);
        ASSERT_NE(services, nullptr);
        IWbemProviderInit* init = nullptr;
        EXPECT_EQ(services->QueryInterface(IID_IWbemProviderInit, reinterpret_cast<void**>(&init)),
                  S_OK);
        // In the same apartment COM hands out the object itself, no proxy.
        EXPECT_EQ(init->Release(), 1u);
        EXPECT_EQ(services->Release(), 0u);
        CoUninitialize();
    }

    ASSERT_EQ(com_test::finish(com_test::start(L"regsvr32 /s /u \"" + library + L"\"")), 0);
    EXPECT_EQ(class_value(L""), L"<no key>");
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    void* object = kGarbage;
    EXPECT_EQ(
        CoCreateInstance(kProviderClassId, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
        REGDB_E_CLASSNOTREG);
    CoUninitialize();
}

}  // namespace
