// Exploration of every scenario file under tests/: many schedules, a failure
// at every allocation and port call, every bus answer failing, and random
// request sequences. Every run must end without a verifier report or hang,
// with each request completed exactly once and no pool left after unload.
// HS_EXPLORE_SEEDS raises the schedules per policy (CI: 34, so 102 per file).
#include "tools/hsbridge/explore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/hsbridge/fault_option.h"
#include "tools/hsbridge/parser.h"

namespace hs::tool {
namespace {

uint64_t seeds_per_policy() {
  const char* text = std::getenv("HS_EXPLORE_SEEDS");
  return text != nullptr ? std::strtoull(text, nullptr, 10) : 34;
}

ExploreSettings settings(const std::string& file) {
  ExploreSettings s;
  s.driver_directory = HS_BIN_DIR;
  s.file = file;
  return s;
}

Scenario load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  ParseResult parsed =
      parse_scenario(text.str(), path, std::filesystem::path(path).parent_path().string());
  EXPECT_TRUE(parsed.ok()) << path;
  return parsed.scenario;
}

std::string findings(const ExploreFigures& figures) {
  std::string text;
  for (const Finding& f : figures.findings)
    text += f.what + ": " + std::string(verdict_name(f.verdict)) + "\n" + f.report +
            (f.replay.empty() ? "" : "replay: " + f.replay + "\n");
  return text;
}

// The scenario files that run cleanly under the default schedule. The
// others are written to fail (a mistake, a hang, a wrong expect, a faulty
// test driver) for the program's own tests.
std::vector<std::string> clean_scenarios() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(HS_TEST_DATA))
    if (entry.path().extension() == ".hsb") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<std::string> clean;
  for (const std::string& file : files) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    ParseResult parsed =
        parse_scenario(text.str(), file, std::filesystem::path(file).parent_path().string());
    if (!parsed.ok()) continue;
    RunSettings run;
    run.driver_directory = HS_BIN_DIR;
    const RunReport report =
        run_scenario(with_removal(parsed.scenario), run, [](const TraceEvent&) {});
    if (judge(report, true) == Verdict::Ok) clean.push_back(file);
  }
  return clean;
}

const std::vector<std::string>& scenarios() {
  static const std::vector<std::string> files = clean_scenarios();
  return files;
}

class ScenarioFile : public testing::TestWithParam<std::string> {};

TEST(ExploreScenarioFiles, TheCleanOnesIncludeTheProgramsOwnExamples) {
  // A file that stopped running cleanly drops out of the exploration
  // silently; these must stay in.
  for (const char* name : {"all_steps.hsb", "pnp.hsb", "registry.hsb"}) {
    EXPECT_TRUE(std::any_of(scenarios().begin(), scenarios().end(), [&](const std::string& f) {
      return f.ends_with(name);
    })) << name;
  }
}

TEST(ExploreScenarioFiles, EveryScheduleHoldsUnderRandomAndPct2And3) {
  for (const std::string& file : scenarios()) {
    const Scenario scenario = load(file);
    for (const char* policy : {"random", "pct:2", "pct:3"}) {
      const ExploreFigures figures =
          explore_schedules(scenario, policy, 1, seeds_per_policy(), settings(file));
      EXPECT_EQ(figures.schedules, seeds_per_policy());
      EXPECT_TRUE(figures.findings.empty()) << file << " " << policy << "\n" << findings(figures);
    }
  }
}

TEST(ExploreScenarioFiles, EachAllocationFailingInTurnLeavesNoLeakNoLostRequest) {
  ExploreFigures all;
  for (const std::string& file : scenarios()) {
    ExploreSettings s = settings(file);
    s.calls_per_site = 4;  // first, last and two between; `hsbridge figures` fails every one
    const ExploreFigures figures = allocation_loop(load(file), s);
    EXPECT_EQ(figures.violations + figures.lost + figures.doubled + figures.leaks + figures.hangs,
              0u)
        << file << "\n"
        << findings(figures);
    all.add(figures);
  }
  // The drivers' own pool and the requests they allocate were each failed.
  EXPECT_TRUE(all.allocation_sites.contains("pool:PBRG") || all.allocation_sites.size() >= 2)
      << all.allocation_sites.size();
  EXPECT_TRUE(all.allocation_sites.contains("attach:portbridge"));
  EXPECT_TRUE(all.allocation_sites.contains("attach:ratefilter"));
}

TEST(ExploreScenarioFiles, EachPortCallAndBusAnswerFailingInTurnIsSurvived) {
  ExploreFigures all;
  for (const std::string& file : scenarios()) {
    ExploreSettings s = settings(file);
    s.calls_per_site = 3;
    const ExploreFigures figures = port_call_loop(load(file), s);
    EXPECT_EQ(figures.violations + figures.lost + figures.doubled + figures.leaks + figures.hangs,
              0u)
        << file << "\n"
        << findings(figures);
    all.add(figures);
  }
  for (const char* site : {"vcomm:OpenComm", "vcomm:SetupComm", "vcomm:CloseComm", "bus:pnp 0x00",
                           "bus:pnp 0x02", "bus:pnp 0x17"})
    EXPECT_TRUE(all.port_call_sites.contains(site)) << site;
}

TEST(ExploreSequences, RandomRequestSequencesEndCleanly) {
  const ExploreFigures figures = explore_sequences(1, 3 * seeds_per_policy(), settings(""));
  EXPECT_EQ(figures.sequences, 3 * seeds_per_policy());
  EXPECT_TRUE(figures.findings.empty()) << findings(figures);
}

TEST(ExploreSequences, ASeedGivesTheSameSequenceAndSeedsDiffer) {
  EXPECT_EQ(random_sequence(7), random_sequence(7));
  EXPECT_NE(random_sequence(7), random_sequence(8));
  EXPECT_TRUE(parse_scenario(random_sequence(7), "s.hsb").ok());
}

TEST(WithRemoval, ClosesWhatIsOpenRemovesAndWaitsForUnwaitedRequests) {
  const ParseResult parsed = parse_scenario(
      "start\nopen as a\nopen as b\nclose a\nread 4 async=r\nwrite \"x\" async=w\nwait w\n",
      "t.hsb");
  ASSERT_TRUE(parsed.ok());
  const Scenario whole = with_removal(parsed.scenario);
  std::vector<std::string> added;
  for (size_t i = parsed.scenario.steps.size(); i < whole.steps.size(); ++i) {
    const Action& action = whole.steps[i].action;
    if (const auto* r = std::get_if<RequestStep>(&action))
      added.push_back(r->label + " " + r->handle);
    else if (const auto* p = std::get_if<PnpStep>(&action))
      added.push_back("pnp " + p->action);
    else if (const auto* w = std::get_if<WaitStep>(&action))
      added.push_back("wait " + w->name);
  }
  EXPECT_EQ(added, (std::vector<std::string>{"cleanup b", "close b", "pnp surprise-removal",
                                             "pnp remove", "wait r"}));
  // A scenario that removes the device last is left as it is.
  const ParseResult removed = parse_scenario("start\npnp remove\n", "t.hsb");
  EXPECT_EQ(with_removal(removed.scenario).steps.size(), removed.scenario.steps.size());
}

TEST(Judge, NamesWhatWentWrong) {
  struct Case {
    RunOutcome outcome;
    std::string report;
    uint64_t pool_held;
    Verdict verdict;
  };
  const Case cases[] = {
      {RunOutcome::Finished, "", 0, Verdict::Ok},
      {RunOutcome::Hang, "HANG", 0, Verdict::Hang},
      {RunOutcome::Violation, "CLIENT: ...\n  request 3 read sent at 1ms: never completed\n", 0,
       Verdict::Lost},
      {RunOutcome::Violation, "CLIENT: ...\n  request 3 read sent at 1ms: completed 2 times\n", 0,
       Verdict::Doubled},
      {RunOutcome::Violation, "VERIFIER: pool still held at unload", 0, Verdict::Leak},
      {RunOutcome::Violation, "VERIFIER: IRQL", 0, Verdict::Violation},
      {RunOutcome::Finished, "", 1, Verdict::Leak},
  };
  for (const Case& c : cases) {
    RunReport report;
    report.outcome = c.outcome;
    report.exit_status = c.outcome == RunOutcome::Finished ? kExitOk : kExitStopped;
    report.stop_report = c.report;
    report.summary.pool_blocks_held = c.pool_held;
    EXPECT_EQ(judge(report, true), c.verdict) << c.report;
  }
}

}  // namespace
}  // namespace hs::tool

namespace hs::tool {
namespace {

// Schedules that once failed, kept by their seed.
TEST(ExploreRegressions, PowerDownDrainLeavesNoPoolToAnUnloadedDriver) {
  // PCT starved the drain's worker right after it dropped the last
  // reference; removal then unloaded portbridge with the work item and the
  // drain block still allocated.
  const std::string file = std::string(HS_TEST_DATA) + "/explore/scenarios/power_held.hsb";
  const ExploreFigures figures = explore_schedules(load(file), "pct:2", 4, 2, settings(file));
  EXPECT_TRUE(figures.findings.empty()) << findings(figures);
  // PCT starved the worker that completed the system request before it
  // freed the request's context; the removal unloaded portbridge with it.
  const ExploreFigures callback = explore_schedules(load(file), "pct:3", 335, 1, settings(file));
  EXPECT_TRUE(callback.findings.empty()) << findings(callback);
}

// Sequences that once hung, kept by their seed: a device powered down while
// stopped never came back after its start (1); query-stop waited for ever for
// a pending WAIT_ON_MASK (4); the handset's receiver, meeting a break that
// began inside a frame it was sampling, found an interrupt due again and
// again at the same instant (425).
TEST(ExploreRegressions, SequencesThatOnceHungEndCleanly) {
  for (uint64_t seed : {1, 4, 425}) {
    const ExploreFigures figures = explore_sequences(seed, 1, settings(""));
    EXPECT_TRUE(figures.findings.empty()) << "sequence " << seed << "\n" << findings(figures);
  }
}

// Failures that once left a request pending for ever, by scenario and site.
// After a surprise removal the filter passes the cleanup down, and the
// cleanup ends the handle's read and wait at the port: neither a close that
// cannot be sent nor one whose port will not close leaves them pending. A
// SET_TIMEOUTS the port refused is not taken by the filter as a bound on
// the negotiation's reads.
TEST(ExploreRegressions, FailuresThatOnceLeftARequestPending) {
  const std::pair<const char*, const char*> cases[] = {
      {"removal_in_flight.hsb", "irp@8"},
      {"removal_in_flight.hsb", "vcomm:CloseComm@1"},
      {"negotiate_read_in_flight.hsb", "vcomm:GetSetCommTimeouts@1"},
  };
  for (const auto& [name, site] : cases) {
    const std::string file = std::string(HS_TEST_DATA) + "/explore/scenarios/" + name;
    std::string error;
    const auto fault = FaultOption::parse(site, &error);
    ASSERT_TRUE(fault) << error;
    RunSettings run;
    run.driver_directory = HS_BIN_DIR;
    run.time_limit = 10 * kSecond;
    run.prepare = [&](Rig& rig) { fault->apply(rig); };
    const RunReport report = run_scenario(load(file), run, [](const TraceEvent&) {});
    const Verdict verdict = judge(report, false);
    EXPECT_EQ(verdict, Verdict::Ok) << name << " " << site << "\n" << report.stop_report;
  }
}

}  // namespace
}  // namespace hs::tool

#include "sim/rig.h"

namespace hs::tool {
namespace {

// Port calls that once failed into a request that could never finish.
TEST(ExploreRegressions, PortCallFailuresEndInAStatusNotAStall) {
  struct Case {
    const char* service;
    const char* scenario;
  };
  const Case cases[] = {
      // The port refuses its queues or notification: the open fails.
      {"SetupComm", "start\nopen\nexpect status UNSUCCESSFUL\npnp remove\n"},
      {"EnableCommNotification",
       "start\nopen\nexpect status UNSUCCESSFUL\nopen as b\nclose b\npnp remove\n"},
      // The event that carries a wait's completion: VMM's service has no
      // failure return, so a plan naming it changes nothing and the first
      // character completes the wait.
      {"Schedule_Global_Event",
       "start\nopen\nioctl SET_WAIT_MASK 0x1\nioctl WAIT_ON_MASK async=w\nline send \"A\"\n"
       "sleep 20ms\nline send \"B\"\nwait w\nexpect status SUCCESS event 0x1 for w\nclose\n"},
  };
  for (const Case& c : cases) {
    const ParseResult parsed = parse_scenario(c.scenario, "t.hsb");
    ASSERT_TRUE(parsed.ok()) << c.service;
    RunSettings run;
    run.driver_directory = HS_BIN_DIR;
    run.time_limit = 10 * kSecond;
    const std::string service = c.service;
    run.prepare = [&](Rig& rig) { rig.machine().faults().fail_nth_at("vcomm", service, 1); };
    const RunReport report =
        run_scenario(with_removal(parsed.scenario), run, [](const TraceEvent&) {});
    EXPECT_EQ(judge(report, true), Verdict::Ok)
        << c.service << "\n"
        << report.stop_report << (report.failures.empty() ? "" : report.failures.front());
  }
}

}  // namespace
}  // namespace hs::tool
