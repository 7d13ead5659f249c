// The texts of one event: the message with its cuts, and the message table's templates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ktl::syslog {

constexpr std::size_t kMaxMessage = 1023;

// Pieces are appended while there is room; the piece that reaches the limit is cut on a
// character boundary and nothing after it is appended.
class MessageText {
  public:
    void append(const char* piece);
    const char* c_str() const { return text_; }
    std::size_t size() const { return used_; }

  private:
    char text_[kMaxMessage + 1] = {};
    std::size_t used_ = 0;
    bool full_ = false;
};

constexpr std::uint32_t kEventWithIdent = 1;     // "%1 [%2]: %3\r\n" ident, process id, message
constexpr std::uint32_t kEventWithoutIdent = 2;  // "[%1]: %2\r\n" process id, message

// The event's template with its insertion strings filled in, cut to capacity.
void render_event(std::uint32_t event_id, const char* const* strings, std::size_t count, char* out,
                  std::size_t capacity);

}  // namespace ktl::syslog
