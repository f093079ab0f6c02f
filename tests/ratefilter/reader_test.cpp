// The handset's answers and how the filter classifies them, over received
// byte sequences. The answer under test is the one to "AT+IPR=115200\r",
// read under the client's own timeouts; the filter's next step shows the
// class:
//   OK          - one probe, the client's rate goes down (success);
//   not OK      - one probe, the client's request fails;
//   no answer   - the known state is forgotten: a second probe follows.
#include <gtest/gtest.h>

#include "fixture.h"

namespace rftest {
namespace {

enum class Answer { Ok, NotOk, None };

const char* answer_name(Answer a) {
  return a == Answer::Ok ? "OK" : a == Answer::NotOk ? "not OK" : "no answer";
}

struct ReaderCase {
  const char* name;
  std::vector<std::string> chunks;  // one read each
  Answer expected;
  bool read_fails = false;
};

const std::string kEcho = "AT+IPR=115200\r";

const ReaderCase kCases[] = {
    {"echo then OK", {kEcho + "\r\nOK\r\n"}, Answer::Ok},
    {"OK alone (echo off)", {"\r\nOK\r\n"}, Answer::Ok},
    {"numeric 0 after the echo", {kEcho + "0\r"}, Answer::Ok},
    {"numeric 0 alone", {"0\r"}, Answer::Ok},
    {"numeric 4", {kEcho + "4\r"}, Answer::NotOk},
    {"verbose ERROR", {"\r\nERROR\r\n"}, Answer::NotOk},
    {"split inside OK", {kEcho + "\r\nO", "K\r\n"}, Answer::Ok},
    {"split inside the echo", {"AT+IP", "R=115200\r\r\nOK\r\n"}, Answer::Ok},
    {"bytes after the code", {"\r\nOK\r\n+CREG: 1\r\n"}, Answer::NotOk},
    {"a second echo after the code", {kEcho + "\r\nOK\r\n" + kEcho}, Answer::NotOk},
    {"lower case", {kEcho + "\r\nok\r\n"}, Answer::NotOk},
    {"verbose without its final CR", {kEcho + "\r\nOK\n"}, Answer::NotOk},
    {"numeric without its CR", {kEcho + "0"}, Answer::NotOk},
    {"only the echo", {kEcho}, Answer::NotOk},
    {"room used up", {std::string(40, 'x')}, Answer::NotOk},
    {"nothing", {}, Answer::None},
    {"NUL first", {std::string("\0\r\nOK\r\n", 7)}, Answer::None},
    {"read fails after bytes", {"\r\nO"}, Answer::None, true},
};

Answer classify(const ReaderCase& k, size_t* probes, NTSTATUS* client, uint64_t* held) {
  FilterStack s;
  s.port.responder = [&](const std::string& w) -> std::vector<std::string> {
    if (w.rfind("AT+IPR", 0) == 0) return k.chunks;
    return ScriptedPort::ok_responder(w, true);
  };
  if (k.read_fails) {
    // The second read of an answer to the rate command fails.
    s.port.fail_when = [&](const PortCall& c) {
      long write = -1;
      for (long i = static_cast<long>(s.port.calls.size()) - 1; i >= 0; --i)
        if (s.port.calls[i].major == IRP_MJ_WRITE) {
          write = i;
          break;
        }
      if (c.major != IRP_MJ_READ || write < 0 ||
          s.port.calls[write].text().rfind("WRITE AT+IPR", 0) != 0)
        return STATUS_SUCCESS;
      size_t reads = s.port.calls.size() - static_cast<size_t>(write) - 1;
      return reads >= 2 ? STATUS_CANCELLED : STATUS_SUCCESS;
    };
  }
  hs::RunResult result = s.rig.run([&] {
    hs::Handle h = s.client().open();
    // Under the client's own timeouts any answer but OK fails the request.
    s.set_timeouts(h, {50, 0, 500, 0, 0});
    *client = s.set_rate(h, 115200).status;
    s.client().close(h);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  *probes = s.port.count("WRITE AT\r");
  *held = s.pool_held();
  if (*probes == 2) return Answer::None;
  return NT_SUCCESS(*client) ? Answer::Ok : Answer::NotOk;
}

TEST(ResponseReader, ClassifiesReceivedBytes) {
  for (const ReaderCase& k : kCases) {
    size_t probes = 0;
    NTSTATUS client = 0;
    uint64_t held = 1;
    Answer got = classify(k, &probes, &client, &held);
    EXPECT_EQ(answer_name(got), answer_name(k.expected)) << k.name;
    EXPECT_EQ(held, 0u) << k.name;
    if (k.expected == Answer::None) {
      // The second attempt's rate command went unanswered too: the
      // client's rate still goes down.
      EXPECT_EQ(client, STATUS_SUCCESS) << k.name;
    }
  }
}

// The probe's answers are read the same way, with "AT\r" as echo. A handset
// that answers the two commands with anything but OK is awake: after its
// answer has run out and the queues are cleared, one "AT\r" follows.
TEST(ResponseReader, ProbeAnswers) {
  const std::string twice = "AT\r\r\nOK\r\nAT\r\r\nOK\r\n";
  const std::string error = "AT\r\r\nERROR\r\n";
  const struct {
    const char* name;
    std::string to_double;  // answer to "AT\rAT\r"
    std::string to_single;  // answer to "AT\r"
    std::vector<std::string> probes;
    size_t clearing_purges;
    bool rate_sent;
  } cases[] = {
      {"echo then OK", "AT\r\r\nOK\r\n", "", {"WRITE AT\rAT\r"}, 0, true},
      {"OK alone", "\r\nOK\r\n", "", {"WRITE AT\rAT\r"}, 0, true},
      {"numeric", "0\r", "", {"WRITE AT\rAT\r"}, 0, true},
      {"awake: both commands answered",
       twice,
       "AT\r\r\nOK\r\n",
       {"WRITE AT\rAT\r", "WRITE AT\r"},
       1,
       true},
      {"ERROR",
       error,
       error,
       {"WRITE AT\rAT\r", "WRITE AT\r", "WRITE AT\rAT\r", "WRITE AT\r"},
       4,
       false},
      {"nothing", "", "", {"WRITE AT\rAT\r", "WRITE AT\rAT\r"}, 2, false},
  };
  for (const auto& k : cases) {
    FilterStack s;
    s.port.responder = [&](const std::string& w) -> std::vector<std::string> {
      if (w == "AT\rAT\r") return {k.to_double};
      if (w == "AT\r") return {k.to_single};
      return ScriptedPort::ok_responder(w, true);
    };
    RF_RUN(s, [&] {
      hs::Handle h = s.client().open();
      s.set_rate(h, 115200);
      s.client().close(h);
    });
    std::vector<std::string> probes;
    for (const std::string& t : s.port.texts())
      if (t.rfind("WRITE AT\r", 0) == 0) probes.push_back(t);
    EXPECT_EQ(probes, k.probes) << k.name;
    EXPECT_EQ(s.port.count("WRITE AT+IPR=115200\r"), k.rate_sent ? 1u : 0u) << k.name;
    EXPECT_EQ(s.port.count("PURGE 0C"), k.clearing_purges) << k.name;
  }
}

}  // namespace
}  // namespace rftest
