// The cluster's check-tags database: one set CRDT per check UUID, each
// element a tag with a sequence number and a tombstone bit, plus the
// change log that diff pulls read.
//
// Storage is compact so that 1,000,000 checks x 10 tags fit in a few
// hundred megabytes: tag texts are interned once, a check is 32 bytes plus
// one array of 12-byte elements, the UUID index is a flat open-addressing
// table of 32-bit check numbers, and a change-log entry is 16 bytes.
//
// Checks are only ever appended (a check number stays valid for the life
// of the dataset) and the change log is append-only, so a stream may hold
// a position across chunks and only needs the lock while it copies out.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "standin/shared_lock.h"
#include "standin/uuid.h"

namespace standin {

// The element's tag id and tombstone bit share one word; the sequence
// number is split so that the element packs into 12 bytes.
struct Element {
  uint32_t tag_tomb = 0;  // tag id << 1 | tombstone
  uint32_t seq_lo = 0;
  uint32_t seq_hi = 0;

  uint32_t tag() const { return tag_tomb >> 1; }
  bool tombstone() const { return tag_tomb & 1u; }
  uint64_t seq() const { return static_cast<uint64_t>(seq_hi) << 32 | seq_lo; }
  void set(uint32_t tag_id, uint64_t seq, bool tombstone) {
    tag_tomb = tag_id << 1 | (tombstone ? 1u : 0u);
    seq_lo = static_cast<uint32_t>(seq);
    seq_hi = static_cast<uint32_t>(seq >> 32);
  }
};
static_assert(sizeof(Element) == 12);

struct Check {
  Uuid uuid{};
  std::unique_ptr<Element[]> elements;
  uint32_t count = 0;
  uint32_t capacity = 0;

  Element *find(uint32_t tag_id);
  Element &append(const Element &element);
};

// One change as it happened: the element's state right after it.
struct LogEntry {
  uint32_t check = 0;
  uint32_t tag_tomb = 0;
  uint64_t seq = 0;
};
static_assert(sizeof(LogEntry) == 16);

// Interned tag texts. Ids are dense from 0; texts never move (deque of
// strings), so a string_view handed out stays valid while the dictionary
// lives.
class TagDictionary {
 public:
  static constexpr uint32_t kMaxTags = 1u << 31;  // one bit goes to the tombstone

  // nullopt when the dictionary is full.
  std::optional<uint32_t> intern(std::string_view text);
  std::optional<uint32_t> find(std::string_view text) const;
  std::string_view text(uint32_t id) const { return texts_[id]; }
  size_t size() const { return texts_.size(); }

 private:
  std::deque<std::string> texts_;
  std::unordered_map<std::string_view, uint32_t> ids_;
};

// UUID -> check number, open addressing with linear probing over 32-bit
// slots; the UUIDs themselves live in the checks, not in the table.
class CheckIndex {
 public:
  std::optional<uint32_t> find(const Uuid &uuid, const std::vector<Check> &checks) const;
  // The caller guarantees that checks[number] holds a UUID not yet indexed.
  void insert(uint32_t number, const std::vector<Check> &checks);
  void reserve(size_t count, const std::vector<Check> &checks);

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  void rehash(size_t slot_count, const std::vector<Check> &checks);
  std::vector<uint32_t> slots_;
  size_t used_ = 0;
};

struct Dataset {
  // Distinguishes datasets: node epochs derive from it, so checkpoints
  // taken on a replaced dataset are unknown afterwards.
  uint32_t base_epoch = 0;

  mutable WriterPreferringMutex mutex;  // guards everything below
  TagDictionary tags;
  std::vector<Check> checks;
  CheckIndex index;
  std::vector<LogEntry> log;
  uint64_t element_count = 0;

  // Adds a check that must not exist yet; returns its number.
  uint32_t add_check(const Uuid &uuid, uint32_t capacity);
  std::optional<uint32_t> find_check(const Uuid &uuid) const {
    return index.find(uuid, checks);
  }
};

}  // namespace standin
