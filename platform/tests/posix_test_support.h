// POSIX helpers of the platform and event log tests: a datagram socket standing in for the
// syslog daemon.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "scoped_env.h"
#include "scratch_dir.h"

namespace plat_test {

// A bound Unix datagram socket that takes the place of /dev/log.
class DatagramReceiver {
  public:
    explicit DatagramReceiver(std::string path, int receive_buffer = 0) : path_(std::move(path)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path_.size() >= sizeof address.sun_path) {
            ADD_FAILURE() << "socket path too long to bind: " << path_;
            return;
        }
        std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
        unlink(path_.c_str());
        if (receive_buffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        }
        bound_ = bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~DatagramReceiver() {
        close(fd_);
        unlink(path_.c_str());
    }
    DatagramReceiver(const DatagramReceiver&) = delete;
    DatagramReceiver& operator=(const DatagramReceiver&) = delete;

    bool bound() const { return bound_; }
    const std::string& path() const { return path_; }

    // The next datagram, or nothing within the time-out.
    std::optional<std::string> receive(int timeout_ms = 2000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) {
            return std::nullopt;
        }
        char buffer[8192];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, n));
    }
    bool idle() { return !receive(50).has_value(); }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

// A datagram in the form "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE".
struct SyslogLine {
    int priority = -1;
    std::string timestamp;
    std::string tag;
    long pid = -1;
    std::string message;
};

inline std::optional<SyslogLine> parse_syslog(const std::string& datagram) {
    const std::size_t close = datagram.find('>');
    const std::size_t tag_start = close + 1 + 16;  // "Mmm dd hh:mm:ss "
    if (datagram.rfind('<', 0) != 0 || close == std::string::npos || datagram.size() < tag_start) {
        return std::nullopt;
    }
    const std::size_t open = datagram.find('[', tag_start);
    const std::size_t end = datagram.find("]: ", open);
    if (open == std::string::npos || end == std::string::npos) {
        return std::nullopt;
    }
    return SyslogLine{std::stoi(datagram.substr(1, close - 1)), datagram.substr(close + 1, 15),
                      datagram.substr(tag_start, open - tag_start),
                      std::stol(datagram.substr(open + 1, end - open - 1)),
                      datagram.substr(end + 3)};
}

}  // namespace plat_test
