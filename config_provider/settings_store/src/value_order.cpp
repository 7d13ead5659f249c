#include "value_order.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

namespace qac {

namespace {

int sign_of(int c) {
    return (c > 0) - (c < 0);
}

// Values that are never equal to another keep a fixed place of their own.
int by_address(const void* a, const void* b) {
    if (a == b) {
        return 0;
    }
    return std::less<const void*>()(a, b) ? -1 : 1;
}

template <typename Word>
Word big_endian(const std::uint8_t* bytes) {
    Word word = 0;
    for (std::size_t i = 0; i < sizeof(Word); ++i) {
        word = static_cast<Word>(word << 8 | bytes[i]);
    }
    return word;
}

template <typename Word>
int compare_words(Word a, Word b) {
    return (a > b) - (a < b);
}

int compare_text(const char* a, const char* b) {
    return sign_of(std::strcmp(a != nullptr ? a : "", b != nullptr ? b : ""));
}

}  // namespace

int compare_addresses(const ValueNode* a, const ValueNode* b) {
    const QAC_IpAddr& x = a->data.Payload.IpAddr;
    const QAC_IpAddr& y = b->data.Payload.IpAddr;
    if (x.Form != y.Form) {
        return x.Form < y.Form ? -1 : 1;
    }
    if (x.Form == QAC_IPADDR_HOSTNAME) {
        return compare_text(x.HostName, y.HostName);
    }
    if (x.Form != QAC_IPADDR_NUMERIC) {
        return by_address(a, b);
    }
    if (x.Family != y.Family) {
        return x.Family < y.Family ? -1 : 1;
    }
    // The mask plays no part. Bytes in order compare as big-endian words do.
    if (x.Family == 4) {
        return compare_words(big_endian<std::uint32_t>(x.Address),
                             big_endian<std::uint32_t>(y.Address));
    }
    const int high =
        compare_words(big_endian<std::uint64_t>(x.Address), big_endian<std::uint64_t>(y.Address));
    return high != 0 ? high
                     : compare_words(big_endian<std::uint64_t>(x.Address + 8),
                                     big_endian<std::uint64_t>(y.Address + 8));
}

namespace {

int compare_leaf(const ValueNode* a, const ValueNode* b) {
    const QAC_Payload& x = a->data.Payload;
    const QAC_Payload& y = b->data.Payload;
    switch (a->data.Type) {
        case QAC_TYPE_INTEGER:
            return (x.Integer > y.Integer) - (x.Integer < y.Integer);
        case QAC_TYPE_STRING:
            return compare_text(x.String, y.String);
        case QAC_TYPE_ENUMERATION:
            return compare_text(x.Enumeration, y.Enumeration);
        case QAC_TYPE_BOOLEAN:
            return (x.Boolean != 0) - (y.Boolean != 0);
        case QAC_TYPE_IPADDR:
            return compare_addresses(a, b);
        default:
            return by_address(a, b);
    }
}

// Everything but the members of two structures of one definition: *descend tells that
// those decide.
int compare_shallow(const ValueNode* a, const ValueNode* b, bool* descend) {
    *descend = false;
    if (a == b) {
        return 0;
    }
    if (a->definition != b->definition) {
        const int names = compare_text(a->definition->Name, b->definition->Name);
        if (names != 0) {
            return names;
        }
    }
    if (a->data.Type != b->data.Type) {
        return a->data.Type < b->data.Type ? -1 : 1;
    }
    if (a->data.Type != QAC_TYPE_STRUCTURE) {
        return compare_leaf(a, b);
    }
    if (a->definition != b->definition) {
        return by_address(a, b);
    }
    *descend = true;
    return 0;
}

const ValueNode* next_of(const ValueNode* from, const QAC_Content* definition) {
    while (from != nullptr && from->definition != definition) {
        from = from->next;
    }
    return from;
}

const ValueNode* first_member(const ValueNode* structure, const QAC_Content* definition) {
    return next_of(first_of(structure->data.Members), definition);
}

// Two structures being compared, member definition by member definition.
struct Frame {
    const ValueNode* a = nullptr;
    const ValueNode* b = nullptr;
    const QAC_Content* const* definitions = nullptr;
    std::uint32_t count = 0;
    std::uint32_t at = 0;
    bool identifiers = false;
    bool started = false;  // cursors set for definitions[at]
    bool lacking = false;  // an identifier member missing in both
    const ValueNode* cursor_a = nullptr;
    const ValueNode* cursor_b = nullptr;
};

Frame make_frame(const ValueNode* a, const ValueNode* b) {
    Frame f;
    f.a = a;
    f.b = b;
    f.definitions = a->data.Members.Definitions;
    f.count = a->data.Members.DefinitionCount;
    for (std::uint32_t i = 0; i < f.count; ++i) {
        if (f.definitions[i]->Identifier != 0) {
            f.identifiers = true;
            break;
        }
    }
    return f;
}

enum class Step { pair, decided, equal };

Step advance(Frame* f, const ValueNode** x, const ValueNode** y, int* result) {
    if (f->identifiers) {
        while (f->at < f->count) {
            const QAC_Content* definition = f->definitions[f->at++];
            if (definition->Identifier == 0) {
                continue;
            }
            const ValueNode* ma = first_member(f->a, definition);
            const ValueNode* mb = first_member(f->b, definition);
            if (ma != nullptr && mb != nullptr) {
                *x = ma;
                *y = mb;
                return Step::pair;
            }
            if (ma != nullptr || mb != nullptr) {
                *result = ma != nullptr ? -1 : 1;
                return Step::decided;
            }
            f->lacking = true;
        }
        if (f->lacking) {
            // Without all its identifiers a structure equals no other one.
            *result = by_address(f->a, f->b);
            return Step::decided;
        }
        return Step::equal;
    }
    while (f->at < f->count) {
        const QAC_Content* definition = f->definitions[f->at];
        if (!f->started) {
            f->cursor_a = first_member(f->a, definition);
            f->cursor_b = first_member(f->b, definition);
            f->started = true;
        }
        if (f->cursor_a != nullptr && f->cursor_b != nullptr) {
            *x = f->cursor_a;
            *y = f->cursor_b;
            f->cursor_a = next_of(f->cursor_a->next, definition);
            f->cursor_b = next_of(f->cursor_b->next, definition);
            return Step::pair;
        }
        if (f->cursor_a != nullptr || f->cursor_b != nullptr) {
            *result = f->cursor_a != nullptr ? 1 : -1;  // the shorter run first
            return Step::decided;
        }
        ++f->at;
        f->started = false;
    }
    return Step::equal;
}

// Frames of nested structures; most comparisons need no more than the inline ones.
class FrameStack {
  public:
    bool empty() const { return size_ == 0; }
    Frame& top() { return size_ <= kInline ? inline_[size_ - 1] : more_[size_ - 1 - kInline]; }
    void push(const Frame& frame) {
        if (size_ < kInline) {
            inline_[size_] = frame;
        } else {
            more_.push_back(frame);
        }
        ++size_;
    }
    void pop() {
        --size_;
        if (size_ >= kInline) {
            more_.pop_back();
        }
    }

  private:
    static constexpr std::size_t kInline = 8;
    Frame inline_[kInline];
    std::vector<Frame> more_;
    std::size_t size_ = 0;
};

}  // namespace

int compare_values(const ValueNode* a, const ValueNode* b) {
    bool descend = false;
    int result = compare_shallow(a, b, &descend);
    if (!descend) {
        return result;
    }
    // The first difference found at any depth decides, so frames never report back up.
    FrameStack stack;
    stack.push(make_frame(a, b));
    while (!stack.empty()) {
        const ValueNode* x = nullptr;
        const ValueNode* y = nullptr;
        const Step step = advance(&stack.top(), &x, &y, &result);
        if (step == Step::decided) {
            return result;
        }
        if (step == Step::equal) {
            stack.pop();
            continue;
        }
        result = compare_shallow(x, y, &descend);
        if (result != 0) {
            return result;
        }
        if (descend) {
            stack.push(make_frame(x, y));
        }
    }
    return 0;
}

namespace {

// Sorts by a key taken out of each value first, so that comparing reads no value.
template <typename Key, typename Less>
void sort_by_key(ValueNode** first, ValueNode** last, Key key, Less less) {
    using Entry = std::pair<decltype(key(*first)), ValueNode*>;
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(last - first));
    for (ValueNode** n = first; n != last; ++n) {
        entries.emplace_back(key(*n), *n);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [less](const Entry& a, const Entry& b) { return less(a.first, b.first); });
    for (const Entry& e : entries) {
        *first++ = e.second;
    }
}

}  // namespace

void sort_values(ValueNode** first, ValueNode** last) {
    constexpr std::ptrdiff_t kKeyedFrom = 16;  // below it a copy costs more than it saves
    if (last - first < 2) {
        return;
    }
    const std::uint32_t type = (*first)->data.Type;
    if (last - first >= kKeyedFrom && type == QAC_TYPE_INTEGER) {
        sort_by_key(
            first, last, [](const ValueNode* n) { return n->data.Payload.Integer; },
            [](std::int64_t a, std::int64_t b) { return a < b; });
        return;
    }
    if (last - first >= kKeyedFrom && (type == QAC_TYPE_STRING || type == QAC_TYPE_ENUMERATION)) {
        sort_by_key(
            first, last,
            [](const ValueNode* n) {
                return n->data.Payload.String != nullptr ? n->data.Payload.String : "";
            },
            [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
        return;
    }
    with_order(type, [first, last](auto compare) {
        const auto less = [compare](const ValueNode* a, const ValueNode* b) {
            return compare(a, b) < 0;
        };
        // Files often list such values in order already; checking costs one pass.
        if (!std::is_sorted(first, last, less)) {
            std::stable_sort(first, last, less);
        }
    });
}

}  // namespace qac
