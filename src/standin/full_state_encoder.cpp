#include "standin/full_state_encoder.h"

#include <mutex>
#include <shared_mutex>
#include <string_view>

#include "standin/wire.h"

namespace standin {
namespace {

void append_record(std::string &out, uint8_t type, std::string_view payload) {
  out.push_back(static_cast<char>(type));
  wire::append_be32(out, static_cast<uint32_t>(payload.size()));
  out.append(payload);
}

void append_corruption(std::string &out) {
  append_record(out, record_type::kInvalid, "corrupt");
}

}  // namespace

FullStateSource::FullStateSource(std::shared_ptr<const Dataset> dataset,
                                 std::optional<uint32_t> corrupt_before_check)
    : dataset_(std::move(dataset)), corrupt_before_(corrupt_before_check) {
  std::shared_lock<WriterPreferringMutex> lock(dataset_->mutex);
  end_check_ = static_cast<uint32_t>(dataset_->checks.size());
}

void FullStateSource::append_check(std::string &out, const Check &check) const {
  char name[kUuidTextLength];
  format_uuid(check.uuid, name);
  append_record(out, record_type::kSetName, std::string_view(name, sizeof name));
  for (uint32_t i = 0; i < check.count; ++i) {
    const Element &element = check.elements[i];
    std::string_view tag = dataset_->tags.text(element.tag());
    out.push_back(static_cast<char>(record_type::kElementInfo));
    wire::append_be32(out, wire::kElementInfoSize);
    wire::append_element_info(out, element.seq(), static_cast<uint32_t>(tag.size()),
                              element.tombstone());
    append_record(out, record_type::kElementValue, tag);
  }
}

bool FullStateSource::refill(std::string &out) {
  if (!names_sent_) {
    append_record(out, record_type::kOuterName, "check");
    append_record(out, record_type::kInnerName, "tag");
    names_sent_ = true;
  }
  {
    // The lock is held for one piece only: writers get their turn between
    // pieces, and check numbers stay valid because checks are only appended.
    std::shared_lock<WriterPreferringMutex> lock(dataset_->mutex);
    while (next_check_ < end_check_ && out.size() < kPieceSize) {
      if (corrupt_before_ && *corrupt_before_ == next_check_) append_corruption(out);
      append_check(out, dataset_->checks[next_check_]);
      ++next_check_;
    }
  }
  if (next_check_ == end_check_ && corrupt_before_ && *corrupt_before_ >= end_check_) {
    append_corruption(out);
    corrupt_before_.reset();
  }
  return !out.empty();
}

}  // namespace standin
