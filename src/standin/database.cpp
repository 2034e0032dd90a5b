#include "standin/database.h"

#include <random>

namespace standin {
namespace {

uint32_t random_epoch() {
  std::random_device device;
  return device();
}

}  // namespace

std::optional<std::string> tag_text_problem(std::string_view tag) {
  if (tag.empty()) return "tag is empty";
  if (tag.size() > kMaxTagLength) return "tag is longer than 524288 bytes";
  for (char c : tag) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return "tag contains a control character";
  }
  return std::nullopt;
}

Database::Database() {
  auto empty = std::make_shared<Dataset>();
  empty->base_epoch = random_epoch();
  current_ = std::move(empty);
}

std::shared_ptr<Dataset> Database::current() const {
  std::lock_guard<std::mutex> lock(current_mutex_);
  return current_;
}

void Database::replace(std::shared_ptr<Dataset> dataset) {
  std::lock_guard<std::mutex> lock(current_mutex_);
  uint32_t epoch = random_epoch();
  while (epoch == current_->base_epoch) epoch = random_epoch();
  dataset->base_epoch = epoch;
  current_ = std::move(dataset);
}

ChangeResult Database::add_tag(std::string_view check, std::string_view tag,
                               std::optional<uint64_t> explicit_seq) {
  return change(check, tag, false, explicit_seq);
}

ChangeResult Database::remove_tag(std::string_view check, std::string_view tag,
                                  std::optional<uint64_t> explicit_seq) {
  return change(check, tag, true, explicit_seq);
}

ChangeResult Database::change(std::string_view check_text, std::string_view tag,
                              bool remove, std::optional<uint64_t> explicit_seq) {
  ChangeResult result;
  Uuid uuid;
  if (!parse_uuid(check_text, uuid)) {
    result.message = "check is not a UUID (8-4-4-4-12 hex digits)";
    return result;
  }
  if (auto problem = tag_text_problem(tag)) {
    result.message = *problem;
    return result;
  }
  if (explicit_seq && *explicit_seq == 0) {
    result.message = "seq must be at least 1";
    return result;
  }

  std::shared_ptr<Dataset> ds = current();
  std::unique_lock<WriterPreferringMutex> lock(ds->mutex);
  result.log_end = static_cast<uint32_t>(ds->log.size());

  std::optional<uint32_t> number = ds->find_check(uuid);
  std::optional<uint32_t> tag_id = ds->tags.find(tag);
  Element *element = nullptr;
  if (number && tag_id) element = ds->checks[*number].find(*tag_id);

  if (remove && (!element || element->tombstone())) {
    result.status = ChangeStatus::not_found;
    result.message = "the check does not hold this tag";
    if (element) {
      result.seq = element->seq();
      result.tombstone = true;
    }
    return result;
  }
  if (!remove && element && !element->tombstone() && !explicit_seq) {
    result.status = ChangeStatus::unchanged;
    result.seq = element->seq();
    return result;
  }
  uint64_t old_seq = element ? element->seq() : 0;
  if (explicit_seq && *explicit_seq <= old_seq) {
    result.status = ChangeStatus::stale_seq;
    result.message = "seq must be greater than the element's current " +
                     std::to_string(old_seq);
    result.seq = old_seq;
    result.tombstone = element && element->tombstone();
    return result;
  }
  if (!explicit_seq && old_seq == UINT64_MAX) {
    result.status = ChangeStatus::full;
    result.message = "the element's sequence number cannot grow any further";
    return result;
  }
  // Token positions are 32-bit: the log cannot grow past that.
  if (ds->log.size() >= UINT32_MAX) {
    result.status = ChangeStatus::full;
    result.message = "the change log is full";
    return result;
  }
  if (!tag_id) {
    tag_id = ds->tags.intern(tag);
    if (!tag_id) {
      result.status = ChangeStatus::full;
      result.message = "the tag dictionary is full";
      return result;
    }
  }
  if (!number) number = ds->add_check(uuid, 4);
  Check &check = ds->checks[*number];
  uint64_t seq = explicit_seq ? *explicit_seq : old_seq + 1;
  if (!element) {
    element = &check.append(Element{});
    ++ds->element_count;
  }
  element->set(*tag_id, seq, remove);
  ds->log.push_back(LogEntry{*number, element->tag_tomb, seq});

  result.status = ChangeStatus::changed;
  result.seq = seq;
  result.tombstone = remove;
  result.log_end = static_cast<uint32_t>(ds->log.size());
  return result;
}

std::optional<std::vector<ElementView>> Database::elements_of(
    std::string_view check_text) const {
  Uuid uuid;
  if (!parse_uuid(check_text, uuid)) return std::nullopt;
  std::shared_ptr<Dataset> ds = current();
  std::shared_lock<WriterPreferringMutex> lock(ds->mutex);
  std::optional<uint32_t> number = ds->find_check(uuid);
  if (!number) return std::nullopt;
  const Check &check = ds->checks[*number];
  std::vector<ElementView> out;
  out.reserve(check.count);
  for (uint32_t i = 0; i < check.count; ++i) {
    const Element &e = check.elements[i];
    out.push_back({std::string(ds->tags.text(e.tag())), e.seq(), e.tombstone()});
  }
  return out;
}

}  // namespace standin
