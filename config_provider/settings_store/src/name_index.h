// Names to positions, for the lookups of element names while a document is read: one flat
// table probed in place, no allocation per lookup.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qac {

class NameIndex {
  public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    // Keeps the first position of a name. The name's bytes must outlive the index. Throws
    // std::bad_alloc.
    void add(std::string_view name, std::uint32_t position);
    std::uint32_t find(std::string_view name) const;

  private:
    struct Slot {
        std::string_view name;
        std::uint32_t position = kNone;
    };

    static std::uint64_t hash(std::string_view name) {
        std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
        for (const char c : name) {
            h = (h ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        }
        return h;
    }
    void grow();

    std::vector<Slot> slots_;  // a power of two, at most half full
    std::size_t used_ = 0;
};

inline std::uint32_t NameIndex::find(std::string_view name) const {
    if (slots_.empty()) {
        return kNone;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(name) & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.position == kNone) {
            return kNone;
        }
        if (slot.name == name) {
            return slot.position;
        }
    }
}

}  // namespace qac
