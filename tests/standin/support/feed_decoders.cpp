#include "standin/support/feed_decoders.h"

#include <algorithm>
#include <map>
#include <set>

namespace standin_test {
namespace {

uint32_t big_endian_32(const unsigned char *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

uint64_t little_endian(const unsigned char *p, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

void decode_info(const unsigned char *p, DecodedElement *element, uint32_t *len) {
  element->seq = little_endian(p, 8);
  auto word = static_cast<uint32_t>(little_endian(p + 8, 4));
  element->tombstone = word & 1u;
  *len = word >> 1;
  element->padding = static_cast<uint32_t>(little_endian(p + 12, 4));
}

}  // namespace

FullStateResult decode_full_state(std::string_view bytes) {
  FullStateResult result;
  const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
  size_t at = 0;
  int last = -1;  // type of the previous record
  std::string current_set;
  DecodedElement pending;
  uint32_t pending_len = 0;
  auto fail = [&](std::string why) {
    result.error = why + " at offset " + std::to_string(at);
    return result;
  };
  while (at < bytes.size()) {
    if (bytes.size() - at < 5) {
      result.trailing = bytes.size() - at;
      return result;
    }
    uint8_t type = data[at];
    uint32_t length = big_endian_32(data + at + 1);
    if (bytes.size() - at - 5 < length) {
      result.trailing = bytes.size() - at;
      return result;
    }
    std::string_view payload = bytes.substr(at + 5, length);
    switch (type) {
      case 0:
        if (last != -1) return fail("outer name not first");
        if (payload != "check") return fail("outer name is not \"check\"");
        break;
      case 1:
        if (last != 0) return fail("inner name not after the outer name");
        if (payload != "tag") return fail("inner name is not \"tag\"");
        break;
      case 2:
        if (last != 1 && last != 2 && last != 3) return fail("set name out of place");
        if (length != 36) return fail("set name is not 36 bytes");
        current_set = std::string(payload);
        result.sets.push_back(current_set);
        break;
      case 4:
        if (last != 2 && last != 3) return fail("element info out of place");
        if (length != 16) return fail("element info is not 16 bytes");
        pending = DecodedElement{};
        pending.check = current_set;
        decode_info(data + at + 5, &pending, &pending_len);
        break;
      case 3:
        if (last != 4) return fail("element value without an info before it");
        if (length != pending_len) return fail("element value length differs from the info");
        pending.tag = std::string(payload);
        result.elements.push_back(pending);
        break;
      default:
        return fail("record type " + std::to_string(type));
    }
    result.types.push_back(type);
    last = type;
    at += 5 + length;
  }
  return result;
}

DiffResult decode_diff(std::string_view bytes) {
  DiffResult result;
  const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
  size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) {
      result.trailing = bytes.size() - at;
      return result;
    }
    uint32_t length = big_endian_32(data + at);
    if (bytes.size() - at - 4 < length) {
      result.trailing = bytes.size() - at;
      return result;
    }
    if (length < 56) {
      result.error = "message shorter than its fixed part at offset " + std::to_string(at);
      return result;
    }
    uint32_t name_length = big_endian_32(data + at + 4);
    if (name_length != 36) {
      result.error = "set name length " + std::to_string(name_length);
      return result;
    }
    DecodedElement element;
    element.check = std::string(bytes.substr(at + 8, 36));
    uint32_t len = 0;
    decode_info(data + at + 44, &element, &len);
    if (length != len + 56) {
      result.error = "L does not equal len + 56 at offset " + std::to_string(at);
      return result;
    }
    element.tag = std::string(bytes.substr(at + 60, len));
    result.messages.push_back(element);
    at += 4 + length;
  }
  return result;
}

std::optional<std::string> checkpoint_from_header_line(std::string_view line) {
  constexpr std::string_view name = "x-drask-feed-checkpoint:";
  if (line.size() < name.size()) return std::nullopt;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = line[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return std::nullopt;
  }
  std::string_view value = line.substr(name.size());
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n')) value.remove_suffix(1);
  if (value.size() != 17) return std::nullopt;
  for (size_t i = 0; i < 17; ++i) {
    char c = value[i];
    bool ok = i == 8 ? c == ':' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) return std::nullopt;
  }
  return std::string(value);
}

std::string canonical_from_elements(const std::vector<DecodedElement> &elements) {
  struct State {
    uint64_t seq;
    bool tombstone;
  };
  std::map<std::string, std::map<std::string, State>> checks;
  for (const DecodedElement &e : elements) {
    auto &tags = checks[e.check];
    auto it = tags.find(e.tag);
    if (it == tags.end()) {
      tags.emplace(e.tag, State{e.seq, e.tombstone});
    } else if (e.seq > it->second.seq ||
               (e.seq == it->second.seq && it->second.tombstone && !e.tombstone)) {
      it->second = State{e.seq, e.tombstone};
    }
  }
  std::string out;
  for (const auto &[check, tags] : checks) {
    out += check;
    for (const auto &[tag, state] : tags)  // std::map: byte order already
      if (!state.tombstone) out += "\t" + tag;
    out += "\n";
  }
  return out;
}

}  // namespace standin_test
