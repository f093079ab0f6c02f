// The UART behind a COM port: the one interface through which VCOMM reaches
// the hardware. Two implementations exist: the simulated serial line
// (sim/serial_line.h) and, for real ports, a host tty.
//
// Contract, method by method (every call is made by VCOMM on the machine's
// one processor, from a service call or from the UART's interrupt):
//
//   attach(client)   The port was opened: interrupts go to `client` from now
//                    on (null: the port was closed, no more interrupts).
//   supports(f)      Whether the hardware can run the line format `f`.
//   set_format(f)    Switches rate and framing. Bytes already on the wire
//                    finish at the old format; queued bytes leave at the new
//                    one. False (nothing changed) when not supported.
//   set_control(c)   Drives DTR, RTS and break. While break is on nothing
//                    is transmitted; queued bytes wait.
//   modem_lines()    The modem-status inputs CTS, DSR, RI and DCD.
//   transmit(b, n)   Queues bytes in the transmitter; they leave one after
//                    the other at line pace. Never refuses: VCOMM bounds
//                    the queue by its own transmit buffer.
//   transmit_first() Queues one byte ahead of every byte not yet started.
//   tx_pending()     Bytes queued whose transmission has not started.
//   tx_busy()        A byte is on the wire or waiting.
//   purge_tx()       Drops every byte not yet started; returns how many.
//   hold_tx(on)      Stops (or resumes) starting new bytes (XOFF received).
//   receive(...)     Takes bytes that have arrived, in order: a run of
//                    clean bytes, ending early after the first byte that
//                    carries an error (its CE_* bits are returned). A break
//                    arrives as one byte 0 with CE_BREAK.
//   rx_pending()     Bytes arrived and not yet taken.
//   set_interest(i)  Which causes raise the interrupt. The UART calls
//                    client->uart_interrupt() at interrupt time (through
//                    Machine::post_interrupt) once a cause in `i` is due;
//                    the port then takes what arrived and sets its
//                    interest again. Causes: received data (FIFO trigger
//                    level or receive timeout), a received byte equal to a
//                    given value, a receive error or break, a count of
//                    untaken bytes reached, the transmitter drained, a
//                    modem-status change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "machine/vtime.h"

namespace hs {

// Line format: rate in bits per second; data bits 5..8; parity and stop
// bits as the serial interface's codes (NO_PARITY 0, ODD 1, EVEN 2, MARK 3,
// SPACE 4; STOP_BIT_1 0, STOP_BITS_1_5 1, STOP_BITS_2 2).
struct UartFormat {
  uint32_t rate = 9600;
  uint8_t data_bits = 8;
  uint8_t parity = 0;
  uint8_t stop_bits = 0;

  bool operator==(const UartFormat&) const = default;
  // Length of one frame (start, data, parity, stop) in half bits.
  int frame_half_bits() const;
  // Exact duration of one frame is frame_half_bits() * kSecond / (2 * rate).
  VTime frame_time() const;      // rounded down
  std::string describe() const;  // "9600 8N1"
};

struct UartControl {
  bool dtr = false;
  bool rts = false;
  bool brk = false;
  bool operator==(const UartControl&) const = default;
};

struct ModemLines {
  bool cts = false;
  bool dsr = false;
  bool ri = false;
  bool dcd = false;
  bool operator==(const ModemLines&) const = default;
};

struct UartInterest {
  bool rx_data = false;    // received data (FIFO trigger or receive timeout)
  int rx_char = -1;        // a received byte equal to this value (-1: none)
  bool rx_errors = false;  // a byte with a framing or parity error, a break
  uint32_t rx_count = 0;   // this many untaken bytes have arrived (0: none)
  bool tx_empty = false;   // the transmitter has sent its last byte
  bool modem = false;      // CTS, DSR, RI or DCD changed
  bool operator==(const UartInterest&) const = default;
};

// VCOMM's side of the interrupt line.
class UartClient {
 public:
  virtual ~UartClient() = default;
  // Runs at interrupt time (SERIAL_DEVICE_LEVEL), possibly nested.
  virtual void uart_interrupt() = 0;
};

class Uart {
 public:
  virtual ~Uart() = default;

  virtual void attach(UartClient* client) = 0;
  virtual bool supports(const UartFormat& format) const = 0;
  virtual bool set_format(const UartFormat& format) = 0;
  virtual UartFormat format() const = 0;
  virtual uint32_t max_rate() const = 0;

  virtual void set_control(const UartControl& control) = 0;
  virtual UartControl control() const = 0;
  virtual ModemLines modem_lines() const = 0;

  virtual void transmit(const uint8_t* bytes, size_t count) = 0;
  virtual void transmit_first(uint8_t byte) = 0;
  virtual size_t tx_pending() const = 0;
  virtual bool tx_busy() const = 0;
  virtual size_t purge_tx() = 0;
  virtual void hold_tx(bool on) = 0;

  // Copies up to `max` arrived bytes to `out`; stops after the first byte
  // with an error and stores its CE_* bits in *errors (0 otherwise).
  virtual size_t receive(uint8_t* out, size_t max, uint32_t* errors) = 0;
  virtual size_t rx_pending() = 0;
  // Drops every arrived byte (the receiver's FIFO is reset).
  virtual void purge_rx() = 0;

  virtual void set_interest(const UartInterest& interest) = 0;
};

}  // namespace hs
