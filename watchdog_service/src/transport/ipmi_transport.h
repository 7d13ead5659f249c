// One way of reaching the BMC: send a request (network function, command, request bytes)
// and get the response bytes back, completion code first. The connection contract around it
// (open, call, refresh after a failure, notifications) is the same for every transport.
#pragma once

#include <cstddef>
#include <cstdint>

namespace jovx::ipmi {

constexpr std::uint8_t kNetFnApp = 0x06;
constexpr std::uint8_t kCmdResetWatchdog = 0x22;
constexpr std::uint8_t kCmdSetWatchdog = 0x24;
constexpr std::uint8_t kCmdGetWatchdog = 0x25;

constexpr std::uint8_t kCompletionOk = 0x00;
constexpr std::uint8_t kCompletionInvalidCommand = 0xC1;
constexpr std::uint8_t kCompletionBadLength = 0xC7;
constexpr std::uint8_t kCompletionBadField = 0xCC;
constexpr std::uint8_t kCompletionUninitialisedWatchdog = 0x80;

// The longest IPMI message the system interface carries.
constexpr std::size_t kMaxResponseBytes = 272;

struct Request {
    std::uint8_t net_fn = kNetFnApp;
    std::uint8_t command = 0;
    const std::uint8_t* data = nullptr;
    std::uint16_t length = 0;
};

struct Response {
    std::uint8_t bytes[kMaxResponseBytes] = {};
    std::size_t length = 0;  // 0: the BMC answered with nothing
};

enum class CallOutcome {
    answered,               // *response holds the BMC's answer (possibly empty)
    failed,                 // no answer: the connection is refreshed
    failed_before_sending,  // nothing was sent (resources could not be had): no refresh
};

class Transport {
  public:
    virtual ~Transport() = default;

    // Opens the connection: true when open. Writes its own trace lines for each platform
    // step, on behalf of the routine named by caller, and names the device or BMC it reached.
    virtual bool open(const char* caller) = 0;
    // Sends one request and waits for its answer; the step that failed is traced.
    virtual CallOutcome call(const char* caller, const Request& request, Response* response) = 0;
    virtual void close() = 0;
};

}  // namespace jovx::ipmi
