// Reads the scenario language into a Scenario. Every mistake is reported
// with its file, line and column; nothing is run when there is one.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tools/hsbridge/scenario.h"

namespace hs::tool {

struct ParseError {
  std::string file;
  int line = 0;
  int column = 0;
  std::string message;
  std::string str() const;  // "FILE:LINE:COLUMN: MESSAGE"
};

struct ParseResult {
  Scenario scenario;
  std::vector<ParseError> errors;  // at most one per line, in line order
  bool ok() const { return errors.empty(); }
};

// `file` names the scenario in messages; relative `node` paths are resolved
// against `base_dir` (empty: as written).
ParseResult parse_scenario(std::string_view text, const std::string& file,
                           const std::string& base_dir = {});

}  // namespace hs::tool
