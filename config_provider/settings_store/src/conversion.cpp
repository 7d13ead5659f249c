#include "conversion.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>
#include <utility>

#include "value_text.h"

namespace qac {

namespace {

// One entry list, indexed for lookups by element name.
struct Level {
    std::vector<const QAC_SchemaEntry*> entries;
    std::unordered_map<std::string_view, std::uint32_t> by_name;  // the first entry of a name
    std::vector<std::uint32_t> identifiers;                       // identifier entries, in order
};

using WordSet = std::unordered_set<std::string_view>;

struct Taken {
    std::uint32_t entry;
    std::uint64_t identity;
    bool operator==(const Taken&) const = default;
};

struct TakenHash {
    std::size_t operator()(const Taken& t) const noexcept {
        return std::hash<std::uint64_t>()(t.identity * 0x9E3779B97F4A7C15ull + t.entry);
    }
};

// The children of one element being converted. Nesting is kept on an explicit stack of
// these, so the depth of a document costs no call stack.
struct Frame {
    const Node* cursor = nullptr;
    const Level* level = nullptr;
    std::vector<std::uint32_t> counters;
    std::vector<Converted*> values;
    // Filled only once the level holds enough values for a scan of them to cost more.
    std::unordered_set<Taken, TakenHash> taken;
    bool indexed = false;
    const QAC_SchemaEntry* entry = nullptr;  // the structure this level belongs to
    std::uint32_t entry_index = 0;
};

bool length_within(std::size_t length, const QAC_SchemaEntry& entry) {
    const auto n = static_cast<std::int64_t>(length);
    return n >= entry.minimum && n <= entry.maximum;
}

template <typename T>
void append_bytes(std::string* key, const T& value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    key->append(bytes, sizeof(T));
}

}  // namespace

class Converter {
  public:
    explicit Converter(Conversion* out) : out_(out) {}

    Result run(const Node* first_child, const QAC_SchemaEntry* entries);

  private:
    Frame make_frame(const Node* first_child, const QAC_SchemaEntry* entries);
    const Level& level_of(const QAC_SchemaEntry* entries);
    const WordSet& words_of(const QAC_EnumEntry* words);
    Result convert_leaf(const Node* element, const QAC_SchemaEntry& entry, Converted* value);
    Result convert_enum_list(const Node* element, const QAC_SchemaEntry& entry, Converted* value);
    void finish_structure(Frame* done, Frame* parent);
    void add(Frame* frame, Converted&& value);
    std::uint64_t identify(std::string&& key);
    std::uint64_t leaf_identity(const Converted& value);
    std::uint64_t structure_identity(const Converted& value, const Level& nested);

    Conversion* out_;
    std::unordered_map<const QAC_SchemaEntry*, std::unique_ptr<Level>> levels_;
    std::unordered_map<const QAC_EnumEntry*, std::unique_ptr<WordSet>> word_sets_;
    std::unordered_map<std::string, std::uint64_t> identities_;
};

Conversion::Conversion() = default;
Conversion::~Conversion() = default;

Result convert(const Node* first_child, const QAC_SchemaEntry* entries, Conversion* out) {
    Converter converter(out);
    return converter.run(first_child, entries);
}

const Level& Converter::level_of(const QAC_SchemaEntry* entries) {
    auto& slot = levels_[entries];
    if (!slot) {
        auto level = std::make_unique<Level>();
        for (const QAC_SchemaEntry* e = entries; e != nullptr; e = e->next) {
            const auto index = static_cast<std::uint32_t>(level->entries.size());
            level->entries.push_back(e);
            if (e->name != nullptr) {
                level->by_name.try_emplace(e->name, index);
            }
            if (e->identifier != 0) {
                level->identifiers.push_back(index);
            }
        }
        slot = std::move(level);
    }
    return *slot;
}

const WordSet& Converter::words_of(const QAC_EnumEntry* words) {
    auto& slot = word_sets_[words];
    if (!slot) {
        auto set = std::make_unique<WordSet>();
        for (const QAC_EnumEntry* w = words; w != nullptr; w = w->Next) {
            set->insert(w->Value);
        }
        slot = std::move(set);
    }
    return *slot;
}

Frame Converter::make_frame(const Node* first_child, const QAC_SchemaEntry* entries) {
    Frame frame;
    frame.cursor = first_child;
    frame.level = &level_of(entries);
    frame.counters.assign(frame.level->entries.size(), 0);
    return frame;
}

Result Converter::run(const Node* first_child, const QAC_SchemaEntry* entries) {
    std::vector<Frame> stack;
    try {
        stack.push_back(make_frame(first_child, entries));
    } catch (const std::bad_alloc&) {
        return QAC_E_NOMEM;
    }
    while (true) {
        Frame& frame = stack.back();
        if (frame.cursor == nullptr) {
            if (stack.size() == 1) {
                out_->top_ = std::move(frame.values);
                return kOk;
            }
            Frame done = std::move(frame);
            stack.pop_back();
            finish_structure(&done, &stack.back());
            continue;
        }
        const Node* element = frame.cursor;
        frame.cursor = element->next;
        if (!element->is_element()) {
            continue;
        }
        const auto found = frame.level->by_name.find(element->text);
        if (found == frame.level->by_name.end()) {
            continue;
        }
        const std::uint32_t index = found->second;
        const QAC_SchemaEntry& entry = *frame.level->entries[index];
        if (entry.max_occurrences != 0 && frame.counters[index] >= entry.max_occurrences) {
            continue;  // later repetitions are ignored
        }
        try {
            if (entry.kind == SK_STRUCTURE) {
                Frame nested = make_frame(element->first_child, entry.nested);
                nested.entry = &entry;
                nested.entry_index = index;
                stack.push_back(std::move(nested));  // `frame` is not used after this
                continue;
            }
            if (entry.kind < SK_NAME || entry.kind > SK_TEXT) {
                continue;
            }
            Converted value;
            value.entry = &entry;
            value.entry_index = index;
            if (convert_leaf(element, entry, &value) != kOk) {
                continue;
            }
            value.identity = leaf_identity(value);
            add(&frame, std::move(value));
        } catch (const std::bad_alloc&) {
            // Like any other failed conversion: the element is skipped.
        }
    }
}

void Converter::finish_structure(Frame* done, Frame* parent) {
    if (done->values.empty()) {
        return;  // a structure needs at least one member
    }
    try {
        Converted value;
        value.entry = done->entry;
        value.entry_index = done->entry_index;
        value.kind = ValueKind::structure;
        value.members = std::move(done->values);
        value.identity = structure_identity(value, *done->level);
        add(parent, std::move(value));
    } catch (const std::bad_alloc&) {
        // The structure is skipped.
    }
}

namespace {

// Whether an equal value of the same entry came first. Most levels hold a handful of values
// (a structure's members): a scan of them spares the set its allocation per value.
bool already_taken(Frame* frame, const Taken& taken) {
    constexpr std::size_t kScanLimit = 16;
    if (!frame->indexed) {
        if (frame->values.size() < kScanLimit) {
            return std::any_of(
                frame->values.begin(), frame->values.end(), [&taken](const Converted* v) {
                    return v->identity == taken.identity && v->entry_index == taken.entry;
                });
        }
        for (const Converted* v : frame->values) {
            if (v->identity != 0) {
                frame->taken.insert(Taken{v->entry_index, v->identity});
            }
        }
        frame->indexed = true;
    }
    return frame->taken.contains(taken);
}

}  // namespace

void Converter::add(Frame* frame, Converted&& value) {
    const Taken taken{value.entry_index, value.identity};
    if (value.identity != 0 && already_taken(frame, taken)) {
        return;  // an equal value came first
    }
    Converted& stored = out_->store_.emplace_back(std::move(value));
    frame->values.push_back(&stored);
    ++frame->counters[taken.entry];
    if (taken.identity != 0 && frame->indexed) {
        frame->taken.insert(taken);
    }
}

Result Converter::convert_leaf(const Node* element, const QAC_SchemaEntry& entry,
                               Converted* value) {
    if (entry.kind == SK_ENUMLIST) {
        return convert_enum_list(element, entry, value);
    }
    const Node* text_node = first_text(element);
    if (text_node == nullptr) {
        return QAC_E_PARAM;
    }
    const std::string_view text = text_node->text;
    switch (entry.kind) {
        case SK_NAME:
            if (!is_identifier(text)) {
                return QAC_E_PARAM;
            }
            if (!length_within(text.size(), entry)) {
                return QAC_E_RANGE;
            }
            value->kind = ValueKind::identifier;
            value->text = make_text(text);
            return kOk;
        case SK_INTEGER: {
            const Result result = parse_integer(text, &value->integer);
            if (result != kOk) {
                return result;
            }
            if (value->integer < entry.minimum || value->integer > entry.maximum) {
                return QAC_E_RANGE;
            }
            value->kind = ValueKind::integer;
            return kOk;
        }
        case SK_STRING:
            if (!length_within(text.size(), entry)) {
                return QAC_E_RANGE;
            }
            value->kind = ValueKind::text;
            value->text = make_text(text);
            return kOk;
        case SK_BOOLEAN:
            value->kind = ValueKind::boolean;
            return parse_boolean(text, &value->boolean);
        case SK_IPADDR:
            value->kind = ValueKind::ipaddr;
            return parse_address(text, &value->address, &value->text);
        case SK_ENUMERATION:
            if (!is_identifier(text)) {
                return QAC_E_PARAM;
            }
            if (!words_of(entry.words).contains(text)) {
                return QAC_E_UNDEFINED;
            }
            value->kind = ValueKind::enum_word;
            value->text = make_text(text);
            return kOk;
        case SK_TEXT:
            value->kind = ValueKind::text;
            value->text = make_text(text);
            return kOk;
        default:
            return QAC_E_PARAM;
    }
}

Result Converter::convert_enum_list(const Node* element, const QAC_SchemaEntry& entry,
                                    Converted* value) {
    EnumListBuilder list;
    std::unordered_set<std::string_view> seen;
    for (const Node* child = element->first_child; child != nullptr; child = child->next) {
        if (!child->is_element()) {
            continue;
        }
        const std::string_view word = child->text;
        if (!length_within(word.size(), entry) || !seen.insert(word).second) {
            continue;  // out of bounds, or taken already
        }
        const Node* display = first_text(child);
        list.append(make_enum_entry(word, display != nullptr ? display->text : ""));
    }
    if (list.empty()) {
        return QAC_E_PARAM;
    }
    value->kind = ValueKind::enum_list;
    value->enum_list = list.take();
    return kOk;
}

std::uint64_t Converter::identify(std::string&& key) {
    const auto next = static_cast<std::uint64_t>(identities_.size()) + 1;
    return identities_.try_emplace(std::move(key), next).first->second;
}

std::uint64_t Converter::leaf_identity(const Converted& value) {
    std::string key(1, static_cast<char>(value.kind));
    switch (value.kind) {
        case ValueKind::identifier:
        case ValueKind::text:
        case ValueKind::enum_word:
            key.append(value.text_view());
            break;
        case ValueKind::integer:
            append_bytes(&key, value.integer);
            break;
        case ValueKind::boolean:
            key.push_back(value.boolean != 0 ? '1' : '0');
            break;
        case ValueKind::ipaddr:
            // Host names by their text, numeric addresses by family and address bytes;
            // the mask plays no part.
            key.push_back(static_cast<char>(value.address.Form));
            if (value.address.Form == QAC_IPADDR_HOSTNAME) {
                key.append(value.text_view());
            } else {
                key.push_back(static_cast<char>(value.address.Family));
                key.append(reinterpret_cast<const char*>(value.address.Address),
                           value.address.Family == 4 ? 4 : 16);
            }
            break;
        default:
            return 0;  // enumeration lists are never equal to anything
    }
    return identify(std::move(key));
}

std::uint64_t Converter::structure_identity(const Converted& value, const Level& nested) {
    std::string key(1, static_cast<char>(ValueKind::structure));
    if (!nested.identifiers.empty()) {
        // Equal when every identifier member is present in both and equal; the first member
        // of each identifier entry counts, wherever it stands.
        key.push_back('I');
        for (const std::uint32_t index : nested.identifiers) {
            const auto member =
                std::find_if(value.members.begin(), value.members.end(),
                             [index](const Converted* m) { return m->entry_index == index; });
            if (member == value.members.end() || (*member)->identity == 0) {
                return 0;
            }
            append_bytes(&key, (*member)->identity);
        }
    } else {
        // Equal when the members match entry by entry, whatever the order of entries.
        key.push_back('A');
        std::vector<const Converted*> members(value.members.begin(), value.members.end());
        std::stable_sort(
            members.begin(), members.end(),
            [](const Converted* a, const Converted* b) { return a->entry_index < b->entry_index; });
        for (const Converted* member : members) {
            if (member->identity == 0) {
                return 0;
            }
            append_bytes(&key, member->entry_index);
            append_bytes(&key, member->identity);
        }
    }
    return identify(std::move(key));
}

}  // namespace qac
