// The service's one connection to the BMC: open, call with refresh after every failure, and
// close, with the window told about every call so that a call that hangs gets reported.
#pragma once

#include <cstdint>

#include "transport/ipmi_transport.h"

// Messages the window receives, synchronously, around every IpmiAccessCall.
constexpr std::uint32_t WM_WDT_IPMI_CALL_BEGIN = 0x401;
constexpr std::uint32_t WM_WDT_IPMI_CALL_END = 0x402;

namespace jovx {

// Told when an IPMI call begins and ends, on the calling thread; returns once the news has
// been handled (the service's window does this with synchronous window messages).
class IpmiCallObserver {
  public:
    virtual ~IpmiCallObserver() = default;
    virtual void ipmi_call_begin() = 0;
    virtual void ipmi_call_end() = 0;
};

// The transport and the observer the connection uses. Neither is owned; both must outlive
// every call. Set them while no IPMI call is in progress.
void IpmiAccessSetTransport(ipmi::Transport* transport);
void IpmiAccessSetObserver(IpmiCallObserver* observer);

}  // namespace jovx

// 0 the connection was opened now; 1 failure, or it was open already (and is left as it is).
int IpmiAccessOpen();

// Sends one App request and copies the answer (completion code first) into response, cut to
// response_capacity bytes; *response_length tells how many were copied. 0 when the BMC
// answered with completion code 0x00, else 1. Opens the connection first when it is closed,
// and closes and reopens it after a failed call.
int IpmiAccessCall(std::uint8_t command, const std::uint8_t* request, std::uint16_t request_length,
                   std::uint8_t* response, std::uint16_t response_capacity,
                   std::uint16_t* response_length);

void IpmiAccessClose();
