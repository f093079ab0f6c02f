// Driver loading and the Plug and Play and power managers, end to end with
// the test drivers: install, start, requests through the stack, system and
// device power, removal with unload, and the failures on the way.
#include <ntddser.h>

#include "ke_fixture.h"

namespace hs::test {
namespace {

TEST(KernelLoader, LoadsAnImageOnceAndUnloadsItWhenItHasNoDevices) {
  KernelFixture f;
  PDRIVER_OBJECT driver = f.kernel.load_driver("pt_filter");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(f.kernel.load_driver("pt_filter"), driver);
  EXPECT_EQ(f.kernel.find_driver("pt_filter"), driver);
  EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(driver->DriverUnload, nullptr);
  EXPECT_EQ(f.kernel.load_driver("no_such_driver"), nullptr);
  EXPECT_TRUE(f.kernel.unload_driver(driver));
  EXPECT_EQ(f.kernel.find_driver("pt_filter"), nullptr);
}

TEST(KernelPnp, InstallsFunctionDriverThenFilterAndStartsTheStack) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("mini_fdo", {"pt_filter"}));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    ASSERT_EQ(node.state, NodeState::Started);
    PDEVICE_OBJECT top = node.top();
    EXPECT_EQ(f.kernel.device_name(top), "pt_filter");
    PDEVICE_OBJECT fdo = f.kernel.lower_device(top);
    EXPECT_EQ(f.kernel.device_name(fdo), "mini_fdo");
    EXPECT_EQ(f.kernel.lower_device(fdo), node.pdo);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(top->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE), DO_BUFFERED_IO | DO_POWER_PAGABLE);

    auto get = send_request(
        top, {IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_BAUD_RATE), IOCTL_SERIAL_GET_BAUD_RATE});
    EXPECT_EQ(get->status, STATUS_SUCCESS);
    EXPECT_EQ(get->info, sizeof(SERIAL_BAUD_RATE));
    EXPECT_EQ(reinterpret_cast<SERIAL_BAUD_RATE*>(get->buffer.data())->BaudRate, 9600u);
    // A major function the driver left unset.
    auto write = send_request(top, {IRP_MJ_WRITE, 4});
    EXPECT_EQ(write->returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(write->status, STATUS_INVALID_DEVICE_REQUEST);

    EXPECT_EQ(f.kernel.send_system_power(node, IRP_MN_SET_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(node.system_state, PowerSystemSleeping3);
    EXPECT_EQ(f.kernel.pool_usage("MINI").blocks_held, 1u);
    EXPECT_EQ(f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.state, NodeState::Removed);
  EXPECT_EQ(f.kernel.find_driver("mini_fdo"), nullptr);
  EXPECT_EQ(f.kernel.find_driver("pt_filter"), nullptr);
  EXPECT_EQ(f.kernel.pool_usage("MINI").blocks_held, 0u);
  EXPECT_EQ(f.kernel.outstanding_requests(), 0u);
  ASSERT_GE(node.history.size(), 3u);
  EXPECT_EQ(node.history.front().minor, IRP_MN_START_DEVICE);
  EXPECT_EQ(node.history.front().status, STATUS_SUCCESS);
  // The start went in at the top and out of each device.
  EXPECT_EQ(count_events(f.machine, "irp", "minor", "IRP_MN_START_DEVICE"), 6);
}

TEST(KernelPnp, QueuedRequestsRunInOrderInThePnpThread) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("mini_fdo"));
  f.kernel.queue_pnp(node, IRP_MN_QUERY_STOP_DEVICE);
  f.kernel.queue_pnp(node, IRP_MN_CANCEL_STOP_DEVICE);
  f.kernel.queue_pnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
  f.kernel.queue_pnp(node, IRP_MN_REMOVE_DEVICE);
  RunResult result = f.machine.run();
  ASSERT_TRUE(result.ok()) << result.report;
  std::vector<UCHAR> minors;
  for (const NodeRequest& r : node.history) minors.push_back(r.minor);
  EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
                                        IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                        IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(node.state, NodeState::Removed);
}

// Injected failures while building the stack leave nothing behind.
struct InstallFault {
  const char* family;
  const char* name;
};

class KernelPnpFaults : public ::testing::TestWithParam<InstallFault> {};

TEST_P(KernelPnpFaults, FailedInstallationTearsDownAndUnloads) {
  KernelFixture f;
  f.machine.faults().fail_always(GetParam().family, GetParam().name);
  DeviceNode& node = f.install(node_spec("mini_fdo", {"pt_filter"}));
  RunResult result = f.machine.run();
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.state, NodeState::Failed);
  EXPECT_FALSE(NT_SUCCESS(node.last_status));
  EXPECT_EQ(f.kernel.find_driver("mini_fdo"), nullptr);
  EXPECT_EQ(f.kernel.find_driver("pt_filter"), nullptr);
  EXPECT_EQ(f.kernel.pool_blocks_held(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sites, KernelPnpFaults,
                         ::testing::Values(InstallFault{"attach", "mini_fdo"},
                                           InstallFault{"attach", "pt_filter"},
                                           InstallFault{"create", "mini_fdo"},
                                           InstallFault{"pool", "MINI"}));

TEST(KernelPower, RequestPowerIrpReachesTheStackAndCallsBackWithTheStatus) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("mini_fdo", {"pt_filter"}));
  struct Done {
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    PDEVICE_OBJECT device = nullptr;
    KernelWait wait;
  } done;
  auto callback = [](PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID context,
                     PIO_STATUS_BLOCK io) {
    auto* d = static_cast<Done*>(context);
    ++d->calls;
    d->status = io->Status;
    d->device = device;
    d->wait.signal();
  };
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    PIRP irp = nullptr;
    // From DISPATCH_LEVEL: the request goes out from a system worker.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(node.pdo, IRP_MN_SET_POWER, state, callback, &done, &irp),
              STATUS_PENDING);
    KeLowerIrql(old);
    EXPECT_NE(irp, nullptr);
    done.wait.wait("power callback");
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.device, node.pdo);

    // Failures are injected into the drivers' requests only: one made by
    // host code stands for the power manager's own and still goes out.
    f.machine.faults().fail_always("power", "request");
    EXPECT_EQ(PoRequestPowerIrp(node.pdo, IRP_MN_SET_POWER, state, callback, &done, nullptr),
              STATUS_PENDING);
    done.wait.wait("power callback");
    EXPECT_EQ(done.calls, 2);
    EXPECT_EQ(f.machine.faults().failures(), 0u);
    f.machine.faults().clear();
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  // Both device power requests passed through all three devices.
  int device_power_in = 0;
  for (const TraceEvent& e : f.machine.trace().events())
    if (e.ev == "irp" && e.str("phase") == "in" && e.str("state") == "D3") ++device_power_in;
  EXPECT_EQ(device_power_in, 6);
}

TEST(KernelTrace, RequestsAreTracedInAndOutOfEachDeviceLikeAPortMonitor) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("mini_fdo", {"pt_filter"}));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    f.machine.trace().clear();
    SERIAL_BAUD_RATE rate{115200};
    std::vector<uint8_t> data(reinterpret_cast<uint8_t*>(&rate),
                              reinterpret_cast<uint8_t*>(&rate) + sizeof rate);
    send_request(node.top(),
                 {IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_SET_BAUD_RATE, sizeof rate, data});
    send_request(node.top(), {IRP_MJ_READ, 3});
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  std::vector<std::string> lines;
  for (const TraceEvent& e : f.machine.trace().events())
    if (e.ev == "irp") lines.push_back(e.text);
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "pt_filter  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200");
  EXPECT_EQ(lines[1], "mini_fdo  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200");
  EXPECT_EQ(lines[2], "mini_fdo  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  -> SUCCESS (0)");
  EXPECT_EQ(lines[7], "pt_filter  IRP_MJ_READ  -> SUCCESS (3)  41 41 41");
  const TraceEvent* out = nullptr;
  for (const TraceEvent& e : f.machine.trace().events())
    if (e.ev == "irp" && e.str("phase") == "out" && e.str("major") == "IRP_MJ_READ") out = &e;
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->str("status"), "0x00000000");
  EXPECT_EQ(out->num("info"), 3);
  EXPECT_EQ(out->str("hex"), "41 41 41");
}

TEST(KernelPnp, HangReportNamesTheDriverHoldingARequest) {
  MachineOptions options;
  options.time_limit = 10 * kSecond;
  KernelFixture f(options);
  DeviceNode& node =
      f.install(node_spec("mini_fdo", {}, {RegistryValue::dword("HoldReads", 60000)}));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    send_request(node.top(), {IRP_MJ_READ, 8});
  });
  ASSERT_EQ(result.outcome, RunOutcome::Hang);
  EXPECT_NE(result.report.find("IRP_MJ_READ"), std::string::npos) << result.report;
  EXPECT_NE(result.report.find("held by mini_fdo"), std::string::npos) << result.report;
  EXPECT_NE(result.report.find("marked pending"), std::string::npos) << result.report;
}

}  // namespace
}  // namespace hs::test
