// The handset: a V.250 command interpreter at the far end of the serial
// line.
//
// Characters are parsed one after another as they arrive; a character is
// echoed (E1) when it is parsed; a command line ends with S3 (carriage
// return) and runs after the answer latency; characters that arrive while a
// command runs wait their turn. Result codes are verbose ("\r\nOK\r\n") or
// numeric ("0\r"), V1/V0; Q1 suppresses them.
//
// Commands: AT, E0/E1, V0/V1, Q0/Q1, Z, &F, I, +IPR=<rate>, +IPR?, +IPR=?,
// D<number> (data mode: data is echoed back; "+++" with a guard time of
// silence before and after returns to command mode with OK), H, O,
// S<n>=<v>/S<n>? for S3. +IPR: the new rate takes effect after its OK has
// been sent at the old rate; a rate not supported answers ERROR.
//
// Power saving: asleep after an idle time and at power-on; the command
// line that wakes it is lost (which is why a probe sends two commands).
//
// Defaults, as a typical handset: 9600 baud 8N1, echo on, verbose, 2 ms
// answer latency, rates 300 to 115200, asleep after 500 ms idle and at
// power-on.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"
#include "sim/serial_line.h"

namespace hs {

// Misbehaviours for tests.
struct HandsetQuirks {
  bool silent = false;       // no echo, no answers
  bool garbage = false;      // answers are random bytes (from the seed)
  bool nul_first = false;    // a NUL byte before each answer
  VTime split_answers = 0;   // answers sent in two halves this far apart
  bool lower_case = false;   // "\r\nok\r\n"
  bool no_final_cr = false;  // the result code lacks its final CR
  std::string extra_line;    // a line sent after each result code ("+CME: 1")
  bool echo_twice = false;   // every echoed character twice
};

struct HandsetOptions {
  uint32_t rate = 9600;
  bool echo = true;
  bool verbose = true;
  bool quiet = false;
  VTime latency = 2 * kMillisecond;  // from the end of a command line to its answer
  std::vector<uint32_t> rates = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  VTime sleep_after = 500 * kMillisecond;  // idle time before it sleeps; 0: never
  bool asleep_at_power_on = true;
  VTime guard_time = 1 * kSecond;  // silence around "+++"
  HandsetQuirks quirks;
  uint64_t seed = 1;
  std::string identity = "HS-1 GSM handset";  // ATI
};

class Handset {
 public:
  // Runs on the far end of `line`, powered on at once.
  Handset(Machine& machine, SerialLine& line, HandsetOptions options = {});
  ~Handset();
  Handset(const Handset&) = delete;
  Handset& operator=(const Handset&) = delete;

  // ---- settings (take effect at once)
  void set_rate(uint32_t rate);
  void set_echo(bool on);
  void set_verbose(bool on);
  void set_latency(VTime latency);
  void set_rates(std::vector<uint32_t> rates);
  void set_sleep_after(VTime idle);  // 0: never sleeps
  void set_quirks(const HandsetQuirks& quirks);
  const HandsetOptions& options() const { return options_; }

  // Power: off drops DSR/CTS and ignores the line; on starts asleep when
  // the options say so.
  void power_off();
  void power_on();
  bool asleep() const { return asleep_; }
  void wake();  // as if the user touched it

  // ---- the far side's own actions
  // An unsolicited result code ("RING", "+CREG: 1"), in the current form.
  void unsolicited(std::string_view code);
  // An incoming call: RI pulses and "RING" is sent.
  void ring();
  // Sends raw bytes now (after what is queued).
  void send_raw(std::string_view bytes);
  // Streams `count` bytes repeating `pattern` as fast as the line goes.
  void stream(std::string_view pattern, uint64_t count);
  uint64_t streamed() const { return streamed_; }

  // ---- what happened
  uint32_t rate() const { return options_.rate; }
  bool in_data_mode() const { return data_mode_; }
  const std::vector<std::string>& commands() const { return commands_; }  // as executed
  const std::string& received() const { return received_; }               // every byte taken
  const std::string& sent() const { return sent_; }                       // every byte sent
  uint64_t lines_lost_asleep() const { return lost_lines_; }

 private:
  class Receiver;
  void on_uart();
  void process();
  void parse(uint8_t c);
  void data(const uint8_t* bytes, size_t count);
  void execute(std::string line);
  int run_commands(std::string_view body, std::string* info, uint32_t* new_rate, bool* connect);
  void answer(std::string text);
  void send(std::string bytes);
  std::string result(int code) const;  // 0 OK, 1 CONNECT, 2 RING, 3 NO CARRIER, 4 ERROR
  void touch();
  void arm_idle();
  void update_lines();
  void update_interest();
  void refill_stream();

  Machine& machine_;
  SerialLine& line_;
  Uart& uart_;
  HandsetOptions options_;
  std::unique_ptr<Receiver> receiver_;
  std::mt19937_64 rng_;
  bool powered_ = false;
  bool asleep_ = false;
  bool losing_line_ = false;  // discarding the line that woke it
  bool busy_ = false;         // a command runs; input waits
  bool data_mode_ = false;
  bool had_call_ = false;
  bool ringing_ = false;
  bool dtr_seen_ = false;
  uint32_t pending_rate_ = 0;  // +IPR rate waiting for the OK to leave
  std::string line_buffer_;
  std::deque<uint8_t> pending_;  // taken from the UART, not yet parsed
  std::vector<std::string> commands_;
  std::string received_;
  std::string sent_;
  uint64_t lost_lines_ = 0;
  std::vector<Machine::EventId> timers_;
  Machine::EventId idle_event_ = 0;
  Machine::EventId escape_event_ = 0;
  VTime last_rx_ = 0;
  int plus_count_ = 0;
  std::string stream_pattern_;
  uint64_t stream_left_ = 0;
  uint64_t stream_pos_ = 0;
  uint64_t streamed_ = 0;
  uint8_t s3_ = '\r';
  uint8_t s4_ = '\n';
};

}  // namespace hs
