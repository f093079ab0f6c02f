// Options of `hsbridge handset` and `hsbridge serve`, and the two runs.
#pragma once

#include <string>
#include <vector>

#include "sim/handset.h"

namespace CLI {
class App;
}

namespace hs::tool {

// The handset's power-on settings from the command line.
struct HandsetArgs {
  uint32_t rate = 9600;
  bool no_echo = false;
  bool numeric = false;
  double latency_ms = 2;
  std::string rates;  // "9600,19200,115200"; empty: the handset's own list
  std::string sleep;  // "500ms"-style milliseconds or "off"; empty: default
  std::vector<std::string> quirks;
  uint64_t seed = 1;
};
void add_handset_options(CLI::App& command, HandsetArgs& args);
// False and a message for a bad value.
bool make_handset_options(const HandsetArgs& args, HandsetOptions* out, std::string* error);

struct HandsetCommand {
  bool pty = false;
  std::string tty;
  std::string link;
  HandsetArgs handset;
};
int run_handset_command(const HandsetCommand& command);

struct ServeCommand {
  std::string link;
  std::vector<std::string> ports;  // NAME=PATH
  std::string serve_port = "COM2";
  bool once = false;  // stop after the first program hangs up
  std::string trace = "text";
  std::string trace_file;
  std::string driver_directory;
  HandsetArgs handset;  // for the simulated handset when the port has no tty
};
int run_serve_command(const ServeCommand& command);

}  // namespace hs::tool
