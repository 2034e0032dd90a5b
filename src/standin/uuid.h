// Check UUIDs: kept as 16 raw bytes (compact), shown as 36 lower-case
// characters 8-4-4-4-12. Byte order of the raw form equals the order of
// the lower-case text, so sorting either gives the same sequence.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace standin {

using Uuid = std::array<uint8_t, 16>;

inline constexpr size_t kUuidTextLength = 36;

// Accepts hex digits of either case; false for anything but 8-4-4-4-12.
bool parse_uuid(std::string_view text, Uuid &out);
// Writes exactly 36 characters (no NUL).
void format_uuid(const Uuid &uuid, char *out);
std::string uuid_text(const Uuid &uuid);

struct UuidHash {
  size_t operator()(const Uuid &uuid) const noexcept;
};

}  // namespace standin
