// The node every value record lives in, and the handle's private state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "jovacfg.h"
#include "name_index.h"
#include "node_pool.h"
#include "plat/sync.h"
#include "records.h"

namespace qac {

struct HandleState;

// A value, linked into its group's list and its definition's set, or detached. The set's
// links, the tag and the record's type and payload share the node's first cache line, which
// is all that finding a place in a set reads of most nodes.
struct alignas(64) ValueNode {
    // The set's height-balanced tree. Building a set writes only these, and sorting reads
    // only the first bytes of the record's payload: all in the node's first cache line.
    ValueNode* parent = nullptr;
    ValueNode* left = nullptr;
    ValueNode* right = nullptr;
    QAC_DataSet* set = nullptr;  // null while detached
    std::uint16_t left_height = 0;
    std::uint16_t right_height = 0;
    std::uint32_t read_serial = 0;  // the read that made it, 0 for none
    // Right before the record, so that a check of a foreign record reads only the few
    // bytes in front of it.
    std::uint32_t tag = 0;
    QAC_Data data{};
    // The group's list while attached; the handle's list of detached values otherwise.
    ValueNode* next = nullptr;
    ValueNode* prev = nullptr;
    const QAC_Content* definition = nullptr;
    QAC_DataGroup* group = nullptr;  // null while detached
    HandleState* handle = nullptr;
};
// Three cache lines: a fourth for a few bytes would add a third to a large read's memory.
static_assert(sizeof(ValueNode) == 192 || sizeof(void*) != 8, "a value node grew a cache line");
static_assert(offsetof(ValueNode, data) + offsetof(QAC_Data, Payload) + 8 <= 64,
              "a payload's first bytes left the first cache line");

constexpr std::uint32_t kNodeTag = 0x564E4F44;  // "VNOD"

inline ValueNode* node_of(QAC_Data* data) {
    return reinterpret_cast<ValueNode*>(reinterpret_cast<char*>(data) - offsetof(ValueNode, data));
}
inline const ValueNode* node_of(const QAC_Data* data) {
    return reinterpret_cast<const ValueNode*>(reinterpret_cast<const char*>(data) -
                                              offsetof(ValueNode, data));
}

// A record handed in by a caller: a value of this library, else null. Only the tag's bytes
// are read before the record is known to be a value's.
inline ValueNode* checked_node(QAC_Data* data) {
    const auto address = reinterpret_cast<std::uintptr_t>(data);
    constexpr std::size_t kTagBefore = offsetof(ValueNode, data) - offsetof(ValueNode, tag);
    if (data == nullptr ||
        address % alignof(ValueNode) != offsetof(ValueNode, data) % alignof(ValueNode)) {
        return nullptr;
    }
    std::uint32_t tag;
    std::memcpy(&tag, reinterpret_cast<const char*>(data) - kTagBefore, sizeof tag);
    return tag == kNodeTag ? node_of(data) : nullptr;
}

inline ValueNode* first_of(const QAC_DataGroup& group) {
    return static_cast<ValueNode*>(group.First);
}

// The definitions of one level, shared by every group of that level.
struct DefinitionLevel {
    std::vector<const QAC_Content*> definitions;
    NameIndex by_name;  // the first of each name
};

// What a handle keeps besides its public record.
struct HandleState {
    static constexpr std::uint32_t kTag = 0x48434647;  // "HCFG"

    std::uint32_t tag = kTag;
    QAC_Config* config = nullptr;
    OwnedText name;
    OwnedText description;
    OwnedText dispstring;
    OwnedContents definitions;
    std::deque<DefinitionLevel> levels;
    const DefinitionLevel* top = nullptr;
    // The members of every definition that has some.
    std::unordered_map<const QAC_Content*, const DefinitionLevel*> member_levels;
    std::uint32_t read_serial = 0;  // reads so far

    // Long string defaults made on first use (DataDefaultGet from several threads at once).
    plat::RecursiveMutex defaults_lock;

    // Values in no group; released with the handle.
    plat::RecursiveMutex detached_lock;
    ValueNode* detached = nullptr;
    NodePool nodes;  // every value is released before it goes
};

HandleState* state_of(QAC_Config* config);

}  // namespace qac
