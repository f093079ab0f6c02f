// Helpers shared by the bridge's control, settings, event, transfer and
// deferral tests: records packed into request buffers and read back from
// completions, the COM port as VCOMM sees it, bytes fed from the far end of
// the line at chosen times.
#pragma once

#include <gtest/gtest.h>
#include <ntddser.h>
#include <wdm.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_frame_support.h"
#include "vcomm/port_services.h"

namespace hs::bridge_test {

// The bytes of a record, as a request's input buffer.
template <typename T>
std::vector<uint8_t> bytes_of(const T& record) {
  std::vector<uint8_t> out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// A record read back from a completion's output bytes (zero-padded).
template <typename T>
T record_of(const Completion& completion) {
  T record{};
  std::memcpy(&record, completion.data.data(), std::min(sizeof(T), completion.data.size()));
  return record;
}

inline SERIAL_TIMEOUTS timeouts(ULONG interval, ULONG multiplier, ULONG constant) {
  SERIAL_TIMEOUTS t{};
  t.ReadIntervalTimeout = interval;
  t.ReadTotalTimeoutMultiplier = multiplier;
  t.ReadTotalTimeoutConstant = constant;
  return t;
}

// The port behind the bridge, as VCOMM holds it.
inline PortSnapshot port(Rig& rig) { return *rig.vcomm().snapshot("COM2"); }

// Every VCOMM call made so far.
inline size_t vcomm_calls(Rig& rig) { return rig.events("vcomm").size(); }

// Sends bytes from the far end `delay` from now (in the world's context).
inline void feed(Rig& rig, VTime delay, std::string bytes) {
  rig.machine().after(
      delay, [&rig, bytes] { rig.handset().send_raw(bytes); }, "feed");
}

// Time one 8N1 character takes on the line at `rate`.
inline VTime char_time(uint32_t rate) { return 10 * kSecond / rate; }

// Sets a literal rate through the stack (the port is opened with the index
// code of 9600) and the handset to match.
inline void set_rate(Rig& rig, const Handle& handle, uint32_t rate) {
  Completion c = rig.client().ioctl(handle, IOCTL_SERIAL_SET_BAUD_RATE, le32(rate));
  ASSERT_EQ(c.status, STATUS_SUCCESS);
  rig.handset().set_rate(rate);
}

inline void set_timeouts(Rig& rig, const Handle& handle, const SERIAL_TIMEOUTS& t) {
  Completion c = rig.client().ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, bytes_of(t));
  ASSERT_EQ(c.status, STATUS_SUCCESS);
}

// How far ahead the read timer is set, in 100 ns units (its DueTime is system time).
inline LONGLONG read_timer_due_in(PBRIDGE_EXTENSION extension) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return extension->ReadTimer.DueTime.QuadPart - now.QuadPart;
}

// Seeds per policy for the explored races: `fallback`, or HS_EXPLORE_SEEDS when set.
inline int explore_seeds(int fallback) {
  const char* text = std::getenv("HS_EXPLORE_SEEDS");
  int count = text != nullptr ? std::atoi(text) : 0;
  return count > 0 ? count : fallback;
}

// Sum of pool allocations under every tag so far.
inline uint64_t pool_allocations(Kernel& kernel) {
  uint64_t total = 0;
  for (const auto& [tag, usage] : kernel.pool_usage()) total += usage.allocations;
  return total;
}

}  // namespace hs::bridge_test
