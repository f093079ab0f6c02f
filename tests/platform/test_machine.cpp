// The emulated machine: scheduling, virtual time, IRQL and DPCs, interrupts,
// hang detection and deterministic replay.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>
#include <vector>

#include "machine/machine.h"

namespace hs {
namespace {

MachineOptions with_policy(PolicyKind kind, uint64_t seed, int depth = 2) {
  MachineOptions options;
  options.policy.kind = kind;
  options.policy.seed = seed;
  options.policy.depth = depth;
  return options;
}

TEST(MachineThreads, RunUntilBlockRunsThreadsInCreationOrderToCompletion) {
  Machine m;
  std::vector<std::string> order;
  m.create_thread("a", [&] {
    order.push_back("a1");
    m.sleep_for(kMillisecond);
    order.push_back("a2");
  });
  m.create_thread("b", [&] {
    order.push_back("b1");
    m.sleep_for(2 * kMillisecond);
    order.push_back("b2");
  });
  RunResult result = m.run();
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "a2", "b2"}));
  EXPECT_EQ(m.now(), 2 * kMillisecond);
}

TEST(MachineThreads, OnlyOneContextRunsAtATimeUnderEveryPolicy) {
  for (PolicyKind kind : {PolicyKind::RunUntilBlock, PolicyKind::Random, PolicyKind::Pct}) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
      Machine m(with_policy(kind, seed));
      int inside = 0;
      int worst = 0;
      for (int i = 0; i < 3; ++i) {
        m.create_thread("t" + std::to_string(i), [&] {
          for (int step = 0; step < 20; ++step) {
            ++inside;
            worst = std::max(worst, inside);
            --inside;
            m.service_point("step");
          }
        });
      }
      ASSERT_TRUE(m.run().ok());
      EXPECT_EQ(worst, 1);
    }
  }
}

// The same scenario with the same policy and seed gives the same order of
// events; different seeds explore different orders.
std::string interleaving(PolicyKind kind, uint64_t seed) {
  Machine m(with_policy(kind, seed, 3));
  std::string log;
  for (char name : {'a', 'b', 'c'}) {
    m.create_thread(std::string(1, name), [&, name] {
      for (int step = 0; step < 10; ++step) {
        log += name;
        m.service_point("step");
      }
    });
  }
  m.after(kMillisecond, [&] { log += '*'; });
  EXPECT_TRUE(m.run().ok());
  return log;
}

TEST(MachineReplay, SamePolicyAndSeedGiveTheSameInterleaving) {
  for (PolicyKind kind : {PolicyKind::Random, PolicyKind::Pct}) {
    std::set<std::string> seen;
    for (uint64_t seed = 1; seed <= 30; ++seed) {
      std::string first = interleaving(kind, seed);
      EXPECT_EQ(first, interleaving(kind, seed)) << "seed " << seed;
      seen.insert(first);
    }
    EXPECT_GT(seen.size(), 5u) << "a policy that never varies explores nothing";
  }
}

TEST(MachineTime, ClockJumpsToTheNextEventWhenNothingRuns) {
  Machine m;
  std::vector<VTime> fired;
  m.at(5 * kSecond, [&] { fired.push_back(m.now()); });
  m.at(kSecond, [&] { fired.push_back(m.now()); });
  auto id = m.at(3 * kSecond, [&] { fired.push_back(-1); });
  EXPECT_TRUE(m.cancel(id));
  m.create_thread("sleeper", [&] { m.sleep_for(10 * kSecond); });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(fired, (std::vector<VTime>{kSecond, 5 * kSecond}));
  EXPECT_EQ(m.now(), 10 * kSecond);
}

TEST(MachineHang, AThreadWaitingForeverIsReportedNotWaitedOut) {
  Machine m;
  m.create_thread("stuck", [&] { m.block("an event nobody sets", std::nullopt); });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Hang);
  EXPECT_NE(result.report.find("stuck: waits on an event nobody sets"), std::string::npos)
      << result.report;
}

TEST(MachineHang, TimeLimitEndsARunThatOnlyTicks) {
  MachineOptions options;
  options.time_limit = 10 * kSecond;
  Machine m(options);
  std::function<void()> tick = [&] { m.after(kSecond, tick); };
  tick();
  m.create_thread("stuck", [&] { m.block("nothing", std::nullopt); });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Hang);
  EXPECT_NE(result.report.find("time limit"), std::string::npos);
}

TEST(MachineIrql, DpcsRunWhenTheIrqlFallsBelowDispatchInQueueOrder) {
  Machine m;
  std::string log;
  m.create_thread("t", [&] {
    uint8_t old = m.raise_irql(DISPATCH_LEVEL);
    m.queue_dpc(
        [&] {
          log += "1";
          EXPECT_EQ(m.irql(), DISPATCH_LEVEL);
        },
        &log);
    m.queue_dpc([&] { log += "2"; }, nullptr);
    m.drain_dpcs();
    log += "x";
    m.lower_irql(old);
    log += "y";
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(log, "x12y");
}

TEST(MachineInterrupts, DeliveredOnlyWhileTheFlagIsSetAndMayNest) {
  Machine m;
  std::string log;
  m.create_thread("t", [&] {
    m.disable_interrupts();
    m.post_interrupt([&] {
      log += "<";
      EXPECT_EQ(m.irql(), SERIAL_DEVICE_LEVEL);
      m.post_interrupt([&] { log += "nested"; });
      m.service_point("vcomm call inside the interrupt");
      log += ">";
    });
    m.service_point("a service with interrupts off");
    log += "off;";
    m.enable_interrupts();
    log += ";on";
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(log, "off;<nested>;on");
}

TEST(MachineInterrupts, GlobalEventRunsOnceAfterTheOutermostInterruptReturns) {
  Machine m;
  std::string log;
  m.post_interrupt([&] {
    m.schedule_global_event([&] {
      log += "event@" + std::to_string(m.irql()) + ";";
      m.queue_dpc([&] { log += "dpc;"; }, nullptr);
    });
    log += "isr;";
  });
  m.create_thread("t", [&] { m.service_point("any"); });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(log, "isr;event@2;dpc;");
}

TEST(MachineVerifier, BlockingAtDispatchLevelStopsTheRunWithAReport) {
  Machine m;
  bool after = false;
  m.create_thread("bad", [&] {
    m.raise_irql(DISPATCH_LEVEL);
    m.block("an event", kSecond);
    after = true;
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("blocking wait at DISPATCH_LEVEL"), std::string::npos);
  EXPECT_NE(result.report.find("in bad"), std::string::npos) << result.report;
  EXPECT_FALSE(after);
}

TEST(MachinePolicy, ParsesNamesAndRejectsTheRest) {
  EXPECT_EQ(SchedulePolicy::parse("run", 1)->kind, PolicyKind::RunUntilBlock);
  EXPECT_EQ(SchedulePolicy::parse("random", 7)->seed, 7u);
  EXPECT_EQ(SchedulePolicy::parse("pct:3", 1)->depth, 3);
  for (const char* bad : {"", "pct", "pct:", "pct:0", "pct:x", "rand", "pct:3x"})
    EXPECT_FALSE(SchedulePolicy::parse(bad, 1)) << bad;
}

}  // namespace
}  // namespace hs
