// Nothing a scenario does may crash hsbridge: random scenarios (fixed seed)
// of valid steps end in one of the documented exit statuses, and the run
// that stopped names its policy and seed.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "tools/hsbridge/cli.h"
#include "tools/hsbridge/codes.h"

namespace hs::tool {
namespace {

std::string random_scenario(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % n); };
  std::ostringstream text;
  int open = 0;
  int asyncs = 0;
  bool started = false;
  const int steps = 8 + pick(20);
  for (int i = 0; i < steps; ++i) {
    switch (pick(12)) {
      case 0:
        text << "start\n";
        started = true;
        break;
      case 1:
        text << "open" << (pick(4) == 0 ? " at=dispatch" : "") << "\n";
        ++open;
        break;
      case 2:
        if (open > 0 && pick(2)) {
          text << "cleanup\n";
        } else if (open > 0) {
          text << "close\n";
          --open;
        }
        break;
      case 3:
      case 4: {
        if (open == 0) break;
        const auto& table = ioctl_table();
        const IoctlInfo& info = table[pick(static_cast<int>(table.size()))];
        text << "ioctl " << info.name;
        for (size_t a = 0; a < info.args.size(); ++a) text << ' ' << (rng() % 256);
        if (pick(4) == 0) text << " async=a" << asyncs++;
        if (pick(6) == 0) text << " at=dispatch";
        text << "\n";
        break;
      }
      case 5:
        if (open > 0) text << "write \"AT\\r\"" << (pick(3) == 0 ? " at=dispatch" : "") << "\n";
        break;
      case 6:
        if (open > 0) text << "read " << pick(40) << " async=a" << asyncs++ << "\n";
        break;
      case 7:
        text << "sleep " << 1 + pick(50) << "ms\n";
        break;
      case 8:
        text << "line send \"\\r\\nRING\\r\\n\\xFF\"\n";
        break;
      case 9:
        if (started) {
          static const char* const kActions[] = {"query-stop",    "stop",
                                                 "cancel-stop",   "query-remove",
                                                 "cancel-remove", "surprise-removal"};
          text << "pnp " << kActions[pick(6)] << "\n";
        }
        break;
      case 10:
        text << "handset quirk=" << (pick(2) ? "garbage" : "split") << " echo=off\n";
        break;
      case 11:
        text << "expect status SUCCESS\n";
        break;
    }
  }
  if (started) text << "pnp remove\n";
  return text.str();
}

TEST(HsbridgeRobustness, RandomScenariosEndInADocumentedStatus) {
  std::mt19937 rng(20261211);
  CommandOptions options;
  options.trace = "none";
  options.time_limit = "3s";
  int tally[4] = {};
  for (int run = 0; run < 100; ++run) {
    const std::string text = random_scenario(rng);
    options.policy = run % 2 ? "random" : "run";
    options.seed = static_cast<uint64_t>(run);
    std::ostringstream out, err;
    const int status = run_scenario_text(text, "random", {}, options, out, err);
    ASSERT_TRUE(status == 0 || status == 1 || status == 3) << "status " << status << "\n"
                                                           << text << err.str();
    ++tally[status];
    if (status == 3) {
      EXPECT_NE(err.str().find("seed " + std::to_string(run)), std::string::npos);
    }
  }
  // Every outcome is reached, so the runs go beyond the first step.
  EXPECT_GT(tally[0], 0);
  EXPECT_GT(tally[1], 0);
  EXPECT_GT(tally[3], 0);
}

}  // namespace
}  // namespace hs::tool
