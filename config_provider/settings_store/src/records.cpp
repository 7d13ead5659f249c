#include "records.h"

#include <cstring>
#include <new>
#include <utility>
#include <vector>

namespace qac {

const char* copy_text(std::string_view text) {
    char* copy = new char[text.size() + 1];
    if (!text.empty()) {
        std::memcpy(copy, text.data(), text.size());
    }
    copy[text.size()] = '\0';
    return copy;
}

const char* make_padding(std::size_t length) {
    char* text = new char[length + 1];
    std::memset(text, ' ', length);
    text[length] = '\0';
    return text;
}

void release_text(const char* text) noexcept {
    delete[] text;
}

QAC_EnumEntry* make_enum_entry(std::string_view word, std::string_view display) {
    const std::size_t size = sizeof(QAC_EnumEntry) + word.size() + 1 + display.size() + 1;
    void* block = ::operator new(size);
    auto* entry = new (block) QAC_EnumEntry{};
    char* texts = static_cast<char*>(block) + sizeof(QAC_EnumEntry);
    std::memcpy(texts, word.data(), word.size());
    texts[word.size()] = '\0';
    char* display_text = texts + word.size() + 1;
    std::memcpy(display_text, display.data(), display.size());
    display_text[display.size()] = '\0';
    entry->Value = texts;
    entry->DispText = display_text;
    return entry;
}

void release_enum_list(QAC_EnumEntry* first) noexcept {
    while (first != nullptr) {
        QAC_EnumEntry* next = first->Next;
        first->~QAC_EnumEntry();
        ::operator delete(first);
        first = next;
    }
}

void EnumListBuilder::append(QAC_EnumEntry* entry) noexcept {
    entry->Next = nullptr;
    if (tail_ == nullptr) {
        head_.reset(entry);
    } else {
        tail_->Next = entry;
    }
    tail_ = entry;
}

OwnedEnumList EnumListBuilder::take() noexcept {
    tail_ = nullptr;
    return std::move(head_);
}

namespace {

// The payload's bytes after its first eight, which a text pointer never reaches.
constexpr std::size_t kInlineOffset = 8;
constexpr std::size_t kInlineSize = sizeof(QAC_Payload) - kInlineOffset;
static_assert(sizeof(const char*) <= kInlineOffset && kInlineSize >= 24, "no room for a text");

char* inline_text(QAC_Payload& payload) {
    return reinterpret_cast<char*>(&payload) + kInlineOffset;
}

void release_payload_text(QAC_Payload& payload) noexcept {
    if (payload.String != inline_text(payload)) {
        release_text(payload.String);
    }
    payload.String = nullptr;
}

}  // namespace

void put_payload_text(QAC_Payload* payload, std::string_view text) {
    if (text.size() >= kInlineSize) {
        payload->String = copy_text(text);
        return;
    }
    char* here = inline_text(*payload);
    if (!text.empty()) {
        std::memcpy(here, text.data(), text.size());
    }
    here[text.size()] = '\0';
    payload->String = here;
}

void release_payload(std::uint32_t type, QAC_Payload& payload) noexcept {
    switch (type) {
        case QAC_TYPE_STRING:
        case QAC_TYPE_ENUMERATION:
            release_payload_text(payload);
            break;
        case QAC_TYPE_IPADDR:
            release_text(payload.IpAddr.HostName);
            payload.IpAddr.HostName = nullptr;
            break;
        default:
            break;
    }
}

void release_contents(QAC_Content* first) noexcept {
    // Members are spliced into the chain right after their parent, so the whole tree is
    // released as one list without a stack.
    QAC_Content* current = first;
    while (current != nullptr) {
        if (current->Members != nullptr) {
            QAC_Content* tail = current->Members;
            while (tail->Next != nullptr) {
                tail = tail->Next;
            }
            tail->Next = current->Next;
            current->Next = current->Members;
            current->Members = nullptr;
        }
        QAC_Content* next = current->Next;
        release_text(current->Name);
        release_text(current->Description);
        release_text(current->DispString);
        release_enum_list(current->EnumList);
        release_payload(current->Default.Type, current->Default.Payload);
        delete current;
        current = next;
    }
}

namespace {

const char* copy_optional(const char* text) {
    return text == nullptr ? nullptr : copy_text(text);
}

// One definition without its neighbours and members.
QAC_Content* copy_definition(const QAC_Content& source) {
    auto* copy = new QAC_Content(source);
    copy->Next = nullptr;
    copy->Members = nullptr;
    copy->Name = nullptr;
    copy->Description = nullptr;
    copy->DispString = nullptr;
    copy->EnumList = nullptr;
    QAC_Payload& payload = copy->Default.Payload;
    const QAC_Payload& given = source.Default.Payload;
    switch (source.Default.Type) {
        case QAC_TYPE_STRING:
            payload.String = nullptr;
            break;
        case QAC_TYPE_ENUMERATION:
            payload.Enumeration = nullptr;
            break;
        case QAC_TYPE_IPADDR:
            payload.IpAddr.HostName = nullptr;
            break;
        default:
            break;
    }
    try {
        copy->Name = copy_optional(source.Name);
        copy->Description = copy_optional(source.Description);
        copy->DispString = copy_optional(source.DispString);
        EnumListBuilder words;
        for (const QAC_EnumEntry* e = source.EnumList; e != nullptr; e = e->Next) {
            words.append(make_enum_entry(e->Value, e->DispText));
        }
        copy->EnumList = words.take().release();
        switch (source.Default.Type) {
            case QAC_TYPE_STRING:
                payload.String = copy_optional(given.String);
                break;
            case QAC_TYPE_ENUMERATION:
                payload.Enumeration = copy_optional(given.Enumeration);
                break;
            case QAC_TYPE_IPADDR:
                payload.IpAddr.HostName = copy_optional(given.IpAddr.HostName);
                break;
            default:
                break;
        }
    } catch (...) {
        release_contents(copy);
        throw;
    }
    return copy;
}

}  // namespace

OwnedContents copy_contents(const QAC_Content* first) {
    OwnedContents copy;
    QAC_Content* top = nullptr;  // the list as made so far, owned by copy once it has a head
    // Lists still to copy, each with the place its copy goes; members wait on a stack, so
    // that deep nesting costs no call stack.
    std::vector<std::pair<const QAC_Content*, QAC_Content**>> pending;
    pending.emplace_back(first, &top);
    while (!pending.empty()) {
        auto [source, place] = pending.back();
        pending.pop_back();
        for (; source != nullptr; source = source->Next) {
            *place = copy_definition(*source);
            if (copy == nullptr) {
                copy.reset(top);
            }
            if (source->Members != nullptr) {
                pending.emplace_back(source->Members, &(*place)->Members);
            }
            place = &(*place)->Next;
        }
    }
    return copy;
}

}  // namespace qac
