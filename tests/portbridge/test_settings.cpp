// Port settings through the bridge: the handshake bit table both ways, the
// special characters, line control the port refuses, the side effects of a
// baud-rate change, and queue growth (also while bytes arrive, and when the
// pool runs dry).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_control_support.h"

namespace hs::bridge_test {
namespace {

struct HandflowCase {
  std::string name;
  ULONG control;
  ULONG flow;
  ULONG bitmask;       // what SET_HANDFLOW writes
  ULONG read_control;  // what GET_HANDFLOW answers then
  ULONG read_flow;
};

void PrintTo(const HandflowCase& c, std::ostream* os) { *os << c.name; }

class Handflow : public ::testing::TestWithParam<HandflowCase> {};

TEST_P(Handflow, WritesTheBitMaskAndReadsTheFlagsBack) {
  const HandflowCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    SERIAL_HANDFLOW in{};
    in.ControlHandShake = tc.control;
    in.FlowReplace = tc.flow;
    in.XonLimit = 100;
    in.XoffLimit = 300;
    ASSERT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_SET_HANDFLOW, bytes_of(in)).status,
              STATUS_SUCCESS);
    DCB dcb = port(rig).dcb;
    EXPECT_EQ(dcb.BitMask, tc.bitmask) << std::hex << dcb.BitMask;
    EXPECT_EQ(dcb.XonLim, 100u);
    EXPECT_EQ(dcb.XoffLim, 300u);

    auto out = record_of<SERIAL_HANDFLOW>(
        rig.client().ioctl(h, IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)));
    EXPECT_EQ(out.ControlHandShake, tc.read_control) << std::hex << out.ControlHandShake;
    EXPECT_EQ(out.FlowReplace, tc.read_flow) << std::hex << out.FlowReplace;
    EXPECT_EQ(out.XonLimit, 100);
    EXPECT_EQ(out.XoffLimit, 300);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    BitTable, Handflow,
    ::testing::Values(
        HandflowCase{"Nothing", 0, 0, 0x83, 0, 0},
        HandflowCase{"DtrAndRtsControl", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0x140001,
                     SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL},
        HandflowCase{"TransmitToggle", 0, SERIAL_TRANSMIT_TOGGLE, 0x104081, 0,
                     SERIAL_TRANSMIT_TOGGLE},
        HandflowCase{"ControlHandshakes",
                     SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DTR_HANDSHAKE |
                         SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
                     0, 0x9209B,
                     SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE | SERIAL_DTR_HANDSHAKE |
                         SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT,
                     0},
        HandflowCase{"FlowFlags", 0,
                     SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE, 0x20C83, 0,
                     SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE},
        HandflowCase{"FlagsWithoutABitAreDropped", SERIAL_DCD_HANDSHAKE,
                     SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_BREAK_CHAR, 0x83, 0, 0}),
    [](const auto& info) { return info.param.name; });

TEST(SpecialChars, AreWrittenWithoutReadingFirstAndBreakCharReadsZero) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    uint64_t reads = rig.vcomm().calls("GetCommState");
    SERIAL_CHARS in{0x1A, '?', 0x55, '!', 0x11, 0x13};
    ASSERT_EQ(rig.client().ioctl(h, IOCTL_SERIAL_SET_CHARS, bytes_of(in)).status, STATUS_SUCCESS);
    EXPECT_EQ(rig.vcomm().calls("GetCommState"), reads);
    // The line format is left alone by the special-characters mask.
    EXPECT_EQ(port(rig).dcb.BaudRate, 0xFF16u);
    EXPECT_EQ(port(rig).dcb.ByteSize, 8);

    auto out = record_of<SERIAL_CHARS>(rig.client().ioctl(h, IOCTL_SERIAL_GET_CHARS, {}, 6));
    EXPECT_EQ(out.EofChar, 0x1A);
    EXPECT_EQ(out.ErrorChar, '?');
    EXPECT_EQ(out.BreakChar, 0);
    EXPECT_EQ(out.EventChar, '!');
    EXPECT_EQ(out.XonChar, 0x11);
    EXPECT_EQ(out.XoffChar, 0x13);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(LineControl, ThatThePortRefusesFailsAndChangesNothing) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    SERIAL_LINE_CONTROL lc{STOP_BIT_1, NO_PARITY, 9};
    Completion c = rig.client().ioctl(h, IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(lc));
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.info, 0u);
    EXPECT_EQ(port(rig).dcb.ByteSize, 8);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(BaudRate, ChangeToTheSameRateStillDiscardsBothQueuesAndTheReceiveCount) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    rig.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RXCHAR));
    feed(rig, 0, std::string(40, 'r'));
    rig.machine().sleep_for(100 * kMillisecond);
    rig.client().write(h, std::string(500, 'w'));
    ASSERT_GT(port(rig).rx_queued, 0u);
    ASSERT_GT(port(rig).tx_queued, 0u);
    auto status = record_of<SERIAL_STATUS>(
        rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
    EXPECT_GT(status.AmountInInQueue, 0u);

    uint64_t escapes = rig.vcomm().calls("EscapeCommFunction");
    uint64_t purges = rig.vcomm().calls("PurgeComm");
    uint64_t clears = rig.vcomm().calls("ClearCommError");
    Completion c = rig.client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(0xFF16));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.info, 0u);
    EXPECT_EQ(rig.vcomm().calls("EscapeCommFunction"), escapes + 1);
    EXPECT_EQ(rig.vcomm().calls("PurgeComm"), purges + 2);
    EXPECT_GE(rig.vcomm().calls("ClearCommError"), clears + 1);
    EXPECT_EQ(port(rig).rx_queued, 0u);
    EXPECT_EQ(port(rig).tx_queued, 0u);
    status = record_of<SERIAL_STATUS>(
        rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
    EXPECT_EQ(status.AmountInInQueue, 0u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(BaudRate, RefusedByThePortFailsWithoutTheSideEffects) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    uint64_t purges = rig.vcomm().calls("PurgeComm");
    Completion c = rig.client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, le32(1000000));
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(rig.vcomm().calls("PurgeComm"), purges);
    EXPECT_EQ(port(rig).dcb.BaudRate, 0xFF16u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

SERIAL_QUEUE_SIZE queue_size(ULONG in, ULONG out) {
  SERIAL_QUEUE_SIZE q{};
  q.InSize = in;
  q.OutSize = out;
  return q;
}

TEST(QueueSize, NotAboveTheCurrentSizesAllocatesNothingButStillHandsTheBuffersOver) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    uint64_t allocations = stack.kernel().pool_usage("PBRG").allocations;
    uint64_t setups = rig.vcomm().calls("SetupComm");
    Completion c =
        rig.client().ioctl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, bytes_of(queue_size(100, 1024)));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(stack.kernel().pool_usage("PBRG").allocations, allocations);
    EXPECT_EQ(rig.vcomm().calls("SetupComm"), setups + 1);
    EXPECT_EQ(port(rig).rx_size, 2048u);
    EXPECT_EQ(port(rig).tx_size, 1024u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(QueueSize, WithThePoolDryChangesNothingAndLeaksNothing) {
  for (int failing = 1; failing <= 2; ++failing) {
    SCOPED_TRACE(failing == 1 ? "receive allocation fails" : "transmit allocation fails");
    BridgeStack stack;
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      uint64_t held = stack.held("PBRG");
      uint64_t setups = rig.vcomm().calls("SetupComm");
      stack.faults().fail_nth_at("pool", "PBRG",
                                 stack.kernel().pool_usage("PBRG").allocations + failing);
      Completion c =
          rig.client().ioctl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, bytes_of(queue_size(8192, 4096)));
      stack.faults().clear();
      EXPECT_EQ(c.status, STATUS_INSUFFICIENT_RESOURCES);
      EXPECT_EQ(stack.held("PBRG"), held);
      EXPECT_EQ(rig.vcomm().calls("SetupComm"), setups);
      EXPECT_EQ(port(rig).rx_size, 2048u);
      EXPECT_EQ(port(rig).tx_size, 1024u);

      // The port still works on the buffers it has.
      set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
      feed(rig, 0, "abc");
      rig.machine().sleep_for(50 * kMillisecond);
      EXPECT_EQ(rig.client().read(h, 10).text(), "abc");
      rig.client().close(h);
    });
    EXPECT_TRUE(result.ok()) << result.report;
  }
}

// The port's queues live in the bridge's buffers; growing them while bytes
// stream in must neither lose nor reorder a byte, and the port must never
// touch a buffer that has been freed (AddressSanitizer watches the asan run).
TEST(QueueSize, GrowsWhileBytesArriveWithoutLosingOrReorderingThem) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  const std::string pattern = "0123456789abcdefghijklmnopqrstuvwxyz";
  const uint64_t count = 6000;
  std::string got;
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
    rig.machine().after(0, [&] { rig.handset().stream(pattern, count); });
    ULONG size = 2048;
    while (got.size() < count) {
      rig.machine().sleep_for(300 * kMillisecond);
      if (size < 64 * 1024) {
        size *= 2;
        Completion c = rig.client().ioctl(h, IOCTL_SERIAL_SET_QUEUE_SIZE,
                                          bytes_of(queue_size(size, size / 2)));
        ASSERT_EQ(c.status, STATUS_SUCCESS);
        ASSERT_EQ(port(rig).rx_size, size);
      }
      got += rig.client().read(h, 4096).text();
      ASSERT_LT(rig.machine().now(), 60 * kSecond);
    }
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  ASSERT_EQ(got.size(), count);
  for (size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(got[i], pattern[i % pattern.size()]) << "at byte " << i;
  }
}

}  // namespace
}  // namespace hs::bridge_test
