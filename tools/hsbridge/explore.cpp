#include "tools/hsbridge/explore.h"

#include <algorithm>
#include <iomanip>
#include <map>
#include <random>
#include <sstream>

#include "sim/rig.h"
#include "tools/hsbridge/fault_option.h"
#include "tools/hsbridge/parser.h"

namespace hs::tool {
namespace {

// The verdict needs no trace: runs of the exploration record none.
RunReport run_once(const Scenario& scenario, const SchedulePolicy& policy,
                   const ExploreSettings& settings, std::function<void(Rig&)> prepare = {},
                   std::function<void(Rig&)> inspect = {}) {
  RunSettings run;
  run.policy = policy;
  run.driver_directory = settings.driver_directory;
  run.time_limit = settings.time_limit;
  run.prepare = [prepare = std::move(prepare)](Rig& rig) {
    rig.trace().set_recording(false);
    if (prepare) prepare(rig);
  };
  run.inspect = std::move(inspect);
  return run_scenario(scenario, run, TraceSink{});
}

std::string first_lines(const std::string& text, int lines = 12) {
  std::string out;
  int n = 0;
  for (char c : text) {
    out += c;
    if (c == '\n' && ++n == lines) return out + "  ...\n";
  }
  return out;
}

std::string report_text(const RunReport& report) {
  std::string text = report.stop_report;
  for (const auto& failure : report.failures) text += failure + "\n";
  if (report.summary.pool_blocks_held != 0) text += report.summary.pool_report;
  return first_lines(text);
}

// The ordinals of a site's calls to fail: all of them, or at most `cap`
// spread from the first to the last.
std::vector<uint64_t> ordinals(uint64_t calls, uint64_t cap) {
  std::vector<uint64_t> out;
  if (cap == 0 || calls <= cap) {
    for (uint64_t n = 1; n <= calls; ++n) out.push_back(n);
    return out;
  }
  for (uint64_t i = 0; i < cap; ++i) out.push_back(1 + i * (calls - 1) / (cap - 1));
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string hex2(unsigned value) {
  std::ostringstream out;
  out << "0x" << std::hex << std::setw(2) << std::setfill('0') << value;
  return out.str();
}

void record(ExploreFigures& figures, const RunReport& report, bool expects_count, std::string what,
            std::string replay) {
  const Verdict verdict = judge(report, expects_count);
  if (verdict == Verdict::Ok) return;
  Finding finding{verdict, std::move(what), report_text(report), std::move(replay)};
  figures.count(finding);
  figures.findings.push_back(std::move(finding));
}

// The command that replays a run of the failure loops.
std::string fault_replay(const ExploreSettings& settings, const FaultOption& fault) {
  return "hsbridge run " + settings.file + " --fail '" + fault.text() + "'";
}

}  // namespace

std::string_view verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok:
      return "ok";
    case Verdict::ExpectFailed:
      return "expect failed";
    case Verdict::Violation:
      return "verifier violation";
    case Verdict::Lost:
      return "request never completed";
    case Verdict::Doubled:
      return "request completed twice";
    case Verdict::Leak:
      return "pool leak";
    case Verdict::Hang:
      return "hang";
    case Verdict::Usage:
      return "not run";
  }
  return "?";
}

void ExploreFigures::count(const Finding& finding) {
  switch (finding.verdict) {
    case Verdict::Violation:
    case Verdict::Usage:
      ++violations;
      break;
    case Verdict::Lost:
      ++lost;
      break;
    case Verdict::Doubled:
      ++doubled;
      break;
    case Verdict::Leak:
      ++leaks;
      break;
    case Verdict::Hang:
      ++hangs;
      break;
    case Verdict::ExpectFailed:
      ++expect_failures;
      break;
    case Verdict::Ok:
      break;
  }
}

void ExploreFigures::add(const ExploreFigures& other) {
  scenarios += other.scenarios;
  schedules += other.schedules;
  allocation_runs += other.allocation_runs;
  port_call_runs += other.port_call_runs;
  sequences += other.sequences;
  allocation_sites.insert(other.allocation_sites.begin(), other.allocation_sites.end());
  port_call_sites.insert(other.port_call_sites.begin(), other.port_call_sites.end());
  violations += other.violations;
  lost += other.lost;
  doubled += other.doubled;
  leaks += other.leaks;
  hangs += other.hangs;
  expect_failures += other.expect_failures;
  findings.insert(findings.end(), other.findings.begin(), other.findings.end());
}

Verdict judge(const RunReport& report, bool expects_count) {
  if (report.exit_status == kExitUsage) return Verdict::Usage;
  if (report.outcome == RunOutcome::Hang) return Verdict::Hang;
  if (report.outcome == RunOutcome::Violation) {
    const std::string& text = report.stop_report;
    if (text.find("never completed") != std::string::npos) return Verdict::Lost;
    if (text.find("completed twice") != std::string::npos ||
        text.find(" times\n") != std::string::npos)
      return Verdict::Doubled;
    if (text.find("pool still held") != std::string::npos) return Verdict::Leak;
    return Verdict::Violation;
  }
  if (report.summary.pool_blocks_held != 0) return Verdict::Leak;
  if (expects_count && !report.failures.empty()) return Verdict::ExpectFailed;
  return Verdict::Ok;
}

Scenario with_removal(const Scenario& scenario) {
  Scenario out = scenario;
  std::vector<std::string> open;  // handles open at the end, oldest first
  std::vector<std::string> unwaited;
  std::string last_pnp;
  int line = 0;
  for (const Step& step : scenario.steps) {
    line = std::max(line, step.line);
    if (const auto* request = std::get_if<RequestStep>(&step.action)) {
      if (request->kind == RequestStep::Kind::Open) {
        std::erase(open, request->open_as);
        open.push_back(request->open_as);
      } else if (request->kind == RequestStep::Kind::Close) {
        std::erase(open, request->handle);
      }
      if (!request->async_name.empty()) unwaited.push_back(request->async_name);
    } else if (const auto* wait = std::get_if<WaitStep>(&step.action)) {
      std::erase(unwaited, wait->name);
    } else if (const auto* pnp = std::get_if<PnpStep>(&step.action)) {
      last_pnp = pnp->action;
    }
  }
  auto add = [&](Action action) { out.steps.push_back(Step{line, std::move(action)}); };
  if (last_pnp != "remove") {
    for (const std::string& handle : open) {
      RequestStep cleanup;
      cleanup.kind = RequestStep::Kind::Cleanup;
      cleanup.label = "cleanup";
      cleanup.handle = handle;
      add(cleanup);
      RequestStep close = cleanup;
      close.kind = RequestStep::Kind::Close;
      close.label = "close";
      add(close);
    }
    if (last_pnp != "surprise-removal") add(PnpStep{"surprise-removal"});
    add(PnpStep{"remove"});
  }
  for (const std::string& name : unwaited) add(WaitStep{name});
  return out;
}

ExploreFigures explore_schedules(const Scenario& scenario, const std::string& policy,
                                 uint64_t first_seed, uint64_t count,
                                 const ExploreSettings& settings) {
  ExploreFigures figures;
  figures.scenarios = 1;
  const Scenario whole = with_removal(scenario);
  for (uint64_t seed = first_seed; seed < first_seed + count; ++seed) {
    const auto parsed = SchedulePolicy::parse(policy, seed);
    if (!parsed) break;
    const RunReport report = run_once(whole, *parsed, settings);
    ++figures.schedules;
    record(figures, report, true, policy + " seed " + std::to_string(seed),
           "hsbridge run " + settings.file + " --policy " + policy + " --seed " +
               std::to_string(seed));
  }
  return figures;
}

ExploreFigures allocation_loop(const Scenario& scenario, const ExploreSettings& settings) {
  ExploreFigures figures;
  const Scenario whole = with_removal(scenario);
  const SchedulePolicy policy;
  // The first run counts: pool allocations by tag, every other family whole.
  std::map<std::string, uint64_t> pool_calls;
  std::map<std::string, uint64_t> family_calls;
  std::map<std::string, std::set<std::string>> family_sites;
  static const char* const kFamilies[] = {"irp", "power", "create", "attach", "registry"};
  run_once(whole, policy, settings, {}, [&](Rig& rig) {
    for (const auto& [tag, usage] : rig.kernel().pool_usage())
      if (usage.allocations != 0) pool_calls[tag] = usage.allocations;
    for (const char* family : kFamilies)
      family_calls[family] = rig.machine().faults().calls(family);
    for (const std::string& site : rig.machine().faults().sites_seen())
      family_sites[site.substr(0, site.find(':'))].insert(site);
  });
  for (const auto& [tag, calls] : pool_calls) {
    for (uint64_t n : ordinals(calls, settings.calls_per_site)) {
      bool failed = false;
      const RunReport report = run_once(
          whole, policy, settings,
          [&, tag = tag](Rig& rig) { rig.machine().faults().fail_nth_at("pool", tag, n); },
          [&](Rig& rig) { failed = rig.machine().faults().failures() != 0; });
      ++figures.allocation_runs;
      if (failed) figures.allocation_sites.insert("pool:" + tag);
      record(figures, report, false, "pool " + tag + " allocation " + std::to_string(n) + " fails",
             fault_replay(settings, {FaultOption::Kind::SiteNth, "pool", tag, n}));
    }
  }
  for (const auto& [family, calls] : family_calls) {
    for (uint64_t n : ordinals(calls, settings.calls_per_site)) {
      bool failed = false;
      const RunReport report = run_once(
          whole, policy, settings,
          [&, family = family](Rig& rig) { rig.machine().faults().fail_nth(family, n); },
          [&](Rig& rig) { failed = rig.machine().faults().failures() != 0; });
      ++figures.allocation_runs;
      if (failed)
        figures.allocation_sites.insert(family_sites[family].begin(), family_sites[family].end());
      record(figures, report, false, family + " call " + std::to_string(n) + " fails",
             fault_replay(settings, {FaultOption::Kind::FamilyNth, family, "", n}));
    }
  }
  return figures;
}

ExploreFigures port_call_loop(const Scenario& scenario, const ExploreSettings& settings) {
  ExploreFigures figures;
  const Scenario whole = with_removal(scenario);
  const SchedulePolicy policy;
  std::map<std::string, uint64_t> services;
  std::set<std::pair<UCHAR, UCHAR>> answers;  // (major, minor) the bus driver answered
  run_once(whole, policy, settings, {}, [&](Rig& rig) {
    for (const std::string& site : rig.machine().faults().sites_seen())
      if (site.starts_with("vcomm:")) {
        const std::string service = site.substr(6);
        services[service] = rig.vcomm().calls(service);
      }
    for (const BusRequest& request : rig.bus().requests())
      if (request.major == IRP_MJ_PNP || request.major == IRP_MJ_POWER)
        answers.emplace(request.major, request.minor);
  });
  for (const auto& [service, calls] : services) {
    for (uint64_t n : ordinals(calls, settings.calls_per_site)) {
      bool failed = false;
      const RunReport report = run_once(
          whole, policy, settings,
          [&, service = service](Rig& rig) {
            rig.machine().faults().fail_nth_at("vcomm", service, n);
          },
          [&](Rig& rig) { failed = rig.machine().faults().failures() != 0; });
      ++figures.port_call_runs;
      if (failed) figures.port_call_sites.insert("vcomm:" + service);
      record(figures, report, false, service + " call " + std::to_string(n) + " fails",
             fault_replay(settings, {FaultOption::Kind::SiteNth, "vcomm", service, n}));
    }
  }
  for (const auto& answer : answers) {
    const bool pnp = answer.first == IRP_MJ_PNP;
    const UCHAR minor = answer.second;
    const std::string site = std::string(pnp ? "bus:pnp " : "bus:power ") + hex2(minor);
    const RunReport report = run_once(whole, policy, settings, [&](Rig& rig) {
      if (pnp)
        rig.bus().set_pnp_answer(minor, BusAnswer::fail());
      else
        rig.bus().set_power_answer(minor, BusAnswer::fail());
    });
    ++figures.port_call_runs;
    figures.port_call_sites.insert(site);
    record(figures, report, false, site.substr(4) + " answered with a failure",
           fault_replay(settings, {pnp ? FaultOption::Kind::BusPnp : FaultOption::Kind::BusPower,
                                   "", "", 0, minor}));
  }
  return figures;
}

std::string random_sequence(uint64_t seed) {
  std::mt19937_64 random(seed);
  auto pick = [&](uint64_t n) { return static_cast<uint64_t>(random() % n); };
  auto chance = [&](int percent) { return pick(100) < static_cast<uint64_t>(percent); };
  std::ostringstream out;
  out << "# Random request sequence, seed " << seed << "\n";
  out << "handset latency=" << (1 + pick(3)) << "ms\n";
  out << "start\n";
  bool open = false, started = true, powered = true, wait_mask = false;
  int next = 0;
  std::vector<std::string> settled;  // async reads and writes that end by themselves
  auto open_handle = [&] {
    out << "open as h\n";
    // Reads end by themselves: at once, or after a total timeout.
    out << (chance(50) ? "ioctl SET_TIMEOUTS 0xFFFFFFFF 0 0 0 0\n"
                       : "ioctl SET_TIMEOUTS 10 0 30 0 0\n");
    open = true;
    wait_mask = false;
  };
  open_handle();
  static const char* const kControls[] = {"GET_BAUD_RATE",
                                          "SET_BAUD_RATE 9600",
                                          "SET_BAUD_RATE 115200",
                                          "GET_COMMSTATUS",
                                          "PURGE 0x0F",
                                          "SET_DTR",
                                          "CLR_DTR",
                                          "SET_RTS",
                                          "CLR_RTS",
                                          "GET_MODEMSTATUS",
                                          "SET_QUEUE_SIZE 4096 4096",
                                          "SET_LINE_CONTROL 0 none 8",
                                          "GET_PROPERTIES",
                                          "GET_TIMEOUTS",
                                          "GET_HANDFLOW",
                                          "GET_CHARS",
                                          "IMMEDIATE_CHAR 0x41",
                                          "GET_STATS",
                                          "CLEAR_STATS",
                                          "GET_DTRRTS",
                                          "GET_WAIT_MASK",
                                          "SET_XON",
                                          "SET_BREAK_ON",
                                          "SET_BREAK_OFF",
                                          "GET_LINE_CONTROL"};
  const int steps = 8 + static_cast<int>(pick(20));
  for (int i = 0; i < steps; ++i) {
    // Synchronous requests only where they cannot be held forever.
    const bool sync_ok = started && powered;
    const std::string at = chance(20) ? " at=dispatch" : "";
    switch (pick(12)) {
      case 0:
      case 1: {
        if (!open) break;
        const bool async = !sync_ok || chance(50);
        std::string name = "r" + std::to_string(next++);
        out << "read " << (1 + pick(64)) << at << (async ? " async=" + name : "") << "\n";
        if (async) settled.push_back(name);
        break;
      }
      case 2: {
        if (!open) break;
        const bool async = !sync_ok || chance(50);
        std::string name = "w" + std::to_string(next++);
        out << "write \"" << (chance(50) ? "AT\\r" : "ATI\\r") << "\"" << at
            << (async ? " async=" + name : "") << "\n";
        if (async) settled.push_back(name);
        break;
      }
      case 3:
      case 4: {
        if (!open) break;
        const bool async = !sync_ok || chance(30);
        std::string control = kControls[pick(std::size(kControls))];
        // The filter negotiates a baud rate in the sender's thread, which
        // here is the thread that runs the script: while the device holds
        // traffic it would wait for a start or power-up that only the same
        // thread could send. So the rate is changed only while traffic flows.
        if (!sync_ok && control.starts_with("SET_BAUD_RATE")) control = "GET_BAUD_RATE";
        out << "ioctl " << control << at << (async ? " async=c" + std::to_string(next++) : "")
            << "\n";
        break;
      }
      case 5:
        if (!open) break;
        if (!wait_mask || chance(30)) {
          out << "ioctl SET_WAIT_MASK " << (chance(50) ? "0x1" : "0x5")
              << (sync_ok ? "" : " async=m" + std::to_string(next++)) << "\n";
          wait_mask = true;
        } else {
          out << "ioctl WAIT_ON_MASK async=e" << next++ << "\n";
        }
        break;
      case 6:
        out << "line send \"" << (chance(50) ? "RING\\r\\n" : "OK\\r\\n") << "\"\n";
        break;
      case 7:
        out << "sleep " << (1 + pick(20)) << "ms\n";
        break;
      case 8:
        if (!started) {
          out << "start\n";
          started = true;
        } else if (chance(50)) {
          out << "pnp query-stop\n" << (chance(50) ? "pnp cancel-stop\n" : "pnp stop\n");
          started = false;  // after a cancel the next `start` is answered too
          if (chance(50)) {
            out << "start\n";
            started = true;
          }
        } else {
          out << "pnp query-remove\npnp cancel-remove\n";
        }
        break;
      case 9:
        if (powered) {
          out << (chance(50) ? "power system S3\n" : "power device D3\n");
          powered = false;
        } else {
          out << "power system S0\npower device D0\n";
          powered = true;
        }
        break;
      case 10:
        if (open) {
          out << "cleanup h\nclose h\n";
          open = false;
        } else if (sync_ok) {
          open_handle();
        }
        break;
      case 11:
        if (sync_ok && !settled.empty()) {
          const uint64_t k = pick(settled.size());
          out << "wait " << settled[k] << "\n";
          settled.erase(settled.begin() + static_cast<std::ptrdiff_t>(k));
        }
        break;
    }
  }
  // The end is added by exploration: close, removal, a wait for each request.
  return out.str();
}

ExploreFigures explore_sequences(uint64_t first_seed, uint64_t count,
                                 const ExploreSettings& settings) {
  ExploreFigures figures;
  for (uint64_t seed = first_seed; seed < first_seed + count; ++seed) {
    const std::string name = "sequence-" + std::to_string(seed) + ".hsb";
    const ParseResult parsed = parse_scenario(random_sequence(seed), name);
    ++figures.sequences;
    if (!parsed.ok()) {
      Finding finding{Verdict::Usage, "sequence " + std::to_string(seed),
                      parsed.errors.front().str(), ""};
      figures.count(finding);
      figures.findings.push_back(std::move(finding));
      continue;
    }
    const auto policy = SchedulePolicy::parse("random", seed);
    const RunReport report = run_once(with_removal(parsed.scenario), *policy, settings);
    record(figures, report, false, "sequence " + std::to_string(seed),
           "hsbridge sequence " + std::to_string(seed) + " > " + name + " && hsbridge run " + name +
               " --policy random --seed " + std::to_string(seed));
  }
  return figures;
}

std::string format_figures(const ExploreFigures& figures, const std::vector<std::string>& fuzz) {
  std::ostringstream out;
  auto row = [&](const std::string& name, const std::string& value) {
    out << "  " << std::left << std::setw(44) << name << value << "\n";
  };
  auto join = [](const std::set<std::string>& sites) {
    std::string text;
    for (const auto& site : sites) text += (text.empty() ? "" : " ") + site;
    return text;
  };
  out << "Exploration\n";
  row("scenarios", std::to_string(figures.scenarios));
  row("schedules explored (random, pct:2, pct:3)", std::to_string(figures.schedules));
  row("random request sequences", std::to_string(figures.sequences));
  row("allocation-failure runs", std::to_string(figures.allocation_runs));
  row("allocation sites failed", std::to_string(figures.allocation_sites.size()));
  out << "    " << join(figures.allocation_sites) << "\n";
  row("port-call and bus-answer failure runs", std::to_string(figures.port_call_runs));
  row("port-call and bus-answer sites failed", std::to_string(figures.port_call_sites.size()));
  out << "    " << join(figures.port_call_sites) << "\n";
  for (const auto& line : fuzz)
    row(line.substr(0, line.find('\t')), line.substr(line.find('\t') + 1));
  out << "Faults (must all be 0)\n";
  row("verifier violations", std::to_string(figures.violations));
  row("pool leaks", std::to_string(figures.leaks));
  row("requests lost (never completed)", std::to_string(figures.lost));
  row("requests completed twice", std::to_string(figures.doubled));
  row("hangs", std::to_string(figures.hangs));
  row("expects failed under other schedules", std::to_string(figures.expect_failures));
  return out.str();
}

}  // namespace hs::tool
