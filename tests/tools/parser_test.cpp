// The scenario language: what good lines turn into, and the message (with
// file, line and column) that each kind of bad line gets.
#include "tools/hsbridge/parser.h"

#include <gtest/gtest.h>

#include "tools/hsbridge/lexer.h"

namespace hs::tool {
namespace {

struct BadLine {
  const char* text;     // the scenario (the last line is the bad one)
  const char* message;  // "LINE:COLUMN: message" after the file name
};

class ScenarioErrors : public testing::TestWithParam<BadLine> {};

TEST_P(ScenarioErrors, NameTheLineColumnAndMistake) {
  const ParseResult result = parse_scenario(GetParam().text, "s.hsb");
  ASSERT_EQ(result.errors.size(), 1u) << GetParam().text;
  EXPECT_EQ(result.errors[0].str(), std::string("s.hsb:") + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScenarioErrors,
    testing::Values(
        BadLine{"frobnicate", "1:1: unknown command 'frobnicate'"},
        BadLine{"start\n  opne", "2:3: unknown command 'opne'"},
        BadLine{"write \"AT\\r", "1:7: unterminated string"},
        BadLine{"write \"A\\qT\"", "1:9: unknown escape \\q"},
        BadLine{"open\nwrite \"\\x4\"", "2:8: \\x needs two hex digits"},
        BadLine{"open\nwrite AT", "2:7: expected the data to write in double quotes"},
        BadLine{"open\nioctl SET_BAUD", "2:7: unknown control code 'SET_BAUD'"},
        BadLine{"open\nioctl SET_BAUD_RATE",
                "2:20: missing arguments: ioctl SET_BAUD_RATE takes BaudRate"},
        BadLine{"open\nioctl SET_BAUD_RATE fast", "2:21: expected BaudRate, got 'fast'"},
        BadLine{"open\nioctl SET_BAUD_RATE 0x100000000",
                "2:21: BaudRate 0x100000000 is out of range (max 4294967295)"},
        BadLine{"open\nioctl SET_TIMEOUTS 1 2 3",
                "2:25: too few arguments: ioctl SET_TIMEOUTS takes ReadIntervalTimeout "
                "ReadTotalTimeoutMultiplier ReadTotalTimeoutConstant "
                "WriteTotalTimeoutMultiplier WriteTotalTimeoutConstant"},
        BadLine{"open\nioctl PURGE 1 2", "2:15: too many arguments: ioctl PURGE takes Mask"},
        BadLine{"open\nioctl SET_DTR 1",
                "2:15: ioctl SET_DTR takes no arguments; give the input as in=HEX"},
        BadLine{"open\nioctl PURGE 1 in=0F000000",
                "2:13: give either arguments or in=HEX, not both"},
        BadLine{"open\nioctl PURGE in=0F0", "2:16: in= takes hex bytes like 00C20100, got '0F0'"},
        BadLine{"open\nioctl PURGE 1 mode=x",
                "2:15: unknown option 'mode=' (known: in, inlen, outlen, handle, at, async)"},
        BadLine{"open\nioctl SET_LINE_CONTROL 0 weird 8", "2:26: expected Parity, got 'weird'"},
        BadLine{"open\nioctl IMMEDIATE_CHAR \"AB\"", "2:22: Char takes one character, got 2"},
        BadLine{"read 4", "1:1: no handle is open here: send `open` first"},
        BadLine{"open\nread many", "2:6: expected a byte count, got 'many'"},
        BadLine{"open\nread 4 at=interrupt", "2:11: at is dispatch or passive, not 'interrupt'"},
        BadLine{"open\nread 4 handle=h9", "2:15: unknown handle 'h9'"},
        BadLine{"open as a\nclose a\nread 4 handle=a", "3:15: handle 'a' is already closed"},
        BadLine{"open as a\nopen as a", "2:9: handle 'a' is already open"},
        BadLine{"open\nread 1 async=r\nread 1 async=r",
                "3:14: async name 'r' is already used on line 2"},
        BadLine{"wait r", "1:6: no async request named 'r' before this line"},
        BadLine{"sleep 5", "1:7: expected a duration like 5ms, 2s or 100us, got '5'"},
        BadLine{"sleep 5min", "1:7: expected a duration like 5ms, 2s or 100us, got '5min'"},
        BadLine{"sleep", "1:6: missing a duration"},
        BadLine{"sleep 5ms 6ms", "1:11: unexpected '6ms'"},
        BadLine{"start\nnode x.inf", "2:1: 'node' must come before `start` (line 1)"},
        BadLine{"start\nregistry driver AttachedTo \"COM3\"",
                "2:1: 'registry' must come before `start` (line 1)"},
        BadLine{"registry hardware X 1", "1:10: expected driver or device, got 'hardware'"},
        BadLine{"registry driver X", "1:18: missing a value (a \"string\" or a 32-bit number)"},
        BadLine{"handset speed=9600",
                "1:9: unknown handset key 'speed' (known: rate, echo, results, latency, rates, "
                "sleep, quirk)"},
        BadLine{"handset echo=maybe", "1:14: echo is on or off, not 'maybe'"},
        BadLine{"handset rates=9600,fast", "1:20: expected a baud rate, got 'fast'"},
        BadLine{"handset quirk=sneezy",
                "1:15: unknown quirk 'sneezy' (known: echo-twice, extra-line, garbage, "
                "lowercase, no-final-cr, none, nul-first, silent, split)"},
        BadLine{"handset rate", "1:9: expected KEY=VALUE, got 'rate'"},
        BadLine{"handset rate=", "1:9: missing value after 'rate='"},
        BadLine{"pnp eject",
                "1:5: unknown Plug and Play action 'eject' (known: query-stop, stop, "
                "cancel-stop, query-remove, remove, cancel-remove, surprise-removal)"},
        BadLine{"power system S6", "1:14: expected a power state S0..S5, got 'S6'"},
        BadLine{"power device S1", "1:14: expected a power state D0..D3, got 'S1'"},
        BadLine{"power hibernate", "1:7: expected system, device or query-device, got 'hibernate'"},
        BadLine{"line recv \"x\"", "1:6: unknown line action 'recv' (known: send)"},
        BadLine{"expect SUCCESS", "1:8: expected `status`, got 'SUCCESS'"},
        BadLine{"expect status WELL", "1:15: unknown status 'WELL'"},
        BadLine{"expect status SUCCESS info 1 info 2", "1:30: 'info' is given twice"},
        BadLine{"expect status SUCCESS data OK",
                "1:28: expected the expected data in double quotes"},
        BadLine{"expect status SUCCESS for w", "1:27: no async request named 'w' before this line"},
        BadLine{"expect status SUCCESS because",
                "1:23: unknown clause 'because' (known: info, data, event, for)"},
        BadLine{"open x", "1:6: unexpected 'x'"},
        BadLine{"close \"a\"", "1:7: unexpected '\"...\"'"},
        BadLine{"write\"x\"", "1:6: unexpected '\"' inside a word"}));

TEST(ScenarioParser, ReportsEveryBadLineAndKeepsNoSteps) {
  const ParseResult result = parse_scenario("open\nbogus\nread x\nclose\n", "f");
  ASSERT_EQ(result.errors.size(), 2u);
  EXPECT_EQ(result.errors[0].line, 2);
  EXPECT_EQ(result.errors[1].line, 3);
  EXPECT_FALSE(result.ok());
}

TEST(ScenarioParser, EncodesControlRecordsLittleEndian) {
  struct Case {
    const char* line;
    std::string input;
    uint32_t code;
    uint32_t out_length;
  };
  const Case cases[] = {
      {"ioctl SET_BAUD_RATE 115200", std::string("\x00\xC2\x01\x00", 4), 0x1B0004, 0},
      {"ioctl IOCTL_SERIAL_SET_BAUD_RATE 0x2580", std::string("\x80\x25\x00\x00", 4), 0x1B0004, 0},
      {"ioctl SET_TIMEOUTS 20 0 200 0 2000",
       std::string("\x14\0\0\0\0\0\0\0\xC8\0\0\0\0\0\0\0\xD0\x07\0\0", 20), 0x1B001C, 0},
      {"ioctl SET_LINE_CONTROL 2 even 7", std::string("\x02\x02\x07", 3), 0x1B000C, 0},
      {"ioctl SET_CHARS 0 0 0 0 0x11 0x13", std::string("\0\0\0\0\x11\x13", 6), 0x1B005C, 0},
      {"ioctl IMMEDIATE_CHAR \"A\"", "A", 0x1B0018, 0},
      {"ioctl GET_BAUD_RATE", "", 0x1B0050, 4},
      {"ioctl GET_TIMEOUTS outlen=3", "", 0x1B0020, 3},
      {"ioctl WAIT_ON_MASK", "", 0x1B0048, 4},
      {"ioctl SET_BAUD_RATE inlen=2", std::string("\0\0", 2), 0x1B0004, 0},
      {"ioctl SET_BAUD_RATE 9600 inlen=6", std::string("\x80\x25\0\0\0\0", 6), 0x1B0004, 0},
      {"ioctl 0x2D0000 in=\"01 02\"", "\x01\x02", 0x2D0000, 0},
      {"ioctl 0x1B0004 in=00C20100", std::string("\x00\xC2\x01\x00", 4), 0x1B0004, 0},
  };
  for (const Case& c : cases) {
    const ParseResult result = parse_scenario(std::string("open\n") + c.line, "f");
    ASSERT_TRUE(result.ok()) << c.line << ": " << result.errors[0].str();
    const auto& step = std::get<RequestStep>(result.scenario.steps[1].action);
    EXPECT_EQ(step.input, c.input) << c.line;
    EXPECT_EQ(step.code, c.code) << c.line;
    EXPECT_EQ(step.out_length, c.out_length) << c.line;
  }
}

TEST(ScenarioParser, RequestsGoToTheNewestOpenHandleUnlessNamed) {
  const ParseResult result = parse_scenario(
      "open as a\nopen as b\nread 1\nread 2 handle=a at=dispatch async=r\nclose b\n"
      "write \"x\"\nwait r\nexpect status SUCCESS for r\n",
      "f");
  ASSERT_TRUE(result.ok()) << result.errors[0].str();
  const auto& steps = result.scenario.steps;
  EXPECT_EQ(std::get<RequestStep>(steps[2].action).handle, "b");
  const auto& async_read = std::get<RequestStep>(steps[3].action);
  EXPECT_EQ(async_read.handle, "a");
  EXPECT_TRUE(async_read.at_dispatch);
  EXPECT_EQ(async_read.async_name, "r");
  EXPECT_EQ(std::get<RequestStep>(steps[4].action).handle, "b");
  EXPECT_EQ(std::get<RequestStep>(steps[5].action).handle, "a") << "b was closed";
  EXPECT_EQ(std::get<ExpectStep>(steps[7].action).for_name, "r");
}

TEST(ScenarioParser, ReadsSetUpStepsCommentsAndEscapes) {
  const ParseResult result = parse_scenario(
      "# comment\r\n"
      "node nodes/x.inf   # trailing comment\n"
      "registry driver AttachedTo \"COM3 # not a comment\"\n"
      "registry device Breakpoints 0x3\n"
      "handset rate=115200 echo=off results=numeric latency=1.5ms rates=9600,115200 sleep=off "
      "quirk=split\n"
      "port COM3\n"
      "start\n"
      "power system S3\n"
      "power query-device D2\n"
      "line send \"\\r\\nRING\\r\\n\\0\\xff\"\n"
      "open\n"
      "expect status 0xC0000120 info 0x10 data \"a\\\"b\" event 0x80\n",
      "dir/s.hsb", "dir");
  ASSERT_TRUE(result.ok()) << result.errors[0].str();
  const auto& steps = result.scenario.steps;
  ASSERT_EQ(steps.size(), 11u);
  EXPECT_EQ(steps[0].line, 2);
  EXPECT_EQ(std::get<NodeStep>(steps[0].action).path, "dir/nodes/x.inf");
  EXPECT_EQ(std::get<std::string>(std::get<RegistryStep>(steps[1].action).value),
            "COM3 # not a comment");
  const auto& device_value = std::get<RegistryStep>(steps[2].action);
  EXPECT_FALSE(device_value.driver_key);
  EXPECT_EQ(std::get<uint32_t>(device_value.value), 3u);
  const auto& handset = std::get<HandsetStep>(steps[3].action);
  EXPECT_EQ(handset.rate, 115200u);
  EXPECT_EQ(handset.echo, false);
  EXPECT_EQ(handset.verbose, false);
  EXPECT_EQ(handset.latency, 15'000);
  EXPECT_EQ(handset.rates, (std::vector<uint32_t>{9600, 115200}));
  ASSERT_TRUE(handset.sleep.has_value());
  EXPECT_FALSE(handset.sleep->has_value());
  EXPECT_EQ(handset.quirks, std::vector<std::string>{"split"});
  const auto& power = std::get<PowerStep>(steps[6].action);
  EXPECT_EQ(power.kind, PowerStep::Kind::System);
  EXPECT_EQ(power.state, 3);
  EXPECT_EQ(std::get<LineSendStep>(steps[8].action).bytes, std::string("\r\nRING\r\n\0\xff", 10));
  const auto& expect = std::get<ExpectStep>(steps[10].action);
  EXPECT_EQ(expect.status, 0xC0000120u);
  EXPECT_EQ(expect.info, 16u);
  EXPECT_EQ(expect.data, "a\"b");
  EXPECT_EQ(expect.event, 0x80u);
}

TEST(ScenarioLexer, DurationsNumbersAndHex) {
  EXPECT_EQ(parse_duration("5ms"), 5 * kMillisecond);
  EXPECT_EQ(parse_duration("2s"), 2 * kSecond);
  EXPECT_EQ(parse_duration("100us"), 100 * kMicrosecond);
  EXPECT_EQ(parse_duration("0.25s"), kSecond / 4);
  EXPECT_EQ(parse_duration("0"), 0);
  for (const char* bad :
       {"", "ms", "5", "5m", "1.s", ".5s", "1..2s", "0.00001us", "-1s", "99999999999999999999s"})
    EXPECT_FALSE(parse_duration(bad).has_value()) << bad;
  EXPECT_EQ(parse_number("0x1B0004"), 0x1B0004u);
  EXPECT_EQ(parse_number("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "0x", "12a", "-1", "18446744073709551616", "0x1g"})
    EXPECT_FALSE(parse_number(bad).has_value()) << bad;
  EXPECT_EQ(parse_hex("00c2 01 00"), std::string("\x00\xC2\x01\x00", 4));
  EXPECT_FALSE(parse_hex("0 0").has_value());
  EXPECT_FALSE(parse_hex("zz").has_value());
}

TEST(ScenarioParser, SurvivesHostileInput) {
  // Binary noise, NUL bytes, huge lines: errors, never a crash.
  std::string noise;
  uint32_t x = 12345;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245 + 12345;
    noise.push_back(static_cast<char>(x >> 16));
  }
  const ParseResult result = parse_scenario(noise, "noise");
  EXPECT_FALSE(result.ok());
  const ParseResult nul = parse_scenario(std::string("open\nwrite \"a\0\"\n", 16), "nul");
  ASSERT_EQ(nul.errors.size(), 1u);
  EXPECT_EQ(nul.errors[0].str(), "nul:2:9: NUL character in the scenario");
  EXPECT_TRUE(parse_scenario(std::string(100000, ' ') + "\n\n", "blank").ok());
}

}  // namespace
}  // namespace hs::tool
