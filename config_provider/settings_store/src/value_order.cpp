#include "value_order.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "value_set.h"

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

// Up to this many member definitions, a structure's members of one definition are found by
// walking its list once per definition; beyond it, one counting pass sorts them out.
constexpr std::uint32_t kWalksPerDefinition = 8;

// The position of a member's definition in its structure's group: a member in the list is
// in its definition's set.
std::uint32_t member_index(const QAC_DataGroup& group, const ValueNode* member) {
    const auto offset = reinterpret_cast<std::uintptr_t>(member->set) -
                        reinterpret_cast<std::uintptr_t>(group.Sets);
    if (member->set != nullptr && offset % sizeof(QAC_DataSet) == 0 &&
        offset / sizeof(QAC_DataSet) < group.DefinitionCount) {
        return static_cast<std::uint32_t>(offset / sizeof(QAC_DataSet));
    }
    for (std::uint32_t i = 0; i < group.DefinitionCount; ++i) {
        if (group.Definitions[i] == member->definition) {
            return i;
        }
    }
    return group.DefinitionCount;  // none of the group's: never compared
}

// A structure's members by definition, each definition's in list order.
struct Grouped {
    std::vector<const ValueNode*> members;
    std::vector<std::uint32_t> starts;  // per definition, and the end

    void fill(const ValueNode* structure) {
        const QAC_DataGroup& group = structure->data.Members;
        starts.assign(group.DefinitionCount + 2, 0);
        std::size_t count = 0;
        for (const ValueNode* m = first_of(group); m != nullptr; m = m->next, ++count) {
            ++starts[member_index(group, m) + 1];
        }
        for (std::size_t i = 1; i < starts.size(); ++i) {
            starts[i] += starts[i - 1];
        }
        members.resize(count);
        std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
        for (const ValueNode* m = first_of(group); m != nullptr; m = m->next) {
            members[next[member_index(group, m)]++] = m;
        }
    }
    const ValueNode* at(std::uint32_t definition, std::uint32_t position) const {
        const std::uint32_t index = starts[definition] + position;
        return index < starts[definition + 1] ? members[index] : nullptr;
    }
};

// Two structures being compared, member definition by member definition.
struct Frame {
    const ValueNode* a = nullptr;
    const ValueNode* b = nullptr;
    const QAC_Content* const* definitions = nullptr;
    std::uint32_t count = 0;
    std::uint32_t at = 0;
    bool identifiers = false;
    bool started = false;        // cursors set for definitions[at]
    bool lacking = false;        // an identifier member missing in both
    bool grouped = false;        // members found through groups
    std::uint32_t position = 0;  // within definitions[at], when grouped
    const ValueNode* cursor_a = nullptr;
    const ValueNode* cursor_b = nullptr;
    // Only for many member definitions: most frames never allocate.
    std::unique_ptr<std::pair<Grouped, Grouped>> groups;

    // The first member of definitions[at] in each structure.
    void start_definition() {
        position = 0;
        if (grouped) {
            cursor_a = groups->first.at(at, 0);
            cursor_b = groups->second.at(at, 0);
        } else {
            cursor_a = first_member(a, definitions[at]);
            cursor_b = first_member(b, definitions[at]);
        }
    }
    // The members after the cursors, of the same definition.
    void step() {
        if (grouped) {
            ++position;
            cursor_a = groups->first.at(at, position);
            cursor_b = groups->second.at(at, position);
        } else {
            cursor_a = next_of(cursor_a->next, definitions[at]);
            cursor_b = next_of(cursor_b->next, definitions[at]);
        }
    }
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
    if (f.count > kWalksPerDefinition) {
        f.grouped = true;
        f.groups = std::make_unique<std::pair<Grouped, Grouped>>();
        f.groups->first.fill(a);
        f.groups->second.fill(b);
    }
    return f;
}

enum class Step { pair, decided, equal };

Step advance(Frame* f, const ValueNode** x, const ValueNode** y, int* result) {
    if (f->identifiers) {
        while (f->at < f->count) {
            if (f->definitions[f->at]->Identifier == 0) {
                ++f->at;
                continue;
            }
            f->start_definition();
            ++f->at;
            const ValueNode* ma = f->cursor_a;
            const ValueNode* mb = f->cursor_b;
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
        if (!f->started) {
            f->start_definition();
            f->started = true;
        }
        if (f->cursor_a != nullptr && f->cursor_b != nullptr) {
            *x = f->cursor_a;
            *y = f->cursor_b;
            f->step();
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

// Frames of nested structures; most comparisons need no more than the inline ones, which
// are only made when pushed: a comparison of two flat structures makes one.
class FrameStack {
  public:
    FrameStack() {}
    FrameStack(const FrameStack&) = delete;
    FrameStack& operator=(const FrameStack&) = delete;
    ~FrameStack() {
        while (!empty()) {
            pop();
        }
    }
    bool empty() const { return size_ == 0; }
    Frame& top() { return size_ <= kInline ? inline_[size_ - 1] : more_[size_ - 1 - kInline]; }
    void push(Frame&& frame) {
        if (size_ < kInline) {
            new (&inline_[size_]) Frame(std::move(frame));
        } else {
            more_.push_back(std::move(frame));
        }
        ++size_;
    }
    void pop() {
        --size_;
        if (size_ >= kInline) {
            more_.pop_back();
        } else {
            inline_[size_].~Frame();
        }
    }

  private:
    static constexpr std::size_t kInline = 8;
    union {
        Frame inline_[kInline];
    };
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

// Values are read in an order their memory does not follow: their first cache lines are
// asked for this many values ahead.
constexpr std::ptrdiff_t kAhead = 8;

void prefetch_node(const ValueNode* n) {
#if defined(__GNUC__)
    __builtin_prefetch(&n->data);
#else
    (void)n;
#endif
}

// Stable, by an unsigned word per entry: a counting pass per byte, lowest first; a byte
// that all words share costs no pass.
template <typename Entry, typename Word>
void radix_sort(std::vector<Entry>* entries, Word word) {
    std::array<std::array<std::uint32_t, 256>, 8> counts{};
    for (const Entry& e : *entries) {
        const std::uint64_t w = word(e);
        for (std::size_t b = 0; b < 8; ++b) {
            ++counts[b][w >> (8 * b) & 0xFF];
        }
    }
    std::vector<Entry> moved(entries->size());
    for (std::size_t b = 0; b < 8; ++b) {
        std::array<std::uint32_t, 256>& count = counts[b];
        if (count[word(entries->front()) >> (8 * b) & 0xFF] == entries->size()) {
            continue;
        }
        std::uint32_t start = 0;
        for (std::uint32_t& c : count) {
            start += std::exchange(c, start);
        }
        for (const Entry& e : *entries) {
            moved[count[word(e) >> (8 * b) & 0xFF]++] = e;
        }
        entries->swap(moved);
    }
}

// From this many values a radix sort beats comparing.
constexpr std::size_t kRadixFrom = 256;

// Sorts by a key taken out of each value first, so that comparing reads no value, and drops
// the values whose key is equal to the one before: the first of equal ones in the given
// order stays, as the sort is stable. A key with a leading word (`word`, whose order the
// key's order refines) is sorted by that word first and then only within runs of equal
// words.
template <typename Key, typename Less, typename Equal, typename Word>
std::size_t sort_distinct_by_key(ValueNode** first, ValueNode** last, Key key, Less less,
                                 Equal equal, Word word) {
    using Entry = std::pair<decltype(key(*first)), ValueNode*>;
    std::vector<Entry> entries;
    entries.reserve(static_cast<std::size_t>(last - first));
    for (ValueNode** n = first; n != last; ++n) {
        if (last - n > kAhead) {
            prefetch_node(n[kAhead]);
        }
        entries.emplace_back(key(*n), *n);
    }
    const auto by_key = [less](const Entry& a, const Entry& b) { return less(a.first, b.first); };
    if (std::is_sorted(entries.begin(), entries.end(), by_key)) {
        // Files often list values in order already.
    } else if constexpr (std::is_same_v<Word, std::nullptr_t>) {
        std::stable_sort(entries.begin(), entries.end(), by_key);
    } else if (entries.size() < kRadixFrom) {
        std::stable_sort(entries.begin(), entries.end(), by_key);
    } else {
        const auto word_of = [word](const Entry& e) { return word(e.first); };
        radix_sort(&entries, word_of);
        for (auto run = entries.begin(); run != entries.end();) {
            auto end = run + 1;
            while (end != entries.end() && word_of(*end) == word_of(*run)) {
                ++end;
            }
            if (end - run > 1) {
                std::stable_sort(run, end, by_key);
            }
            run = end;
        }
    }
    // Every entry is read before its place is written: kept ones fill from the front,
    // dropped ones from the back.
    std::size_t kept = 0;
    ValueNode** dropped = last;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0 && equal(entries[kept - 1].first, entries[i].first)) {
            *--dropped = entries[i].second;
        } else {
            entries[kept] = entries[i];
            first[kept++] = entries[i].second;
        }
    }
    return kept;
}

// A text from the offset at which all texts of the set still agree: its next eight bytes as
// one big-endian word, zero after its end, decide most comparisons without reading it.
struct TextKey {
    std::uint64_t word;
    const char* rest;  // the text after those eight bytes, or null when it ends within them
};

// The bytes all texts agree on from the start; `text` gives a value's text, or null for a
// value that has none and plays no part.
template <typename Text>
std::size_t common_prefix(ValueNode* const* first, ValueNode* const* last, Text text) {
    const char* head = nullptr;
    std::size_t common = 0;
    for (ValueNode* const* n = first; n != last; ++n) {
        if (last - n > kAhead) {
            prefetch_node(n[kAhead]);
        }
        const char* next = text(*n);
        if (next == nullptr) {
            continue;
        }
        if (head == nullptr) {
            head = next;
            common = std::strlen(head);
            continue;
        }
        std::size_t same = 0;
        while (same < common && next[same] == head[same]) {
            ++same;
        }
        common = same;
        if (common == 0) {
            break;
        }
    }
    return common;
}

TextKey text_key(const char* text) {
    TextKey key{0, nullptr};
    std::size_t i = 0;
    for (; i < 8 && text[i] != '\0'; ++i) {
        key.word |= std::uint64_t{static_cast<unsigned char>(text[i])} << (56 - 8 * i);
    }
    key.rest = i == 8 ? text + 8 : nullptr;
    return key;
}

// The order strcmp gives: unsigned bytes, a text before any longer one it begins.
int compare_text_keys(const TextKey& a, const TextKey& b) {
    if (a.word != b.word) {
        return a.word < b.word ? -1 : 1;
    }
    if (a.rest == nullptr || b.rest == nullptr) {
        return 0;  // equal words that hold an end hold it at the same place
    }
    return std::strcmp(a.rest, b.rest);
}

// What compare_addresses reads of an address, gathered so that sorting reads no node.
struct AddressKey {
    std::uint16_t form;
    std::uint16_t family;
    std::uint64_t high;  // numeric: the address's bytes as big-endian words; host names: the
    std::uint64_t low;   // word of a text key in high
    const char* host;    // host names: the rest of the text key
    const ValueNode* node;
};

const char* host_of(const ValueNode* n) {
    const QAC_IpAddr& a = n->data.Payload.IpAddr;
    return a.Form != QAC_IPADDR_HOSTNAME ? nullptr : a.HostName != nullptr ? a.HostName : "";
}

// Host names are keyed from the offset at which all of the set's agree.
AddressKey address_key(const ValueNode* n, std::size_t common_host) {
    const QAC_IpAddr& a = n->data.Payload.IpAddr;
    AddressKey key{a.Form, a.Family, 0, 0, nullptr, n};
    if (a.Form == QAC_IPADDR_HOSTNAME) {
        const TextKey text = text_key(host_of(n) + common_host);
        key.high = text.word;
        key.host = text.rest;
    } else if (a.Form == QAC_IPADDR_NUMERIC) {
        if (a.Family == 4) {
            key.high = big_endian<std::uint32_t>(a.Address);
        } else {
            key.high = big_endian<std::uint64_t>(a.Address);
            key.low = big_endian<std::uint64_t>(a.Address + 8);
        }
    }
    return key;
}

// compare_addresses(a, b) as a sign.
int compare_address_keys(const AddressKey& a, const AddressKey& b) {
    if (a.form != b.form) {
        return a.form < b.form ? -1 : 1;
    }
    if (a.form == QAC_IPADDR_HOSTNAME) {
        return compare_text_keys(TextKey{a.high, a.host}, TextKey{b.high, b.host});
    }
    if (a.form != QAC_IPADDR_NUMERIC) {
        return by_address(a.node, b.node);
    }
    if (a.family != b.family) {
        return a.family < b.family ? -1 : 1;
    }
    if (a.high != b.high) {
        return a.high < b.high ? -1 : 1;
    }
    return compare_words(a.low, b.low);
}

// A structure with the member a comparison of two structures of its definition looks at
// first, when that member is a value other than a structure: most comparisons end there.
struct StructureKey {
    const ValueNode* lead;
    const ValueNode* node;
};

// The definition of that member: the first identifier member's, or without any the first.
const QAC_Content* lead_definition(const ValueNode* structure) {
    const QAC_DataGroup& members = structure->data.Members;
    if (members.DefinitionCount == 0) {
        return nullptr;
    }
    for (std::uint32_t i = 0; i < members.DefinitionCount; ++i) {
        if (members.Definitions[i]->Identifier != 0) {
            return members.Definitions[i];
        }
    }
    return members.Definitions[0];
}

int compare_structure_keys(const StructureKey& a, const StructureKey& b) {
    if (a.lead != nullptr && b.lead != nullptr) {
        const int lead = compare_leaf(a.lead, b.lead);
        if (lead != 0) {
            return lead;
        }
    }
    return compare_values(a.node, b.node);
}

}  // namespace

std::size_t sort_distinct(ValueNode** first, ValueNode** last) {
    constexpr std::ptrdiff_t kKeyedFrom = 16;  // below it a copy costs more than it saves
    if (last - first < 2) {
        return static_cast<std::size_t>(last - first);
    }
    const std::uint32_t type = (*first)->data.Type;
    if (last - first >= kKeyedFrom && type == QAC_TYPE_INTEGER) {
        return sort_distinct_by_key(
            first, last, [](const ValueNode* n) { return n->data.Payload.Integer; },
            [](std::int64_t a, std::int64_t b) { return a < b; },
            [](std::int64_t a, std::int64_t b) { return a == b; },
            [](std::int64_t a) { return static_cast<std::uint64_t>(a) ^ std::uint64_t{1} << 63; });
    }
    if (last - first >= kKeyedFrom && (type == QAC_TYPE_STRING || type == QAC_TYPE_ENUMERATION)) {
        const std::size_t common = common_prefix(first, last, text_of);
        return sort_distinct_by_key(
            first, last, [common](const ValueNode* n) { return text_key(text_of(n) + common); },
            [](const TextKey& a, const TextKey& b) { return compare_text_keys(a, b) < 0; },
            [](const TextKey& a, const TextKey& b) { return compare_text_keys(a, b) == 0; },
            [](const TextKey& a) { return a.word; });
    }
    if (last - first >= kKeyedFrom && type == QAC_TYPE_IPADDR) {
        return sort_distinct_by_key(
            first, last,
            [common = common_prefix(first, last, host_of)](const ValueNode* n) {
                return address_key(n, common);
            },
            [](const AddressKey& a, const AddressKey& b) { return compare_address_keys(a, b) < 0; },
            [](const AddressKey& a, const AddressKey& b) {
                return compare_address_keys(a, b) == 0;
            },
            nullptr);
    }
    if (last - first >= kKeyedFrom && type == QAC_TYPE_STRUCTURE) {
        const QAC_Content* lead = lead_definition(*first);
        return sort_distinct_by_key(
            first, last,
            [lead](const ValueNode* n) {
                const ValueNode* member = lead != nullptr ? first_member(n, lead) : nullptr;
                if (member != nullptr && member->data.Type == QAC_TYPE_STRUCTURE) {
                    member = nullptr;
                }
                return StructureKey{member, n};
            },
            [](const StructureKey& a, const StructureKey& b) {
                return compare_structure_keys(a, b) < 0;
            },
            [](const StructureKey& a, const StructureKey& b) {
                return compare_structure_keys(a, b) == 0;
            },
            nullptr);
    }
    return with_order(type, [first, last](auto compare) {
        const auto less = [compare](const ValueNode* a, const ValueNode* b) {
            return compare(a, b) < 0;
        };
        // Files often list such values in order already: while they are, one pass both
        // checks and drops each value equal to the one before it, which the sort would drop
        // too.
        std::vector<ValueNode*> dropped;
        std::size_t kept = 1;
        ValueNode** n = first + 1;
        for (; n != last; ++n) {
            const int order = compare(first[kept - 1], *n);
            if (order > 0) {
                break;
            }
            if (order == 0) {
                dropped.push_back(*n);
            } else {
                first[kept++] = *n;
            }
        }
        if (n != last) {
            std::copy(n, last, first + kept);
            const auto end = first + kept + (last - n);
            std::stable_sort(first, end, less);
            const std::size_t sorted = static_cast<std::size_t>(end - first);
            kept = 1;
            for (std::size_t i = 1; i < sorted; ++i) {
                if (compare(first[kept - 1], first[i]) == 0) {
                    dropped.push_back(first[i]);
                } else {
                    first[kept++] = first[i];
                }
            }
        }
        std::copy(dropped.begin(), dropped.end(), first + kept);
        return kept;
    });
}

}  // namespace qac
