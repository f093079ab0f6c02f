// Power management: system requests turned into device requests through
// the capabilities map, the drain before a power-down, the release of held
// requests on the return to D0, the allocation failures at each site, and
// removal after a drain, also under many schedules.
#include <gtest/gtest.h>

#include "test_frame_support.h"

namespace hs::bridge_test {
namespace {

std::vector<uint8_t> read_timeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) {
  std::vector<uint8_t> record;
  for (uint32_t value : {interval, multiplier, constant, 0u, 0u}) {
    std::vector<uint8_t> bytes = le32(value);
    record.insert(record.end(), bytes.begin(), bytes.end());
  }
  return record;
}

// The states of the set-power requests the bus driver carried out, system
// and device alike, in order.
std::vector<ULONG> bus_power_sets(BusDriver& bus) {
  std::vector<ULONG> states;
  for (const BusRequest& request : bus.requests())
    if (request.major == IRP_MJ_POWER && request.minor == IRP_MN_SET_POWER &&
        NT_SUCCESS(request.status))
      states.push_back(request.power_state);
  return states;
}

TEST(BridgePower, BeforeTheStartRequestsPassDownUntouched) {
  StackOptions options;
  options.start = false;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    DevicePowerRequest request;
    EXPECT_TRUE(NT_SUCCESS(request.send(stack.node().pdo, IRP_MN_QUERY_POWER, PowerDeviceD3)));
    stack.machine().sleep_for(kMillisecond);
    EXPECT_TRUE(request.done);
    EXPECT_EQ(request.status, STATUS_SUCCESS);
    PBRIDGE_EXTENSION extension = stack.extension();
    EXPECT_EQ(extension->OutstandingIo, 1);
    EXPECT_EQ(extension->QueueMode, BRIDGE_HOLD_REQUESTS);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgePower, SleepAndWakeWithAReadOutstanding) {
  StackOptions options;
  options.rig.machine.time_limit = 60 * kSecond;
  options.rig.handset.asleep_at_power_on = false;  // answers the first command
  options.rig.handset.sleep_after = 0;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    Pending read = stack.client().send(handle, Request::read(6));  // no time-out: waits for data
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_FALSE(read.done());

    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    PBRIDGE_EXTENSION extension = stack.extension();
    EXPECT_EQ(extension->SystemPowerState, PowerSystemSleeping3);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(extension->QueueMode, BRIDGE_HOLD_REQUESTS);
    EXPECT_EQ(stack.kernel().device_power_state(stack.bridge()), PowerDeviceD3);
    EXPECT_EQ(stack.bus().power_state(), PowerDeviceD3);
    Pending write = stack.client().send(handle, Request::write("AT\r"));
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_FALSE(write.done());  // held while asleep

    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(extension->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(extension->QueueMode, BRIDGE_PASS_REQUESTS);
    EXPECT_EQ(stack.bus().power_state(), PowerDeviceD0);
    stack.client().wait(write);
    EXPECT_EQ(write.result().status, STATUS_SUCCESS);
    stack.client().wait(read);  // the handset's echo and answer fill it
    EXPECT_EQ(read.result().status, STATUS_SUCCESS);
    EXPECT_EQ(read.result().text(), "AT\r\r\nO");
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  // Each system request reached the bus before the device request made from it.
  EXPECT_EQ(bus_power_sets(stack.bus()), (std::vector<ULONG>{PowerSystemSleeping3, PowerDeviceD3,
                                                             PowerSystemWorking, PowerDeviceD0}));
  EXPECT_EQ(stack.held("Wdm "), 0u);
}

TEST(BridgePower, FullStackSleepsAndWakesWithAReadOutstanding) {
  StackOptions options;
  options.filters = {"ratefilter"};  // its start fills the bridge's power map
  options.rig.machine.time_limit = 60 * kSecond;
  options.rig.handset.asleep_at_power_on = false;
  options.rig.handset.sleep_after = 0;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    ASSERT_TRUE(handle.ok());
    Pending read = stack.client().send(handle, Request::read(3));
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.kernel().device_power_state(stack.bridge()), PowerDeviceD3);
    EXPECT_FALSE(read.done());
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(stack.client().write(handle, "AT\r").status, STATUS_SUCCESS);
    stack.client().wait(read);
    EXPECT_EQ(read.result().status, STATUS_SUCCESS);
    EXPECT_EQ(read.result().text(), "AT\r");
    EXPECT_EQ(stack.kernel().device_power_state(stack.bridge()), PowerDeviceD0);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.held("Wdm "), 0u);
  EXPECT_EQ(stack.held("QX42"), 0u);
}

TEST(BridgePower, QueryForD3HoldsTrafficUntilASetToD0) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    DevicePowerRequest query;
    query.send(stack.node().pdo, IRP_MN_QUERY_POWER, PowerDeviceD3);
    stack.machine().sleep_for(5 * kMillisecond);
    ASSERT_TRUE(query.done);
    EXPECT_EQ(query.status, STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
    std::vector<Pending> held;
    for (const char* bytes : {"1", "2", "3"})
      held.push_back(stack.client().send(handle, Request::write(bytes)));
    stack.machine().sleep_for(20 * kMillisecond);
    for (const Pending& request : held) EXPECT_FALSE(request.done());

    DevicePowerRequest set;
    set.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD0);
    for (const Pending& request : held) {
      stack.client().wait(request);
      EXPECT_EQ(request.result().status, STATUS_SUCCESS);
    }
    EXPECT_TRUE(set.done);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    stack.machine().sleep_for(20 * kMillisecond);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.rig().line_bytes("tx"), "123");
}

TEST(BridgePower, ReturnToD0LeavesRequestsHeldWhileAStopIsPending) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("s"));
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    stack.machine().sleep_for(10 * kMillisecond);
    EXPECT_FALSE(held.done());  // the pending stop still holds it
    EXPECT_EQ(stack.pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgePower, PowerDownWaitsForTheSecondOfTwoRequestsInProgressButNotForOne) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    EXPECT_EQ(
        stack.client().ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, read_timeouts(0, 0, 300)).status,
        STATUS_SUCCESS);
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));

    // One request in progress (the wait): the power-down goes on at once.
    DevicePowerRequest down;
    down.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD3);
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_TRUE(down.done);
    DevicePowerRequest up;
    up.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD0);
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_TRUE(up.done);

    // Two (the wait and a read that ends by its 300 ms time-out): it waits.
    Pending read = stack.client().send(handle, Request::read(4));
    stack.machine().sleep_for(5 * kMillisecond);
    DevicePowerRequest second;
    VTime sent = stack.machine().now();
    second.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD3);
    stack.machine().sleep_for(100 * kMillisecond);
    EXPECT_FALSE(second.done);
    stack.client().wait(read);
    EXPECT_EQ(read.result().status, STATUS_TIMEOUT);
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_TRUE(second.done);
    EXPECT_GE(stack.machine().now() - sent, 250 * kMillisecond);
    EXPECT_FALSE(wait.done());

    DevicePowerRequest back;
    back.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD0);
    stack.machine().sleep_for(5 * kMillisecond);
    stack.client().close(handle);
    EXPECT_EQ(wait.result().status, STATUS_CANCELLED);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgePower, FailedSystemRequestBelowMakesNoDeviceRequest) {
  BridgeStack stack;
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    stack.bus().set_power_answer(IRP_MN_SET_POWER, BusAnswer::fail(STATUS_DEVICE_POWER_FAILURE));
    status = stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3);
    stack.bus().reset_answers();
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, STATUS_DEVICE_POWER_FAILURE);
  EXPECT_TRUE(bus_power_sets(stack.bus()).empty());  // the one it failed is not counted
}

TEST(BridgePower, FailedStepUpBelowChangesNothing) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    stack.bus().set_power_answer(IRP_MN_SET_POWER, BusAnswer::fail(STATUS_DEVICE_POWER_FAILURE));
    DevicePowerRequest up;
    up.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD0);
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_TRUE(up.done);
    EXPECT_EQ(up.status, STATUS_DEVICE_POWER_FAILURE);
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD3);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_HOLD_REQUESTS);
    stack.bus().reset_answers();
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// Allocation failures at each site of the power path: the system request
// fails with the site's status, nothing stays allocated, and a later return
// to working state lets traffic flow again.
struct PowerFailure {
  const char* name;
  std::function<void(FaultPlan&)> inject;
  NTSTATUS status;
  DEVICE_POWER_STATE device_state;  // recorded by the bridge afterwards
};

class BridgePowerFailure : public ::testing::TestWithParam<PowerFailure> {};

TEST_P(BridgePowerFailure, FailsTheSleepAndLeaksNothing) {
  BridgeStack stack;
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    GetParam().inject(stack.faults());
    status = stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3);
    stack.faults().clear();
    EXPECT_EQ(stack.held("Wdm "), 0u);
    EXPECT_EQ(stack.extension()->DevicePowerState, GetParam().device_state);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
    EXPECT_EQ(stack.client().write(handle, "AT\r").status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, GetParam().status);
}

// The first "Wdm " block of a run is the create's registry query record.
INSTANTIATE_TEST_SUITE_P(
    Sites, BridgePowerFailure,
    ::testing::Values(
        PowerFailure{"Context", [](FaultPlan& f) { f.fail_nth_at("pool", "Wdm ", 2); },
                     STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD0},
        PowerFailure{"DeviceRequest", [](FaultPlan& f) { f.fail_always("power", "request"); },
                     STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD0},
        PowerFailure{"DrainBlock", [](FaultPlan& f) { f.fail_nth_at("pool", "Wdm ", 3); },
                     STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD3},
        PowerFailure{"DrainWorkItem", [](FaultPlan& f) { f.fail_nth_at("pool", "Wdm ", 4); },
                     STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD3}),
    [](const auto& info) { return std::string(info.param.name); });

// The return to working state whose device request cannot be made: the
// system request reports the failure, but the bridge is back in D0 and the
// write held while the system slept is carried out.
class BridgeWakeFailure : public ::testing::TestWithParam<PowerFailure> {};

TEST_P(BridgeWakeFailure, ReleasesTheHeldRequestsAnyway) {
  BridgeStack stack;
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("AT\r"));
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_FALSE(held.done());
    GetParam().inject(stack.faults());
    status = stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking);
    stack.faults().clear();
    EXPECT_EQ(stack.extension()->DevicePowerState, GetParam().device_state);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    EXPECT_EQ(stack.held("Wdm "), 0u);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, GetParam().status);
  EXPECT_EQ(stack.rig().line_bytes("tx"), "AT\r");
}

// "Wdm " blocks: the create's registry record, the sleep's context, drain
// block and work item, then the wake's context.
INSTANTIATE_TEST_SUITE_P(
    Sites, BridgeWakeFailure,
    ::testing::Values(PowerFailure{"Context",
                                   [](FaultPlan& f) { f.fail_nth_at("pool", "Wdm ", 5); },
                                   STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD0},
                      PowerFailure{"DeviceRequest",
                                   [](FaultPlan& f) { f.fail_always("power", "request"); },
                                   STATUS_INSUFFICIENT_RESOURCES, PowerDeviceD0}),
    [](const auto& info) { return std::string(info.param.name); });

// A power-down the lower drivers refuse has not happened: the state before
// it is restored and reported, and the requests held during the drain are
// carried out.
TEST(BridgePower, PowerDownRefusedBelowRestoresD0AndReleasesHeldRequests) {
  for (UCHAR minor : {IRP_MN_SET_POWER, IRP_MN_QUERY_POWER}) {
    SCOPED_TRACE(minor == IRP_MN_SET_POWER ? "set" : "query");
    BridgeStack stack;
    RunResult result = stack.run([&] {
      ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
      Handle handle = stack.client().open();
      // Keeps the drain waiting until the write below has been held.
      Pending first = stack.client().send(handle, Request::write("1"));
      Pending second = stack.client().send(handle, Request::write("2"));
      stack.bus().set_power_answer(minor, BusAnswer::fail(STATUS_DEVICE_POWER_FAILURE));
      DevicePowerRequest down;
      down.send(stack.node().pdo, minor, PowerDeviceD3);
      Pending held = stack.client().send(handle, Request::write("3"));
      for (const Pending* request : {&first, &second, &held}) {
        stack.client().wait(*request);
        EXPECT_EQ(request->result().status, STATUS_SUCCESS);
      }
      stack.machine().sleep_for(5 * kMillisecond);
      EXPECT_TRUE(down.done);
      EXPECT_EQ(down.status, STATUS_DEVICE_POWER_FAILURE);
      EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
      EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
      EXPECT_EQ(stack.extension()->OutstandingIo, 1);
      stack.bus().reset_answers();
      stack.client().close(handle);
      stack.pnp(IRP_MN_REMOVE_DEVICE);
    });
    ASSERT_TRUE(result.ok()) << result.report;
    EXPECT_EQ(stack.rig().line_bytes("tx"), "123");
  }
}

// A device powered down while stopped is working again once started: the
// start records D0 and the requests held since the query are carried out.
TEST(BridgePower, StartAfterAPowerDownWhileStoppedReturnsToD0) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(stack.pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    DevicePowerRequest down;
    down.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD3);
    stack.machine().sleep_for(5 * kMillisecond);
    EXPECT_EQ(down.status, STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("AT\r"));
    EXPECT_EQ(stack.pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.rig().line_bytes("tx"), "AT\r");
}

TEST(BridgePower, RemovalAfterADrainStillWaitsForRequestsInProgress) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    // Nothing in progress: the drain takes the count through 0.
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    stack.kernel().queue_pnp(stack.node(), IRP_MN_REMOVE_DEVICE);
    stack.machine().sleep_for(50 * kMillisecond);
    EXPECT_NE(stack.node().state, NodeState::Removed);
    EXPECT_FALSE(wait.done());
    stack.client().close(handle);
    stack.kernel().wait_pnp_idle();
    EXPECT_EQ(wait.result().status, STATUS_CANCELLED);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
  EXPECT_EQ(stack.held("Wdm "), 0u);
  EXPECT_EQ(stack.held("PBRG"), 0u);
}

// Sleep and wake while the client reads, writes and waits from its own
// threads: every request completes exactly once, nothing leaks, and the
// stack ends in D0 and is removed cleanly.
void race_sleep(RigOptions rig) {
  StackOptions options;
  options.rig = rig;
  options.rig.machine.time_limit = 60 * kSecond;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    ASSERT_EQ(stack.query_capabilities(), STATUS_SUCCESS);
    Handle handle = stack.client().open();
    stack.client().ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, read_timeouts(0, 0, 15));
    EmuThread& reader = stack.client().spawn("reader", [&] {
      for (int i = 0; i < 3; ++i) stack.client().read(handle, 8);
    });
    std::optional<Pending> wait;
    EmuThread& writer = stack.client().spawn("writer", [&] {
      wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
      for (int i = 0; i < 3; ++i) stack.client().write(handle, "AT\r");
    });
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    while (!reader.finished() || !writer.finished()) stack.machine().sleep_for(kMillisecond);
    EXPECT_EQ(stack.extension()->DevicePowerState, PowerDeviceD0);
    stack.client().close(handle);  // ends the wait unless an echo did
    EXPECT_TRUE(wait->done());
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << stack.machine().policy().describe() << "\n" << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
  EXPECT_EQ(stack.held("Wdm "), 0u);
}

TEST(BridgePowerExplore, SleepAgainstReadsWritesAndWaitsRandom) {
  for (uint64_t seed = 1; seed <= 30; ++seed) race_sleep(seeded(PolicyKind::Random, seed));
}

TEST(BridgePowerExplore, SleepAgainstReadsWritesAndWaitsPct) {
  for (uint64_t seed = 1; seed <= 30; ++seed) race_sleep(seeded(PolicyKind::Pct, seed));
}

}  // namespace
}  // namespace hs::bridge_test
