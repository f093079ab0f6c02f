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
  const std::vector<uint32_t> rates = {57600, 115200, 38400};
  for (const hs::SchedulePolicy& policy : exploration_policies()) {
    SCOPED_TRACE(policy.describe());
    FilterStack s(rig_options(policy));
    std::vector<Completion> negotiated, others;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      int finished = 0;
      s.client().spawn("passive", [&] {
        for (int i = 0; i < 12; ++i) {
          others.push_back(s.client().write(h, "DATA"));
          others.push_back(s.client().read(h, 7));
        }
        ++finished;
      });
      s.client().spawn("dispatch", [&] {
        for (int i = 0; i < 4; ++i)
          others.push_back(s.client().call(h, Request::write("DPC!").at(DISPATCH_LEVEL)));
        ++finished;
      });
      for (uint32_t rate : rates) negotiated.push_back(s.set_rate(h, rate));
      while (finished < 2) s.rig.machine().sleep_for(hs::kMillisecond);
      s.client().close(h);
    });
    for (const Completion& c : negotiated) EXPECT_EQ(c.status, STATUS_SUCCESS);
    for (const Completion& c : others) EXPECT_TRUE(NT_SUCCESS(c.status)) << c.status;
    auto spans = negotiations(s.port, rates);
    ASSERT_EQ(spans.size(), rates.size());
    for (const auto& [first, last] : spans) {
      for (size_t i = first; i <= last; ++i) {
        std::string t = s.port.calls[i].text();
        EXPECT_TRUE(t != "WRITE DATA" && t != "WRITE DPC!" && t != "READ 7") << t << " at " << i;
      }
    }
    EXPECT_EQ(s.port.count("WRITE DPC!"), 4u);
    EXPECT_EQ(s.port.count("WRITE DATA"), 12u);
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

namespace rftest {
namespace {

// Requests that meet the closed gate at DISPATCH_LEVEL cannot wait: they are
// held, cancellable, and go down once the negotiation is over.
TEST(FilterGate, RequestsAtDispatchLevelAreHeldUntilTheGateOpens) {
  FilterStack s;
  hs::Pending kept, cancelled;
  bool kept_done_inside = true, cancel_answer = false;
  size_t writes_inside = 0;
  hs::Handle h;
  s.port.fail_when = [&](const PortCall& c) {
    if (c.text() == "BAUD 9600" && !cancel_answer) {
      kept = s.client().send(h, hs::Request::write("KEPT").at(DISPATCH_LEVEL));
      cancelled = s.client().send(h, hs::Request::write("GONE").at(DISPATCH_LEVEL));
      cancel_answer = s.client().cancel(cancelled);
      kept_done_inside = kept.done();
      writes_inside = s.port.count("WRITE");
    }
    return STATUS_SUCCESS;
  };
  hs::Completion rate;
  RF_RUN(s, [&] {
    h = s.client().open();
    rate = s.set_rate(h, 115200);
    s.client().wait(kept);
    s.client().wait(cancelled);
    s.client().close(h);
  });
  EXPECT_EQ(rate.status, STATUS_SUCCESS);
  EXPECT_FALSE(kept_done_inside);
  EXPECT_EQ(writes_inside, 0u);
  EXPECT_TRUE(cancel_answer);
  EXPECT_EQ(cancelled.result().status, STATUS_CANCELLED);
  EXPECT_EQ(kept.result().status, STATUS_SUCCESS);
  EXPECT_EQ(s.port.count("WRITE GONE"), 0u);
  // KEPT went down after the client's rate, once the gate had opened.
  EXPECT_GT(s.port.find("WRITE KEPT"), s.port.find("BAUD 115200"));
}

// Requests handled in pageable code are refused at DISPATCH_LEVEL.
TEST(FilterGate, PassiveOnlyRequestsAreRefusedAtDispatchLevel) {
  FilterStack s;
  std::vector<NTSTATUS> got;
  RF_RUN(s, [&] {
    hs::Handle h = s.client().open();
    got.push_back(s.client()
                      .call(h, hs::Request::ioctl_in(IOCTL_SERIAL_SET_BAUD_RATE, hs::le32(19200))
                                   .at(DISPATCH_LEVEL))
                      .status);
    got.push_back(
        s.client()
            .call(h, hs::Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4).at(DISPATCH_LEVEL))
            .status);
    got.push_back(s.client().open(DISPATCH_LEVEL).open_status);
    s.client().close(h);
  });
  EXPECT_EQ(got, (std::vector<NTSTATUS>(3, STATUS_INVALID_DEVICE_REQUEST)));
  EXPECT_EQ(s.port.count("BAUD"), 0u);
  EXPECT_EQ(s.port.count("WAIT"), 0u);
}

// Power requests pass a negotiation: it may itself wait for the port's D0.
TEST(FilterGate, PowerRequestsDoNotWaitForANegotiation) {
  FilterStack s;
  PowerResult power;
  bool done_inside = false;
  s.port.fail_when = [&](const PortCall& c) {
    if (c.text() == "BAUD 9600" && !power.done) {
      POWER_STATE d0;
      d0.DeviceState = PowerDeviceD0;
      PIRP irp = nullptr;
      PoRequestPowerIrp(s.node->pdo, IRP_MN_SET_POWER, d0, power_request_done, &power, &irp);
      done_inside = power.done;
    }
    return STATUS_SUCCESS;
  };
  RF_RUN(s, [&] {
    hs::Handle h = s.client().open();
    EXPECT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    s.client().close(h);
  });
  EXPECT_TRUE(done_inside);
  EXPECT_EQ(power.status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace rftest
