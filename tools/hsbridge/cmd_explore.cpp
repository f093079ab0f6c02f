#include "tools/hsbridge/cmd_explore.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>

#include "tools/hsbridge/explore.h"
#include "tools/hsbridge/parser.h"
#include "tools/hsbridge/runner.h"

namespace hs::tool {

struct ExploreCommands {
  CLI::App* explore = nullptr;
  CLI::App* sequence = nullptr;
  CLI::App* figures = nullptr;
  std::string file;
  std::vector<std::string> policies;
  uint64_t seeds = 100;
  uint64_t first_seed = 1;
  bool faults = false;
  uint64_t calls_per_site = 0;
  uint64_t sequences = 200;
  uint64_t sequence_seed = 1;
  std::vector<std::string> directories;
  std::string fuzz_logs;
  std::string driver_directory;
};

namespace {

std::string program_directory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in || std::filesystem::is_directory(path)) return std::nullopt;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::optional<Scenario> load(const std::string& path, std::ostream& err) {
  const auto text = read_text(path);
  if (!text) {
    err << "hsbridge: " << path << ": cannot read the scenario file\n";
    return std::nullopt;
  }
  ParseResult parsed =
      parse_scenario(*text, path, std::filesystem::path(path).parent_path().string());
  if (!parsed.ok()) {
    for (const auto& error : parsed.errors) err << error.str() << '\n';
    return std::nullopt;
  }
  return std::move(parsed.scenario);
}

void print_findings(const ExploreFigures& figures, std::ostream& out) {
  for (const Finding& finding : figures.findings) {
    out << "FAILED " << finding.what << ": " << verdict_name(finding.verdict) << "\n";
    std::istringstream lines(finding.report);
    for (std::string line; std::getline(lines, line);) out << "  " << line << "\n";
    if (!finding.replay.empty()) out << "  replay: " << finding.replay << "\n";
  }
}

int exit_status(const ExploreFigures& figures) {
  if (figures.faults() != 0) return kExitStopped;
  return figures.expect_failures != 0 ? kExitExpectFailed : kExitOk;
}

ExploreSettings settings_of(const ExploreCommands& c, const std::string& file) {
  ExploreSettings settings;
  settings.driver_directory = c.driver_directory.empty() ? program_directory() : c.driver_directory;
  settings.calls_per_site = c.calls_per_site;
  settings.file = file;
  return settings;
}

std::vector<std::string> policies_of(const ExploreCommands& c) {
  return c.policies.empty() ? std::vector<std::string>{"random", "pct:2", "pct:3"} : c.policies;
}

int run_explore(const ExploreCommands& c) {
  const auto scenario = load(c.file, std::cerr);
  if (!scenario) return kExitUsage;
  const ExploreSettings settings = settings_of(c, c.file);
  ExploreFigures figures;
  for (const std::string& policy : policies_of(c)) {
    ExploreFigures part = explore_schedules(*scenario, policy, c.first_seed, c.seeds, settings);
    part.scenarios = 0;
    figures.add(part);
  }
  figures.scenarios = 1;
  if (c.faults) {
    figures.add(allocation_loop(*scenario, settings));
    figures.add(port_call_loop(*scenario, settings));
  }
  print_findings(figures, std::cout);
  std::cout << format_figures(figures, {});
  return exit_status(figures);
}

// libFuzzer ends a run with "Done N runs in T second(s)"; one log per target.
std::vector<std::string> fuzz_lines(const std::string& directory) {
  std::vector<std::string> lines;
  if (directory.empty() || !std::filesystem::is_directory(directory)) return lines;
  std::vector<std::filesystem::path> logs;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    if (entry.path().extension() == ".log") logs.push_back(entry.path());
  std::sort(logs.begin(), logs.end());
  const std::regex done(R"(Done (\d+) runs in (\d+) second)");
  for (const auto& path : logs) {
    uint64_t runs = 0, seconds = 0;
    const std::string text = read_text(path.string()).value_or("");
    for (std::sregex_iterator it(text.begin(), text.end(), done), end; it != end; ++it) {
      runs += std::stoull((*it)[1]);
      seconds += std::stoull((*it)[2]);
    }
    lines.push_back("fuzz executions, " + path.stem().string() + "\t" + std::to_string(runs) +
                    " in " + std::to_string(seconds) + " s");
  }
  return lines;
}

int run_figures(const ExploreCommands& c) {
  std::vector<std::string> files;
  for (const std::string& directory : c.directories) {
    if (!std::filesystem::is_directory(directory)) {
      std::cerr << "hsbridge: " << directory << ": not a directory\n";
      return kExitUsage;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory))
      if (entry.path().extension() == ".hsb") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  ExploreFigures figures;
  for (const std::string& file : files) {
    std::ostringstream quiet;
    const auto scenario = load(file, quiet);
    const ExploreSettings settings = settings_of(c, file);
    // Scenario files written to fail (a mistake, a hang, a wrong expect)
    // are for the program's own tests; the figures count the others.
    if (!scenario) {
      std::cout << "skipped " << file << ": does not parse\n";
      continue;
    }
    RunSettings baseline;
    baseline.driver_directory = settings.driver_directory;
    const RunReport first =
        run_scenario(with_removal(*scenario), baseline, [](const TraceEvent&) {});
    if (judge(first, true) != Verdict::Ok) {
      std::cout << "skipped " << file << ": " << verdict_name(judge(first, true))
                << " under the default schedule\n";
      continue;
    }
    std::cout << "exploring " << file << std::endl;
    ExploreFigures part;
    for (const std::string& policy : policies_of(c))
      part.add(explore_schedules(*scenario, policy, c.first_seed, c.seeds, settings));
    part.scenarios = 1;
    part.add(allocation_loop(*scenario, settings));
    part.add(port_call_loop(*scenario, settings));
    figures.add(part);
  }
  ExploreSettings settings = settings_of(c, "");
  figures.add(explore_sequences(c.sequence_seed, c.sequences, settings));
  print_findings(figures, std::cout);
  std::cout << format_figures(figures, fuzz_lines(c.fuzz_logs));
  return exit_status(figures);
}

}  // namespace

std::shared_ptr<ExploreCommands> add_explore_commands(CLI::App& app) {
  auto c = std::make_shared<ExploreCommands>();
  auto policy_check = [](const std::string& text) {
    const auto policy = SchedulePolicy::parse(text, 1);
    return policy && policy->name() != "run" ? std::string()
                                             : "expected random or pct:DEPTH, got " + text;
  };
  c->explore = app.add_subcommand(
      "explore",
      "Run a scenario under many schedules; each failing one is printed with its "
      "report and the command that replays it");
  c->explore->add_option("FILE", c->file, "The scenario file")->required()->type_name("");
  c->explore->add_option("--seeds", c->seeds, "Schedules per policy (default 100)")->type_name("N");
  c->explore->add_option("--first-seed", c->first_seed, "The first seed (default 1)")
      ->type_name("N");
  c->explore
      ->add_option("--policy", c->policies,
                   "random or pct:DEPTH; may be repeated (default: random, pct:2 and pct:3)")
      ->type_name("POLICY")
      ->check(policy_check);
  c->explore->add_flag("--faults", c->faults,
                       "Also fail each allocation, each VCOMM call and each bus answer in turn");
  c->explore
      ->add_option("--calls-per-site", c->calls_per_site,
                   "With --faults: fail at most N calls of each site (default: all)")
      ->type_name("N");
  c->explore->add_option("--driver-dir", c->driver_directory, "Where the drivers are")
      ->type_name("DIR");

  c->sequence = app.add_subcommand(
      "sequence", "Print the random request sequence of a seed as a scenario (for replay)");
  c->sequence->add_option("SEED", c->sequence_seed, "The seed")->required()->type_name("");

  c->figures = app.add_subcommand(
      "figures", "Explore every scenario file under the directories and print the table");
  c->figures->add_option("DIR", c->directories, "Directories with .hsb files")
      ->required()
      ->type_name("");
  c->figures->add_option("--seeds", c->seeds, "Schedules per policy and scenario (default 100)")
      ->type_name("N");
  c->figures->add_option("--sequences", c->sequences, "Random sequences (default 200)")
      ->type_name("N");
  c->figures
      ->add_option("--calls-per-site", c->calls_per_site,
                   "Fail at most N calls of each site (default: all)")
      ->type_name("N");
  c->figures->add_option("--fuzz-logs", c->fuzz_logs, "Directory of libFuzzer logs (*.log)")
      ->type_name("DIR");
  c->figures->add_option("--driver-dir", c->driver_directory, "Where the drivers are")
      ->type_name("DIR");
  return c;
}

std::optional<int> run_explore_command(ExploreCommands& c) {
  if (c.explore->parsed()) return run_explore(c);
  if (c.sequence->parsed()) {
    std::cout << random_sequence(c.sequence_seed);
    return kExitOk;
  }
  if (c.figures->parsed()) return run_figures(c);
  return std::nullopt;
}

}  // namespace hs::tool
