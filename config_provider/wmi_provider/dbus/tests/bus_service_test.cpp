// The bus service as a process on a private bus daemon with a configuration of the test's
// own (never the system bus), on an install tree of the test's own, called through sd-bus and
// through busctl as administrators call it.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "jovaprv/provider_methods.h"
#include "posix_test_support.h"
#include "provider_bus.h"
#include "provider_test_support.h"

namespace {

using namespace provider_test;
using namespace std::chrono_literals;
using jovaprvd::kBusName;
using jovaprvd::kInterface;
using jovaprvd::kObjectPath;
using plat_test::ChildProcess;
using plat_test::ScopedEnv;

constexpr std::int32_t kFailed = jovaprv::kReturnFailed;
constexpr uid_t kNobody = 65534;

struct Reply {
    std::string error;  // the D-Bus error name; empty on success
    std::int32_t value = -1;
    std::string text;
    bool has_text = false;
};

// One client connection.
class Client {
  public:
    explicit Client(const std::string& address) {
        EXPECT_GE(sd_bus_new(&bus_), 0);
        EXPECT_GE(sd_bus_set_address(bus_, address.c_str()), 0);
        EXPECT_GE(sd_bus_set_bus_client(bus_, 1), 0);
        EXPECT_GE(sd_bus_start(bus_), 0) << address;
    }
    ~Client() { sd_bus_flush_close_unref(bus_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    sd_bus* bus() const { return bus_; }

    // A method call with text parameters, then what `append` adds.
    Reply call(const char* member, const std::vector<std::string>& texts = {},
               const std::function<void(sd_bus_message*)>& append = nullptr,
               const char* interface = kInterface) {
        sd_bus_message* message = nullptr;
        sd_bus_message* answer = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        Reply reply;
        EXPECT_GE(sd_bus_message_new_method_call(bus_, &message, kBusName, kObjectPath, interface,
                                                 member),
                  0);
        for (const std::string& text : texts) {
            sd_bus_message_append(message, "s", text.c_str());
        }
        if (append) {
            append(message);
        }
        const char* text = nullptr;
        if (sd_bus_call(bus_, message, 20'000'000, &error, &answer) < 0) {
            reply.error = error.name != nullptr ? error.name : "?";
            reply.text = error.message != nullptr ? error.message : "";
        } else if (sd_bus_message_read(answer, "i", &reply.value) < 0) {
            reply.error = "no ReturnValue";
        } else if (sd_bus_message_read(answer, "s", &text) > 0) {
            reply.text = text;
            reply.has_text = true;
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(answer);
        sd_bus_message_unref(message);
        return reply;
    }

    std::int32_t id() {
        std::int32_t id = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        EXPECT_GE(sd_bus_get_property_trivial(bus_, kBusName, kObjectPath, kInterface, "id", &error,
                                              'i', &id),
                  0);
        sd_bus_error_free(&error);
        return id;
    }

  private:
    sd_bus* bus_ = nullptr;
};

// The watchdog service registered as the one component, found through a registry of the
// test's own.
class BusService : public ::testing::Test {
  protected:
    // A bus daemon of the test's own on an abstract socket (no file a foreign user would need
    // to reach). Everybody may connect, own and call; with the shipped policy included, its
    // rules for the service's name apply on top. With activation, the shipped activation file
    // (its Exec pointed at this bus) lets the bus start the service on the first call.
    void start_bus(bool shipped_policy = false, bool activation = false) {
        static std::atomic<int> counter{0};
        const std::string listen = "unix:abstract=jovaprvd-test-" + std::to_string(getpid()) + "-" +
                                   std::to_string(counter++);
        std::string config = "<busconfig>\n  <listen>" + listen +
                             "</listen>\n  <auth>EXTERNAL</auth>\n"
                             "  <limit name=\"max_message_size\">67108864</limit>\n"
                             "  <policy context=\"default\">\n    <allow user=\"*\"/>\n"
                             "    <allow own=\"*\"/>\n    <allow send_destination=\"*\"/>\n"
                             "    <allow receive_sender=\"*\"/>\n  </policy>\n";
        if (shipped_policy) {
            config += "  <include>" POLICY_FILE "</include>\n";
        }
        if (activation) {
            std::string file =
                read_text(fs::path(PACKAGING_DIR) / "dbus/com.varmoth.KTLPV.service.in");
            const std::size_t exec = file.find("Exec=");
            file.replace(exec, file.find('\n', exec) - exec,
                         std::string("Exec=") + JOVAPRVD_PROGRAM + " --address " + listen);
            write_text(dir() / "services" / "com.varmoth.KTLPV.service", file);
            config += "  <servicedir>" + (dir() / "services").string() + "</servicedir>\n";
        }
        write_text(dir() / "bus.conf", config + "</busconfig>\n");
        bus_.emplace(
            std::vector<std::string>{DBUS_DAEMON_PROGRAM,
                                     "--config-file=" + (dir() / "bus.conf").string(), "--nofork",
                                     "--nopidfile", "--nosyslog", "--print-address=1"},
            dir() / "bus.out", dir() / "bus.err");
        ASSERT_TRUE(bus_->wait_for_output("\n", 10s)) << bus_->err();
        address_ = bus_->out().substr(0, bus_->out().find('\n'));
    }

    // The service on the private bus, up once it has reported READY=1.
    void start_service(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{JOVAPRVD_PROGRAM, "--address", address_};
        args.insert(args.end(), extra.begin(), extra.end());
        service_.emplace(args, dir() / "service.out", dir() / "service.err");
        bool ready = false;
        for (int i = 0; i < 100 && !ready && service_->running(); ++i) {
            const auto datagram = manager_.receive(100);
            // The bus daemon reports READY=1 on the same socket; ours names the bus name.
            ready = datagram && datagram->find("READY=1\nSTATUS=serving") != std::string::npos;
        }
        ASSERT_TRUE(ready) << service_->err() << bus_->err();
    }

    // A program's output and error together, once it has ended.
    static std::string run(std::vector<std::string> args, int* code = nullptr,
                           std::optional<uid_t> as_user = std::nullopt) {
        ChildProcess program(std::move(args), as_user);
        const int exit_code = program.wait_exit(10s);
        if (code != nullptr) {
            *code = exit_code;
        }
        return program.out() + program.err();
    }
    std::string busctl(std::vector<std::string> args, int* code = nullptr,
                       std::optional<uid_t> as_user = std::nullopt) const {
        args.insert(args.begin(), {BUSCTL_PROGRAM, "--address=" + address_});
        return run(args, code, as_user);
    }

    fs::path dir() const { return tree_.dir(); }
    std::string values() const { return read_text(values_); }

    ProviderTree tree_;
    const fs::path values_ = tree_.add_watchdog();
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", (tree_.dir() / "run").string()};
    plat_test::DatagramReceiver manager_{(tree_.dir() / "notify").string()};
    ScopedEnv notify_{"NOTIFY_SOCKET", manager_.path()};
    std::optional<ChildProcess> bus_;
    std::string address_;
    std::optional<ChildProcess> service_;
};

TEST(BusText, OnlyValidUtf8WithoutNulReachesTheBus) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"<config>\n  <A>1</A>\n</config>\n", "<config>\n  <A>1</A>\n</config>\n"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {std::string("a\0b", 3),
         "a\xEF\xBF\xBD"
         "b"},
        {"caf\xE9!", "caf\xEF\xBF\xBD!"},                          // a Latin-1 byte
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xEF\xBF\xBE", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // noncharacter U+FFFE
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
        {"end \xE2\x82", "end \xEF\xBF\xBD\xEF\xBF\xBD"},                          // cut sequence
    };
    for (const auto& c : cases) {
        EXPECT_EQ(jovaprvd::bus_safe_text(c.in), c.out) << c.in;
    }
}

// What busctl shows, and the calls that the bus refuses before the service sees them.
TEST_F(BusService, TheInterfaceAsTheBusShowsIt) {
    start_bus();
    start_service();
    int code = -1;
    std::string shown = busctl({"introspect", kBusName, kObjectPath}, &code);
    EXPECT_EQ(code, 0) << shown;
    // Column widths vary with the names: compare with the blanks squeezed.
    shown.erase(std::unique(shown.begin(), shown.end(),
                            [](char a, char b) { return a == ' ' && b == ' '; }),
                shown.end());
    for (const char* line :
         {"com.varmoth.KTLPV.Provider interface - - -\n", ".GetComponentList method - is -\n",
          ".GetConfigData method s is -\n", ".GetConfigDefine method s is -\n",
          ".SetConfigData method ss i -\n", ".id property i 1 const\n"}) {
        EXPECT_NE(shown.find(line), std::string::npos) << line << "\n" << shown;
    }
    Client client(address_);
    EXPECT_EQ(client.id(), 1);

    const struct {
        const char* member;
        std::vector<std::string> texts;
        const char* error;
    } cases[] = {
        {"getcomponentlist", {}, SD_BUS_ERROR_UNKNOWN_METHOD},
        {"GETCONFIGDATA", {"a"}, SD_BUS_ERROR_UNKNOWN_METHOD},
        {"GetConfigData", {}, SD_BUS_ERROR_INVALID_ARGS},
        {"GetConfigDefine", {"a", "b"}, SD_BUS_ERROR_INVALID_ARGS},
        {"GetComponentList", {"a"}, SD_BUS_ERROR_INVALID_ARGS},
        {"SetConfigData", {"a"}, SD_BUS_ERROR_INVALID_ARGS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(client.call(c.member, c.texts).error, c.error) << c.member;
    }
    // Parameters of other types.
    const auto integer = [](sd_bus_message* m) { sd_bus_message_append(m, "i", 5); };
    const auto text_integer = [](sd_bus_message* m) { sd_bus_message_append(m, "si", "a", 1); };
    EXPECT_EQ(client.call("GetConfigData", {}, integer).error, SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(client.call("SetConfigData", {}, text_integer).error, SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(client.call("GetComponentList", {}, nullptr, "com.varmoth.ktlpv.provider").error,
              SD_BUS_ERROR_UNKNOWN_METHOD);
    EXPECT_TRUE(client.call("GetComponentList").error.empty());
}

TEST_F(BusService, SwitchesAndTheEnd) {
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* shown;
    } cases[] = {
        {{"--bogus"}, 2, "unknown or incomplete argument: --bogus"},
        {{"--address"}, 2, "unknown or incomplete argument: --address"},
        {{"--address", "unix:path=/nonexistent/bus"}, 1, "cannot connect to the bus"},
        {{"--address", "bus"}, 1, "cannot own the bus name"},  // a second instance
    };
    start_bus();
    start_service();
    for (auto c : cases) {
        if (c.args.back() == "bus") {
            c.args.back() = address_;
        }
        c.args.insert(c.args.begin(), JOVAPRVD_PROGRAM);
        int code = -1;
        const std::string shown = run(c.args, &code);
        EXPECT_EQ(code, c.exit_code) << c.args[1];
        EXPECT_NE(shown.find(c.shown), std::string::npos) << c.args[1] << ": " << shown;
    }
    service_->signal(SIGTERM);
    EXPECT_EQ(service_->wait_exit(10s), 0) << service_->err();
    bool stopping = false;
    while (auto datagram = manager_.receive(500)) {
        stopping = stopping || datagram->find("STOPPING=1") != std::string::npos;
    }
    EXPECT_TRUE(stopping);
}

TEST_F(BusService, MethodsAnswerThroughTheBus) {
    plat_test::DatagramReceiver window((dir() / "run/jovxserverassistantwatchdog").string());
    start_bus();
    start_service();
    Client client(address_);
    const Reply list = client.call("GetComponentList");
    EXPECT_EQ(list.value, 0) << list.error;
    EXPECT_EQ(list.text.rfind("<programs>\n  <program>\n    <name>Orvalis</name>\n"
                              "    <description>Watchdog service:",
                              0),
              0u)
        << list.text;
    EXPECT_NE(list.text.find("</program>\n</programs>\n"), std::string::npos) << list.text;
    const Reply define = client.call("GetConfigDefine", {"Orvalis"});
    EXPECT_EQ(define.value, 0) << define.error;
    EXPECT_EQ(define.text, read_text(values_.parent_path() / "jowdtdef.xml"));
    // The tools administrators use.
    int code = -1;
    const std::string shown =
        busctl({"call", kBusName, kObjectPath, kInterface, "GetConfigData", "s", "Orvalis"}, &code);
    EXPECT_EQ(code, 0) << shown;
    EXPECT_EQ(shown.rfind("is 0 \"<config>\\n  <TimeoutInterval>60</TimeoutInterval>", 0), 0u)
        << shown;

    const std::string before = values();
    // No unset out-text on the bus: a failure hands out the empty string.
    for (const char* member : {"GetConfigDefine", "GetConfigData"}) {
        for (const char* name : {"Unlisted", ""}) {
            const Reply failed = client.call(member, {name});
            EXPECT_EQ(failed.value, kFailed) << member << " " << name << failed.error;
            EXPECT_TRUE(failed.has_text && failed.text.empty()) << member << " " << failed.text;
        }
    }
    // A failed write tells nobody.
    EXPECT_EQ(client.call("SetConfigData", {"Unlisted", "<config/>"}).value, kFailed);
    EXPECT_TRUE(window.idle());

    EXPECT_EQ(client
                  .call("SetConfigData", {"Orvalis",
                                          "<config><TimeoutInterval>200"
                                          "</TimeoutInterval></config>"})
                  .value,
              0);
    EXPECT_NE(values().find("<TimeoutInterval>200</TimeoutInterval>"), std::string::npos)
        << values();
    EXPECT_NE(values().find("<MinimumInterval>15</MinimumInterval>"), std::string::npos);
    EXPECT_EQ(read_text(values_.parent_path() / "jowdtcfg.old"), before);
    EXPECT_EQ(window.receive(5000).value_or("nothing"), "WM_RELOADCONFIG");

    // A byte that is no UTF-8 (a Latin-1 comment) cannot travel in a D-Bus string as it is.
    write_text(values_, values() + "<!-- caf\xE9 -->\n");
    const Reply latin = client.call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(latin.value, 0) << latin.error;
    EXPECT_NE(latin.text.find("<!-- caf\xEF\xBF\xBD -->\n"), std::string::npos) << latin.text;
}

TEST_F(BusService, TheFirstCallStartsTheService) {
    start_bus(false, true);
    const Reply data = Client(address_).call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(data.value, 0) << data.error << " " << data.text << bus_->err();
    EXPECT_EQ(data.text, values());
}

// Many clients at once, reading and writing the one value file: every text handed out and the
// file itself are always one whole document, and the bus stays responsive meanwhile.
TEST_F(BusService, ConcurrentClientsNeverSeeATornValueFile) {
    start_bus();
    start_service();
    const std::string before = values();
    const auto whole = [&](const std::string& text) {
        const std::size_t at = text.find("<TimeoutInterval>");
        return text.rfind("<config>\n", 0) == 0 && text.size() > 20 &&
               text.compare(text.size() - 10, 10, "</config>\n") == 0 && at != std::string::npos &&
               at == text.rfind("<TimeoutInterval>");
    };
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            Client client(address_);
            for (int i = 0; i < 6; ++i) {
                const std::string timeout = std::to_string(100 + t * 100 + i);
                failed +=
                    client
                        .call("SetConfigData", {"Orvalis", "<config><TimeoutInterval>" + timeout +
                                                               "</TimeoutInterval></config>"})
                        .value != 0;
                const Reply read = client.call("GetConfigData", {"Orvalis"});
                failed += read.value != 0;
                torn += read.value == 0 && !whole(read.text);
            }
        });
    }
    Client watcher(address_);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(watcher.id(), 1);
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(whole(values())) << values();
    EXPECT_NE(values(), before);
}

// Huge documents, callers that leave before their answers and more calls than may wait: the
// file stays whole, the service stays up.
TEST_F(BusService, HugeBurstsAndVanishingCallsLeaveTheServiceUp) {
    start_bus();
    start_service();
    Client client(address_);
    // More calls at once than the service lets wait: each is answered, done or refused as busy.
    int tally[3] = {};  // done, refused as busy, anything else
    const auto counted = [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
        int* t = static_cast<int*>(userdata);
        std::int32_t value = -1;
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            ++t[sd_bus_error_has_name(error, SD_BUS_ERROR_LIMITS_EXCEEDED) ? 1 : 2];
        } else {
            ++t[sd_bus_message_read(reply, "i", &value) > 0 && value == 0 ? 0 : 2];
        }
        return 0;
    };
    constexpr int kCalls = static_cast<int>(jovaprvd::kMaxQueuedCalls) + 36;
    // A few writes keep the worker busy while the reads pile up behind them.
    for (int i = 0; i < kCalls; ++i) {
        ASSERT_GE(i < 3 ? sd_bus_call_method_async(
                              client.bus(), nullptr, kBusName, kObjectPath, kInterface,
                              "SetConfigData", counted, tally, "ss", "Orvalis",
                              i % 2 ? "<config><IntervalCount>11</IntervalCount></config>"
                                    : "<config><IntervalCount>12</IntervalCount></config>")
                        : sd_bus_call_method_async(client.bus(), nullptr, kBusName, kObjectPath,
                                                   kInterface, "GetConfigData", counted, tally, "s",
                                                   "Orvalis"),
                  0);
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (tally[0] + tally[1] + tally[2] < kCalls && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(client.bus(), nullptr) == 0) {
            sd_bus_wait(client.bus(), 100'000);
        }
    }
    EXPECT_EQ(tally[0] + tally[1], kCalls) << tally[2] << " other answers";
    EXPECT_GE(tally[0], 1);
    const std::string before = values();  // the last write of the burst set 12
    // Over ten megabytes pass the bus daemon (its limit is larger here) but not the service.
    const struct {
        const char* member;
        std::size_t size;
        const char* refused;
    } cases[] = {
        {"SetConfigData", std::size_t{12} << 20, "ConfigData of 12582912 bytes"},
        {"SetConfigData", jovaprvd::kMaxTextBytes + 1, "ConfigData of 4194"},
        {"GetConfigData", jovaprvd::kMaxTextBytes + 1, "ComponentName of 4194"},
    };
    for (const auto& c : cases) {
        const std::string huge(c.size, 'x');
        const Reply refused = c.member[0] == 'S' ? client.call(c.member, {"Orvalis", huge})
                                                 : client.call(c.member, {huge});
        EXPECT_EQ(refused.error, SD_BUS_ERROR_LIMITS_EXCEEDED) << c.refused;
        EXPECT_EQ(refused.text.rfind(c.refused, 0), 0u) << refused.text;
    }
    for (int round = 0; round < 3; ++round) {
        Client leaving(address_);
        for (int i = 0; i < 10; ++i) {
            ASSERT_GE(i % 2 ? sd_bus_call_method_async(leaving.bus(), nullptr, kBusName,
                                                       kObjectPath, kInterface, "GetConfigData",
                                                       nullptr, nullptr, "s", "Orvalis")
                            : sd_bus_call_method_async(
                                  leaving.bus(), nullptr, kBusName, kObjectPath, kInterface,
                                  "SetConfigData", nullptr, nullptr, "ss", "Orvalis",
                                  "<config><IntervalCount>12</IntervalCount></config>"),
                      0);
        }
        sd_bus_flush(leaving.bus());
    }  // gone before the answers
    EXPECT_EQ(values(), before);
    EXPECT_EQ(client.call("GetConfigData", {"Orvalis"}).text, values());
    EXPECT_TRUE(service_->running());
}

#ifdef GDBUS_PROGRAM
// Who may call: the shipped policy on the bus, and the service's own check behind it for a
// bus whose policy lets everybody through.
TEST_F(BusService, OnlyRootChangesAndOnlyTheGroupReads) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "calls as another user need root";
    }
    const passwd* nobody = getpwuid(kNobody);
    ASSERT_NE(nobody, nullptr);
    const group* nobodys_group = getgrgid(nobody->pw_gid);
    ASSERT_NE(nobodys_group, nullptr);
    const std::string group_name = nobodys_group->gr_name;

    // gdbus shows the error's name and text: the bus's refusal and the service's differ.
    const auto call = [&](std::optional<uid_t> as_user, const std::string& method,
                          const std::string& data = "") {
        std::vector<std::string> args{GDBUS_PROGRAM,   "call",
                                      "--address",     address_,
                                      "--dest",        kBusName,
                                      "--object-path", kObjectPath,
                                      "--method",      std::string(kInterface) + "." + method,
                                      "'Orvalis'"};
        if (!data.empty()) {
            args.push_back(data);
        }
        return run(args, nullptr, as_user);
    };
    const std::string new_values = "'<config><TimeoutInterval>300</TimeoutInterval></config>'";
    const std::string denied = "GDBus.Error:org.freedesktop.DBus.Error.AccessDenied: ";
    const struct {
        bool shipped_policy;
        std::vector<std::string> service_args;
        std::string read_answer;  // for nobody
        std::string write_answer;
    } cases[] = {
        {true, {}, denied + "Rejected send message", denied + "Rejected send message"},
        {false,
         {},
         denied + "GetConfigData: not permitted for uid 65534",
         denied + "SetConfigData: not permitted for uid 65534"},
        {false,
         {"--admin-group", group_name},
         "(0, '<config>",
         denied + "SetConfigData: not permitted for uid 65534"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.read_answer);
        start_bus(c.shipped_policy);
        start_service(c.service_args);
        const std::string before = values();
        const std::string read = call(kNobody, "GetConfigData");
        EXPECT_NE(read.find(c.read_answer), std::string::npos) << read;
        const std::string write = call(kNobody, "SetConfigData", new_values);
        EXPECT_NE(write.find(c.write_answer), std::string::npos) << write;
        EXPECT_EQ(values(), before);
        // What the object offers is no secret; root may do everything.
        const std::string shown = busctl({"introspect", kBusName, kObjectPath}, nullptr, kNobody);
        EXPECT_NE(shown.find(".id"), std::string::npos) << shown;
        EXPECT_EQ(call(std::nullopt, "SetConfigData", new_values), "(0,)\n");
        EXPECT_NE(values().find("<TimeoutInterval>300</TimeoutInterval>"), std::string::npos);
        service_.reset();
        bus_.reset();
        write_text(values_, watchdog_values(60));
    }
}
#endif

#ifdef JOVXWDT_PROGRAM
// The watchdog service, told of its new countdown through the bus, arms the timer anew.
TEST_F(BusService, TheWatchdogRearmsWithTheCountdownSetOverTheBus) {
    plat_test::DatagramReceiver syslog((dir() / "syslog").string(), 1 << 20);
    ScopedEnv syslog_env("VARMOTH_SYSLOG_SOCKET", syslog.path());
    ScopedEnv speed_up("JOVXWDT_TEST_CLOCK_SPEEDUP", "20");
    start_bus();
    start_service();
    ChildProcess watchdog({JOVXWDT_PROGRAM, "--foreground", "--transport", "simulator"},
                          dir() / "watchdog.out", dir() / "watchdog.err");
    ASSERT_TRUE(watchdog.wait_for_output("countdown 150 s", 10s)) << watchdog.err();
    EXPECT_EQ(Client(address_)
                  .call("SetConfigData",
                        {"Orvalis", "<config><TimeoutInterval>200</TimeoutInterval></config>"})
                  .value,
              0);
    EXPECT_TRUE(watchdog.wait_for_output("countdown 200 s", 10s)) << watchdog.out();
    watchdog.signal(SIGTERM);
    EXPECT_EQ(watchdog.wait_exit(30s), 0);
}
#endif

}  // namespace
