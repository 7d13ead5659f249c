// The ordered set on its own: balance and order after any sequence of inserts and removes.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "value_set.h"

namespace qac {
namespace {

class ValueSetTest : public ::testing::Test {
  protected:
    ValueSetTest() {
        definition_.Name = "n";
        definition_.Type = QAC_TYPE_INTEGER;
    }

    ValueNode* node(std::int64_t value) {
        auto n = std::make_unique<ValueNode>();
        n->tag = kNodeTag;
        n->definition = &definition_;
        n->data.Type = QAC_TYPE_INTEGER;
        n->data.Payload.Integer = value;
        nodes_.push_back(std::move(n));
        return nodes_.back().get();
    }

    std::vector<std::int64_t> listed() {
        std::uint32_t total = 0;
        EXPECT_EQ(set_list(&set_, nullptr, 0, &total), 0u);
        std::vector<QAC_Data*> records(total);
        EXPECT_EQ(set_list(&set_, records.data(), total, &total), 0u);
        std::vector<std::int64_t> values;
        for (QAC_Data* r : records) {
            values.push_back(r->Payload.Integer);
        }
        return values;
    }

    std::uint32_t root_height() const {
        const ValueNode* root = set_.root;
        return root == nullptr ? 0 : 1 + std::max(root->left_height, root->right_height);
    }

    QAC_Content definition_{};
    QAC_DataSet set_;
    std::vector<std::unique_ptr<ValueNode>> nodes_;
};

TEST_F(ValueSetTest, AscendingInsertsStayBalanced) {
    for (std::int64_t i = 1; i <= 1000; ++i) {
        ASSERT_EQ(set_insert(&set_, node(i)), 0u);
    }
    EXPECT_EQ(set_check(&set_), 0u);
    EXPECT_LE(root_height(), 11u);  // a perfect tree of 1000 nodes is 10 high
    const std::vector<std::int64_t> values = listed();
    ASSERT_EQ(values.size(), 1000u);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    EXPECT_EQ(set_insert(&set_, node(500)), QAC_E_EXIST);
    EXPECT_EQ(set_insert(&set_, node(1001), 1000), QAC_E_RANGE);
}

TEST_F(ValueSetTest, RandomInsertsAndRemovesKeepOrderAndBalance) {
    std::mt19937 random(12345);
    std::vector<ValueNode*> by_value(400, nullptr);
    std::set<std::int64_t> model;
    for (int step = 0; step < 40000; ++step) {
        const auto value = static_cast<std::int64_t>(random() % by_value.size());
        ValueNode*& slot = by_value[static_cast<std::size_t>(value)];
        if (slot == nullptr || random() % 3 == 0) {
            ValueNode* fresh = node(value);
            const Result inserted = set_insert(&set_, fresh);
            ASSERT_EQ(inserted, slot == nullptr ? kOk : QAC_E_EXIST);
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
            ASSERT_EQ(set_check(&set_), 0u) << "after step " << step;
        }
    }
    EXPECT_EQ(set_check(&set_), 0u);
    EXPECT_EQ(listed(), std::vector<std::int64_t>(model.begin(), model.end()));
    // Down to nothing, checking all the way.
    for (ValueNode* n : by_value) {
        if (n != nullptr) {
            ASSERT_EQ(set_remove(n), 0u);
            ASSERT_EQ(set_check(&set_), 0u);
        }
    }
    EXPECT_EQ(set_.count, 0u);
    EXPECT_EQ(set_.root, nullptr);
}

}  // namespace
}  // namespace qac
