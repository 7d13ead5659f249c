#include "definition_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "definition_schema.h"
#include "markup_reader.h"
#include "plat/sync.h"
#include "value_text.h"

namespace qac {

namespace {

// The members of one converted item, by element name.
struct ItemFields {
    Converted* name = nullptr;
    Converted* description = nullptr;
    Converted* dispstring = nullptr;
    Converted* identifier = nullptr;
    Converted* necessity = nullptr;
    Converted* hidden = nullptr;
    Converted* number = nullptr;
    Converted* type = nullptr;
    Converted* enum_list = nullptr;
    Converted* default_text = nullptr;
    Converted* minimum = nullptr;
    Converted* maximum = nullptr;
    std::vector<Converted*> items;
};

ItemFields gather(const std::vector<Converted*>& members) {
    ItemFields f;
    const std::pair<const char*, Converted**> slots[] = {
        {"name", &f.name},
        {"description", &f.description},
        {"dispstring", &f.dispstring},
        {"identifier", &f.identifier},
        {"necessity", &f.necessity},
        {"hidden", &f.hidden},
        {"number", &f.number},
        {"type", &f.type},
        {"enum", &f.enum_list},
        {"default", &f.default_text},
        {"minimum", &f.minimum},
        {"maximum", &f.maximum},
    };
    for (Converted* member : members) {
        const char* element = member->entry->name;
        if (std::strcmp(element, "item") == 0) {
            f.items.push_back(member);
            continue;
        }
        for (const auto& [name, slot] : slots) {
            if (std::strcmp(element, name) == 0 && *slot == nullptr) {
                *slot = member;
            }
        }
    }
    return f;
}

const char* take_text(Converted* value) {
    return value != nullptr ? value->text.release() : nullptr;
}

std::uint32_t type_code(const Converted* type) {
    if (type == nullptr) {
        return QAC_TYPE_NONE;
    }
    static constexpr std::pair<std::string_view, std::uint32_t> kCodes[] = {
        {"integer", QAC_TYPE_INTEGER},         {"string", QAC_TYPE_STRING},
        {"boolean", QAC_TYPE_BOOLEAN},         {"ipaddr", QAC_TYPE_IPADDR},
        {"enumeration", QAC_TYPE_ENUMERATION}, {"structure", QAC_TYPE_STRUCTURE},
    };
    for (const auto& [word, code] : kCodes) {
        if (type->text_view() == word) {
            return code;
        }
    }
    return QAC_TYPE_NONE;
}

void set_bounds(QAC_Content* c, const ItemFields& f) {
    if (c->Type != QAC_TYPE_INTEGER && c->Type != QAC_TYPE_STRING) {
        return;
    }
    const bool integer = c->Type == QAC_TYPE_INTEGER;
    if (f.minimum != nullptr) {
        c->Minimum = f.minimum->integer;
    } else {
        c->Minimum = integer ? std::numeric_limits<std::int64_t>::min() : 0;
    }
    if (f.maximum != nullptr) {
        c->Maximum = std::max(f.maximum->integer, c->Minimum);
    } else {
        c->Maximum = integer ? std::numeric_limits<std::int64_t>::max() : 2147483646;
    }
}

// The default follows the definition's type and bounds. Ownership of allocated texts passes
// to the record as soon as they are made, so a failure later leaks nothing.
void set_default(QAC_Content* c, const ItemFields& f) {
    QAC_Default& d = c->Default;
    const std::string_view text = f.default_text != nullptr ? f.default_text->text_view() : "";
    const bool given = f.default_text != nullptr;
    d.Type = c->Type;
    switch (c->Type) {
        case QAC_TYPE_INTEGER: {
            std::int64_t value = 0;
            if (given && parse_integer(text, &value) == kOk && value >= c->Minimum &&
                value <= c->Maximum) {
                d.Payload.Integer = value;
            } else {
                // The number nearest to 0 that the bounds allow.
                d.Payload.Integer = std::clamp<std::int64_t>(0, c->Minimum, c->Maximum);
            }
            break;
        }
        case QAC_TYPE_STRING: {
            const auto length = static_cast<std::int64_t>(text.size());
            if (given && length >= c->Minimum && length <= c->Maximum) {
                d.Payload.String = copy_text(text);
                break;
            }
            const std::int64_t spaces = std::max<std::int64_t>(c->Minimum, 0);
            if (spaces <= kMaxDefaultPadding) {
                d.Payload.String = make_padding(static_cast<std::size_t>(spaces));
            }
            break;
        }
        case QAC_TYPE_BOOLEAN: {
            std::uint32_t value = 0;
            d.Payload.Boolean = given && parse_boolean(text, &value) == kOk ? value : 0;
            break;
        }
        case QAC_TYPE_IPADDR: {
            QAC_IpAddr address{};
            OwnedText host;
            if (given && parse_address(text, &address, &host) == kOk) {
                d.Payload.IpAddr = address;
                d.Payload.IpAddr.HostName = host.release();
            }
            break;
        }
        case QAC_TYPE_ENUMERATION:
            if (given) {
                // A listed word or not, the text stays as written; adding a value that holds
                // an unlisted default is refused later.
                d.Payload.Enumeration = copy_text(text);
            } else if (c->EnumList != nullptr) {
                // Without a default the first listed word, so that a value made from the
                // default is one the definition accepts.
                d.Payload.Enumeration = copy_text(c->EnumList->Value);
            }
            break;
        default:
            break;  // structures and untyped definitions have no default payload
    }
}

// Fills one definition from its item and appends (unfilled) definitions for its nested
// items, which are returned for the caller to fill in turn.
void fill_definition(QAC_Content* c, Converted* item,
                     std::vector<std::pair<Converted*, QAC_Content*>>* work) {
    ItemFields f = gather(item->members);
    c->Name = take_text(f.name);
    c->Description = take_text(f.description);
    c->DispString = take_text(f.dispstring);
    c->Hidden = f.hidden != nullptr ? f.hidden->boolean : 0;
    c->Number = f.number != nullptr ? static_cast<std::uint32_t>(f.number->integer) : 1;
    c->Type = type_code(f.type);
    c->Identifier = f.identifier != nullptr ? f.identifier->boolean : 0;
    if (c->Type == QAC_TYPE_STRUCTURE || c->Type == QAC_TYPE_NONE) {
        c->Identifier = 0;
    }
    c->Necessity = f.necessity != nullptr ? f.necessity->boolean : 1;
    if (c->Identifier != 0) {
        c->Necessity = 1;
    }
    if (c->Type == QAC_TYPE_ENUMERATION && f.enum_list != nullptr) {
        c->EnumList = f.enum_list->enum_list.release();
    }
    set_bounds(c, f);
    set_default(c, f);

    QAC_Content** tail = &c->Members;
    for (Converted* nested : f.items) {
        *tail = new QAC_Content{};
        work->emplace_back(nested, *tail);
        tail = &(*tail)->Next;
    }
}

}  // namespace

Result build_definitions(Conversion* values, DefinitionFile* file) {
    try {
        DefinitionFile built;
        std::vector<std::pair<Converted*, QAC_Content*>> work;
        QAC_Content* last = nullptr;
        for (Converted* value : values->values()) {
            const std::string_view element = value->entry->name;
            if (element == "name") {
                built.name.reset(take_text(value));
            } else if (element == "description") {
                built.description.reset(take_text(value));
            } else if (element == "dispstring") {
                built.dispstring.reset(take_text(value));
            } else if (element == "hidden") {
                built.hidden = value->boolean;
            } else if (element == "item") {
                auto* definition = new QAC_Content{};
                if (last == nullptr) {
                    built.definitions.reset(definition);
                } else {
                    last->Next = definition;
                }
                last = definition;
                work.emplace_back(value, definition);
            }
        }
        while (!work.empty()) {
            const auto [item, definition] = work.back();
            work.pop_back();
            fill_definition(definition, item, &work);
        }
        *file = std::move(built);
        return kOk;
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
}

namespace {

template <typename Read>
Result read_and_build(Read read, DefinitionFile* file) {
    try {
        Conversion values;
        const Result result = read(&values);
        return result != kOk ? result : build_definitions(&values, file);
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
}

}  // namespace

Result read_definitions(std::uint32_t kind, const char* source, DefinitionFile* file) {
    return read_and_build(
        [&](Conversion* values) {
            return read_values(kind, source, definition_file_schema(), values);
        },
        file);
}

Result read_definitions(BlockReader* reader, DefinitionFile* file) {
    return read_and_build(
        [&](Conversion* values) { return read_values(reader, definition_file_schema(), values); },
        file);
}

Result read_definitions(std::string_view bytes, DefinitionFile* file) {
    return read_and_build(
        [&](Conversion* values) { return read_values(bytes, definition_file_schema(), values); },
        file);
}

DefinitionFile copy_definition_file(const DefinitionFile& file) {
    const auto copy_optional = [](const OwnedText& text) {
        return text == nullptr ? OwnedText() : make_text(text.get());
    };
    DefinitionFile copy;
    copy.name = copy_optional(file.name);
    copy.description = copy_optional(file.description);
    copy.dispstring = copy_optional(file.dispstring);
    copy.hidden = file.hidden;
    copy.definitions = copy_contents(file.definitions.get());
    return copy;
}

namespace {

constexpr std::size_t kKeptFiles = 4;
constexpr std::size_t kMostKeptBytes = 256 * 1024;  // larger files are read each time

struct KeptDefinitions {
    std::string bytes;
    DefinitionFile file;
    std::uint64_t used = 0;
};

struct DefinitionKeeper {
    plat::RecursiveMutex lock;
    KeptDefinitions kept[kKeptFiles];
    std::uint64_t uses = 0;
};

DefinitionKeeper& keeper() {
    static DefinitionKeeper made;
    return made;
}

}  // namespace

bool copy_kept_definitions(std::string_view bytes, DefinitionFile* file) {
    DefinitionKeeper& k = keeper();
    std::lock_guard<plat::RecursiveMutex> hold(k.lock);
    for (KeptDefinitions& kept : k.kept) {
        if (kept.used != 0 && kept.bytes == bytes) {
            *file = copy_definition_file(kept.file);
            kept.used = ++k.uses;
            return true;
        }
    }
    return false;
}

void keep_definitions(std::string_view bytes, const DefinitionFile& file) {
    if (bytes.size() > kMostKeptBytes) {
        return;
    }
    KeptDefinitions fresh;
    fresh.bytes = bytes;
    fresh.file = copy_definition_file(file);
    DefinitionKeeper& k = keeper();
    std::lock_guard<plat::RecursiveMutex> hold(k.lock);
    KeptDefinitions* oldest = &k.kept[0];
    for (KeptDefinitions& kept : k.kept) {
        if (kept.used != 0 && kept.bytes == bytes) {
            oldest = &kept;  // kept meanwhile by another thread: renewed
            break;
        }
        if (kept.used < oldest->used) {
            oldest = &kept;
        }
    }
    fresh.used = ++k.uses;
    std::swap(*oldest, fresh);  // the one pushed out goes after the lock is given back
}

}  // namespace qac
