#include "wmi.h"

#include <windows.h>
// COM and WMI need the full windows.h in front of them.
#include <wbemcli.h>

#include <algorithm>

#include "JOVX_ErrorLogging.h"

namespace jovx::ipmi {

namespace {

constexpr char kSourceFileName[] = "JOVX_IPMIAcc";
constexpr int kAnsiPathCapacity = 1024;
constexpr std::uint8_t kResponderAddress = 0x20;

template <typename T>
void release(T*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

unsigned as_code(HRESULT hr) {
    return static_cast<unsigned>(hr);
}

// The names one call needs, allocated together and freed together.
struct CallNames {
    static constexpr const wchar_t* kTexts[] = {
        L"RequestResponse",  L"NetworkFunction", L"Lun",         L"ResponderAddress",
        L"Command",          L"RequestDataSize", L"RequestData", L"CompletionCode",
        L"ResponseDataSize", L"ResponseData"};
    enum Index { method, net_fn, lun, responder, command, size, data, completion, rsp_size, rsp };
    BSTR names[10] = {};

    bool allocate() {
        for (int i = 0; i < 10; ++i) {
            names[i] = SysAllocString(kTexts[i]);
            if (names[i] == nullptr) {
                return false;
            }
        }
        return true;
    }
    ~CallNames() {
        for (BSTR& name : names) {
            SysFreeString(name);
        }
    }
    BSTR operator[](Index i) const { return names[i]; }
};

VARIANT byte_value(std::uint8_t value) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_UI1;
    V_UI1(&v) = value;
    return v;
}

}  // namespace

struct WmiTransport::Connection {
    bool com_initialised = false;
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
    IWbemClassObject* class_object = nullptr;
    IWbemClassObject* input_definition = nullptr;
    IWbemClassObject* output_definition = nullptr;
    IWbemClassObject* in_instance = nullptr;
    BSTR instance_path = nullptr;

    // Newest first, as acquired.
    void release_all() {
        SysFreeString(instance_path);
        instance_path = nullptr;
        release(in_instance);
        release(output_definition);
        release(input_definition);
        release(class_object);
        release(services);
        release(locator);
        if (com_initialised) {
            CoUninitialize();
            com_initialised = false;
        }
    }
};

WmiTransport::WmiTransport() : connection_(new Connection) {}

WmiTransport::~WmiTransport() {
    close();
    delete connection_;
}

void WmiTransport::close() {
    connection_->release_all();
}

bool WmiTransport::open(const char* caller) {
    Connection& c = *connection_;
    c.release_all();
    BSTR class_name = SysAllocString(L"Microsoft_IPMI");
    if (class_name == nullptr) {
        WDT_LOG(msg::KTLOR_117_E, caller, "SysAllocString");
        return false;
    }
    // Each step: true to go on; a failure has written its message.
    const auto step = [caller](HRESULT hr, const char* api) {
        if (FAILED(hr)) {
            WDT_LOG(msg::KTLOR_093_E, caller, api, as_code(hr));
            return false;
        }
        return true;
    };
    bool ok = false;
    IEnumWbemClassObject* instances = nullptr;
    IWbemClassObject* instance = nullptr;
    do {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) {
            WDT_LOG(msg::KTLOR_013_E, caller, as_code(hr));
            break;
        }
        c.com_initialised = true;
        WDT_LOG(msg::KTLOR_068_I, caller);
        hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                  RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        // Security is set once per process: a reopen after a refresh finds it set already.
        if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
            WDT_LOG(msg::KTLOR_014_E, caller, as_code(hr));
            break;
        }
        WDT_LOG(msg::KTLOR_083_I, caller);
        if (!step(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemLocator, reinterpret_cast<void**>(&c.locator)),
                  "CoCreateInstance")) {
            break;
        }
        BSTR name_space = SysAllocString(L"ROOT\\WMI");
        hr = name_space == nullptr ? E_OUTOFMEMORY
                                   : c.locator->ConnectServer(name_space, nullptr, nullptr, nullptr,
                                                              0, nullptr, nullptr, &c.services);
        SysFreeString(name_space);
        if (!step(hr, "ConnectServer")) {
            break;
        }
        if (!step(CoSetProxyBlanket(c.services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr,
                                    EOAC_NONE),
                  "CoSetProxyBlanket")) {
            break;
        }
        if (FAILED(c.services->CreateInstanceEnum(
                class_name, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                &instances))) {
            WDT_LOG(msg::KTLOR_024_E, caller);
            break;
        }
        ULONG returned = 0;
        if (FAILED(instances->Next(WBEM_INFINITE, 1, &instance, &returned))) {
            WDT_LOG(msg::KTLOR_025_E, caller);
            break;
        }
        // No instance: no BMC, or no driver for it.
        VARIANT path;
        VariantInit(&path);
        if (returned == 0 || instance == nullptr ||
            FAILED(instance->Get(L"__Path", 0, &path, nullptr, nullptr)) ||
            V_VT(&path) != VT_BSTR) {
            VariantClear(&path);
            WDT_LOG(msg::KTLOR_026_E, caller);
            break;
        }
        char ansi[kAnsiPathCapacity] = {};
        WideCharToMultiByte(CP_ACP, 0, V_BSTR(&path), -1, ansi, kAnsiPathCapacity - 1, nullptr,
                            nullptr);
        WDT_LOG(msg::KTLOR_027_I, caller, ansi);
        c.instance_path = SysAllocString(V_BSTR(&path));
        VariantClear(&path);
        if (c.instance_path == nullptr) {
            WDT_LOG(msg::KTLOR_117_E, caller, "SysAllocString");
            break;
        }
        release(instances);
        release(instance);

        if (!step(c.services->GetObject(class_name, 0, nullptr, &c.class_object, nullptr),
                  "GetObject")) {
            break;
        }
        WDT_LOG(msg::KTLOR_094_I, caller, "GetObject");
        if (!step(c.class_object->GetMethod(L"RequestResponse", 0, &c.input_definition,
                                            &c.output_definition),
                  "GetMethod")) {
            break;
        }
        WDT_LOG(msg::KTLOR_094_I, caller, "GetMethod");
        if (c.input_definition == nullptr ||
            !step(c.input_definition->SpawnInstance(0, &c.in_instance), "SpawnInstance")) {
            break;
        }
        WDT_LOG(msg::KTLOR_094_I, caller, "SpawnInstance");
        ok = true;
    } while (false);
    release(instance);
    release(instances);
    SysFreeString(class_name);
    if (!ok) {
        c.release_all();
    }
    return ok;
}

CallOutcome WmiTransport::call(const char* caller, const Request& request, Response* response) {
    Connection& c = *connection_;
    CallNames names;
    VARIANT values[9];
    for (VARIANT& v : values) {
        VariantInit(&v);
    }
    const auto clean_up = [&] {
        for (VARIANT& v : values) {
            VariantClear(&v);
        }
        WDT_LOG(msg::KTLOR_047_K, caller);
    };
    if (!names.allocate()) {
        WDT_LOG(msg::KTLOR_117_E, caller, "SysAllocString");
        clean_up();
        WDT_LOG(msg::KTLOR_048_K, caller);
        return CallOutcome::failed_before_sending;
    }
    enum {
        v_net_fn,
        v_lun,
        v_responder,
        v_command,
        v_size,
        v_data,
        v_completion,
        v_rsp_size,
        v_rsp
    };
    bool failed = false;
    HRESULT last = S_OK;

    WDT_LOG(msg::KTLOR_029_K, caller);
    values[v_net_fn] = byte_value(request.net_fn);
    values[v_lun] = byte_value(0);
    values[v_responder] = byte_value(kResponderAddress);
    values[v_command] = byte_value(request.command);
    WDT_LOG(msg::KTLOR_030_K, caller, static_cast<unsigned>(request.command));
    WDT_LOG(msg::KTLOR_031_K, caller);
    WDT_LOG(msg::KTLOR_032_K, caller, static_cast<unsigned>(request.net_fn));
    V_VT(&values[v_size]) = VT_I4;
    V_I4(&values[v_size]) = request.length;
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, request.length);
    void* raw = nullptr;
    if (bytes == nullptr || FAILED(SafeArrayAccessData(bytes, &raw))) {
        WDT_LOG(msg::KTLOR_117_E, caller, "SafeArrayAccessData");
        if (bytes != nullptr) {
            SafeArrayDestroy(bytes);
        }
        failed = true;
    } else {
        std::copy(request.data, request.data + request.length, static_cast<std::uint8_t*>(raw));
        SafeArrayUnaccessData(bytes);
        V_VT(&values[v_data]) = VT_ARRAY | VT_UI1;
        V_ARRAY(&values[v_data]) = bytes;
        WDT_LOG(msg::KTLOR_033_K, caller, static_cast<int>(request.length));
        WDT_LOG(msg::KTLOR_034_K, caller);
    }

    // The six inputs in order; after a failure the rest are skipped but still traced.
    const struct {
        CallNames::Index name;
        int value;
        const LogMessage& traced;
    } puts[] = {{CallNames::net_fn, v_net_fn, msg::KTLOR_036_K},
                {CallNames::lun, v_lun, msg::KTLOR_037_K},
                {CallNames::responder, v_responder, msg::KTLOR_038_K},
                {CallNames::command, v_command, msg::KTLOR_039_K},
                {CallNames::size, v_size, msg::KTLOR_040_K},
                {CallNames::data, v_data, msg::KTLOR_041_K}};
    for (const auto& put : puts) {
        if (!failed) {
            last = c.in_instance->Put(names[put.name], 0, &values[put.value], 0);
            if (FAILED(last)) {
                WDT_LOG(msg::KTLOR_095_E, caller, "Put", static_cast<int>(last));
                failed = true;
            }
        }
        WDT_LOG(put.traced, caller, failed ? 1 : 0, as_code(last));
    }

    IWbemClassObject* out = nullptr;
    if (!failed) {
        last = c.services->ExecMethod(c.instance_path, names[CallNames::method], 0, nullptr,
                                      c.in_instance, &out, nullptr);
        if (FAILED(last)) {
            WDT_LOG(msg::KTLOR_095_E, caller, "ExecMethod", static_cast<int>(last));
            failed = true;
        }
        WDT_LOG(msg::KTLOR_042_K, caller, failed ? 1 : 0, as_code(last));
    }
    response->length = 0;
    if (!failed && out != nullptr) {
        last = out->Get(names[CallNames::completion], 0, &values[v_completion], nullptr, nullptr);
        if (FAILED(last)) {
            WDT_LOG(msg::KTLOR_093_E, caller, "Get", as_code(last));
            failed = true;
        }
        WDT_LOG(msg::KTLOR_043_K, caller, failed ? 1 : 0, as_code(last),
                static_cast<unsigned>(V_UI1(&values[v_completion])));
    }
    if (!failed && out != nullptr) {
        last = out->Get(names[CallNames::rsp_size], 0, &values[v_rsp_size], nullptr, nullptr);
        if (FAILED(last) ||
            FAILED(VariantChangeType(&values[v_rsp_size], &values[v_rsp_size], 0, VT_I4))) {
            WDT_LOG(msg::KTLOR_093_E, caller, "Get", as_code(last));
            failed = true;
        }
        const auto size = static_cast<std::uint16_t>(V_I4(&values[v_rsp_size]) & 0xFFFF);
        WDT_LOG(msg::KTLOR_044_K, caller, failed ? 1 : 0, as_code(last),
                static_cast<unsigned>(size));
        if (!failed && size > 0) {
            last = out->Get(names[CallNames::rsp], 0, &values[v_rsp], nullptr, nullptr);
            void* data = nullptr;
            if (FAILED(last) || V_VT(&values[v_rsp]) != (VT_ARRAY | VT_UI1)) {
                WDT_LOG(msg::KTLOR_093_E, caller, "Get", as_code(last));
                failed = true;
            } else if (FAILED(last = SafeArrayAccessData(V_ARRAY(&values[v_rsp]), &data))) {
                WDT_LOG(msg::KTLOR_093_E, caller, "SafeArrayAccessData", as_code(last));
                failed = true;
            } else {
                // Never more than the array holds, nor than a response can be.
                const std::size_t held = V_ARRAY(&values[v_rsp])->rgsabound[0].cElements;
                response->length = std::min<std::size_t>({size, held, kMaxResponseBytes});
                std::copy_n(static_cast<const std::uint8_t*>(data), response->length,
                            response->bytes);
                SafeArrayUnaccessData(V_ARRAY(&values[v_rsp]));
            }
        }
    }
    release(out);
    clean_up();
    WDT_LOG(msg::KTLOR_048_K, caller);
    return failed ? CallOutcome::failed : CallOutcome::answered;
}

}  // namespace jovx::ipmi
