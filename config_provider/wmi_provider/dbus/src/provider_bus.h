// The provider's four methods on D-Bus, for Linux where there is no WMI. One object with one
// interface; the bus thread only parses, checks the caller and answers, while a worker thread
// does the file work, so that a slow SetConfigData never stalls introspection, property reads
// or the other callers' queueing.
#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace jovaprvd {

inline constexpr char kBusName[] = "com.varmoth.KTLPV";
inline constexpr char kObjectPath[] = "/com/varmoth/KTLPV";
inline constexpr char kInterface[] = "com.varmoth.KTLPV.Provider";
// Members may read (list, define, get); only root may write.
inline constexpr char kAdminGroup[] = "varmoth-admin";
// Setting files are kilobytes; anything near the bus's own message limit is refused before
// it reaches the settings store.
inline constexpr std::size_t kMaxTextBytes = 4u << 20;
// Calls waiting for the worker; beyond that a caller is told to come back later.
inline constexpr std::size_t kMaxQueuedCalls = 64;

// D-Bus strings are valid UTF-8 without NUL: every byte that does not belong to a valid
// sequence (and every NUL or noncharacter) becomes U+FFFD, so ASCII text passes unchanged.
std::string bus_safe_text(std::string_view text);

// Root, or a member (primary or supplementary, from the user database as the bus daemon
// sees it) of the group.
bool may_read(uid_t uid, const std::string& group_name);
inline bool may_write(uid_t uid) {
    return uid == 0;
}

enum class Method { get_component_list, get_config_define, get_config_data, set_config_data };

class ProviderBus {
  public:
    ProviderBus(sd_event* event, sd_bus* bus, std::string admin_group);
    ~ProviderBus();
    ProviderBus(const ProviderBus&) = delete;
    ProviderBus& operator=(const ProviderBus&) = delete;

    // Publishes the object and starts the worker; a negative errno on failure.
    int start();
    // Lets the call in progress finish, answers the queued ones with an error, stops the
    // worker. The bus stays open for the caller to flush.
    void stop();

    // The vtable's handler for all four methods.
    static int on_method_entry(sd_bus_message* message, void* self, sd_bus_error* error);

  private:
    struct Call {
        Method method;
        sd_bus_message* message = nullptr;  // referenced until answered
        std::string name;
        std::string data;
        std::int32_t return_value = 0;
        bool has_text = false;
        std::string text;
    };

    static int on_done(sd_event_source* source, int fd, std::uint32_t revents, void* self);
    int accept(sd_bus_message* message, sd_bus_error* error);
    void work();
    void answer(Call& call);
    void answer_finished();

    sd_event* event_;
    sd_bus* bus_;
    std::string admin_group_;
    sd_bus_slot* slot_ = nullptr;
    sd_event_source* done_source_ = nullptr;
    int done_fd_ = -1;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Call> waiting_;
    std::deque<Call> finished_;
    bool stopping_ = false;
    std::thread worker_;
};

}  // namespace jovaprvd
