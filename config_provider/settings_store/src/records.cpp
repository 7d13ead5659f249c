#include "records.h"

#include <cstring>
#include <new>

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

void release_payload(std::uint32_t type, QAC_Payload& payload) noexcept {
    switch (type) {
        case QAC_TYPE_STRING:
            release_text(payload.String);
            payload.String = nullptr;
            break;
        case QAC_TYPE_ENUMERATION:
            release_text(payload.Enumeration);
            payload.Enumeration = nullptr;
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

}  // namespace qac
