// What a person sees: in the foreground, one line per BMC command (what was sent, the
// answer, the countdown left) and a summary at the end; and, for the service manager, the
// time of the last reset beside the service's state.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "transport/ipmi_transport.h"
#include "transport/simulator.h"

namespace jovx {

// Passes every call to the real transport and watches it on the way back.
class WatchedTransport final : public ipmi::Transport {
  public:
    // simulator: the same transport when it is the built-in BMC (for its countdown), or null.
    // out: where the lines go (null: no lines, only the status detail).
    WatchedTransport(ipmi::Transport& inner, ipmi::BmcSimulator* simulator, std::FILE* out);

    bool open(const char* caller) override;
    ipmi::CallOutcome call(const char* caller, const ipmi::Request& request,
                           ipmi::Response* response) override;
    void close() override;

    void print_summary(std::FILE* out);

  private:
    void print_line(const ipmi::Request& request, bool answered, const ipmi::Response& response);

    ipmi::Transport& inner_;
    ipmi::BmcSimulator* simulator_;
    std::FILE* out_;
    std::mutex mutex_;
    std::uint32_t started_ms_;
    int arms_ = 0;
    int resets_ = 0;
    int stops_ = 0;
    int failures_ = 0;
    std::atomic<int> expiries_{0};
};

// Event log lines, echoed to the terminal as they are written.
void echo_event_lines(std::FILE* out);

// --status: sends Get Watchdog Timer through the connection and prints the timer's state.
// 0 when the BMC answered, 1 otherwise.
int print_watchdog_status(std::FILE* out);

}  // namespace jovx
