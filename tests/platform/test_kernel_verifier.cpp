// Each verifier rule, shown by the faulty test driver breaking it: the run
// stops with a report that names the rule.
#include <ntddser.h>

#include "ke_fixture.h"

namespace hs::test {
namespace {

enum class Trigger { Install, Read, Control, Create, CreateThenRemove, Remove, Power };

struct RuleCase {
  int fault;                 // the faulty driver's FAULT_* mode
  Trigger trigger;           // what sets it off
  const char* rule;          // the rule the report must name
  bool as_filter = false;    // faulty sits above mini_fdo
  bool pdo_pending = false;  // the bus completes later (forced pending)
};

std::ostream& operator<<(std::ostream& out, const RuleCase& c) {
  return out << "fault " << c.fault << " (" << c.rule << ")";
}

class KernelVerifier : public ::testing::TestWithParam<RuleCase> {};

TEST_P(KernelVerifier, StopsTheRunNamingTheRule) {
  const RuleCase& c = GetParam();
  KernelFixture f;
  std::vector<RegistryValue> key{RegistryValue::dword("Fault", static_cast<uint32_t>(c.fault))};
  DeviceNode& node = c.as_filter ? f.install(node_spec("mini_fdo", {"faulty"}, key))
                                 : f.install(node_spec("faulty", {}, key));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    ASSERT_EQ(node.state, NodeState::Started);
    if (c.pdo_pending) f.kernel.set_forced_pending(node.pdo, true);
    switch (c.trigger) {
      case Trigger::Install:
        break;
      case Trigger::Read:
        send_request(node.top(), {IRP_MJ_READ, 4});
        break;
      case Trigger::Control:
        send_request(node.top(),
                     {IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_BAUD_RATE), IOCTL_SERIAL_GET_BAUD_RATE});
        break;
      case Trigger::Create:
        send_request(node.top(), {IRP_MJ_CREATE});
        break;
      case Trigger::CreateThenRemove:
        send_request(node.top(), {IRP_MJ_CREATE});
        f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
        break;
      case Trigger::Remove:
        f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
        break;
      case Trigger::Power:
        f.kernel.send_system_power(node, IRP_MN_SET_POWER, PowerSystemSleeping3);
        break;
    }
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation) << result.report;
  EXPECT_NE(result.report.find(std::string("VERIFIER: ") + c.rule), std::string::npos)
      << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    FaultyDriver, KernelVerifier,
    ::testing::Values(
        RuleCase{1, Trigger::Read, "request completed twice"},
        RuleCase{2, Trigger::Read, "request completed with STATUS_PENDING"},
        RuleCase{3, Trigger::Read, "request completed with a cancel routine set"},
        RuleCase{4, Trigger::Read, "STATUS_PENDING returned for a request not marked pending"},
        RuleCase{5, Trigger::Read, "request marked pending but STATUS_PENDING not returned"},
        RuleCase{6, Trigger::Read, "dispatch status differs from the completed request's"},
        RuleCase{7, Trigger::Control, "Information larger than the output buffer"},
        RuleCase{8, Trigger::Read, "Information larger than the output buffer"},
        RuleCase{9, Trigger::Read, "request passed on with a cancel routine set"},
        RuleCase{10, Trigger::Read, "no more stack locations"},
        RuleCase{11, Trigger::Read, "service called above its IRQL"},
        RuleCase{12, Trigger::Read, "completion routine did not propagate PendingReturned", false,
                 true},
        RuleCase{13, Trigger::Install, "filter did not take over its lower device's flags", true},
        RuleCase{14, Trigger::Install, "device left initializing"},
        RuleCase{15, Trigger::Create, "pool freed twice"},
        RuleCase{16, Trigger::Create, "pool freed with the wrong tag"},
        RuleCase{17, Trigger::CreateThenRemove, "pool still held at unload"},
        RuleCase{18, Trigger::Create, "pool freed while a kernel object in it is in use"},
        RuleCase{19, Trigger::CreateThenRemove, "kernel objects still queued at unload"},
        RuleCase{20, Trigger::Create, "pool freed while a kernel object in it is in use"},
        RuleCase{21, Trigger::Remove, "device deleted twice"},
        RuleCase{22, Trigger::Remove, "device deleted while attached"},
        RuleCase{23, Trigger::Power, "PoStartNextPowerIrp not called"},
        RuleCase{24, Trigger::Power, "PoStartNextPowerIrp called twice"},
        RuleCase{25, Trigger::Create, "pool freed while a kernel object in it is in use"}));

// Without a fault the same driver runs clean, so the cases above fail for
// the fault alone.
TEST(KernelVerifier, FaultyDriverWithoutAFaultRunsClean) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("faulty"));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    send_request(node.top(), {IRP_MJ_CREATE});
    auto read = send_request(node.top(), {IRP_MJ_READ, 4});
    EXPECT_EQ(read->status, STATUS_SUCCESS);
    f.kernel.send_system_power(node, IRP_MN_SET_POWER, PowerSystemSleeping3);
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(node.state, NodeState::Removed);
}

// The leak report names the tag, the block count and the bytes.
TEST(KernelVerifier, LeakAtUnloadIsReportedByTag) {
  KernelFixture f;
  DeviceNode& node = f.install(node_spec("faulty", {}, {RegistryValue::dword("Fault", 17)}));
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    send_request(node.top(), {IRP_MJ_CREATE});
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("'FULT': 1 block(s), 48 bytes"), std::string::npos) << result.report;
}

}  // namespace
}  // namespace hs::test
