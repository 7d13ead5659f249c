// The ordered set on its own: balance and order after any sequence of inserts and removes,
// after a build from sorted values, and the sort that such a build starts from.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <set>
#include <vector>

#include <string>

#include "value_order.h"
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
    EXPECT_LE(std::max(set.root->left_height, set.root->right_height), 10);  // 9 when perfect
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

// Values of one definition, made for these tests.
struct Values {
    explicit Values(std::uint32_t type) {
        definition.Name = "v";
        definition.Type = type;
    }
    ValueNode* make() {
        ValueNode& n = nodes.emplace_back();
        n.tag = kNodeTag;
        n.definition = &definition;
        n.data.Type = definition.Type;
        return &n;
    }
    ValueNode* integer(std::int64_t value) {
        ValueNode* n = make();
        n->data.Payload.Integer = value;
        return n;
    }
    ValueNode* text(const std::string& value) {
        ValueNode* n = make();
        n->data.Payload.String = texts.emplace_back(value).c_str();
        return n;
    }
    QAC_Content definition{};
    std::deque<ValueNode> nodes;
    std::deque<std::string> texts;
};

// Every size up to past the deepest recursion a short set takes, and a long one: the tree
// is balanced, in order, and keeps so through an insert and removals afterwards.
TEST(ValueSet, BuiltFromSortedValuesAtEverySize) {
    std::vector<std::size_t> sizes(70);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        sizes[i] = i;
    }
    sizes.insert(sizes.end(), {255, 256, 1000});
    for (const std::size_t count : sizes) {
        Values values(QAC_TYPE_INTEGER);
        std::vector<ValueNode*> sorted;
        for (std::size_t i = 0; i < count; ++i) {
            sorted.push_back(values.integer(static_cast<std::int64_t>(2 * i)));
        }
        QAC_DataSet set;
        set_build(&set, sorted.data(), sorted.size());
        ASSERT_EQ(set_check(&set), 0u) << count;
        ASSERT_EQ(set_insert(&set, values.integer(static_cast<std::int64_t>(count) | 1)), 0u);
        ASSERT_EQ(set_check(&set), 0u) << count;
        for (std::size_t i = 0; i < count; i += 3) {
            ASSERT_EQ(set_remove(sorted[i]), 0u);
        }
        ASSERT_EQ(set_check(&set), 0u) << count;
    }
}

// The first of equal values in the given order is the one kept; the dropped ones follow.
void expect_distinct(std::vector<ValueNode*> given, const std::vector<ValueNode*>& first_of_each,
                     const char* what) {
    const std::vector<ValueNode*> all = given;
    const std::size_t kept = sort_distinct(given.data(), given.data() + given.size());
    ASSERT_EQ(std::vector<ValueNode*>(given.begin(), given.begin() + kept), first_of_each)
        << what << ", " << all.size() << " values";
    std::sort(given.begin(), given.end());
    std::vector<ValueNode*> sorted_all = all;
    std::sort(sorted_all.begin(), sorted_all.end());
    EXPECT_EQ(given, sorted_all) << what << ": the dropped ones must all be there";
}

// Sizes on both sides of where the sort changes route, with many equal values.
TEST(ValueOrder, SortKeepsTheFirstOfEqualValuesAtEverySize) {
    std::mt19937 random(99);
    // Texts that share a long start, end inside and past the eight bytes compared as one
    // word, begin one another, and hold bytes above 0x7F.
    const std::vector<std::string> pieces = {
        "",     "a", "ab",        "abcdefg", "abcdefgh", "abcdefghi", "abcdefgh\xC3\xA9",
        "\xFF", "b", "abcdefghij"};
    for (const std::size_t count : {2u, 15u, 16u, 255u, 256u, 700u}) {
        Values integers(QAC_TYPE_INTEGER);
        Values texts(QAC_TYPE_STRING);
        std::vector<ValueNode*> given_integers;
        std::vector<ValueNode*> given_texts;
        std::map<std::int64_t, ValueNode*> first_integer;
        std::map<std::string, ValueNode*> first_text;
        const std::int64_t extremes[] = {INT64_MIN, INT64_MAX, -1, 0, 1, INT64_MIN + 1};
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t number =
                i % 5 == 0 ? extremes[random() % 6]
                           : static_cast<std::int64_t>(random() % 300) - 150 +
                                 static_cast<std::int64_t>(random() % 3) * (std::int64_t{1} << 40);
            given_integers.push_back(integers.integer(number));
            first_integer.emplace(number, given_integers.back());
            const std::string text = "shared start of every text " +
                                     pieces[random() % pieces.size()] +
                                     pieces[random() % pieces.size()];
            given_texts.push_back(texts.text(i % 7 == 0 ? pieces[random() % pieces.size()] : text));
            first_text.emplace(given_texts.back()->data.Payload.String, given_texts.back());
        }
        std::vector<ValueNode*> expected;
        for (const auto& [number, node] : first_integer) {
            expected.push_back(node);
        }
        expect_distinct(given_integers, expected, "integers");
        expected.clear();
        for (const auto& [text, node] : first_text) {
            expected.push_back(node);
        }
        expect_distinct(given_texts, expected, "texts");
    }
    // In order with an equal neighbour at first, out of order later: both drop the same.
    Values flags(QAC_TYPE_BOOLEAN);
    std::vector<ValueNode*> given;
    for (const std::uint32_t value : {0u, 0u, 1u, 0u, 1u}) {
        given.push_back(flags.make());
        given.back()->data.Payload.Boolean = value;
    }
    expect_distinct(given, {given[0], given[2]}, "flags");
}

}  // namespace
}  // namespace qac
