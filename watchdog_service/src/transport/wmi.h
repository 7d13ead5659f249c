// The platform's WMI provider for IPMI (class Microsoft_IPMI in ROOT\WMI, method
// RequestResponse), step by step with the service's trace lines.
#pragma once

#include "ipmi_transport.h"

namespace jovx::ipmi {

class WmiTransport final : public Transport {
  public:
    WmiTransport();
    ~WmiTransport() override;
    WmiTransport(const WmiTransport&) = delete;
    WmiTransport& operator=(const WmiTransport&) = delete;

    bool open(const char* caller) override;
    CallOutcome call(const char* caller, const Request& request, Response* response) override;
    void close() override;

    struct Connection;

  private:
    Connection* connection_;
};

}  // namespace jovx::ipmi
