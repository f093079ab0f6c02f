// A small world for port-service tests: a machine, VCOMM with COM2 on a
// serial line, and a far end that records what it receives and when. The
// test body runs in an emulated thread and calls the services directly.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "sim/serial_line.h"
#include "vcomm/port_services.h"

namespace hs::test {

// Records every byte the far end receives, with its time and errors.
class FarEnd : public UartClient {
 public:
  struct Byte {
    VTime t;
    uint8_t byte;
    uint32_t errors;
  };
  explicit FarEnd(Uart& uart) : uart_(uart) {
    uart_.attach(this);
    UartInterest interest;
    interest.rx_data = true;
    uart_.set_interest(interest);
  }
  ~FarEnd() override { uart_.attach(nullptr); }
  void uart_interrupt() override {
    uint8_t buffer[256];
    for (;;) {
      uint32_t errors = 0;
      size_t got = uart_.receive(buffer, sizeof buffer, &errors);
      if (got == 0) break;
      for (size_t i = 0; i < got; ++i)
        bytes.push_back(Byte{Machine::current().now(), buffer[i], i + 1 == got ? errors : 0});
    }
  }
  std::string text() const {
    std::string out;
    for (auto& b : bytes) out += static_cast<char>(b.byte);
    return out;
  }
  uint32_t all_errors() const {
    uint32_t e = 0;
    for (auto& b : bytes) e |= b.errors;
    return e;
  }
  void send(const std::string& text) {
    uart_.transmit(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  std::vector<Byte> bytes;

 private:
  Uart& uart_;
};

struct World {
  Machine machine;
  SerialLine line{machine};
  FarEnd far{line.far()};
  Vcomm vcomm{machine};  // goes before the line it uses

  World() { vcomm.add_port("COM2", line.pc()); }

  RunResult run(std::function<void()> body) {
    machine.create_thread("test", std::move(body));
    return machine.run();
  }
  void set_far_format(uint32_t rate, uint8_t data = 8, uint8_t parity = 0, uint8_t stop = 0) {
    UartFormat f;
    f.rate = rate;
    f.data_bits = data;
    f.parity = parity;
    f.stop_bits = stop;
    line.far().set_format(f);
  }
};

// Opens COM2 with the given queues at 9600 8N1 (or `rate`); 0 on failure.
inline ULONG open_port(UCHAR* rx, ULONG rx_size, UCHAR* tx, ULONG tx_size, ULONG rate = 9600) {
  char name[] = "COM2";
  ULONG port = _VCOMM_OpenComm(name, static_cast<ULONG>(-1));
  if (port == IE_BADID || port == IE_OPEN) return 0;
  UCHAR scratch[8];
  _VCOMM_SetupComm(port, rx, rx_size, tx, tx_size, scratch);
  DCB dcb;
  _VCOMM_GetCommState(port, &dcb);
  dcb.BaudRate = rate;
  dcb.ByteSize = 8;
  dcb.Parity = 0;
  dcb.StopBits = 0;
  dcb.BitMask = fBinary | fDtrEnable | fRtsEnable;
  _VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT);
  return port;
}

inline std::string read_all(ULONG port) {
  UCHAR buffer[4096];
  ULONG got = 0;
  _VCOMM_ReadComm(port, buffer, sizeof buffer, &got);
  return std::string(reinterpret_cast<char*>(buffer), got);
}

}  // namespace hs::test
