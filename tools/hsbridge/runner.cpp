#include "tools/hsbridge/runner.h"

namespace hs::tool {

RunReport run_scenario(const Scenario& scenario, const RunSettings& settings,
                       const TraceSink& sink) {
  (void)scenario;
  (void)sink;
  RunReport report;
  report.policy = settings.policy.describe();
  report.exit_status = kExitStopped;
  report.stop_report = "the runner is not built yet";
  return report;
}

}  // namespace hs::tool
