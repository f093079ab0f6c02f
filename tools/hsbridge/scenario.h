// A parsed scenario: the steps of a run in file order, each with the line it
// came from. Built by parse_scenario (parser.h), carried out by the runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "machine/vtime.h"

namespace hs::tool {

// `node PATH`: the device-node file to install (before `start`).
struct NodeStep {
  std::string path;  // resolved against the scenario's directory
};

// `registry driver|device NAME VALUE` (before `start`).
struct RegistryStep {
  bool driver_key = true;  // false: the hardware (device) key
  std::string name;
  std::variant<uint32_t, std::string> value;
};

// `handset KEY=VALUE ...`: only the keys given change.
struct HandsetStep {
  std::optional<uint32_t> rate;
  std::optional<bool> echo;
  std::optional<bool> verbose;
  std::optional<VTime> latency;
  std::optional<std::vector<uint32_t>> rates;
  std::optional<std::optional<VTime>> sleep;  // inner nullopt: "sleep=off"
  std::vector<std::string> quirks;            // "none" clears them
};

// `port NAME`: a further COM port (before `start`).
struct PortStep {
  std::string name;
};

struct StartStep {};

// `pnp ACTION`: "query-stop", "stop", ..., "surprise-removal".
struct PnpStep {
  std::string action;
};

// `power system S0..S5`, `power device D0..D3`, `power query-device D0..D3`.
struct PowerStep {
  enum class Kind { System, Device, QueryDevice } kind = Kind::System;
  int state = 0;  // the digit of S<n> or D<n>
};

// A request the client sends: open, close, cleanup, ioctl, write, read.
struct RequestStep {
  enum class Kind { Open, Close, Cleanup, Ioctl, Write, Read } kind = Kind::Open;
  std::string label;         // how the step reads, e.g. "ioctl SET_BAUD_RATE"
  std::string handle;        // the handle it goes to ("" for open: a new one)
  std::string open_as;       // open: the new handle's name
  uint32_t code = 0;         // ioctl: the control code
  std::string input;         // ioctl input bytes, write data
  uint32_t out_length = 0;   // ioctl output length, read length
  bool at_dispatch = false;  // sent at DISPATCH_LEVEL
  std::string async_name;    // "" : synchronous
};

// `wait NAME`: until an async request has completed.
struct WaitStep {
  std::string name;
};

// `sleep DURATION`: the client's thread sleeps in virtual time.
struct SleepStep {
  VTime duration = 0;
};

// `line send "BYTES"`: the handset side sends raw bytes.
struct LineSendStep {
  std::string bytes;
};

// `expect status S [info N] [data "TEXT"] [event 0xHEX] [for NAME]`.
struct ExpectStep {
  uint32_t status = 0;
  std::string status_text;  // as written, for messages
  std::optional<uint64_t> info;
  std::optional<std::string> data;
  std::optional<uint32_t> event;
  std::string for_name;  // "" : the last completed request
};

using Action = std::variant<NodeStep, RegistryStep, HandsetStep, PortStep, StartStep, PnpStep,
                            PowerStep, RequestStep, WaitStep, SleepStep, LineSendStep, ExpectStep>;

struct Step {
  int line = 0;
  Action action;
};

struct Scenario {
  std::string file;  // as named on the command line, for messages
  std::vector<Step> steps;
};

}  // namespace hs::tool
