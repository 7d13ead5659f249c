// The program: switches, the IPMI transport, then the service's own entry.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "JOVX_Agent_MainThread.h"
#include "JOVX_ErrorLogging.h"
#include "JOVX_IPMIAcc.h"
#include "JOVX_WDT_SettingsRead.h"
#include "plat/service.h"
#include "plat/sync.h"
#include "plat/thread.h"
#include "service/command_line.h"
#include "service/console.h"
#include "service/fast_clock.h"
#include "transport/transport_choice.h"

namespace {

using namespace jovx;

// The test-only speed-up, from the environment: 0 when not asked for.
std::uint32_t requested_speed_up() {
    const char* text = std::getenv(kSpeedUpVariable);
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    const long factor = std::strtol(text, nullptr, 10);
    return factor >= 2 && factor <= 1000 ? static_cast<std::uint32_t>(factor) : 0;
}

void print_where_lines_went(std::FILE* out) {
    char path[kPathBufferSize] = {};
    if (WDTLogGetFilePath(path) == 0) {
        std::fprintf(out, "Trace lines went to the trace files %s* (numbered, used in turn).\n",
                     path);
    }
    const char* syslog = std::getenv("VARMOTH_SYSLOG_SOCKET");
    std::fprintf(out, "Event lines went to syslog through %s (and were shown above).\n",
                 syslog != nullptr && *syslog != '\0' ? syslog : "/dev/log");
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread: control signals wait for the dispatcher from here on.
    plat::prepare_service_process();

    ServiceOptions options;
    std::string error;
    if (!parse_command_line(argc, argv, &options, &error)) {
        std::fprintf(stderr, "jovxwdt: %s\n\n%s", error.c_str(), usage_text());
        return 2;
    }
    if (options.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", version_text());
        return 0;
    }

    ipmi::TransportChoice choice;
    if (!ipmi::choose_transport(options.transport.c_str(), options.device.c_str(), &choice,
                                &error)) {
        std::fprintf(stderr, "jovxwdt: %s\n", error.c_str());
        return 1;
    }
    const bool simulated = choice.kind == ipmi::TransportKind::simulator;
    std::unique_ptr<FastClock> fast;
    if (const std::uint32_t factor = requested_speed_up(); factor != 0) {
        if (simulated) {
            fast = std::make_unique<FastClock>(factor);
            set_service_clock(fast.get());
            plat::set_message_clock(fast.get());
        } else {
            std::fprintf(stderr, "jovxwdt: %s is for tests with the simulator; ignored\n",
                         kSpeedUpVariable);
        }
    }
    std::unique_ptr<ipmi::Transport> transport =
        ipmi::create_transport(choice, service_clock(), &error);
    if (!transport) {
        std::fprintf(stderr, "jovxwdt: %s\n", error.c_str());
        return 1;
    }
    if (options.status) {
        IpmiAccessSetTransport(transport.get());
        const int result = print_watchdog_status(stdout);
        IpmiAccessSetTransport(nullptr);
        return result;
    }

    std::FILE* console = options.foreground ? stdout : nullptr;
    WatchedTransport watched(
        *transport, simulated ? static_cast<ipmi::BmcSimulator*>(transport.get()) : nullptr,
        console);
    IpmiAccessSetTransport(&watched);
    WDT_ConnectIpmiObserver();
    if (options.foreground) {
        echo_event_lines(stdout);
        std::printf("jovxwdt in the foreground, IPMI transport: %s%s%s. Ctrl-C stops it.\n",
                    ipmi::transport_name(choice.kind), choice.device.empty() ? "" : " ",
                    choice.device.c_str());
        std::fflush(stdout);
    }

    // --run-seconds: a stop request of our own once the time is up.
    plat::Event finished;
    plat::Thread timer;
    if (options.run_seconds > 0) {
        const std::uint32_t ms = options.run_seconds * 1000u;
        timer.start([&finished, ms] {
            if (finished.wait(ms) == plat::WaitResult::timed_out) {
                std::raise(SIGTERM);
            }
        });
    }

    const int result = WinMain(options.foreground);
    finished.set();
    if (timer.started()) {
        timer.join(plat::kWaitForever);
    }
    if (g_fDispatcherFailed.load()) {
#ifdef _WIN32
        constexpr char kStartCommand[] = "net start QKTLOR";
#else
        constexpr char kStartCommand[] = "systemctl start qktlor";
#endif
        std::fprintf(stderr,
                     "jovxwdt: no service manager started this program. Run it as the service "
                     "\"QKTLOR\" (%s), or from a terminal with --foreground.\n",
                     kStartCommand);
    }
    if (options.foreground) {
        echo_event_lines(nullptr);
        watched.print_summary(stdout);
        if (result == 0) {
            print_where_lines_went(stdout);
        }
    }
    IpmiAccessSetTransport(nullptr);
    return result;
}
