#include "provider_bus.h"

#include <grp.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "jovaprv/provider_methods.h"

namespace jovaprvd {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Code points sd-bus and the bus daemon refuse inside a string.
bool acceptable(std::uint32_t c) {
    return c != 0 && c < 0x110000 && (c & 0xFFFFF800) != 0xD800 && !(c >= 0xFDD0 && c <= 0xFDEF) &&
           (c & 0xFFFE) != 0xFFFE;
}

int get_id(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
           sd_bus_error*) {
    return sd_bus_message_append(reply, "i", std::int32_t{1});
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0), SD_BUS_PROPERTY("id", "i", get_id, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    // Who may call is checked in the handler itself, not by sd-bus's capability rule.
    SD_BUS_METHOD_WITH_ARGS("GetComponentList", SD_BUS_NO_ARGS,
                            SD_BUS_RESULT("i", ReturnValue, "s", ComponentList),
                            ProviderBus::on_method_entry, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("GetConfigDefine", SD_BUS_ARGS("s", ComponentName),
                            SD_BUS_RESULT("i", ReturnValue, "s", ConfigDefine),
                            ProviderBus::on_method_entry, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("GetConfigData", SD_BUS_ARGS("s", ComponentName),
                            SD_BUS_RESULT("i", ReturnValue, "s", ConfigData),
                            ProviderBus::on_method_entry, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_ARGS("SetConfigData", SD_BUS_ARGS("s", ComponentName, "s", ConfigData),
                            SD_BUS_RESULT("i", ReturnValue), ProviderBus::on_method_entry,
                            SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

const char* out_name(Method method) {
    switch (method) {
        case Method::get_component_list:
            return "ComponentList";
        case Method::get_config_define:
            return "ConfigDefine";
        default:
            return "ConfigData";
    }
}

}  // namespace

std::string bus_safe_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        std::size_t length = 0;
        std::uint32_t c = 0;
        std::uint32_t least = 0;
        if (lead < 0x80) {
            length = 1;
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            c = lead & 0x1F;
            least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            c = lead & 0x0F;
            least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            c = lead & 0x07;
            least = 0x10000;
        }
        bool valid = length != 0 && at + length <= text.size();
        for (std::size_t i = 1; valid && i < length; ++i) {
            const auto next = static_cast<unsigned char>(text[at + i]);
            valid = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (valid && c >= least && acceptable(c)) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            out += kReplacement;
            ++at;
        }
    }
    return out;
}

bool may_read(uid_t uid, const std::string& group_name) {
    if (uid == 0) {
        return true;
    }
    std::vector<char> buffer(16384);
    struct group entry {};
    struct group* found_group = nullptr;
    if (getgrnam_r(group_name.c_str(), &entry, buffer.data(), buffer.size(), &found_group) != 0 ||
        found_group == nullptr) {
        return false;
    }
    const gid_t wanted = found_group->gr_gid;
    passwd user{};
    passwd* found_user = nullptr;
    if (getpwuid_r(uid, &user, buffer.data(), buffer.size(), &found_user) != 0 ||
        found_user == nullptr) {
        return false;
    }
    if (found_user->pw_gid == wanted) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups(count);
    while (getgrouplist(found_user->pw_name, found_user->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
    }
    groups.resize(static_cast<std::size_t>(count));
    for (gid_t gid : groups) {
        if (gid == wanted) {
            return true;
        }
    }
    return false;
}

ProviderBus::ProviderBus(sd_event* event, sd_bus* bus, std::string admin_group)
    : event_(event), bus_(bus), admin_group_(std::move(admin_group)) {}

ProviderBus::~ProviderBus() {
    stop();
}

int ProviderBus::start() {
    done_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (done_fd_ < 0) {
        return -errno;
    }
    int r = sd_event_add_io(event_, &done_source_, done_fd_, EPOLLIN, on_done, this);
    if (r < 0) {
        return r;
    }
    r = sd_bus_add_object_vtable(bus_, &slot_, kObjectPath, kInterface, kVtable, this);
    if (r < 0) {
        return r;
    }
    worker_ = std::thread([this] { work(); });
    return 0;
}

void ProviderBus::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    answer_finished();
    std::deque<Call> left;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        left.swap(waiting_);
    }
    for (Call& call : left) {
        sd_bus_reply_method_errorf(call.message, SD_BUS_ERROR_NO_SERVER, "the service is stopping");
        sd_bus_message_unref(call.message);
    }
    slot_ = sd_bus_slot_unref(slot_);
    done_source_ = sd_event_source_disable_unref(done_source_);
    if (done_fd_ >= 0) {
        close(done_fd_);
        done_fd_ = -1;
    }
}

int ProviderBus::on_method_entry(sd_bus_message* message, void* self, sd_bus_error* error) {
    return static_cast<ProviderBus*>(self)->accept(message, error);
}

int ProviderBus::accept(sd_bus_message* message, sd_bus_error* error) {
    const char* member = sd_bus_message_get_member(message);
    Call call;
    if (std::strcmp(member, "GetComponentList") == 0) {
        call.method = Method::get_component_list;
    } else if (std::strcmp(member, "GetConfigDefine") == 0) {
        call.method = Method::get_config_define;
    } else if (std::strcmp(member, "GetConfigData") == 0) {
        call.method = Method::get_config_data;
    } else {
        call.method = Method::set_config_data;
    }

    // Checked here as well as by the bus policy: a policy file can be edited.
    sd_bus_creds* creds = nullptr;
    uid_t uid = 0;
    int r = sd_bus_query_sender_creds(message, SD_BUS_CREDS_EUID | SD_BUS_CREDS_UID, &creds);
    if (r >= 0 && sd_bus_creds_get_euid(creds, &uid) < 0) {
        r = sd_bus_creds_get_uid(creds, &uid);
    }
    sd_bus_creds_unref(creds);
    if (r < 0) {
        return sd_bus_error_setf(error, SD_BUS_ERROR_ACCESS_DENIED,
                                 "%s: the caller's user cannot be told", member);
    }
    const bool allowed =
        call.method == Method::set_config_data ? may_write(uid) : may_read(uid, admin_group_);
    if (!allowed) {
        return sd_bus_error_setf(error, SD_BUS_ERROR_ACCESS_DENIED, "%s: not permitted for uid %u",
                                 member, static_cast<unsigned>(uid));
    }

    // The vtable's signature has already been enforced by sd-bus.
    const char* name = nullptr;
    const char* data = nullptr;
    if (call.method == Method::set_config_data) {
        r = sd_bus_message_read(message, "ss", &name, &data);
    } else if (call.method != Method::get_component_list) {
        r = sd_bus_message_read(message, "s", &name);
    }
    if (r < 0) {
        return r;
    }
    for (const auto& [text, label, into] : {std::tuple{name, "ComponentName", &call.name},
                                            std::tuple{data, "ConfigData", &call.data}}) {
        if (text == nullptr) {
            continue;
        }
        const std::size_t size = std::strlen(text);
        if (size > kMaxTextBytes) {
            return sd_bus_error_setf(error, SD_BUS_ERROR_LIMITS_EXCEEDED,
                                     "%s of %zu bytes: at most %zu are accepted", label, size,
                                     kMaxTextBytes);
        }
        into->assign(text, size);
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (waiting_.size() >= kMaxQueuedCalls) {
            return sd_bus_error_setf(error, SD_BUS_ERROR_LIMITS_EXCEEDED,
                                     "%zu calls are waiting already: try again later",
                                     waiting_.size());
        }
        call.message = sd_bus_message_ref(message);
        waiting_.push_back(std::move(call));
    }
    wake_.notify_one();
    return 1;  // answered once the worker is done
}

void ProviderBus::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) {
            return;
        }
        Call call = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();

        // Read again for every call: the service lives long after the bus started it, and
        // a reinstall may move the product.
        jovaprv::read_install_paths();
        jovaprv::TextResult result;
        switch (call.method) {
            case Method::get_component_list:
                result = jovaprv::get_component_list();
                break;
            case Method::get_config_define:
                result = jovaprv::get_config_define(call.name.c_str());
                break;
            case Method::get_config_data:
                result = jovaprv::get_config_data(call.name.c_str());
                break;
            case Method::set_config_data:
                result.return_value =
                    jovaprv::set_config_data(call.name.c_str(), call.data.c_str());
                break;
        }
        call.return_value = result.return_value;
        call.has_text = result.has_text;
        call.text = std::move(result.text);
        call.data.clear();

        lock.lock();
        finished_.push_back(std::move(call));
        const std::uint64_t one = 1;
        // Wakes the bus thread, which alone touches the connection.
        (void)!write(done_fd_, &one, sizeof one);
    }
}

int ProviderBus::on_done(sd_event_source*, int fd, std::uint32_t, void* self) {
    std::uint64_t count = 0;
    (void)!read(fd, &count, sizeof count);
    static_cast<ProviderBus*>(self)->answer_finished();
    return 0;
}

void ProviderBus::answer_finished() {
    std::deque<Call> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done.swap(finished_);
    }
    for (Call& call : done) {
        answer(call);
        sd_bus_message_unref(call.message);
    }
}

void ProviderBus::answer(Call& call) {
    int r = 0;
    if (call.method == Method::set_config_data) {
        r = sd_bus_reply_method_return(call.message, "i", call.return_value);
    } else if (call.text.size() > kMaxTextBytes) {
        r = sd_bus_reply_method_errorf(call.message, SD_BUS_ERROR_LIMITS_EXCEEDED,
                                       "%s of %zu bytes: at most %zu are handed out",
                                       out_name(call.method), call.text.size(), kMaxTextBytes);
    } else {
        // D-Bus has no unset string: an unset out-text is the empty string, and then
        // ReturnValue always says failed.
        r = sd_bus_reply_method_return(call.message, "is", call.return_value,
                                       call.has_text ? bus_safe_text(call.text).c_str() : "");
    }
    if (r < 0) {
        // The caller waits for an answer: say at least that there is none.
        std::fprintf(stderr, "jovaprvd: cannot answer %s: %s\n",
                     sd_bus_message_get_member(call.message), std::strerror(-r));
        sd_bus_reply_method_errnof(call.message, -r, "the answer cannot be sent: %m");
    }
}

}  // namespace jovaprvd
