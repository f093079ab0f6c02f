// Event masks, waits and the communication status through the bridge: the
// mask the port is given, waits completed by received characters whatever
// the mask, the event history armed by the first delivered wait, the slot's
// one wait, GET_COMMSTATUS reading and clearing the errors, and the races of
// a delivered wait against SET_WAIT_MASK and close, and of nested
// notifications, under many seeds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_control_support.h"

namespace hs::bridge_test {
namespace {

Request wait_on_mask() { return Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4); }

struct MaskCase {
  std::string name;
  ULONG mask;
  NTSTATUS status;
  ULONG port_mask;  // enabled at the port afterwards
  ULONG read_back;  // GET_WAIT_MASK afterwards
};

void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class WaitMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(WaitMask, IsCheckedAndGivenToThePortWithReceivedCharactersAlways) {
  const MaskCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(tc.mask)).status, tc.status);
    EXPECT_EQ(port(rig).event_mask, tc.port_mask);
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).u32(), tc.read_back);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WaitMask,
    ::testing::Values(
        MaskCase{"Nothing", 0, STATUS_SUCCESS, 0x001, 0},
        MaskCase{"CarrierOnly", SERIAL_EV_RLSD, STATUS_SUCCESS, 0x021, 0x020},
        MaskCase{"Rx80FullNeverAtThePort", SERIAL_EV_RX80FULL, STATUS_SUCCESS, 0x001, 0x400},
        MaskCase{"AllAccepted", 0x7FF, STATUS_SUCCESS, 0x3FF, 0x7FF},
        MaskCase{"Event1Refused", SERIAL_EV_EVENT1, STATUS_INVALID_PARAMETER, 0x001, 0},
        MaskCase{"HighBitRefused", 0x80000001, STATUS_INVALID_PARAMETER, 0x001, 0}),
    [](const auto& info) { return info.param.name; });

TEST(Wait, IsCompletedByAReceivedCharacterEvenWhenTheMaskLacksIt) {
  for (ULONG mask : {(ULONG)SERIAL_EV_RLSD, (ULONG)SERIAL_EV_RXCHAR}) {
    SCOPED_TRACE(mask);
    BridgeStack stack;
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(mask));
      Pending wait = rig.client().send(h, wait_on_mask());
      EXPECT_EQ(wait.result().returned, STATUS_PENDING);
      rig.machine().sleep_for(20 * kMillisecond);
      EXPECT_FALSE(wait.done());
      feed(rig, 0, "x");
      const Completion& c = rig.client().wait(wait);
      EXPECT_EQ(c.status, STATUS_SUCCESS);
      EXPECT_EQ(c.info, 4u);
      EXPECT_EQ(c.u32(), (ULONG)SERIAL_EV_RXCHAR);
      rig.client().close(h);
    });
    EXPECT_TRUE(result.ok()) << result.report;
  }
}

TEST(Wait, HistoryIsKeptOnlyAfterTheFirstWaitCompletedByAnEvent) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    // Before any delivered wait, an event that finds no wait is lost.
    feed(rig, 0, "a");
    rig.machine().sleep_for(20 * kMillisecond);
    Pending first = rig.client().send(h, wait_on_mask());
    rig.machine().sleep_for(20 * kMillisecond);
    EXPECT_FALSE(first.done());
    feed(rig, 0, "b");
    EXPECT_EQ(rig.client().wait(first).status, STATUS_SUCCESS);

    // From now on, it is kept and answers the next wait at once, once.
    feed(rig, 0, "c");
    rig.machine().sleep_for(20 * kMillisecond);
    Pending second = rig.client().send(h, wait_on_mask());
    ASSERT_TRUE(second.done());
    EXPECT_EQ(second.result().returned, STATUS_SUCCESS);
    EXPECT_EQ(second.result().u32(), (ULONG)SERIAL_EV_RXCHAR);
    Pending third = rig.client().send(h, wait_on_mask());
    EXPECT_FALSE(third.done());
    rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(0));
    EXPECT_TRUE(third.done());
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Wait, SetWaitMaskCompletesThePendingWaitFirstWithEventWordZero) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    Pending wait = rig.client().send(h, wait_on_mask());
    Completion set = rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_CTS));
    ASSERT_TRUE(wait.done());
    EXPECT_LT(wait.result().done_at, set.done_at + 1);
    EXPECT_EQ(wait.result().status, STATUS_SUCCESS);
    EXPECT_EQ(wait.result().info, 4u);
    EXPECT_EQ(wait.result().u32(), 0u);
    EXPECT_EQ(set.status, STATUS_SUCCESS);

    // Also when the port then refuses the mask.
    Pending again = rig.client().send(h, wait_on_mask());
    stack.faults().fail_always("vcomm", "SetCommEventMask");
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(0)).status,
              STATUS_UNSUCCESSFUL);
    stack.faults().clear();
    EXPECT_TRUE(again.done());
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).u32(), (ULONG)SERIAL_EV_CTS);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Wait, ASecondWaitIsRefusedAndTheFirstStaysPending) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    Pending first = rig.client().send(h, wait_on_mask());
    Completion second = rig.client().call(h, wait_on_mask());
    EXPECT_EQ(second.status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.done());
    feed(rig, 0, "x");
    EXPECT_EQ(rig.client().wait(first).status, STATUS_SUCCESS);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// A wait whose completion is already scheduled (NotifyDepth raised while it
// sits in WaitIrp) belongs to WaitDpc: SET_WAIT_MASK leaves it alone and a
// further wait is refused. On this machine the DPC runs before any passive
// code can look, so the scheduled state is set up by hand here.
TEST(Wait, ADeliveredWaitIsLeftToItsDpc) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    Pending wait = rig.client().send(h, wait_on_mask());
    PBRIDGE_EXTENSION ext = stack.extension();
    ext->NotifyDepth = 1;
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_CTS)).status,
              STATUS_SUCCESS);
    EXPECT_FALSE(wait.done());
    EXPECT_EQ(ext->WaitIrp, wait.irp());
    EXPECT_EQ(rig.client().call(h, wait_on_mask()).status, STATUS_INVALID_PARAMETER);
    ext->NotifyDepth = 0;  // as WaitDpc would leave it; close may now take the wait
    rig.client().close(h);
    EXPECT_EQ(rig.client().wait(wait).status, STATUS_CANCELLED);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Wait, MaskOutlivesTheOpenPeriodWhileThePortStartsWithReceivedCharactersOnly) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RLSD));
    rig.client().close(h);
    h = rig.client().open();
    EXPECT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).u32(),
              (ULONG)SERIAL_EV_RLSD);
    EXPECT_EQ(port(rig).event_mask, (ULONG)EV_RXCHAR);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(CommStatus, ReportsLineErrorsOnceAndTheQueueLevels) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_ERR | SERIAL_EV_RXCHAR));
    rig.handset().set_rate(2400);  // the port listens at 9600: framing errors
    feed(rig, 0, "UUUU");
    rig.machine().sleep_for(100 * kMillisecond);
    auto status = [&] {
      return record_of<SERIAL_STATUS>(
          rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
    };
    SERIAL_STATUS first = status();
    EXPECT_NE(first.Errors & SERIAL_ERROR_FRAMING, 0u) << std::hex << first.Errors;
    EXPECT_EQ(first.AmountInInQueue, port(rig).rx_queued);
    SERIAL_STATUS second = status();
    EXPECT_EQ(second.Errors, 0u);
    EXPECT_EQ(second.AmountInInQueue, first.AmountInInQueue);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// ---- races, explored under many schedules

struct Schedule {
  PolicyKind kind;
  uint64_t seed;
};

std::vector<Schedule> schedules(int count) {
  std::vector<Schedule> out;
  for (int i = 1; i <= count; ++i) {
    out.push_back({PolicyKind::Random, static_cast<uint64_t>(i)});
    out.push_back({PolicyKind::Pct, static_cast<uint64_t>(i)});
  }
  return out;
}

std::string describe(const Schedule& s) {
  return (s.kind == PolicyKind::Random ? "random seed " : "pct:3 seed ") + std::to_string(s.seed);
}

// A client keeps a wait pending while characters stream in and another of
// its threads keeps replacing the mask: every wait comes back exactly once,
// successfully, and the notification depth returns to rest.
TEST(WaitRace, DeliveredWaitAgainstSetWaitMask) {
  for (const Schedule& s : schedules(explore_seeds(100))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    int waits = 0;
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      rig.machine().after(kMillisecond, [&] { rig.handset().stream("z", 3000); });
      rig.client().spawn("masker", [&, h] {
        for (int i = 0; i < 30; ++i) {
          rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(i % 2 ? SERIAL_EV_RXCHAR : 0));
          rig.machine().sleep_for(7 * kMillisecond);
        }
      });
      for (int i = 0; i < 40; ++i) {
        Completion c = rig.client().call(h, wait_on_mask());
        EXPECT_TRUE(c.status == STATUS_SUCCESS || c.status == STATUS_INVALID_PARAMETER)
            << std::hex << c.status;
        ++waits;
      }
      rig.machine().sleep_for(100 * kMillisecond);
      EXPECT_EQ(stack.extension()->NotifyDepth, 0);
      rig.client().close(h);
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
    EXPECT_EQ(waits, 40);
  }
}

// Close while characters arrive and a wait is pending or already delivered:
// the wait completes exactly once, cancelled or successful, and close does
// not wait for it.
TEST(WaitRace, DeliveredWaitAgainstClose) {
  for (const Schedule& s : schedules(explore_seeds(100))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      for (int round = 0; round < 4; ++round) {
        Handle h = rig.client().open();
        ASSERT_TRUE(h.ok());
        rig.machine().after(static_cast<VTime>(s.seed % 5) * kMillisecond,
                            [&] { rig.handset().send_raw("hello"); });
        Pending wait = rig.client().send(h, wait_on_mask());
        rig.machine().sleep_for(static_cast<VTime>((s.seed + round) % 7) * kMillisecond);
        EXPECT_EQ(rig.client().close(h).status, STATUS_SUCCESS);
        const Completion& c = rig.client().wait(wait);
        EXPECT_TRUE(c.status == STATUS_SUCCESS || c.status == STATUS_CANCELLED)
            << std::hex << c.status;
        rig.machine().sleep_for(20 * kMillisecond);
      }
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
  }
}

// Notifications nest when a modem line changes while the routine runs: the
// nested call only notes its events, nothing is lost from the history, and
// the depth returns to rest.
TEST(NotifyNesting, NestedEventsGoToTheHistoryAndTheDepthReturnsToRest) {
  for (const Schedule& s : schedules(explore_seeds(30))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    bool toggled = false;
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK,
                         le32(SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_DSR));
      // First delivered wait arms the history.
      Pending wait = rig.client().send(h, wait_on_mask());
      feed(rig, 0, "a");
      rig.client().wait(wait);
      // The next character's notification is interrupted by a CTS change.
      rig.vcomm().set_service_hook([&](std::string_view service) {
        if (service == "GetCommEventMask" && !toggled) {
          toggled = true;
          ModemLines lines = rig.line().far_lines();
          lines.cts = !lines.cts;
          rig.line().set_far_lines(lines);
        }
      });
      feed(rig, 0, "b");
      rig.machine().sleep_for(50 * kMillisecond);
      rig.vcomm().set_service_hook(nullptr);
      Completion c = rig.client().call(h, wait_on_mask());
      EXPECT_EQ(c.status, STATUS_SUCCESS);
      EXPECT_EQ(c.u32() & (SERIAL_EV_RXCHAR | SERIAL_EV_CTS),
                (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_CTS))
          << std::hex << c.u32();
      EXPECT_EQ(stack.extension()->NotifyDepth, 0);
      rig.client().close(h);
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
    EXPECT_TRUE(toggled);
    EXPECT_GE(rig.vcomm().max_notify_depth(), 2);
  }
}

}  // namespace
}  // namespace hs::bridge_test
