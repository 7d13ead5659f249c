#include "provider.h"

#include <cwchar>
#include <string>

#include "com_names.h"
#include "jovaprv/provider_methods.h"
#include "module.h"
#include "wide_text.h"

namespace jovaprv::com {
namespace {

// Holds one reference to a COM object and gives it back at the end of the scope.
template <typename T>
class Held {
  public:
    Held() = default;
    explicit Held(T* object) : object_(object) {}
    ~Held() {
        if (object_ != nullptr) {
            object_->Release();
        }
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    T* get() const { return object_; }
    T** out() { return &object_; }
    T* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

  private:
    T* object_ = nullptr;
};

class Bstr {
  public:
    explicit Bstr(BSTR text) : text_(text) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return text_; }

  private:
    BSTR text_;
};

enum class Method { get_component_list, get_config_data, get_config_define, set_config_data };

// Exact, case-sensitive, in this order.
bool method_named(const wchar_t* name, Method* method) {
    static constexpr struct {
        const wchar_t* name;
        Method method;
    } kMethods[] = {
        {L"GetComponentList", Method::get_component_list},
        {L"GetConfigData", Method::get_config_data},
        {L"GetConfigDefine", Method::get_config_define},
        {L"SetConfigData", Method::set_config_data},
    };
    if (name == nullptr) {
        return false;
    }
    for (const auto& entry : kMethods) {
        if (std::wcscmp(name, entry.name) == 0) {
            *method = entry.method;
            return true;
        }
    }
    return false;
}

// A text in-parameter; false when it is missing, not a text or not valid UTF-16.
bool text_parameter(IWbemClassObject* parameters, const wchar_t* name, std::string* text) {
    if (parameters == nullptr) {
        return false;
    }
    VARIANT value;
    VariantInit(&value);
    bool found = false;
    if (SUCCEEDED(parameters->Get(name, 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR &&
        value.bstrVal != nullptr) {
        found = utf8_from_wide(value.bstrVal, SysStringLen(value.bstrVal), text);
    }
    VariantClear(&value);
    return found;
}

bool put_text(IWbemClassObject* parameters, const wchar_t* name, const std::string& text) {
    VARIANT value;
    VariantInit(&value);
    value.bstrVal = bstr_from_utf8(text);
    if (value.bstrVal == nullptr) {
        return false;
    }
    value.vt = VT_BSTR;
    const bool put = SUCCEEDED(parameters->Put(name, 0, &value, 0));
    VariantClear(&value);
    return put;
}

HRESULT put_integer(IWbemClassObject* object, const wchar_t* name, std::int32_t number) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = number;
    return object->Put(name, 0, &value, 0);
}

// Puts the method's text result, if any, and returns ReturnValue: a text that cannot reach
// the caller fails the method.
std::int32_t put_result(IWbemClassObject* out, const wchar_t* name, const TextResult& result) {
    if (result.has_text && !put_text(out, name, result.text)) {
        return kReturnFailed;
    }
    return result.return_value;
}

HRESULT complete(IWbemObjectSink* sink, HRESULT status) {
    sink->SetStatus(WBEM_STATUS_COMPLETE, status, nullptr, nullptr);
    return status;
}

// A failed call, or a successful one that handed out nothing, as a failure status.
HRESULT failure(HRESULT result) {
    return FAILED(result) ? result : static_cast<HRESULT>(WBEM_E_FAILED);
}

}  // namespace

Provider::Provider() {
    lock_module();
}

Provider::~Provider() {
    if (name_space_ != nullptr) {
        name_space_->Release();
    }
    unlock_module();
}

HRESULT Provider::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWbemProviderInit)) {
        *object = static_cast<IWbemProviderInit*>(this);
    } else if (IsEqualIID(iid, IID_IWbemServices)) {
        *object = static_cast<IWbemServices*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG Provider::AddRef() {
    return ++references_;
}

ULONG Provider::Release() {
    const ULONG left = --references_;
    if (left == 0) {
        delete this;
    }
    return left;
}

IWbemServices* Provider::name_space() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (name_space_ != nullptr) {
        name_space_->AddRef();
    }
    return name_space_;
}

HRESULT Provider::Initialize(LPWSTR, LONG, LPWSTR, LPWSTR, IWbemServices* name_space, IWbemContext*,
                             IWbemProviderInitSink* sink) {
    if (name_space != nullptr) {
        read_install_paths();
        name_space->AddRef();
    }
    IWbemServices* previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = name_space_;
        name_space_ = name_space;
    }
    if (previous != nullptr) {
        previous->Release();
    }
    if (sink != nullptr) {
        sink->SetStatus(name_space != nullptr ? static_cast<LONG>(WBEM_S_INITIALIZED)
                                              : static_cast<LONG>(WBEM_E_FAILED),
                        0);
    }
    return WBEM_S_NO_ERROR;
}

HRESULT Provider::CreateInstanceEnumAsync(const BSTR class_name, LONG, IWbemContext* context,
                                          IWbemObjectSink* sink) {
    if (sink == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    Held<IWbemServices> name_space(this->name_space());
    if (!name_space) {
        return complete(sink, WBEM_E_FAILED);
    }
    Held<IWbemClassObject> the_class;
    HRESULT result = name_space->GetObject(class_name, 0, context, the_class.out(), nullptr);
    if (FAILED(result) || !the_class) {
        return complete(sink, failure(result));
    }
    Held<IWbemClassObject> instance;
    result = the_class->SpawnInstance(0, instance.out());
    if (FAILED(result) || !instance) {
        return complete(sink, failure(result));
    }
    if (FAILED(result = put_integer(instance.get(), L"id", 1))) {
        return complete(sink, result);
    }
    IWbemClassObject* objects[] = {instance.get()};
    sink->Indicate(1, objects);
    return complete(sink, WBEM_S_NO_ERROR);
}

HRESULT Provider::ExecMethodAsync(const BSTR, const BSTR method_name, LONG, IWbemContext* context,
                                  IWbemClassObject* in, IWbemObjectSink* sink) {
    if (sink == nullptr) {
        return WBEM_E_INVALID_PARAMETER;
    }
    Held<IWbemServices> name_space(this->name_space());
    Held<IWbemClassObject> the_class;
    Bstr class_name(SysAllocString(kProviderClassName));
    if (!name_space || class_name.get() == nullptr ||
        FAILED(name_space->GetObject(class_name.get(), 0, context, the_class.out(), nullptr)) ||
        !the_class) {
        return complete(sink, WBEM_E_NOT_SUPPORTED);
    }
    // Only these four names, exactly as written, although WMI itself ignores case.
    Method method;
    if (!method_named(method_name, &method)) {
        return complete(sink, WBEM_E_NOT_SUPPORTED);
    }
    Held<IWbemClassObject> in_signature;
    Held<IWbemClassObject> out_signature;
    HRESULT result = the_class->GetMethod(method_name, 0, in_signature.out(), out_signature.out());
    if (FAILED(result) || !out_signature) {
        return complete(sink, failure(result));
    }
    Held<IWbemClassObject> out;
    result = out_signature->SpawnInstance(0, out.out());
    if (FAILED(result) || !out) {
        return complete(sink, failure(result));
    }

    std::int32_t return_value = kReturnFailed;
    std::string name;
    const char* name_argument =
        text_parameter(in, L"ComponentName", &name) ? name.c_str() : nullptr;
    switch (method) {
        case Method::get_component_list:
            return_value = put_result(out.get(), L"ComponentList", get_component_list());
            break;
        case Method::get_config_data:
            return_value = put_result(out.get(), L"ConfigData", get_config_data(name_argument));
            break;
        case Method::get_config_define:
            return_value = put_result(out.get(), L"ConfigDefine", get_config_define(name_argument));
            break;
        case Method::set_config_data: {
            std::string data;
            return_value = set_config_data(
                name_argument, text_parameter(in, L"ConfigData", &data) ? data.c_str() : nullptr);
            break;
        }
    }
    // Without its ReturnValue the caller could not tell the outcome: the call fails instead.
    if (FAILED(result = put_integer(out.get(), L"ReturnValue", return_value))) {
        return complete(sink, result);
    }
    IWbemClassObject* objects[] = {out.get()};
    sink->Indicate(1, objects);
    return complete(sink, WBEM_S_NO_ERROR);
}

// Everything else is not offered.
HRESULT Provider::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::CancelAsyncCall(IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::QueryObjectSink(LONG, IWbemObjectSink**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::GetObject(const BSTR, LONG, IWbemContext*, IWbemClassObject**,
                            IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                        IEnumWbemClassObject**) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) {
    return WBEM_E_NOT_SUPPORTED;
}
HRESULT Provider::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*,
                             IWbemClassObject**, IWbemCallResult**) {
    return WBEM_E_NOT_SUPPORTED;
}

}  // namespace jovaprv::com
