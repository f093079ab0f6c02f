// The command line of hsbridge: `demo`, `run FILE` and their options.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace hs::tool {

// Parses the arguments and carries out the command; returns the exit status.
int run_cli(int argc, char** argv);

// Options shared by `run` and `demo`.
struct CommandOptions {
  uint64_t seed = 1;
  std::string policy = "run";       // run | random | pct:D
  std::string trace = "text";       // text | jsonl | none
  std::string trace_file;           // empty: standard output
  std::string svg_file;             // empty: no picture
  std::string driver_directory;     // empty: next to the program
  std::string time_limit = "120s";  // virtual time after which a run counts as hung
  std::vector<std::string> ports;   // --port NAME=PATH: COM ports backed by ttys, in real time
  std::vector<std::string> faults;  // --fail SITE, each injected into the run
};

// Parses, runs and reports one scenario text. `name` is the file name used in
// messages, `base_dir` resolves relative `node` paths. Output goes to `out`
// (trace unless a trace file is given, summary) and `err` (messages).
int run_scenario_text(const std::string& text, const std::string& name, const std::string& base_dir,
                      const CommandOptions& options, std::ostream& out, std::ostream& err);

}  // namespace hs::tool
