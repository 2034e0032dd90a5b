// The full-state stream: typed, length-prefixed records (1 byte type,
// 4 bytes big-endian length, payload): outer name "check", inner name
// "tag", then per check a set name (the 36-character UUID) and, per
// element, an element info followed by an element value. Tombstones are
// sent like live elements so that a replica learns of removals too.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "standin/byte_source.h"
#include "standin/dataset.h"

namespace standin {

namespace record_type {
inline constexpr uint8_t kOuterName = 0;
inline constexpr uint8_t kInnerName = 1;
inline constexpr uint8_t kSetName = 2;
inline constexpr uint8_t kElementValue = 3;
inline constexpr uint8_t kElementInfo = 4;
// Not a record type: what a corrupted stream carries.
inline constexpr uint8_t kInvalid = 7;
}  // namespace record_type

class FullStateSource : public StagedSource {
 public:
  // corrupt_before_check: when set, an invalid record (type 7) is placed
  // before that check's set name (or at the end when there are fewer
  // checks), which a conforming decoder must refuse.
  FullStateSource(std::shared_ptr<const Dataset> dataset,
                  std::optional<uint32_t> corrupt_before_check = std::nullopt);

 protected:
  bool refill(std::string &out) override;

 private:
  void append_check(std::string &out, const Check &check) const;

  std::shared_ptr<const Dataset> dataset_;
  std::optional<uint32_t> corrupt_before_;
  uint32_t next_check_ = 0;
  uint32_t end_check_ = 0;  // the checks that existed when the pull began
  bool names_sent_ = false;
};

}  // namespace standin
