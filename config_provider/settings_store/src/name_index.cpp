#include "name_index.h"

#include <utility>

namespace qac {

void NameIndex::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 8 : old.size() * 2, Slot{});
    used_ = 0;
    for (const Slot& slot : old) {
        if (slot.position != kNone) {
            add(slot.name, slot.position);
        }
    }
}

void NameIndex::add(std::string_view name, std::uint32_t position) {
    if (2 * (used_ + 1) > slots_.size()) {
        grow();
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(name) & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.position == kNone) {
            slot.name = name;
            slot.position = position;
            ++used_;
            return;
        }
        if (slot.name == name) {
            return;  // the first one stays
        }
    }
}

}  // namespace qac
