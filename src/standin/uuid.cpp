#include "standin/uuid.h"

#include <cstring>

namespace standin {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_dash_position(size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

uint64_t mix64(uint64_t x) {
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 31;
  return x;
}

}  // namespace

bool parse_uuid(std::string_view text, Uuid &out) {
  if (text.size() != kUuidTextLength) return false;
  size_t byte = 0;
  for (size_t i = 0; i < text.size();) {
    if (is_dash_position(i)) {
      if (text[i] != '-') return false;
      ++i;
      continue;
    }
    int hi = hex_value(text[i]);
    int lo = hex_value(text[i + 1]);
    if (hi < 0 || lo < 0 || is_dash_position(i + 1)) return false;
    out[byte++] = static_cast<uint8_t>(hi << 4 | lo);
    i += 2;
  }
  return byte == out.size();
}

void format_uuid(const Uuid &uuid, char *out) {
  static const char digits[] = "0123456789abcdef";
  size_t pos = 0;
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out[pos++] = '-';
    out[pos++] = digits[uuid[i] >> 4];
    out[pos++] = digits[uuid[i] & 0xf];
  }
}

std::string uuid_text(const Uuid &uuid) {
  std::string text(kUuidTextLength, '\0');
  format_uuid(uuid, text.data());
  return text;
}

size_t UuidHash::operator()(const Uuid &uuid) const noexcept {
  uint64_t a, b;
  std::memcpy(&a, uuid.data(), 8);
  std::memcpy(&b, uuid.data() + 8, 8);
  return static_cast<size_t>(mix64(a ^ mix64(b)));
}

}  // namespace standin
