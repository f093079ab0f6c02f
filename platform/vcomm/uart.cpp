#include "vcomm/uart.h"

namespace hs {

int UartFormat::frame_half_bits() const {
  int half = 2 * (1 + data_bits);                       // start and data bits
  if (parity != 0) half += 2;                           // parity bit
  half += stop_bits == 0 ? 2 : stop_bits == 1 ? 3 : 4;  // 1, 1.5 or 2 stop bits
  return half;
}

VTime UartFormat::frame_time() const {
  if (rate == 0) return 0;
  return static_cast<VTime>(frame_half_bits()) * kSecond / (2 * static_cast<VTime>(rate));
}

std::string UartFormat::describe() const {
  static const char kParity[] = "NOEMS";
  std::string stop = stop_bits == 0 ? "1" : stop_bits == 1 ? "1.5" : "2";
  return std::to_string(rate) + " " + std::to_string(data_bits) +
         (parity < 5 ? kParity[parity] : '?') + stop;
}

}  // namespace hs
