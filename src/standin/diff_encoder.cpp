#include "standin/diff_encoder.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "standin/wire.h"

namespace standin {
namespace {

constexpr uint32_t kFixedAfterLength = 4 + kUuidTextLength + wire::kElementInfoSize;  // 56

}  // namespace

DiffSource::DiffSource(std::shared_ptr<const Dataset> dataset, uint32_t from, uint32_t to)
    : dataset_(std::move(dataset)), next_(from), end_(to) {}

bool DiffSource::refill(std::string &out) {
  std::shared_lock<WriterPreferringMutex> lock(dataset_->mutex);
  while (next_ < end_ && out.size() < kPieceSize) {
    const LogEntry &entry = dataset_->log[next_++];
    const bool tombstone = entry.tag_tomb & 1u;
    std::string_view tag = dataset_->tags.text(entry.tag_tomb >> 1);
    auto len = static_cast<uint32_t>(tag.size());
    char name[kUuidTextLength];
    format_uuid(dataset_->checks[entry.check].uuid, name);

    wire::append_be32(out, len + kFixedAfterLength);
    wire::append_be32(out, static_cast<uint32_t>(kUuidTextLength));
    out.append(name, sizeof name);
    wire::append_element_info(out, entry.seq, len, tombstone);
    out.append(tag);
  }
  return !out.empty();
}

}  // namespace standin
