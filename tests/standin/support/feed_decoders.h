// Decoders of the two feed streams and the checkpoint header, written for
// the tests from the stream formats alone: they share nothing with the
// stand-in's encoders (nor with the replication module), so an encoder
// bug cannot hide behind the same bug in a decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin_test {

struct DecodedElement {
  std::string check;  // the set name (36 characters)
  std::string tag;
  uint64_t seq = 0;
  bool tombstone = false;
  uint32_t padding = 0;  // the 4 bytes after the length word, as sent
};

struct FullStateResult {
  std::vector<DecodedElement> elements;
  std::vector<std::string> sets;  // set names in stream order
  std::vector<uint8_t> types;     // record types in stream order
  std::string error;              // empty when the stream is well-formed
  size_t trailing = 0;            // bytes of an incomplete last record
};

// Checks every record against the grammar: outer name "check", inner name
// "tag", then sets of (info, value) pairs; info payloads of 16 bytes and
// value lengths matching the info.
FullStateResult decode_full_state(std::string_view bytes);

struct DiffResult {
  std::vector<DecodedElement> messages;
  std::string error;
  size_t trailing = 0;
};

// Every message must have N = 36 and L = len + 56.
DiffResult decode_diff(std::string_view bytes);

// The token of an "X-Drask-Feed-Checkpoint:" header line (any letter case
// in the name, white space allowed before the value); nullopt unless the
// value is exactly 8 lower-case hex digits, a colon and 8 more.
std::optional<std::string> checkpoint_from_header_line(std::string_view line);

// "live tags per check" text built from decoded elements by CRDT merge
// (higher seq wins; at equal seq an addition beats a removal) in the
// snapshot's canonical form.
std::string canonical_from_elements(const std::vector<DecodedElement> &elements);

}  // namespace standin_test
