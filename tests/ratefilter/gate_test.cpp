// The gate and the held wait against other threads, under random and PCT
// schedules: while a negotiation uses the line no client request reaches the
// port, two negotiations never interleave, and a wait request is never lost
// between its completion and the end of a negotiation.
#include <gtest/gtest.h>

#include <optional>

#include "fixture.h"

namespace rftest {
namespace {

using hs::Completion;
using hs::Handle;
using hs::Request;

std::vector<hs::SchedulePolicy> exploration_policies() {
  std::vector<hs::SchedulePolicy> policies;
  for (uint64_t seed = 1; seed <= 24; ++seed) {
    policies.push_back({hs::PolicyKind::Random, seed, 2});
    policies.push_back({hs::PolicyKind::Pct, seed, 3});
  }
  return policies;
}

// Index ranges [purge, final set-speed] of each negotiation in the port's calls.
std::vector<std::pair<size_t, size_t>> negotiations(const ScriptedPort& port,
                                                    const std::vector<uint32_t>& rates) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t i = 0; i < port.calls.size(); ++i) {
    if (port.calls[i].text() != "PURGE 0F") continue;
    size_t end = i;
    for (size_t j = i + 1; j < port.calls.size(); ++j) {
      bool final_rate = false;
      for (uint32_t r : rates) final_rate |= port.calls[j].text() == "BAUD " + std::to_string(r);
      if (final_rate) {
        end = j;
        break;
      }
    }
    spans.emplace_back(i, end);
  }
  return spans;
}

TEST(FilterGate, KeepsClientRequestsOffTheLineDuringANegotiation) {
  for (const hs::SchedulePolicy& policy : exploration_policies()) {
    SCOPED_TRACE(policy.describe());
    FilterStack s(rig_options(policy));
    Completion rate;
    std::vector<Completion> others;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      bool done = false;
      s.client().spawn("passive", [&] {
        for (int i = 0; i < 3; ++i) {
          others.push_back(s.client().write(h, "DATA"));
          others.push_back(s.client().read(h, 7));
        }
      });
      s.client().spawn("dispatch", [&] {
        for (int i = 0; i < 3; ++i)
          others.push_back(s.client().call(h, Request::write("DPC!").at(DISPATCH_LEVEL)));
        done = true;
      });
      rate = s.set_rate(h, 115200);
      while (!done || others.size() < 9) s.rig.machine().sleep_for(hs::kMillisecond);
      s.client().close(h);
    });
    EXPECT_EQ(rate.status, STATUS_SUCCESS);
    for (const Completion& c : others) EXPECT_TRUE(NT_SUCCESS(c.status)) << c.status;
    auto spans = negotiations(s.port, {115200});
    ASSERT_EQ(spans.size(), 1u);
    for (size_t i = spans[0].first; i <= spans[0].second; ++i) {
      std::string t = s.port.calls[i].text();
      EXPECT_TRUE(t != "WRITE DATA" && t != "WRITE DPC!" && t != "READ 7") << t << " at " << i;
    }
    EXPECT_EQ(s.port.count("WRITE DPC!"), 3u);
  }
}

TEST(FilterGate, TwoNegotiationsNeverInterleave) {
  for (const hs::SchedulePolicy& policy : exploration_policies()) {
    SCOPED_TRACE(policy.describe());
    FilterStack s(rig_options(policy));
    Completion a, b;
    bool b_done = false;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      s.client().spawn("second", [&] {
        b = s.set_rate(h, 57600);
        b_done = true;
      });
      a = s.set_rate(h, 115200);
      while (!b_done) s.rig.machine().sleep_for(hs::kMillisecond);
      s.client().close(h);
    });
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    auto spans = negotiations(s.port, {57600, 115200});
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_LT(spans[0].second, spans[1].first);
    // Each rate command followed its own probe or known state, in turn.
    EXPECT_EQ(s.port.count("WRITE AT+IPR="), 2u);
  }
}

// A wait completed from another context at any moment around a negotiation
// either reaches the client or is pending below again; never lost.
TEST(FilterGate, WaitCompletedAroundANegotiationIsNeverLost) {
  for (const hs::SchedulePolicy& policy : exploration_policies()) {
    for (KIRQL irql : {KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
      SCOPED_TRACE(policy.describe() + " irql " + std::to_string(irql));
      FilterStack s(rig_options(policy));
      Completion rate, wait;
      RF_RUN(s, [&] {
        Handle h = s.client().open();
        s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(SERIAL_EV_CTS));
        hs::Pending w = s.client().send(h, Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
        bool fired = false;
        s.client().spawn("event", [&] {
          // A few scheduling points, as many as the seed makes them count.
          LARGE_INTEGER ticks;
          for (uint64_t i = 0; i < policy.seed % 7; ++i) KeQueryTickCount(&ticks);
          std::optional<hs::IrqlGuard> raised;
          if (irql > PASSIVE_LEVEL) raised.emplace(irql);
          s.port.complete_wait(SERIAL_EV_CTS);
          raised.reset();
          fired = true;
        });
        rate = s.set_rate(h, 115200);
        while (!fired) s.rig.machine().sleep_for(hs::kMillisecond);
        // Whatever is still pending below now ends with the mask change.
        if (!w.done()) s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(0));
        wait = s.client().wait(w);
        s.client().close(h);
      });
      EXPECT_EQ(rate.status, STATUS_SUCCESS);
      EXPECT_EQ(wait.status, STATUS_SUCCESS);
    }
  }
}

}  // namespace
}  // namespace rftest
