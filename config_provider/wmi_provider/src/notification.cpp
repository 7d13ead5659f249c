#include "notification.h"

#include <cstdio>
#include <cstring>

#include "plat/process.h"
#include "plat/window.h"

namespace jovaprv {

namespace {

// The one value of that name and type, or null.
const QAC_Data* one_value(const Store& store, QAC_Config* handle, const char* name,
                          std::uint32_t type) {
    QAC_Data* values[1] = {nullptr};
    std::uint32_t count = 1;
    if (store.DataGet(handle, name, values, &count) != 0 || count == 0 || values[0] == nullptr ||
        values[0]->Type != type) {
        return nullptr;
    }
    return values[0];
}

// A member text of the notice structure, or null.
const char* member_text(const Store& store, QAC_Data* notice, const char* name,
                        std::uint32_t type) {
    QAC_Data* values[1] = {nullptr};
    std::uint32_t count = 1;
    if (store.DataGetFromData(notice, name, values, &count) != 0 || count == 0 ||
        values[0] == nullptr || values[0]->Type != type) {
        return nullptr;
    }
    return type == QAC_TYPE_ENUMERATION ? values[0]->Payload.Enumeration
                                        : values[0]->Payload.String;
}

}  // namespace

Notice read_notice(const Store& store, QAC_Config* registration) {
    Notice notice;
    const QAC_Data* found = one_value(store, registration, "notice", QAC_TYPE_STRUCTURE);
    if (found == nullptr) {
        return notice;
    }
    auto* structure = const_cast<QAC_Data*>(found);
    const char* action = member_text(store, structure, "action", QAC_TYPE_ENUMERATION);
    if (action == nullptr) {
        return notice;
    }
    if (std::strcmp(action, "execute") == 0) {
        if (const char* command = member_text(store, structure, "command", QAC_TYPE_STRING)) {
            notice.kind = NoticeKind::execute;
            notice.command = command;
            if (const char* arguments =
                    member_text(store, structure, "arguments", QAC_TYPE_STRING)) {
                notice.arguments = arguments;
            }
        }
    } else if (std::strcmp(action, "message") == 0) {
        const char* class_name = member_text(store, structure, "classname", QAC_TYPE_STRING);
        const char* message = member_text(store, structure, "message", QAC_TYPE_STRING);
        if (class_name != nullptr && message != nullptr) {
            notice.kind = NoticeKind::message;
            notice.class_name = class_name;
            notice.message = message;
            if (const char* window_name =
                    member_text(store, structure, "windowname", QAC_TYPE_STRING)) {
                notice.window_name = window_name;
            }
        }
    }
    return notice;
}

bool build_command_line(const Notice& notice, std::string* line) {
    // The command is quoted as one word; a quote of its own would end that word early and
    // hand the rest to the interpreter.
    if (notice.command.find('"') != std::string::npos) {
        std::fprintf(stderr, "ERROR:command refused, it holds a double quote (%s).\n",
                     notice.command.c_str());
        return false;
    }
    std::string built = "\"" + notice.command + "\"";
    if (!notice.arguments.empty()) {
        built += " " + notice.arguments;
    }
    // A line cut to fit would run something else than what the file says.
    if (built.size() >= kCommandLineCapacity) {
        std::fprintf(stderr, "ERROR:command refused, longer than %u bytes (%s).\n",
                     static_cast<unsigned>(kCommandLineCapacity - 1), notice.command.c_str());
        return false;
    }
    *line = built;
    return true;
}

void notify(const Notice& notice, const std::string& registration_path) {
    switch (notice.kind) {
        case NoticeKind::execute: {
            bool trusted = false;
            if (!plat::query_trusted_owner(registration_path.c_str(), &trusted).ok() || !trusted) {
                std::fprintf(stderr,
                             "ERROR:command refused, the file may be changed by others (%s).\n",
                             registration_path.c_str());
                return;
            }
            std::string line;
            if (build_command_line(notice, &line)) {
                plat::run_command_interpreter(line.c_str());
            }
            return;
        }
        case NoticeKind::message: {
            const char* title = notice.window_name.empty() ? nullptr : notice.window_name.c_str();
            const plat::Status posted = plat::post_message_to_window(notice.class_name.c_str(),
                                                                     title, notice.message.c_str());
            // A service does not see the logged-on user's windows from its own station.
            if (plat::classify_error(posted.error) == plat::ErrorKind::not_found) {
                plat::InteractiveDesktop interactive;
                if (interactive.switch_to()) {
                    plat::post_message_to_window(notice.class_name.c_str(), title,
                                                 notice.message.c_str());
                }
            }
            return;
        }
        case NoticeKind::none:
            return;
    }
}

}  // namespace jovaprv
