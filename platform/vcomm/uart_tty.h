// The UART behind a COM port as a host tty (a serial adapter such as
// /dev/ttyUSB0, or a pseudo-terminal), reached through termios. Needs the
// machine's real-time mode: received bytes are noticed when the machine
// idles on the tty's descriptor, written bytes leave as fast as the tty
// takes them.
//
// - Rates and line formats become the tty's termios settings; a format the
//   tty does not take (read back after setting it) is refused and the old
//   one kept. A pseudo-terminal runs only 8 data bits without parity.
// - DTR, RTS and break go through the modem-control ioctls; CTS, DSR, RI and
//   DCD are read back with TIOCMGET. A tty without modem-control lines (a
//   pseudo-terminal) reports CTS, DSR and DCD on, as a three-wire cable with
//   the handshake lines looped back does.
// - Framing and parity errors and breaks are marked by the tty (PARMRK) and
//   become the byte's CE_* bits; overruns counted by the driver become
//   CE_OVERRUN on the last byte read with them.
// - When the far side hangs up (the pseudo-terminal's other end closes, an
//   adapter is unplugged) the tty stops being read, every modem line reads
//   off and what is still written is dropped.
//
// Every byte written and received is a "line" trace event as on the
// simulated line ("tx" PC -> far end, "rx" far end -> PC).
#pragma once

#include <termios.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "vcomm/uart.h"

namespace hs {

// One received byte and its CE_* error bits.
struct TtyByte {
  uint8_t byte = 0;
  uint32_t errors = 0;
};

// Undoes the tty's PARMRK marking of a byte stream: "\377\377" is a 0xFF
// byte, "\377\0\0" a break, "\377\0" X the byte X received with a framing or
// parity error. Keeps its state across reads, so a mark split between two
// reads is decoded whole.
class TtyMarkDecoder {
 public:
  // `error_bits` are the CE_* bits given to a marked byte (CE_FRAME, or
  // CE_RXPARITY when parity is checked).
  void feed(const uint8_t* data, size_t length, uint32_t error_bits, std::vector<TtyByte>& out);
  void reset() { state_ = 0; }

 private:
  int state_ = 0;  // 0 plain, 1 after \377, 2 after \377\0
};

// termios speed code of a rate, or 0 when termios has none; and back (0
// for a code it does not know).
speed_t tty_speed_code(uint32_t rate);
uint32_t tty_speed_rate(speed_t code);
// The line format a termios record describes.
UartFormat tty_format(const termios& settings);

class TtyUart : public Uart {
 public:
  // Opens `path` for this machine (non-blocking, not as controlling
  // terminal), puts it in raw mode at 9600 8N1 and starts watching it. Null
  // and a message ("/dev/ttyUSB9: cannot open: No such file or directory")
  // when it cannot.
  static std::unique_ptr<TtyUart> open(Machine& machine, const std::string& path,
                                       std::string* error);
  ~TtyUart() override;
  TtyUart(const TtyUart&) = delete;
  TtyUart& operator=(const TtyUart&) = delete;

  const std::string& path() const { return path_; }
  int fd() const { return fd_; }
  bool hung_up() const { return hung_up_; }
  bool has_modem_lines() const { return has_lines_; }
  // Why the last set_format() was refused ("" when it was not).
  const std::string& refusal() const { return refusal_; }
  // Called once, in the world's context, when the far side hangs up.
  void on_hang_up(std::function<void()> action) { on_hang_up_ = std::move(action); }
  uint64_t bytes_written() const { return written_; }
  uint64_t bytes_received() const { return received_; }

  // ---- Uart
  void attach(UartClient* client) override;
  bool supports(const UartFormat& format) const override;
  bool set_format(const UartFormat& format) override;
  UartFormat format() const override { return format_; }
  uint32_t max_rate() const override { return 4000000; }
  void set_control(const UartControl& control) override;
  UartControl control() const override { return control_; }
  ModemLines modem_lines() const override;
  void transmit(const uint8_t* bytes, size_t count) override;
  void transmit_first(uint8_t byte) override;
  size_t tx_pending() const override;
  bool tx_busy() const override;
  size_t purge_tx() override;
  void hold_tx(bool on) override;
  size_t receive(uint8_t* out, size_t max, uint32_t* errors) override;
  size_t rx_pending() override;
  void purge_rx() override;
  void set_interest(const UartInterest& interest) override;

 private:
  TtyUart(Machine& machine, std::string path, int fd, const termios& original);
  bool apply(const UartFormat& format, std::string* why);
  void pull();  // reads what the tty has into rx_
  void push();  // writes queued bytes as far as the tty takes them
  void watch(bool on);
  void hang_up(const char* why);
  void arm_poll();
  void poll_tick();
  void check_due(size_t fresh_from);
  void raise_interrupt();
  size_t out_queue() const;
  uint32_t error_bits_for_mark();
  void trace_bytes(const char* dir, const uint8_t* bytes, size_t count);

  Machine& machine_;
  std::string path_;
  int fd_ = -1;
  termios original_{};  // given back when the port goes
  UartFormat format_;
  UartControl control_;
  UartInterest interest_;
  UartClient* client_ = nullptr;
  bool has_lines_ = true;
  bool hung_up_ = false;
  bool watching_ = false;
  bool xoff_ = false;
  bool interrupt_posted_ = false;
  bool was_busy_ = false;  // bytes were sent since the transmitter was last seen empty
  ModemLines last_lines_;
  std::string refusal_;
  std::function<void()> on_hang_up_;
  TtyMarkDecoder decoder_;
  std::deque<TtyByte> rx_;
  std::deque<uint8_t> tx_;
  Machine::EventId poll_event_ = 0;
  uint64_t written_ = 0;
  uint64_t received_ = 0;
  // Driver counters (TIOCGICOUNT) as last read; -1: the tty keeps none.
  int64_t frame_count_ = -1;
  int64_t parity_count_ = 0;
  int64_t overrun_count_ = 0;
  int64_t break_count_ = 0;
  std::shared_ptr<bool> alive_;  // timers and posts check it after the UART went
};

}  // namespace hs
