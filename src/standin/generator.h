// A deterministic check-tags dataset for tests and benchmarks: the same
// (checks, tags per check, seed) always gives the same checks, tags and
// sequence numbers, whatever the platform (own PRNG, no std distributions).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "standin/dataset.h"

namespace standin {

struct GeneratorLimits {
  static constexpr uint64_t kMaxChecks = 50'000'000;
  static constexpr uint32_t kMaxTagsPerCheck = 1000;
  static constexpr uint64_t kMaxElements = 200'000'000;
};

// Why the parameters cannot be generated, or nullopt when they can.
std::optional<std::string> generator_problem(uint64_t checks, uint64_t tags_per_check);

// Every check gets tags_per_check distinct live tags ("env:prod",
// "host:web0042", ...) with sequence numbers spread over 40 bits, so that
// every byte of the 64-bit field is exercised by encoders and decoders.
// The change log starts empty.
std::unique_ptr<Dataset> generate_dataset(uint64_t checks, uint32_t tags_per_check,
                                          uint64_t seed);

}  // namespace standin
