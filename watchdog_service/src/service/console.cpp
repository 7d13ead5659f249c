#include "service/console.h"

#include <cstring>
#include <string>

#include "JOVX_ErrorLogging.h"
#include "JOVX_IPMIAcc.h"
#include "plat/service.h"
#include "plat/time.h"

namespace jovx {

namespace {

constexpr std::uint8_t kUseMask = 0x07;
constexpr std::uint8_t kRunningBit = 0x40;

const char* use_name(std::uint8_t use) {
    static const char* const kNames[] = {"reserved", "BIOS FRB2", "BIOS/POST", "OS Load",
                                         "SMS/OS",   "OEM",       "reserved",  "reserved"};
    return kNames[use & kUseMask];
}

const char* action_name(std::uint8_t actions) {
    static const char* const kNames[] = {"no action", "hard reset", "power down", "power cycle"};
    const std::uint8_t action = actions & kUseMask;
    return action < 4 ? kNames[action] : "reserved";
}

const char* interrupt_name(std::uint8_t actions) {
    static const char* const kNames[] = {"none", "SMI", "NMI / diagnostic interrupt",
                                         "messaging interrupt"};
    const std::uint8_t interrupt = (actions >> 4) & kUseMask;
    return interrupt < 4 ? kNames[interrupt] : "reserved";
}

std::string hex_bytes(const std::uint8_t* bytes, std::size_t length) {
    if (length == 0) {
        return "-";
    }
    std::string text;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i == 0 ? "%02x" : " %02x", bytes[i]);
        text += byte;
    }
    return text;
}

std::mutex g_echoMutex;
std::FILE* g_echoOut = nullptr;

void echo_tap(std::uint32_t kind, std::int32_t, const char*, const char* text) {
    if (kind != 2) {
        return;
    }
    // The text without its time stamp and thread prefix: the line's place says when.
    for (int i = 0; i < 2; ++i) {
        if (const char* end = std::strstr(text, "] ")) {
            text = end + 2;
        }
    }
    std::lock_guard<std::mutex> lock(g_echoMutex);
    std::fprintf(g_echoOut, "           event: %s\n", text);
    std::fflush(g_echoOut);
}

}  // namespace

WatchedTransport::WatchedTransport(ipmi::Transport& inner, ipmi::BmcSimulator* simulator,
                                   std::FILE* out)
    : inner_(inner), simulator_(simulator), out_(out), started_ms_(plat::tick_count_ms()) {
    plat::set_service_status_detail("no reset yet");
    if (simulator_ != nullptr && out_ != nullptr) {
        simulator_->on_expiry([this](const ipmi::SimulatedExpiry& expiry) {
            // Called under the simulator's lock: print only.
            ++expiries_;
            std::fprintf(out_, "           !! the countdown ran out: the BMC does \"%s\"\n",
                         action_name(expiry.action));
            std::fflush(out_);
        });
    }
}

bool WatchedTransport::open(const char* caller) {
    return inner_.open(caller);
}

void WatchedTransport::close() {
    inner_.close();
}

ipmi::CallOutcome WatchedTransport::call(const char* caller, const ipmi::Request& request,
                                         ipmi::Response* response) {
    const ipmi::CallOutcome outcome = inner_.call(caller, request, response);
    const bool answered = outcome == ipmi::CallOutcome::answered;
    const bool ok = answered && response->length > 0 && response->bytes[0] == ipmi::kCompletionOk;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ok) {
        ++failures_;
    }
    if (request.command == ipmi::kCmdResetWatchdog && ok) {
        ++resets_;
        char detail[64] = "last reset ";
        plat::write_time_stamp(detail + 11, plat::local_time_now(), '.');
        detail[11 + plat::kTimeStampLength - 4] = '\0';  // to the second
        plat::set_service_status_detail(detail);
    } else if (request.command == ipmi::kCmdSetWatchdog && request.length == 6) {
        const bool stop = request.data[1] == 0 && request.data[4] == 0 && request.data[5] == 0;
        ++(stop ? stops_ : arms_);
    }
    if (out_ != nullptr) {
        print_line(request, answered, *response);
    }
    return outcome;
}

void WatchedTransport::print_line(const ipmi::Request& request, bool answered,
                                  const ipmi::Response& response) {
    const double at = (plat::tick_count_ms() - started_ms_) / 1000.0;
    const std::string sent = hex_bytes(request.data, request.length);
    const std::string answer =
        answered ? hex_bytes(response.bytes, response.length) +
                       (response.length > 0 && response.bytes[0] == 0 ? " (ok)" : " (refused)")
                 : std::string("none (no answer)");
    std::string what;
    std::string effect;
    if (request.command == ipmi::kCmdSetWatchdog && request.length == 6) {
        const unsigned countdown = request.data[4] | (request.data[5] << 8);
        if (request.data[1] == 0 && countdown == 0) {
            what = "Set Watchdog Timer (stop)";
            effect = "the timer is stopped";
        } else {
            what = "Set Watchdog Timer";
            char text[160];
            std::snprintf(text, sizeof text,
                          "armed: countdown %u s, action %s, pre-timeout interrupt %s; "
                          "runs from the first reset",
                          countdown / 10, action_name(request.data[1]),
                          interrupt_name(request.data[1]));
            effect = text;
        }
    } else if (request.command == ipmi::kCmdResetWatchdog) {
        what = "Reset Watchdog Timer";
        effect = "countdown restarted";
        if (simulator_ != nullptr) {
            const ipmi::SimulatedWatchdog state = simulator_->watchdog();
            char text[96];
            std::snprintf(text, sizeof text, "countdown restarted: %.1f s left",
                          state.present_countdown / 10.0);
            effect = text;
        }
    } else {
        char text[48];
        std::snprintf(text, sizeof text, "command 0x%02x", request.command);
        what = text;
    }
    std::fprintf(out_, "[%7.1f s] %-25s sent: %-17s answer: %-12s %s\n", at, what.c_str(),
                 sent.c_str(), answer.c_str(), effect.c_str());
    std::fflush(out_);
}

void WatchedTransport::print_summary(std::FILE* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const double seconds = (plat::tick_count_ms() - started_ms_) / 1000.0;
    std::fprintf(out,
                 "Summary: %.0f s; the timer was armed %d time(s), reset %d time(s) and "
                 "stopped %d time(s); %d command(s) failed",
                 seconds, arms_, resets_, stops_, failures_);
    if (simulator_ != nullptr) {
        std::fprintf(out, "; the countdown ran out %d time(s)", expiries_.load());
    }
    std::fprintf(out, ".\n");
}

void echo_event_lines(std::FILE* out) {
    {
        std::lock_guard<std::mutex> lock(g_echoMutex);
        g_echoOut = out;
    }
    WDTLogSetTap(out != nullptr ? echo_tap : nullptr);
}

int print_watchdog_status(std::FILE* out) {
    std::uint8_t answer[16] = {};
    std::uint16_t length = 0;
    const int result =
        IpmiAccessCall(ipmi::kCmdGetWatchdog, nullptr, 0, answer, sizeof answer, &length);
    IpmiAccessClose();
    if (result != 0 || length < 9) {
        std::fprintf(
            out, "The BMC did not answer Get Watchdog Timer (%s).\n",
            length > 0 ? ("completion code " + hex_bytes(answer, 1)).c_str() : "no answer");
        return 1;
    }
    const unsigned initial = answer[5] | (answer[6] << 8);
    const unsigned present = answer[7] | (answer[8] << 8);
    std::fprintf(out, "Watchdog timer use:        %s (0x%02x)%s\n", use_name(answer[1]), answer[1],
                 (answer[1] & 0x80) != 0 ? ", expiration not logged" : "");
    std::fprintf(out, "Watchdog timer is:         %s\n",
                 (answer[1] & kRunningBit) != 0 ? "started / running" : "stopped");
    std::fprintf(out, "Timeout action:            %s (0x%02x)\n", action_name(answer[2]),
                 answer[2]);
    std::fprintf(out, "Pre-timeout interrupt:     %s, %u s before the timeout\n",
                 interrupt_name(answer[2]), answer[3]);
    std::fprintf(out, "Expiration flags:          0x%02x", answer[4]);
    for (unsigned use = 1; use <= 5; ++use) {
        if ((answer[4] & (1u << use)) != 0) {
            std::fprintf(out, " [%s expired]", use_name(static_cast<std::uint8_t>(use)));
        }
    }
    std::fprintf(out, "\nInitial countdown:         %u.%u s\n", initial / 10, initial % 10);
    std::fprintf(out, "Present countdown:         %u.%u s\n", present / 10, present % 10);
    return 0;
}

}  // namespace jovx
