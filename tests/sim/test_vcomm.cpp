// VCOMM's port services: the results and effects the drivers rely on.
#include <cstring>

#include "world.h"

namespace hs::test {
namespace {

TEST(Vcomm, OpenCommAnswersUnknownAndBusyPorts) {
  World world;
  RunResult result = world.run([&] {
    char com2[] = "COM2", com9[] = "COM9";
    EXPECT_EQ(_VCOMM_OpenComm(com9, static_cast<ULONG>(-1)), IE_BADID);
    ULONG port = _VCOMM_OpenComm(com2, static_cast<ULONG>(-1));
    EXPECT_NE(port, IE_BADID);
    EXPECT_NE(port, IE_OPEN);
    EXPECT_NE(port, 0u);
    EXPECT_EQ(_VCOMM_OpenComm(com2, static_cast<ULONG>(-1)), IE_OPEN);
    EXPECT_EQ(_VCOMM_CloseComm(port), 1u);
    EXPECT_EQ(_VCOMM_CloseComm(port), 0u);  // the handle is gone
    ULONG again = _VCOMM_OpenComm(com2, static_cast<ULONG>(-1));
    EXPECT_NE(again, IE_OPEN);
    UCHAR buffer[4];
    ULONG got = 7;
    EXPECT_EQ(_VCOMM_ReadComm(port, buffer, 4, &got), 0u);  // old handle
    EXPECT_EQ(got, 7u);
    _VCOMM_CloseComm(again);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// SetCommState applies the fields the action mask names; the line format
// mask 0x1E05F brings Parity along; unsupported formats change nothing.
struct StateCase {
  const char* what;
  ULONG mask;
  ULONG rate;
  UCHAR size, parity, stop;
  ULONG expect_ret;
  uint32_t expect_rate;   // UART rate afterwards
  uint8_t expect_parity;  // UART parity afterwards
};

class SetCommState : public ::testing::TestWithParam<StateCase> {};

TEST_P(SetCommState, AppliesTheMaskedFieldsOrRefusesWhole) {
  const StateCase c = GetParam();
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    DCB before;
    _VCOMM_GetCommState(port, &before);
    DCB dcb = before;
    dcb.BaudRate = c.rate;
    dcb.ByteSize = c.size;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    EXPECT_EQ(_VCOMM_SetCommState(port, &dcb, c.mask), c.expect_ret);
    EXPECT_EQ(world.line.pc().format().rate, c.expect_rate);
    EXPECT_EQ(world.line.pc().format().parity, c.expect_parity);
    DCB after;
    _VCOMM_GetCommState(port, &after);
    if (c.expect_ret == 0) {
      EXPECT_EQ(std::memcmp(&after, &before, sizeof(DCB)), 0);
    }
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SetCommState,
    ::testing::Values(
        StateCase{"literal rate", VCOMM_ACTION_LINE_FORMAT, 115200, 8, 0, 0, 1, 115200, 0},
        StateCase{"index code 9600", VCOMM_ACTION_LINE_FORMAT, CBR_9600, 8, 0, 0, 1, 9600, 0},
        StateCase{"index code 38400", VCOMM_ACTION_LINE_FORMAT, CBR_38400, 8, 0, 0, 1, 38400, 0},
        StateCase{"parity comes with 0x1E05F", VCOMM_ACTION_LINE_FORMAT, 9600, 7, 2, 0, 1, 9600, 2},
        StateCase{"rate bit alone", fBaudRate, 19200, 7, 2, 0, 1, 19200, 0},
        StateCase{"special chars leave the format", VCOMM_ACTION_SPECIAL_CHARS, 300, 7, 2, 0, 1,
                  9600, 0},
        StateCase{"rate 0", VCOMM_ACTION_LINE_FORMAT, 0, 8, 0, 0, 0, 9600, 0},
        StateCase{"unknown index code", VCOMM_ACTION_LINE_FORMAT, 0xFF30, 8, 0, 0, 0, 9600, 0},
        StateCase{"faster than the UART", VCOMM_ACTION_LINE_FORMAT, 230400, 8, 0, 0, 0, 9600, 0},
        StateCase{"9 data bits", VCOMM_ACTION_LINE_FORMAT, 9600, 9, 0, 0, 0, 9600, 0},
        StateCase{"parity code 5", VCOMM_ACTION_LINE_FORMAT, 9600, 8, 5, 0, 0, 9600, 0},
        StateCase{"1.5 stop bits with 8 data bits", VCOMM_ACTION_LINE_FORMAT, 9600, 8, 0, 1, 0,
                  9600, 0}),
    [](const auto& info) {
      std::string name = info.param.what;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

TEST(Vcomm, SpecialCharsMaskSetsXonToEvtChar1Only) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    DCB dcb;
    std::memset(&dcb, 0x5A, sizeof dcb);
    dcb.XonChar = 1;
    dcb.XoffChar = 2;
    dcb.ErrorChar = 3;
    dcb.EofChar = 4;
    dcb.EvtChar1 = 5;
    ASSERT_EQ(_VCOMM_SetCommState(port, &dcb, 0xF80), 1u);
    DCB after;
    _VCOMM_GetCommState(port, &after);
    EXPECT_EQ(after.XonChar, 1);
    EXPECT_EQ(after.XoffChar, 2);
    EXPECT_EQ(after.ErrorChar, 3);
    EXPECT_EQ(after.EofChar, 4);
    EXPECT_EQ(after.EvtChar1, 5);
    EXPECT_NE(after.EvtChar2, 0x5A);
    EXPECT_EQ(after.BaudRate, 9600u);
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.DCBLength, sizeof(DCB));
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, ReceiveQueueLivesInTheCallersBuffer) {
  World world;
  RunResult result = world.run([&] {
    UCHAR first[16] = {}, second[32] = {}, tx[16];
    ULONG port = open_port(first, sizeof first, tx, sizeof tx);
    world.far.send("HELLO");
    world.machine.sleep_for(10 * kMillisecond);
    COMSTAT stat;
    _VCOMM_GetCommQueueStatus(port, &stat);  // the port has taken what arrived
    EXPECT_EQ(std::string(reinterpret_cast<char*>(first), 5), "HELLO");  // before any read
    UCHAR scratch[8];
    ASSERT_EQ(_VCOMM_SetupComm(port, second, sizeof second, tx, sizeof tx, scratch), 1u);
    std::memset(first, 0, sizeof first);  // the old buffer is free again
    world.far.send("WORLD");
    world.machine.sleep_for(10 * kMillisecond);
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(second), 10), "HELLOWORLD");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(first), 5), std::string(5, '\0'));
    EXPECT_EQ(stat.cbInQue, 10u);
    EXPECT_EQ(read_all(port), "HELLOWORLD");
    // A ring: the next bytes wrap round the end of the buffer.
    std::string long_text = "abcdefghijklmnopqrstuvwxyz0123";
    world.far.send(long_text);
    world.machine.sleep_for(40 * kMillisecond);
    EXPECT_EQ(read_all(port), long_text);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, SetupWithTheSameBufferKeepsAWrappedQueue) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[8], tx[8], scratch[8];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    world.far.send("012345");
    world.machine.sleep_for(10 * kMillisecond);
    EXPECT_EQ(read_all(port), "012345");
    world.far.send("abcd");  // wraps round the end of the buffer
    world.machine.sleep_for(10 * kMillisecond);
    ASSERT_EQ(_VCOMM_SetupComm(port, rx, sizeof rx, tx, sizeof tx, scratch), 1u);
    EXPECT_EQ(read_all(port), "abcd");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, FullReceiveQueueOverflowsWithAnError) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[8], tx[8];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    _VCOMM_SetCommEventMask(port, EV_RXCHAR | EV_ERR, nullptr);
    world.far.send("0123456789AB");
    world.machine.sleep_for(20 * kMillisecond);
    COMSTAT stat;
    ULONG errors = 0;
    ASSERT_EQ(_VCOMM_ClearCommError(port, &stat, &errors), 1u);
    EXPECT_EQ(errors, static_cast<ULONG>(CE_RXOVER));
    EXPECT_EQ(stat.cbInQue, 8u);
    ULONG events = 0;
    _VCOMM_GetCommEventMask(port, 0, &events);
    EXPECT_EQ(events, static_cast<ULONG>(EV_RXCHAR | EV_ERR));
    _VCOMM_ClearCommError(port, &stat, &errors);
    EXPECT_EQ(errors, 0u);  // cleared by the first call
    EXPECT_EQ(read_all(port), "01234567");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, WriteQueuesWhatFitsAndDrainsAtLinePace) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[4];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    UCHAR text[] = "ABCDEFGH";
    ULONG written = 0;
    ASSERT_EQ(_VCOMM_WriteComm(port, text, 8, &written), 1u);
    EXPECT_EQ(written, 4u);          // the transmit buffer holds 4
    world.machine.sleep_for(10500);  // 'A' and 'B' have started
    ASSERT_EQ(_VCOMM_WriteComm(port, text + 4, 4, &written), 1u);
    EXPECT_EQ(written, 2u);
    world.machine.sleep_for(20 * kMillisecond);
    EXPECT_EQ(world.far.text(), "ABCDEF");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, TransmitCommCharGoesAheadOfTheQueue) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    UCHAR text[] = "ABCD";
    ULONG written = 0;
    _VCOMM_WriteComm(port, text, 4, &written);
    ASSERT_EQ(_VCOMM_TransmitCommChar(port, 'X'), 1u);
    world.machine.sleep_for(20 * kMillisecond);
    EXPECT_EQ(world.far.text(), "AXBCD");  // 'A' was already on the wire
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, PurgeEmptiesEachQueue) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    world.far.send("IN");
    world.machine.sleep_for(5 * kMillisecond);
    UCHAR text[] = "OUTPUT";
    ULONG written = 0;
    _VCOMM_WriteComm(port, text, 6, &written);
    ASSERT_EQ(_VCOMM_PurgeComm(port, VCOMM_PURGE_TX), 1u);
    ASSERT_EQ(_VCOMM_PurgeComm(port, VCOMM_PURGE_RX), 1u);
    COMSTAT stat;
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    world.machine.sleep_for(20 * kMillisecond);
    EXPECT_EQ(world.far.text(), "O");  // only the byte already started
    EXPECT_EQ(_VCOMM_PurgeComm(port, 2), 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, XoffEscapeHoldsTransmissionUntilXon) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    ASSERT_EQ(_VCOMM_EscapeCommFunction(port, SETXOFF, 0, nullptr), 1u);
    UCHAR text[] = "AB";
    ULONG written = 0;
    _VCOMM_WriteComm(port, text, 2, &written);
    world.machine.sleep_for(20 * kMillisecond);
    EXPECT_EQ(world.far.text(), "");
    COMSTAT stat;
    _VCOMM_GetCommQueueStatus(port, &stat);
    EXPECT_EQ(stat.cbOutQue, 2u);
    EXPECT_EQ(stat.BitMask & fXoffHold, static_cast<ULONG>(fXoffHold));
    _VCOMM_EscapeCommFunction(port, SETXON, 0, nullptr);
    world.machine.sleep_for(20 * kMillisecond);
    EXPECT_EQ(world.far.text(), "AB");
    EXPECT_EQ(_VCOMM_EscapeCommFunction(port, ESCAPE_AFTER_BAUD_CHANGE, 0, nullptr), 1u);
    EXPECT_EQ(_VCOMM_EscapeCommFunction(port, 99, 0, nullptr), 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, EventMaskRecordsEnabledEventsAndGetClearsTheNamedOnes) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    _VCOMM_SetCommEventMask(port, EV_RXCHAR | EV_TXEMPTY | EV_DSR, nullptr);
    world.far.send("A");
    UCHAR b = 'B';
    ULONG written = 0;
    _VCOMM_WriteComm(port, &b, 1, &written);
    world.line.set_far_lines(ModemLines{true, true, false, false});
    world.machine.sleep_for(5 * kMillisecond);
    ULONG events = 0;
    ASSERT_EQ(_VCOMM_GetCommEventMask(port, EV_RXCHAR, &events), 1u);
    EXPECT_EQ(events, static_cast<ULONG>(EV_RXCHAR | EV_TXEMPTY | EV_DSR));
    _VCOMM_GetCommEventMask(port, 0, &events);
    EXPECT_EQ(events, static_cast<ULONG>(EV_TXEMPTY | EV_DSR));
    world.line.set_far_lines(ModemLines{false, true, false, false});  // CTS: not enabled
    _VCOMM_GetCommEventMask(port, ~0u, &events);
    EXPECT_EQ(events, static_cast<ULONG>(EV_TXEMPTY | EV_DSR));
    _VCOMM_GetCommEventMask(port, 0, &events);
    EXPECT_EQ(events, 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, TimeoutsAreStoredAndPropertiesFilled) {
  World world;
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[32];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    COMMTIMEOUTS set = {1, 2, 3, 4, 5}, got = {};
    ASSERT_EQ(_VCOMM_GetSetCommTimeouts(port, &set, VCOMM_TIMEOUTS_SET), 1u);
    ASSERT_EQ(_VCOMM_GetSetCommTimeouts(port, &got, VCOMM_TIMEOUTS_GET), 1u);
    EXPECT_EQ(std::memcmp(&set, &got, sizeof set), 0);
    COMMPROP prop;
    static_assert(sizeof(COMMPROP) == 64);
    static_assert(sizeof(DCB) == 48);
    ASSERT_EQ(_VCOMM_GetCommProperties(port, &prop), 1u);
    EXPECT_EQ(prop.wPacketLength, 64);
    EXPECT_EQ(prop.dwCurrentRxQueue, 16u);
    EXPECT_EQ(prop.dwCurrentTxQueue, 32u);
    EXPECT_EQ(prop.dwMaxBaud, 0x00020000u);       // 115200
    EXPECT_NE(prop.dwSettableBaud & 0x800u, 0u);  // 9600
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Vcomm, EveryServiceCanBeFailedAndIsTraced) {
  World world;
  world.machine.faults().fail_nth_at("vcomm", "ReadComm", 1);
  world.machine.faults().fail_nth_at("vcomm", "SetCommState", 2);
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);  // first SetCommState
    world.far.send("Z");
    world.machine.sleep_for(5 * kMillisecond);
    UCHAR buffer[4];
    ULONG got = 99;
    EXPECT_EQ(_VCOMM_ReadComm(port, buffer, 4, &got), 0u);
    EXPECT_EQ(got, 99u);  // untouched
    EXPECT_EQ(_VCOMM_ReadComm(port, buffer, 4, &got), 1u);
    EXPECT_EQ(got, 1u);  // the failed call took nothing
    DCB dcb;
    _VCOMM_GetCommState(port, &dcb);
    dcb.BaudRate = 19200;
    EXPECT_EQ(_VCOMM_SetCommState(port, &dcb, fBaudRate), 0u);
    EXPECT_EQ(world.line.pc().format().rate, 9600u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  bool seen = false;
  for (const auto& e : world.machine.trace().events()) {
    if (e.ev != "vcomm" || e.str("svc") != "SetCommState") continue;
    EXPECT_EQ(e.str("port"), "COM2");
    if (!seen) {
      EXPECT_EQ(e.num("ret"), 1);
      EXPECT_EQ(e.text,
                "_VCOMM_SetCommState(COM2, Rate: 9600 8N1 Flags: 0x140001 Mask: 0x1E05F) = 1")
          << e.text;
    }
    seen = true;
  }
  EXPECT_TRUE(seen);
  EXPECT_EQ(world.vcomm.calls("ReadComm"), 2u);
}

// The notification routine runs at interrupt time when an enabled event
// becomes pending, may call the services and nest; a global event it
// schedules runs once, after it has returned.
struct NotifyLog {
  World* world = nullptr;
  ULONG port = 0;
  std::vector<std::pair<int, ULONG>> calls;  // depth, events
  int depth = 0;
  bool in_interrupt = true;
  int global_runs = 0;
  int depth_at_global = -1;
};

void NTAPI global_event(PVOID data) {
  auto* log = static_cast<NotifyLog*>(data);
  ++log->global_runs;
  log->depth_at_global = log->depth;
}

void NTAPI notify(ULONG port, PVOID data, ULONG event, ULONG events) {
  auto* log = static_cast<NotifyLog*>(data);
  EXPECT_EQ(port, log->port);
  EXPECT_EQ(event, static_cast<ULONG>(CN_EVENT));
  log->in_interrupt = log->in_interrupt && log->world->machine.in_interrupt();
  ++log->depth;
  log->calls.emplace_back(log->depth, events);
  if (log->calls.size() == 1) {
    Schedule_Global_Event(global_event, log);
    // DSR drops while this call runs: the next service call nests.
    log->world->line.set_far_lines(ModemLines{true, false, false, false});
  }
  ULONG pending = 0;
  _VCOMM_GetCommEventMask(port, events, &pending);
  --log->depth;
}

TEST(Vcomm, NotificationNestsAndGlobalEventRunsAfterIt) {
  World world;
  NotifyLog log;
  log.world = &world;
  world.line.set_far_lines(ModemLines{true, true, false, false});
  RunResult result = world.run([&] {
    UCHAR rx[16], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    log.port = port;
    _VCOMM_SetCommEventMask(port, EV_RXCHAR | EV_DSR, nullptr);
    ASSERT_EQ(_VCOMM_EnableCommNotification(port, notify, &log), 1u);
    world.far.send("A");
    world.machine.sleep_for(10 * kMillisecond);
    _VCOMM_EnableCommNotification(port, nullptr, nullptr);
    world.far.send("B");
    world.machine.sleep_for(10 * kMillisecond);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  ASSERT_EQ(log.calls.size(), 2u);
  EXPECT_EQ(log.calls[0], std::make_pair(1, static_cast<ULONG>(EV_RXCHAR)));
  EXPECT_EQ(log.calls[1], std::make_pair(2, static_cast<ULONG>(EV_DSR)));
  EXPECT_TRUE(log.in_interrupt);
  EXPECT_EQ(log.global_runs, 1);
  EXPECT_EQ(log.depth_at_global, 0);
  EXPECT_EQ(world.vcomm.max_notify_depth(), 2);
}

}  // namespace
}  // namespace hs::test

namespace hs::test {
namespace {

struct RxLog {
  ULONG port = 0;
  std::vector<VTime> times;
};

void NTAPI notify_rx(ULONG port, PVOID data, ULONG, ULONG events) {
  auto* log = static_cast<RxLog*>(data);
  log->times.push_back(Machine::current().now());
  ULONG pending = 0;
  _VCOMM_GetCommEventMask(port, events, &pending);
}

// Received characters are reported as a 16550 would interrupt: when 14
// bytes wait in its FIFO, or when the line has been quiet for four
// character times after the last one.
TEST(Vcomm, ReceivedCharactersAreReportedAtFifoTriggerOrTimeout) {
  World world;
  RxLog log;
  RunResult result = world.run([&] {
    UCHAR rx[64], tx[16];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    log.port = port;
    _VCOMM_SetCommEventMask(port, EV_RXCHAR, nullptr);
    _VCOMM_EnableCommNotification(port, notify_rx, &log);
    VTime start = world.machine.now();
    world.far.send("0123456789ABCDEFGHIJ");  // 20 bytes
    world.machine.sleep_for(100 * kMillisecond);
    ASSERT_EQ(log.times.size(), 2u);
    EXPECT_EQ(log.times[0] - start, 145833);              // end of the 14th byte
    EXPECT_EQ(log.times[1] - start, 208333 + 4 * 10416);  // 4 quiet frames after the 20th
    EXPECT_EQ(read_all(port), "0123456789ABCDEFGHIJ");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
}  // namespace hs::test
