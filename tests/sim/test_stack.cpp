// A test stack (sim_fdo under pt_filter) installed from a device-node
// file: started, opened, talking AT to the handset, powered and removed;
// the file parser's messages; the bus driver's answers.
#include <gtest/gtest.h>
#include <ntddser.h>

#include "sim/rig.h"

namespace hs::test {
namespace {

std::string stack_file() { return Rig::data("sim/data/stack.inf"); }

TEST(DeviceNodeFile, DescribesDriversAndBothKeys) {
  DeviceNodeParse parsed = load_device_node_file(stack_file());
  ASSERT_TRUE(parsed.ok()) << parsed.error;
  const DeviceNodeSpec& spec = *parsed.spec;
  EXPECT_EQ(spec.function_driver, "sim_fdo");
  EXPECT_EQ(spec.upper_filters, std::vector<std::string>{"pt_filter"});
  EXPECT_EQ(spec.hardware_id, "SERENUM\\HSB0001");
  EXPECT_EQ(parsed.model, "GSM handset on a serial cable (test stack)");
  ASSERT_EQ(spec.driver_key.size(), 1u);
  EXPECT_EQ(spec.driver_key[0].name, "AttachedTo");
  EXPECT_EQ(spec.driver_key[0].data, RegistryValue::string("x", "COM2").data);
  std::vector<std::string> hw;
  for (const auto& v : spec.hardware_key) hw.push_back(v.name);
  EXPECT_EQ(hw, (std::vector<std::string>{"UpperFilters", "TraceScope", "Breakpoints"}));
  EXPECT_EQ(spec.hardware_key[1].type, static_cast<ULONG>(REG_DWORD));
}

// Bad files: the message names the file and line.
struct BadFile {
  const char* what;
  std::string text;
  std::string message;
};

class DeviceNodeFileErrors : public ::testing::TestWithParam<BadFile> {};

std::string good_tail() {
  return "[Manufacturer]\nM=Models\n[Models]\nH=Inst, HW\\1\n[Inst]\nAddReg=Inst.Reg\n"
         "[Inst.Reg]\nHKR,,AttachedTo,,\"COM2\"\n[Inst.Services]\nAddService=fdo,2,Svc\n"
         "[Svc]\nServiceBinary=%12%\\fdo.sys\n";
}

TEST_P(DeviceNodeFileErrors, NameTheLine) {
  DeviceNodeParse parsed = parse_device_node_file(GetParam().text, "t.inf");
  EXPECT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceNodeFileErrors,
    ::testing::Values(
        BadFile{"outside", "Signature=x\n", "t.inf:1: line outside any section"},
        BadFile{"header", "[Version\n", "t.inf:1: section header lacks its ']'"},
        BadFile{"quote", "[Version]\nSignature=\"$Chicago$\n",
                "t.inf:2: unterminated quoted string"},
        BadFile{"signature", "[Version]\nSignature=\"$Other$\"\n" + good_tail(),
                "t.inf:2: unknown Signature \"$Other$\""},
        BadFile{"no_version", good_tail(), "t.inf:1: no [Version] section"},
        BadFile{"string", "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\n%Mfg%=Models\n",
                "t.inf:4: unknown string key %Mfg%"},
        BadFile{"models", "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Nowhere\n",
                "t.inf:4: models section [Nowhere] not found"},
        BadFile{
            "addreg_fields",
            "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n[Models]\nH=Inst, HW\n"
            "[Inst]\nAddReg=R\n[R]\nHKR,,AttachedTo\n",
            "t.inf:10: AddReg line needs at least 4 fields: root,subkey,name,flags[,value]"},
        BadFile{
            "root",
            "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n[Models]\nH=Inst, HW\n"
            "[Inst]\nAddReg=R\n[R]\nHKLM,,AttachedTo,,\"COM2\"\n",
            "t.inf:10: root \"HKLM\" is not supported (only HKR)"},
        BadFile{
            "dword",
            "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n[Models]\nH=Inst, HW\n"
            "[Inst]\nAddReg=R\n[R]\nHKR,,TraceScope,0x00010001,yes\n",
            "t.inf:10: REG_DWORD value of TraceScope is not a number"},
        BadFile{
            "no_function",
            "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n[Models]\nH=Inst, HW\n"
            "[Inst]\n[Inst.Services]\nAddService=fdo,0,\n",
            "t.inf:8: no AddService with flag 0x2 names the function driver"},
        BadFile{
            "install",
            "[Version]\nSignature=\"$Chicago$\"\n[Manufacturer]\nM=Models\n[Models]\nH=Gone, HW\n",
            "t.inf:6: install section [Gone] not found"}),
    [](const auto& info) { return std::string(info.param.what); });

// Reads until `expect` has come or the read times out; returns all.
std::string read_until(Client& client, const Handle& h, const std::string& expect) {
  std::string got;
  for (int i = 0; i < 10 && got.find(expect) == std::string::npos; ++i) {
    Completion c = client.read(h, 64);
    got += c.text();
  }
  return got;
}

TEST(Stack, InstalledFromAFileTalksAtAt9600AndThen115200) {
  Rig rig;
  DeviceNode& node = rig.install_file(stack_file());
  RunResult result = rig.run([&] {
    ASSERT_EQ(node.state, NodeState::Started);
    Client& client = rig.client();
    Handle h = client.open();
    ASSERT_TRUE(h.ok());
    // The handset sleeps at power-on: the first command only wakes it.
    EXPECT_EQ(client.write(h, "AT\rAT\r").info, 6u);
    EXPECT_EQ(read_until(client, h, "OK\r\n"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(client.write(h, "AT+IPR=115200\r").status, STATUS_SUCCESS);
    EXPECT_EQ(read_until(client, h, "OK\r\n"), "AT+IPR=115200\r\r\nOK\r\n");
    Completion set = client.ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(115200));
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(client.write(h, "ATI\r").status, STATUS_SUCCESS);
    EXPECT_EQ(read_until(client, h, "OK\r\n"), "ATI\r\r\nHS-1 GSM handset\r\n\r\nOK\r\n");
    Completion rate = client.ioctl(h, IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
    EXPECT_EQ(rate.u32(), 115200u);
    EXPECT_EQ(client.close(h).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.kernel().send_pnp(node, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(rig.kernel().send_pnp(node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.state, NodeState::Removed);
  EXPECT_EQ(rig.bus().pdo(), nullptr);
  EXPECT_EQ(rig.handset().rate(), 115200u);
  EXPECT_EQ(rig.kernel().pool_blocks_held(), 0u);
  // Every completion was traced for the tools.
  std::vector<std::string> names;
  for (const auto& e : rig.events("request")) names.push_back(e.str("name"));
  EXPECT_EQ(names.front(), "IRP_MJ_CREATE");
  EXPECT_EQ(names.back(), "IRP_MJ_CLOSE");
  std::vector<UCHAR> minors;
  for (const auto& r : rig.bus().requests()) minors.push_back(r.minor);
  EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
                                        IRP_MN_REMOVE_DEVICE}));
}

TEST(Stack, ClientSendsFromItsOwnThreadsAtDispatchLevelAsync) {
  Rig rig;
  rig.install(rig.stack_spec("sim_fdo", {"pt_filter"}));
  RunResult result = rig.run([&] {
    Client& client = rig.client();
    Handle h = client.open();
    rig.handset().wake();
    bool written = false;
    // The writer runs while the reader waits inside the driver.
    client.spawn("writer", [&] {
      Completion w = client.call(h, Request::write("AT\r").at(DISPATCH_LEVEL));
      EXPECT_EQ(w.status, STATUS_SUCCESS);
      EXPECT_EQ(w.info, 3u);
      written = true;
    });
    Pending read = client.send(h, Request::read(10));
    const Completion& r = client.wait(read);
    EXPECT_EQ(r.status, STATUS_TIMEOUT);  // 9 bytes came, not 10
    EXPECT_EQ(r.text(), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(written);
    Completion small = client.call(h, Request::ioctl_out(IOCTL_SERIAL_GET_BAUD_RATE, 2));
    EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
    client.close(h);
    EXPECT_EQ(client.outstanding(), 0u);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_TRUE(rig.client().all_completed_once());
}

struct PowerLog {
  int calls = 0;
  NTSTATUS status = STATUS_PENDING;
  UCHAR minor = 0;
};

VOID NTAPI power_done(PDEVICE_OBJECT, UCHAR minor, POWER_STATE, PVOID context,
                      PIO_STATUS_BLOCK io) {
  auto* log = static_cast<PowerLog*>(context);
  ++log->calls;
  log->minor = minor;
  log->status = io->Status;
}

TEST(Stack, PowerRequestsGoThroughThePowerManagerToTheBus) {
  Rig rig;
  DeviceNode& node = rig.install(rig.stack_spec("sim_fdo", {"pt_filter"}));
  PowerLog log;
  RunResult result = rig.run([&] {
    EXPECT_EQ(rig.kernel().send_system_power(node, IRP_MN_QUERY_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.kernel().send_system_power(node, IRP_MN_SET_POWER, PowerSystemSleeping3),
              STATUS_SUCCESS);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_EQ(PoRequestPowerIrp(node.pdo, IRP_MN_SET_POWER, d3, power_done, &log, nullptr),
              STATUS_PENDING);
    rig.machine().sleep_for(kMillisecond);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.status, STATUS_SUCCESS);
    EXPECT_EQ(rig.bus().power_state(), PowerDeviceD3);
    // A failing answer of the bus reaches the completion function.
    rig.bus().set_power_answer(IRP_MN_SET_POWER, BusAnswer::fail(STATUS_DEVICE_POWER_FAILURE));
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    PoRequestPowerIrp(node.pdo, IRP_MN_SET_POWER, d0, power_done, &log, nullptr);
    rig.machine().sleep_for(kMillisecond);
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(log.status, STATUS_DEVICE_POWER_FAILURE);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.system_state, PowerSystemSleeping3);
  std::vector<std::pair<UCHAR, NTSTATUS>> seen;
  for (const auto& r : rig.bus().requests())
    if (r.major == IRP_MJ_POWER) seen.emplace_back(r.minor, r.status);
  EXPECT_EQ(seen.size(), 4u);
}

TEST(Stack, AFailedStartLeavesTheNodeFailed) {
  Rig rig;
  rig.bus().set_pnp_answer(IRP_MN_START_DEVICE, BusAnswer::fail(STATUS_INSUFFICIENT_RESOURCES));
  DeviceNode& node = rig.install(rig.stack_spec("sim_fdo"));
  RunResult result = rig.run([] {});
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.state, NodeState::Failed);
  EXPECT_EQ(node.last_status, STATUS_INSUFFICIENT_RESOURCES);
}

TEST(Stack, BusAnswersAreLeftUntouchedOnRequestAndCapabilitiesMapPowerStates) {
  Rig second;
  second.bus().set_pnp_answer(IRP_MN_QUERY_STOP_DEVICE, BusAnswer::untouched());
  DeviceNode& other = second.install(second.stack_spec("sim_fdo"));
  DEVICE_CAPABILITIES caps{};
  RunResult result = second.run([&] {
    EXPECT_EQ(second.kernel().send_pnp(other, IRP_MN_QUERY_STOP_DEVICE), STATUS_NOT_SUPPORTED);
    // Capabilities straight from the PDO: the system-to-device power map.
    PIRP irp = IoAllocateIrp(other.pdo->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    caps.Size = sizeof caps;
    caps.Version = 1;
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    EXPECT_EQ(IofCallDriver(other.pdo, irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
    second.kernel().send_pnp(other, IRP_MN_REMOVE_DEVICE);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
  EXPECT_EQ(caps.DeviceState[PowerSystemShutdown], PowerDeviceD3);
}

}  // namespace
}  // namespace hs::test

namespace hs::test {
namespace {

// The same dialogue under preemption at every service call: the client's
// accounting, the line and the handset hold whatever the order.
TEST(Stack, DialogueHoldsUnderRandomAndPctSchedules) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    for (PolicyKind kind : {PolicyKind::Random, PolicyKind::Pct}) {
      RigOptions options;
      options.machine.policy.kind = kind;
      options.machine.policy.seed = seed;
      options.machine.policy.depth = 3;
      options.handset.sleep_after = 0;
      Rig rig(options);
      DeviceNode& node = rig.install(rig.stack_spec("sim_fdo", {"pt_filter"}));
      std::string answer;
      RunResult result = rig.run([&] {
        Client& client = rig.client();
        Handle h = client.open();
        client.spawn("writer", [&] { client.write(h, "AT\r"); });
        Pending read = client.send(h, Request::read(9));
        answer = client.wait(read).text();
        client.close(h);
        rig.kernel().send_pnp(node, IRP_MN_REMOVE_DEVICE);
      });
      ASSERT_TRUE(result.ok()) << options.machine.policy.describe() << "\n" << result.report;
      EXPECT_EQ(answer, "AT\r\r\nOK\r\n") << options.machine.policy.describe();
    }
  }
}

}  // namespace
}  // namespace hs::test

namespace hs::test {
namespace {

// A request still outstanding when the client's threads have ended fails
// the run with the client's report.
TEST(Stack, RunFailsWhenARequestIsNeverCompleted) {
  Rig rig;
  DeviceNodeSpec spec = rig.stack_spec("mini_fdo");
  spec.driver_key.push_back(RegistryValue::dword("HoldReads", 10000));
  rig.install(spec);
  RunResult result = rig.run([&] {
    Handle h = rig.client().open();
    Pending read = rig.client().send(h, Request::read(4));
    EXPECT_FALSE(read.done());
  });
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("IRP_MJ_READ sent at 0.0000000s: never completed"),
            std::string::npos)
      << result.report;
  EXPECT_EQ(rig.client().outstanding(), 1u);
}

}  // namespace
}  // namespace hs::test
