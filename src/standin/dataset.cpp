#include "standin/dataset.h"

#include <algorithm>

namespace standin {

Element *Check::find(uint32_t tag_id) {
  for (uint32_t i = 0; i < count; ++i)
    if (elements[i].tag() == tag_id) return &elements[i];
  return nullptr;
}

Element &Check::append(const Element &element) {
  if (count == capacity) {
    uint32_t grown = capacity < 4 ? 4 : capacity * 2;
    auto bigger = std::make_unique<Element[]>(grown);
    std::copy(elements.get(), elements.get() + count, bigger.get());
    elements = std::move(bigger);
    capacity = grown;
  }
  elements[count] = element;
  return elements[count++];
}

std::optional<uint32_t> TagDictionary::intern(std::string_view text) {
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  if (texts_.size() >= kMaxTags) return std::nullopt;
  auto id = static_cast<uint32_t>(texts_.size());
  const std::string &stored = texts_.emplace_back(text);
  ids_.emplace(std::string_view(stored), id);
  return id;
}

std::optional<uint32_t> TagDictionary::find(std::string_view text) const {
  if (auto it = ids_.find(text); it != ids_.end()) return it->second;
  return std::nullopt;
}

std::optional<uint32_t> CheckIndex::find(const Uuid &uuid,
                                         const std::vector<Check> &checks) const {
  if (slots_.empty()) return std::nullopt;
  size_t mask = slots_.size() - 1;
  for (size_t i = UuidHash{}(uuid) & mask;; i = (i + 1) & mask) {
    uint32_t number = slots_[i];
    if (number == kEmpty) return std::nullopt;
    if (checks[number].uuid == uuid) return number;
  }
}

void CheckIndex::insert(uint32_t number, const std::vector<Check> &checks) {
  // Keep the load at most one half so that probe runs stay short.
  if ((used_ + 1) * 2 > slots_.size())
    rehash(std::max<size_t>(16, slots_.size() * 2), checks);
  size_t mask = slots_.size() - 1;
  size_t i = UuidHash{}(checks[number].uuid) & mask;
  while (slots_[i] != kEmpty) i = (i + 1) & mask;
  slots_[i] = number;
  ++used_;
}

void CheckIndex::reserve(size_t count, const std::vector<Check> &checks) {
  size_t want = 16;
  while (want < count * 2) want *= 2;
  if (want > slots_.size()) rehash(want, checks);
}

void CheckIndex::rehash(size_t slot_count, const std::vector<Check> &checks) {
  std::vector<uint32_t> old;
  old.swap(slots_);
  slots_.assign(slot_count, kEmpty);
  size_t mask = slot_count - 1;
  for (uint32_t number : old) {
    if (number == kEmpty) continue;
    size_t i = UuidHash{}(checks[number].uuid) & mask;
    while (slots_[i] != kEmpty) i = (i + 1) & mask;
    slots_[i] = number;
  }
}

uint32_t Dataset::add_check(const Uuid &uuid, uint32_t capacity) {
  auto number = static_cast<uint32_t>(checks.size());
  Check &check = checks.emplace_back();
  check.uuid = uuid;
  if (capacity > 0) {
    check.elements = std::make_unique<Element[]>(capacity);
    check.capacity = capacity;
  }
  index.insert(number, checks);
  return number;
}

}  // namespace standin
