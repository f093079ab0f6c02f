// Requests sent to the bridge at DISPATCH_LEVEL: carried out by worker
// threads through the three work slots taken in turn, GET_COMMSTATUS
// answered before the dispatch routine returns (also while requests are
// held), and bursts larger than the slots, alone and mixed with reads whose
// successors are handed over, under many seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_control_support.h"

namespace hs::bridge_test {
namespace {

TEST(Deferral, AReadAtPassiveLevelRunsInTheCallerAndAtDispatchLevelInAWorker) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
    feed(rig, 0, "abcdef");
    rig.machine().sleep_for(20 * kMillisecond);

    Pending passive = rig.client().send(h, Request::read(3));
    EXPECT_EQ(passive.result().returned, STATUS_PENDING);
    ASSERT_TRUE(passive.done());
    EXPECT_EQ(passive.result().text(), "abc");

    Pending raised = rig.client().send(h, Request::read(3).at(DISPATCH_LEVEL));
    EXPECT_EQ(raised.result().returned, STATUS_PENDING);
    EXPECT_FALSE(raised.done());
    const Completion& c = rig.client().wait(raised);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.text(), "def");
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Deferral, AWriteAtDispatchLevelIsCompletedByTheWorkerWithItsOwnStatus) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    Pending write = rig.client().send(h, Request::write("hello").at(DISPATCH_LEVEL));
    EXPECT_EQ(write.result().returned, STATUS_PENDING);
    EXPECT_FALSE(write.done());
    EXPECT_EQ(rig.client().wait(write).status, STATUS_SUCCESS);
    EXPECT_EQ(write.result().info, 5u);

    stack.faults().fail_always("vcomm", "WriteComm");
    write = rig.client().send(h, Request::write("x").at(DISPATCH_LEVEL));
    EXPECT_EQ(rig.client().wait(write).status, STATUS_UNSUCCESSFUL);
    stack.faults().clear();
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Deferral, CommStatusAtDispatchLevelIsAnsweredAtOnceEvenWhileHeld) {
  for (bool started : {true, false}) {
    SCOPED_TRACE(started ? "started" : "held");
    StackOptions options;
    options.start = started;
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      Pending ok = rig.client().send(
          h, Request::ioctl_out(IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS))
                 .at(DISPATCH_LEVEL));
      ASSERT_TRUE(ok.done());
      EXPECT_EQ(ok.result().returned, STATUS_SUCCESS);
      EXPECT_EQ(ok.result().info, sizeof(SERIAL_STATUS));

      Pending small = rig.client().send(
          h, Request::ioctl_out(IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS) - 1)
                 .at(DISPATCH_LEVEL));
      ASSERT_TRUE(small.done());
      EXPECT_EQ(small.result().returned, STATUS_BUFFER_TOO_SMALL);

      // Any other code goes to a worker, which parks it while the device is held.
      Pending other =
          rig.client().send(h, Request::ioctl_out(IOCTL_SERIAL_GET_DTRRTS, 4).at(DISPATCH_LEVEL));
      EXPECT_EQ(other.result().returned, STATUS_PENDING);
      EXPECT_FALSE(other.done());
      rig.machine().sleep_for(10 * kMillisecond);
      EXPECT_EQ(other.done(), started);
      if (!started) {
        EXPECT_EQ(stack.pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
      }
      EXPECT_EQ(rig.client().wait(other).status, STATUS_SUCCESS);
      rig.client().close(h);
    });
    EXPECT_TRUE(result.ok()) << result.report;
  }
}

TEST(Deferral, SlotsAreTakenInTurn) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    PBRIDGE_EXTENSION ext = stack.extension();
    std::vector<Pending> sent;
    for (int i = 0; i < 3; ++i) {
      sent.push_back(
          rig.client().send(h, Request::ioctl_out(IOCTL_SERIAL_GET_DTRRTS, 4).at(DISPATCH_LEVEL)));
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(ext->WorkSlots[i].Irp, sent[i].irp());
      EXPECT_TRUE(ext->WorkSlots[i].Queued);
    }
    EXPECT_EQ(ext->NextWorkSlot, 0u);
    for (const Pending& p : sent) EXPECT_EQ(rig.client().wait(p).status, STATUS_SUCCESS);

    Pending fourth = rig.client().send(h, Request::write("x").at(DISPATCH_LEVEL));
    EXPECT_EQ(ext->WorkSlots[0].Irp, fourth.irp());
    EXPECT_EQ(ext->NextWorkSlot, 1u);
    rig.client().wait(fourth);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// More requests at DISPATCH_LEVEL than there are slots, before any worker
// runs: none is refused or lost, each is carried out once, in order.
TEST(Deferral, ABurstBeyondTheSlotsIsCarriedOutInOrder) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    rig.client().ioctl(h, IOCTL_SERIAL_SET_DTR);
    std::vector<Pending> sent;
    for (int i = 0; i < 8; ++i) {
      std::string bytes(1, static_cast<char>('a' + i));
      sent.push_back(rig.client().send(h, Request::write(bytes).at(DISPATCH_LEVEL)));
      sent.push_back(
          rig.client().send(h, Request::ioctl_out(IOCTL_SERIAL_GET_DTRRTS, 4).at(DISPATCH_LEVEL)));
    }
    EXPECT_NE(stack.extension()->OverflowHead, nullptr);
    for (size_t i = 0; i < sent.size(); ++i) {
      const Completion& c = rig.client().wait(sent[i]);
      EXPECT_EQ(c.status, STATUS_SUCCESS) << i;
      if (i % 2 == 1) {
        EXPECT_EQ(c.u32(), (ULONG)SERIAL_DTR_STATE) << i;
      }
    }
    rig.machine().sleep_for(50 * kMillisecond);
    EXPECT_EQ(rig.line_bytes("tx"), "abcdefgh");
    EXPECT_EQ(stack.extension()->OverflowHead, nullptr);
    EXPECT_EQ(stack.extension()->OutstandingIo, 1);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

struct Schedule {
  PolicyKind kind;
  uint64_t seed;
};

std::string describe(const Schedule& s) {
  return (s.kind == PolicyKind::Random ? "random seed " : "pct:3 seed ") + std::to_string(s.seed);
}

// Reads at both levels with line-paced polls, writes and controls at
// DISPATCH_LEVEL, all at once: slots overflow while reads end in the timer
// routine and hand their successors over. Every request completes once, the
// bytes keep their order, and everything is back at rest afterwards.
TEST(DeferralRace, BurstsMixedWithReadHandOvers) {
  const std::string pattern = "ABCDEFGHIJ";
  uint64_t overflow_runs = 0;
  for (int i = 1; i <= explore_seeds(50); ++i) {
    for (PolicyKind kind : {PolicyKind::Random, PolicyKind::Pct}) {
      Schedule s{kind, static_cast<uint64_t>(i)};
      SCOPED_TRACE(describe(s));
      StackOptions options;
      options.rig = seeded(s.kind, s.seed);
      BridgeStack stack(options);
      Rig& rig = stack.rig();
      int first_halves = 0;
      int second_halves = 0;
      bool overflowed = false;
      auto result = stack.run([&] {
        Handle h = rig.client().open();
        set_rate(rig, h, 9600);
        set_timeouts(rig, h, timeouts(0, 0, 0));
        PBRIDGE_EXTENSION ext = stack.extension();
        rig.vcomm().set_service_hook([&](std::string_view) {
          if (ext->OverflowHead != nullptr || ext->StartReadOwed != 0) overflowed = true;
        });
        rig.machine().after(0, [&] { rig.handset().stream(pattern, 120); });
        std::vector<Pending> reads;
        std::vector<Pending> others;
        for (int round = 0; round < 6; ++round) {
          for (int k = 0; k < 4; ++k) {
            reads.push_back(
                rig.client().send(h, Request::read(5).at(k % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL)));
            others.push_back(rig.client().send(
                h, Request::ioctl_out(IOCTL_SERIAL_GET_MODEMSTATUS, 4).at(DISPATCH_LEVEL)));
            others.push_back(rig.client().send(h, Request::write("w").at(DISPATCH_LEVEL)));
          }
          rig.machine().sleep_for(static_cast<VTime>(s.seed % 4) * kMillisecond);
        }
        for (const Pending& p : others) EXPECT_EQ(rig.client().wait(p).status, STATUS_SUCCESS);
        for (const Pending& p : reads) {
          const Completion& c = rig.client().wait(p);
          EXPECT_EQ(c.status, STATUS_SUCCESS);
          // Reads sent at DISPATCH_LEVEL join the queue when their worker runs, so the
          // queue order is not the sending order; each read still takes five bytes in turn.
          if (c.text() == "ABCDE") ++first_halves;
          if (c.text() == "FGHIJ") ++second_halves;
        }
        rig.vcomm().set_service_hook(nullptr);
        rig.machine().sleep_for(10 * kMillisecond);  // the workers drop their references
        EXPECT_EQ(ext->OutstandingIo, 1);
        EXPECT_EQ(ext->CurrentRead, nullptr);
        rig.client().close(h);
      });
      ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
      EXPECT_EQ(first_halves, 12) << describe(s);
      EXPECT_EQ(second_halves, 12) << describe(s);
      if (overflowed) ++overflow_runs;
    }
  }
  EXPECT_GT(overflow_runs, 0u) << "no schedule overflowed the slots";
}

}  // namespace
}  // namespace hs::bridge_test
