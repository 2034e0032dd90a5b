// The one database that every node of the stand-in cluster serves, and the
// changes the admin API makes to it. Each change bumps the element's
// sequence number and appends the element's new state to the change log.
//
// The current dataset is held by shared_ptr: replacing it (a generated
// dataset) never pulls the ground from under a stream that is still
// reading the old one; the old dataset goes when its last reader ends.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "standin/dataset.h"

namespace standin {

enum class ChangeStatus {
  changed,      // the element changed; a log entry was appended
  unchanged,    // adding a tag that is already live: nothing to do
  bad_input,    // malformed UUID or tag
  not_found,    // removing a tag that the check does not hold live
  stale_seq,    // an explicit sequence number not above the current one
  full,         // the change log or the tag dictionary is full
};

struct ChangeResult {
  ChangeStatus status = ChangeStatus::bad_input;
  std::string message;     // why, for anything but changed/unchanged
  uint64_t seq = 0;        // the element's sequence number afterwards
  bool tombstone = false;  // the element's tombstone bit afterwards
  uint32_t log_end = 0;    // change-log length afterwards
};

struct ElementView {
  std::string tag;
  uint64_t seq = 0;
  bool tombstone = false;
};

// Longest tag text accepted from the admin API: well beyond what the
// replica keeps by default (64 KiB), so that a node sending a longer tag can
// be reproduced, and within the admin API's 1 MiB body.
inline constexpr size_t kMaxTagLength = 512 * 1024;

// Why a tag text cannot be stored, or nullopt when it can: it must be
// non-empty, at most kMaxTagLength bytes and free of control characters
// (which keeps the snapshot's tab/newline framing unambiguous).
std::optional<std::string> tag_text_problem(std::string_view tag);

class Database {
 public:
  Database();

  std::shared_ptr<Dataset> current() const;
  // Installs a new dataset with a fresh base epoch (never equal to the
  // previous one) and an empty change log.
  void replace(std::shared_ptr<Dataset> dataset);

  // explicit_seq, when given, must exceed the element's current sequence
  // number; otherwise the change uses current + 1 (1 for a new element).
  ChangeResult add_tag(std::string_view check, std::string_view tag,
                       std::optional<uint64_t> explicit_seq = std::nullopt);
  ChangeResult remove_tag(std::string_view check, std::string_view tag,
                          std::optional<uint64_t> explicit_seq = std::nullopt);

  // Every element of one check (tombstones included), in storage order;
  // nullopt when the check is unknown.
  std::optional<std::vector<ElementView>> elements_of(std::string_view check) const;

 private:
  ChangeResult change(std::string_view check, std::string_view tag, bool remove,
                      std::optional<uint64_t> explicit_seq);

  mutable std::mutex current_mutex_;  // guards current_ (the pointer only)
  std::shared_ptr<Dataset> current_;
};

}  // namespace standin
