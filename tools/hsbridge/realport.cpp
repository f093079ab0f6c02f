#include "tools/hsbridge/realport.h"

#include <CLI/CLI.hpp>

#include "tools/hsbridge/realport_options.h"

namespace hs::tool {

struct RealPortCommands {
  CLI::App* handset = nullptr;
  CLI::App* serve = nullptr;
  HandsetCommand handset_command;
  ServeCommand serve_command;
};

std::shared_ptr<RealPortCommands> add_realport_commands(CLI::App& app) {
  auto commands = std::make_shared<RealPortCommands>();

  HandsetCommand& h = commands->handset_command;
  commands->handset = app.add_subcommand(
      "handset",
      "Run the simulated V.250 handset on a pseudo-terminal (its path is printed) or a tty,\n"
      "in real time, until SIGINT or SIGTERM");
  auto* pty = commands->handset->add_flag("--pty", h.pty, "Make a pseudo-terminal (the default)");
  commands->handset->add_option("--tty", h.tty, "Run on this tty instead")->excludes(pty);
  commands->handset->add_option("--link", h.link, "Also make a symbolic link PATH to the pty");
  add_handset_options(*commands->handset, h.handset);

  ServeCommand& s = commands->serve_command;
  commands->serve = app.add_subcommand(
      "serve",
      "Start the stack in real time and give Linux programs a pseudo-terminal that behaves\n"
      "as the handset's modem port (its path is printed); stops on SIGINT or SIGTERM");
  commands->serve->add_option("--link", s.link, "Also make a symbolic link PATH to the pty");
  commands->serve->add_option("--port", s.ports,
                              "Back a COM port with a tty: NAME=PATH, e.g. COM2=/dev/ttyUSB0 "
                              "(repeatable); without one for COM2 the simulated handset answers");
  commands->serve->add_option("--trace", s.trace, "Trace format: text, jsonl or none")
      ->check(CLI::IsMember({"text", "jsonl", "none"}));
  commands->serve->add_option("--trace-file", s.trace_file,
                              "Write the trace to PATH while serving (default: no trace)");
  commands->serve->add_option("--driver-dir", s.driver_directory,
                              "Where portbridge.so and ratefilter.so are (default: next to "
                              "hsbridge)");
  commands->serve->add_flag("--once", s.once, "Stop when the first program hangs up");
  add_handset_options(*commands->serve, s.handset);
  return commands;
}

std::optional<int> run_realport_command(RealPortCommands& commands) {
  if (commands.handset != nullptr && commands.handset->parsed())
    return run_handset_command(commands.handset_command);
  if (commands.serve != nullptr && commands.serve->parsed())
    return run_serve_command(commands.serve_command);
  return std::nullopt;
}

}  // namespace hs::tool
