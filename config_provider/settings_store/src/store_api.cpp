// The nineteen exports. No exception leaves them: what throws is out of memory.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "definition_reader.h"
#include "jovacfg.h"
#include "markup_input.h"
#include "value_group.h"
#include "value_node.h"
#include "value_reader.h"
#include "value_set.h"
#include "value_writer.h"

namespace qac {

HandleState* state_of(QAC_Config* config) {
    if (config == nullptr) {
        return nullptr;
    }
    auto* state = static_cast<HandleState*>(config->State);
    if (state == nullptr || state->tag != HandleState::kTag || state->config != config) {
        return nullptr;
    }
    return state;
}

namespace {

template <typename Body>
Result guarded(Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return QAC_E_NOMEM;  // only allocations throw
    }
}

// A structure value handed in by a caller, else null.
ValueNode* structure_of(QAC_Data* data) {
    ValueNode* node = checked_node(data);
    return node != nullptr && node->data.Type == QAC_TYPE_STRUCTURE ? node : nullptr;
}

Result create_handle(const char* path, QAC_Config** out) {
    DocumentBytes bytes;
    if (const Result loaded = bytes.load(kSourceFile, path); loaded != kOk) {
        return loaded;
    }
    DefinitionFile file;
    if (!copy_kept_definitions(bytes.bytes(), &file)) {
        if (const Result read = read_definitions(bytes.bytes(), &file); read != kOk) {
            return read;
        }
        try {
            keep_definitions(bytes.bytes(), file);
        } catch (const std::bad_alloc&) {
            // Not kept: the next handle reads them again.
        }
    }
    auto state = std::make_unique<HandleState>();
    auto config = std::make_unique<QAC_Config>();
    state->name = std::move(file.name);
    state->description = std::move(file.description);
    state->dispstring = std::move(file.dispstring);
    state->definitions = std::move(file.definitions);
    // One level for the top and one for the members of every definition that has some,
    // shared by all groups of that definition's values.
    std::vector<std::pair<const QAC_Content*, const QAC_Content*>> pending;  // owner, first
    pending.emplace_back(nullptr, state->definitions.get());
    while (!pending.empty()) {
        const auto [owner, first] = pending.back();
        pending.pop_back();
        DefinitionLevel& level = state->levels.emplace_back();
        for (const QAC_Content* c = first; c != nullptr; c = c->Next) {
            if (c->Name != nullptr) {
                level.by_name.add(c->Name, static_cast<std::uint32_t>(level.definitions.size()));
            }
            level.definitions.push_back(c);
            if (c->Members != nullptr) {
                pending.emplace_back(c, c->Members);
            }
        }
        if (owner == nullptr) {
            state->top = &level;
        } else {
            state->member_levels.emplace(owner, &level);
        }
    }
    config->Name = state->name.get();
    config->Description = state->description.get();
    config->DispString = state->dispstring.get();
    config->Hidden = file.hidden;
    config->Contents = state->definitions.get();
    group_init(&config->Data, *state->top, nullptr);
    state->config = config.get();
    config->State = state.release();
    *out = config.release();
    return kOk;
}

Result read_into(std::uint32_t kind, const char* source, QAC_Config* config) {
    HandleState* state = state_of(config);
    if (source == nullptr || state == nullptr) {
        return QAC_E_PARAM;
    }
    DocumentBytes bytes;
    const Result result = bytes.load(kind, source);
    if (result != kOk) {
        return result;
    }
    return read_value_document(state, &config->Data, bytes.bytes());
}

Result list_contents(const QAC_Content* first, QAC_ContentEntry* entries, std::uint32_t* count) {
    const std::uint32_t capacity = *count;
    std::uint32_t total = 0;
    for (const QAC_Content* c = first; c != nullptr; c = c->Next, ++total) {
        if (entries != nullptr && total < capacity) {
            entries[total].Name = c->Name;
            entries[total].Type = c->Type;
        }
    }
    *count = total;
    return kOk;
}

Result get_values(QAC_DataGroup* group, const char* name, QAC_Data** values, std::uint32_t* count) {
    if (values == nullptr && *count != 0) {
        return QAC_E_PARAM;
    }
    const std::uint32_t index = definition_index(*group, name);
    if (index == kNoIndex) {
        return QAC_E_UNDEFINED;
    }
    return set_list(&group->Sets[index], values, *count, count);
}

// The spaces a string definition's default is padded to. Throws std::bad_alloc for more than
// memory can hold.
std::size_t padding_of(const QAC_Content* definition) {
    const std::int64_t length = std::max<std::int64_t>(definition->Minimum, 0);
    constexpr auto kMost = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (static_cast<std::uint64_t>(length) >= kMost) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(length);
}

Result get_default(HandleState* state, const QAC_DataGroup& group, const char* name,
                   const QAC_Default** value) {
    const std::uint32_t index = definition_index(group, name);
    if (index == kNoIndex) {
        return QAC_E_UNDEFINED;
    }
    const QAC_Content* definition = group.Definitions[index];
    if (definition->Type == QAC_TYPE_STRING) {
        // A padding too long to make with the definitions is made now, once.
        std::lock_guard<plat::RecursiveMutex> hold(state->defaults_lock);
        auto* owned = const_cast<QAC_Content*>(definition);  // the handle's own record
        if (owned->Default.Payload.String == nullptr) {
            owned->Default.Payload.String = make_padding(padding_of(definition));
        }
    }
    *value = &definition->Default;
    return kOk;
}

Result create_default(HandleState* state, const QAC_DataGroup& group, const char* name,
                      QAC_Data** value) {
    const std::uint32_t index = definition_index(group, name);
    if (index == kNoIndex) {
        return QAC_E_UNDEFINED;
    }
    const QAC_Content* definition = group.Definitions[index];
    const QAC_Payload& given = definition->Default.Payload;
    switch (definition->Type) {
        case QAC_TYPE_INTEGER:
        case QAC_TYPE_BOOLEAN:
        case QAC_TYPE_IPADDR:
        case QAC_TYPE_STRUCTURE:
            break;
        case QAC_TYPE_STRING:
            break;  // a null default is a padding not made yet
        case QAC_TYPE_ENUMERATION:
            if (given.String == nullptr) {
                return QAC_E_PARAM;
            }
            break;
        default:
            return QAC_E_PARAM;
    }
    std::unique_ptr<ValueNode, void (*)(ValueNode*)> node(make_value(state, definition),
                                                          release_value);
    QAC_Payload& p = node->data.Payload;
    switch (definition->Type) {
        case QAC_TYPE_INTEGER:
            p.Integer = given.Integer;
            break;
        case QAC_TYPE_BOOLEAN:
            p.Boolean = given.Boolean != 0 ? 1 : 0;
            break;
        case QAC_TYPE_IPADDR:
            p.IpAddr = given.IpAddr;
            p.IpAddr.HostName = nullptr;
            if (given.IpAddr.Form == QAC_IPADDR_HOSTNAME && given.IpAddr.HostName != nullptr) {
                p.IpAddr.HostName = copy_text(given.IpAddr.HostName);
            }
            break;
        case QAC_TYPE_STRING: {
            std::lock_guard<plat::RecursiveMutex> hold(state->defaults_lock);
            if (given.String != nullptr) {
                put_payload_text(&p, given.String);
            } else {
                p.String = make_padding(padding_of(definition));
            }
            break;
        }
        case QAC_TYPE_ENUMERATION:
            put_payload_text(&p, given.Enumeration);
            break;
        default:
            break;  // a structure starts without members
    }
    track_detached(node.get());
    *value = &node.release()->data;
    return kOk;
}

bool within(std::int64_t value, const QAC_Content* definition) {
    return value >= definition->Minimum && value <= definition->Maximum;
}

bool listed(const char* word, const QAC_Content* definition) {
    for (const QAC_EnumEntry* e = definition->EnumList; e != nullptr; e = e->Next) {
        if (std::strcmp(e->Value, word) == 0) {
            return true;
        }
    }
    return false;
}

Result insert_noexcept(QAC_DataSet* set, ValueNode* node, std::uint32_t limit = 0) noexcept {
    try {
        return set_insert(set, node, limit);
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
}

// The group the value may be in: its definition must be one of the group's, and a value
// in a group must be in this one.
Result owning_index(const QAC_DataGroup* group, const ValueNode* node, std::uint32_t* index) {
    *index = definition_index(*group, node->definition);
    if (*index == kNoIndex || (node->group != nullptr && node->group != group)) {
        return QAC_E_FOREIGN;
    }
    return kOk;
}

// The new payload, checked against the definition and with its own copies of the texts.
Result prepare_payload(const ValueNode* node, const void* payload, QAC_Payload* fresh) {
    const QAC_Content* definition = node->definition;
    if (payload == nullptr) {
        return QAC_E_PARAM;
    }
    switch (node->data.Type) {
        case QAC_TYPE_INTEGER: {
            std::int64_t value;
            std::memcpy(&value, payload, sizeof value);
            if (!within(value, definition)) {
                return QAC_E_RANGE;
            }
            fresh->Integer = value;
            return kOk;
        }
        case QAC_TYPE_STRING: {
            const char* text = static_cast<const char*>(payload);
            if (!within(static_cast<std::int64_t>(std::strlen(text)), definition)) {
                return QAC_E_RANGE;
            }
            fresh->String = copy_text(text);
            return kOk;
        }
        case QAC_TYPE_ENUMERATION: {
            const char* word = static_cast<const char*>(payload);
            if (!listed(word, definition)) {
                return QAC_E_PARAM;
            }
            fresh->Enumeration = copy_text(word);
            return kOk;
        }
        case QAC_TYPE_BOOLEAN: {
            std::uint32_t value;
            std::memcpy(&value, payload, sizeof value);
            fresh->Boolean = value != 0 ? 1 : 0;
            return kOk;
        }
        case QAC_TYPE_IPADDR: {
            // Taken as given: a form or family the writer has no text for is written as an
            // element without text. Only a host name needs a copy of its own.
            QAC_IpAddr address;
            std::memcpy(&address, payload, sizeof address);
            address.HostName = address.Form == QAC_IPADDR_HOSTNAME && address.HostName != nullptr
                                   ? copy_text(address.HostName)
                                   : nullptr;
            fresh->IpAddr = address;
            return kOk;
        }
        default:
            return QAC_E_PARAM;
    }
}

Result change_value(QAC_DataGroup* group, ValueNode* node, const void* payload) {
    std::uint32_t index;
    Result result = owning_index(group, node, &index);
    if (result != kOk) {
        return result;
    }
    if (node->data.Type == QAC_TYPE_STRUCTURE) {
        // Its members are what it holds; they change one by one.
        return kOk;
    }
    AncestorsOut ancestors(group);
    QAC_Payload fresh{};
    result = prepare_payload(node, payload, &fresh);
    if (result != kOk) {
        return result;
    }
    const bool attached = node->group != nullptr;
    if (attached) {
        set_remove(node);
        ancestors.take_out();
    }
    release_payload(node->data.Type, node->data.Payload);
    node->data.Payload = fresh;
    if (!attached) {
        return kOk;
    }
    result = insert_noexcept(&group->Sets[index], node);
    if (result != kOk) {
        // It now equals another value: out of the group, with its new payload.
        list_unlink(node);
        track_detached(node);
    }
    const Result above = ancestors.put_back();
    return result != kOk ? result : above;
}

Result add_value(QAC_DataGroup* group, ValueNode* node) {
    std::uint32_t index;
    Result result = owning_index(group, node, &index);
    if (result != kOk) {
        return result;
    }
    if (node->group != nullptr) {
        return QAC_E_EXIST;  // in a group already
    }
    const QAC_Content* definition = node->definition;
    const QAC_Payload& p = node->data.Payload;
    switch (node->data.Type) {
        case QAC_TYPE_INTEGER:
            if (!within(p.Integer, definition)) {
                return QAC_E_RANGE;
            }
            break;
        case QAC_TYPE_STRING: {
            const auto length = static_cast<std::int64_t>(p.String ? std::strlen(p.String) : 0);
            if (!within(length, definition)) {
                return QAC_E_RANGE;
            }
            break;
        }
        case QAC_TYPE_ENUMERATION:
            if (p.Enumeration == nullptr || !listed(p.Enumeration, definition)) {
                return QAC_E_PARAM;
            }
            break;
        case QAC_TYPE_BOOLEAN:
        case QAC_TYPE_IPADDR:
        case QAC_TYPE_STRUCTURE:
            break;
        default:
            return QAC_E_PARAM;
    }
    AncestorsOut ancestors(group);
    result = insert_noexcept(&group->Sets[index], node, definition->Number);
    if (result != kOk) {
        return result;
    }
    ancestors.take_out();
    untrack_detached(node);
    list_append(group, node);
    return ancestors.put_back();
}

Result delete_value(QAC_DataGroup* group, ValueNode* node) {
    std::uint32_t index;
    const Result result = owning_index(group, node, &index);
    if (result != kOk) {
        return result;
    }
    if (node->group == nullptr) {
        return kOk;  // detached already
    }
    AncestorsOut ancestors(group);
    set_remove(node);
    ancestors.take_out();
    list_unlink(node);
    track_detached(node);
    return ancestors.put_back();
}

}  // namespace
}  // namespace qac

using namespace qac;

extern "C" {

QAC_API uint32_t QAC_ConfigCreate(const char* path, QAC_Config** handle) {
    if (path == nullptr || handle == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return create_handle(path, handle); });
}

QAC_API void QAC_ConfigDestroy(QAC_Config* handle) {
    HandleState* state = state_of(handle);
    if (state == nullptr) {
        return;
    }
    release_all_values(state);
    state->tag = 0;
    handle->State = nullptr;
    delete state;
    delete handle;
}

QAC_API uint32_t QAC_ConfigRead(const char* path, QAC_Config* handle) {
    return guarded([&] { return read_into(kSourceFile, path, handle); });
}

QAC_API uint32_t QAC_ConfigReadFromData(const char* text, QAC_Config* handle) {
    return guarded([&] { return read_into(kSourceMemory, text, handle); });
}

QAC_API uint32_t QAC_ConfigWrite(const char* path, QAC_Config* handle) {
    if (path == nullptr || state_of(handle) == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return write_value_file(path, handle->Data); });
}

QAC_API uint32_t QAC_ContentListGet(QAC_Config* handle, QAC_ContentEntry* entries,
                                    uint32_t* count) {
    if (state_of(handle) == nullptr || count == nullptr || handle->Contents == nullptr) {
        return QAC_E_PARAM;
    }
    return list_contents(handle->Contents, entries, count);
}

QAC_API uint32_t QAC_ContentListGetFromData(QAC_Data* value, QAC_ContentEntry* entries,
                                            uint32_t* count) {
    const ValueNode* node = checked_node(value);
    if (node == nullptr || count == nullptr) {
        return QAC_E_PARAM;
    }
    return list_contents(node->definition, entries, count);
}

QAC_API uint32_t QAC_DataGet(QAC_Config* handle, const char* name, QAC_Data** values,
                             uint32_t* count) {
    if (state_of(handle) == nullptr || name == nullptr || count == nullptr) {
        return QAC_E_PARAM;
    }
    return get_values(&handle->Data, name, values, count);
}

QAC_API uint32_t QAC_DataGetFromData(QAC_Data* structure, const char* name, QAC_Data** values,
                                     uint32_t* count) {
    ValueNode* node = checked_node(structure);
    if (node == nullptr || name == nullptr || count == nullptr) {
        return QAC_E_PARAM;
    }
    if (node->data.Type != QAC_TYPE_STRUCTURE) {
        return QAC_E_UNDEFINED;
    }
    return get_values(&node->data.Members, name, values, count);
}

QAC_API uint32_t QAC_DataDefaultGet(QAC_Config* handle, const char* name,
                                    const QAC_Default** value) {
    if (state_of(handle) == nullptr || name == nullptr || value == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return get_default(state_of(handle), handle->Data, name, value); });
}

QAC_API uint32_t QAC_DataDefaultGetFromData(QAC_Data* structure, const char* name,
                                            const QAC_Default** value) {
    ValueNode* node = structure_of(structure);
    if (node == nullptr || name == nullptr || value == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return get_default(node->handle, node->data.Members, name, value); });
}

QAC_API uint32_t QAC_DataDefaultCreate(QAC_Config* handle, const char* name, QAC_Data** value) {
    HandleState* state = state_of(handle);
    if (state == nullptr || name == nullptr || value == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return create_default(state, handle->Data, name, value); });
}

QAC_API uint32_t QAC_DataDefaultCreateFromData(QAC_Data* structure, const char* name,
                                               QAC_Data** value) {
    ValueNode* node = structure_of(structure);
    if (node == nullptr || name == nullptr || value == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return create_default(node->handle, node->data.Members, name, value); });
}

QAC_API uint32_t QAC_DataChange(QAC_Config* handle, QAC_Data* value, const void* payload) {
    ValueNode* node = checked_node(value);
    if (state_of(handle) == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return change_value(&handle->Data, node, payload); });
}

QAC_API uint32_t QAC_DataChangeToData(QAC_Data* structure, QAC_Data* member, const void* payload) {
    ValueNode* owner = structure_of(structure);
    ValueNode* node = checked_node(member);
    if (owner == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return change_value(&owner->data.Members, node, payload); });
}

QAC_API uint32_t QAC_DataAdd(QAC_Config* handle, QAC_Data* value) {
    ValueNode* node = checked_node(value);
    if (state_of(handle) == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return add_value(&handle->Data, node); });
}

QAC_API uint32_t QAC_DataAddToData(QAC_Data* structure, QAC_Data* value) {
    ValueNode* owner = structure_of(structure);
    ValueNode* node = checked_node(value);
    if (owner == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return add_value(&owner->data.Members, node); });
}

QAC_API uint32_t QAC_DataDel(QAC_Config* handle, QAC_Data* value) {
    ValueNode* node = checked_node(value);
    if (state_of(handle) == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return delete_value(&handle->Data, node); });
}

QAC_API uint32_t QAC_DataDelFromData(QAC_Data* structure, QAC_Data* member) {
    ValueNode* owner = structure_of(structure);
    ValueNode* node = checked_node(member);
    if (owner == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    return guarded([&] { return delete_value(&owner->data.Members, node); });
}

}  // extern "C"
