#include "value_reader.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "markup_tokens.h"
#include "value_group.h"
#include "value_order.h"
#include "value_set.h"
#include "value_text.h"

namespace qac {

namespace {

// A group being filled.
struct Level {
    QAC_DataGroup* group;
    const DefinitionLevel* definitions;
    std::size_t counters;  // where its counters start
    std::size_t pending;   // where its values not yet in their sets start
    ValueNode* structure;  // null at the top; in no group until it closes
    std::uint32_t index;   // the structure's definition in the enclosing level
};

// Per definition of a level being filled.
struct Counter {
    std::uint32_t count;  // values taken
    // Its set was empty when the read began and no limit above one depends on which values
    // are equal: its values go in all at once when the level is done.
    bool deferred;
};

// A value waiting for its set.
struct Pending {
    std::uint32_t index;
    ValueNode* node;
};

enum class Role : unsigned char {
    ignored,  // unknown, over its number, or inside a value
    level,    // the root or a structure: its children are values
    value,    // a value other than a structure, made from its first text child
};

// An element whose end tag has not come yet.
struct Open {
    Role role;
    bool has_text;
    std::uint32_t index;  // a value's definition in the current level
    std::string_view text;
};

bool length_within(std::size_t length, const QAC_Content* definition) {
    const auto n = static_cast<std::int64_t>(length);
    return n >= definition->Minimum && n <= definition->Maximum;
}

bool listed(std::string_view word, const QAC_Content* definition) {
    for (const QAC_EnumEntry* e = definition->EnumList; e != nullptr; e = e->Next) {
        if (word == e->Value) {
            return true;
        }
    }
    return false;
}

// The payload of a value other than a structure, if its text converts.
bool convert_text(std::string_view text, ValueNode* node) {
    const QAC_Content* definition = node->definition;
    QAC_Payload& p = node->data.Payload;
    switch (definition->Type) {
        case QAC_TYPE_INTEGER:
            return parse_integer(text, &p.Integer) == kOk && p.Integer >= definition->Minimum &&
                   p.Integer <= definition->Maximum;
        case QAC_TYPE_STRING:
            if (!length_within(text.size(), definition)) {
                return false;
            }
            put_payload_text(&p, text);
            return true;
        case QAC_TYPE_BOOLEAN:
            return parse_boolean(text, &p.Boolean) == kOk;
        case QAC_TYPE_IPADDR: {
            OwnedText host;
            const Result parsed = parse_address(text, &p.IpAddr, &host);
            if (parsed == QAC_E_NOMEM) {
                throw std::bad_alloc();
            }
            p.IpAddr.HostName = host.release();
            return parsed == kOk;
        }
        case QAC_TYPE_ENUMERATION:
            if (!is_identifier(text) || !listed(text, definition)) {
                return false;
            }
            put_payload_text(&p, text);
            return true;
        default:
            return false;
    }
}

struct NodeDeleter {
    void operator()(ValueNode* node) const noexcept { release_value(node); }
};
using OwnedNode = std::unique_ptr<ValueNode, NodeDeleter>;

class ValueReader {
  public:
    ValueReader(HandleState* handle, QAC_DataGroup* group) : handle_(handle) {
        levels_.push_back({group, handle->top, 0, 0, nullptr, 0});
        add_counters(*group);
        serial_ = ++handle->read_serial;
        if (serial_ == 0) {
            serial_ = ++handle->read_serial;  // 0 marks values no read made
        }
    }
    ValueReader(const ValueReader&) = delete;
    ValueReader& operator=(const ValueReader&) = delete;

    // Structures still being filled belong to no group yet.
    ~ValueReader() {
        for (const Level& level : levels_) {
            release_value(level.structure);
        }
    }

    Result run(std::string_view bytes) {
        // Thousands of nodes come from the pool: one hold for all of them.
        std::lock_guard<NodePool> hold(handle_->nodes);
        Tokenizer tokenizer(bytes);
        Token token;
        while (result_ == kOk && tokenizer.next(&token)) {
            if (token.kind == TokenKind::text) {
                text(token.text);
                continue;
            }
            const Tag tag = classify_tag(token.text);
            if (tag.kind == TagKind::end) {
                if (!open_.empty()) {
                    close();
                }
            } else if (tag.kind != TagKind::skipped) {
                start(tag);
            }
        }
        // Elements still open end with the document.
        while (result_ == kOk && !open_.empty()) {
            close();
        }
        if (result_ == kOk) {
            settle(levels_.front());
        }
        return result_;
    }

  private:
    void add_counters(const QAC_DataGroup& group) {
        for (std::uint32_t i = 0; i < group.DefinitionCount; ++i) {
            const std::uint32_t number = group.Definitions[i]->Number;
            counters_.push_back({0, group.Sets[i].count == 0 && number <= 1});
        }
    }

    // Puts a level's deferred values into their sets: sorted, stably, so that of equal
    // values the first in the document stays and the others are dropped.
    void settle(const Level& level) {
        if (pending_.size() == level.pending) {
            return;
        }
        const auto begin = pending_.begin() + static_cast<std::ptrdiff_t>(level.pending);
        group_by_definition(level, begin);
        for (auto run = begin; run != pending_.end();) {
            const std::uint32_t index = run->index;
            sorted_.clear();
            for (; run != pending_.end() && run->index == index; ++run) {
                sorted_.push_back(run->node);
            }
            const std::size_t kept = sort_distinct(sorted_.data(), sorted_.data() + sorted_.size());
            for (std::size_t i = kept; i < sorted_.size(); ++i) {
                list_unlink(sorted_[i]);
                release_value(sorted_[i]);
            }
            set_build(&level.group->Sets[index], sorted_.data(), kept);
        }
        pending_.resize(level.pending);
    }

    // Orders a level's deferred values by definition, each definition's in document order:
    // one counting pass, where a sort would compare.
    void group_by_definition(const Level& level, std::vector<Pending>::iterator begin) {
        slots_.assign(level.group->DefinitionCount + 1, 0);
        for (auto it = begin; it != pending_.end(); ++it) {
            ++slots_[it->index + 1];
        }
        for (std::size_t i = 1; i < slots_.size(); ++i) {
            slots_[i] += slots_[i - 1];
        }
        grouped_.resize(static_cast<std::size_t>(pending_.end() - begin));
        for (auto it = begin; it != pending_.end(); ++it) {
            grouped_[slots_[it->index]++] = *it;
        }
        std::copy(grouped_.begin(), grouped_.end(), begin);
    }

    void push(Role role, std::uint32_t index = 0) { open_.push_back({role, false, index, {}}); }

    void start(const Tag& tag) {
        if (tag.kind == TagKind::empty) {
            // No text and no members, and never the current element: nothing to make.
            root_seen_ = root_seen_ || open_.empty();
            return;
        }
        if (open_.empty()) {
            // The first top-level element is the root; the others are ignored.
            push(root_seen_ ? Role::ignored : Role::level);
            root_seen_ = true;
            return;
        }
        if (open_.back().role != Role::level) {
            push(Role::ignored);
            return;
        }
        Level& level = levels_.back();
        const std::uint32_t index = level.definitions->by_name.find(tag.name);
        if (index == NameIndex::kNone) {
            push(Role::ignored);
            return;
        }
        const QAC_Content* definition = level.definitions->definitions[index];
        if (definition->Type == QAC_TYPE_NONE ||
            (definition->Number != 0 &&
             counters_[level.counters + index].count >= definition->Number)) {
            push(Role::ignored);
            return;
        }
        if (definition->Type != QAC_TYPE_STRUCTURE) {
            push(Role::value, index);
            return;
        }
        OwnedNode structure(make_value(handle_, definition));
        structure->read_serial = serial_;
        const std::size_t counters = counters_.size();
        add_counters(structure->data.Members);
        levels_.push_back({&structure->data.Members, &member_level(handle_, definition), counters,
                           pending_.size(), structure.get(), index});
        structure.release();
        push(Role::level);
    }

    void text(std::string_view text) {
        if (!open_.empty()) {
            Open& current = open_.back();
            if (current.role == Role::value && !current.has_text) {
                current.has_text = true;
                current.text = text;
            }
        }
    }

    void close() {
        const Open current = open_.back();
        open_.pop_back();
        if (current.role == Role::value) {
            if (current.has_text) {
                Level& level = levels_.back();
                OwnedNode node(make_value(handle_, level.definitions->definitions[current.index]));
                node->read_serial = serial_;
                if (convert_text(current.text, node.get())) {
                    add(&level, current.index, std::move(node));
                }
            }
        } else if (current.role == Role::level && levels_.size() > 1) {
            const Level done = levels_.back();
            levels_.pop_back();
            OwnedNode structure(done.structure);
            settle(done);
            counters_.resize(done.counters);
            if (first_of(*done.group) != nullptr) {  // a structure needs a member
                add(&levels_.back(), done.index, std::move(structure));
            }
        }
    }

    void add(Level* level, std::uint32_t index, OwnedNode node) {
        Counter& counter = counters_[level->counters + index];
        if (counter.deferred) {
            pending_.push_back({index, node.get()});
            list_append(level->group, node.release());
            ++counter.count;
            return;
        }
        ValueNode* equal = nullptr;
        const Result inserted = set_insert(&level->group->Sets[index], node.get(), 0, &equal);
        if (inserted == kOk) {
            list_append(level->group, node.release());
            ++counter.count;
        } else if (inserted != QAC_E_EXIST || equal == nullptr || equal->read_serial != serial_) {
            result_ = inserted;  // equal to a value held before: the read fails
        }
        // Equal to one this document gave before it: dropped.
    }

    HandleState* handle_;
    std::vector<Level> levels_;
    std::vector<Counter> counters_;
    std::vector<Pending> pending_;
    std::vector<Pending> grouped_;    // scratch of group_by_definition
    std::vector<std::size_t> slots_;  // scratch of group_by_definition
    std::vector<ValueNode*> sorted_;
    std::vector<Open> open_;
    std::uint32_t serial_ = 0;
    bool root_seen_ = false;
    Result result_ = kOk;
};

}  // namespace

Result read_value_document(HandleState* handle, QAC_DataGroup* group, std::string_view bytes) {
    Result result;
    try {
        ValueReader reader(handle, group);
        result = reader.run(bytes);
    } catch (const std::bad_alloc&) {
        result = QAC_E_NOMEM;
    }
    if (result != kOk) {
        group_empty(group);
    }
    return result;
}

}  // namespace qac
