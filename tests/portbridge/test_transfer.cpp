// Reads, writes and purges through the bridge with bytes on the line: the
// timeout rules, polls paced by the line, reads one after another, purges
// that abort waiting and queued reads, short and refused writes, no pool use
// per request, and the races of purge against the poll timer and against the
// hand-over of the next read, under many seeds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_control_support.h"

namespace hs::bridge_test {
namespace {

struct Feed {
  VTime at;  // from the moment the read is sent; negative: before it
  std::string bytes;
};

struct TimeoutCase {
  std::string name;
  SERIAL_TIMEOUTS timeouts;
  ULONG length;
  std::vector<Feed> feeds;
  NTSTATUS status;
  ULONG min_info, max_info;
  VTime min_elapsed, max_elapsed;
};

void PrintTo(const TimeoutCase& c, std::ostream* os) { *os << c.name; }

class ReadTimeouts : public ::testing::TestWithParam<TimeoutCase> {};

TEST_P(ReadTimeouts, EndTheReadAsTheRulesSay) {
  const TimeoutCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  std::string fed;
  for (const Feed& f : tc.feeds) fed += f.bytes;
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_rate(rig, h, 9600);
    set_timeouts(rig, h, tc.timeouts);
    for (const Feed& f : tc.feeds)
      if (f.at < 0) feed(rig, 0, f.bytes);
    rig.machine().sleep_for(100 * kMillisecond);
    for (const Feed& f : tc.feeds)
      if (f.at >= 0) feed(rig, f.at, f.bytes);
    Completion c = rig.client().read(h, tc.length);
    EXPECT_EQ(c.status, tc.status) << std::hex << c.status;
    EXPECT_GE(c.info, tc.min_info);
    EXPECT_LE(c.info, tc.max_info);
    EXPECT_EQ(c.text(), fed.substr(0, c.info));
    VTime elapsed = c.done_at - c.sent_at;
    EXPECT_GE(elapsed, tc.min_elapsed);
    EXPECT_LE(elapsed, tc.max_elapsed);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

constexpr VTime ms = kMillisecond;

INSTANTIATE_TEST_SUITE_P(
    Table, ReadTimeouts,
    ::testing::Values(
        TimeoutCase{"LengthZeroIsFullAtOnce", timeouts(0, 0, 0), 0, {}, STATUS_SUCCESS, 0, 0, 0, 0},
        TimeoutCase{"AllBytesQueuedAlready",
                    timeouts(0, 0, 0),
                    10,
                    {{-1, "0123456789xx"}},
                    STATUS_SUCCESS,
                    10,
                    10,
                    0,
                    0},
        TimeoutCase{"MaxIntervalWithNothingQueued",
                    timeouts(MAXULONG, 0, 0),
                    10,
                    {},
                    STATUS_SUCCESS,
                    0,
                    0,
                    0,
                    0},
        TimeoutCase{"MaxIntervalTakesWhatIsQueued",
                    timeouts(MAXULONG, 0, 0),
                    10,
                    {{-1, "abc"}},
                    STATUS_SUCCESS,
                    3,
                    3,
                    0,
                    0},
        TimeoutCase{"IntervalWithSomeQueuedTimesOutAtOnce",
                    timeouts(50, 0, 0),
                    10,
                    {{-1, "abc"}},
                    STATUS_TIMEOUT,
                    3,
                    3,
                    0,
                    0},
        TimeoutCase{"IntervalEndsAtTheFirstPollThatFindsBytes",
                    timeouts(50, 0, 0),
                    10,
                    {{100 * ms, "abc"}},
                    STATUS_TIMEOUT,
                    1,
                    3,
                    100 * ms,
                    125 * ms},
        TimeoutCase{"AllZeroWaitsUntilTheBufferIsFull",
                    timeouts(0, 0, 0),
                    5,
                    {{50 * ms, "ab"}, {2500 * ms, "cdefg"}},
                    STATUS_SUCCESS,
                    5,
                    5,
                    2500 * ms,
                    2520 * ms},
        TimeoutCase{"TotalTimeoutCountsTheWholeLength",
                    timeouts(0, 10, 100),
                    10,
                    {{20 * ms, "abcd"}},
                    STATUS_TIMEOUT,
                    4,
                    4,
                    200 * ms,
                    210 * ms},
        TimeoutCase{"TotalTimeoutWithNothingArriving",
                    timeouts(0, 0, 300),
                    4,
                    {},
                    STATUS_TIMEOUT,
                    0,
                    0,
                    300 * ms,
                    310 * ms},
        TimeoutCase{"IntervalAndTotalWithNothingArriving",
                    timeouts(50, 0, 100),
                    4,
                    {},
                    STATUS_TIMEOUT,
                    0,
                    0,
                    100 * ms,
                    110 * ms}),
    [](const auto& info) { return info.param.name; });

// The poll interval is the line time of the missing bytes, from the port's
// settings as it holds them: no start bit counted, the rate taken literally.
struct DueCase {
  std::string name;
  ULONG rate;  // set through SET_BAUD_RATE; 0: as opened (index code of 9600)
  SERIAL_LINE_CONTROL format;
  ULONG missing;
  LONGLONG due;  // relative, 100 ns
};

void PrintTo(const DueCase& c, std::ostream* os) { *os << c.name; }

class PollInterval : public ::testing::TestWithParam<DueCase> {};

TEST_P(PollInterval, IsTheLineTimeOfTheMissingBytes) {
  const DueCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    if (tc.rate != 0) set_rate(rig, h, tc.rate);
    rig.client().ioctl(h, IOCTL_SERIAL_SET_LINE_CONTROL, bytes_of(tc.format));
    set_timeouts(rig, h, timeouts(0, 0, 0));
    Pending read = rig.client().send(h, Request::read(tc.missing));
    ASSERT_FALSE(read.done());
    PBRIDGE_EXTENSION ext = stack.extension();
    EXPECT_EQ(read_timer_due_in(ext), tc.due);
    rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
    EXPECT_EQ(rig.client().wait(read).status, STATUS_CANCELLED);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PollInterval,
    ::testing::Values(DueCase{"Rate9600With8N1", 9600, {STOP_BIT_1, NO_PARITY, 8}, 100, 937500},
                      DueCase{"Rate9600With8E2", 9600, {STOP_BITS_2, EVEN_PARITY, 8}, 100, 1145833},
                      DueCase{"Rate115200With8N1", 115200, {STOP_BIT_1, NO_PARITY, 8}, 512, 400000},
                      DueCase{"IndexCodeTakenAsARate", 0, {STOP_BIT_1, NO_PARITY, 8}, 100, 137821}),
    [](const auto& info) { return info.param.name; });

TEST(PollIntervalFallback, WithoutTheSettingsIsOneSecondOrTheRestOfTheTotal) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(0, 0, 0));
    stack.faults().fail_always("vcomm", "GetCommState");
    Pending read = rig.client().send(h, Request::read(10));
    EXPECT_EQ(read_timer_due_in(stack.extension()), kSecond);
    stack.faults().clear();
    rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
    rig.client().wait(read);

    set_timeouts(rig, h, timeouts(0, 0, 700));
    stack.faults().fail_always("vcomm", "GetCommState");
    read = rig.client().send(h, Request::read(10));
    EXPECT_EQ(read_timer_due_in(stack.extension()), 700 * ms);
    stack.faults().clear();
    EXPECT_EQ(rig.client().wait(read).status, STATUS_TIMEOUT);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(ReadRules, ErrorBit80EndsEveryReadUntilTheStatusIsRead) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(0, 0, 0));
    stack.extension()->ErrorWord = 0x80;
    for (int i = 0; i < 2; ++i) {
      Completion c = rig.client().read(h, 10);
      EXPECT_EQ(c.status, STATUS_SUCCESS);
      EXPECT_EQ(c.info, 0u);
    }
    rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
    Pending read = rig.client().send(h, Request::read(10));
    EXPECT_FALSE(read.done());
    rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
    rig.client().wait(read);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

// The cached receive count may lag behind the port; a read that takes more
// bytes than it says leaves it at 0, never wrapped round to a huge count.
TEST(ReadRules, AStaleReceiveCountDoesNotWrapBelowZero) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
    feed(rig, 0, "abc");
    rig.machine().sleep_for(20 * ms);
    stack.extension()->ComStat.cbInQue = 1;
    EXPECT_EQ(rig.client().read(h, 10).text(), "abc");
    auto status = record_of<SERIAL_STATUS>(
        rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)));
    EXPECT_EQ(status.AmountInInQueue, 0u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(ReadRules, MaxIntervalSetWhileAReadWaitsEndsItAtTheNextPollIfBytesCame) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_rate(rig, h, 9600);
    set_timeouts(rig, h, timeouts(0, 0, 0));
    Pending read = rig.client().send(h, Request::read(10));
    feed(rig, 0, "abc");
    rig.machine().sleep_for(50 * ms);
    EXPECT_FALSE(read.done());
    set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
    const Completion& c = rig.client().wait(read);
    EXPECT_EQ(c.status, STATUS_TIMEOUT);
    EXPECT_EQ(c.text(), "abc");
    EXPECT_LE(c.done_at - c.sent_at, 50 * ms + 10 * ms);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Reads, RunOneAtATimeInArrivalOrder) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(0, 0, 0));
    Pending first = rig.client().send(h, Request::read(5));
    Pending second = rig.client().send(h, Request::read(5));
    Pending third = rig.client().send(h, Request::read(5));
    feed(rig, 0, "AAAAABBBBBCCCCC");
    EXPECT_EQ(rig.client().wait(third).text(), "CCCCC");
    EXPECT_EQ(first.result().text(), "AAAAA");
    EXPECT_EQ(second.result().text(), "BBBBB");
    EXPECT_LE(first.result().done_at, second.result().done_at);
    EXPECT_LE(second.result().done_at, third.result().done_at);
    EXPECT_EQ(stack.extension()->CurrentRead, nullptr);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Purge, ReceiveAbortCancelsTheWaitingAndQueuedReadsAndCostsTheNextNoPoll) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_rate(rig, h, 9600);
    set_timeouts(rig, h, timeouts(0, 0, 0));
    Pending waiting = rig.client().send(h, Request::read(10));
    Pending queued1 = rig.client().send(h, Request::read(10));
    Pending queued2 = rig.client().send(h, Request::read(10));
    feed(rig, 0, "ab");
    rig.machine().sleep_for(30 * ms);
    Completion purge = rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
    EXPECT_EQ(purge.status, STATUS_SUCCESS);
    EXPECT_EQ(purge.info, 0u);
    for (const Pending* p : {&waiting, &queued1, &queued2}) {
      ASSERT_TRUE(p->done());
      EXPECT_EQ(p->result().status, STATUS_CANCELLED);
    }
    EXPECT_EQ(waiting.result().info, 2u);  // delivered, though a cancelled read shows no data
    EXPECT_EQ(queued1.result().info, 0u);

    // The queue is idle again and the next read polls at the line's pace.
    set_timeouts(rig, h, timeouts(10, 0, 0));
    Pending next = rig.client().send(h, Request::read(10));
    EXPECT_FALSE(next.done());
    VTime arrival = rig.machine().now() + 100 * ms;
    feed(rig, 100 * ms, "x");
    const Completion& c = rig.client().wait(next);
    EXPECT_EQ(c.status, STATUS_TIMEOUT);
    EXPECT_EQ(c.text(), "x");
    EXPECT_LE(c.done_at, arrival + char_time(9600) + 10 * ms);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

struct PurgeCase {
  std::string name;
  ULONG mask;
  std::string failing;  // VCOMM service made to fail
  NTSTATUS status;
  ULONG_PTR info;
  bool read_cancelled;
  uint64_t port_purges;  // PurgeComm calls the request makes
};

void PrintTo(const PurgeCase& c, std::ostream* os) { *os << c.name; }

class PurgeMask : public ::testing::TestWithParam<PurgeCase> {};

TEST_P(PurgeMask, RunsItsStepsAndAnswers) {
  const PurgeCase& tc = GetParam();
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(0, 0, 0));
    Pending read = rig.client().send(h, Request::read(10));
    uint64_t purges = rig.vcomm().calls("PurgeComm");
    if (!tc.failing.empty()) stack.faults().fail_always("vcomm", tc.failing);
    Completion c = rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(tc.mask));
    stack.faults().clear();
    EXPECT_EQ(c.status, tc.status) << std::hex << c.status;
    EXPECT_EQ(c.info, tc.info);
    EXPECT_EQ(rig.vcomm().calls("PurgeComm") - purges, tc.port_purges);
    EXPECT_EQ(read.done(), tc.read_cancelled);
    if (!tc.read_cancelled) {
      rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
    }
    EXPECT_EQ(rig.client().wait(read).status, STATUS_CANCELLED);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PurgeMask,
    ::testing::Values(
        PurgeCase{"TransmitAbortAloneDoesNothing", SERIAL_PURGE_TXABORT, "", STATUS_SUCCESS, 0,
                  false, 0},
        PurgeCase{"Everything", 0xF, "", STATUS_SUCCESS, 0, true, 2},
        PurgeCase{"ClearsOnly", SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR, "", STATUS_SUCCESS, 0,
                  false, 2},
        // A refused port purge is reported, after the remaining steps have run.
        PurgeCase{"RefusedTransmitClear", 0xF, "PurgeComm", STATUS_UNSUCCESSFUL, 0, true, 2},
        PurgeCase{"RefusedReceiveClearAfterTheAbort", SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR,
                  "PurgeComm", STATUS_UNSUCCESSFUL, 0, true, 1}),
    [](const auto& info) { return info.param.name; });

TEST(Write, QueuesWhatThePortTakesAndReportsARefusal) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    Completion c = rig.client().write(h, std::string(1500, 'w'));
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.info, 1024u);  // the transmit queue's size

    stack.faults().fail_always("vcomm", "WriteComm");
    c = rig.client().write(h, "x");
    stack.faults().clear();
    EXPECT_EQ(c.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.info, 0u);

    c = rig.client().write(h, "");
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(c.info, 0u);
    rig.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Requests, AllocateNothingFromThePool) {
  BridgeStack stack;
  Rig& rig = stack.rig();
  auto result = stack.run([&] {
    Handle h = rig.client().open();
    set_timeouts(rig, h, timeouts(5, 0, 0));
    uint64_t before = pool_allocations(stack.kernel());
    for (int i = 0; i < 50; ++i) {
      feed(rig, 0, "ping");
      rig.client().read(h, 4);
      rig.client().write(h, "pong");
      rig.client().ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
      rig.client().ioctl(h, IOCTL_SERIAL_SET_DTR);
      rig.client().call(h, Request::ioctl_out(IOCTL_SERIAL_GET_MODEMSTATUS, 4).at(DISPATCH_LEVEL));
      rig.client().call(h, Request::read(4).at(DISPATCH_LEVEL));
    }
    EXPECT_EQ(pool_allocations(stack.kernel()), before);
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

bool read_status_ok(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED;
}

// Reads poll a streaming line while another thread purges: every read comes
// back exactly once, a purge never completes a read twice nor loses one, and
// the bytes keep their order across reads.
TEST(TransferRace, PurgeAgainstThePollTimer) {
  const std::string pattern = "0123456789";
  for (const Schedule& s : schedules(explore_seeds(100))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    size_t delivered = 0;
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      set_rate(rig, h, 9600);
      set_timeouts(rig, h, timeouts(0, 0, 30));
      rig.machine().after(0, [&] { rig.handset().stream(pattern, 3000); });
      bool done = false;
      rig.client().spawn("purger", [&] {
        for (int i = 0; !done; ++i) {
          rig.machine().sleep_for(static_cast<VTime>(13 + (s.seed + i) % 17) * ms);
          Completion c = rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXABORT));
          EXPECT_EQ(c.status, STATUS_SUCCESS);
        }
      });
      // A cancelled read shows no data to its caller, but its Information still
      // counts the bytes it took: the stream position moves on by it.
      size_t position = 0;
      for (int i = 0; i < 60; ++i) {
        Completion c = rig.client().read(h, 16);
        EXPECT_TRUE(read_status_ok(c.status)) << std::hex << c.status;
        if (c.status != STATUS_CANCELLED) {
          std::string text = c.text();
          for (size_t k = 0; k < text.size(); ++k) {
            EXPECT_EQ(text[k], pattern[(position + k) % pattern.size()])
                << describe(s) << " read " << i << " byte " << k;
          }
        }
        position += c.info;
        delivered += c.info;
      }
      done = true;
      rig.machine().sleep_for(100 * ms);
      EXPECT_EQ(stack.extension()->CurrentRead, nullptr);
      EXPECT_EQ(stack.extension()->StartingRead, nullptr);
      rig.client().close(h);
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
    EXPECT_GT(delivered, 0u);
  }
}

// Several reads queue behind each other; as each ends the next is handed to
// a work item. Receive aborts land at every moment of that hand-over: no read
// overlaps another, each completes once, and the queue is usable afterwards.
TEST(TransferRace, HandOverAgainstReceiveAbort) {
  for (const Schedule& s : schedules(explore_seeds(100))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      set_rate(rig, h, 9600);
      set_timeouts(rig, h, timeouts(MAXULONG, 0, 0));
      for (int round = 0; round < 6; ++round) {
        rig.machine().after(0, [&] { rig.handset().stream("abcdef", 40); });
        std::vector<Pending> reads;
        for (int i = 0; i < 5; ++i) {
          reads.push_back(
              rig.client().send(h, Request::read(3).at(i % 2 ? DISPATCH_LEVEL : PASSIVE_LEVEL)));
        }
        rig.machine().sleep_for(static_cast<VTime>((s.seed * 7 + round * 3) % 11) * 100 *
                                kMicrosecond);
        rig.client().ioctl(h, IOCTL_SERIAL_PURGE,
                           le32(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR));
        for (const Pending& p : reads) {
          const Completion& c = rig.client().wait(p);
          EXPECT_TRUE(read_status_ok(c.status)) << std::hex << c.status;
        }
        rig.machine().sleep_for(60 * ms);
      }
      // Afterwards the queue is idle and reads work.
      rig.client().ioctl(h, IOCTL_SERIAL_PURGE, le32(SERIAL_PURGE_RXCLEAR));
      set_timeouts(rig, h, timeouts(0, 0, 0));
      Pending last = rig.client().send(h, Request::read(2));
      feed(rig, 0, "ok");
      EXPECT_EQ(rig.client().wait(last).text(), "ok");
      rig.client().close(h);
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
  }
}

// Reads queued behind each other complete in the order they were queued,
// whatever the schedule: the next read is handed over only after the one
// before it has been completed. (Reads that reach an idle queue from
// different threads are independent and complete in no set order.)
TEST(TransferRace, QueuedReadsCompleteInTheirOrder) {
  for (const Schedule& s : schedules(explore_seeds(100))) {
    SCOPED_TRACE(describe(s));
    StackOptions options;
    options.rig = seeded(s.kind, s.seed);
    BridgeStack stack(options);
    Rig& rig = stack.rig();
    auto result = stack.run([&] {
      Handle h = rig.client().open();
      set_rate(rig, h, 9600);
      set_timeouts(rig, h, timeouts(0, 0, 0));
      // A read whose bytes are there when it is handed over ends in the start
      // step of its worker; one that waits for them ends in the timer routine.
      for (int level : {PASSIVE_LEVEL, DISPATCH_LEVEL}) {
        std::vector<Pending> reads;
        for (int i = 0; i < 4; ++i) {
          reads.push_back(rig.client().send(h, Request::read(3).at(static_cast<KIRQL>(level))));
        }
        rig.machine().sleep_for(5 * ms);  // every read is queued by now
        feed(rig, 0, level == PASSIVE_LEVEL ? "aaabbbcccddd" : "eeefffggghhh");
        for (const Pending& p : reads) rig.client().wait(p);
      }
    });
    ASSERT_TRUE(result.ok()) << describe(s) << "\n" << result.report;
    std::string order;
    for (const Completion& c : rig.client().history())
      if (c.info == 3) order += c.text();
    EXPECT_EQ(order, "aaabbbcccdddeeefffggghhh") << describe(s);
  }
}

}  // namespace
}  // namespace hs::bridge_test
