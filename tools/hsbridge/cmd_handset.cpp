// `hsbridge handset`: the simulated handset on its own, on a pseudo-terminal
// or a tty, in real time.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <limits>
#include <sstream>

#include "sim/handset_pty.h"
#include "tools/hsbridge/realport_options.h"
#include "tools/hsbridge/realtime.h"
#include "tools/hsbridge/runner.h"

namespace hs::tool {
namespace {}  // namespace

void add_handset_options(CLI::App& command, HandsetArgs& args) {
  command.add_option("--rate", args.rate, "Handset rate at power-on (default 9600)");
  command.add_flag("--no-echo", args.no_echo, "Echo off (E0)");
  command.add_flag("--numeric", args.numeric, "Numeric result codes (V0)");
  command.add_option("--latency", args.latency_ms, "Answer latency in ms (default 2)");
  command.add_option("--rates", args.rates, "Rates +IPR takes, e.g. 9600,19200,115200");
  command.add_option("--sleep", args.sleep, "Idle ms before it sleeps, or 'off' (default 500)");
  command.add_option("--quirk", args.quirks,
                     "silent, garbage, nul-first, split, lowercase, no-final-cr, extra-line, "
                     "echo-twice (repeatable)");
  command.add_option("--seed", args.seed, "Seed of the handset's randomness (default 1)");
}

bool make_handset_options(const HandsetArgs& args, HandsetOptions* out, std::string* error) {
  HandsetOptions options;
  options.rate = args.rate;
  options.echo = !args.no_echo;
  options.verbose = !args.numeric;
  options.seed = args.seed;
  if (args.latency_ms < 0 || args.latency_ms > 60000) {
    *error = "--latency: expected 0 to 60000 ms";
    return false;
  }
  options.latency = static_cast<VTime>(args.latency_ms * kMillisecond);
  if (!args.rates.empty()) {
    options.rates.clear();
    std::stringstream list(args.rates);
    std::string item;
    while (std::getline(list, item, ',')) {
      char* end = nullptr;
      unsigned long rate = std::strtoul(item.c_str(), &end, 10);
      if (item.empty() || *end != '\0' || rate == 0 || rate > 4000000) {
        *error = "--rates: expected rates like 9600,19200,115200, got '" + args.rates + "'";
        return false;
      }
      options.rates.push_back(static_cast<uint32_t>(rate));
    }
  }
  if (args.sleep == "off") {
    options.sleep_after = 0;
    options.asleep_at_power_on = false;
  } else if (!args.sleep.empty()) {
    char* end = nullptr;
    unsigned long ms = std::strtoul(args.sleep.c_str(), &end, 10);
    if (*end != '\0' && std::string(end) != "ms") {
      *error = "--sleep: expected milliseconds or 'off', got '" + args.sleep + "'";
      return false;
    }
    options.sleep_after = static_cast<VTime>(ms) * kMillisecond;
  }
  for (const auto& quirk : args.quirks) {
    if (!apply_handset_quirk(options.quirks, quirk)) {
      *error = "--quirk: unknown quirk '" + quirk + "'";
      return false;
    }
  }
  *out = options;
  return true;
}

int run_handset_command(const HandsetCommand& command) {
  HandsetPtyOptions options;
  std::string error;
  if (!make_handset_options(command.handset, &options.handset, &error)) {
    std::cerr << "hsbridge handset: " << error << '\n';
    return kExitUsage;
  }
  options.tty = command.tty;
  options.link = command.link;

  StopSignals signals;  // before the machine starts any thread
  MachineOptions machine_options;
  machine_options.real_time = true;
  machine_options.step_limit = std::numeric_limits<uint64_t>::max();
  Machine machine(machine_options);
  machine.trace().set_recording(false);
  std::unique_ptr<HandsetPty> handset = HandsetPty::open(machine, options, &error);
  if (!handset) {
    std::cerr << "hsbridge handset: " << error << '\n';
    return kExitUsage;
  }

  // The run lasts while this thread waits; a stop signal ends it.
  bool stop = false;
  EmuThread* keeper = nullptr;
  keeper = &machine.create_thread("handset", [&] {
    while (!stop) machine.block("a stop signal", std::nullopt);
  });
  signals.watch(machine, [&](int) {
    stop = true;
    machine.wake(*keeper);
  });

  std::cout << handset->path() << std::endl;
  std::cerr << "hsbridge handset: " << options.handset.rate << " baud on " << handset->path()
            << "; SIGINT or SIGTERM stops it\n";
  const RunResult result = machine.run();
  signals.stop_watching();
  handset.reset();
  if (!result.ok()) {
    std::cerr << "hsbridge handset: stopped:\n" << result.report << '\n';
    return kExitStopped;
  }
  return kExitOk;
}

}  // namespace hs::tool
