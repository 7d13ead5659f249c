#include "device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "JOVX_ErrorLogging.h"
#include "plat/text.h"
#include "plat/time.h"

namespace jovx::ipmi {

namespace {

constexpr char kSourceFileName[] = "JOVX_IPMIAcc";

class SystemDeviceIo final : public DeviceIo {
  public:
    int open(const char* path) override {
        const int fd = ::open(path, O_RDWR | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }
    void close(int fd) override { ::close(fd); }
    int send(int fd, ipmi_req* request) override {
        return ioctl(fd, IPMICTL_SEND_COMMAND, request) == 0 ? 0 : errno;
    }
    int wait_readable(int fd, int timeout_ms) override {
        pollfd watched{fd, POLLIN, 0};
        const int ready = poll(&watched, 1, timeout_ms);
        return ready >= 0 ? ready : -errno;
    }
    int receive(int fd, ipmi_recv* answer) override {
        if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, answer) == 0) {
            return 0;
        }
        return errno == EMSGSIZE ? 0 : errno;
    }
};

// The step's name with the device, for the trace line of a failure or success.
void log_step(const char* caller, const char* step, const std::string& device, int error) {
    char named[160];
    if (error == 0) {
        plat::format_cut(named, sizeof named, "%s %s", step, device.c_str());
        WDT_LOG(msg::KTLOR_094_I, caller, named);
        return;
    }
    // A missing device usually means the driver is not loaded.
    const char* hint = error == ENOENT ? " (kernel modules ipmi_devintf and ipmi_si)" : "";
    plat::format_cut(named, sizeof named, "%s %s%s", step, device.c_str(), hint);
    WDT_LOG(msg::KTLOR_093_E, caller, named, static_cast<unsigned>(error));
}

}  // namespace

DeviceIo& system_device_io() {
    static SystemDeviceIo* const io = new SystemDeviceIo;
    return *io;
}

DeviceTransport::DeviceTransport(std::string path, std::uint32_t answer_ms, DeviceIo& io)
    : path_(std::move(path)), answer_ms_(answer_ms), io_(io) {}

DeviceTransport::~DeviceTransport() {
    close();
}

bool DeviceTransport::open(const char* caller) {
    close();
    int first_error = 0;
    std::string first_path;
    for (const char* candidate : kDevicePaths) {
        const char* path = path_.empty() ? candidate : path_.c_str();
        const int fd = io_.open(path);
        if (fd >= 0) {
            fd_ = fd;
            opened_ = path;
            log_step(caller, "open", opened_, 0);
            WDT_LOG(msg::KTLOR_027_I, caller, opened_.c_str());
            return true;
        }
        if (first_error == 0) {
            first_error = -fd;
            first_path = path;
        }
        if (!path_.empty()) {
            break;
        }
    }
    log_step(caller, "open", first_path, first_error);
    return false;
}

void DeviceTransport::close() {
    if (fd_ >= 0) {
        io_.close(fd_);
        fd_ = -1;
    }
}

CallOutcome DeviceTransport::call(const char* caller, const Request& request, Response* response) {
    if (fd_ < 0) {
        log_step(caller, "ioctl IPMICTL_SEND_COMMAND", path_, EBADF);
        return CallOutcome::failed;
    }
    ipmi_system_interface_addr address{};
    address.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    address.channel = IPMI_BMC_CHANNEL;
    address.lun = 0;
    std::uint8_t data[kMaxResponseBytes] = {};
    const std::size_t length = std::min<std::size_t>(request.length, sizeof data);
    if (length > 0) {
        std::memcpy(data, request.data, length);
    }
    ipmi_req sent{};
    sent.addr = reinterpret_cast<unsigned char*>(&address);
    sent.addr_len = sizeof address;
    // Ids stay positive and never repeat within a connection's lifetime in practice.
    sent.msgid = next_message_id_;
    next_message_id_ = next_message_id_ == 0x7FFFFFFF ? 1 : next_message_id_ + 1;
    sent.msg.netfn = request.net_fn;
    sent.msg.cmd = request.command;
    sent.msg.data_len = static_cast<unsigned short>(length);
    sent.msg.data = data;
    if (const int error = io_.send(fd_, &sent); error != 0) {
        log_step(caller, "ioctl IPMICTL_SEND_COMMAND", opened_, error);
        return CallOutcome::failed;
    }
    return await_answer(caller, sent.msgid, request, response) ? CallOutcome::answered
                                                               : CallOutcome::failed;
}

bool DeviceTransport::await_answer(const char* caller, long message_id, const Request& request,
                                   Response* response) {
    const std::uint32_t started = plat::tick_count_ms();
    for (;;) {
        const std::uint32_t waited = plat::tick_count_ms() - started;
        if (waited >= answer_ms_) {
            log_step(caller, "poll", opened_, ETIMEDOUT);
            return false;
        }
        const int ready = io_.wait_readable(fd_, static_cast<int>(answer_ms_ - waited));
        if (ready == -EINTR) {
            continue;
        }
        if (ready <= 0) {
            log_step(caller, "poll", opened_, ready == 0 ? ETIMEDOUT : -ready);
            return false;
        }
        ipmi_addr from{};
        ipmi_recv answer{};
        answer.addr = reinterpret_cast<unsigned char*>(&from);
        answer.addr_len = sizeof from;
        answer.msg.data = response->bytes;
        answer.msg.data_len = sizeof response->bytes;
        const int error = io_.receive(fd_, &answer);
        if (error == EAGAIN || error == EINTR) {
            continue;
        }
        if (error != 0) {
            log_step(caller, "ioctl IPMICTL_RECEIVE_MSG_TRUNC", opened_, error);
            return false;
        }
        // Events, and answers to earlier requests that timed out, are not ours.
        if (answer.recv_type != IPMI_RESPONSE_RECV_TYPE || answer.msgid != message_id ||
            answer.msg.netfn != (request.net_fn | 1) || answer.msg.cmd != request.command) {
            continue;
        }
        response->length = std::min<std::size_t>(answer.msg.data_len, sizeof response->bytes);
        return true;
    }
}

}  // namespace jovx::ipmi
