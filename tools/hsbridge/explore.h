// Systematic exploration of scenarios: many schedules, a failure injected at
// every allocation and every port call, every bus answer failing in turn,
// and random sequences of requests from a seed. Every run is judged the
// same way: no verifier report, no hang, every client request completed
// exactly once, and no pool block left once the device is removed and the
// drivers unloaded (exploration closes what a scenario left open, removes
// the device and waits for every request it sent without waiting).
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "tools/hsbridge/runner.h"
#include "tools/hsbridge/scenario.h"

namespace hs::tool {

// How one explored run ended.
enum class Verdict { Ok, ExpectFailed, Violation, Lost, Doubled, Leak, Hang, Usage };
std::string_view verdict_name(Verdict verdict);

// A run that did not end well.
struct Finding {
  Verdict verdict = Verdict::Ok;
  std::string what;    // "pct:2 seed 17", "pool PBRG call 3 fails", ...
  std::string report;  // the verifier's, hang detector's or expect's words
  std::string replay;  // the command that replays it
};

// What a piece of exploration did and found; figures add up.
struct ExploreFigures {
  uint64_t scenarios = 0;
  uint64_t schedules = 0;                  // runs under random and PCT schedules
  uint64_t allocation_runs = 0;            // runs with one allocation failing
  uint64_t port_call_runs = 0;             // runs with one port call or bus answer failing
  uint64_t sequences = 0;                  // random request sequences run
  std::set<std::string> allocation_sites;  // "pool:PBRG", "irp:alloc" ... failed at least once
  std::set<std::string> port_call_sites;   // "vcomm:ReadComm", "bus:pnp 0x02" ...
  uint64_t violations = 0, lost = 0, doubled = 0, leaks = 0, hangs = 0, expect_failures = 0;
  std::vector<Finding> findings;

  void add(const ExploreFigures& other);
  uint64_t faults() const { return violations + lost + doubled + leaks + hangs; }
  void count(const Finding& finding);
};

struct ExploreSettings {
  std::string driver_directory;  // where portbridge.so and ratefilter.so are
  VTime time_limit = 120 * kSecond;
  uint64_t calls_per_site = 0;  // 0: every call of a site fails in turn; N: at most N of them
  std::string file = "FILE";    // the scenario's path, for replay commands
};

// The scenario with its loose ends tied: handles left open are cleaned up
// and closed, the device is surprise-removed and removed (unless the
// scenario removes it last), and requests sent without a wait are waited for.
Scenario with_removal(const Scenario& scenario);

// Judges one run.
Verdict judge(const RunReport& report, bool expects_count);

// Runs the scenario once per seed from `first_seed` under `policy`
// ("random" or "pct:D").
ExploreFigures explore_schedules(const Scenario& scenario, const std::string& policy,
                                 uint64_t first_seed, uint64_t count,
                                 const ExploreSettings& settings);

// Counts the scenario's allocations (pool by tag, requests, power requests,
// device creation and attachment, registry), then runs it once per
// allocation with exactly that one failing. Expects do not count here.
ExploreFigures allocation_loop(const Scenario& scenario, const ExploreSettings& settings);

// The same over every VCOMM service call, then every Plug and Play and
// power answer of the bus driver failing.
ExploreFigures port_call_loop(const Scenario& scenario, const ExploreSettings& settings);

// A random but valid scenario from a seed: Plug and Play, power, open,
// close, cleanup, reads, writes and device controls with I/O in flight,
// ending in removal.
std::string random_sequence(uint64_t seed);

// Runs `count` random sequences from `first_seed`, each under a random
// schedule with its own seed.
ExploreFigures explore_sequences(uint64_t first_seed, uint64_t count,
                                 const ExploreSettings& settings);

// The figures as a table.
std::string format_figures(const ExploreFigures& figures, const std::vector<std::string>& fuzz);

}  // namespace hs::tool
