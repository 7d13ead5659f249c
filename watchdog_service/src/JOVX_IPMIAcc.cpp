#include "JOVX_IPMIAcc.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "JOVX_ErrorLogging.h"

namespace {

using namespace jovx;

constexpr char kSourceFileName[] = "JOVX_IPMIAcc";

// Touched by the operation thread only, which opens, calls and closes.
int m_fOpen = 0;
std::atomic<ipmi::Transport*> g_transport{nullptr};
std::atomic<IpmiCallObserver*> g_observer{nullptr};

void notify_begin() {
    if (IpmiCallObserver* observer = g_observer.load()) {
        observer->ipmi_call_begin();
    }
}

void notify_end() {
    if (IpmiCallObserver* observer = g_observer.load()) {
        observer->ipmi_call_end();
    }
}

// One request and its answer.
ipmi::CallOutcome exchange(const char* function, std::uint8_t command, const std::uint8_t* request,
                           std::uint16_t request_length, std::uint8_t* response,
                           std::uint16_t response_capacity, std::uint16_t* response_length) {
    for (std::uint16_t i = 0; i < request_length; ++i) {
        WDT_LOG(msg::KTLOR_020_K, function, static_cast<int>(i), static_cast<unsigned>(request[i]));
    }
    ipmi::Transport* transport = g_transport.load();
    if (transport == nullptr) {
        return ipmi::CallOutcome::failed;
    }
    ipmi::Response answer;
    const ipmi::Request sent{ipmi::kNetFnApp, command, request, request_length};
    const ipmi::CallOutcome outcome = transport->call(function, sent, &answer);
    if (outcome != ipmi::CallOutcome::answered) {
        return outcome;
    }
    // The caller's buffer bounds what is copied and reported; the rest is dropped.
    const std::size_t copied = std::min<std::size_t>(answer.length, response_capacity);
    *response_length = static_cast<std::uint16_t>(copied);
    if (answer.length == 0) {
        WDT_LOG(msg::KTLOR_116_E, function);
        return ipmi::CallOutcome::failed;
    }
    for (std::size_t i = 0; i < copied; ++i) {
        response[i] = answer.bytes[i];
        WDT_LOG(msg::KTLOR_045_K, function, static_cast<int>(i),
                static_cast<unsigned>(answer.bytes[i]));
    }
    return answer.bytes[0] == ipmi::kCompletionOk ? ipmi::CallOutcome::answered
                                                  : ipmi::CallOutcome::failed;
}

}  // namespace

namespace jovx {

void IpmiAccessSetTransport(ipmi::Transport* transport) {
    g_transport.store(transport);
}

void IpmiAccessSetObserver(IpmiCallObserver* observer) {
    g_observer.store(observer);
}

}  // namespace jovx

int IpmiAccessOpen() {
    static constexpr char kFunction[] = "IpmiAccessOpen";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_LOG(msg::KTLOR_023_I, kFunction, m_fOpen);
        int result = 1;
        if (m_fOpen == 1) {
            WDT_LOG(msg::KTLOR_092_I, kFunction);
        } else if (ipmi::Transport* transport = g_transport.load(); transport == nullptr) {
            WDT_LOG(msg::KTLOR_093_E, kFunction, "IPMI transport", 0u);
        } else if (transport->open(kFunction)) {
            m_fOpen = 1;
            result = 0;
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return result;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        return 1;
    }
}

int IpmiAccessCall(std::uint8_t command, const std::uint8_t* request, std::uint16_t request_length,
                   std::uint8_t* response, std::uint16_t response_capacity,
                   std::uint16_t* response_length) {
    static constexpr char kFunction[] = "IpmiAccessCall";
    bool begun = false;
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_LOG(msg::KTLOR_028_K, kFunction, static_cast<unsigned>(ipmi::kNetFnApp),
                static_cast<unsigned>(command));
        notify_begin();
        begun = true;
        if (response_length != nullptr) {
            *response_length = 0;
        }
        if (m_fOpen != 1 && IpmiAccessOpen() != 0) {
            begun = false;
            notify_end();
            WDT_LOG(msg::KTLOR_035_E, kFunction);
            WDT_LOG(msg::KTLOR_012_K, kFunction);
            return 1;
        }
        const bool arguments_ok = (request != nullptr || request_length == 0) &&
                                  (response != nullptr || response_capacity == 0) &&
                                  response_length != nullptr;
        // Bad arguments send nothing, so the connection needs no refresh for them.
        const ipmi::CallOutcome outcome =
            arguments_ok ? exchange(kFunction, command, request, request_length, response,
                                    response_capacity, response_length)
                         : ipmi::CallOutcome::failed_before_sending;
        const bool answered = outcome == ipmi::CallOutcome::answered;
        if (outcome == ipmi::CallOutcome::failed) {
            WDT_LOG(msg::KTLOR_107_I, kFunction);
            IpmiAccessClose();
            IpmiAccessOpen();  // a failure here is retried by the next call
        }
        begun = false;
        notify_end();
        WDT_LOG(msg::KTLOR_012_K, kFunction);
        return answered ? 0 : 1;
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
        if (begun) {
            notify_end();
        }
        return 1;
    }
}

void IpmiAccessClose() {
    static constexpr char kFunction[] = "IpmiAccessClose";
    try {
        WDT_LOG(msg::KTLOR_011_K, kFunction);
        WDT_LOG(msg::KTLOR_023_I, kFunction, m_fOpen);
        if (m_fOpen != 0) {
            if (ipmi::Transport* transport = g_transport.load()) {
                transport->close();
            }
            m_fOpen = 0;
        }
        WDT_LOG(msg::KTLOR_012_K, kFunction);
    } catch (...) {
        WDT_LOG(msg::KTLOR_015_E, kFunction);
    }
}
