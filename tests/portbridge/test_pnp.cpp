// Plug and Play and held requests: parking before the start and during a
// pending stop or removal, release in arrival order, failure at removal,
// cancel and cleanup of held requests, the query waits, the cancel steps,
// the capabilities and device-state queries, and removal with requests in
// flight under many schedules.
#include <gtest/gtest.h>

#include "test_frame_support.h"

namespace hs::bridge_test {
namespace {

StackOptions not_started() {
  StackOptions options;
  options.start = false;
  return options;
}

TEST(BridgeHeld, RequestsBeforeTheStartLeaveInArrivalOrder) {
  BridgeStack stack(not_started());
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    std::vector<Pending> writes;
    for (const char* bytes : {"A", "B", "C"})
      writes.push_back(stack.client().send(handle, Request::write(bytes)));
    stack.machine().sleep_for(10 * kMillisecond);
    for (const Pending& write : writes) EXPECT_FALSE(write.done());
    EXPECT_EQ(stack.pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    for (const Pending& write : writes) {
      stack.client().wait(write);
      EXPECT_EQ(write.result().status, STATUS_SUCCESS);
    }
    stack.machine().sleep_for(50 * kMillisecond);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.rig().line_bytes("tx"), "ABC");
}

struct HeldKind {
  const char* name;
  Request request;
};

class BridgeHeldAtRemoval : public ::testing::TestWithParam<HeldKind> {};

TEST_P(BridgeHeldAtRemoval, FailsWithDeletePendingWhenRemovedInsteadOfStarted) {
  BridgeStack stack(not_started());
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending held = stack.client().send(handle, GetParam().request);
    stack.client().close(handle);  // close does not touch held requests
    EXPECT_FALSE(held.done());
    EXPECT_EQ(stack.pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(held.done());
    EXPECT_EQ(held.result().status, STATUS_DELETE_PENDING);
    EXPECT_EQ(held.result().info, 0u);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BridgeHeldAtRemoval,
    ::testing::Values(HeldKind{"Read", Request::read(8)}, HeldKind{"Write", Request::write("AT")},
                      HeldKind{"Control", Request::ioctl_out(IOCTL_SERIAL_GET_BAUD_RATE, 4)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BridgeHeld, CancelledHeldRequestCompletesOnceWithCancelled) {
  BridgeStack stack(not_started());
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending first = stack.client().send(handle, Request::write("1"));
    Pending second = stack.client().send(handle, Request::write("2"));
    EXPECT_TRUE(stack.client().cancel(first));
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.result().status, STATUS_CANCELLED);
    EXPECT_EQ(first.result().info, 0u);
    EXPECT_FALSE(second.done());
    stack.pnp(IRP_MN_START_DEVICE);
    stack.client().wait(second);
    EXPECT_EQ(second.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgeHeld, RequestCancelledBeforeItIsParkedIsNotLeftParked) {
  BridgeStack stack(not_started());
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    // Sent at DISPATCH_LEVEL, the write waits for a worker thread before it
    // is parked; the cancel comes first and finds no cancel routine yet.
    Pending write = stack.client().send(handle, Request::write("x").at(DISPATCH_LEVEL));
    EXPECT_FALSE(stack.client().cancel(write));
    stack.machine().sleep_for(5 * kMillisecond);
    ASSERT_TRUE(write.done());
    EXPECT_EQ(write.result().status, STATUS_CANCELLED);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgeHeld, CleanupCancelsOnlyTheCleanedUpHandlesRequests) {
  BridgeStack stack(not_started());
  RunResult result = stack.run([&] {
    Handle a = stack.client().open();
    Handle b = stack.client().open();  // refused while a holds the port, but a file object
    ASSERT_NE(b.file, nullptr);
    Pending a1 = stack.client().send(a, Request::write("a"));
    Pending b1 = stack.client().send(b, Request::write("b"));
    Pending a2 = stack.client().send(a, Request::ioctl_out(IOCTL_SERIAL_GET_BAUD_RATE, 4));
    Completion cleanup = stack.client().cleanup(b);
    EXPECT_EQ(cleanup.status, STATUS_SUCCESS);
    ASSERT_TRUE(b1.done());
    EXPECT_EQ(b1.result().status, STATUS_CANCELLED);
    EXPECT_FALSE(a1.done());
    EXPECT_FALSE(a2.done());
    // A cleanup with nothing held succeeds too.
    EXPECT_EQ(stack.client().cleanup(b).status, STATUS_SUCCESS);
    stack.pnp(IRP_MN_START_DEVICE);
    stack.client().wait(a1);
    stack.client().wait(a2);
    EXPECT_EQ(a1.result().status, STATUS_SUCCESS);
    EXPECT_EQ(a2.result().status, STATUS_SUCCESS);
    stack.client().cleanup(a);
    stack.client().close(a);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// The cleanup of the handle that holds the port ends what only the port
// would end: a read with no time-outs and a wait for an event that does not
// come. The close that used to end them comes only after every request of
// the handle has ended.
TEST(BridgeHeld, CleanupOfThePortsHandleEndsItsReadAndWaitInProgress) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    EXPECT_EQ(
        stack.client().ioctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RXFLAG)).status,
        STATUS_SUCCESS);
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    Pending read = stack.client().send(handle, Request::read(6));
    stack.machine().sleep_for(50 * kMillisecond);
    EXPECT_FALSE(wait.done());
    EXPECT_FALSE(read.done());
    EXPECT_EQ(stack.client().cleanup(handle).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.done());
    ASSERT_TRUE(read.done());
    EXPECT_EQ(wait.result().status, STATUS_CANCELLED);
    EXPECT_EQ(read.result().status, STATUS_CANCELLED);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// Cancel, cleanup and the drain racing for the same held requests: each
// request comes back exactly once (the client's accounting checks it), as
// cancelled or carried out, whatever the schedule.
void race_cancel_cleanup_and_drain(RigOptions rig) {
  StackOptions options = not_started();
  options.rig = rig;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    std::vector<Pending> writes;
    for (int i = 0; i < 4; ++i)
      writes.push_back(stack.client().send(handle, Request::write(std::string(1, 'a' + i))));
    EmuThread& canceller = stack.client().spawn("canceller", [&] {
      stack.client().cancel(writes[1]);
      stack.client().cancel(writes[3]);
      stack.client().cleanup(handle);
    });
    stack.pnp(IRP_MN_START_DEVICE);
    for (const Pending& write : writes) {
      stack.client().wait(write);
      NTSTATUS status = write.result().status;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    }
    while (!canceller.finished()) stack.machine().sleep_for(kMillisecond);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << stack.machine().policy().describe() << "\n" << result.report;
  EXPECT_EQ(stack.held("PBRG"), 0u);
}

TEST(BridgeHeldExplore, CancelAndCleanupAgainstTheDrainRandom) {
  for (uint64_t seed = 1; seed <= 40; ++seed)
    race_cancel_cleanup_and_drain(seeded(PolicyKind::Random, seed));
}

TEST(BridgeHeldExplore, CancelAndCleanupAgainstTheDrainPct) {
  for (uint64_t seed = 1; seed <= 40; ++seed)
    race_cancel_cleanup_and_drain(seeded(PolicyKind::Pct, seed));
}

TEST(BridgePnp, SurpriseRemovalFailsHeldRequestsOnceAndLetsNewOnesThrough) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("x"));
    EXPECT_FALSE(held.done());
    EXPECT_EQ(stack.pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    ASSERT_TRUE(held.done());
    EXPECT_EQ(held.result().status, STATUS_DELETE_PENDING);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_FAIL_REQUESTS);
    // Fail mode parks nothing: a new write is carried out.
    EXPECT_EQ(stack.client().write(handle, "y").status, STATUS_SUCCESS);
    stack.client().close(handle);
    EXPECT_EQ(stack.pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
}

class BridgeCancelWithoutQuery : public ::testing::TestWithParam<UCHAR> {};

TEST_P(BridgeCancelWithoutQuery, SucceedsWithoutReachingTheBus) {
  BridgeStack stack;
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    status = stack.pnp(GetParam());
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_STARTED);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_PASS_REQUESTS);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, STATUS_SUCCESS);
  for (const BusRequest& request : stack.bus().requests())
    EXPECT_FALSE(request.major == IRP_MJ_PNP && request.minor == GetParam());
}

INSTANTIATE_TEST_SUITE_P(Minors, BridgeCancelWithoutQuery,
                         ::testing::Values(IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE));

// Query, then cancel: the query waits for requests in progress (here a
// pending WAIT_ON_MASK), holds new ones meanwhile, and the cancel returns
// to the state before and releases them.
struct QueryCase {
  UCHAR query;
  UCHAR cancel;
  BRIDGE_PNP_STATE pending;
};

class BridgeQueryAndCancel : public ::testing::TestWithParam<QueryCase> {};

TEST_P(BridgeQueryAndCancel, QueryWaitsForRequestsInProgressAndCancelReleasesHeld) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    size_t sent = stack.node().history.size();
    stack.kernel().queue_pnp(stack.node(), GetParam().query);
    stack.machine().sleep_for(20 * kMillisecond);
    EXPECT_EQ(stack.extension()->PnpState, GetParam().pending);
    EXPECT_FALSE(stack.kernel().pnp_idle());  // still waiting for the wait
    Pending held = stack.client().send(handle, Request::write("h"));
    // A received character ends the wait, and that lets the query through.
    stack.rig().handset().send_raw("R");
    stack.client().wait(wait);
    EXPECT_EQ(wait.result().status, STATUS_SUCCESS);
    stack.kernel().wait_pnp_idle();
    ASSERT_GT(stack.node().history.size(), sent);
    EXPECT_EQ(stack.node().history.back().status, STATUS_SUCCESS);
    EXPECT_FALSE(held.done());

    EXPECT_EQ(stack.pnp(GetParam().cancel), STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_STARTED);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// A request in progress that never ends by itself (a WAIT_ON_MASK with no
// event coming) does not hold the Plug and Play thread for ever: the query
// is refused with STATUS_DEVICE_BUSY after its time limit, the device goes
// back to started and the requests held meanwhile are carried out.
TEST_P(BridgeQueryAndCancel, QueryRefusedWhenARequestInProgressNeverEnds) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    stack.kernel().queue_pnp(stack.node(), GetParam().query);
    stack.machine().sleep_for(20 * kMillisecond);
    Pending held = stack.client().send(handle, Request::write("h"));
    stack.machine().sleep_for(4 * kSecond);
    EXPECT_FALSE(held.done());
    EXPECT_FALSE(stack.kernel().pnp_idle());
    stack.kernel().wait_pnp_idle();
    EXPECT_EQ(stack.node().history.back().status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_STARTED);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    EXPECT_FALSE(wait.done());
    EXPECT_EQ(stack.client().ioctl(handle, IOCTL_SERIAL_SET_WAIT_MASK, le32(0)).status,
              STATUS_SUCCESS);
    stack.client().wait(wait);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.rig().line_bytes("tx"), "h");
}

INSTANTIATE_TEST_SUITE_P(
    Queries, BridgeQueryAndCancel,
    ::testing::Values(
        QueryCase{IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, BRIDGE_STOP_PENDING},
        QueryCase{IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, BRIDGE_REMOVE_PENDING}));

TEST(BridgePnp, FailedCancelBelowKeepsTheDevicePendingWithRequestsHeld) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("h"));
    stack.bus().set_pnp_answer(IRP_MN_CANCEL_STOP_DEVICE, BusAnswer::fail(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(stack.pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_STOP_PENDING);
    stack.machine().sleep_for(10 * kMillisecond);
    EXPECT_FALSE(held.done());
    stack.bus().reset_answers();
    EXPECT_EQ(stack.pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST(BridgePnp, StopAndStartAgainReleaseTheRequestsHeldSinceTheQuery) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    Pending held = stack.client().send(handle, Request::write("s"));
    EXPECT_EQ(stack.pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_STOPPED);
    EXPECT_EQ(stack.extension()->QueueMode, BRIDGE_HOLD_REQUESTS);
    EXPECT_FALSE(held.done());
    EXPECT_EQ(stack.pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    stack.client().wait(held);
    EXPECT_EQ(held.result().status, STATUS_SUCCESS);
    // Reads work after the new start (the read queue was set up again).
    stack.client().ioctl(handle, IOCTL_SERIAL_SET_TIMEOUTS, [] {
      std::vector<uint8_t> t = le32(0);
      for (uint32_t v : {0u, 20u, 0u, 0u}) {
        auto b = le32(v);
        t.insert(t.end(), b.begin(), b.end());
      }
      return t;
    }());
    EXPECT_EQ(stack.client().read(handle, 4).status, STATUS_TIMEOUT);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

struct CapabilitiesCase {
  const char* name;
  USHORT version;
  USHORT size;
  bool bus_fails;
  NTSTATUS status;
  bool copied;
};

class BridgeCapabilities : public ::testing::TestWithParam<CapabilitiesCase> {};

TEST_P(BridgeCapabilities, CopiesOnlyAGoodAnswerOfAGoodRecord) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    PBRIDGE_EXTENSION extension = stack.extension();
    RtlZeroMemory(&extension->Capabilities, sizeof(DEVICE_CAPABILITIES));
    if (GetParam().bus_fails)
      stack.bus().set_pnp_answer(IRP_MN_QUERY_CAPABILITIES, BusAnswer::fail(STATUS_NOT_SUPPORTED));
    size_t bus_before = stack.bus().requests().size();
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Version = GetParam().version;
    capabilities.Size = GetParam().size;
    EXPECT_EQ(BridgeStack::send_capabilities_query(stack.bridge(), capabilities),
              GetParam().status);
    bool passed_down = stack.bus().requests().size() > bus_before;
    EXPECT_EQ(passed_down, GetParam().version == 1 && GetParam().size >= 64);
    EXPECT_EQ(extension->Capabilities.DeviceState[PowerSystemSleeping3],
              GetParam().copied ? stack.bus().capabilities().DeviceState[PowerSystemSleeping3]
                                : PowerDeviceUnspecified);
    stack.bus().reset_answers();
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Records, BridgeCapabilities,
    ::testing::Values(CapabilitiesCase{"Good", 1, 64, false, STATUS_SUCCESS, true},
                      CapabilitiesCase{"Version2", 2, 64, false, STATUS_UNSUCCESSFUL, false},
                      CapabilitiesCase{"Size60", 1, 60, false, STATUS_UNSUCCESSFUL, false},
                      CapabilitiesCase{"FailedBelow", 1, 64, true, STATUS_NOT_SUPPORTED, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BridgePnp, DeviceStateQuerySucceedsWhateverTheBusAnswers) {
  BridgeStack stack;
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    stack.bus().set_pnp_answer(IRP_MN_QUERY_PNP_DEVICE_STATE,
                               BusAnswer::fail(STATUS_NOT_SUPPORTED));
    status = stack.pnp(IRP_MN_QUERY_PNP_DEVICE_STATE);
    stack.bus().reset_answers();
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(BridgePnp, RemovalWaitsForTheRequestInProgress) {
  BridgeStack stack;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    Pending wait = stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    stack.kernel().queue_pnp(stack.node(), IRP_MN_REMOVE_DEVICE);
    stack.machine().sleep_for(20 * kMillisecond);
    EXPECT_NE(stack.node().state, NodeState::Removed);
    ASSERT_NE(stack.bridge(), nullptr);
    EXPECT_EQ(stack.extension()->PnpState, BRIDGE_DELETED);
    // Plug and Play and power requests are refused from now on.
    DevicePowerRequest power;
    EXPECT_TRUE(NT_SUCCESS(power.send(stack.node().pdo, IRP_MN_SET_POWER, PowerDeviceD0)));
    stack.machine().sleep_for(kMillisecond);
    EXPECT_TRUE(power.done);
    EXPECT_EQ(power.status, STATUS_DELETE_PENDING);
    stack.client().close(handle);  // ends the wait, the removal goes on
    stack.kernel().wait_pnp_idle();
    EXPECT_EQ(wait.result().status, STATUS_CANCELLED);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
  EXPECT_EQ(stack.held("PBRG"), 0u);
}

// Query-remove and removal while the client's requests are in flight: each
// request completes exactly once, as carried out or refused, and the device
// goes only once every reference is back.
void race_removal(RigOptions rig) {
  StackOptions options;
  options.rig = rig;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    std::vector<Pending> sent;
    EmuThread& sender = stack.client().spawn("sender", [&] {
      for (int i = 0; i < 3; ++i) {
        sent.push_back(stack.client().send(handle, Request::write("w")));
        sent.push_back(
            stack.client().send(handle, Request::ioctl_out(IOCTL_SERIAL_GET_BAUD_RATE, 4)));
      }
    });
    EXPECT_EQ(stack.pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    while (!sender.finished()) stack.machine().sleep_for(kMillisecond);
    stack.client().close(handle);
    EXPECT_EQ(stack.pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    for (const Pending& request : sent) {
      ASSERT_TRUE(request.done());
      NTSTATUS status = request.result().status;
      EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DELETE_PENDING)
          << std::hex << status;
    }
  });
  ASSERT_TRUE(result.ok()) << stack.machine().policy().describe() << "\n" << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Removed);
}

TEST(BridgePnpExplore, RemovalWithRequestsInFlightRandom) {
  for (uint64_t seed = 1; seed <= 40; ++seed) race_removal(seeded(PolicyKind::Random, seed));
}

TEST(BridgePnpExplore, RemovalWithRequestsInFlightPct) {
  for (uint64_t seed = 1; seed <= 40; ++seed) race_removal(seeded(PolicyKind::Pct, seed));
}

}  // namespace
}  // namespace hs::bridge_test
