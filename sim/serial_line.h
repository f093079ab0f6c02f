// The serial cable between the PC's UART (behind VCOMM's COM port) and the
// far end (the handset). Each end is a Uart; bytes take their line time at
// the sender's rate and format and are computed when they are due, never
// bit by bit in time. When the two ends disagree on rate or format the
// receiver samples the sender's waveform at its own bit times: it gets
// other bytes, framing and parity errors, the same ones every run.
//
// Directions in traces: "tx" PC -> far end, "rx" far end -> PC. Each
// transmitted run of bytes is one "line" trace event with dir, hex, rate
// and format.
//
// Signals: the PC drives DTR, RTS and break; the far end drives what the
// PC sees as CTS, DSR, RI and DCD (set_far_lines). The far end's own
// modem_lines() report CTS = the PC's RTS and DSR = the PC's DTR.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "vcomm/uart.h"

namespace hs {

class LineUart;
struct SerialLineChannels;

struct SerialLineOptions {
  uint32_t max_rate = 115200;  // fastest rate either UART can run
  uint32_t min_rate = 50;
  int pc_fifo_trigger = 14;  // receive interrupt after this many bytes (16550)
  int far_fifo_trigger = 1;  // the handset sees every byte at once
  int rx_timeout_chars = 4;  // or after this many quiet character times
  bool trace = true;         // "line" trace events
};

class SerialLine {
 public:
  explicit SerialLine(Machine& machine, SerialLineOptions options = {});
  ~SerialLine();
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;

  // The PC's UART: give it to Vcomm::add_port. Interrupts reach its client
  // through Machine::post_interrupt.
  Uart& pc();
  // The far end's UART (the handset's). Its client is called in the
  // world's context (timed events), never at interrupt time.
  Uart& far();

  // What the PC sees as CTS, DSR, RI and DCD.
  void set_far_lines(const ModemLines& lines);
  ModemLines far_lines() const;

  void set_trace(bool on);
  const SerialLineOptions& options() const { return options_; }

  // Bytes that have left each end so far, and bytes each end received.
  uint64_t bytes_sent_by_pc() const;
  uint64_t bytes_sent_by_far() const;

 private:
  Machine& machine_;
  SerialLineOptions options_;
  std::unique_ptr<SerialLineChannels> channels_;
  std::unique_ptr<LineUart> pc_;
  std::unique_ptr<LineUart> far_;
  ModemLines far_lines_;
  bool trace_on_ = true;
  friend class LineUart;
};

// Decodes one frame the way a receiver does when it samples a waveform.
// Exposed for tests of the corruption rule: `levels(t)` gives the line
// level at time t (true = mark/idle), `edge` is the falling edge that
// starts the frame. Returns the byte and its CE_* error bits; `done` is
// the time the receiver finished the frame.
struct DecodedFrame {
  uint8_t byte = 0;
  uint32_t errors = 0;
  VTime done = 0;
};
DecodedFrame decode_frame(const std::function<bool(VTime)>& levels, VTime edge,
                          const UartFormat& receiver);

}  // namespace hs
