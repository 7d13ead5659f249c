// The system's event log: events reported under a named event source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "plat/error.h"

namespace plat {

enum class EventType { error, warning, information };

struct EventReport {
    EventType type = EventType::information;
    std::uint32_t event_id = 0;
    // Insertion strings for logs that format the event with the caller's message table.
    const char* const* strings = nullptr;
    std::size_t string_count = 0;
    // The same event as the message table renders it, for logs that keep plain text.
    const char* text = nullptr;
    // Syslog facility (syslog's own numbering, a multiple of 8); logs without one ignore it.
    int facility = 8;
};

// One connection to the event log under one source name.
// POSIX: syslog; the event's text goes out under the source name as tag, with the facility
// and the severity of its type. Reporting never blocks: when nothing takes the event at once,
// report fails with the system's error.
// Windows: the event log; the event id and the insertion strings go out under the source,
// whose message table renders them, and the text and the facility are not used.
class EventSource {
  public:
    EventSource() = default;
    ~EventSource();
    EventSource(const EventSource&) = delete;
    EventSource& operator=(const EventSource&) = delete;

    Status open(const char* source_name);
    Status report(const EventReport& event);
    void close();
    bool is_open() const { return handle_ != kInvalid; }

  private:
    static constexpr std::intptr_t kInvalid = -1;
    std::intptr_t handle_ = kInvalid;
    std::string source_;
};

}  // namespace plat
