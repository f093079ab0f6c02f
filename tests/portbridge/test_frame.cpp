// The bridge's frame: loading, add-device, the outstanding-request count as
// the Plug and Play requests see it, the synchronous call of the lower
// driver, and a whole life of the device with nothing left in the pool.
#include <gtest/gtest.h>

#include "test_frame_support.h"

namespace hs::bridge_test {
namespace {

TEST(BridgeFrame, WholeLifeOnCom3LeavesNothingInThePool) {
  StackOptions options;
  options.rig.port = "COM3";
  options.attached_to = "Communications Port (COM3)";
  BridgeStack stack(options);
  std::vector<NTSTATUS> statuses;
  RunResult result = stack.run([&] {
    Handle handle = stack.client().open();
    EXPECT_TRUE(handle.ok());
    auto port = stack.rig().vcomm().snapshot("COM3");
    ASSERT_TRUE(port.has_value());
    EXPECT_TRUE(port->open);
    EXPECT_EQ(stack.client().close(handle).status, STATUS_SUCCESS);
    EXPECT_FALSE(stack.rig().vcomm().snapshot("COM3")->open);
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE})
      statuses.push_back(stack.pnp(minor));
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(statuses, std::vector<NTSTATUS>(5, STATUS_SUCCESS));
  EXPECT_EQ(stack.node().state, NodeState::Removed);
  EXPECT_EQ(stack.held("PBRG"), 0u);
  EXPECT_EQ(stack.held("Wdm "), 0u);

  // Each step went through the bridge and reached the bus driver.
  std::vector<UCHAR> minors;
  for (const BusRequest& request : stack.bus().requests())
    if (request.major == IRP_MJ_PNP) minors.push_back(request.minor);
  for (UCHAR minor : {IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,
                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE})
    EXPECT_NE(std::find(minors.begin(), minors.end(), minor), minors.end()) << int(minor);
  bool opened = false, closed = false;
  for (const TraceEvent& event : stack.rig().events("vcomm")) {
    opened |= event.str("svc") == "OpenComm" && event.num("ret") != -1 && event.num("ret") != -2;
    closed |= event.str("svc") == "CloseComm";
  }
  EXPECT_TRUE(opened);
  EXPECT_TRUE(closed);
}

// A whole life (load, open and close, sleep and wake, removal, unload) with
// the n-th pool allocation failing, for every n that the life reaches: the
// failure shows only in a status, and nothing stays in the pool (the
// verifier also checks the driver's pool when it is unloaded).
TEST(BridgeFrame, EachAllocationFailingInTurnLeaksNothing) {
  uint64_t n = 1;
  for (;; ++n) {
    SCOPED_TRACE("pool allocation " + std::to_string(n));
    BridgeStack stack;
    stack.faults().fail_nth("pool", n);
    RunResult result = stack.run([&] {
      if (stack.bridge() == nullptr) return;  // the load itself failed
      Handle handle = stack.client().open();
      if (handle.ok()) stack.client().close(handle);
      stack.query_capabilities();
      stack.system_power(IRP_MN_SET_POWER, PowerSystemSleeping3);
      stack.system_power(IRP_MN_SET_POWER, PowerSystemWorking);
      handle = stack.client().open();
      if (handle.ok()) stack.client().close(handle);
      stack.pnp(IRP_MN_REMOVE_DEVICE);
    });
    ASSERT_TRUE(result.ok()) << result.report;
    EXPECT_EQ(stack.held("PBRG"), 0u);
    EXPECT_EQ(stack.held("Wdm "), 0u);
    if (stack.faults().failures() == 0) break;  // past the last allocation
  }
  // Registry path; per open a query record and two queues; per sleep a
  // context, a drain block and its work item; per wake a context.
  EXPECT_GE(n, 12u);  // eleven allocations, each failed once
}

TEST(BridgeFrame, AddDeviceLeavesTheDeviceNotStartedWithOnlyItsOwnReference) {
  StackOptions options;
  options.start = false;
  BridgeStack stack(options);
  RunResult result = stack.run([&] {
    PBRIDGE_EXTENSION extension = stack.extension();
    ASSERT_NE(extension, nullptr);
    PDEVICE_OBJECT device = stack.bridge();
    EXPECT_EQ(extension->OutstandingIo, 1);
    EXPECT_NE(KeReadStateEvent(&extension->StopEvent), 0);
    EXPECT_EQ(KeReadStateEvent(&extension->RemoveEvent), 0);
    EXPECT_EQ(extension->QueueMode, BRIDGE_HOLD_REQUESTS);
    EXPECT_EQ(extension->PnpState, BRIDGE_NOT_STARTED);
    EXPECT_EQ(extension->Self, device);
    EXPECT_EQ(extension->Pdo, stack.node().pdo);
    EXPECT_EQ(extension->LowerDevice, stack.node().pdo);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(device->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(device->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
              (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(stack.kernel().device_power_state(device), PowerDeviceD0);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// Failures while the driver loads or adds its device: the node fails to
// install and nothing of the bridge is left behind.
struct LoadFailure {
  const char* name;
  std::function<void(FaultPlan&)> inject;
};

class BridgeLoadFailure : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(BridgeLoadFailure, LeavesNoDeviceAndNoPool) {
  StackOptions options;
  BridgeStack stack(options);
  GetParam().inject(stack.faults());
  RunResult result = stack.run([] {});
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().state, NodeState::Failed);
  EXPECT_EQ(stack.bridge(), nullptr);
  PDRIVER_OBJECT driver = stack.kernel().find_driver("portbridge");
  if (driver != nullptr) {
    EXPECT_EQ(driver->DeviceObject, nullptr);
  }
  EXPECT_EQ(stack.held("Wdm "), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Sites, BridgeLoadFailure,
    ::testing::Values(
        LoadFailure{"RegistryPathCopy", [](FaultPlan& f) { f.fail_nth_at("pool", "PBRG", 1); }},
        LoadFailure{"CreateDevice", [](FaultPlan& f) { f.fail_always("create", "portbridge"); }},
        LoadFailure{"Attach", [](FaultPlan& f) { f.fail_always("attach", "portbridge"); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BridgeFrame, FailedAttachAnswersNoSuchDevice) {
  BridgeStack stack;
  stack.faults().fail_always("attach", "portbridge");
  RunResult result = stack.run([] {});
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(stack.node().last_status, STATUS_NO_SUCH_DEVICE);
}

// The start is carried out with BridgeForwardAndWait: the lower driver's
// answer decides, whether it completes at once or later from a DPC.
struct StartCase {
  const char* name;
  bool lower_pends;
  bool lower_fails;
};

class BridgeStart : public ::testing::TestWithParam<StartCase> {};

TEST_P(BridgeStart, CompletesWithTheLowerDriversStatus) {
  StackOptions options;
  options.start = false;
  BridgeStack stack(options);
  NTSTATUS status = STATUS_PENDING;
  RunResult result = stack.run([&] {
    stack.kernel().set_forced_pending(stack.node().pdo, GetParam().lower_pends);
    if (GetParam().lower_fails)
      stack.bus().set_pnp_answer(IRP_MN_START_DEVICE, BusAnswer::fail(STATUS_DEVICE_NOT_READY));
    Handle handle = stack.client().open();
    Pending write = stack.client().send(handle, Request::write("AT\r"));
    status = stack.pnp(IRP_MN_START_DEVICE);
    if (GetParam().lower_fails) {
      // A stack that fails to start is torn down: the parked write is
      // refused, and the port that the handle still holds is closed.
      ASSERT_TRUE(write.done());
      EXPECT_EQ(write.result().status, STATUS_DELETE_PENDING);
      EXPECT_EQ(stack.bridge(), nullptr);
      EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->open);
      EXPECT_FALSE(stack.rig().vcomm().snapshot("COM2")->notification);
      return;
    }
    stack.kernel().set_forced_pending(stack.node().pdo, false);
    PBRIDGE_EXTENSION extension = stack.extension();
    EXPECT_EQ(extension->PnpState, BRIDGE_STARTED);
    EXPECT_EQ(extension->QueueMode, BRIDGE_PASS_REQUESTS);
    stack.client().wait(write);
    EXPECT_EQ(write.result().status, STATUS_SUCCESS);
    stack.client().close(handle);
    stack.pnp(IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(status, GetParam().lower_fails ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS);
  EXPECT_EQ(stack.held("PBRG"), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lower, BridgeStart,
                         ::testing::Values(StartCase{"AtOnce", false, false},
                                           StartCase{"Pending", true, false},
                                           StartCase{"FailsAtOnce", false, true},
                                           StartCase{"FailsPending", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace hs::bridge_test
