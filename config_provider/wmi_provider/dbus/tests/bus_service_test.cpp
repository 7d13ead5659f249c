// The bus service as a process on a private bus daemon with a configuration of the test's
// own (never the system bus), on an install tree of the test's own, called through sd-bus and
// through busctl as administrators call it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
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

#include "jovaprv/provider_methods.h"
#include "plat/dl.h"
#include "plat/registry.h"
#include "posix_test_support.h"
#include "provider_bus.h"

namespace {

namespace fs = std::filesystem;
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
class Process {
  public:
    Process(std::vector<std::string> args, const fs::path& out, const fs::path& err,
            std::optional<uid_t> as_user = std::nullopt)
        : out_(out), err_(err) {
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const std::string out_path = out.string();
        const std::string err_path = err.string();
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int o = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
                _exit(126);
            }
            if (as_user &&
                (setgroups(0, nullptr) != 0 || setgid(*as_user) != 0 || setuid(*as_user) != 0)) {
                _exit(126);
            }
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Process() {
        if (!exit_code_ && pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    void signal(int number) const { kill(pid_, number); }
    std::string out() const { return read_text(out_); }
    std::string err() const { return read_text(err_); }
    bool running() {
        int status = 0;
        if (!exit_code_ && waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return !exit_code_;
    }
    int wait_exit(int timeout_ms = 10000) {
        eventually([this] { return !running(); }, "the program to end", timeout_ms);
        return exit_code_.value_or(-1);
    }

  private:
    fs::path out_;
    fs::path err_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

// A bus daemon of the test's own on an abstract socket (no file a foreign user would need
// to reach). Everybody may connect, own and call; with the shipped policy included, its
// rules for the service's name apply on top.
class PrivateBus {
  public:
    PrivateBus(const fs::path& dir, bool shipped_policy) {
        static std::atomic<int> counter{0};
        const std::string config = (dir / "bus.conf").string();
        write_text(config,
                   "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                   "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                   "<busconfig>\n"
                   "  <listen>unix:abstract=jovaprvd-test-" +
                       std::to_string(getpid()) + "-" + std::to_string(counter++) +
                       "</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <limit name=\"max_message_size\">67108864</limit>\n"
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
        daemon_->wait_exit();
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

    void start_bus(bool shipped_policy = false) { bus_.emplace(root_.path(), shipped_policy); }

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
        *exit_code = tool.wait_exit();
        return tool.out() + tool.err();
    }

    plat_test::ScratchDir root_;
    ScopedEnv registry_{"VARMOTH_REGISTRY", (root_.path() / "registry").string()};
    ScopedEnv runtime_{"VARMOTH_RUNTIME_DIR", (root_.path() / "run").string()};
    plat_test::DatagramReceiver manager_{root_ / "notify"};
    ScopedEnv notify_{"NOTIFY_SOCKET", manager_.path()};
    std::optional<PrivateBus> bus_;
    std::optional<Process> service_;
};

void BusService::stage_install_tree() {}

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
        EXPECT_EQ(program.wait_exit(), c.exit_code) << c.args[0];
        EXPECT_NE((program.out() + program.err()).find(c.shown), std::string::npos)
            << c.args[0] << ": " << program.out() << program.err();
    }

    start_bus();
    start_service();
    // A second instance cannot own the name.
    Process second({JOVAPRVD_PROGRAM, "--address", bus_->address()}, root_.path() / "out",
                   root_.path() / "err");
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_NE(second.err().find("cannot own the bus name"), std::string::npos) << second.err();

    service_->signal(SIGTERM);
    EXPECT_EQ(service_->wait_exit(), 0) << service_->err();
    bool stopping = false;
    while (auto datagram = manager_.receive(500)) {
        stopping = stopping || datagram->find("STOPPING=1") != std::string::npos;
    }
    EXPECT_TRUE(stopping);
}

}  // namespace
