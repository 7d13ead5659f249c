// What a mapping owns moves with it; the mapping and unmapping are each platform's own.
#include <utility>

#include "plat/mapping.h"

namespace plat {

FileMapping::~FileMapping() {
    unmap();
}

FileMapping::FileMapping(FileMapping&& other) noexcept
    : view_(std::exchange(other.view_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      base_(std::exchange(other.base_, nullptr)),
      base_length_(std::exchange(other.base_length_, 0)),
      mapping_(std::exchange(other.mapping_, 0)) {}

FileMapping& FileMapping::operator=(FileMapping&& other) noexcept {
    if (this != &other) {
        unmap();
        view_ = std::exchange(other.view_, nullptr);
        length_ = std::exchange(other.length_, 0);
        base_ = std::exchange(other.base_, nullptr);
        base_length_ = std::exchange(other.base_length_, 0);
        mapping_ = std::exchange(other.mapping_, 0);
    }
    return *this;
}

}  // namespace plat
