// The diff stream: one self-contained message per change-log entry, in
// log order. Message layout: L (4 bytes BE, the bytes after this field),
// N (4 bytes BE, 36), the check UUID as text, the 16-byte element info,
// the tag text; so L = tag length + 56.
#pragma once

#include <cstdint>
#include <memory>

#include "standin/byte_source.h"
#include "standin/dataset.h"

namespace standin {

class DiffSource : public StagedSource {
 public:
  // Streams the log entries [from, to); the caller has checked that `to`
  // does not exceed the log length (the log only grows).
  DiffSource(std::shared_ptr<const Dataset> dataset, uint32_t from, uint32_t to);

 protected:
  bool refill(std::string &out) override;

 private:
  std::shared_ptr<const Dataset> dataset_;
  uint32_t next_;
  uint32_t end_;
};

}  // namespace standin
