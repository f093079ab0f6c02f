// Scheduler policies: run until the thread blocks, random preemption from a
// seed, and PCT (probabilistic concurrency testing) with a bug depth.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hs {

enum class PolicyKind { RunUntilBlock, Random, Pct };

struct SchedulePolicy {
  PolicyKind kind = PolicyKind::RunUntilBlock;
  uint64_t seed = 1;
  int depth = 2;  // PCT bug depth

  // "run", "random", "pct:3" (the seed is given separately).
  static std::optional<SchedulePolicy> parse(std::string_view text, uint64_t seed);
  std::string name() const;      // "run", "random", "pct:3"
  std::string describe() const;  // "random seed 42"
};

}  // namespace hs
