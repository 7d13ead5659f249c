// A BMC watchdog built into the program, for trying the service out without a BMC and for
// tests: Set, Reset and Get Watchdog Timer with their field checks and completion codes, a
// countdown in 100 ms units on the service's clock, and an expiry that performs the timer
// action (recorded) and sets the expiration flag. Faults can be injected for the next calls.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "ipmi_transport.h"
#include "watchdog_clock.h"

namespace jovx::ipmi {

// What the watchdog holds, as Get Watchdog Timer reports it.
struct SimulatedWatchdog {
    std::uint8_t timer_use = 0;      // bits 2:0 the use, bit 7 "don't log"
    std::uint8_t timer_actions = 0;  // bits 2:0 the action, bits 6:4 the pre-timeout interrupt
    std::uint8_t pretimeout_seconds = 0;
    std::uint8_t expiration_flags = 0;    // bit n: a timer of use n expired
    std::uint16_t initial_countdown = 0;  // 100 ms units
    std::uint16_t present_countdown = 0;
    bool running = false;
    bool armed_once = false;  // a Set has given the timer a countdown
};

// One command as the simulator saw it.
struct SimulatedCommand {
    std::uint32_t at_ms = 0;  // the clock's tick when it arrived
    std::uint8_t command = 0;
    std::vector<std::uint8_t> request;
    std::vector<std::uint8_t> response;  // empty when no answer went back
    bool answered = false;               // false: the transport failed the call
};

// A countdown that ran out.
struct SimulatedExpiry {
    std::uint32_t at_ms = 0;
    std::uint8_t timer_use = 0;
    std::uint8_t action = 0;  // 0 none, 1 hard reset, 2 power down, 3 power cycle
};

enum class FaultKind {
    no_answer,         // the transport fails the call (nothing reaches the BMC)
    completion_code,   // the BMC answers with this completion code alone
    empty_answer,      // the BMC answers with no bytes
    oversized_answer,  // the right answer, padded to `size` bytes
    delay,             // the right answer, after delay_ms
    hang,              // the call does not return until release_hang() or close()
    open_fails,        // opening the connection fails
};

struct Fault {
    FaultKind kind = FaultKind::no_answer;
    std::uint8_t completion_code = 0;
    std::uint32_t delay_ms = 0;  // on the clock, before any answer (every kind but open_fails)
    std::size_t size = 0;
    std::uint8_t command = 0;  // only calls with this command; 0: any
};

class BmcSimulator final : public Transport {
  public:
    explicit BmcSimulator(WatchdogClock& clock);

    bool open(const char* caller) override;
    CallOutcome call(const char* caller, const Request& request, Response* response) override;
    void close() override;

    // Applies the fault to the next `count` calls (or opens, for open_fails).
    void inject(const Fault& fault, int count);
    void clear_faults();
    // Lets a hanging call return (with the answer it would have had).
    void release_hang();

    // Called with each command once it is answered, for a person watching the demo.
    void on_command(
        std::function<void(const SimulatedCommand&, const SimulatedWatchdog&)> observer);
    // Called with the simulator's lock held: the observer must not call the simulator.
    void on_expiry(std::function<void(const SimulatedExpiry&)> observer);

    SimulatedWatchdog watchdog();
    std::vector<SimulatedCommand> commands();
    std::vector<SimulatedExpiry> expiries();
    int opens();
    bool is_open();

  private:
    struct Pending {
        Fault fault;
        int count = 0;
    };

    void advance_locked(std::uint32_t now);
    void execute_locked(const Request& request, std::uint32_t now, Response* response);
    bool take_fault_locked(bool for_open, std::uint8_t command, Fault* fault);

    WatchdogClock& clock_;
    std::mutex mutex_;
    std::condition_variable hang_released_;
    bool hang_release_pending_ = false;
    SimulatedWatchdog watchdog_;
    std::uint32_t started_at_ = 0;  // tick when the countdown last restarted
    std::vector<SimulatedCommand> commands_;
    std::vector<SimulatedExpiry> expiries_;
    std::vector<Pending> faults_;
    std::function<void(const SimulatedCommand&, const SimulatedWatchdog&)> command_observer_;
    std::function<void(const SimulatedExpiry&)> expiry_observer_;
    bool open_ = false;
    int opens_ = 0;
};

}  // namespace jovx::ipmi
