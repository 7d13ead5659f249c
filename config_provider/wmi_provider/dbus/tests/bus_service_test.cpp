// The bus service as a process on a private bus daemon with a configuration of the test's
// own (never the system bus), on an install tree of the test's own, called through sd-bus and
// through busctl as administrators call it.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "jovaprv/provider_methods.h"
#include "plat/dl.h"
#include "plat/registry.h"
#include "posix_test_support.h"
#include "provider_bus.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using jovaprvd::kBusName;
using jovaprvd::kInterface;
using jovaprvd::kObjectPath;
using plat_test::read_text;
using plat_test::ScopedEnv;
using plat_test::write_text;

constexpr std::int32_t kFailed = jovaprv::kReturnFailed;
constexpr uid_t kNobody = 65534;

// Polls until the condition holds; fails with the message after the time-out.
bool eventually(const std::function<bool()>& condition, const std::string& what,
                int timeout_ms = 10000) {
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "timed out waiting for: " << what;
    return false;
}

// A program with its output in files, started as root or as another user.
using Process = plat_test::ChildProcess;

// A bus daemon of the test's own on an abstract socket (no file a foreign user would need
// to reach). Everybody may connect, own and call; with the shipped policy included, its
// rules for the service's name apply on top.
class PrivateBus {
  public:
    // With activation, the shipped activation file (its Exec pointed at this bus) lets the
    // bus start the service on the first call.
    PrivateBus(const fs::path& dir, bool shipped_policy, bool activation = false) {
        static std::atomic<int> counter{0};
        const std::string listen = "unix:abstract=jovaprvd-test-" + std::to_string(getpid()) + "-" +
                                   std::to_string(counter++);
        std::string services;
        if (activation) {
            std::string file =
                read_text(fs::path(PACKAGING_DIR) / "dbus/com.varmoth.KTLPV.service.in");
            const std::size_t exec = file.find("Exec=");
            file.replace(exec, file.find('\n', exec) - exec,
                         std::string("Exec=") + JOVAPRVD_PROGRAM + " --address " + listen);
            write_text(dir / "services" / "com.varmoth.KTLPV.service", file);
            services = "  <servicedir>" + (dir / "services").string() + "</servicedir>\n";
        }
        const std::string config = (dir / "bus.conf").string();
        write_text(config,
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <listen>" +
                       listen +
                       "</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <limit name=\"max_message_size\">67108864</limit>\n" +
                       services +
                       "  <policy context=\"default\">\n"
                       "    <allow user=\"*\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "    <allow send_destination=\"*\"/>\n"
                       "    <allow receive_sender=\"*\"/>\n"
                       "  </policy>\n" +
                       (shipped_policy ? "  <include>" POLICY_FILE "</include>\n" : "") +
                       "</busconfig>\n");
        daemon_.emplace(
            std::vector<std::string>{DBUS_DAEMON_PROGRAM, "--config-file=" + config, "--nofork",
                                     "--nopidfile", "--nosyslog", "--print-address=1"},
            dir / "bus.out", dir / "bus.err");
        eventually([&] { return daemon_->out().find('\n') != std::string::npos; },
                   "the bus daemon's address");
        address_ = daemon_->out().substr(0, daemon_->out().find('\n'));
    }
    ~PrivateBus() {
        daemon_->signal(SIGTERM);
        daemon_->wait_exit(10s);
    }
    const std::string& address() const { return address_; }
    std::string err() const { return daemon_->err(); }

  private:
    std::optional<Process> daemon_;
    std::string address_;
};

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

    Reply call(const char* member, const std::vector<std::string>& texts = {},
               const char* interface = kInterface) {
        return call_with(
            member,
            [&](sd_bus_message* m) {
                for (const std::string& text : texts) {
                    sd_bus_message_append(m, "s", text.c_str());
                }
            },
            interface);
    }

    Reply call_with(const char* member, const std::function<void(sd_bus_message*)>& append,
                    const char* interface = kInterface) {
        sd_bus_message* message = nullptr;
        sd_bus_message* answer = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        Reply reply;
        EXPECT_GE(sd_bus_message_new_method_call(bus_, &message, kBusName, kObjectPath, interface,
                                                 member),
                  0);
        append(message);
        if (sd_bus_call(bus_, message, 20'000'000, &error, &answer) < 0) {
            reply.error = error.name != nullptr ? error.name : "?";
            reply.text = error.message != nullptr ? error.message : "";
        } else {
            if (sd_bus_message_read(answer, "i", &reply.value) < 0) {
                reply.error = "no ReturnValue";
            }
            const char* text = nullptr;
            if (sd_bus_message_read(answer, "s", &text) > 0) {
                reply.text = text;
                reply.has_text = true;
            }
        }
        sd_bus_error_free(&error);
        sd_bus_message_unref(answer);
        sd_bus_message_unref(message);
        return reply;
    }

  private:
    sd_bus* bus_ = nullptr;
};

class BusService : public ::testing::Test {
  protected:
    void SetUp() override { stage_install_tree(); }

    void stage_install_tree();

    void start_bus(bool shipped_policy = false, bool activation = false) {
        bus_.emplace(root_.path(), shipped_policy, activation);
    }

    // The service on the private bus, up once it has reported READY=1.
    void start_service(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{JOVAPRVD_PROGRAM, "--address", bus_->address()};
        args.insert(args.end(), extra.begin(), extra.end());
        service_.emplace(args, root_.path() / "service.out", root_.path() / "service.err");
        bool ready = false;
        for (int i = 0; i < 100 && !ready && service_->running(); ++i) {
            const auto datagram = manager_.receive(100);
            // The bus daemon reports READY=1 on the same socket; ours names the bus name.
            ready = datagram && datagram->find("READY=1\nSTATUS=serving") != std::string::npos;
        }
        ASSERT_TRUE(ready) << service_->err() << bus_->err();
    }

    // busctl's answer, as root or as another user.
    std::string busctl(const std::vector<std::string>& args, int* exit_code,
                       std::optional<uid_t> as_user = std::nullopt) {
        std::vector<std::string> all{BUSCTL_PROGRAM, "--address=" + bus_->address()};
        all.insert(all.end(), args.begin(), args.end());
        Process tool(all, root_.path() / "busctl.out", root_.path() / "busctl.err", as_user);
        *exit_code = tool.wait_exit(10s);
        return tool.out() + tool.err();
    }

    // The shortest valid watchdog settings; the service raises the countdown to fit ten resets
    // of at least the minimum interval.
    void write_values(int timeout) const {
        write_text(values_, "<config>\n  <TimeoutInterval>" + std::to_string(timeout) +
                                "</TimeoutInterval>\n  <IntervalCount>10</IntervalCount>\n"
                                "  <MinimumInterval>15</MinimumInterval>\n"
                                "  <ErrorWatching>TRUE</ErrorWatching>\n</config>\n");
    }
    std::string values() const { return read_text(values_); }

    plat_test::ScratchDir root_;
    const fs::path cnf_ = root_.path() / "or" / "cnf";
    const fs::path values_ = cnf_ / "jowdtcfg.xml";
    ScopedEnv registry_{"VARMOTH_REGISTRY", (root_.path() / "registry").string()};
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", (root_.path() / "run").string()};
    plat_test::DatagramReceiver manager_{root_ / "notify"};
    ScopedEnv notify_{"NOTIFY_SOCKET", manager_.path()};
    std::optional<PrivateBus> bus_;
    std::optional<Process> service_;
};

// The watchdog service registered as the one component, with the shipped files and the
// settings store beside them, found through a registry of the test's own.
void BusService::stage_install_tree() {
    char library[64];
    for (const char* directory : {"registry/registry.d", "pv/lib", "pv/cnf", "or/cnf", "or/log"}) {
        fs::create_directories(root_.path() / directory);
    }
    fs::create_directories(root_.path() / "run");
    fs::permissions(root_.path() / "run", fs::perms(0755));
    fs::copy_file(JOVACFG_LIBRARY_FILE,
                  root_.path() / "pv" / "lib" /
                      plat::shared_library_file_name("jovacfg", library, sizeof library));
    fs::copy_file(PROVIDER_CNF_DIR "/jovacnsw.xml", root_.path() / "pv/cnf/jovacnsw.xml");
    for (const char* file : {"jowdtdef.xml", "jowdtcns.xml"}) {
        fs::copy_file(fs::path(PACKAGING_DIR) / "cnf" / file, cnf_ / file);
    }
    write_values(60);
    for (const auto& [key, directory] : {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
        plat::RegistryKey location;
        const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
        ASSERT_TRUE(location.create(plat::RegistryRoot::local_machine, path.c_str()));
        ASSERT_TRUE(location.set_string("Path00", (root_.path() / directory).string().c_str()));
    }
    plat::RegistryKey components;
    ASSERT_TRUE(
        components.create(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH\\KTL-PV\\ASSIST"));
    ASSERT_TRUE(components.set_string("Orvalis", (cnf_ / "jowdtcns.xml").string().c_str()));
}

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

TEST_F(BusService, IntrospectionListsTheMethodsAndTheProperty) {
    start_bus();
    start_service();
    int code = -1;
    const std::string shown = busctl({"introspect", kBusName, kObjectPath}, &code);
    EXPECT_EQ(code, 0) << shown;
    // Column widths vary with the names: compare with the blanks squeezed.
    std::string squeezed;
    for (char c : shown) {
        if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') {
            squeezed += c;
        }
    }
    for (const char* line :
         {"com.varmoth.KTLPV.Provider interface - - -\n", ".GetComponentList method - is -\n",
          ".GetConfigData method s is -\n", ".GetConfigDefine method s is -\n",
          ".SetConfigData method ss i -\n", ".id property i 1 const\n"}) {
        EXPECT_NE(squeezed.find(line), std::string::npos) << line << "\n" << shown;
    }

    Client client(bus_->address());
    std::int32_t id = 0;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    EXPECT_GE(sd_bus_get_property_trivial(client.bus(), kBusName, kObjectPath, kInterface, "id",
                                          &error, 'i', &id),
              0);
    EXPECT_EQ(id, 1);
    sd_bus_error_free(&error);
}

TEST_F(BusService, WrongNamesAndParametersAreRefusedByTheBus) {
    start_bus();
    start_service();
    Client client(bus_->address());
    const auto integer = [](sd_bus_message* m) { sd_bus_message_append(m, "i", 5); };
    const auto two_texts = [](sd_bus_message* m) { sd_bus_message_append(m, "ss", "a", "b"); };
    const auto nothing = [](sd_bus_message*) {};
    const struct {
        const char* member;
        std::function<void(sd_bus_message*)> append;
        const char* error;
    } cases[] = {
        {"getcomponentlist", nothing, SD_BUS_ERROR_UNKNOWN_METHOD},
        {"GETCONFIGDATA", two_texts, SD_BUS_ERROR_UNKNOWN_METHOD},
        {"Getconfigdata", nothing, SD_BUS_ERROR_UNKNOWN_METHOD},
        {"GetConfigData", nothing, SD_BUS_ERROR_INVALID_ARGS},
        {"GetConfigData", integer, SD_BUS_ERROR_INVALID_ARGS},
        {"GetConfigData", two_texts, SD_BUS_ERROR_INVALID_ARGS},
        {"GetConfigDefine", integer, SD_BUS_ERROR_INVALID_ARGS},
        {"GetComponentList", two_texts, SD_BUS_ERROR_INVALID_ARGS},
        {"SetConfigData", nothing, SD_BUS_ERROR_INVALID_ARGS},
        {"SetConfigData", [](sd_bus_message* m) { sd_bus_message_append(m, "s", "a"); },
         SD_BUS_ERROR_INVALID_ARGS},
        {"SetConfigData", [](sd_bus_message* m) { sd_bus_message_append(m, "si", "a", 1); },
         SD_BUS_ERROR_INVALID_ARGS},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(client.call_with(c.member, c.append).error, c.error) << c.member;
    }
    EXPECT_EQ(client.call("GetComponentList", {}, "com.varmoth.ktlpv.provider").error,
              SD_BUS_ERROR_UNKNOWN_METHOD);
    EXPECT_TRUE(client.call("GetComponentList").error.empty());
}

TEST_F(BusService, SwitchesAndTheEnd) {
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* shown;
    } cases[] = {
        {{"--help"}, 0, "--admin-group"},
        {{"--version"}, 0, "jovaprvd 1."},
        {{"--bogus"}, 2, "unknown or incomplete argument: --bogus"},
        {{"--address"}, 2, "unknown or incomplete argument: --address"},
        {{"--address", "unix:path=/nonexistent/bus"}, 1, "cannot connect to the bus"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{JOVAPRVD_PROGRAM};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Process program(args, root_.path() / "out", root_.path() / "err");
        EXPECT_EQ(program.wait_exit(10s), c.exit_code) << c.args[0];
        EXPECT_NE((program.out() + program.err()).find(c.shown), std::string::npos)
            << c.args[0] << ": " << program.out() << program.err();
    }

    start_bus();
    start_service();
    // A second instance cannot own the name.
    Process second({JOVAPRVD_PROGRAM, "--address", bus_->address()}, root_.path() / "out",
                   root_.path() / "err");
    EXPECT_EQ(second.wait_exit(10s), 1);
    EXPECT_NE(second.err().find("cannot own the bus name"), std::string::npos) << second.err();

    service_->signal(SIGTERM);
    EXPECT_EQ(service_->wait_exit(10s), 0) << service_->err();
    bool stopping = false;
    while (auto datagram = manager_.receive(500)) {
        stopping = stopping || datagram->find("STOPPING=1") != std::string::npos;
    }
    EXPECT_TRUE(stopping);
}

TEST_F(BusService, MethodsAnswerThroughTheBus) {
    start_bus();
    start_service();
    Client client(bus_->address());

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
    EXPECT_EQ(define.text, read_text(cnf_ / "jowdtdef.xml"));
    const Reply data = client.call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(data.value, 0) << data.error;
    EXPECT_EQ(data.text, values());

    // A byte that is no UTF-8 (a Latin-1 comment) cannot travel in a D-Bus string as it is.
    write_text(values_, values() + "<!-- caf\xE9 -->\n");
    const Reply latin = client.call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(latin.value, 0) << latin.error;
    EXPECT_NE(latin.text.find("<!-- caf\xEF\xBF\xBD -->\n"), std::string::npos) << latin.text;

    // No unset out-text on the bus: a failure hands out the empty string.
    for (const char* member : {"GetConfigDefine", "GetConfigData"}) {
        for (const char* name : {"Unlisted", ""}) {
            const Reply failed = client.call(member, {name});
            EXPECT_EQ(failed.value, kFailed) << member << " " << name << failed.error;
            EXPECT_TRUE(failed.has_text && failed.text.empty()) << member << " " << failed.text;
        }
    }
    EXPECT_EQ(client.call("SetConfigData", {"Unlisted", "<config/>"}).value, kFailed);

    // The tools administrators use.
    int code = -1;
    const std::string shown =
        busctl({"call", kBusName, kObjectPath, kInterface, "GetConfigData", "s", "Orvalis"}, &code);
    EXPECT_EQ(code, 0) << shown;
    EXPECT_EQ(shown.rfind("is 0 \"<config>\\n  <TimeoutInterval>60</TimeoutInterval>", 0), 0u)
        << shown;
}

TEST_F(BusService, TheFirstCallStartsTheService) {
    start_bus(false, true);
    Client client(bus_->address());
    const Reply data = client.call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(data.value, 0) << data.error << " " << data.text << bus_->err();
    EXPECT_EQ(data.text, values());
}

TEST_F(BusService, SetConfigDataChangesOneItemAndNotifies) {
    plat_test::DatagramReceiver window(root_ / "run/jovxserverassistantwatchdog");
    start_bus();
    start_service();
    Client client(bus_->address());
    const std::string before = values();

    EXPECT_EQ(client
                  .call("SetConfigData", {"Orvalis",
                                          "<config>\n  <TimeoutInterval>200</TimeoutInterval>"
                                          "\n</config>\n"})
                  .value,
              0);
    EXPECT_NE(values().find("<TimeoutInterval>200</TimeoutInterval>"), std::string::npos)
        << values();
    EXPECT_NE(values().find("<MinimumInterval>15</MinimumInterval>"), std::string::npos);
    EXPECT_EQ(read_text(cnf_ / "jowdtcfg.old"), before);
    EXPECT_EQ(window.receive(5000).value_or("nothing"), "WM_RELOADCONFIG");

    // A failed write tells nobody.
    EXPECT_EQ(client.call("SetConfigData", {"Unlisted", "<config/>"}).value, kFailed);
    EXPECT_TRUE(window.idle());
}

TEST_F(BusService, HugeDocumentsAreRefusedAndTheServiceStaysUp) {
    start_bus();
    start_service();
    Client client(bus_->address());
    const std::string before = values();
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
        const Reply refused = c.member == std::string("SetConfigData")
                                  ? client.call(c.member, {"Orvalis", huge})
                                  : client.call(c.member, {huge});
        EXPECT_EQ(refused.error, SD_BUS_ERROR_LIMITS_EXCEEDED) << c.refused;
        EXPECT_EQ(refused.text.rfind(c.refused, 0), 0u) << refused.text;
    }
    EXPECT_EQ(values(), before);
    EXPECT_EQ(client.call("GetConfigData", {"Orvalis"}).text, before);
    EXPECT_TRUE(service_->running());
}

// Many clients at once, reading and writing the one value file: every text handed out and the
// file itself are always one whole document, and the bus stays responsive meanwhile.
TEST_F(BusService, ConcurrentClientsNeverSeeATornValueFile) {
    start_bus();
    start_service();
    const std::string before = values();
    const auto whole = [&](const std::string& text) {
        return text.rfind("<config>\n", 0) == 0 && text.size() > 20 &&
               text.compare(text.size() - 10, 10, "</config>\n") == 0 &&
               text.find("<TimeoutInterval>") != std::string::npos &&
               text.find("<TimeoutInterval>") == text.rfind("<TimeoutInterval>");
    };
    std::atomic<int> torn{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 4; ++t) {
        clients.emplace_back([&, t] {
            Client client(bus_->address());
            for (int i = 0; i < 6; ++i) {
                const std::string timeout = std::to_string(100 + t * 100 + i);
                if (client
                        .call("SetConfigData", {"Orvalis", "<config><TimeoutInterval>" + timeout +
                                                               "</TimeoutInterval></config>"})
                        .value != 0) {
                    ++failed;
                }
                const Reply read = client.call("GetConfigData", {"Orvalis"});
                if (read.value != 0) {
                    ++failed;
                } else if (!whole(read.text)) {
                    ++torn;
                }
            }
        });
    }
    Client watcher(bus_->address());
    for (int i = 0; i < 20; ++i) {
        std::int32_t id = 0;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        EXPECT_GE(sd_bus_get_property_trivial(watcher.bus(), kBusName, kObjectPath, kInterface,
                                              "id", &error, 'i', &id),
                  0);
        sd_bus_error_free(&error);
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_TRUE(whole(values())) << values();
    EXPECT_NE(values(), before);
}

// More calls at once than the service lets wait: each is answered, done or refused as busy.
TEST_F(BusService, ABurstOfCallsIsAnsweredOrRefused) {
    start_bus();
    start_service();
    Client client(bus_->address());
    struct Tally {
        int done = 0;
        int busy = 0;
        int other = 0;
    } tally;
    const auto counted = [](sd_bus_message* reply, void* userdata, sd_bus_error*) {
        auto* t = static_cast<Tally*>(userdata);
        std::int32_t value = -1;
        if (const sd_bus_error* error = sd_bus_message_get_error(reply)) {
            (sd_bus_error_has_name(error, SD_BUS_ERROR_LIMITS_EXCEEDED) ? t->busy : t->other)++;
        } else if (sd_bus_message_read(reply, "i", &value) > 0 && value == 0) {
            t->done++;
        } else {
            t->other++;
        }
        return 0;
    };
    constexpr int kCalls = static_cast<int>(jovaprvd::kMaxQueuedCalls) + 36;
    // A few writes keep the worker busy while the reads pile up behind them.
    for (int i = 0; i < kCalls; ++i) {
        const int r = i < 3 ? sd_bus_call_method_async(
                                  client.bus(), nullptr, kBusName, kObjectPath, kInterface,
                                  "SetConfigData", counted, &tally, "ss", "Orvalis",
                                  i % 2 ? "<config><IntervalCount>11</IntervalCount></config>"
                                        : "<config><IntervalCount>12</IntervalCount></config>")
                            : sd_bus_call_method_async(client.bus(), nullptr, kBusName, kObjectPath,
                                                       kInterface, "GetConfigData", counted, &tally,
                                                       "s", "Orvalis");
        ASSERT_GE(r, 0);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (tally.done + tally.busy + tally.other < kCalls &&
           std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(client.bus(), nullptr) == 0) {
            sd_bus_wait(client.bus(), 100'000);
        }
    }
    EXPECT_EQ(tally.done + tally.busy, kCalls) << tally.other << " other answers";
    EXPECT_GE(tally.done, 1);
    EXPECT_EQ(client.call("GetConfigData", {"Orvalis"}).text, values());
    EXPECT_TRUE(service_->running());
}

TEST_F(BusService, CallersThatLeaveMidCallLeaveTheServiceUp) {
    start_bus();
    start_service();
    for (int round = 0; round < 3; ++round) {
        Client leaving(bus_->address());
        for (int i = 0; i < 10; ++i) {
            sd_bus_message* call = nullptr;
            ASSERT_GE(sd_bus_message_new_method_call(leaving.bus(), &call, kBusName, kObjectPath,
                                                     kInterface,
                                                     i % 2 ? "GetConfigData" : "SetConfigData"),
                      0);
            if (i % 2) {
                sd_bus_message_append(call, "s", "Orvalis");
            } else {
                sd_bus_message_append(call, "ss", "Orvalis",
                                      "<config><IntervalCount>10</IntervalCount></config>");
            }
            ASSERT_GE(sd_bus_call_async(leaving.bus(), nullptr, call, nullptr, nullptr, 0), 0);
            sd_bus_message_unref(call);
        }
        sd_bus_flush(leaving.bus());
    }  // gone before the answers
    Client staying(bus_->address());
    const Reply read = staying.call("GetConfigData", {"Orvalis"});
    EXPECT_EQ(read.value, 0) << read.error;
    EXPECT_EQ(read.text, values());
    EXPECT_TRUE(service_->running()) << service_->err();
}

#ifdef GDBUS_PROGRAM
// Who may call: the shipped policy on the bus, and the service's own check behind it for a
// bus whose policy lets everybody through.
TEST_F(BusService, OnlyRootChangesAndOnlyTheGroupReads) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "calls as another user need root";
    }
    char buffer[4096];
    passwd entry{};
    passwd* nobody = nullptr;
    ASSERT_EQ(getpwuid_r(kNobody, &entry, buffer, sizeof buffer, &nobody), 0);
    ASSERT_NE(nobody, nullptr);
    group group_entry{};
    group* nobodys_group = nullptr;
    char group_buffer[4096];
    ASSERT_EQ(
        getgrgid_r(nobody->pw_gid, &group_entry, group_buffer, sizeof group_buffer, &nobodys_group),
        0);
    ASSERT_NE(nobodys_group, nullptr);

    // gdbus shows the error's name and text: the bus's refusal and the service's differ.
    const auto call = [&](std::optional<uid_t> as_user, const std::string& method,
                          std::vector<std::string> args) {
        std::vector<std::string> all{GDBUS_PROGRAM,   "call",
                                     "--address",     bus_->address(),
                                     "--dest",        kBusName,
                                     "--object-path", kObjectPath,
                                     "--method",      std::string(kInterface) + "." + method};
        all.insert(all.end(), args.begin(), args.end());
        Process tool(all, root_.path() / "gdbus.out", root_.path() / "gdbus.err", as_user);
        tool.wait_exit(10s);
        return tool.out() + tool.err();
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
         {"--admin-group", nobodys_group->gr_name},
         "(0, '<config>",
         denied + "SetConfigData: not permitted for uid 65534"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.read_answer);
        start_bus(c.shipped_policy);
        start_service(c.service_args);
        const std::string before = values();
        const std::string read = call(kNobody, "GetConfigData", {"'Orvalis'"});
        EXPECT_NE(read.find(c.read_answer), std::string::npos) << read;
        const std::string write = call(kNobody, "SetConfigData", {"'Orvalis'", new_values});
        EXPECT_NE(write.find(c.write_answer), std::string::npos) << write;
        EXPECT_EQ(values(), before);
        // What the object offers is no secret; root may do everything.
        int code = -1;
        const std::string shown = busctl({"introspect", kBusName, kObjectPath}, &code, kNobody);
        EXPECT_NE(shown.find(".id"), std::string::npos) << shown;
        EXPECT_EQ(call(std::nullopt, "SetConfigData", {"'Orvalis'", new_values}), "(0,)\n");
        EXPECT_NE(values().find("<TimeoutInterval>300</TimeoutInterval>"), std::string::npos);
        service_.reset();
        bus_.reset();
        write_values(60);
    }
}
#endif

#ifdef JOVXWDT_PROGRAM
// The watchdog service, told of its new countdown through the bus, arms the timer anew.
TEST_F(BusService, TheWatchdogRearmsWithTheCountdownSetOverTheBus) {
    plat_test::DatagramReceiver syslog(root_ / "syslog", 1 << 20);
    ScopedEnv syslog_env("VARMOTH_SYSLOG_SOCKET", syslog.path());
    ScopedEnv speed_up("JOVXWDT_TEST_CLOCK_SPEEDUP", "20");
    start_bus();
    start_service();
    Process watchdog({JOVXWDT_PROGRAM, "--foreground", "--transport", "simulator"},
                     root_.path() / "watchdog.out", root_.path() / "watchdog.err");
    ASSERT_TRUE(
        eventually([&] { return watchdog.out().find("countdown 150 s") != std::string::npos; },
                   "armed with the raised countdown"))
        << watchdog.err();
    Client client(bus_->address());
    EXPECT_EQ(client
                  .call("SetConfigData",
                        {"Orvalis", "<config><TimeoutInterval>200</TimeoutInterval></config>"})
                  .value,
              0);
    EXPECT_TRUE(
        eventually([&] { return watchdog.out().find("countdown 200 s") != std::string::npos; },
                   "armed with the new countdown"))
        << watchdog.out();
    watchdog.signal(SIGTERM);
    EXPECT_EQ(watchdog.wait_exit(30s), 0);
}
#endif

}  // namespace
