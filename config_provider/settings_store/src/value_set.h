// The values of one definition within one group, in value order: a height-balanced binary
// search tree threaded through the value nodes, with its own lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "jovacfg.h"
#include "plat/sync.h"
#include "result.h"
#include "value_node.h"

struct QAC_DataSet {
    static constexpr std::uint32_t kAlive = 0x42545245;
    static constexpr std::uint32_t kDestroyed = 0x45525442;

    QAC_DataSet() = default;
    ~QAC_DataSet() { tag = kDestroyed; }
    QAC_DataSet(const QAC_DataSet&) = delete;
    QAC_DataSet& operator=(const QAC_DataSet&) = delete;

    std::uint32_t tag = kAlive;
    qac::ValueNode* root = nullptr;
    std::uint32_t count = 0;
    plat::RecursiveMutex lock;
};

namespace qac {

// QAC_E_RANGE when limit is not 0 and the set holds that many values already, QAC_E_EXIST
// when an equal value is in it (*equal gets it), else 0: the node is in the set. Throws
// std::bad_alloc where comparing deeply nested structures needs memory.
Result set_insert(QAC_DataSet* set, ValueNode* node, std::uint32_t limit = 0,
                  ValueNode** equal = nullptr);

// Fills an empty set with values of its definition, ascending and without equal neighbours.
void set_build(QAC_DataSet* set, ValueNode* const* sorted, std::size_t count) noexcept;

// Takes the node out of the set it is in. QAC_E_NOTFOUND when it is in no set.
Result set_remove(ValueNode* node);

// Up to capacity records in ascending order; *total gets the number of values.
Result set_list(QAC_DataSet* set, QAC_Data** out, std::uint32_t capacity, std::uint32_t* total);

// Forgets every node without touching them: the caller releases them through the list.
Result set_clear(QAC_DataSet* set);

// For tests: 0 when every node's side heights are its subtrees' heights, differ by at most
// one, the links agree, the values ascend and the count is right.
Result set_check(QAC_DataSet* set);

}  // namespace qac
