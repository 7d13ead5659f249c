// Events go to the syslog daemon as one datagram each, in the form glibc's syslog() sends
// (RFC 3164): "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE", which journald and rsyslog both
// parse. The tag is the event source name.
#include "plat/eventlog.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "plat/text.h"

namespace plat {

namespace {

constexpr const char* kDefaultSocketPath = "/dev/log";
// Tests and local runs point events at a socket of their own.
constexpr const char* kSocketVariable = "VARMOTH_SYSLOG_SOCKET";

constexpr int kSeverityError = 3;
constexpr int kSeverityWarning = 4;
constexpr int kSeverityInformation = 6;
constexpr int kFacilityUser = 8;
constexpr int kFacilityLast = 23 << 3;  // local7

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int severity_of(EventType type) {
    switch (type) {
        case EventType::warning:
            return kSeverityWarning;
        case EventType::information:
            return kSeverityInformation;
        case EventType::error:
            break;
    }
    return kSeverityError;
}

// A facility that is not one of syslog's (or is the kernel's) falls back to the user
// facility, as syslog() itself does, so that it cannot change the severity bits.
int usable_facility(int facility) {
    return facility > 0 && facility <= kFacilityLast && facility % 8 == 0 ? facility
                                                                          : kFacilityUser;
}

// Characters that would end the tag early for a syslog parser become '_'.
void append_tag(char* out, std::size_t capacity, std::size_t* used, const std::string& source) {
    for (char c : source) {
        if (*used + 1 >= capacity) {
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        const bool breaks_tag =
            u <= 0x20 || u == 0x7F || c == ':' || c == '[' || c == ']' || c == '/';
        out[(*used)++] = breaks_tag ? '_' : c;
    }
    out[*used] = '\0';
}

}  // namespace

EventSource::~EventSource() {
    close();
}

Status EventSource::open(const char* source_name) {
    close();
    try {
        source_ = source_name != nullptr ? source_name : "";
    } catch (const std::bad_alloc&) {
        return Status::failure(ENOMEM);
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Status::failure(static_cast<ErrorCode>(errno));
    }
    handle_ = fd;
    return Status::success();
}

Status EventSource::report(const EventReport& event) {
    if (!is_open()) {
        return Status::failure(EBADF);
    }
    const char* path = std::getenv(kSocketVariable);
    if (path == nullptr || *path == '\0') {
        path = kDefaultSocketPath;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        return Status::failure(ENAMETOOLONG);
    }
    copy_cut(address.sun_path, sizeof address.sun_path, path);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);

    char datagram[2048];
    std::size_t used = format_cut(datagram, sizeof datagram, "<%d>%s %2d %02d:%02d:%02d ",
                                  usable_facility(event.facility) | severity_of(event.type),
                                  kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour,
                                  local.tm_min, local.tm_sec);
    append_tag(datagram, sizeof datagram, &used, source_);
    used +=
        format_cut(datagram + used, sizeof datagram - used, "[%d]: ", static_cast<int>(getpid()));

    // The record ends where the datagram ends; the template's line break is not part of it.
    const char* text = event.text != nullptr ? event.text : "";
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
        --length;
    }
    length = utf8_safe_cut(text, length, sizeof datagram - 1 - used);
    std::memcpy(datagram + used, text, length);
    used += length;

    ssize_t sent;
    do {
        sent = sendto(static_cast<int>(handle_), datagram, used, MSG_DONTWAIT | MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    return sent < 0 ? Status::failure(static_cast<ErrorCode>(errno)) : Status::success();
}

void EventSource::close() {
    if (is_open()) {
        ::close(static_cast<int>(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace plat
