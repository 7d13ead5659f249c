// jovaprvd: the configuration provider's methods as a D-Bus service. Started by the bus on
// the first call (or by systemd); ends on SIGTERM or SIGINT once the call in progress is done.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-event.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "provider_bus.h"

namespace {

constexpr char kUsage[] =
    "Usage: jovaprvd [--system | --user | --address ADDRESS] [--admin-group GROUP]\n"
    "\n"
    "Serves the configuration provider's methods GetComponentList, GetConfigDefine,\n"
    "GetConfigData and SetConfigData as com.varmoth.KTLPV, object /com/varmoth/KTLPV,\n"
    "interface com.varmoth.KTLPV.Provider.\n"
    "\n"
    "  --system             on the system bus (the default)\n"
    "  --user               on the calling user's session bus\n"
    "  --address ADDRESS    on the bus at ADDRESS (for example unix:path=/run/test-bus)\n"
    "  --admin-group GROUP  whose members may read besides root (default varmoth-admin);\n"
    "                       only root may call SetConfigData\n"
    "  --help, --version\n";

enum class BusKind { system, user, address };

struct Options {
    BusKind kind = BusKind::system;
    std::string address;
    std::string admin_group = jovaprvd::kAdminGroup;
};

// 0 to go on, else the exit code (after --help, --version or a wrong switch).
int parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (arg == "--version") {
            std::printf("jovaprvd %s\n", VM_VERSION);
            return -1;
        } else if (arg == "--system") {
            options->kind = BusKind::system;
        } else if (arg == "--user") {
            options->kind = BusKind::user;
        } else if (arg == "--address" && has_value) {
            options->kind = BusKind::address;
            options->address = argv[++i];
        } else if (arg == "--admin-group" && has_value) {
            options->admin_group = argv[++i];
        } else {
            std::fprintf(stderr, "jovaprvd: unknown or incomplete argument: %s\n\n%s", arg.c_str(),
                         kUsage);
            return 2;
        }
    }
    return 0;
}

int connect(const Options& options, sd_bus** bus) {
    switch (options.kind) {
        case BusKind::user:
            return sd_bus_open_user(bus);
        case BusKind::address: {
            int r = sd_bus_new(bus);
            if (r >= 0) {
                r = sd_bus_set_address(*bus, options.address.c_str());
            }
            if (r >= 0) {
                r = sd_bus_set_bus_client(*bus, 1);
            }
            if (r >= 0) {
                r = sd_bus_start(*bus);
            }
            return r;
        }
        default:
            return sd_bus_open_system(bus);
    }
}

int fail(const char* what, int r) {
    std::fprintf(stderr, "jovaprvd: %s: %s\n", what, std::strerror(-r));
    sd_notifyf(0, "STATUS=%s: %s", what, std::strerror(-r));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int code = parse(argc, argv, &options); code != 0) {
        return code < 0 ? 0 : code;
    }

    // Blocked before any thread starts, so that only the event loop takes them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    sd_event* event = nullptr;
    int r = sd_event_default(&event);
    if (r < 0) {
        return fail("no event loop", r);
    }
    // No handler: the loop ends with exit code 0.
    sd_event_add_signal(event, nullptr, SIGTERM, nullptr, nullptr);
    sd_event_add_signal(event, nullptr, SIGINT, nullptr, nullptr);

    sd_bus* bus = nullptr;
    r = connect(options, &bus);
    if (r < 0) {
        sd_bus_unref(bus);
        sd_event_unref(event);
        return fail("cannot connect to the bus", r);
    }
    // Losing the bus ends the loop with a failure; the bus starts us again on the next call.
    sd_bus_set_exit_on_disconnect(bus, 1);
    sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);

    int exit_code = 1;
    {
        jovaprvd::ProviderBus provider(event, bus, options.admin_group);
        r = provider.start();
        if (r < 0) {
            fail("cannot publish the object", r);
        } else if ((r = sd_bus_request_name(bus, jovaprvd::kBusName, 0)) < 0) {
            fail("cannot own the bus name", r);
        } else {
            sd_notifyf(0, "READY=1\nSTATUS=serving %s", jovaprvd::kBusName);
            exit_code = sd_event_loop(event) == 0 ? 0 : 1;
            sd_notify(0, "STOPPING=1");
        }
        provider.stop();
    }
    sd_bus_flush_close_unref(bus);
    sd_event_unref(event);
    return exit_code;
}
