// The filter above the scripted port: a rig whose device node has "rfport"
// as function driver and "ratefilter" as upper filter.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "scripted_port.h"
#include "sim/rig.h"

namespace rftest {

inline hs::RigOptions rig_options(hs::SchedulePolicy policy = {}) {
  hs::RigOptions options;
  options.machine.policy = policy;
  return options;
}

struct FilterStack {
  ScriptedPort port;  // before the rig: the driver finds it at add-device
  hs::Rig rig;
  hs::DeviceNode* node = nullptr;

  explicit FilterStack(hs::RigOptions options = {},
                       const std::function<void(hs::DeviceNodeSpec&)>& edit = {})
      : rig(std::move(options)) {
    rig.kernel().register_builtin_driver(kPortDriver, ScriptedPort::DriverEntry);
    hs::DeviceNodeSpec spec = rig.stack_spec(kPortDriver, {"ratefilter"});
    if (edit) edit(spec);
    node = &rig.install(spec);
  }

  hs::Client& client() { return rig.client(); }
  hs::Kernel& kernel() { return rig.kernel(); }

  uint64_t pool_held() { return rig.kernel().pool_usage("QX42").blocks_held; }
  uint64_t pool_allocations() { return rig.kernel().pool_usage("QX42").allocations; }

  hs::Completion set_rate(const hs::Handle& h, uint32_t rate) {
    return client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(rate));
  }
  hs::Completion set_timeouts(const hs::Handle& h, std::vector<uint32_t> values) {
    std::vector<uint8_t> bytes;
    for (uint32_t v : values) {
      auto b = hs::le32(v);
      bytes.insert(bytes.end(), b.begin(), b.end());
    }
    return client().ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, bytes);
  }
  // Removes the node from the calling emulated thread.
  NTSTATUS remove() { return kernel().send_pnp(*node, IRP_MN_REMOVE_DEVICE); }
  // Breakpoints the filter hit, from the trace.
  size_t filter_breaks() const {
    size_t n = 0;
    for (const auto& e : rig.events("break"))
      if (e.str("dev") == "ratefilter") ++n;
    return n;
  }
};

// A device power request sent to the top of the stack with PoRequestPowerIrp.
struct PowerResult {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;
};

inline VOID NTAPI power_request_done(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                                     PIO_STATUS_BLOCK io) {
  auto* result = static_cast<PowerResult*>(context);
  result->done = true;
  result->status = io->Status;
}

// Sends the request from the calling emulated thread; waits for it unless
// `wait` is false. Returns PoRequestPowerIrp's own status when it fails.
inline NTSTATUS set_device_power(FilterStack& s, DEVICE_POWER_STATE state, PowerResult* result,
                                 bool wait = true) {
  POWER_STATE p;
  p.DeviceState = state;
  PIRP irp = nullptr;
  NTSTATUS status =
      PoRequestPowerIrp(s.node->pdo, IRP_MN_SET_POWER, p, power_request_done, result, &irp);
  if (!NT_SUCCESS(status)) return status;
  while (wait && !result->done) s.rig.machine().sleep_for(hs::kMillisecond);
  return result->done ? result->status : STATUS_PENDING;
}

// Runs `body` and asserts that the run finished cleanly.
#define RF_RUN(stack, body)                            \
  do {                                                 \
    hs::RunResult rf_result_ = (stack).rig.run(body);  \
    ASSERT_TRUE(rf_result_.ok()) << rf_result_.report; \
  } while (0)

// The negotiation to `rate` as it reaches the port when no timeouts are
// known and the handset answers at once.
inline std::vector<std::string> full_negotiation(uint32_t rate, const std::string& restored) {
  return {"PURGE 0F",
          "GET_TIMEOUTS",
          "SET_TIMEOUTS 20,0,200,0,2000",
          "BAUD 9600",
          "WRITE AT\rAT\r",
          "READ",
          "WRITE AT+IPR=" + std::to_string(rate) + "\r",
          "READ",
          "SET_TIMEOUTS " + restored,
          "BAUD " + std::to_string(rate)};
}

}  // namespace rftest
