// The simulated handset on a real descriptor: a pseudo-terminal (whose
// other end a program opens as it would open a serial port) or a tty.
// Needs the machine's real-time mode.
//
// Inside, the handset sits at the far end of a simulated serial line as
// always; the PC end of that line is joined to the descriptor:
//
// - On a pseudo-terminal the PC end runs at the rate and format the program
//   on the other end has set with tcsetattr, so a program talking at another
//   rate than the handset's gets what a real handset would give it: garbage.
//   Bytes are taken from the pseudo-terminal only as fast as the line sends
//   them, so the program's writes go at the line's pace.
// - On a tty the tty runs at the handset's rate (following +IPR), the real
//   line doing the rest.
//
// The pseudo-terminal stays usable across the program's opens and closes
// (the handset keeps it open itself).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "sim/handset.h"
#include "sim/serial_line.h"

namespace hs {

struct HandsetPtyOptions {
  HandsetOptions handset;
  std::string tty;   // a tty to run on; empty: a new pseudo-terminal
  std::string link;  // a symbolic link to the pseudo-terminal made here ("" none)
};

class HandsetPty {
 public:
  // Null and a message when the descriptor cannot be had.
  static std::unique_ptr<HandsetPty> open(Machine& machine, HandsetPtyOptions options,
                                          std::string* error);
  ~HandsetPty();
  HandsetPty(const HandsetPty&) = delete;
  HandsetPty& operator=(const HandsetPty&) = delete;

  // The path a program opens: the pseudo-terminal's, or the tty's.
  const std::string& path() const { return path_; }
  Handset& handset() { return *handset_; }
  SerialLine& line() { return *line_; }
  uint64_t bytes_from_program() const { return from_program_; }
  uint64_t bytes_to_program() const { return to_program_; }
  bool gone() const { return gone_; }

 private:
  class Port;
  HandsetPty(Machine& machine, HandsetPtyOptions options);
  bool start(std::string* error);
  void tick();
  void take_input();
  void follow_format();
  void deliver();
  void flush_output();

  Machine& machine_;
  HandsetPtyOptions options_;
  std::unique_ptr<SerialLine> line_;
  std::unique_ptr<Handset> handset_;
  std::unique_ptr<Port> port_;
  int fd_ = -1;       // the master, or the tty
  int keep_fd_ = -1;  // our own hold on the pseudo-terminal's other end
  bool is_pty_ = true;
  bool watching_ = false;
  bool gone_ = false;  // the tty hung up
  std::string path_;
  std::string output_;  // received from the handset, not yet taken by the descriptor
  Machine::EventId tick_event_ = 0;
  uint64_t from_program_ = 0;
  uint64_t to_program_ = 0;
  std::shared_ptr<bool> alive_;
};

}  // namespace hs
