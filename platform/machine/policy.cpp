#include "machine/policy.h"

#include <charconv>

namespace hs {

std::optional<SchedulePolicy> SchedulePolicy::parse(std::string_view text, uint64_t seed) {
  SchedulePolicy policy;
  policy.seed = seed;
  if (text == "run") {
    policy.kind = PolicyKind::RunUntilBlock;
  } else if (text == "random") {
    policy.kind = PolicyKind::Random;
  } else if (text.substr(0, 4) == "pct:") {
    std::string_view digits = text.substr(4);
    int depth = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), depth);
    if (error != std::errc() || end != digits.data() + digits.size() || depth < 1 || depth > 16)
      return std::nullopt;
    policy.kind = PolicyKind::Pct;
    policy.depth = depth;
  } else {
    return std::nullopt;
  }
  return policy;
}

std::string SchedulePolicy::name() const {
  switch (kind) {
    case PolicyKind::RunUntilBlock:
      return "run";
    case PolicyKind::Random:
      return "random";
    case PolicyKind::Pct:
      return "pct:" + std::to_string(depth);
  }
  return "run";
}

std::string SchedulePolicy::describe() const {
  return "policy " + name() + " seed " + std::to_string(seed);
}

}  // namespace hs
