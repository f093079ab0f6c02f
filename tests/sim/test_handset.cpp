// The handset's AT dialogue over the line, seen from the PC's port.
#include <functional>

#include "sim/handset.h"
#include "world.h"

namespace hs::test {
namespace {

struct HandsetWorld {
  Machine machine;
  SerialLine line{machine};
  Handset handset;
  Vcomm vcomm{machine};  // goes before the line it uses

  explicit HandsetWorld(HandsetOptions options = awake())
      : handset(machine, line, std::move(options)) {
    vcomm.add_port("COM2", line.pc());
  }
  static HandsetOptions awake() {
    HandsetOptions options;
    options.sleep_after = 0;
    return options;
  }
  RunResult run(std::function<void()> body) {
    machine.create_thread("test", std::move(body));
    return machine.run();
  }
  // Writes a command and returns what came back within `wait`.
  std::string talk(ULONG port, const std::string& command, VTime wait = 100 * kMillisecond) {
    ULONG written = 0;
    _VCOMM_WriteComm(port, reinterpret_cast<PUCHAR>(const_cast<char*>(command.data())),
                     static_cast<ULONG>(command.size()), &written);
    machine.sleep_for(wait);
    return read_all(port);
  }
};

struct DialogueCase {
  const char* what;
  std::function<void(Handset&)> setup;
  std::vector<std::pair<std::string, std::string>> exchange;  // command, answer with echo
};

class Dialogue : public ::testing::TestWithParam<DialogueCase> {};

TEST_P(Dialogue, AnswersAsAV250Handset) {
  const DialogueCase& c = GetParam();
  HandsetWorld world;
  if (c.setup) c.setup(world.handset);
  RunResult result = world.run([&] {
    UCHAR rx[256], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    for (const auto& [command, answer] : c.exchange)
      EXPECT_EQ(world.talk(port, command), answer) << command;
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

HandsetQuirks quirk(std::function<void(HandsetQuirks&)> set) {
  HandsetQuirks q;
  set(q);
  return q;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Dialogue,
    ::testing::Values(
        DialogueCase{
            "echo_verbose", nullptr, {{"AT\r", "AT\r\r\nOK\r\n"}, {"at\r", "at\r\r\nOK\r\n"}}},
        DialogueCase{"echo_off", nullptr, {{"ATE0\r", "ATE0\r\r\nOK\r\n"}, {"AT\r", "\r\nOK\r\n"}}},
        DialogueCase{
            "numeric",
            nullptr,
            {{"ATV0\r", "ATV0\r0\r"}, {"ATX\r", "ATX\r4\r"}, {"ATV1\r", "ATV1\r\r\nOK\r\n"}}},
        DialogueCase{"numeric_no_echo", nullptr, {{"ATE0V0\r", "ATE0V0\r0\r"}, {"AT\r", "0\r"}}},
        DialogueCase{"error",
                     nullptr,
                     {{"ATX\r", "ATX\r\r\nERROR\r\n"}, {"AT+FOO\r", "AT+FOO\r\r\nERROR\r\n"}}},
        DialogueCase{"quiet", nullptr, {{"ATQ1\r", "ATQ1\r"}, {"ATQ0\r", "ATQ0\r\r\nOK\r\n"}}},
        DialogueCase{
            "reset",
            nullptr,
            {{"ATE0V0\r", "ATE0V0\r0\r"}, {"ATZ\r", "\r\nOK\r\n"}, {"AT&F\r", "AT&F\r\r\nOK\r\n"}}},
        DialogueCase{"identity", nullptr, {{"ATI\r", "ATI\r\r\nHS-1 GSM handset\r\n\r\nOK\r\n"}}},
        DialogueCase{"ipr_query",
                     nullptr,
                     {{"AT+IPR?\r", "AT+IPR?\r\r\n+IPR: 9600\r\n\r\nOK\r\n"},
                      {"AT+IPR=?\r",
                       "AT+IPR=?\r\r\n+IPR: "
                       "(),(300,600,1200,2400,4800,9600,19200,38400,57600,115200)\r\n\r\nOK\r\n"},
                      {"AT+IPR=12345\r", "AT+IPR=12345\r\r\nERROR\r\n"},
                      {"AT+IPR=9600\r", "AT+IPR=9600\r\r\nOK\r\n"}}},
        DialogueCase{"not_a_command", nullptr, {{"HELLO\r", "HELLO\r"}, {"\r", "\r"}}},
        DialogueCase{"refused_rates",
                     [](Handset& h) {
                       h.set_rates({9600, 19200});
                     },
                     {{"AT+IPR=115200\r", "AT+IPR=115200\r\r\nERROR\r\n"}}},
        DialogueCase{"silent",
                     [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.silent = true; })); },
                     {{"AT\r", ""}}},
        DialogueCase{"nul_first",
                     [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.nul_first = true; })); },
                     {{"AT\r", std::string("AT\r\0\r\nOK\r\n", 10)}}},
        DialogueCase{"lower_case",
                     [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.lower_case = true; })); },
                     {{"AT\r", "AT\r\r\nok\r\n"}}},
        DialogueCase{"no_final_cr",
                     [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.no_final_cr = true; })); },
                     {{"AT\r", "AT\r\r\nOK\n"}, {"ATV0\r", "ATV0\r0"}}},
        DialogueCase{
            "extra_line",
            [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.extra_line = "+CME: 1"; })); },
            {{"AT\r", "AT\r\r\nOK\r\n\r\n+CME: 1\r\n"}}},
        DialogueCase{"echo_twice",
                     [](Handset& h) { h.set_quirks(quirk([](auto& q) { q.echo_twice = true; })); },
                     {{"AT\r", "AATT\r\r\r\nOK\r\n"}}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Handset, SplitAnswerArrivesInTwoParts) {
  HandsetWorld world;
  HandsetQuirks q;
  q.split_answers = 50 * kMillisecond;
  world.handset.set_quirks(q);
  RunResult result = world.run([&] {
    UCHAR rx[256], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    EXPECT_EQ(world.talk(port, "ATE0\r", 20 * kMillisecond), "ATE0\r\r\nO");
    world.machine.sleep_for(100 * kMillisecond);
    EXPECT_EQ(read_all(port), "K\r\n");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Handset, GarbageAnswersAreRandomButRepeatable) {
  auto run_once = [] {
    HandsetWorld world;
    HandsetQuirks q;
    q.garbage = true;
    world.handset.set_quirks(q);
    std::string answer;
    RunResult result = world.run([&] {
      UCHAR rx[256], tx[64];
      ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
      answer = world.talk(port, "AT\r");
      _VCOMM_CloseComm(port);
    });
    EXPECT_TRUE(result.ok()) << result.report;
    return answer;
  };
  std::string first = run_once();
  EXPECT_EQ(first.size(), 3u + 6u);
  EXPECT_EQ(first.substr(0, 3), "AT\r");
  EXPECT_NE(first.substr(3), "\r\nOK\r\n");
  EXPECT_EQ(run_once(), first);
}

TEST(Handset, CharactersWaitWhileACommandRuns) {
  HandsetWorld world;
  world.handset.set_latency(30 * kMillisecond);
  RunResult result = world.run([&] {
    UCHAR rx[256], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    // The second command arrives while the first still runs: its echo
    // comes after the first answer.
    EXPECT_EQ(world.talk(port, "AT\rATI\r", 200 * kMillisecond),
              "AT\r\r\nOK\r\nATI\r\r\nHS-1 GSM handset\r\n\r\nOK\r\n");
    EXPECT_EQ(world.handset.commands(), (std::vector<std::string>{"AT", "ATI"}));
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Handset, AsleepAtPowerOnTheWakingLineIsLost) {
  HandsetWorld world{HandsetOptions{}};  // the defaults: asleep, 500 ms
  RunResult result = world.run([&] {
    UCHAR rx[256], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    EXPECT_TRUE(world.handset.asleep());
    // The probe: two commands at once; the first wakes it and is lost.
    EXPECT_EQ(world.talk(port, "AT\rAT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(world.handset.lines_lost_asleep(), 1u);
    EXPECT_EQ(world.talk(port, "AT\r", 400 * kMillisecond), "AT\r\r\nOK\r\n");
    world.machine.sleep_for(600 * kMillisecond);
    EXPECT_TRUE(world.handset.asleep());  // idle for 500 ms
    EXPECT_EQ(world.talk(port, "AT\r"), "");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Handset, NewRateTakesEffectAfterTheOkAtTheOldRate) {
  HandsetWorld world;
  RunResult result = world.run([&] {
    UCHAR rx[512], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    EXPECT_EQ(world.talk(port, "AT+IPR=115200\r"), "AT+IPR=115200\r\r\nOK\r\n");
    EXPECT_EQ(world.handset.rate(), 115200u);
    // Still at 9600 on the PC's side: the handset hears garbage.
    std::string garbled = world.talk(port, "AT\r");
    EXPECT_EQ(garbled.find("OK"), std::string::npos);
    COMSTAT stat;
    ULONG errors = 0;
    _VCOMM_ClearCommError(port, &stat, &errors);
    DCB dcb;
    _VCOMM_GetCommState(port, &dcb);
    dcb.BaudRate = 115200;
    ASSERT_EQ(_VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT), 1u);
    EXPECT_EQ(world.talk(port, "AT\r"), "AT\r\r\nOK\r\n");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
  // The OK went out at 9600, the next answer at 115200.
  std::vector<int64_t> rates;
  for (const auto& e : world.machine.trace().events())
    if (e.ev == "line" && e.str("dir") == "rx") rates.push_back(e.num("rate"));
  ASSERT_GE(rates.size(), 3u);
  EXPECT_EQ(rates.front(), 9600);
  EXPECT_EQ(rates.back(), 115200);
}

TEST(Handset, DataModeEchoesAndEscapesWithGuardTime) {
  HandsetWorld world;
  RunResult result = world.run([&] {
    UCHAR rx[512], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    EXPECT_EQ(world.talk(port, "ATD123\r"), "ATD123\r\r\nCONNECT\r\n");
    EXPECT_TRUE(world.handset.in_data_mode());
    ULONG status = 0;
    _VCOMM_GetModemStatus(port, &status);
    EXPECT_EQ(status & MS_RLSD_ON, static_cast<ULONG>(MS_RLSD_ON));
    EXPECT_EQ(world.talk(port, "hello\r"), "hello\r");
    world.machine.sleep_for(1200 * kMillisecond);
    EXPECT_EQ(world.talk(port, "+++", 1500 * kMillisecond), "+++\r\nOK\r\n");
    EXPECT_FALSE(world.handset.in_data_mode());
    EXPECT_EQ(world.talk(port, "ATH\r"), "ATH\r\r\nOK\r\n");
    _VCOMM_GetModemStatus(port, &status);
    EXPECT_EQ(status & MS_RLSD_ON, 0u);
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

TEST(Handset, RingIsAnUnsolicitedResultWithRi) {
  HandsetWorld world;
  RunResult result = world.run([&] {
    UCHAR rx[256], tx[64];
    ULONG port = open_port(rx, sizeof rx, tx, sizeof tx);
    world.handset.ring();
    ULONG status = 0;
    _VCOMM_GetModemStatus(port, &status);
    EXPECT_EQ(status & MS_RING_ON, static_cast<ULONG>(MS_RING_ON));
    world.machine.sleep_for(100 * kMillisecond);
    EXPECT_EQ(read_all(port), "\r\nRING\r\n");
    _VCOMM_CloseComm(port);
  });
  EXPECT_TRUE(result.ok()) << result.report;
}

}  // namespace
}  // namespace hs::test
