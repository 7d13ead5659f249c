#include "component_files.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "notification.h"
#include "plat/process.h"
#include "plat/registry.h"

namespace jovaprv {

namespace {

// New value documents beyond this size are refused: the store would hold all of it, several
// times over, in memory.
constexpr std::size_t kMaxValueDocumentBytes = 16u << 20;

enum class PairSide { none, definition, values };

// A handle made from a definition file and, when given, filled from a value file. Which side
// failed decides the path the message names.
Code read_pair(const Store& store, const std::string& definition_path,
               const std::string* value_path, ConfigHandle* handle, PairSide* failed) {
    *failed = PairSide::none;
    Code code = store.ConfigCreate(definition_path.c_str(), handle->out());
    if (code != 0) {
        *failed = PairSide::definition;
        return code;
    }
    if (value_path != nullptr) {
        code = store.ConfigRead(value_path->c_str(), handle->get());
        if (code != 0) {
            *failed = PairSide::values;
        }
    }
    return code;
}

// The text of the one string value of that name, or null.
const char* string_value(const Store& store, QAC_Config* handle, const char* name) {
    QAC_Data* values[1] = {nullptr};
    std::uint32_t count = 1;
    if (store.DataGet(handle, name, values, &count) != 0 || count == 0 || values[0] == nullptr ||
        values[0]->Type != QAC_TYPE_STRING) {
        return nullptr;
    }
    return values[0]->Payload.String;
}

void error_line(const char* format, const char* a = "", const char* b = "") {
    std::fprintf(stderr, format, a, b);
}

// The registration file of a component read against jovacnsw.xml in the cnf directory.
Code read_registration(const Store& store, const std::string& registration_path,
                       ConfigHandle* handle) {
    std::string definition;
    Code code = join_path(install_paths().cnf, kRegistrationDefinition, &definition);
    if (code != kOk) {
        error_line("ERROR:don't read file (%s).\n", definition.c_str());
        return kCodeStore;
    }
    PairSide failed = PairSide::none;
    if (read_pair(store, definition, &registration_path, handle, &failed) != 0) {
        error_line("ERROR:don't read file (%s).\n",
                   failed == PairSide::definition ? definition.c_str() : registration_path.c_str());
        return kCodeStore;
    }
    return kOk;
}

// A component's registration file, read with the settings store bound for the method.
// The handle goes before the store it was made by.
struct Registration {
    Store store;
    ConfigHandle handle{store};
    std::string path;

    Code open(const char* component_name) {
        Code code = find_registration_file(component_name, &path);
        if (code == kOk) {
            code = store.bind();
        }
        return code == kOk ? read_registration(store, path, &handle) : code;
    }
    const char* value(const char* name) const { return string_value(store, handle.get(), name); }
};

// The path a registration file gives for "define" or "config", expanded; the message when it
// cannot be expanded.
Code expanded_path(const char* stored, std::string* path) {
    const Code code = expand_registry_references(stored, path);
    if (code != kOk) {
        error_line("ERROR:don't read registory.\n");
    }
    return code;
}

// value path with its last three characters replaced.
std::string sibling_path(const std::string& value_path, const char* extension) {
    return value_path.substr(0, value_path.size() < 3 ? 0 : value_path.size() - 3) + extension;
}

// Changes the working copy's value of name to the new document's one value, adding it from
// the default first when the value file lacked it. Names given more than once are left.
void merge_item(const Store& store, QAC_Config* working, QAC_Config* incoming, const char* name) {
    QAC_Data* given[1] = {nullptr};
    std::uint32_t count = 1;
    if (store.DataGet(incoming, name, given, &count) != 0 || count != 1 || given[0] == nullptr) {
        return;
    }
    QAC_Data* target[1] = {nullptr};
    count = 1;
    if (store.DataGet(working, name, target, &count) != 0 || count == 0) {
        if (store.DataDefaultCreate(working, name, &target[0]) != 0 ||
            store.DataAdd(working, target[0]) != 0) {
            return;
        }
    }
    const QAC_Data& value = *given[0];
    const void* payload = nullptr;
    switch (value.Type) {
        case QAC_TYPE_STRING:
            payload = value.Payload.String;
            break;
        case QAC_TYPE_ENUMERATION:
            payload = value.Payload.Enumeration;
            break;
        case QAC_TYPE_STRUCTURE:
            // The store leaves a structure as it is; its members are not merged.
            payload = value.Payload.FirstMember;
            break;
        default:
            payload = &value.Payload;
            break;
    }
    store.DataChange(working, target[0], payload);
}

}  // namespace

std::string escape_markup(const char* text) {
    std::string out;
    for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
        switch (*p) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += *p;
        }
    }
    return out;
}

Code build_component_list(std::string* document) {
    std::string text = "<programs>\n";
    Store store;
    const Code bound = store.bind();
    if (bound != kOk) {
        return bound;
    }
    plat::RegistryKey key;
    if (key.open(plat::RegistryRoot::local_machine, install_paths().component_key.c_str()).ok()) {
        std::vector<char> name(16384);
        for (std::uint32_t index = 0;; ++index) {
            plat::RegistryType type = plat::RegistryType::none;
            if (!key.value_name(index, name.data(), name.size(), &type).ok()) {
                break;
            }
            if (type != plat::RegistryType::string) {
                continue;
            }
            text += "  <program>\n    <name>";
            text += escape_markup(name.data());
            text += "</name>\n";
            std::string registration;
            ConfigHandle handle(store);
            if (find_registration_file(name.data(), &registration) == kOk &&
                read_registration(store, registration, &handle) == kOk) {
                const char* define = string_value(store, handle.get(), "define");
                std::string definition;
                ConfigHandle own(store);
                if (define != nullptr && expanded_path(define, &definition) == kOk &&
                    store.ConfigCreate(definition.c_str(), own.out()) == 0) {
                    if (own.get()->Description != nullptr) {
                        text += "    <description>" + escape_markup(own.get()->Description) +
                                "</description>\n";
                    }
                    if (own.get()->DispString != nullptr) {
                        text += "    <dispstring>" + escape_markup(own.get()->DispString) +
                                "</dispstring>\n";
                    }
                }
            }
            text += "  </program>\n";
        }
        key.close();
    }
    store.release();
    text += "</programs>\n";
    *document = std::move(text);
    return kOk;
}

Code read_component_file(const char* component_name, ComponentFile which, std::string* text) {
    const char* tag = which == ComponentFile::define ? "define" : "config";
    Registration registration;
    Code code = registration.open(component_name);
    if (code != kOk) {
        return code;
    }
    const char* stored = registration.value(tag);
    if (stored == nullptr) {
        error_line("ERROR:not found XML tag <%s>.\n", tag);
        return kCodeParam;
    }
    std::string path;
    if ((code = expanded_path(stored, &path)) != kOk) {
        return code;
    }
    plat::File file;
    if ((code = open_for_reading(path.c_str(), &file)) != kOk) {
        error_line("ERROR:don't open file (%s).\n", stored);
        return code;
    }
    std::string content;
    char piece[1024];
    for (;;) {
        std::size_t got = 0;
        const plat::Status status = file.read(piece, sizeof piece, &got);
        if (!status.ok()) {
            return kCodeSystem | (status.error & 0xFFFF);
        }
        if (got == 0) {
            break;
        }
        content.append(piece, got);
    }
    file.close();
    *text = std::move(content);
    return kOk;
}

Code write_component_values(const char* component_name, const char* config_data) {
    if (component_name == nullptr || config_data == nullptr) {
        return kCodeParam;
    }
    Registration registration;
    Code code = registration.open(component_name);
    if (code != kOk) {
        return code;
    }
    const char* define = registration.value("define");
    if (define == nullptr) {
        error_line("ERROR:don't read \"define\" tag in %s.\n", registration.path.c_str());
        return kCodeParam;
    }
    const char* config = registration.value("config");
    if (config == nullptr) {
        error_line("ERROR:don't read \"config\" tag in %s.\n", registration.path.c_str());
        return kCodeParam;
    }
    const Store& store = registration.store;
    const Notice notice = read_notice(store, registration.handle.get());

    std::string definition_path;
    std::string value_path;
    if ((code = expanded_path(define, &definition_path)) != kOk ||
        (code = expanded_path(config, &value_path)) != kOk) {
        return code;
    }
    // Two writers of one component take turns from the read of the old values to the
    // replace; the lock file lives beside the value file. Where it cannot be made nothing can
    // be written either, and the write below fails as it should.
    plat::FileLock lock;
    lock.lock(sibling_path(value_path, "lck").c_str());

    ConfigHandle previous(store);
    ConfigHandle working(store);
    PairSide failed = PairSide::none;
    for (ConfigHandle* copy : {&previous, &working}) {
        if (read_pair(store, definition_path, &value_path, copy, &failed) != 0) {
            error_line("ERROR:don't read file (%s).\n", failed == PairSide::definition
                                                            ? definition_path.c_str()
                                                            : value_path.c_str());
            return kCodeStore;
        }
    }
    ConfigHandle incoming(store);
    if (store.ConfigCreate(definition_path.c_str(), incoming.out()) != 0) {
        error_line("ERROR:don't read file (%s).\n", definition_path.c_str());
        return kCodeStore;
    }
    if (std::strlen(config_data) > kMaxValueDocumentBytes ||
        store.ConfigReadFromData(config_data, incoming.get()) != 0) {
        error_line("ERROR:don't read data.\n");
        return kCodeStore;
    }
    std::uint32_t count = 0;
    if ((code = store.ContentListGet(incoming.get(), nullptr, &count)) != 0) {
        return code;
    }
    std::vector<QAC_ContentEntry> entries;
    try {
        entries.resize(count);
    } catch (const std::bad_alloc&) {
        error_line("ERROR:not enough memory.\n");
        return kCodeNoMemory;
    }
    if ((code = store.ContentListGet(incoming.get(), entries.data(), &count)) != 0) {
        return code;
    }
    for (const QAC_ContentEntry& entry : entries) {
        if (entry.Name != nullptr) {
            merge_item(store, working.get(), incoming.get(), entry.Name);
        }
    }

    const std::string temporary = sibling_path(value_path, "tmp");
    if ((code = store.ConfigWrite(temporary.c_str(), working.get())) != 0) {
        error_line("ERROR:don't write file (%s).\n", temporary.c_str());
        return code;
    }
    const std::string backup = sibling_path(value_path, "old");
    if ((code = store.ConfigWrite(backup.c_str(), previous.get())) != 0) {
        return code;
    }
    // The new file takes the old one's owner and permissions, and a value file marked
    // read-only is not replaced, as the system's move would not either.
    plat::copy_file_access(value_path.c_str(), temporary.c_str());
    const plat::Status writable = plat::refuse_read_only(value_path.c_str());
    code = writable.ok() ? replace_file(temporary.c_str(), value_path.c_str())
                         : kCodeSystem | (writable.error & 0xFFFF);
    if (code != kOk) {
        error_line("ERROR:don't copy file (%s to %s).\n", temporary.c_str(), value_path.c_str());
        return code;
    }
    lock.unlock();
    notify(notice, registration.path);
    return kOk;
}

}  // namespace jovaprv
