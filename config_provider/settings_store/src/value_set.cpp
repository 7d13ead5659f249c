#include "value_set.h"

#include <algorithm>
#include <bit>
#include <mutex>

#include "value_order.h"

namespace qac {

namespace {

std::uint16_t height(const ValueNode* n) {
    return n == nullptr ? 0
                        : static_cast<std::uint16_t>(1 + std::max(n->left_height, n->right_height));
}

void update(ValueNode* n) {
    n->left_height = height(n->left);
    n->right_height = height(n->right);
}

// Puts replacement where child hangs under parent (or at the root).
void replace_child(QAC_DataSet* set, ValueNode* parent, ValueNode* child, ValueNode* replacement) {
    if (parent == nullptr) {
        set->root = replacement;
    } else if (parent->left == child) {
        parent->left = replacement;
    } else {
        parent->right = replacement;
    }
    if (replacement != nullptr) {
        replacement->parent = parent;
    }
}

ValueNode* rotate_left(QAC_DataSet* set, ValueNode* x) {
    ValueNode* y = x->right;
    replace_child(set, x->parent, x, y);
    x->right = y->left;
    if (x->right != nullptr) {
        x->right->parent = x;
    }
    y->left = x;
    x->parent = y;
    update(x);
    update(y);
    return y;
}

ValueNode* rotate_right(QAC_DataSet* set, ValueNode* x) {
    ValueNode* y = x->left;
    replace_child(set, x->parent, x, y);
    x->left = y->right;
    if (x->left != nullptr) {
        x->left->parent = x;
    }
    y->right = x;
    x->parent = y;
    update(x);
    update(y);
    return y;
}

// Walks from n to the root, refreshing side heights and rotating where the sides differ by
// two; stops where a subtree kept its height.
void rebalance_from(QAC_DataSet* set, ValueNode* n) {
    while (n != nullptr) {
        const std::uint32_t before = height(n);
        update(n);
        if (n->left_height > n->right_height + 1) {
            if (n->left->right_height > n->left->left_height) {
                rotate_left(set, n->left);
            }
            n = rotate_right(set, n);
        } else if (n->right_height > n->left_height + 1) {
            if (n->right->left_height > n->right->right_height) {
                rotate_right(set, n->right);
            }
            n = rotate_left(set, n);
        }
        if (height(n) == before) {
            return;
        }
        n = n->parent;
    }
}

void forget(ValueNode* node) {
    node->set = nullptr;
    node->parent = node->left = node->right = nullptr;
    node->left_height = node->right_height = 0;
}

bool alive(const QAC_DataSet* set) {
    return set->tag == QAC_DataSet::kAlive;
}

// The place where the node belongs, or null with *equal set when an equal value is there.
template <typename Compare>
ValueNode** find_place(QAC_DataSet* set, const ValueNode* node, Compare compare, ValueNode** parent,
                       ValueNode** equal) {
    ValueNode** link = &set->root;
    while (*link != nullptr) {
        *parent = *link;
        const int order = compare(node, *parent);
        if (order == 0) {
            *equal = *parent;
            return nullptr;
        }
        link = order < 0 ? &(*parent)->left : &(*parent)->right;
    }
    return link;
}

// Asks for a node's first cache line ahead of its use.
void prefetch(const ValueNode* n) {
#if defined(__GNUC__)
    __builtin_prefetch(n, 1);
#else
    (void)n;
#endif
}

}  // namespace

Result set_insert(QAC_DataSet* set, ValueNode* node, std::uint32_t limit, ValueNode** equal) {
    if (set == nullptr || node == nullptr) {
        return QAC_E_PARAM;
    }
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    if (!alive(set)) {
        return QAC_E_HANDLE;
    }
    if (node->set != nullptr) {
        return QAC_E_EXIST;  // in a set already: a value counts as equal to itself
    }
    if (limit != 0 && set->count >= limit) {
        return QAC_E_RANGE;
    }
    // All values of a set share one definition.
    ValueNode* parent = nullptr;
    ValueNode* same = nullptr;
    ValueNode** link = with_order(node->data.Type, [&](auto compare) {
        return find_place(set, node, compare, &parent, &same);
    });
    if (link == nullptr) {
        if (equal != nullptr) {
            *equal = same;
        }
        return QAC_E_EXIST;
    }
    forget(node);
    node->parent = parent;
    *link = node;
    node->set = set;
    ++set->count;
    rebalance_from(set, parent);
    return kOk;
}

void set_build(QAC_DataSet* set, ValueNode* const* sorted, std::size_t count) noexcept {
    // The tree of sorted[0, count) whose root is the middle one and whose sides are built
    // the same way: sides differ by one node at most, and a side of k nodes is bit_width(k)
    // high. Each node's place follows from its position alone, so nodes are linked in
    // sorted order, with the ones ahead already on their way from memory.
    constexpr std::size_t kAhead = 8;
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kAhead < count) {
            prefetch(sorted[i + kAhead]);
        }
        std::size_t low = 0;
        std::size_t high = count;
        std::size_t middle = count / 2;
        ValueNode* parent = nullptr;
        while (middle != i) {
            parent = sorted[middle];
            if (i < middle) {
                high = middle;
            } else {
                low = middle + 1;
            }
            middle = low + (high - low) / 2;
        }
        ValueNode* n = sorted[i];
        n->set = set;
        n->parent = parent;
        n->left = i > low ? sorted[low + (i - low) / 2] : nullptr;
        n->right = high > i + 1 ? sorted[i + 1 + (high - i - 1) / 2] : nullptr;
        n->left_height = static_cast<std::uint16_t>(std::bit_width(i - low));
        n->right_height = static_cast<std::uint16_t>(std::bit_width(high - i - 1));
    }
    set->root = count > 0 ? sorted[count / 2] : nullptr;
    set->count = static_cast<std::uint32_t>(count);
}

Result set_remove(ValueNode* node) {
    QAC_DataSet* set = node != nullptr ? node->set : nullptr;
    if (set == nullptr) {
        return QAC_E_NOTFOUND;
    }
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    if (!alive(set)) {
        return QAC_E_HANDLE;
    }
    ValueNode* start;
    if (node->left != nullptr && node->right != nullptr) {
        // The largest node of the left subtree takes the removed node's place.
        ValueNode* y = node->left;
        while (y->right != nullptr) {
            y = y->right;
        }
        if (y->parent != node) {
            start = y->parent;
            start->right = y->left;
            if (y->left != nullptr) {
                y->left->parent = start;
            }
            y->left = node->left;
            y->left->parent = y;
        } else {
            start = y;
        }
        y->right = node->right;
        y->right->parent = y;
        replace_child(set, node->parent, node, y);
        y->left_height = node->left_height;
        y->right_height = node->right_height;
    } else {
        start = node->parent;
        replace_child(set, node->parent, node, node->left != nullptr ? node->left : node->right);
    }
    --set->count;
    forget(node);
    rebalance_from(set, start);
    return kOk;
}

Result set_list(QAC_DataSet* set, QAC_Data** out, std::uint32_t capacity, std::uint32_t* total) {
    if (set == nullptr || total == nullptr) {
        return QAC_E_PARAM;
    }
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    if (!alive(set)) {
        return QAC_E_HANDLE;
    }
    *total = set->count;
    if (out == nullptr || capacity == 0) {
        return kOk;
    }
    // In order, from the smallest value, through the parent links.
    ValueNode* n = set->root;
    while (n != nullptr && n->left != nullptr) {
        n = n->left;
    }
    std::uint32_t stored = 0;
    while (n != nullptr && stored < capacity) {
        out[stored++] = &n->data;
        if (n->right != nullptr) {
            n = n->right;
            while (n->left != nullptr) {
                n = n->left;
            }
        } else {
            while (n->parent != nullptr && n->parent->right == n) {
                n = n->parent;
            }
            n = n->parent;
        }
    }
    return kOk;
}

Result set_clear(QAC_DataSet* set) {
    if (set == nullptr) {
        return QAC_E_PARAM;
    }
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    if (!alive(set)) {
        return QAC_E_HANDLE;
    }
    set->root = nullptr;
    set->count = 0;
    return kOk;
}

Result set_check(QAC_DataSet* set) {
    if (set == nullptr) {
        return QAC_E_PARAM;
    }
    std::lock_guard<plat::RecursiveMutex> hold(set->lock);
    if (!alive(set)) {
        return QAC_E_HANDLE;
    }
    if (set->root != nullptr && set->root->parent != nullptr) {
        return QAC_E_HANDLE;
    }
    // In order through the parent links, each node against the one before it.
    std::uint32_t seen = 0;
    const ValueNode* previous = nullptr;
    const ValueNode* n = set->root;
    while (n != nullptr && n->left != nullptr) {
        n = n->left;
    }
    while (n != nullptr) {
        ++seen;
        if (n->set != set || n->left_height != height(n->left) ||
            n->right_height != height(n->right) ||
            std::max(n->left_height, n->right_height) >
                std::min(n->left_height, n->right_height) + 1 ||
            (n->left != nullptr && n->left->parent != n) ||
            (n->right != nullptr && n->right->parent != n) ||
            (previous != nullptr && compare_values(previous, n) >= 0)) {
            return QAC_E_HANDLE;
        }
        previous = n;
        if (n->right != nullptr) {
            n = n->right;
            while (n->left != nullptr) {
                n = n->left;
            }
        } else {
            while (n->parent != nullptr && n->parent->right == n) {
                n = n->parent;
            }
            n = n->parent;
        }
    }
    return seen == set->count ? kOk : QAC_E_HANDLE;
}

}  // namespace qac
