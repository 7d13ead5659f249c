// How a component learns that its value file changed: the "notice" of its registration file.
#pragma once

#include <string>

#include "provider_paths.h"

namespace jovaprv {

enum class NoticeKind { none = 0, execute = 1, message = 2 };

struct Notice {
    NoticeKind kind = NoticeKind::none;
    // execute
    std::string command;
    std::string arguments;  // empty: none
    // message
    std::string class_name;
    std::string window_name;  // empty: any title
    std::string message;
};

// The command interpreter's line is held to this many bytes, terminator included.
constexpr std::size_t kCommandLineCapacity = 8192;

// The notice of a registration file; kind none when anything is missing or mistyped.
Notice read_notice(const Store& store, QAC_Config* registration);

// The quoted command line of an execute notice, or false (with the reason on standard error)
// when it must not run: a quote in the command, a line too long.
bool build_command_line(const Notice& notice, std::string* line);

// Runs the command or posts the message. Never reports a failure to the caller; a refusal
// leaves a line on standard error. The registration file decides what runs as this
// process's user, so a command runs only from a file that no one else can change.
void notify(const Notice& notice, const std::string& registration_path);

}  // namespace jovaprv
