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
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace wbem_test {

inline bool same_name(const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// IUnknown with a count that the tests can read.
template <typename Interface>
class Counted : public Interface {
  public:
    Counted(REFIID iid) : iid_(iid) {}
    virtual ~Counted() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
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

// A class object or an instance: properties (named as declared, case aside, as WMI does)
// and, for a class, methods with their out-parameter classes.
class ClassObject final : public Counted<IWbemClassObject> {
  public:
    // A class with these properties; an instance of it starts with all of them empty.
    explicit ClassObject(std::vector<std::wstring> properties)
        : Counted(IID_IWbemClassObject), declared_(std::move(properties)) {}
    ~ClassObject() override {
        for (auto& [name, value] : values_) {
            VariantClear(&value);
        }
        for (auto& [name, method] : methods_) {
            if (method.in != nullptr) {
                method.in->Release();
            }
            method.out->Release();
        }
        drop_instances();
    }

    // The out-parameter class of the method, which the class keeps.
    void add_method(const std::wstring& name, ClassObject* in, ClassObject* out) {
        methods_[name] = {in, out};
    }
    // What Put stored, by the name as it was put; VT_EMPTY when nothing was.
    VARIANT value(const std::wstring& name) const {
        const auto found = values_.find(name);
        VARIANT copy;
        VariantInit(&copy);
        if (found != values_.end()) {
            VariantCopy(&copy, const_cast<VARIANT*>(&found->second));
        }
        return copy;
    }
    std::wstring text(const std::wstring& name) const {
        VARIANT v = value(name);
        std::wstring text =
            v.vt == VT_BSTR ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"<not a text>";
        VariantClear(&v);
        return text;
    }
    std::set<std::wstring> names_put() const {
        std::set<std::wstring> names;
        for (const auto& [name, value] : values_) {
            names.insert(name);
        }
        return names;
    }

    HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE*, LONG*) override {
        if (name == nullptr || !declared(name)) {
            return WBEM_E_NOT_FOUND;
        }
        VariantInit(value);
        for (const auto& [stored, stored_value] : values_) {
            if (same_name(stored, name)) {
                return VariantCopy(value, const_cast<VARIANT*>(&stored_value));
            }
        }
        value->vt = VT_NULL;
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE) override {
        if (name == nullptr || !declared(name)) {
            return WBEM_E_NOT_FOUND;
        }
        VARIANT& slot = values_[name];
        VariantClear(&slot);
        return VariantCopy(&slot, value);
    }
    // Case aside, as WMI matches names.
    HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR name, LONG, IWbemClassObject** in,
                                        IWbemClassObject** out) override {
        for (const auto& [stored, method] : methods_) {
            if (name != nullptr && same_name(stored, name)) {
                if (in != nullptr) {
                    *in = method.in;
                    if (method.in != nullptr) {
                        method.in->AddRef();
                    }
                }
                if (out != nullptr) {
                    *out = method.out;
                    method.out->AddRef();
                }
                return WBEM_S_NO_ERROR;
            }
        }
        return WBEM_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** instance) override {
        auto* made = new ClassObject(declared_);
        std::lock_guard<std::mutex> lock(mutex_);  // the provider may run on several threads
        instances_.push_back(made);
        made->AddRef();  // kept for the test to look at
        *instance = made;
        return WBEM_S_NO_ERROR;
    }
    // The instances spawned so far (the class keeps one reference to each).
    const std::vector<ClassObject*>& instances() const { return instances_; }
    void drop_instances() {
        for (ClassObject* instance : instances_) {
            instance->Release();
        }
        instances_.clear();
    }

    // Not used by the provider.
    HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*,
                                        IWbemClassObject*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**,
                                         IWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return E_NOTIMPL; }

  private:
    struct Method {
        ClassObject* in;
        ClassObject* out;
    };
    bool declared(const std::wstring& name) const {
        for (const std::wstring& property : declared_) {
            if (same_name(property, name)) {
                return true;
            }
        }
        return false;
    }

    std::vector<std::wstring> declared_;
    std::map<std::wstring, VARIANT> values_;
    std::map<std::wstring, Method> methods_;
    std::mutex mutex_;
    std::vector<ClassObject*> instances_;
};

// The class as the provider's MOF declares it.
inline ClassObject* make_provider_class() {
    auto* the_class = new ClassObject({L"id"});
    the_class->add_method(L"GetComponentList", nullptr,
                          new ClassObject({L"ComponentList", L"ReturnValue"}));
    for (const wchar_t* method : {L"GetConfigDefine", L"GetConfigData"}) {
        const std::wstring text =
            method == std::wstring(L"GetConfigDefine") ? L"ConfigDefine" : L"ConfigData";
        the_class->add_method(method, new ClassObject({L"ComponentName"}),
                              new ClassObject({text, L"ReturnValue"}));
    }
    the_class->add_method(L"SetConfigData", new ClassObject({L"ComponentName", L"ConfigData"}),
                          new ClassObject({L"ReturnValue"}));
    return the_class;
}

// Records every Indicate (with a reference to each object) and SetStatus.
class ObjectSink final : public Counted<IWbemObjectSink> {
  public:
    ObjectSink() : Counted(IID_IWbemObjectSink) {}
    ~ObjectSink() override {
        for (IWbemClassObject* object : objects) {
            object->Release();
        }
    }
    HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** array) override {
        indicate_calls.push_back(count);
        for (LONG i = 0; i < count; ++i) {
            array[i]->AddRef();
            objects.push_back(array[i]);
        }
        return WBEM_S_NO_ERROR;
    }
    HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR,
                                        IWbemClassObject*) override {
        statuses.push_back({flags, result});
        return WBEM_S_NO_ERROR;
    }
    ClassObject* object(std::size_t i) const { return static_cast<ClassObject*>(objects.at(i)); }

    std::vector<LONG> indicate_calls;
    std::vector<IWbemClassObject*> objects;
    std::vector<std::pair<LONG, HRESULT>> statuses;
};

class InitSink final : public Counted<IWbemProviderInitSink> {
  public:
    InitSink() : Counted(IID_IWbemProviderInitSink) {}
    HRESULT STDMETHODCALLTYPE SetStatus(LONG status, LONG flags) override {
        statuses.push_back({status, flags});
        return WBEM_S_NO_ERROR;
    }
    std::vector<std::pair<LONG, LONG>> statuses;
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
    ClassObject* provider_class() const { return class_; }
    std::vector<std::wstring> asked;  // GetObject's paths, in order

    HRESULT STDMETHODCALLTYPE GetObject(const BSTR path, LONG, IWbemContext*,
                                        IWbemClassObject** object, IWbemCallResult**) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            asked.push_back(path != nullptr ? path : L"<null>");
        }
        if (class_ == nullptr || path == nullptr || !same_name(path, L"VarmothKTLPVProvider")) {
            return WBEM_E_NOT_FOUND;
        }
        class_->AddRef();
        *object = class_;
        return WBEM_S_NO_ERROR;
    }

    // Not used by the provider.
    HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**,
                                            IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG, IWbemObjectSink**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject*, LONG, IWbemContext*,
                                       IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject*, LONG, IWbemContext*,
                                            IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR, LONG, IWbemContext*,
                                          IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR, LONG, IWbemContext*,
                                               IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR, LONG, IWbemContext*,
                                              IEnumWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR, LONG, IWbemContext*,
                                                   IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject*, LONG, IWbemContext*,
                                          IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*,
                                               IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR, LONG, IWbemContext*,
                                             IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR, LONG, IWbemContext*,
                                                  IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR, LONG, IWbemContext*,
                                                 IEnumWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*,
                                                      IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                        IEnumWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                             IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*,
                                                    IEnumWbemClassObject**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR, const BSTR, LONG,
                                                         IWbemContext*, IWbemObjectSink*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*,
                                         IWbemClassObject*, IWbemClassObject**,
                                         IWbemCallResult**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*,
                                              IWbemClassObject*, IWbemObjectSink*) override {
        return E_NOTIMPL;
    }

  private:
    std::mutex mutex_;
    ClassObject* class_;
};

// A BSTR for the length of a statement or a test.
class Bstr {
  public:
    explicit Bstr(const wchar_t* text) : text_(text != nullptr ? SysAllocString(text) : nullptr) {}
    Bstr(const wchar_t* text, UINT length) : text_(SysAllocStringLen(text, length)) {}
    ~Bstr() { SysFreeString(text_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return text_; }

  private:
    BSTR text_;
};

}  // namespace wbem_test
