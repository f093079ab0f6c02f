// The serial line: byte timing, mismatched ends, break and modem lines.
#include "world.h"

namespace hs::test {
namespace {

// A frame lasts (start + data + parity + stop) bits at the sender's rate;
// the n-th byte written at once ends n frames after the write.
struct TimingCase {
  uint32_t rate;
  uint8_t data, parity, stop;
  VTime third_byte_end;  // end of the third byte, in 100 ns
};

class LineTiming : public ::testing::TestWithParam<TimingCase> {};

TEST_P(LineTiming, BytesArriveAfterTheirFrameTimesAtTheSendersFormat) {
  const TimingCase c = GetParam();
  World world;
  world.set_far_format(c.rate, c.data, c.parity, c.stop);
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx, c.rate);
    ASSERT_NE(port, 0u);
    DCB dcb;
    _VCOMM_GetCommState(port, &dcb);
    dcb.ByteSize = c.data;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    ASSERT_EQ(_VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT), 1u);
    VTime start = world.machine.now();
    ULONG written = 0;
    UCHAR text[] = {'A', 'T', '\r'};
    _VCOMM_WriteComm(port, text, 3, &written);
    EXPECT_EQ(written, 3u);
    COMSTAT stat;
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(stat.cbOutQue, 2u);  // the first byte is on the wire
    world.machine.sleep_for(c.third_byte_end + kMillisecond);
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(stat.cbOutQue, 0u);
    ASSERT_EQ(world.far.bytes.size(), 3u);
    EXPECT_EQ(world.far.text(), "AT\r");
    EXPECT_EQ(world.far.bytes[2].t - start, c.third_byte_end);
    EXPECT_EQ(world.far.all_errors(), 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(Formats, LineTiming,
                         ::testing::Values(TimingCase{9600, 8, 0, 0,
                                                      31250},  // 8N1: 10 bits, 1041.67 us a byte
                                           TimingCase{115200, 8, 0, 0, 2604},   // 3 x 86.8 us
                                           TimingCase{9600, 7, 2, 0, 31250},    // 7E1: also 10 bits
                                           TimingCase{9600, 8, 2, 2, 37500},    // 8E2: 12 bits
                                           TimingCase{300, 5, 0, 1, 750000}));  // 5N1.5: 7.5 bits

TEST(Line, FirstByteTakesTenBitTimesAt9600) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    VTime start = world.machine.now();
    UCHAR a = 'A';
    ULONG written = 0;
    _VCOMM_WriteComm(port, &a, 1, &written);
    world.machine.sleep_for(10 * kMillisecond);
    ASSERT_EQ(world.far.bytes.size(), 1u);
    EXPECT_EQ(world.far.bytes[0].t - start, 10416);  // 10 bits of 104.17 us
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// When the ends disagree the receiver samples garbage: other bytes and
// framing errors, identical on every run.
std::vector<FarEnd::Byte> send_mismatched(uint32_t pc_rate, uint32_t far_rate) {
  World world;
  world.set_far_format(far_rate);
  std::vector<FarEnd::Byte> got;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx, pc_rate);
    UCHAR text[] = {'A', 'T', '+', 'I', 'P', 'R', '?', '\r'};
    ULONG written = 0;
    _VCOMM_WriteComm(port, text, sizeof text, &written);
    world.machine.sleep_for(100 * kMillisecond);
    got = world.far.bytes;
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  return got;
}

TEST(Line, RateMismatchGivesTheSameGarbageEveryRun) {
  for (auto [pc, far] :
       {std::pair<uint32_t, uint32_t>{9600, 115200}, {115200, 9600}, {9600, 19200}}) {
    SCOPED_TRACE(std::to_string(pc) + " -> " + std::to_string(far));
    auto first = send_mismatched(pc, far);
    auto second = send_mismatched(pc, far);
    ASSERT_FALSE(first.empty());
    std::string text;
    uint32_t errors = 0;
    for (auto& b : first) {
      text += static_cast<char>(b.byte);
      errors |= b.errors;
    }
    EXPECT_EQ(text.find("AT"), std::string::npos) << "the command came through unharmed";
    if (pc < far) {
      EXPECT_NE(errors & CE_FRAME, 0u);  // slow bits read fast: broken frames
    }
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i) {
      EXPECT_EQ(first[i].byte, second[i].byte);
      EXPECT_EQ(first[i].t, second[i].t);
      EXPECT_EQ(first[i].errors, second[i].errors);
    }
  }
}

TEST(Line, ParityMismatchIsAParityError) {
  World world;
  world.set_far_format(9600, 8, 2 /* even */, 0);
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    DCB dcb;
    _VCOMM_GetCommState(port, &dcb);
    dcb.Parity = 1;  // odd
    ASSERT_EQ(_VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT), 1u);
    UCHAR a = 'A';
    ULONG written = 0;
    _VCOMM_WriteComm(port, &a, 1, &written);
    world.machine.sleep_for(10 * kMillisecond);
    ASSERT_EQ(world.far.bytes.size(), 1u);
    EXPECT_EQ(world.far.bytes[0].byte, 'A');
    EXPECT_EQ(world.far.bytes[0].errors, static_cast<uint32_t>(CE_RXPARITY));
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Line, BreakReachesTheFarEndAndHoldsQueuedBytes) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    ASSERT_EQ(_VCOMM_EscapeCommFunction(port, SETBREAK, 0, nullptr), 1u);
    UCHAR a = 'A';
    ULONG written = 0;
    _VCOMM_WriteComm(port, &a, 1, &written);
    world.machine.sleep_for(20 * kMillisecond);
    ASSERT_EQ(world.far.bytes.size(), 1u);
    EXPECT_EQ(world.far.bytes[0].errors & CE_BREAK, static_cast<uint32_t>(CE_BREAK));
    COMSTAT stat;
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(stat.cbOutQue, 1u);  // waits for the break to end
    _VCOMM_EscapeCommFunction(port, CLRBREAK, 0, nullptr);
    world.machine.sleep_for(20 * kMillisecond);
    ASSERT_EQ(world.far.bytes.size(), 2u);
    EXPECT_EQ(world.far.bytes[1].byte, 'A');
    EXPECT_EQ(world.far.bytes[1].errors, 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Line, ModemLinesFollowBothEnds) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    // The PC's DTR and RTS are the far end's DSR and CTS.
    EXPECT_TRUE(world.line.far().modem_lines().dsr);
    EXPECT_TRUE(world.line.far().modem_lines().cts);
    _VCOMM_EscapeCommFunction(port, CLRDTR, 0, nullptr);
    EXPECT_FALSE(world.line.far().modem_lines().dsr);
    _VCOMM_EscapeCommFunction(port, CLRRTS, 0, nullptr);
    EXPECT_FALSE(world.line.far().modem_lines().cts);
    struct Case {
      ModemLines lines;
      ULONG status;
    };
    for (const Case& c : {Case{{true, false, false, false}, MS_CTS_ON},
                          Case{{false, true, false, false}, MS_DSR_ON},
                          Case{{false, false, true, false}, MS_RING_ON},
                          Case{{false, false, false, true}, MS_RLSD_ON},
                          Case{{true, true, false, true}, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON}}) {
      world.line.set_far_lines(c.lines);
      ULONG status = 0;
      ASSERT_EQ(_VCOMM_GetModemStatus(port, &status), 1u);
      EXPECT_EQ(status, c.status);
    }
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
}  // namespace hs::test
