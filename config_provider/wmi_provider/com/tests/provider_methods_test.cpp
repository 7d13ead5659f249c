// The provider object as WMI drives it, with the namespace, the class objects and the sinks
// played by test doubles. The methods' work runs for real against an install tree of the
// test's own, found through the machine registry keys.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "com_test_support.h"
#include "plat/registry.h"
#include "scratch_dir.h"
#include "wbem_doubles.h"

namespace {

namespace fs = std::filesystem;
using wbem_test::ClassObject;
using wbem_test::Ref;
using wbem_test::text_variant;

constexpr HRESULT kNotSupported = static_cast<HRESULT>(0x8004100C);
constexpr LONG kFailed = static_cast<LONG>(0x80041001);
constexpr wchar_t kClass[] = L"VarmothKTLPVProvider";

// One asynchronous call and what its sink received.
struct Call {
    HRESULT returned;
    Ref<wbem_test::ObjectSink> sink;

    // What the call returned, when it also reported just that once as complete and handed out
    // one object on success and none on failure; E_UNEXPECTED otherwise.
    HRESULT result() const {
        const auto& s = sink->statuses;
        const bool consistent = s.size() == 1 && s[0].first == WBEM_STATUS_COMPLETE &&
                                s[0].second == returned &&
                                sink->objects.size() == (SUCCEEDED(returned) ? 1u : 0u);
        return consistent ? returned : E_UNEXPECTED;
    }
    ClassObject* out() const { return sink->objects.size() == 1 ? sink->objects[0] : nullptr; }
    // The ReturnValue of a call that succeeded as above; -1 otherwise.
    LONG return_value() const {
        return result() == WBEM_S_NO_ERROR ? out()->number(L"ReturnValue") : -1;
    }
};

// In-parameters: the component's name (any value) and a document.
Ref<ClassObject> parameters(VARIANT name, const std::wstring& data = L"") {
    Ref<ClassObject> in(new ClassObject({L"ComponentName", L"ConfigData"}));
    in->set(L"ComponentName", name);
    in->set(L"ConfigData", text_variant(data));
    return in;
}

// UTF-8 as UTF-16.
std::wstring wide(const std::string& utf8) {
    std::wstring result(utf8.size(), L'\0');
    result.resize(static_cast<std::size_t>(MultiByteToWideChar(
        CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), result.data(),
        static_cast<int>(result.size()))));
    return result;
}

// A provider install tree without components: the settings store in its lib directory.
class ProviderMethods : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.loaded());
        fs::create_directories(root_.path() / "pv" / "lib");
        fs::copy_file(fs::path(com_test::program_directory()) / "jovacfg.dll",
                      root_.path() / "pv" / "lib" / "jovacfg.dll");
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
        set_key("KTL-PV\\0001\\PathName", "Path00", root_.path() / "pv");
        init_ = server_.create_provider();
        ASSERT_NE(init_, nullptr);
        IWbemServices* services = nullptr;
        ASSERT_EQ(init_->QueryInterface(IID_IWbemServices, reinterpret_cast<void**>(&services)),
                  S_OK);
        services_.reset(services);
        ASSERT_EQ(initialize(name_space_.get()), WBEM_S_INITIALIZED);
    }
    void TearDown() override {
        services_.reset();
        if (init_ != nullptr) {
            EXPECT_EQ(init_->Release(), 0u);
        }
        EXPECT_EQ(name_space_->references(), 1) << "the provider gave its reference back";
        EXPECT_TRUE(server_.loaded() && server_.can_unload_now() == S_OK);
        plat::delete_registry_tree(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH");
    }

    void set_key(const std::string& key, const char* name, const fs::path& path) {
        plat::RegistryKey made;
        ASSERT_TRUE(
            made.create(plat::RegistryRoot::local_machine, ("SOFTWARE\\VARMOTH\\" + key).c_str()));
        ASSERT_TRUE(made.set_string(name, com_test::windows_path(path.string()).c_str()));
    }

    // Initialize as WMI calls it; the one status reported to the sink.
    LONG initialize(IWbemServices* name_space) {
        Ref<wbem_test::InitSink> sink(new wbem_test::InitSink);
        wbem_test::Bstr name(L"root\\cimv2");
        EXPECT_EQ(init_->Initialize(nullptr, 0, name, nullptr, name_space, nullptr, sink.get()),
                  WBEM_S_NO_ERROR);
        return sink->statuses.size() == 1 ? sink->statuses[0] : -1;
    }

    Call exec(const wchar_t* method, IWbemClassObject* in = nullptr) {
        Call call{E_UNEXPECTED, Ref<wbem_test::ObjectSink>(new wbem_test::ObjectSink)};
        wbem_test::Bstr path(L"VarmothKTLPVProvider.id=1");
        wbem_test::Bstr name(method);
        call.returned = services_->ExecMethodAsync(path, name, 0, nullptr, in, call.sink.get());
        return call;
    }
    Call enumerate(const wchar_t* class_name) {
        Call call{E_UNEXPECTED, Ref<wbem_test::ObjectSink>(new wbem_test::ObjectSink)};
        wbem_test::Bstr name(class_name);
        call.returned = services_->CreateInstanceEnumAsync(name, 0, nullptr, call.sink.get());
        return call;
    }

    com_test::Server server_;
    plat_test::ScratchDir root_;
    const Ref<wbem_test::Namespace> name_space_{
        new wbem_test::Namespace(wbem_test::make_provider_class())};
    IWbemProviderInit* init_ = nullptr;
    Ref<IWbemServices> services_;
};

// Without the namespace nothing is served; with it the class is enumerated and, without the
// ASSIST key, the component list is empty and succeeds.
TEST_F(ProviderMethods, InitializeKeepsTheNamespaceThatEnumerationAndMethodsNeed) {
    EXPECT_EQ(initialize(nullptr), kFailed);
    EXPECT_EQ(name_space_->references(), 1) << "the namespace it replaced was given back";
    EXPECT_EQ(exec(L"GetComponentList").result(), kNotSupported);
    EXPECT_EQ(enumerate(kClass).result(), WBEM_E_FAILED);

    EXPECT_EQ(initialize(name_space_.get()), WBEM_S_INITIALIZED);
    EXPECT_EQ(name_space_->references(), 2) << "a reference of the provider's own";
    const Call found = enumerate(kClass);
    ASSERT_EQ(found.result(), WBEM_S_NO_ERROR);
    EXPECT_EQ(found.out()->number(L"id"), 1);
    EXPECT_EQ(enumerate(L"NoSuchClass").result(), WBEM_E_NOT_FOUND);
    const Call list = exec(L"GetComponentList");
    ASSERT_EQ(list.return_value(), 0);
    EXPECT_EQ(list.out()->text(L"ComponentList"), L"<programs>\n</programs>\n");
}

TEST_F(ProviderMethods, EveryOtherSlotAnswersNotSupportedAtOnce) {
    IWbemServices* s = services_.get();
    const Ref<wbem_test::ObjectSink> owned(new wbem_test::ObjectSink);
    IWbemObjectSink* sink = owned.get();
    wbem_test::Bstr text(kClass);
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
    EXPECT_TRUE(owned->statuses.empty()) << "and reports nothing";
}

TEST_F(ProviderMethods, OnlyTheFourNamesAsWrittenAndOnlyWithTheirClassAreServed) {
    for (const wchar_t* name : {L"getcomponentlist", L"GETCONFIGDATA", L"SetConfigdata",
                                L"GetComponentList ", L"Reset", L""}) {
        EXPECT_EQ(exec(name).result(), kNotSupported);
    }
    // A namespace without the class, a class without the method's signature, and one whose
    // out-parameters cannot take the ReturnValue: the call completes with the failure that
    // stopped it.
    auto* without_return_value = new ClassObject({L"id"});
    without_return_value->add_method(L"GetComponentList", new ClassObject({L"ComponentList"}));
    const struct {
        ClassObject* the_class;
        HRESULT expected;
    } broken[] = {{nullptr, kNotSupported},
                  {new ClassObject({L"id"}), static_cast<HRESULT>(WBEM_E_NOT_FOUND)},
                  {without_return_value, static_cast<HRESULT>(WBEM_E_NOT_FOUND)}};
    for (const auto& b : broken) {
        const Ref<wbem_test::Namespace> other(new wbem_test::Namespace(b.the_class));
        ASSERT_EQ(initialize(other.get()), WBEM_S_INITIALIZED);
        EXPECT_EQ(exec(L"GetComponentList").result(), b.expected);
        ASSERT_EQ(initialize(name_space_.get()), WBEM_S_INITIALIZED);
        EXPECT_EQ(other->references(), 1) << "the replaced namespace was given back";
    }
}

TEST_F(ProviderMethods, AComponentThatIsNotListedOrNoTextNameFailsInReturnValueOnly) {
    VARIANT number{};
    number.vt = VT_I4;
    number.lVal = 7;
    VARIANT null{};
    null.vt = VT_NULL;
    const Ref<ClassObject> ins[] = {parameters(text_variant(L"Nobody")), parameters(number),
                                    parameters(null), nullptr};
    for (const wchar_t* method : {L"GetConfigData", L"GetConfigDefine", L"SetConfigData"}) {
        for (const Ref<ClassObject>& in : ins) {
            const Call failed = exec(method, in.get());
            ASSERT_EQ(failed.return_value(), kFailed);
            EXPECT_FALSE(failed.out()->has(L"ConfigData") || failed.out()->has(L"ConfigDefine"))
                << "no document";
        }
    }
}

// The watchdog service installed as the provider's component, with its shipped
// registration, definition and value files.
class ProviderWithService : public ProviderMethods {
  protected:
    void SetUp() override {
        ProviderMethods::SetUp();
        plat_test::write_text(root_.path() / "pv" / "cnf" / "jovacnsw.xml",
                              plat_test::read_text(fs::path(PROVIDER_CNF_DIR) / "jovacnsw.xml"));
        for (const char* file : {"jowdtcns.xml", "jowdtdef.xml", "jowdtcfg.xml"}) {
            plat_test::write_text(cnf_ / file,
                                  plat_test::read_text(fs::path(PACKAGING_CNF_DIR) / file));
        }
        set_key("KTL-OR\\0001\\PathName", "Path00", root_.path() / "or");
        set_key("KTL-PV\\ASSIST", "Orvalis", cnf_ / "jowdtcns.xml");
    }

    Call get_values() { return exec(L"GetConfigData", orvalis_.get()); }
    Call set_values(const std::wstring& document) {
        return exec(L"SetConfigData", parameters(text_variant(L"Orvalis"), document).get());
    }

    const fs::path cnf_ = root_.path() / "or" / "cnf";
    const Ref<ClassObject> orvalis_ = parameters(text_variant(L"Orvalis"));
};

// U+00F6 and two characters beyond Latin: two and three bytes in UTF-8.
const std::string kNameUtf8 = "j\xc3\xb6vx-\xe6\x97\xa5\xe6\x9c\xac";
constexpr wchar_t kNameWide[] = L"j\u00f6vx-\u65e5\u672c";

TEST_F(ProviderWithService, DefinitionAndListComeBackAsUtf16Texts) {
    const Call define = exec(L"GetConfigDefine", orvalis_.get());
    ASSERT_EQ(define.return_value(), 0);
    EXPECT_TRUE(define.out()->text(L"ConfigDefine") ==
                wide(plat_test::read_text(cnf_ / "jowdtdef.xml")))
        << "the whole file, converted";

    const Call list = exec(L"GetComponentList");
    ASSERT_EQ(list.return_value(), 0);
    const std::wstring document = list.out()->text(L"ComponentList");
    EXPECT_EQ(document.rfind(L"<programs>\n  <program>\n    <name>Orvalis</name>\n", 0), 0u);
    EXPECT_NE(document.find(L"    <dispstring>Watchdog service</dispstring>\n  </program>\n"
                            L"</programs>\n"),
              std::wstring::npos);
}

TEST_F(ProviderWithService, SetConfigDataChangesTheValueFileAndTellsTheServiceWindow) {
    const std::string before = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    ASSERT_NE(before.find("<TimeoutInterval>1200</TimeoutInterval>"), std::string::npos);
    // The service's window in another process: it exits 0 once it got the reload message
    // with both parameters 0.
    const std::wstring event_name = L"jovaprv-test-" + std::to_wstring(GetCurrentProcessId());
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, event_name.c_str());
    ASSERT_NE(ready, nullptr);
    const HANDLE window = com_test::start(L"\"" + com_test::program_directory() +
                                          L"jovaprv_com_watchdog_window.exe\" " + event_name);
    const HANDLE either[] = {ready, window};
    const DWORD made =
        window != nullptr ? WaitForMultipleObjects(2, either, FALSE, 30000) : WAIT_FAILED;
    CloseHandle(ready);
    EXPECT_EQ(made, WAIT_OBJECT_0) << "the window was not made";

    const Call set = set_values(L"<config>\n  <TimeoutInterval>600</TimeoutInterval>\n  <LogName>" +
                                std::wstring(kNameWide) + L"</LogName>\n</config>\n");
    EXPECT_EQ(set.return_value(), 0);
    const std::string after = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    EXPECT_NE(after.find("<TimeoutInterval>600</TimeoutInterval>"), std::string::npos) << after;
    EXPECT_NE(after.find("<LogName>" + kNameUtf8 + "</LogName>"), std::string::npos)
        << "stored as UTF-8";
    EXPECT_NE(after.find("<IntervalCount>2</IntervalCount>"), std::string::npos) << "kept";
    EXPECT_EQ(plat_test::read_text(cnf_ / "jowdtcfg.old"), before);
    EXPECT_EQ(com_test::finish(window, 30000), 0) << "WM_RELOADCONFIG with both parameters 0";
}

// WMI calls a provider registered for both threading models from any thread.
TEST_F(ProviderWithService, CallsFromSeveralThreadsAtOnceEachCompleteAndLeaveAWholeValueFile) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 6;
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const bool get = round % 2 == 0;
                const Call call = get ? get_values()
                                      : set_values(L"<config><TimeoutInterval>" +
                                                   std::to_wstring(100 + 10 * t + round) +
                                                   L"</TimeoutInterval></config>");
                failed += call.return_value() != 0 ||
                          (get && call.out()->text(L"ConfigData").find(L"<TimeoutInterval>") ==
                                      std::wstring::npos);
            }
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
    // A name of three-byte characters and 16 MiB of two-byte ones.
    constexpr std::size_t kChars = 8 * 1024 * 1024;
    std::string values = "<config>\n  <LogName>" + kNameUtf8;
    for (std::size_t i = 0; i < kChars; ++i) {
        values += "\xc3\xb6";
    }
    values += "</LogName>\n</config>\n";
    plat_test::write_text(cnf_ / "jowdtcfg.xml", values);
    {
        const Call get = get_values();
        ASSERT_EQ(get.return_value(), 0);
        const std::wstring text = get.out()->text(L"ConfigData");
        EXPECT_EQ(text.find(kNameWide), 20u) << "converted from UTF-8";
        EXPECT_TRUE(text == wide(values)) << "whole and converted";
    }
    // A document as large: the store takes it whole (the item after the long name is read
    // only then) or refuses it, and the value file is never torn.
    const Call set = set_values(L"<config><LogName>" + std::wstring(kChars, L'\u00e4') +
                                L"</LogName><TimeoutInterval>77</TimeoutInterval></config>");
    const std::string after = plat_test::read_text(cnf_ / "jowdtcfg.xml");
    if (set.return_value() == 0) {
        EXPECT_NE(after.find("<TimeoutInterval>77</TimeoutInterval>"), std::string::npos);
        EXPECT_NE(after.find("\xc3\xa4\xc3\xa4</LogName>"), std::string::npos) << "the new name";
    } else {
        EXPECT_EQ(set.return_value(), kFailed);
        EXPECT_TRUE(after == values) << "untouched";
    }
}

}  // namespace
