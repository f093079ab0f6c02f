// Cancel against completion: reads held by mini_fdo for a timer race a
// second thread's IoCancelIrp, under random and PCT schedules over many
// seeds. Every read must complete exactly once, either served or
// cancelled, and the stack must come apart clean.
#include <random>

#include "ke_fixture.h"

namespace hs::test {
namespace {

struct Outcomes {
  int served = 0;
  int cancelled = 0;
};

// One run: `rounds` reads, each raced by a canceller after a random delay.
Outcomes race(SchedulePolicy policy, int rounds) {
  MachineOptions options;
  options.policy = policy;
  KernelFixture f(options);
  DeviceNode& node =
      f.install(node_spec("mini_fdo", {"pt_filter"}, {RegistryValue::dword("HoldReads", 2)}));
  std::mt19937 rng(static_cast<uint32_t>(policy.seed));
  Outcomes outcomes;
  RunResult result = f.run([&] {
    f.kernel.wait_pnp_idle();
    for (int i = 0; i < rounds; ++i) {
      auto read = start_request(node.top(), {IRP_MJ_READ, 4});
      PIRP irp = read->irp;
      VTime delay = static_cast<VTime>(rng() % 4000) * kMicrosecond;
      KernelWait cancelled;
      f.machine.create_thread("canceller", [&, irp, delay] {
        f.machine.sleep_for(delay);
        IoCancelIrp(irp);
        cancelled.signal();
      });
      read->wait.wait("read");
      cancelled.wait("canceller");
      EXPECT_EQ(read->completions, 1);
      if (read->status == STATUS_SUCCESS) {
        EXPECT_EQ(read->info, 4u);
        ++outcomes.served;
      } else {
        EXPECT_EQ(read->status, STATUS_CANCELLED);
        EXPECT_EQ(read->info, 0u);
        ++outcomes.cancelled;
      }
      IoFreeIrp(irp);
    }
    f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
  });
  EXPECT_TRUE(result.ok()) << policy.describe() << "\n" << result.report;
  EXPECT_EQ(f.kernel.outstanding_requests(), 0u) << policy.describe();
  EXPECT_EQ(f.kernel.pool_blocks_held(), 0u) << policy.describe();
  return outcomes;
}

TEST(KernelCancel, CancelRacingCompletionUnderRandomSchedules) {
  Outcomes total;
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    Outcomes o = race({PolicyKind::Random, seed, 2}, 4);
    total.served += o.served;
    total.cancelled += o.cancelled;
  }
  // Both endings were explored.
  EXPECT_GT(total.served, 0);
  EXPECT_GT(total.cancelled, 0);
}

TEST(KernelCancel, CancelRacingCompletionUnderPctSchedules) {
  Outcomes total;
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    Outcomes o = race({PolicyKind::Pct, seed, 3}, 4);
    total.served += o.served;
    total.cancelled += o.cancelled;
  }
  EXPECT_GT(total.served, 0);
  EXPECT_GT(total.cancelled, 0);
}

TEST(KernelCancel, SameSeedSameTrace) {
  auto trace_of = [](uint64_t seed) {
    MachineOptions options;
    options.policy = {PolicyKind::Random, seed, 2};
    KernelFixture f(options);
    DeviceNode& node = f.install(node_spec("mini_fdo", {}, {RegistryValue::dword("HoldReads", 2)}));
    f.run([&] {
      f.kernel.wait_pnp_idle();
      auto read = start_request(node.top(), {IRP_MJ_READ, 4});
      f.machine.sleep_for(kMillisecond);
      IoCancelIrp(read->irp);
      finish_request(*read);
      f.kernel.send_pnp(node, IRP_MN_REMOVE_DEVICE);
    });
    std::string text;
    for (const TraceEvent& e : f.machine.trace().events())
      if (e.ev == "irp") text += trace_text_line(e) + "\n";
    return text;
  };
  std::string first = trace_of(7);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, trace_of(7));
}

}  // namespace
}  // namespace hs::test
