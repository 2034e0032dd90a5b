#include "standin/generator.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace standin {
namespace {

// splitmix64: tiny, fast, and its output is fixed by definition.
struct SplitMix64 {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t bound) { return static_cast<uint32_t>(next() % bound); }
};

template <size_t N>
std::string_view pick(SplitMix64 &rng, const std::array<std::string_view, N> &words) {
  return words[rng.below(N)];
}

constexpr std::array<std::string_view, 6> kEnvs{"prod", "staging", "dev", "test", "qa", "canary"};
constexpr std::array<std::string_view, 6> kHostKinds{"web", "db", "api", "cache", "queue", "batch"};
constexpr std::array<std::string_view, 7> kRegions{"us-east-1",    "us-west-2",  "eu-west-1",
                                                   "eu-central-1", "ap-south-1", "ap-east-1",
                                                   "sa-east-1"};
constexpr std::array<std::string_view, 8> kServices{"billing", "search",   "checkout", "auth",
                                                    "ingest",  "alerting", "reports",  "gateway"};
constexpr std::array<std::string_view, 8> kTeams{"core", "infra",  "payments", "growth",
                                                 "data", "mobile", "web",      "sre"};
constexpr std::array<std::string_view, 6> kRoles{"primary",  "replica", "worker",
                                                 "frontend", "backend", "proxy"};
constexpr std::array<std::string_view, 4> kOses{"linux", "freebsd", "windows", "illumos"};
constexpr std::array<std::string_view, 3> kTiers{"gold", "silver", "bronze"};
constexpr std::array<std::string_view, 6> kDcs{"ash", "sjc", "fra", "lon", "sin", "syd"};

// The tag at position `slot` of a check, written into buf (64 bytes).
// Each slot has its own category, so the tags of one check are distinct by
// construction. No allocation: this runs ten million times for the large
// dataset.
std::string_view make_tag(SplitMix64 &rng, uint32_t slot, char *buf) {
  constexpr size_t kSize = 64;
  int n = 0;
  auto word = [&](const char *category, std::string_view value) {
    return std::snprintf(buf, kSize, "%s:%.*s", category, static_cast<int>(value.size()),
                         value.data());
  };
  switch (slot) {
    case 0: n = word("env", pick(rng, kEnvs)); break;
    case 1: {
      std::string_view kind = pick(rng, kHostKinds);
      n = std::snprintf(buf, kSize, "host:%.*s%04u", static_cast<int>(kind.size()), kind.data(),
                        rng.below(10000));
      break;
    }
    case 2: n = word("region", pick(rng, kRegions)); break;
    case 3: n = word("service", pick(rng, kServices)); break;
    case 4: n = word("team", pick(rng, kTeams)); break;
    case 5: n = word("role", pick(rng, kRoles)); break;
    case 6: n = word("os", pick(rng, kOses)); break;
    case 7: n = std::snprintf(buf, kSize, "rack:r%03u", rng.below(1000)); break;
    case 8: n = word("tier", pick(rng, kTiers)); break;
    case 9: n = std::snprintf(buf, kSize, "app:app%03u", rng.below(1000)); break;
    case 10: n = std::snprintf(buf, kSize, "owner:u%05u", rng.below(100000)); break;
    case 11: {
      uint32_t major = rng.below(10), minor = rng.below(30), patch = rng.below(100);
      n = std::snprintf(buf, kSize, "version:v%u.%u.%u", major, minor, patch);
      break;
    }
    case 12: n = word("dc", pick(rng, kDcs)); break;
    case 13: n = std::snprintf(buf, kSize, "cluster:c%03u", rng.below(1000)); break;
    case 14: n = std::snprintf(buf, kSize, "zone:z%02u", rng.below(100)); break;
    case 15: n = std::snprintf(buf, kSize, "az:az%u", rng.below(6)); break;
    default: n = std::snprintf(buf, kSize, "label%u:v%04u", slot, rng.below(10000)); break;
  }
  return std::string_view(buf, static_cast<size_t>(n));
}

Uuid make_uuid(SplitMix64 &rng) {
  Uuid uuid;
  uint64_t a = rng.next(), b = rng.next();
  for (int i = 0; i < 8; ++i) {
    uuid[i] = static_cast<uint8_t>(a >> (56 - 8 * i));
    uuid[8 + i] = static_cast<uint8_t>(b >> (56 - 8 * i));
  }
  uuid[6] = static_cast<uint8_t>((uuid[6] & 0x0f) | 0x40);  // version 4
  uuid[8] = static_cast<uint8_t>((uuid[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return uuid;
}

}  // namespace

std::optional<std::string> generator_problem(uint64_t checks, uint64_t tags_per_check) {
  if (checks > GeneratorLimits::kMaxChecks) return "checks must be at most 50000000";
  if (tags_per_check > GeneratorLimits::kMaxTagsPerCheck)
    return "tags_per_check must be at most 1000";
  if (checks * tags_per_check > GeneratorLimits::kMaxElements)
    return "checks x tags_per_check must be at most 200000000";
  return std::nullopt;
}

std::unique_ptr<Dataset> generate_dataset(uint64_t checks, uint32_t tags_per_check,
                                          uint64_t seed) {
  auto ds = std::make_unique<Dataset>();
  SplitMix64 rng{seed};
  ds->checks.reserve(checks);
  ds->index.reserve(checks, ds->checks);
  for (uint64_t i = 0; i < checks; ++i) {
    Uuid uuid = make_uuid(rng);
    // 122 random bits make a repeat practically impossible; skip one
    // anyway rather than hold a check twice.
    while (ds->find_check(uuid)) uuid = make_uuid(rng);
    uint32_t number = ds->add_check(uuid, tags_per_check);
    Check &check = ds->checks[number];
    for (uint32_t slot = 0; slot < tags_per_check; ++slot) {
      char buf[64];
      std::string_view tag = make_tag(rng, slot, buf);
      uint64_t seq = 1 + (rng.next() & 0xffffffffffULL);
      Element element;
      element.set(*ds->tags.intern(tag), seq, false);
      check.append(element);
    }
    ds->element_count += tags_per_check;
  }
  return ds;
}

}  // namespace standin
