#include "tools/hsbridge/cli.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sim/rig.h"
#include "tools/hsbridge/cmd_explore.h"
#include "tools/hsbridge/demo.h"
#include "tools/hsbridge/fault_option.h"
#include "tools/hsbridge/lexer.h"
#include "tools/hsbridge/parser.h"
#include "tools/hsbridge/realport.h"
#include "tools/hsbridge/realtime.h"
#include "tools/hsbridge/runner.h"
#include "tools/hsbridge/svg.h"
#include "tools/hsbridge/trace_render.h"

namespace hs::tool {
namespace {

constexpr const char* kLanguageHelp = R"(
Scenario files: one step per line; '#' starts a comment. Strings are in
double quotes with C escapes (\r \n \t \0 \xNN \\ \"). Durations: 100us, 5ms,
2s, 1.5s. Numbers: decimal or 0x-hex.

Set-up (before `start`):
  node PATH                       device-node file (default: built-in node,
                                  portbridge + ratefilter on COM2)
  registry driver|device NAME VALUE   VALUE is "text" or a 32-bit number
  port NAME                       a further COM port
  handset KEY=VALUE ...           rate=9600 echo=on|off results=verbose|numeric
                                  latency=2ms rates=9600,19200 sleep=500ms|off
                                  quirk=silent|garbage|nul-first|split|lowercase|
                                        no-final-cr|extra-line|echo-twice|none
Plug and Play and power:
  start
  pnp query-stop|stop|cancel-stop|query-remove|remove|cancel-remove|surprise-removal
  power system S0..S5 | power device D0..D3 | power query-device D0..D3
Requests (at=dispatch sends one at DISPATCH_LEVEL; all but open take handle=H;
ioctl, read and write take async=NAME to go on without waiting):
  open [as H]    close [H]    cleanup [H]      (default handle: the newest open one)
  ioctl NAME [ARGS] [in=HEX] [inlen=N] [outlen=N]
        NAME is the IOCTL_SERIAL_ suffix or a number; ARGS fill its input
        record, in=HEX gives the input bytes instead, inlen=N cuts or pads
        the input to N bytes, outlen=N sets the output buffer length:
        SET_BAUD_RATE 115200          SET_TIMEOUTS 20 0 200 0 2000
        PURGE 0x0F                    SET_WAIT_MASK 0x1
        SET_LINE_CONTROL 0 none 8     (StopBits Parity WordLength)
        SET_QUEUE_SIZE 4096 4096      SET_HANDFLOW 1 0x40 10 10
        SET_CHARS 0 0 0 0 0x11 0x13   IMMEDIATE_CHAR 0x41
  write "TEXT"   read N
  wait NAME                       until the async request NAME completes
Others:
  sleep DURATION                  the client sleeps in virtual time
  line send "BYTES"               the handset side sends raw bytes
  expect status NAME|0xHEX [info N] [data "TEXT"] [event 0xHEX] [for NAME]
        checks the request of the last request, wait, start, pnp or power
        step, or the async request NAME; data compares the output bytes,
        event the wait mask WAIT_ON_MASK returned; status names like
        SUCCESS, TIMEOUT, CANCELLED, BUFFER_TOO_SMALL, DELETE_PENDING

Exit status: 0 every expect held; 1 an expect failed; 2 usage or scenario
error (nothing run); 3 verifier violation or hang (also when the virtual
clock passes --time-limit); 128+N a run on a --port stopped by signal N
(130 SIGINT, 143 SIGTERM), its handles closed and the device removed.
)";

std::string program_directory() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : self.parent_path().string();
}

void add_run_options(CLI::App& command, CommandOptions& options) {
  command.add_option("--seed", options.seed, "Scheduler seed (default 1)")->type_name("N");
  command
      .add_option("--policy", options.policy, "Scheduling: run, random or pct:DEPTH (default run)")
      ->type_name("POLICY")
      ->check([](const std::string& text) {
        return SchedulePolicy::parse(text, 1) ? std::string()
                                              : "expected run, random or pct:DEPTH, got " + text;
      });
  command.add_option("--trace", options.trace, "Trace format: text, jsonl or none (default text)")
      ->type_name("FORMAT")
      ->check(CLI::IsMember({"text", "jsonl", "none"}));
  command
      .add_option("--trace-file", options.trace_file,
                  "Write the trace to PATH instead of standard output")
      ->type_name("PATH");
  command.add_option("--svg", options.svg_file, "Draw a sequence diagram of the run into PATH")
      ->type_name("PATH");
  command
      .add_option("--time-limit", options.time_limit,
                  "Virtual time after which the run counts as hung (default 120s)")
      ->type_name("DURATION")
      ->check([](const std::string& text) {
        const auto limit = parse_duration(text);
        return limit && *limit > 0 ? std::string()
                                   : "expected a duration like 500ms or 10s, got " + text;
      });
  command
      .add_option("--fail", options.faults,
                  "Inject a failure, as the exploration names it: FAMILY@N, FAMILY:NAME[@N],\n"
                  "bus:pnp 0xNN or bus:power 0xNN (e.g. 'pool:Wdm @5', vcomm:WriteComm@2);\n"
                  "may be repeated")
      ->type_name("SITE")
      ->check([](const std::string& text) {
        std::string error;
        return FaultOption::parse(text, &error) ? std::string() : error;
      });
  command
      .add_option("--port", options.ports,
                  "Back a COM port with a tty: NAME=PATH, e.g. COM2=/dev/ttyUSB0 (repeatable).\n"
                  "The run follows the host's clock (--time-limit too); on a tty at COM2 the\n"
                  "real handset answers instead of the simulated one")
      ->type_name("NAME=PATH");
  command
      .add_option("--driver-dir", options.driver_directory,
                  "Where portbridge.so and ratefilter.so are (default: next to hsbridge)")
      ->type_name("DIR");
}

}  // namespace

int run_scenario_text(const std::string& text, const std::string& name, const std::string& base_dir,
                      const CommandOptions& options, std::ostream& out, std::ostream& err) {
  const ParseResult parsed = parse_scenario(text, name, base_dir);
  if (!parsed.ok()) {
    for (const auto& error : parsed.errors) err << error.str() << '\n';
    return kExitUsage;
  }
  const auto policy = SchedulePolicy::parse(options.policy, options.seed);
  if (!policy) {
    err << "hsbridge: --policy: expected run, random or pct:DEPTH, got " << options.policy << '\n';
    return kExitUsage;
  }
  const TraceFormat format = options.trace == "jsonl"  ? TraceFormat::Jsonl
                             : options.trace == "none" ? TraceFormat::None
                                                       : TraceFormat::Text;
  std::ofstream trace_file;
  if (!options.trace_file.empty()) {
    trace_file.open(options.trace_file, std::ios::binary | std::ios::trunc);
    if (!trace_file) {
      err << "hsbridge: --trace-file: cannot write " << options.trace_file << '\n';
      return kExitUsage;
    }
  }
  if (!options.svg_file.empty()) {
    // Checked before the run so a typo does not cost one.
    std::ofstream probe(options.svg_file, std::ios::app);
    if (!probe) {
      err << "hsbridge: --svg: cannot write " << options.svg_file << '\n';
      return kExitUsage;
    }
  }
  std::ostream& trace_out = options.trace_file.empty() ? out : trace_file;
  TraceWriter writer(trace_out, format);

  std::vector<FaultOption> faults;
  for (const std::string& text : options.faults) {
    std::string error;
    const auto fault = FaultOption::parse(text, &error);
    if (!fault) {
      err << "hsbridge: " << error << '\n';
      return kExitUsage;
    }
    faults.push_back(*fault);
  }

  RunSettings settings;
  settings.policy = *policy;
  if (std::string error; !add_run_ports(options.ports, settings, &error)) {
    err << "hsbridge: " << error << '\n';
    return kExitUsage;
  }
  if (!settings.tty_ports.empty()) trace_out << std::unitbuf;  // real time: as it happens
  if (!faults.empty()) {
    settings.prepare = [faults](Rig& rig) {
      for (const FaultOption& fault : faults) fault.apply(rig);
    };
  }
  settings.time_limit = parse_duration(options.time_limit).value_or(settings.time_limit);
  settings.driver_directory =
      options.driver_directory.empty() ? program_directory() : options.driver_directory;
  RunReport report = run_scenario(parsed.scenario, settings, std::ref(writer));
  trace_out.flush();
  if (report.exit_status == kExitUsage) {  // a bad node file or port: nothing ran
    for (const auto& failure : report.failures) err << failure << '\n';
    return kExitUsage;
  }

  if (!options.svg_file.empty()) {
    std::ofstream svg(options.svg_file, std::ios::binary | std::ios::trunc);
    svg << render_svg(report.events, "hsbridge " + name);
    if (!svg) err << "hsbridge: --svg: cannot write " << options.svg_file << '\n';
  }
  // With JSON lines on standard output the summary goes to the error
  // stream, so the output stays one object per line.
  std::ostream& summary_out =
      format == TraceFormat::Jsonl && options.trace_file.empty() ? err : out;
  summary_out << format_summary(report);
  for (const auto& failure : report.failures) err << failure << '\n';
  if (!report.stop_report.empty())
    err << "hsbridge: run stopped (" << report.policy << "):\n" << report.stop_report << '\n';
  return report.exit_status;
}

int run_cli(int argc, char** argv) {
  CLI::App app{
      "Runs the portbridge and ratefilter driver stack on an emulated machine and shows\n"
      "every request, port call and byte on the line.",
      "hsbridge"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "hsbridge 0.1");
  app.footer("Run 'hsbridge COMMAND --help' for a command's options.");

  CommandOptions options;
  bool show_scenario = false;
  CLI::App* demo = app.add_subcommand(
      "demo", "Run the built-in scenario: open, negotiate 115200 baud, ATI, close, remove");
  add_run_options(*demo, options);
  demo->add_flag("--scenario", show_scenario, "Print the demo's scenario text and exit");

  std::string file;
  CLI::App* run = app.add_subcommand("run", "Run a scenario file");
  run->add_option("FILE", file, "The scenario file ('-' for standard input)")
      ->required()
      ->type_name("");
  add_run_options(*run, options);
  run->footer(kLanguageHelp);
  const auto realport = add_realport_commands(app);  // handset, serve
  const auto explore = add_explore_commands(app);    // explore, sequence, figures

  // A word where the command belongs is named, not just "a command is required".
  if (argc > 1 && argv[1][0] != '-' && std::string_view(argv[1]) != "demo" &&
      std::string_view(argv[1]) != "run" && std::string_view(argv[1]) != "handset" &&
      std::string_view(argv[1]) != "serve" && std::string_view(argv[1]) != "explore" &&
      std::string_view(argv[1]) != "sequence" && std::string_view(argv[1]) != "figures") {
    std::cerr << "hsbridge: unknown command '" << argv[1]
              << "' (commands: demo, run, handset, serve, explore, sequence, figures)\n"
              << "Run with --help for more information.\n";
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& success) {
    return app.exit(success);  // --help, --version
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return kExitUsage;
  }
  if (const auto status = run_realport_command(*realport)) return *status;
  if (const auto status = run_explore_command(*explore)) return *status;

  if (demo->parsed()) {
    if (show_scenario) {
      std::cout << demo_scenario();
      return kExitOk;
    }
    return run_scenario_text(std::string(demo_scenario()), "demo", {}, options, std::cout,
                             std::cerr);
  }

  std::string text;
  std::string base_dir;
  if (file == "-") {
    std::ostringstream buffer;
    buffer << std::cin.rdbuf();
    text = buffer.str();
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in || std::filesystem::is_directory(file)) {
      std::cerr << "hsbridge: " << file << ": cannot read the scenario file\n";
      return kExitUsage;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    base_dir = std::filesystem::path(file).parent_path().string();
  }
  return run_scenario_text(text, file, base_dir, options, std::cout, std::cerr);
}

}  // namespace hs::tool
