#include "standin/snapshot.h"

#include <algorithm>
#include <mutex>
#include <numeric>
#include <shared_mutex>
#include <string_view>

namespace standin {

SnapshotSource::SnapshotSource(std::shared_ptr<const Dataset> dataset)
    : dataset_(std::move(dataset)) {
  std::shared_lock<WriterPreferringMutex> lock(dataset_->mutex);
  const std::vector<Check> &checks = dataset_->checks;
  order_.resize(checks.size());
  std::iota(order_.begin(), order_.end(), 0u);
  std::sort(order_.begin(), order_.end(),
            [&](uint32_t a, uint32_t b) { return checks[a].uuid < checks[b].uuid; });
}

bool SnapshotSource::refill(std::string &out) {
  std::shared_lock<WriterPreferringMutex> lock(dataset_->mutex);
  std::vector<std::string_view> live;
  while (next_ < order_.size() && out.size() < kPieceSize) {
    const Check &check = dataset_->checks[order_[next_++]];
    char name[kUuidTextLength];
    format_uuid(check.uuid, name);
    out.append(name, sizeof name);
    live.clear();
    for (uint32_t i = 0; i < check.count; ++i)
      if (!check.elements[i].tombstone())
        live.push_back(dataset_->tags.text(check.elements[i].tag()));
    // string_view compares bytes as unsigned char: plain byte order.
    std::sort(live.begin(), live.end());
    for (std::string_view tag : live) {
      out.push_back('\t');
      out.append(tag);
    }
    out.push_back('\n');
  }
  return !out.empty();
}

}  // namespace standin
