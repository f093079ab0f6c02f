// The baud-rate negotiation over the scripted port: the requests that reach
// the port, in order, and what the client's request comes back with.
#include <gtest/gtest.h>

#include "fixture.h"

namespace rftest {
namespace {

using hs::Completion;
using hs::Handle;
using Texts = std::vector<std::string>;

const std::string kAssumed = "4294967295,0,0,0,0";

TEST(Negotiation, SendsTheProbeAndRateCommandThenTheClientsRequest) {
  FilterStack s;
  s.port.timeouts = {1, 2, 3, 4, 5};
  uint64_t allocations = 0;
  size_t from = 0;
  Completion c;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    from = s.port.calls.size();
    allocations = s.pool_allocations();
    c = s.set_rate(h, 115200);
    allocations = s.pool_allocations() - allocations;
    s.client().close(h);
  });
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(s.port.line_texts(from), full_negotiation(115200, "1,2,3,4,5"));
  EXPECT_EQ(s.port.rate, 115200u);
  // One buffer per answer read, nothing else.
  EXPECT_EQ(allocations, 2u);
  EXPECT_EQ(s.pool_held(), 0u);
  // Every internal request carried the client's file object.
  for (size_t i = from; i < s.port.calls.size(); ++i)
    EXPECT_EQ(s.port.calls[i].file, s.port.calls[from].file) << s.port.calls[i].text();
}

TEST(Negotiation, SameRateAgainCostsNothingUntilTheNextOpen) {
  FilterStack s;
  Completion again;
  size_t after_first = 0, after_second = 0;
  Texts reopened;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    ASSERT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    after_first = s.port.calls.size();
    again = s.set_rate(h, 115200);
    after_second = s.port.calls.size();
    s.client().close(h);
    h = s.client().open();
    size_t from = s.port.calls.size();
    ASSERT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    reopened = s.port.line_texts(from);
    s.client().close(h);
  });
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(after_second, after_first);
  // The open forgot the state and the client's timeouts: a full negotiation.
  EXPECT_EQ(reopened, full_negotiation(115200, "0,0,0,0,0"));
}

TEST(Negotiation, RejectsAnInputThatIsNotOneRate) {
  for (ULONG length : {0u, 3u, 8u}) {
    FilterStack s;
    Completion c;
    size_t from = 0;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      from = s.port.calls.size();
      c = s.client().call(
          h, hs::Request::ioctl_in(IOCTL_SERIAL_SET_BAUD_RATE, std::vector<uint8_t>(8, 0))
                 .input_len(length));
      s.client().close(h);
    });
    EXPECT_EQ(c.status, STATUS_INVALID_PARAMETER) << length;
    EXPECT_EQ(s.port.line_texts(from), Texts{}) << length;
  }
}

TEST(Negotiation, SilentHandsetTwoProbesThenTheClientsRateGoesDown) {
  FilterStack s;
  s.port.responder = nullptr;
  Completion first, second;
  Texts sequence, again;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    size_t from = s.port.calls.size();
    first = s.set_rate(h, 19200);
    sequence = s.port.line_texts(from);
    from = s.port.calls.size();
    // RateKnown stayed FALSE: the same rate is negotiated again.
    second = s.set_rate(h, 19200);
    again = s.port.line_texts(from);
    s.client().close(h);
  });
  Texts expected = {"PURGE 0F",  "GET_TIMEOUTS",   "SET_TIMEOUTS 20,0,200,0,2000",
                    "BAUD 9600", "WRITE AT\rAT\r", "READ",
                    "PURGE 0C",  "BAUD 9600",      "WRITE AT\rAT\r",
                    "READ",      "PURGE 0C",       "SET_TIMEOUTS 0,0,0,0,0",
                    "BAUD 19200"};
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(sequence, expected);
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(s.port.count("WRITE AT\rAT\r"), 4u);
  EXPECT_EQ(again.front(), "PURGE 0F");
  EXPECT_EQ(s.port.rate, 19200u);
  EXPECT_EQ(s.pool_held(), 0u);
}

// A handset that refuses the rate with an error code keeps its speed: the
// port must not move. An answer that is no result code says nothing: with the
// negotiation's own timeouts the port follows the client as when nothing
// answers; with the client's, the request fails.
TEST(Negotiation, AnswersToTheRateCommand) {
  struct Case {
    const char* name;
    std::string answer;                     // after the echo
    std::vector<uint32_t> client_timeouts;  // empty: none set
    NTSTATUS client;
  };
  const Case cases[] = {
      {"ERROR, own timeouts", "\r\nERROR\r\n", {}, STATUS_UNSUCCESSFUL},
      {"ERROR, client timeouts", "\r\nERROR\r\n", {50, 0, 500, 0, 0}, STATUS_UNSUCCESSFUL},
      {"numeric 4, own timeouts", "4\r", {}, STATUS_UNSUCCESSFUL},
      {"no result code, own timeouts", "\r\n+CME ERROR: 3\r\n", {}, STATUS_SUCCESS},
      {"no result code, client timeouts",
       "\r\n+CME ERROR: 3\r\n",
       {50, 0, 500, 0, 0},
       STATUS_UNSUCCESSFUL},
  };
  for (const Case& k : cases) {
    FilterStack s;
    s.port.responder = [&](const std::string& w) -> std::vector<std::string> {
      if (w.rfind("AT+IPR", 0) == 0) return {w + k.answer};
      return ScriptedPort::ok_responder(w, true);
    };
    Completion c;
    Texts sequence;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      if (!k.client_timeouts.empty()) s.set_timeouts(h, k.client_timeouts);
      size_t from = s.port.calls.size();
      c = s.set_rate(h, 57600);
      sequence = s.port.line_texts(from);
      s.client().close(h);
    });
    EXPECT_EQ(c.status, k.client) << k.name;
    EXPECT_EQ(s.port.count("BAUD 57600"), NT_SUCCESS(k.client) ? 1u : 0u) << k.name;
    EXPECT_EQ(s.port.count("WRITE AT\rAT\r"), 1u) << k.name;
    EXPECT_EQ(s.port.rate, NT_SUCCESS(k.client) ? 57600u : 9600u) << k.name;
  }
}

TEST(Negotiation, ClientTimeoutsThatBoundAReadServeTheNegotiation) {
  FilterStack s;
  Completion c;
  Texts sequence;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    ASSERT_EQ(s.set_timeouts(h, {50, 0, 500, 0, 0}).status, STATUS_SUCCESS);
    size_t from = s.port.calls.size();
    c = s.set_rate(h, 38400);
    sequence = s.port.line_texts(from);
    s.client().close(h);
  });
  EXPECT_EQ(c.status, STATUS_SUCCESS);
  EXPECT_EQ(sequence, (Texts{"PURGE 0F", "BAUD 9600", "WRITE AT\rAT\r", "READ",
                             "WRITE AT+IPR=38400\r", "READ", "BAUD 38400"}));
}

TEST(Negotiation, TimeoutsThatDoNotBoundAReadAreReplacedAndRestored) {
  struct Case {
    const char* name;
    std::vector<uint32_t> client;
    std::string restored;
  };
  const Case cases[] = {
      {"interval MAXULONG", {MAXULONG, 0, 500, 0, 0}, "4294967295,0,500,0,0"},
      {"no total constant", {50, 10, 0, 0, 0}, "50,10,0,0,0"},
  };
  for (const Case& k : cases) {
    FilterStack s;
    Texts sequence;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      s.set_timeouts(h, k.client);
      size_t from = s.port.calls.size();
      EXPECT_EQ(s.set_rate(h, 38400).status, STATUS_SUCCESS);
      sequence = s.port.line_texts(from);
      s.client().close(h);
    });
    // Saved by SET_TIMEOUTS: not read again.
    Texts expected = full_negotiation(38400, k.restored);
    expected.erase(expected.begin() + 1);
    EXPECT_EQ(sequence, expected) << k.name;
  }
}

TEST(Negotiation, FailingGetTimeoutsRestoresTheAssumedClientTimeouts) {
  FilterStack s;
  s.port.fail_ioctl[IOCTL_SERIAL_GET_TIMEOUTS] = STATUS_INVALID_DEVICE_REQUEST;
  Texts first, second;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    size_t from = s.port.calls.size();
    EXPECT_EQ(s.set_rate(h, 57600).status, STATUS_SUCCESS);
    first = s.port.line_texts(from);
    from = s.port.calls.size();
    EXPECT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    second = s.port.line_texts(from);
    s.client().close(h);
  });
  EXPECT_EQ(first, full_negotiation(57600, kAssumed));
  // From then on the assumed values are the client's: not read again; the
  // handset is known at 57600, so no probe either.
  EXPECT_EQ(second, (Texts{"PURGE 0F", "SET_TIMEOUTS 20,0,200,0,2000", "WRITE AT+IPR=115200\r",
                           "READ", "SET_TIMEOUTS " + kAssumed, "BAUD 115200"}));
}

TEST(Negotiation, ShortSetTimeoutsIsPassedDownAndRemembersNothing) {
  FilterStack s;
  s.port.timeouts = {7, 0, 70, 0, 0};
  Completion shortened;
  Texts sequence;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    shortened = s.client().call(
        h, hs::Request::ioctl_in(IOCTL_SERIAL_SET_TIMEOUTS, {50, 0, 0, 0, 0xF4, 1, 0, 0})
               .input_len(8));
    size_t from = s.port.calls.size();
    EXPECT_EQ(s.set_rate(h, 38400).status, STATUS_SUCCESS);
    sequence = s.port.line_texts(from);
    s.client().close(h);
  });
  EXPECT_EQ(shortened.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(s.port.count("SET_TIMEOUTS"), 3u);  // the short one, own, restore
  EXPECT_EQ(sequence, full_negotiation(38400, "7,0,70,0,0"));
}

// Failures of the port's requests, and what the client's request gets.
TEST(Negotiation, FailingRequestsOfThePort) {
  struct Case {
    const char* name;
    std::string prefix;  // the request that fails: the nth whose text starts so
    int nth;
    NTSTATUS client;
    Texts sequence;
  };
  Texts all = full_negotiation(9600, "0,0,0,0,0");
  const Case cases[] = {
      {"first purge", "PURGE 0F", 1, STATUS_UNSUCCESSFUL, {"PURGE 0F"}},
      {"own timeouts",
       "SET_TIMEOUTS",
       1,
       STATUS_UNSUCCESSFUL,
       {"PURGE 0F", "GET_TIMEOUTS", "SET_TIMEOUTS 20,0,200,0,2000"}},
      // The rate command for 9600 is sent even right after the probe.
      {"restore", "SET_TIMEOUTS", 2, STATUS_UNSUCCESSFUL, Texts(all.begin(), all.end() - 1)},
      // A failed set-speed or write ends the attempts; the restore decides.
      {"probe speed",
       "BAUD 9600",
       1,
       STATUS_SUCCESS,
       {"PURGE 0F", "GET_TIMEOUTS", "SET_TIMEOUTS 20,0,200,0,2000", "BAUD 9600",
        "SET_TIMEOUTS 0,0,0,0,0", "BAUD 9600"}},
      {"probe write",
       "WRITE AT\rAT\r",
       1,
       STATUS_SUCCESS,
       {"PURGE 0F", "GET_TIMEOUTS", "SET_TIMEOUTS 20,0,200,0,2000", "BAUD 9600", "WRITE AT\rAT\r",
        "SET_TIMEOUTS 0,0,0,0,0", "BAUD 9600"}},
  };
  for (const Case& k : cases) {
    FilterStack s;
    int seen = 0;
    s.port.fail_when = [&](const PortCall& c) {
      if (c.text().rfind(k.prefix, 0) != 0) return STATUS_SUCCESS;
      return ++seen == k.nth ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    };
    Completion c;
    Texts sequence;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      size_t from = s.port.calls.size();
      c = s.set_rate(h, 9600);
      sequence = s.port.line_texts(from);
      s.client().close(h);
    });
    EXPECT_EQ(c.status, k.client) << k.name;
    EXPECT_EQ(sequence, k.sequence) << k.name;
    EXPECT_EQ(s.pool_held(), 0u) << k.name;
  }
}

// A wait on SERIAL_EV_RXCHAR pending while the handset answers is not
// completed by the answer; it goes down again when the negotiation ends.
TEST(Negotiation, PendingWaitIsHeldAndSentDownAgain) {
  for (bool purge_fails : {false, true}) {
    FilterStack s;
    if (purge_fails) {
      // The first purge fails after the wait completion has been held.
      s.port.fail_when = [&](const PortCall& c) {
        if (c.text() == "PURGE 0F") s.port.complete_wait(SERIAL_EV_RXCHAR);
        return c.text() == "PURGE 0F" ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
      };
    }
    Completion rate, wait;
    bool done_during = true;
    RF_RUN(s, [&] {
      Handle h = s.client().open();
      s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(SERIAL_EV_RXCHAR));
      hs::Pending w = s.client().send(h, hs::Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
      rate = s.set_rate(h, 115200);
      done_during = w.done();
      // The wait is pending below again: a real event completes it.
      EXPECT_TRUE(s.port.complete_wait(SERIAL_EV_DSR));
      wait = s.client().wait(w);
      s.client().close(h);
    });
    EXPECT_EQ(rate.status, purge_fails ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_FALSE(done_during) << purge_fails;
    EXPECT_EQ(s.port.count("WAIT"), 2u) << purge_fails;
    EXPECT_EQ(wait.status, STATUS_SUCCESS);
    EXPECT_EQ(wait.u32(), static_cast<uint32_t>(SERIAL_EV_DSR));
  }
}

TEST(Negotiation, WaitCompletedWithAnErrorReachesTheClientAtOnce) {
  FilterStack s;
  s.port.fail_when = [&](const PortCall& c) {
    if (c.text() == "BAUD 9600") s.port.complete_wait(0, STATUS_CANCELLED);
    return STATUS_SUCCESS;
  };
  Completion wait;
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    s.client().ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, hs::le32(SERIAL_EV_RXCHAR));
    hs::Pending w = s.client().send(h, hs::Request::ioctl_out(IOCTL_SERIAL_WAIT_ON_MASK, 4));
    EXPECT_EQ(s.set_rate(h, 115200).status, STATUS_SUCCESS);
    EXPECT_TRUE(w.done());
    wait = s.client().wait(w);
    s.client().close(h);
  });
  EXPECT_EQ(wait.status, STATUS_CANCELLED);
  EXPECT_EQ(s.port.count("WAIT"), 1u);
}

TEST(Negotiation, BreakpointBitFourBreaksAtEveryNegotiationOnly) {
  FilterStack s({}, [](hs::DeviceNodeSpec& spec) {
    spec.hardware_key.push_back(hs::RegistryValue::dword("Breakpoints", 0x4));
  });
  RF_RUN(s, [&] {
    Handle h = s.client().open();
    EXPECT_EQ(s.filter_breaks(), 0u);
    s.set_rate(h, 115200);
    s.set_rate(h, 115200);  // the same rate: still the start of a negotiation
    s.client().close(h);
  });
  EXPECT_EQ(s.filter_breaks(), 2u);
}

}  // namespace
}  // namespace rftest
