// Stand-ins for what WMI hands a provider: the namespace (IWbemServices), class objects and
// their instances (IWbemClassObject) and the sinks that receive results. Wine's WMI cannot
// host a provider, so the tests play WMI with these.
#pragma once

#include <windows.h>

#include <oleauto.h>
#include <wbemcli.h>
#include <wbemprov.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

// A slot the provider never calls; it must still be there for the interface's layout.
#define WBEM_TEST_UNUSED(method, ...)                        \
    HRESULT STDMETHODCALLTYPE method(__VA_ARGS__) override { \
        return E_NOTIMPL;                                    \
    }

namespace wbem_test {

struct Releaser {
    void operator()(IUnknown* object) const { object->Release(); }
};
// One reference, given back at the end of the scope.
template <typename T>
using Ref = std::unique_ptr<T, Releaser>;

// WMI matches property and method names case aside.
struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// IUnknown with a count that the tests can read.
template <typename Interface>
class Counted : public Interface {
  public:
    explicit Counted(REFIID iid) : iid_(iid) {}
    virtual ~Counted() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        *object = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_) ? this : nullptr;
        return *object != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&count_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&count_);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    LONG references() const { return count_; }

  private:
    const IID iid_;
    LONG count_ = 1;
};

inline VARIANT text_variant(const std::wstring& text) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

// A class object or an instance: its declared properties (VT_EMPTY until put) and, for a
// class, its methods' out-parameter classes.
class ClassObject final : public Counted<IWbemClassObject> {
  public:
    explicit ClassObject(std::vector<std::wstring> properties)
        : Counted(IID_IWbemClassObject), declared_(std::move(properties)) {
        for (const std::wstring& name : declared_) {
            VariantInit(&values_[name]);
        }
    }
    ~ClassObject() override {
        for (auto& [name, value] : values_) {
            VariantClear(&value);
        }
        for (auto& [name, out] : methods_) {
            out->Release();
        }
    }

    // The class keeps the out-parameter class.
    void add_method(const std::wstring& name, ClassObject* out) { methods_[name] = out; }
    // Puts the value and clears it.
    void set(const wchar_t* name, VARIANT value) {
        Put(name, 0, &value, 0);
        VariantClear(&value);
    }
    bool has(const wchar_t* name) const {
        const auto found = values_.find(name);
        return found != values_.end() && found->second.vt != VT_EMPTY;
    }
    // -1 when the property holds no VT_I4.
    LONG number(const wchar_t* name) const {
        const auto found = values_.find(name);
        return found != values_.end() && found->second.vt == VT_I4 ? found->second.lVal : -1;
    }
    std::wstring text(const wchar_t* name) const {
        const auto found = values_.find(name);
        const VARIANT* v = found != values_.end() ? &found->second : nullptr;
        return v != nullptr && v->vt == VT_BSTR ? std::wstring(v->bstrVal, SysStringLen(v->bstrVal))
                                                : L"<not a text>";
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
        const auto found = values_.find(name);
        if (found == values_.end()) {
            return WBEM_E_NOT_FOUND;
        }
        VariantInit(value);
        return VariantCopy(value, &found->second);
    }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE) override {
        const auto found = values_.find(name);
        if (found == values_.end()) {
            return WBEM_E_NOT_FOUND;
        }
        VariantClear(&found->second);
        return VariantCopy(&found->second, value);
    }
    // The provider reads only the out-parameter class.
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in,
                                        IWbemClassObject** out) override {
        const auto found = methods_.find(name);
        if (found == methods_.end()) {
            return WBEM_E_NOT_FOUND;
        }
        if (in != nullptr) {
            *in = nullptr;
        }
        if (out != nullptr) {
            found->second->AddRef();
            *out = found->second;
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** instance) override {
        *instance = new ClassObject(declared_);
        return WBEM_S_NO_ERROR;
    }

    WBEM_TEST_UNUSED(GetQualifierSet, IWbemQualifierSet**)
    WBEM_TEST_UNUSED(Delete, LPCWSTR)
    WBEM_TEST_UNUSED(GetNames, LPCWSTR, LONG, VARIANT*, SAFEARRAY**)
    WBEM_TEST_UNUSED(BeginEnumeration, LONG)
    WBEM_TEST_UNUSED(Next, LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*)
    WBEM_TEST_UNUSED(EndEnumeration)
    WBEM_TEST_UNUSED(GetPropertyQualifierSet, LPCWSTR, IWbemQualifierSet**)
    WBEM_TEST_UNUSED(Clone, IWbemClassObject**)
    WBEM_TEST_UNUSED(GetObjectText, LONG, BSTR*)
    WBEM_TEST_UNUSED(SpawnDerivedClass, LONG, IWbemClassObject**)
    WBEM_TEST_UNUSED(CompareTo, LONG, IWbemClassObject*)
    WBEM_TEST_UNUSED(GetPropertyOrigin, LPCWSTR, BSTR*)
    WBEM_TEST_UNUSED(InheritsFrom, LPCWSTR)
    WBEM_TEST_UNUSED(PutMethod, LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*)
    WBEM_TEST_UNUSED(DeleteMethod, LPCWSTR)
    WBEM_TEST_UNUSED(BeginMethodEnumeration, LONG)
    WBEM_TEST_UNUSED(NextMethod, LONG, BSTR*, IWbemClassObject**, IWbemClassObject**)
    WBEM_TEST_UNUSED(EndMethodEnumeration)
    WBEM_TEST_UNUSED(GetMethodQualifierSet, LPCWSTR, IWbemQualifierSet**)
    WBEM_TEST_UNUSED(GetMethodOrigin, LPCWSTR, BSTR*)

  private:
    const std::vector<std::wstring> declared_;
    std::map<std::wstring, VARIANT, NoCase> values_;
    std::map<std::wstring, ClassObject*, NoCase> methods_;
};

// The class as the provider's MOF declares it.
inline ClassObject* make_provider_class() {
    auto* the_class = new ClassObject({L"id"});
    the_class->add_method(L"GetComponentList", new ClassObject({L"ComponentList", L"ReturnValue"}));
    the_class->add_method(L"GetConfigDefine", new ClassObject({L"ConfigDefine", L"ReturnValue"}));
    the_class->add_method(L"GetConfigData", new ClassObject({L"ConfigData", L"ReturnValue"}));
    the_class->add_method(L"SetConfigData", new ClassObject({L"ReturnValue"}));
    return the_class;
}

// Records the objects indicated (holding a reference to each) and every status.
class ObjectSink final : public Counted<IWbemObjectSink> {
  public:
    ObjectSink() : Counted(IID_IWbemObjectSink) {}
    ~ObjectSink() override {
        for (ClassObject* object : objects) {
            object->Release();
        }
    }
    HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** array) override {
        for (LONG i = 0; i < count; ++i) {
            array[i]->AddRef();
            objects.push_back(static_cast<ClassObject*>(array[i]));
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR,
                                        IWbemClassObject*) override {
        statuses.push_back({flags, result});
        return WBEM_S_NO_ERROR;
    }

    std::vector<ClassObject*> objects;
    std::vector<std::pair<LONG, HRESULT>> statuses;
};

class InitSink final : public Counted<IWbemProviderInitSink> {
  public:
    InitSink() : Counted(IID_IWbemProviderInitSink) {}
    HRESULT STDMETHODCALLTYPE SetStatus(LONG status, LONG) override {
        statuses.push_back(status);
        return WBEM_S_NO_ERROR;
    }
    std::vector<LONG> statuses;
};

// A namespace that holds at most the provider's class, and answers GetObject for it.
class Namespace final : public Counted<IWbemServices> {
  public:
    explicit Namespace(ClassObject* provider_class)
        : Counted(IID_IWbemServices), class_(provider_class) {}
    ~Namespace() override {
        if (class_ != nullptr) {
            class_->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*,
                                        IWbemClassObject** object, IWbemCallResult**) override {
        if (class_ == nullptr || path == nullptr || _wcsicmp(path, L"VarmothKTLPVProvider") != 0) {
            return WBEM_E_NOT_FOUND;
        }
        class_->AddRef();
        *object = class_;
        return WBEM_S_NO_ERROR;
    }

    WBEM_TEST_UNUSED(OpenNamespace, BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**)
    WBEM_TEST_UNUSED(CancelAsyncCall, IWbemObjectSink*)
    WBEM_TEST_UNUSED(QueryObjectSink, LONG, IWbemObjectSink**)
    WBEM_TEST_UNUSED(GetObjectAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(PutClass, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    WBEM_TEST_UNUSED(PutClassAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(DeleteClass, BSTR, LONG, IWbemContext*, IWbemCallResult**)
    WBEM_TEST_UNUSED(DeleteClassAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(CreateClassEnum, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    WBEM_TEST_UNUSED(CreateClassEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(PutInstance, IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**)
    WBEM_TEST_UNUSED(PutInstanceAsync, IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(DeleteInstance, BSTR, LONG, IWbemContext*, IWbemCallResult**)
    WBEM_TEST_UNUSED(DeleteInstanceAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(CreateInstanceEnum, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    WBEM_TEST_UNUSED(CreateInstanceEnumAsync, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(ExecQuery, BSTR, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    WBEM_TEST_UNUSED(ExecQueryAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(ExecNotificationQuery, BSTR, BSTR, LONG, IWbemContext*, IEnumWbemClassObject**)
    WBEM_TEST_UNUSED(ExecNotificationQueryAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemObjectSink*)
    WBEM_TEST_UNUSED(ExecMethod, BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,
                     IWbemClassObject**, IWbemCallResult**)
    WBEM_TEST_UNUSED(ExecMethodAsync, BSTR, BSTR, LONG, IWbemContext*, IWbemClassObject*,
                     IWbemObjectSink*)

  private:
    ClassObject* class_;
};

// A BSTR for the length of a statement or a test.
struct Bstr {
    BSTR text;
    explicit Bstr(const wchar_t* value) : text(SysAllocString(value)) {}
    Bstr(const Bstr&) = delete;
    ~Bstr() { SysFreeString(text); }
    operator BSTR() const { return text; }
};

}  // namespace wbem_test
