// Value groups: the values of one level, in a list in the order they came and in one
// ordered set per definition.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "jovacfg.h"
#include "result.h"
#include "value_node.h"

namespace qac {

constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

// An empty group of a level that outlives it. Throws std::bad_alloc.
void group_init(QAC_DataGroup* group, const DefinitionLevel& level, QAC_Data* owner);

// Releases every value of the group and its sets; the group is left empty, without sets.
void group_release(QAC_DataGroup* group) noexcept;

// Closes the group's sets, each once its lock is free, and frees them; the values stay. The
// group is left empty, without sets.
void group_close_sets(QAC_DataGroup* group) noexcept;

// Every value of the handle, in its groups or detached, with every group's sets: at the
// handle's end, all at once.
void release_all_values(HandleState* handle) noexcept;

// Releases every value of the group; its sets stay, empty.
void group_empty(QAC_DataGroup* group) noexcept;

// The position of a definition in the group, by identity or by name; kNoIndex if absent.
std::uint32_t definition_index(const QAC_DataGroup& group, const QAC_Content* definition);
std::uint32_t definition_index(const QAC_DataGroup& group, const char* name);

void list_append(QAC_DataGroup* group, ValueNode* node) noexcept;
void list_unlink(ValueNode* node) noexcept;

// The members' level of a definition (an empty one when it has no members).
const DefinitionLevel& member_level(const HandleState* handle, const QAC_Content* definition);

// A new value of the definition, in no group and not yet tracked; a structure gets an empty
// member group. Throws std::bad_alloc.
ValueNode* make_value(HandleState* handle, const QAC_Content* definition);

// Releases a value that is in no list, with its texts and members. Nesting costs no stack.
void release_value(ValueNode* node) noexcept;

// The handle's list of values in no group.
void track_detached(ValueNode* node) noexcept;
void untrack_detached(ValueNode* node) noexcept;
void release_detached(HandleState* handle) noexcept;

// The structures above a group that are in sets: their order depends on the group's
// members, so they leave their sets while it changes and return afterwards.
class AncestorsOut {
  public:
    // Collects them; throws std::bad_alloc before anything is changed.
    explicit AncestorsOut(QAC_DataGroup* group);
    AncestorsOut(const AncestorsOut&) = delete;
    AncestorsOut& operator=(const AncestorsOut&) = delete;

    void take_out() noexcept;
    // Innermost first; one that now equals another value of its set is detached, and the
    // result is that set's code.
    Result put_back() noexcept;

  private:
    std::vector<std::pair<ValueNode*, QAC_DataSet*>> chain_;
};

}  // namespace qac
