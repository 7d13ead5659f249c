// The configuration provider over D-Bus: GetConfigData of the watchdog service's value file
// and a SetConfigData that changes one item, called on jovaprvd through a private bus
// daemon, beside the same calls made in this process through the provider's library: what
// the bus and the service add. SetConfigData includes the durable replace of the value file
// and the notification (posted to a window socket this program drains). Median and p99 of
// each, one call per side and round, the order swapped every round.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "jovaprv/provider_methods.h"
#include "plat/dl.h"
#include "plat/registry.h"
#include "provider_bus.h"
#include "rounds.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRounds = 300;

void copy_into_tree(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

// A child program; its standard output comes back through a pipe when asked for.
pid_t spawn(std::vector<std::string> args, int* out_fd) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int pipe_fds[2] = {-1, -1};
    if (out_fd != nullptr && pipe(pipe_fds) != 0) {
        throw std::runtime_error("pipe");
    }
    const pid_t pid = fork();
    if (pid == 0) {
        if (out_fd != nullptr) {
            dup2(pipe_fds[1], 1);
        }
        // The bus daemon's notes (an fd limit it may not raise) are no result.
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (out_fd != nullptr) {
        close(pipe_fds[1]);
        *out_fd = pipe_fds[0];
    }
    return pid;
}

std::string read_line(int fd) {
    std::string line;
    char c = 0;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 10000) == 1 && read(fd, &c, 1) == 1 && c != '\n') {
        line += c;
    }
    return line;
}

// The watchdog service's window socket, read all the time so that notifications never wait.
class WindowDrain {
  public:
    explicit WindowDrain(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("cannot bind " + path);
        }
        reader_ = std::thread([this] {
            char buffer[256];
            while (!done_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 50) == 1 && recv(fd_, buffer, sizeof buffer, 0) > 0) {
                    ++received_;
                }
            }
        });
    }
    ~WindowDrain() {
        done_ = true;
        reader_.join();
        close(fd_);
    }
    int received() const { return received_; }

  private:
    int fd_ = -1;
    std::atomic<bool> done_{false};
    std::atomic<int> received_{0};
    std::thread reader_;
};

std::int32_t call(sd_bus* bus, const char* member, const char* name, const char* data,
                  std::string* text) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r =
        data != nullptr
            ? sd_bus_call_method(bus, jovaprvd::kBusName, jovaprvd::kObjectPath,
                                 jovaprvd::kInterface, member, &error, &reply, "ss", name, data)
            : sd_bus_call_method(bus, jovaprvd::kBusName, jovaprvd::kObjectPath,
                                 jovaprvd::kInterface, member, &error, &reply, "s", name);
    std::int32_t value = -1;
    const char* out = nullptr;
    if (r >= 0 && sd_bus_message_read(reply, "i", &value) >= 0 && text != nullptr &&
        sd_bus_message_read(reply, "s", &out) > 0) {
        *text = out;
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    return value;
}

void print_latency(const char* name, const bench::Comparison& c) {
    std::printf("%-34s %10s %10s   %10s %10s %8.2f\n", name,
                bench::per_op(bench::quantile(c.ours, 0.5), "us").c_str(),
                bench::per_op(bench::quantile(c.ours, 0.99), "us").c_str(),
                bench::per_op(bench::quantile(c.peer, 0.5), "us").c_str(),
                bench::per_op(bench::quantile(c.peer, 0.99), "us").c_str(),
                bench::quantile(c.ratio, 0.5));
}

}  // namespace

int main() {
    const fs::path root =
        fs::temp_directory_path() / "ktl-bench" / ("dbus-" + std::to_string(getpid()));
    fs::remove_all(root);
    const fs::path source(VM_SOURCE_DIR);
    const fs::path cnf = root / "or" / "cnf";
    char library[64];
    copy_into_tree(
        JOVACFG_LIBRARY_FILE,
        root / "pv" / "lib" / plat::shared_library_file_name("jovacfg", library, sizeof library));
    copy_into_tree(source / "config_provider/wmi_provider/cnf/jovacnsw.xml",
                   root / "pv/cnf/jovacnsw.xml");
    for (const char* file : {"jowdtdef.xml", "jowdtcfg.xml", "jowdtcns.xml"}) {
        copy_into_tree(source / "packaging/cnf" / file, cnf / file);
    }
    fs::create_directories(root / "registry" / "registry.d");
    fs::create_directories(root / "run");
    setenv("VARMOTH_REGISTRY", (root / "registry").c_str(), 1);
    setenv("VARMOTH_RUNTIME_DIR", (root / "run").c_str(), 1);
    unsetenv("NOTIFY_SOCKET");
    for (const auto& [key, directory] : {std::pair{"KTL-OR", "or"}, std::pair{"KTL-PV", "pv"}}) {
        plat::RegistryKey location;
        const std::string path = std::string("SOFTWARE\\VARMOTH\\") + key + "\\0001\\PathName";
        location.create(plat::RegistryRoot::local_machine, path.c_str());
        location.set_string("Path00", (root / directory).c_str());
    }
    plat::RegistryKey components;
    components.create(plat::RegistryRoot::local_machine, "SOFTWARE\\VARMOTH\\KTL-PV\\ASSIST");
    components.set_string("Orvalis", (cnf / "jowdtcns.xml").c_str());
    WindowDrain window((root / "run" / "jovxserverassistantwatchdog").string());

    std::ofstream(root / "bus.conf")
        << "<busconfig>\n  <listen>unix:path=" << (root / "bus").string()
        << "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
           "    <allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
           "<allow receive_sender=\"*\"/>\n  </policy>\n</busconfig>\n";
    int address_fd = -1;
    const pid_t daemon =
        spawn({DBUS_DAEMON_PROGRAM, "--config-file=" + (root / "bus.conf").string(), "--nofork",
               "--nopidfile", "--nosyslog", "--print-address=1"},
              &address_fd);
    const std::string address = read_line(address_fd);
    const pid_t service = spawn({JOVAPRVD_PROGRAM, "--address", address}, nullptr);

    sd_bus* bus = nullptr;
    sd_bus_new(&bus);
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    int status = sd_bus_start(bus);
    std::string text;
    bool up = false;
    for (int i = 0; i < 500 && status >= 0 && !up; ++i) {
        up = call(bus, "GetConfigData", "Orvalis", nullptr, &text) == 0;
        if (!up) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    int exit_code = 0;
    if (!up) {
        std::fprintf(stderr, "provider_dbus_bench: jovaprvd did not answer on %s\n",
                     address.c_str());
        exit_code = 1;
    } else {
        jovaprv::read_install_paths();
        int failures = 0;
        const auto get_over_bus = [&] {
            failures += call(bus, "GetConfigData", "Orvalis", nullptr, &text) != 0;
        };
        const auto get_in_process = [&] {
            jovaprv::read_install_paths();
            failures += jovaprv::get_config_data("Orvalis").return_value != 0;
        };
        // Each call sets another countdown, so that every write changes the one item.
        int countdown = 1200;
        const auto next_values = [&] {
            return "<config><TimeoutInterval>" + std::to_string(++countdown) +
                   "</TimeoutInterval></config>";
        };
        const auto set_over_bus = [&] {
            const std::string values = next_values();
            failures += call(bus, "SetConfigData", "Orvalis", values.c_str(), nullptr) != 0;
        };
        const auto set_in_process = [&] {
            const std::string values = next_values();
            jovaprv::read_install_paths();
            failures += jovaprv::set_config_data("Orvalis", values.c_str()) != 0;
        };
        for (int i = 0; i < 20; ++i) {
            get_over_bus();
            get_in_process();
        }
        const bench::Comparison get = bench::alternate(kRounds, 1, get_over_bus, get_in_process);
        const bench::Comparison set = bench::alternate(kRounds, 1, set_over_bus, set_in_process);

        std::printf("%d calls each; the value file is %zu bytes; ratio = in-process / D-Bus\n",
                    kRounds, text.size());
        std::printf("%-34s %10s %10s   %10s %10s %8s\n", "measure", "bus p50", "bus p99",
                    "direct p50", "direct p99", "ratio");
        print_latency("GetConfigData", get);
        print_latency("SetConfigData (one item)", set);
        std::printf("notifications received: %d; failed calls: %d\n", window.received(), failures);
        // The bus and the service add little to a read, and next to nothing to a durable write.
        bench::summary("provider GetConfigData over D-Bus", "jovaprvd", "in-process", get, 0.2);
        bench::summary("provider SetConfigData over D-Bus", "jovaprvd", "in-process", set, 0.7);
        exit_code = failures == 0 ? 0 : 1;
    }
    sd_bus_flush_close_unref(bus);
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
    close(address_fd);
    fs::remove_all(root);
    return exit_code;
}
