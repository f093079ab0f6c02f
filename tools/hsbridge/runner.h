// Carries out a parsed scenario on a fresh emulated machine: installs the
// device node, runs the steps in the client's thread, checks each `expect`,
// and sums up what happened.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "sim/handset.h"
#include "tools/hsbridge/scenario.h"

namespace hs {
class Rig;
}

namespace hs::tool {

// Exit statuses of `hsbridge run` and `hsbridge demo`.
enum ExitStatus : int {
  kExitOk = 0,            // every expect held
  kExitExpectFailed = 1,  // an expect failed
  kExitUsage = 2,         // usage or scenario error, nothing run
  kExitStopped = 3,       // verifier violation or hang
  kExitSignalled = 128,   // + the signal's number: a real-time run was stopped by it
};

struct RunSettings {
  SchedulePolicy policy;             // run-until-block unless asked otherwise
  std::string driver_directory;      // where portbridge.so and ratefilter.so are
  VTime time_limit = 120 * kSecond;  // a run whose clock passes this is a hang
  // For exploration: `prepare` sees the rig before the machine runs (fault
  // plan, bus answers), `inspect` after it (fault counts, bus requests).
  std::function<void(Rig&)> prepare;
  std::function<void(Rig&)> inspect;
  // COM ports backed by host ttys (`--port NAME=PATH`). Any makes the run
  // real-time: the clock and the time limit follow the host's clock, idle
  // waits block on the ttys, and SIGINT, SIGTERM or SIGHUP end the run with
  // its handles closed and the device removed.
  std::vector<std::pair<std::string, std::string>> tty_ports;
};

struct RunSummary {
  uint64_t requests = 0;                                   // requests the client saw complete
  std::vector<std::pair<std::string, uint64_t>> statuses;  // status name -> count
  uint64_t bytes_to_handset = 0;                           // on the line, PC to handset
  uint64_t bytes_from_handset = 0;                         // on the line, handset to PC
  VTime end_time = 0;
  bool real_time = false;         // the clock followed the host's (a tty behind a port)
  uint64_t pool_blocks_held = 0;  // after the run
  std::string pool_report;        // what is held, by tag
};

struct RunReport {
  int exit_status = kExitOk;
  std::vector<std::string> failures;  // "FILE:LINE: expected ..., got ..."
  std::string stop_report;            // the verifier's or hang detector's report
  RunOutcome outcome = RunOutcome::Finished;
  std::string policy;  // "random seed 42", to replay a failing run
  RunSummary summary;
  std::vector<TraceEvent> events;  // the whole trace, for pictures
};

// Runs the scenario; every trace event also goes to `sink` as it happens.
RunReport run_scenario(const Scenario& scenario, const RunSettings& settings,
                       const TraceSink& sink);

// The summary as a few lines of text.
std::string format_summary(const RunReport& report);

// Applies a handset quirk by its scenario name ("silent", "split", ...);
// false for a name it does not know.
bool apply_handset_quirk(HandsetQuirks& quirks, const std::string& name);

}  // namespace hs::tool
