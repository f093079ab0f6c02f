// The filter over the whole stack: the client, ratefilter, portbridge on
// VCOMM's COM port, the serial line and the handset with its quirks.
#include <gtest/gtest.h>

#include "fixture.h"

namespace rftest {
namespace {

using hs::Completion;
using hs::Handle;
using hs::Request;

struct Stack {
  hs::Rig rig;
  hs::DeviceNode* node;
  explicit Stack(hs::RigOptions options = {}) : rig(std::move(options)) {
    node = &rig.install(rig.stack_spec("portbridge", {"ratefilter"}));
  }
  hs::Client& client() { return rig.client(); }
  Completion set_rate(const Handle& h, uint32_t rate) {
    return client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(rate));
  }
  // The handset's answer to "AT\r" written by the client at the port's rate.
  std::string at(const Handle& h) {
    client().ioctl(h, IOCTL_SERIAL_PURGE, hs::le32(SERIAL_PURGE_RXCLEAR));
    std::vector<uint8_t> timeouts(20, 0);
    timeouts[0] = 50;                        // interval 50 ms
    timeouts[8] = 0xF4, timeouts[9] = 0x01;  // total constant 500 ms
    client().ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    client().write(h, "AT\r");
    std::string answer;
    for (int i = 0; i < 10 && answer.find("OK\r\n") == std::string::npos; ++i) {
      Completion r = client().read(h, 32);
      if (r.info == 0) break;
      answer += r.text();
    }
    return answer;
  }
};

TEST(FilterStackE2E, NegotiationSwitchesTheHandset) {
  Stack s;
  Completion rate;
  std::string answer;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    ASSERT_TRUE(h.ok());
    rate = s.set_rate(h, 115200);
    answer = s.at(h);
    s.client().close(h);
    EXPECT_EQ(s.rig.kernel().send_pnp(*s.node, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
  });
  EXPECT_EQ(rate.status, STATUS_SUCCESS);
  EXPECT_EQ(s.rig.handset().rate(), 115200u);
  EXPECT_EQ(answer, "AT\r\r\nOK\r\n");
  std::string tx = s.rig.line_bytes("tx");
  EXPECT_EQ(tx.substr(0, 20), "AT\rAT\rAT+IPR=115200\r");
  // The requests that reached portbridge for the client's SET_BAUD_RATE.
  std::vector<std::string> below;
  bool inside = false;
  for (const hs::TraceEvent& e : s.rig.events("irp")) {
    if (e.str("phase") != "in") continue;
    if (e.str("dev") == "ratefilter") {
      inside = e.str("ioctl") == "IOCTL_SERIAL_SET_BAUD_RATE";
      continue;
    }
    if (!inside || e.str("dev") != "portbridge") continue;
    std::string what = e.str("major") == "IRP_MJ_DEVICE_CONTROL" ? e.str("ioctl") : e.str("major");
    if (what == "IRP_MJ_READ" && !below.empty() && below.back() == what) continue;
    below.push_back(what);
  }
  EXPECT_EQ(below,
            (std::vector<std::string>{"IOCTL_SERIAL_PURGE", "IOCTL_SERIAL_GET_TIMEOUTS",
                                      "IOCTL_SERIAL_SET_TIMEOUTS", "IOCTL_SERIAL_SET_BAUD_RATE",
                                      "IRP_MJ_WRITE", "IRP_MJ_READ", "IRP_MJ_WRITE", "IRP_MJ_READ",
                                      "IOCTL_SERIAL_SET_TIMEOUTS", "IOCTL_SERIAL_SET_BAUD_RATE"}));
  EXPECT_EQ(s.rig.kernel().pool_usage("QX42").blocks_held, 0u);
  EXPECT_EQ(s.rig.kernel().pool_blocks_held(), 0u) << s.rig.kernel().pool_report();
}

// The same over the whole stack under random and PCT schedules, with a
// wait on received characters pending and another thread reading meanwhile.
TEST(FilterStackE2E, NegotiationUnderExploredSchedules) {
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    for (hs::PolicyKind kind : {hs::PolicyKind::Random, hs::PolicyKind::Pct}) {
      hs::SchedulePolicy policy{kind, seed, 3};
      SCOPED_TRACE(policy.describe());
      hs::RigOptions options = rig_options(policy);
      // Time may leap ahead under these schedules; a handset that dozes off
      // would lose the client's own "AT" afterwards.
      options.handset.sleep_after = 0;
      Stack s(options);
      Completion rate, wait;
      std::string answer;
      RF_RUN(s, [&] {
        Handle h = s.client().open();
        s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(SERIAL_EV_RXCHAR));
        hs::Pending w = s.client().send(h, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
        bool reader_done = false;
        s.client().spawn("reader", [&] {
          std::vector<uint8_t> at_once(20, 0);
          at_once[0] = at_once[1] = at_once[2] = at_once[3] = 0xFF;
          s.client().ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, at_once);
          for (int i = 0; i < 3; ++i) s.client().read(h, 4);
          reader_done = true;
        });
        rate = s.set_rate(h, 115200);
        while (!reader_done) s.rig.machine().sleep_for(hs::kMillisecond);
        // The handset takes the new rate once its OK has left it.
        s.rig.machine().sleep_for(20 * hs::kMillisecond);
        answer = s.at(h);
        wait = s.client().wait(w);
        s.client().close(h);
      });
      EXPECT_EQ(rate.status, STATUS_SUCCESS);
      EXPECT_EQ(s.rig.handset().rate(), 115200u);
      EXPECT_EQ(answer, "AT\r\r\nOK\r\n");
      EXPECT_EQ(wait.status, STATUS_SUCCESS);
    }
  }
}

// The handset's ways of answering, and where each leaves the two ends.
TEST(FilterStackE2E, HandsetQuirks) {
  struct Case {
    const char* name;
    std::function<void(hs::HandsetOptions&)> setup;
    NTSTATUS client;
    uint32_t handset_rate;  // after the negotiation
    bool talks;             // "AT" answered at the port's rate afterwards
  };
  const Case cases[] = {
      {"echo off", [](hs::HandsetOptions& o) { o.echo = false; }, STATUS_SUCCESS, 115200, true},
      {"numeric", [](hs::HandsetOptions& o) { o.verbose = false; }, STATUS_SUCCESS, 115200, false},
      {"slow", [](hs::HandsetOptions& o) { o.latency = 60 * hs::kMillisecond; }, STATUS_SUCCESS,
       115200, true},
      // Awake: it answers both commands of the probe; the retry sends one.
      {"awake",
       [](hs::HandsetOptions& o) {
         o.asleep_at_power_on = false;
         o.sleep_after = 0;
       },
       STATUS_SUCCESS, 115200, true},
      // Silent: the port follows the client, the handset stays where it was.
      {"silent", [](hs::HandsetOptions& o) { o.quirks.silent = true; }, STATUS_SUCCESS, 9600,
       false},
      // The rate refused: the request fails and both ends stay at 9600.
      {"ERROR to +IPR",
       [](hs::HandsetOptions& o) { o.rates = {300, 1200, 2400, 4800, 9600, 19200}; },
       STATUS_UNSUCCESSFUL, 9600, true},
  };
  for (const Case& k : cases) {
    hs::RigOptions options;
    k.setup(options.handset);
    Stack s(options);
    Completion rate;
    std::string answer;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      rate = s.set_rate(h, 115200);
      answer = s.at(h);
      s.client().close(h);
    });
    EXPECT_EQ(rate.status, k.client) << k.name;
    EXPECT_EQ(s.rig.handset().rate(), k.handset_rate) << k.name;
    if (k.talks) {
      EXPECT_NE(answer.find("OK\r\n"), std::string::npos) << k.name << ": " << answer;
    }
    EXPECT_EQ(s.rig.kernel().pool_usage("QX42").blocks_held, 0u) << k.name;
  }
}

// After a new open the rate is negotiated again from the probe, although
// the handset already runs at it: the probes at 9600 fail, the client's rate
// goes down and both ends still understand each other.
TEST(FilterStackE2E, NewOpenNegotiatesAgainFromTheProbe) {
  Stack s;
  Completion first, second;
  std::string answer;
  size_t tx_after_first = 0;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    first = s.set_rate(h, 115200);
    s.client().close(h);
    tx_after_first = s.rig.line_bytes("tx").size();
    h = s.client().open();
    second = s.set_rate(h, 115200);
    answer = s.at(h);
    s.client().close(h);
  });
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(s.rig.line_bytes("tx").substr(tx_after_first, 6), "AT\rAT\r");
  EXPECT_EQ(s.rig.handset().rate(), 115200u);
  EXPECT_EQ(answer, "AT\r\r\nOK\r\n");
}

TEST(FilterStackE2E, WaitOnRxcharIsNotCompletedByTheHandsetsAnswer) {
  Stack s;
  Completion wait;
  bool done_after_negotiation = true;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(SERIAL_EV_RXCHAR));
    hs::Pending w = s.client().send(h, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    EXPECT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    s.rig.machine().sleep_for(20 * hs::kMillisecond);
    done_after_negotiation = w.done();
    // A byte of the handset's own now completes it.
    s.rig.handset().send_raw("X");
    wait = s.client().wait(w);
    s.client().close(h);
  });
  EXPECT_FALSE(done_after_negotiation);
  EXPECT_EQ(wait.status, STATUS_SUCCESS);
  EXPECT_EQ(wait.u32() & SERIAL_EV_RXCHAR, static_cast<uint32_t>(SERIAL_EV_RXCHAR));
}

// Start, open, traffic, power down and up, removal: nothing left behind.
TEST(FilterStackE2E, FullLifeFromOneDeviceNodeFile) {
  hs::Rig rig;
  hs::DeviceNode* node = &rig.install_file(hs::Rig::data("ratefilter/handset.inf"));
  Completion rate, write, read;
  NTSTATUS sleep = STATUS_PENDING, wake = STATUS_PENDING, removed = STATUS_PENDING;
  hs::RunResult result = rig.run([&] {
    Handle h = rig.client().open();
    ASSERT_TRUE(h.ok());
    rate = rig.client().ioctl(h, IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(57600));
    write = rig.client().write(h, "ATI\r");
    rig.machine().sleep_for(50 * hs::kMillisecond);
    std::vector<uint8_t> at_once(20, 0);
    at_once[0] = at_once[1] = at_once[2] = at_once[3] = 0xFF;  // interval MAXULONG
    rig.client().ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, at_once);
    read = rig.client().read(h, 64);
    rig.client().close(h);
    sleep = rig.kernel().send_system_power(*node, IRP_MN_SET_POWER, PowerSystemSleeping3);
    wake = rig.kernel().send_system_power(*node, IRP_MN_SET_POWER, PowerSystemWorking);
    h = rig.client().open();
    EXPECT_TRUE(h.ok());
    rig.client().close(h);
    removed = rig.kernel().send_pnp(*node, IRP_MN_REMOVE_DEVICE);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(rate.status, STATUS_SUCCESS);
  EXPECT_EQ(write.status, STATUS_SUCCESS);
  EXPECT_NE(read.text().find("HS-1"), std::string::npos) << read.text();
  EXPECT_EQ(sleep, STATUS_SUCCESS);
  EXPECT_EQ(wake, STATUS_SUCCESS);
  EXPECT_EQ(removed, STATUS_SUCCESS);
  EXPECT_EQ(node->state, hs::NodeState::Removed);
  EXPECT_EQ(rig.kernel().pool_blocks_held(), 0u) << rig.kernel().pool_report();
}

}  // namespace
}  // namespace rftest
