#include "standin/byte_source.h"

#include <algorithm>
#include <cstring>

namespace standin {

ssize_t StagedSource::read(char *buf, size_t max) {
  while (offset_ == staged_.size()) {
    if (done_) return 0;
    staged_.clear();
    offset_ = 0;
    if (!refill(staged_)) done_ = true;
  }
  size_t n = std::min(max, staged_.size() - offset_);
  std::memcpy(buf, staged_.data() + offset_, n);
  offset_ += n;
  return static_cast<ssize_t>(n);
}

}  // namespace standin
