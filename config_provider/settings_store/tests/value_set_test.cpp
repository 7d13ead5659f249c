// The ordered set on its own: balance and order after any sequence of inserts and removes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <vector>

#include "value_set.h"

namespace qac {
namespace {

// Ascending inserts, the worst case without rebalancing, then random inserts and removes
// checked against a model, then removal down to nothing.
TEST(ValueSet, OrderAndBalanceAfterAnyOperations) {
    QAC_Content definition{};
    definition.Name = "n";
    definition.Type = QAC_TYPE_INTEGER;
    std::deque<ValueNode> nodes;
    const auto node = [&](std::int64_t value) {
        ValueNode& n = nodes.emplace_back();
        n.tag = kNodeTag;
        n.definition = &definition;
        n.data.Type = QAC_TYPE_INTEGER;
        n.data.Payload.Integer = value;
        return &n;
    };
    QAC_DataSet set;
    std::vector<ValueNode*> by_value(1000, nullptr);
    std::set<std::int64_t> model;
    for (std::int64_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(set_insert(&set, by_value[i] = node(i)), 0u);
        model.insert(i);
    }
    EXPECT_EQ(set_check(&set), 0u);
    EXPECT_LE(std::max(set.root->left_height, set.root->right_height), 10u);  // 9 when perfect
    EXPECT_EQ(set_insert(&set, node(500)), QAC_E_EXIST);
    EXPECT_EQ(set_insert(&set, node(1001), 1000), QAC_E_RANGE);

    std::mt19937 random(12345);
    for (int step = 0; step < 40000; ++step) {
        const auto value = static_cast<std::int64_t>(random() % by_value.size());
        ValueNode*& slot = by_value[static_cast<std::size_t>(value)];
        if (slot == nullptr || random() % 3 == 0) {
            ValueNode* fresh = node(value);
            ASSERT_EQ(set_insert(&set, fresh), slot == nullptr ? kOk : QAC_E_EXIST);
            if (slot == nullptr) {
                slot = fresh;
                model.insert(value);
            }
        } else {
            ASSERT_EQ(set_remove(slot), 0u);
            ASSERT_EQ(set_remove(slot), QAC_E_NOTFOUND);
            slot = nullptr;
            model.erase(value);
        }
        if (step % 97 == 0 || model.size() < 4) {
            ASSERT_EQ(set_check(&set), 0u) << "after step " << step;
        }
    }
    EXPECT_EQ(set_check(&set), 0u);
    // Listed in order: counted with no room first, then all of them.
    std::uint32_t total = 0;
    EXPECT_EQ(set_list(&set, nullptr, 0, &total), 0u);
    std::vector<QAC_Data*> records(total);
    EXPECT_EQ(set_list(&set, records.data(), total, &total), 0u);
    std::vector<std::int64_t> values;
    for (QAC_Data* r : records) {
        values.push_back(r->Payload.Integer);
    }
    EXPECT_EQ(values, std::vector<std::int64_t>(model.begin(), model.end()));
    for (ValueNode* n : by_value) {
        if (n != nullptr) {
            ASSERT_EQ(set_remove(n), 0u);
            ASSERT_EQ(set_check(&set), 0u);
        }
    }
    EXPECT_EQ(set.count, 0u);
    EXPECT_EQ(set.root, nullptr);
}

}  // namespace
}  // namespace qac
