// The provider object as WMI drives it, with the namespace, the class objects and the sinks
// played by test doubles: initialisation, the enumeration, the method dispatch and the
// method parameters. The methods' work runs for real against an install tree of the test's
// own, found through the machine registry keys.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com_names.h"
#include "com_test_support.h"
#include "plat/registry.h"
#include "scratch_dir.h"
#include "wbem_doubles.h"

namespace {

namespace fs = std::filesystem;
using com_test::Server;
using wbem_test::Bstr;
using wbem_test::ClassObject;
using wbem_test::Namespace;
using wbem_test::ObjectSink;

constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x8004100C);
constexpr LONG kFailed = static_cast<LONG>(0x80041001);

// A provider install tree without components: the settings store in its lib directory.
class ProviderMethods : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.loaded());
        fs::create_directories(root_.path() / "pv" / "lib");
        fs::copy_file(fs::path(com_test::program_directory()) / "jovacfg.dll",
                      root_.path() / "pv" / "lib" / "jovacfg.dll");
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
        plat::RegistryKey location;
        ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine,
                                    "SOFTWARE\\VARMOTH\\KTL-PV\\0001\\PathName"));
        ASSERT_TRUE(location.set_string(
            "Path00", com_test::windows_path((root_.path() / "pv").string()).c_str()));
        name_space_ = new Namespace(wbem_test::make_provider_class());
        init_ = server_.create_provider();
        ASSERT_NE(init_, nullptr);
        ASSERT_EQ(init_->QueryInterface(IID_IWbemServices, reinterpret_cast<void**>(&services_)),
                  S_OK);
    }
    void TearDown() override {
        if (services_ != nullptr) {
            services_->Release();
        }
        if (init_ != nullptr) {
            EXPECT_EQ(init_->Release(), 0u);
        }
        EXPECT_EQ(name_space_->references(), 1) << "the provider gave its reference back";
        name_space_->Release();
        EXPECT_EQ(server_.can_unload_now(), S_OK);
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }

    // Initialize as WMI calls it; the status reported to the sink.
    LONG initialize(IWbemServices* name_space) {
        auto* sink = new wbem_test::InitSink;
        Bstr name(L"root\\cimv2");
        EXPECT_EQ(init_->Initialize(nullptr, 0, name, nullptr, name_space, nullptr, sink),
                  WBEM_S_NO_ERROR);
        EXPECT_EQ(sink->statuses.size(), 1u);
        const LONG status = sink->statuses.empty() ? -1 : sink->statuses[0].first;
        sink->Release();
        return status;
    }

    // A method call; the sink holds what came back.
    struct Call {
        HRESULT returned;
        ObjectSink* sink;
        ~Call() { sink->Release(); }
        HRESULT status() const {
            EXPECT_EQ(sink->statuses.size(), 1u) << "one final status";
            return sink->statuses.empty() ? E_UNEXPECTED : sink->statuses.back().second;
        }
        // The one out-parameter object of a completed call.
        ClassObject* out() const {
            EXPECT_EQ(sink->indicate_calls, std::vector<LONG>{1});
            return sink->objects.size() == 1 ? sink->object(0) : nullptr;
        }
    };
    std::unique_ptr<Call> call(const wchar_t* method, IWbemClassObject* in = nullptr) {
        auto* sink = new ObjectSink;
        Bstr path(L"VarmothKTLPVProvider.id=1");
        Bstr name(method);
        const HRESULT returned = services_->ExecMethodAsync(path, name, 0, nullptr, in, sink);
        auto result = std::unique_ptr<Call>(new Call{returned, sink});
        if (!sink->statuses.empty()) {
            EXPECT_EQ(sink->statuses.back().first, WBEM_STATUS_COMPLETE);
        }
        return result;
    }
    // In-parameters with the component name (or a value of another type).
    static ClassObject* name_parameter(const VARIANT& name) {
        auto* in = new ClassObject({L"ComponentName", L"ConfigData"});
        in->Put(L"ComponentName", 0, const_cast<VARIANT*>(&name), 0);
        return in;
    }
    static VARIANT text(const wchar_t* value) {
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(value);
        return v;
    }

    Server server_;
    plat_test::ScratchDir root_;
    Namespace* name_space_ = nullptr;
    IWbemProviderInit* init_ = nullptr;
    IWbemServices* services_ = nullptr;
};

TEST_F(ProviderMethods, InitializeKeepsTheNamespaceAndWithoutOneLeavesTheProviderUnusable) {
    EXPECT_EQ(initialize(nullptr), kFailed);
    auto unusable = call(L"GetComponentList");
    EXPECT_EQ(unusable->returned, kNotSupported);
    EXPECT_EQ(unusable->status(), kNotSupported);
    EXPECT_TRUE(unusable->sink->objects.empty());
    auto* sink = new ObjectSink;
    Bstr class_name(L"VarmothKTLPVProvider");
    EXPECT_TRUE(FAILED(services_->CreateInstanceEnumAsync(class_name, 0, nullptr, sink)));
    EXPECT_EQ(sink->statuses.size(), 1u);
    EXPECT_TRUE(sink->objects.empty());
    sink->Release();

    EXPECT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    EXPECT_EQ(name_space_->references(), 2) << "a reference of the provider's own";
    auto usable = call(L"GetComponentList");
    EXPECT_EQ(usable->returned, WBEM_S_NO_ERROR);
    EXPECT_EQ(usable->status(), WBEM_S_NO_ERROR);
}

TEST_F(ProviderMethods, EveryOtherSlotAnswersNotSupportedAtOnce) {
    ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    IWbemServices* s = services_;
    auto* sink = new ObjectSink;
    Bstr text(L"VarmothKTLPVProvider");
    const HRESULT answers[] = {
        s->OpenNamespace(text, 0, nullptr, nullptr, nullptr),
        s->CancelAsyncCall(sink),
        s->QueryObjectSink(0, nullptr),
        s->GetObject(text, 0, nullptr, nullptr, nullptr),
        s->GetObjectAsync(text, 0, nullptr, sink),
        s->PutClass(nullptr, 0, nullptr, nullptr),
        s->PutClassAsync(nullptr, 0, nullptr, sink),
        s->DeleteClass(text, 0, nullptr, nullptr),
        s->DeleteClassAsync(text, 0, nullptr, sink),
        s->CreateClassEnum(text, 0, nullptr, nullptr),
        s->CreateClassEnumAsync(text, 0, nullptr, sink),
        s->PutInstance(nullptr, 0, nullptr, nullptr),
        s->PutInstanceAsync(nullptr, 0, nullptr, sink),
        s->DeleteInstance(text, 0, nullptr, nullptr),
        s->DeleteInstanceAsync(text, 0, nullptr, sink),
        s->CreateInstanceEnum(text, 0, nullptr, nullptr),
        s->ExecQuery(text, text, 0, nullptr, nullptr),
        s->ExecQueryAsync(text, text, 0, nullptr, sink),
        s->ExecNotificationQuery(text, text, 0, nullptr, nullptr),
        s->ExecNotificationQueryAsync(text, text, 0, nullptr, sink),
        s->ExecMethod(text, text, 0, nullptr, nullptr, nullptr, nullptr),
    };
    for (std::size_t slot = 0; slot < std::size(answers); ++slot) {
        EXPECT_EQ(answers[slot], kNotSupported) << "slot " << slot;
    }
    EXPECT_TRUE(sink->statuses.empty()) << "and reports nothing";
    EXPECT_TRUE(name_space_->asked.empty());
    sink->Release();
}

TEST_F(ProviderMethods, EnumerationYieldsOneInstanceWithIdOne) {
    ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    auto* sink = new ObjectSink;
    Bstr class_name(L"VarmothKTLPVProvider");
    EXPECT_EQ(services_->CreateInstanceEnumAsync(class_name, 0, nullptr, sink), WBEM_S_NO_ERROR);
    EXPECT_EQ(sink->indicate_calls, std::vector<LONG>{1});
    ASSERT_EQ(sink->objects.size(), 1u);
    const VARIANT id = sink->object(0)->value(L"id");
    EXPECT_EQ(id.vt, VT_I4);
    EXPECT_EQ(id.lVal, 1);
    EXPECT_EQ(sink->statuses,
              (std::vector<std::pair<LONG, HRESULT>>{{WBEM_STATUS_COMPLETE, WBEM_S_NO_ERROR}}));
    sink->Release();
    name_space_->provider_class()->drop_instances();
}

TEST_F(ProviderMethods, OnlyTheFourNamesAsWrittenAndOnlyWithTheClassAreServed) {
    ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    for (const wchar_t* name : {L"getcomponentlist", L"GETCONFIGDATA", L"SetConfigdata",
                                L"GetComponentList ", L"Reset", L""}) {
        auto unknown = call(name);
        EXPECT_EQ(unknown->returned, kNotSupported);
        EXPECT_EQ(unknown->status(), kNotSupported);
        EXPECT_TRUE(unknown->sink->objects.empty());
    }
    EXPECT_EQ(name_space_->provider_class()->instances().size(), 0u) << "no out-parameters made";

    // The same namespace without the class definition.
    auto* empty = new Namespace(nullptr);
    ASSERT_EQ(initialize(empty), WBEM_S_INITIALIZED);
    auto missing = call(L"GetComponentList");
    EXPECT_EQ(missing->returned, kNotSupported);
    EXPECT_EQ(missing->status(), kNotSupported);
    EXPECT_EQ(empty->asked, std::vector<std::wstring>{L"VarmothKTLPVProvider"});
    services_->Release();
    services_ = nullptr;
    EXPECT_EQ(init_->Release(), 0u);
    init_ = nullptr;
    EXPECT_EQ(empty->references(), 1);
    empty->Release();
}

// A class without the method's signature, and a namespace without the class to enumerate:
// the call completes with the failure that stopped it and hands out nothing.
TEST_F(ProviderMethods, WhatCannotBeObtainedCompletesWithAFailureStatus) {
    auto* bare = new Namespace(new ClassObject({L"id"}));
    ASSERT_EQ(initialize(bare), WBEM_S_INITIALIZED);
    auto no_signature = call(L"GetComponentList");
    EXPECT_EQ(no_signature->returned, WBEM_E_NOT_FOUND);
    EXPECT_EQ(no_signature->status(), WBEM_E_NOT_FOUND);
    EXPECT_TRUE(no_signature->sink->objects.empty());

    auto* sink = new ObjectSink;
    Bstr other_class(L"NoSuchClass");
    EXPECT_EQ(services_->CreateInstanceEnumAsync(other_class, 0, nullptr, sink), WBEM_E_NOT_FOUND);
    EXPECT_EQ(sink->statuses,
              (std::vector<std::pair<LONG, HRESULT>>{{WBEM_STATUS_COMPLETE, WBEM_E_NOT_FOUND}}));
    EXPECT_TRUE(sink->objects.empty());
    sink->Release();
    services_->Release();
    services_ = nullptr;
    EXPECT_EQ(init_->Release(), 0u);
    init_ = nullptr;
    EXPECT_EQ(bare->references(), 1);
    bare->Release();
}

TEST_F(ProviderMethods, ComponentListWithoutTheAssistKeyIsEmptyAndSucceeds) {
    ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    auto list = call(L"GetComponentList");
    EXPECT_EQ(list->returned, WBEM_S_NO_ERROR);
    EXPECT_EQ(list->status(), WBEM_S_NO_ERROR);
    ClassObject* out = list->out();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->text(L"ComponentList"), L"<programs>\n</programs>\n");
    const VARIANT result = out->value(L"ReturnValue");
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 0);
    EXPECT_EQ(out->names_put(), (std::set<std::wstring>{L"ComponentList", L"ReturnValue"}));
}

TEST_F(ProviderMethods, FilesOfAComponentThatIsNotListedFailInReturnValueOnly) {
    ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    VARIANT number;
    VariantInit(&number);
    number.vt = VT_I4;
    number.lVal = 7;
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    VARIANT unlisted = text(L"Nobody");
    for (const wchar_t* method : {L"GetConfigData", L"GetConfigDefine"}) {
        const std::wstring text_name =
            method == std::wstring(L"GetConfigData") ? L"ConfigData" : L"ConfigDefine";
        for (const VARIANT* name : {&unlisted, &number, &null, static_cast<VARIANT*>(nullptr)}) {
            ClassObject* in = name != nullptr ? name_parameter(*name) : nullptr;
            auto failed = call(method, in);
            EXPECT_EQ(failed->returned, WBEM_S_NO_ERROR);
            EXPECT_EQ(failed->status(), WBEM_S_NO_ERROR);
            ClassObject* out = failed->out();
            ASSERT_NE(out, nullptr);
            const VARIANT result = out->value(L"ReturnValue");
            EXPECT_EQ(result.vt, VT_I4);
            EXPECT_EQ(result.lVal, kFailed);
            EXPECT_EQ(out->names_put(), std::set<std::wstring>{L"ReturnValue"})
                << "no " << std::string(text_name.begin(), text_name.end());
            if (in != nullptr) {
                in->Release();
            }
        }
    }
    VariantClear(&unlisted);
    auto set = call(L"SetConfigData");
    ASSERT_NE(set->out(), nullptr);
    EXPECT_EQ(set->out()->value(L"ReturnValue").lVal, kFailed);
}

// The watchdog service installed as the provider's component, with its shipped
// registration, definition and value files.
class ProviderWithService : public ProviderMethods {
  protected:
    void SetUp() override {
        ProviderMethods::SetUp();
        plat_test::write_text(pv_cnf_ / "jovacnsw.xml",
                              plat_test::read_text(fs::path(PROVIDER_CNF_DIR) / "jovacnsw.xml"));
        for (const char* file : {"jowdtcns.xml", "jowdtdef.xml", "jowdtcfg.xml"}) {
            plat_test::write_text(cnf_ / file,
                                  plat_test::read_text(fs::path(PACKAGING_CNF_DIR) / file));
        }
        plat::RegistryKey service;
        ASSERT_TRUE(service.create(plat::RegistryRoot::local_machine,
                                   "SOFTWARE\\VARMOTH\\KTL-OR\\0001\\PathName"));
        ASSERT_TRUE(service.set_string(
            "Path00", com_test::windows_path((root_.path() / "or").string()).c_str()));
        plat::RegistryKey assist;
        ASSERT_TRUE(
            assist.create(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH\\KTL-PV\\ASSIST"));
        ASSERT_TRUE(assist.set_string(
            "Orvalis", com_test::windows_path((cnf_ / "jowdtcns.xml").string()).c_str()));
        ASSERT_EQ(initialize(name_space_), WBEM_S_INITIALIZED);
    }
    // UTF-8 as UTF-16.
    static std::wstring wide(const std::string& utf8) {
        std::wstring result(utf8.size(), L'\0');
        result.resize(static_cast<std::size_t>(MultiByteToWideChar(
            CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
            result.data(), static_cast<int>(result.size()))));
        return result;
    }

    const fs::path pv_cnf_ = root_.path() / "pv" / "cnf";
    const fs::path cnf_ = root_.path() / "or" / "cnf";
};

// U+00F6 and two characters beyond Latin: two and three bytes in UTF-8.
constexpr char kNameUtf8[] = "j\xc3\xb6vx-\xe6\x97\xa5\xe6\x9c\xac";
constexpr wchar_t kNameWide[] = L"j\u00f6vx-\u65e5\u672c";

TEST_F(ProviderWithService, FilesAndListComeBackAsUtf16Texts) {
    const std::string values = "<config>\n  <LogName>" + std::string(kNameUtf8) +
                               "</LogName>\n  <TimeoutInterval>90</TimeoutInterval>\n</config>\n";
    plat_test::write_text(cnf_ / "jowdtcfg.xml", values);
    VARIANT name = text(L"Orvalis");
    ClassObject* in = name_parameter(name);
    VariantClear(&name);
    const struct {
        const wchar_t* method;
        const wchar_t* out_name;
        std::wstring expected;
    } cases[] = {
        {L"GetConfigData", L"ConfigData", wide(values)},
        {L"GetConfigDefine", L"ConfigDefine", wide(plat_test::read_text(cnf_ / "jowdtdef.xml"))},
    };
    for (const auto& c : cases) {
        auto got = call(c.method, in);
        EXPECT_EQ(got->status(), WBEM_S_NO_ERROR);
        ClassObject* out = got->out();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->value(L"ReturnValue").lVal, 0);
        EXPECT_TRUE(out->text(c.out_name) == c.expected) << "the whole file, converted";
    }
    EXPECT_NE(cases[0].expected.find(kNameWide), std::wstring::npos);
    in->Release();

    auto list = call(L"GetComponentList");
    ClassObject* out = list->out();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->value(L"ReturnValue").lVal, 0);
    const std::wstring document = out->text(L"ComponentList");
    EXPECT_EQ(document.rfind(L"<programs>\n  <program>\n    <name>Orvalis</name>\n", 0), 0u);
    EXPECT_NE(document.find(L"    <dispstring>Watchdog service</dispstring>\n  </program>\n"
                            L"</programs>\n"),
              std::wstring::npos);
}

// The watchdog service's window in another process.
class WatchdogWindow {
  public:
    WatchdogWindow() {
        const std::wstring event_name = L"jovaprv-test-" + std::to_wstring(GetCurrentProcessId());
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        std::wstring line = L"\"" + com_test::program_directory() +
                            L"jovaprv_com_watchdog_window.exe\" " + event_name;
        if (ready == nullptr || !CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0,
                                                nullptr, nullptr, &startup, &process)) {
            ADD_FAILURE() << "the window program does not start: " << GetLastError();
        } else {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
            const HANDLE either[] = {ready, process_};
            EXPECT_EQ(WaitForMultipleObjects(2, either, FALSE, 30000), WAIT_OBJECT_0)
                << "the window was not made";
        }
        if (ready != nullptr) {
            CloseHandle(ready);
        }
    }
    ~WatchdogWindow() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            CloseHandle(process_);
        }
    }
    WatchdogWindow(const WatchdogWindow&) = delete;
    WatchdogWindow& operator=(const WatchdogWindow&) = delete;

    // The window program's exit code: 0 once it got the reload message.
    DWORD outcome() const {
        DWORD code = 99;
        if (process_ == nullptr || WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the window program did not end";
        } else {
            GetExitCodeProcess(process_, &code);
        }
        return code;
    }

  private:
    HANDLE process_ = nullptr;
};

TEST_F(ProviderWithService, SetConfigDataChangesTheValueFileAndTellsTheServiceWindow) {
    const std::string before = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    ASSERT_NE(before.find("<TimeoutInterval>1200</TimeoutInterval>"), std::string::npos);
    WatchdogWindow window;

    auto* in = new ClassObject({L"ComponentName", L"ConfigData"});
    VARIANT name = text(L"Orvalis");
    VARIANT data = text((std::wstring(L"<config>\n  <TimeoutInterval>600</TimeoutInterval>\n"
                                      L"  <LogName>") +
                         kNameWide + L"</LogName>\n</config>\n")
                            .c_str());
    in->Put(L"ComponentName", 0, &name, 0);
    in->Put(L"ConfigData", 0, &data, 0);
    VariantClear(&name);
    VariantClear(&data);
    auto set = call(L"SetConfigData", in);
    in->Release();
    EXPECT_EQ(set->returned, WBEM_S_NO_ERROR);
    EXPECT_EQ(set->status(), WBEM_S_NO_ERROR);
    ClassObject* out = set->out();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->value(L"ReturnValue").lVal, 0);
    EXPECT_EQ(out->names_put(), std::set<std::wstring>{L"ReturnValue"});

    const std::string after = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    EXPECT_NE(after.find("<TimeoutInterval>600</TimeoutInterval>"), std::string::npos) << after;
    EXPECT_NE(after.find("<LogName>" + std::string(kNameUtf8) + "</LogName>"), std::string::npos)
        << "stored as UTF-8";
    EXPECT_NE(after.find("<IntervalCount>2</IntervalCount>"), std::string::npos) << "kept";
    EXPECT_EQ(plat_test::read_text(cnf_ / "jowdtcfg.old"), before);
    EXPECT_EQ(window.outcome(), 0u) << "WM_RELOADCONFIG with both parameters 0";
}

// A ReturnValue, or -1 when the call did not complete with one out-parameter object.
LONG return_value(IWbemServices* services, const wchar_t* method, IWbemClassObject* in,
                  std::wstring* text = nullptr, const wchar_t* text_name = nullptr) {
    auto* sink = new ObjectSink;
    Bstr path(L"VarmothKTLPVProvider.id=1");
    Bstr name(method);
    LONG result = -1;
    if (services->ExecMethodAsync(path, name, 0, nullptr, in, sink) == WBEM_S_NO_ERROR &&
        sink->objects.size() == 1 && sink->statuses.size() == 1 &&
        sink->statuses[0].second == WBEM_S_NO_ERROR) {
        result = sink->object(0)->value(L"ReturnValue").lVal;
        if (text != nullptr) {
            *text = sink->object(0)->text(text_name);
        }
    }
    sink->Release();
    return result;
}

ClassObject* set_parameters(const std::wstring& data) {
    auto* in = new ClassObject({L"ComponentName", L"ConfigData"});
    VARIANT name;
    VariantInit(&name);
    name.vt = VT_BSTR;
    name.bstrVal = SysAllocString(L"Orvalis");
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = SysAllocStringLen(data.data(), static_cast<UINT>(data.size()));
    in->Put(L"ComponentName", 0, &name, 0);
    in->Put(L"ConfigData", 0, &value, 0);
    VariantClear(&name);
    VariantClear(&value);
    return in;
}

// WMI calls a provider registered for both threading models from any thread.
TEST_F(ProviderWithService, CallsFromSeveralThreadsAtOnceEachCompleteAndLeaveAWholeValueFile) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ClassObject* get = set_parameters(L"");
            for (int round = 0; round < kRounds; ++round) {
                if (round % 2 == 0) {
                    std::wstring text;
                    if (return_value(services_, L"GetConfigData", get, &text, L"ConfigData") != 0 ||
                        text.find(L"<TimeoutInterval>") == std::wstring::npos) {
                        ++failed;
                    }
                    continue;
                }
                ClassObject* in = set_parameters(L"<config><TimeoutInterval>" +
                                                 std::to_wstring(100 + 10 * t + round) +
                                                 L"</TimeoutInterval></config>");
                failed += return_value(services_, L"SetConfigData", in) != 0;
                in->Release();
            }
            get->Release();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failed.load(), 0);
    const std::string after = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    const std::size_t at = after.find("<TimeoutInterval>1");
    EXPECT_NE(at, std::string::npos) << after;
    EXPECT_EQ(after.find("<TimeoutInterval>", at + 1), std::string::npos) << after;
    EXPECT_NE(after.find("<IntervalCount>2</IntervalCount>"), std::string::npos) << after;
}

TEST_F(ProviderWithService, HugeTextsComeBackWholeAndNeverTearTheValueFile) {
    // 16 MiB: eight million two-byte characters.
    std::string values = "<config>\n  <LogName>";
    for (int i = 0; i < 8 * 1024 * 1024; ++i) {
        values += "\xc3\xb6";
    }
    values += "</LogName>\n</config>\n";
    plat_test::write_text(cnf_ / "jowdtcfg.xml", values);
    ClassObject* get = set_parameters(L"");
    std::wstring text;
    EXPECT_EQ(return_value(services_, L"GetConfigData", get, &text, L"ConfigData"), 0);
    get->Release();
    EXPECT_EQ(text.size(), values.size() - 8 * 1024 * 1024);
    EXPECT_TRUE(text == wide(values)) << "whole and converted";

    // A document as large: the store takes it whole (the item after the long name is read
    // only then) or refuses it, and the value file is never torn.
    ClassObject* set =
        set_parameters(L"<config><LogName>" + std::wstring(8 * 1024 * 1024, L'\u00e4') +
                       L"</LogName><TimeoutInterval>77</TimeoutInterval></config>");
    const LONG result = return_value(services_, L"SetConfigData", set);
    set->Release();
    const std::string after = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    if (result == 0) {
        EXPECT_NE(after.find("<TimeoutInterval>77</TimeoutInterval>"), std::string::npos);
        EXPECT_NE(after.find("\xc3\xa4\xc3\xa4</LogName>"), std::string::npos) << "the new name";
    } else {
        EXPECT_EQ(result, kFailed);
        EXPECT_TRUE(after == values) << "untouched";
    }
    name_space_->provider_class()->drop_instances();
}

}  // namespace
