#include "value_group.h"

#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "value_set.h"

namespace qac {

namespace {

void update_owner(QAC_DataGroup* group) noexcept {
    if (group->Owner != nullptr) {
        ValueNode* first = first_of(*group);
        group->Owner->Payload.FirstMember = first != nullptr ? &first->data : nullptr;
    }
}

// Releases a chain of values linked by next, splicing each structure's members in after it.
void release_chain(ValueNode* chain) noexcept {
    while (chain != nullptr) {
        ValueNode* node = chain;
        chain = node->next;
        if (node->data.Type == QAC_TYPE_STRUCTURE) {
            QAC_DataGroup& members = node->data.Members;
            ValueNode* first = first_of(members);
            if (first != nullptr) {
                static_cast<ValueNode*>(members.Last)->next = chain;
                chain = first;
            }
            members.First = members.Last = nullptr;
            group_release(&members);
        }
        release_payload(node->data.Type, node->data.Payload);
        node->tag = 0;
        if (node->handle != nullptr) {
            node->handle->nodes.put(node);
        } else {
            delete node;
        }
    }
}

}  // namespace

void group_init(QAC_DataGroup* group, const DefinitionLevel& level, QAC_Data* owner) {
    *group = QAC_DataGroup{};
    group->Owner = owner;
    if (level.definitions.empty()) {
        return;
    }
    group->Sets = new QAC_DataSet[level.definitions.size()];
    group->DefinitionCount = static_cast<std::uint32_t>(level.definitions.size());
    group->Definitions = level.definitions.data();
}

void group_release(QAC_DataGroup* group) noexcept {
    ValueNode* first = first_of(*group);
    group_close_sets(group);
    release_chain(first);
}

void group_close_sets(QAC_DataGroup* group) noexcept {
    for (std::uint32_t i = 0; i < group->DefinitionCount; ++i) {
        // A lookup still running in another thread finishes first.
        std::lock_guard<plat::RecursiveMutex> hold(group->Sets[i].lock);
        group->Sets[i].tag = QAC_DataSet::kDestroyed;
        group->Sets[i].root = nullptr;
    }
    delete[] group->Sets;
    QAC_Data* owner = group->Owner;
    *group = QAC_DataGroup{};
    group->Owner = owner;
}

void release_all_values(HandleState* handle) noexcept {
    std::lock_guard<NodePool> hold(handle->nodes);
    group_close_sets(&handle->config->Data);
    handle->nodes.release_all([](ValueNode* node) noexcept {
        if (node->data.Type == QAC_TYPE_STRUCTURE) {
            group_close_sets(&node->data.Members);
        }
        release_payload(node->data.Type, node->data.Payload);
    });
    std::lock_guard<plat::RecursiveMutex> detached(handle->detached_lock);
    handle->detached = nullptr;
}

void group_empty(QAC_DataGroup* group) noexcept {
    for (std::uint32_t i = 0; i < group->DefinitionCount; ++i) {
        set_clear(&group->Sets[i]);
    }
    ValueNode* first = first_of(*group);
    group->First = group->Last = nullptr;
    update_owner(group);
    release_chain(first);
}

namespace {

// The level a group's definitions come from, whose name index finds them: a structure
// definition's members, or the handle's top level for the group inside the handle's record
// (the one group without an owner).
const DefinitionLevel* level_of(const QAC_DataGroup& group) {
    const DefinitionLevel* level = nullptr;
    if (group.Owner != nullptr) {
        const ValueNode* owner = node_of(group.Owner);
        level = &member_level(owner->handle, owner->definition);
    } else {
        const auto* config = reinterpret_cast<const QAC_Config*>(
            reinterpret_cast<const char*>(&group) - offsetof(QAC_Config, Data));
        const auto* state = static_cast<const HandleState*>(config->State);
        level = state != nullptr ? state->top : nullptr;
    }
    return level != nullptr && level->definitions.data() == group.Definitions ? level : nullptr;
}

std::uint32_t scan_for(const QAC_DataGroup& group, const QAC_Content* definition) {
    for (std::uint32_t i = 0; i < group.DefinitionCount; ++i) {
        if (group.Definitions[i] == definition) {
            return i;
        }
    }
    return kNoIndex;
}

}  // namespace

std::uint32_t definition_index(const QAC_DataGroup& group, const QAC_Content* definition) {
    // Names are unique within a level, so the name finds the one candidate; only a
    // definition without one, or of another level, costs a scan.
    const DefinitionLevel* level = level_of(group);
    if (level != nullptr && definition != nullptr && definition->Name != nullptr) {
        const std::uint32_t found = level->by_name.find(definition->Name);
        if (found != NameIndex::kNone && group.Definitions[found] == definition) {
            return found;
        }
    }
    return scan_for(group, definition);
}

std::uint32_t definition_index(const QAC_DataGroup& group, const char* name) {
    if (const DefinitionLevel* level = level_of(group)) {
        const std::uint32_t found = level->by_name.find(name);
        return found != NameIndex::kNone ? found : kNoIndex;
    }
    for (std::uint32_t i = 0; i < group.DefinitionCount; ++i) {
        const char* candidate = group.Definitions[i]->Name;
        if (candidate != nullptr && std::strcmp(candidate, name) == 0) {
            return i;
        }
    }
    return kNoIndex;
}

void list_append(QAC_DataGroup* group, ValueNode* node) noexcept {
    ValueNode* last = static_cast<ValueNode*>(group->Last);
    node->prev = last;
    node->next = nullptr;
    if (last != nullptr) {
        last->next = node;
    } else {
        group->First = node;
    }
    group->Last = node;
    node->group = group;
    update_owner(group);
}

void list_unlink(ValueNode* node) noexcept {
    QAC_DataGroup* group = node->group;
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        group->First = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        group->Last = node->prev;
    }
    node->next = node->prev = nullptr;
    node->group = nullptr;
    update_owner(group);
}

const DefinitionLevel& member_level(const HandleState* handle, const QAC_Content* definition) {
    static const DefinitionLevel kNone;
    const auto found = handle->member_levels.find(definition);
    return found != handle->member_levels.end() ? *found->second : kNone;
}

ValueNode* make_value(HandleState* handle, const QAC_Content* definition) {
    struct Return {
        void operator()(ValueNode* n) const noexcept { n->handle->nodes.put(n); }
    };
    std::unique_ptr<ValueNode, Return> node(handle->nodes.get());
    node->tag = kNodeTag;
    node->definition = definition;
    node->handle = handle;
    node->data.Type = definition->Type;
    if (definition->Type == QAC_TYPE_STRUCTURE) {
        group_init(&node->data.Members, member_level(handle, definition), &node->data);
    }
    return node.release();
}

void release_value(ValueNode* node) noexcept {
    if (node != nullptr) {
        node->next = nullptr;
        release_chain(node);
    }
}

void track_detached(ValueNode* node) noexcept {
    HandleState* handle = node->handle;
    std::lock_guard<plat::RecursiveMutex> hold(handle->detached_lock);
    node->prev = nullptr;
    node->next = handle->detached;
    if (node->next != nullptr) {
        node->next->prev = node;
    }
    handle->detached = node;
}

void untrack_detached(ValueNode* node) noexcept {
    HandleState* handle = node->handle;
    std::lock_guard<plat::RecursiveMutex> hold(handle->detached_lock);
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else if (handle->detached == node) {
        handle->detached = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    }
    node->next = node->prev = nullptr;
}

void release_detached(HandleState* handle) noexcept {
    std::lock_guard<plat::RecursiveMutex> hold(handle->detached_lock);
    release_chain(handle->detached);
    handle->detached = nullptr;
}

AncestorsOut::AncestorsOut(QAC_DataGroup* group) {
    while (group->Owner != nullptr) {
        ValueNode* structure = node_of(group->Owner);
        if (structure->group == nullptr) {
            break;
        }
        chain_.emplace_back(structure, structure->set);
        group = structure->group;
    }
}

void AncestorsOut::take_out() noexcept {
    for (const auto& [structure, set] : chain_) {
        set_remove(structure);
    }
}

Result AncestorsOut::put_back() noexcept {
    Result result = kOk;
    for (const auto& [structure, set] : chain_) {
        Result inserted = QAC_E_EXIST;
        try {
            inserted = set_insert(set, structure);
        } catch (const std::bad_alloc&) {
            inserted = QAC_E_NOMEM;
        }
        if (inserted != kOk) {
            list_unlink(structure);
            track_detached(structure);
            if (result == kOk) {
                result = inserted;
            }
        }
    }
    return result;
}

}  // namespace qac
