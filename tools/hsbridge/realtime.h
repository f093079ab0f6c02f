// What the commands that meet real file descriptors (`handset`, `serve`)
// share: the stop signals, `--port NAME=PATH`, and the keeper thread that
// holds a real-time run open until it is told to stop.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "tools/hsbridge/runner.h"
#include "vcomm/port_services.h"
#include "vcomm/uart_tty.h"

namespace hs::tool {

// SIGINT, SIGTERM and SIGHUP, taken as events on the machine instead of
// ending the program. Create it before the machine: the signals are blocked
// in every thread started afterwards.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  bool ok() const { return fd_ >= 0; }
  // Calls `action` with the signal's number, in the world's context.
  void watch(Machine& machine, std::function<void(int)> action);
  // Stops watching; call before the machine goes.
  void stop_watching();

 private:
  int fd_ = -1;
  Machine* machine_ = nullptr;
};

// `--port NAME=PATH`: a COM port backed by a tty.
struct PortOption {
  std::string name;  // "COM2"
  std::string path;  // "/dev/ttyUSB0"
};
// Null and a message for a malformed value.
std::optional<PortOption> parse_port_option(const std::string& text, std::string* error);

// `--port` on `run` and `demo`: puts the parsed values into `settings`,
// which makes the run real-time. False and a message for a malformed value,
// a port given twice, or a policy other than `run`: a run on the host's
// clock has no schedule to explore or replay.
bool add_run_ports(const std::vector<std::string>& values, RunSettings& settings,
                   std::string* error);

// The ttys behind COM ports of one run; removes the ports from VCOMM before
// the ttys go.
class TtyPorts {
 public:
  explicit TtyPorts(Vcomm& vcomm) : vcomm_(vcomm) {}
  ~TtyPorts();
  TtyPorts(const TtyPorts&) = delete;
  TtyPorts& operator=(const TtyPorts&) = delete;
  // Opens the tty and adds the port; false and a message when it cannot.
  bool add(Machine& machine, const PortOption& port, std::string* error);
  TtyUart* find(const std::string& name) const;

 private:
  Vcomm& vcomm_;
  std::vector<std::pair<std::string, std::unique_ptr<TtyUart>>> ports_;
};

// The directory of the running program (where the driver images are).
std::string executable_directory();

}  // namespace hs::tool
