// The Linux IPMI driver's character device (/dev/ipmi0): requests go to the BMC's system
// interface, and only the answer that carries this request's message id is taken, so that
// a late answer to a timed-out request, or another program's traffic, is never mistaken
// for the next one.
#pragma once

#include <linux/ipmi.h>

#include <cstdint>
#include <string>

#include "ipmi_transport.h"

namespace jovx::ipmi {

// The system calls of the device transport; tests put a scripted driver in their place.
class DeviceIo {
  public:
    virtual ~DeviceIo() = default;
    // A descriptor, or -errno.
    virtual int open(const char* path) = 0;
    virtual void close(int fd) = 0;
    // 0, or the errno of the failure.
    virtual int send(int fd, ipmi_req* request) = 0;
    // 1 readable, 0 timed out, or -errno.
    virtual int wait_readable(int fd, int timeout_ms) = 0;
    // 0 (EMSGSIZE: cut to the buffer, also a success), or the errno of the failure.
    virtual int receive(int fd, ipmi_recv* answer) = 0;
};

DeviceIo& system_device_io();

// Where the driver's device appears, in the order they are tried when none is configured.
inline constexpr const char* kDevicePaths[] = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};

class DeviceTransport final : public Transport {
  public:
    // An empty path tries kDevicePaths. The answer to a request must come within answer_ms.
    explicit DeviceTransport(std::string path, std::uint32_t answer_ms = 10000,
                             DeviceIo& io = system_device_io());
    ~DeviceTransport() override;

    bool open(const char* caller) override;
    CallOutcome call(const char* caller, const Request& request, Response* response) override;
    void close() override;

    // The device in use, once open.
    const std::string& device() const { return opened_; }

  private:
    bool await_answer(const char* caller, long message_id, const Request& request,
                      Response* response);

    std::string path_;
    std::string opened_;
    std::uint32_t answer_ms_;
    DeviceIo& io_;
    int fd_ = -1;
    long next_message_id_ = 1;
};

}  // namespace jovx::ipmi
