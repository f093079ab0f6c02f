// The pseudo-terminal `hsbridge serve` gives Linux programs: its master end,
// watched by the machine in real-time mode.
//
// A program opening the other end is a connection; its last close is the
// hang-up. What the program writes is buffered (up to a limit, beyond which
// the program's writes wait, as on a serial port); what the stack received
// is written to the program. The program's termios settings are read from
// here (the master sees the other end's settings).
#pragma once

#include <termios.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "machine/machine.h"

namespace hs::tool {

class ServedPty {
 public:
  // Makes the pseudo-terminal (and a symbolic link to it at `link` unless
  // empty). Null and a message when it cannot.
  static std::unique_ptr<ServedPty> open(Machine& machine, const std::string& link,
                                         std::string* error);
  ~ServedPty();
  ServedPty(const ServedPty&) = delete;
  ServedPty& operator=(const ServedPty&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return fd_; }

  // Called in the world's context when anything changes (a connection,
  // input, a hang-up), so that a waiting thread can look again.
  void on_change(std::function<void()> action) { on_change_ = std::move(action); }

  // A program has the other end open. Checked by looking (a program's open
  // gives no event), so call it to notice a new connection.
  bool connected();
  // Takes up to `max` bytes the program wrote.
  std::string take_input(size_t max);
  size_t input_pending() const { return input_.size(); }
  // Queues bytes for the program and writes what it takes now.
  void send(const std::string& bytes);
  void flush();
  size_t output_pending() const { return output_.size(); }
  // The program's settings now; false when they cannot be read.
  bool settings(termios* out) const;
  bool put_settings(const termios& settings);
  // Forgets what is buffered both ways (the session is over).
  void reset();

 private:
  ServedPty(Machine& machine, int fd, std::string path, std::string link);
  void readable();
  void watch(bool on);
  void hang_up();

  Machine& machine_;
  int fd_ = -1;
  std::string path_;
  std::string link_;
  bool connected_ = false;
  bool watching_ = false;
  std::string input_;
  std::string output_;
  std::function<void()> on_change_;
  std::shared_ptr<bool> alive_;
};

}  // namespace hs::tool
