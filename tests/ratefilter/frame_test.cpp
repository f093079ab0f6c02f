// The filter frame, Plug and Play and power: requests pass down unchanged,
// removal waits exactly for the references that matter, the start needs the
// capabilities, power moves the state, and the debug switches break where
// their bits say.
#include <gtest/gtest.h>

#include "fixture.h"

namespace rftest {
namespace {

using hs::Completion;
using hs::Handle;
using hs::Request;

TEST(FilterFrame, PassesRequestsDownUnchangedWithTheLowerStatus) {
  FilterStack s;
  s.port.reads.push_back("hello");
  s.port.fail_ioctl[IOCTL_SERIAL_GET_MODEMSTATUS] = STATUS_INVALID_PARAMETER;
  Completion read, write, modem, dtr, cleanup;
  Handle h;
  RF_RUN(s, [&] {
    h = s.client().open();
    read = s.client().read(h, 5);
    write = s.client().write(h, "data");
    modem = s.client().ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    dtr = s.client().ioctl(h, IOCTL_SERIAL_SET_DTR);
    cleanup = s.client().cleanup(h);
    s.client().close(h);
  });
  EXPECT_TRUE(h.ok());
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.text(), "hello");
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_EQ(write.info, 4u);
  EXPECT_EQ(modem.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(dtr.status, STATUS_SUCCESS);
  EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
  std::vector<std::string> seen;
  for (const PortCall& c : s.port.calls)
    if (c.major != IRP_MJ_PNP && c.major != IRP_MJ_POWER) seen.push_back(c.text());
  EXPECT_EQ(seen, (std::vector<std::string>{"CREATE", "READ 5", "WRITE data", "GET_MODEMSTATUS",
                                            "SET_DTR", "CLEANUP", "CLOSE"}));
  for (const PortCall& c : s.port.calls) {
    if (c.major != IRP_MJ_PNP && c.major != IRP_MJ_POWER) {
      EXPECT_EQ(c.file, h.file) << c.text();
    }
  }
  EXPECT_EQ(s.port.calls[s.port.find("GET_MODEMSTATUS")].length, 4u);
}

TEST(FilterFrame, RemovalWithNothingInFlightDeletesAtOnceAndLeavesNoPool) {
  FilterStack s;
  NTSTATUS removed = STATUS_PENDING;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    s.set_rate(h, 115200);
    s.client().close(h);
    removed = s.remove();
  });
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(s.node->state, hs::NodeState::Removed);
  EXPECT_EQ(s.pool_held(), 0u);
  EXPECT_EQ(s.kernel().pool_blocks_held(), 0u) << s.kernel().pool_report();
}

// A read left pending below holds no reference of the filter: the removal
// goes through (the port completes the read as it removes itself).
TEST(FilterFrame, ReadPendingBelowDoesNotDelayRemoval) {
  FilterStack s;
  s.port.pend_reads = true;
  Completion read;
  NTSTATUS removed = STATUS_PENDING;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    hs::Pending r = s.client().send(h, Request::read(8));
    EXPECT_FALSE(r.done());
    removed = s.remove();
    read = s.client().wait(r);
  });
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(s.node->state, hs::NodeState::Removed);
}

// A power request not yet completed holds its reference until it is: the
// removal waits for it.
TEST(FilterFrame, RemovalWaitsForAPowerRequestStillInFlight) {
  FilterStack s;
  s.port.pend_power = true;
  hs::VTime power_done = 0, removal_done = 0;
  RF_RUN(s, [&] {
    PowerResult power;
    ASSERT_EQ(set_device_power(s, PowerDeviceD0, &power, false), STATUS_PENDING);
    ASSERT_NE(s.port.pending_power, nullptr);
    s.client().spawn("completer", [&] {
      s.rig.machine().sleep_for(50 * hs::kMillisecond);
      power_done = s.rig.machine().now();
      s.port.complete_power();
    });
    s.remove();
    removal_done = s.rig.machine().now();
  });
  EXPECT_GT(power_done, 0);
  EXPECT_GE(removal_done, power_done);
  EXPECT_EQ(s.node->state, hs::NodeState::Removed);
}

// After a surprise removal only cleanup, close and Plug and Play go down:
// cleanup is what ends the handle's requests in the driver below.
TEST(FilterFrame, AfterSurpriseRemovalOnlyCleanupCloseAndPlugAndPlayGoDown) {
  FilterStack s;
  std::vector<std::pair<std::string, NTSTATUS>> results;
  size_t from = 0;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    ASSERT_EQ(s.kernel().send_pnp(*s.node, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    from = s.port.calls.size();
    results.emplace_back("read", s.client().read(h, 4).status);
    results.emplace_back("write", s.client().write(h, "x").status);
    results.emplace_back("ioctl", s.client().ioctl(h, IOCTL_SERIAL_SET_DTR).status);
    results.emplace_back("rate", s.set_rate(h, 115200).status);
    results.emplace_back("cleanup", s.client().cleanup(h).status);
    PowerResult power;
    results.emplace_back("power", set_device_power(s, PowerDeviceD3, &power));
    results.emplace_back("close", s.client().close(h).status);
    results.emplace_back("remove", s.remove());
  });
  std::vector<std::pair<std::string, NTSTATUS>> expected = {
      {"read", STATUS_DELETE_PENDING},  {"write", STATUS_DELETE_PENDING},
      {"ioctl", STATUS_DELETE_PENDING}, {"rate", STATUS_DELETE_PENDING},
      {"cleanup", STATUS_SUCCESS},      {"power", STATUS_DELETE_PENDING},
      {"close", STATUS_SUCCESS},        {"remove", STATUS_SUCCESS}};
  EXPECT_EQ(results, expected);
  EXPECT_EQ(s.port.texts(from), (std::vector<std::string>{"CLEANUP", "CLOSE", "PNP 02"}));
}

// The start needs the lower driver's start and its capabilities.
TEST(FilterPnp, StartFailsWhenTheLowerStartOrCapabilitiesFail) {
  struct Case {
    const char* name;
    UCHAR minor;
    hs::BusAnswer answer;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"start ok", IRP_MN_QUERY_CAPABILITIES, hs::BusAnswer::succeed(), STATUS_SUCCESS},
      {"lower start fails", IRP_MN_START_DEVICE, hs::BusAnswer::fail(STATUS_NO_SUCH_DEVICE),
       STATUS_NO_SUCH_DEVICE},
      {"capabilities fail", IRP_MN_QUERY_CAPABILITIES,
       hs::BusAnswer::fail(STATUS_INVALID_DEVICE_REQUEST), STATUS_INVALID_DEVICE_REQUEST},
      {"capabilities untouched", IRP_MN_QUERY_CAPABILITIES, hs::BusAnswer::untouched(),
       STATUS_NOT_SUPPORTED},
  };
  for (const Case& k : cases) {
    FilterStack s;
    s.rig.bus().set_pnp_answer(k.minor, k.answer);
    hs::RunResult result = s.rig.run();
    ASSERT_TRUE(result.ok()) << k.name << ": " << result.report;
    NTSTATUS start = STATUS_PENDING;
    for (const hs::NodeRequest& r : s.node->history)
      if (r.major == IRP_MJ_PNP && r.minor == IRP_MN_START_DEVICE) start = r.status;
    EXPECT_EQ(start, k.expected) << k.name;
    EXPECT_EQ(s.port.count("PNP 09"), k.minor == IRP_MN_START_DEVICE ? 0u : 1u) << k.name;
  }
}

TEST(FilterPnp, StartFailsWhenNoCapabilitiesRequestCanBeAllocated) {
  FilterStack s;
  // The next request allocated after the start has gone down is the
  // filter's capabilities request.
  s.port.on_call = [&](const PortCall& c) {
    if (c.major == IRP_MJ_PNP && c.minor == IRP_MN_START_DEVICE) {
      auto& faults = s.rig.machine().faults();
      faults.fail_nth_at("irp", "alloc", faults.calls("irp") + 1);
    }
  };
  ASSERT_TRUE(s.rig.run().ok());
  NTSTATUS start = STATUS_PENDING;
  for (const hs::NodeRequest& r : s.node->history)
    if (r.major == IRP_MJ_PNP && r.minor == IRP_MN_START_DEVICE) start = r.status;
  EXPECT_EQ(start, STATUS_INSUFFICIENT_RESOURCES);
}

// Device power moves the state; a stop while powered down fails.
TEST(FilterPower, StopFailsOnlyWhilePoweredDown) {
  struct Case {
    const char* name;
    std::vector<DEVICE_POWER_STATE> states;  // set in order before the stop
    bool lower_fails_power;
    NTSTATUS stop;
  };
  const Case cases[] = {
      {"started", {}, false, STATUS_SUCCESS},
      {"D3", {PowerDeviceD3}, false, STATUS_DEVICE_POWER_FAILURE},
      {"D2 failed below still counts", {PowerDeviceD2}, true, STATUS_DEVICE_POWER_FAILURE},
      {"D1 then D0", {PowerDeviceD1, PowerDeviceD0}, false, STATUS_SUCCESS},
      {"D3 then D0 failed below",
       {PowerDeviceD3, PowerDeviceD0},
       true,
       STATUS_DEVICE_POWER_FAILURE},
  };
  for (const Case& k : cases) {
    FilterStack s;
    if (k.lower_fails_power)
      s.rig.bus().set_power_answer(IRP_MN_SET_POWER, hs::BusAnswer::fail(STATUS_UNSUCCESSFUL));
    NTSTATUS stop = STATUS_PENDING;
    size_t stops_below = 0;
    RF_RUN(s, [&] {
      for (DEVICE_POWER_STATE state : k.states) {
        PowerResult power;
        set_device_power(s, state, &power);
      }
      stop = s.kernel().send_pnp(*s.node, IRP_MN_STOP_DEVICE);
      stops_below = s.port.count("PNP 04");
    });
    EXPECT_EQ(stop, k.stop) << k.name;
    EXPECT_EQ(stops_below, k.stop == STATUS_DEVICE_POWER_FAILURE ? 0u : 1u) << k.name;
  }
}

TEST(FilterPnp, StopIsPassedDownInEveryOtherState) {
  FilterStack s;
  std::vector<NTSTATUS> stops;
  RF_RUN(s, [&] {
    stops.push_back(s.kernel().send_pnp(*s.node, IRP_MN_STOP_DEVICE));  // started
    stops.push_back(s.kernel().send_pnp(*s.node, IRP_MN_STOP_DEVICE));  // stopped
  });
  EXPECT_EQ(stops, (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
  EXPECT_EQ(s.port.count("PNP 04"), 2u);
}

// The debug switches: each bit breaks where it says, counted in the trace.
TEST(FilterSettings, BreakpointsBreakWhereTheirBitsSay) {
  struct Case {
    const char* name;
    std::optional<hs::RegistryValue> value;
    bool key_exists;
    size_t at_add;  // breaks before the first open
    size_t at_end;  // after two opens and one negotiation
  };
  const Case cases[] = {
      {"no values", std::nullopt, true, 0, 0},
      {"no hardware key", std::nullopt, false, 0, 0},
      {"add-device", hs::RegistryValue::dword("Breakpoints", 0x1), true, 1, 1},
      {"every open", hs::RegistryValue::dword("Breakpoints", 0x2), true, 0, 2},
      {"negotiation", hs::RegistryValue::dword("Breakpoints", 0x4), true, 0, 1},
      {"all", hs::RegistryValue::dword("Breakpoints", 0x7), true, 1, 4},
      {"two bytes are widened", hs::RegistryValue::binary("Breakpoints", {0x02, 0x00}), true, 0, 2},
      {"one byte is widened", hs::RegistryValue::binary("Breakpoints", {0x03}), true, 1, 3},
      {"longer data is ignored",
       hs::RegistryValue::binary("Breakpoints", {0x07, 0, 0, 0, 0x07, 0, 0, 0}), true, 0, 0},
  };
  for (const Case& k : cases) {
    FilterStack s({}, [&](hs::DeviceNodeSpec& spec) {
      spec.hardware_key_exists = k.key_exists;
      spec.hardware_key.clear();
      if (k.value) spec.hardware_key.push_back(*k.value);
      spec.hardware_key.push_back(hs::RegistryValue::dword("TraceScope", 0xFF));
    });
    size_t at_add = 99;
    RF_RUN(s, [&] {
      at_add = s.filter_breaks();
      for (int i = 0; i < 2; ++i) {
        Handle h = s.client().open();
        if (i == 0) s.set_rate(h, 115200);
        s.client().close(h);
      }
    });
    EXPECT_EQ(at_add, k.at_add) << k.name;
    EXPECT_EQ(s.filter_breaks(), k.at_end) << k.name;
    EXPECT_EQ(s.pool_held(), 0u) << k.name;
  }
}

// A value that cannot be read at an open keeps the setting read before.
TEST(FilterSettings, UnreadableValueKeepsThePreviousSetting) {
  FilterStack s({}, [](hs::DeviceNodeSpec& spec) {
    spec.hardware_key.push_back(hs::RegistryValue::dword("Breakpoints", 0x2));
  });
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    s.client().close(h);
    s.rig.machine().faults().fail_always("pool", "QX42");
    h = s.client().open();
    s.client().close(h);
    s.rig.machine().faults().clear();
  });
  EXPECT_EQ(s.filter_breaks(), 2u);
  EXPECT_EQ(s.pool_held(), 0u);
}

TEST(FilterFrame, AddDeviceFailsCleanlyWhenTheAttachFails) {
  FilterStack s;
  s.rig.machine().faults().fail_always("attach", "ratefilter");
  hs::RunResult result = s.rig.run();
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_NE(s.node->state, hs::NodeState::Started);
  EXPECT_EQ(s.pool_held(), 0u);
}

}  // namespace
}  // namespace rftest
