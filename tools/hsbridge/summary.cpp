#include <cstdio>

#include "tools/hsbridge/runner.h"

namespace hs::tool {

std::string format_summary(const RunReport& report) {
  const RunSummary& s = report.summary;
  std::string text =
      "Summary: " + std::to_string(s.requests) + (s.requests == 1 ? " request" : " requests");
  if (!s.statuses.empty()) {
    text += " (";
    for (size_t i = 0; i < s.statuses.size(); ++i)
      text += (i ? ", " : "") + std::to_string(s.statuses[i].second) + " " + s.statuses[i].first;
    text += ")";
  }
  text += "; line: " + std::to_string(s.bytes_to_handset) + " bytes to the handset, " +
          std::to_string(s.bytes_from_handset) + " from it; " +
          (s.real_time ? "host time " : "virtual time ") + format_vtime(s.end_time) +
          "; pool left: ";
  text += s.pool_blocks_held == 0 ? std::string("none")
                                  : std::to_string(s.pool_blocks_held) +
                                        (s.pool_blocks_held == 1 ? " block" : " blocks");
  text += "\n";
  if (s.pool_blocks_held != 0 && !s.pool_report.empty()) {
    text += s.pool_report;
    if (text.back() != '\n') text += '\n';
  }
  switch (report.exit_status) {
    case kExitOk:
      text += "Result: every expect held\n";
      break;
    case kExitExpectFailed:
      text += "Result: " + std::to_string(report.failures.size()) +
              (report.failures.size() == 1 ? " check" : " checks") + " failed\n";
      break;
    case kExitStopped:
      text += "Result: the run was stopped (" + report.policy + ")\n";
      break;
    default:
      break;
  }
  return text;
}

}  // namespace hs::tool
