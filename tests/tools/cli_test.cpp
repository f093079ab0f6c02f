// The hsbridge program as a user meets it: help, exit statuses, the demo's
// trace, JSON lines and the picture.
#include <expat.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() /
          ("hsbridge_test_" + std::to_string(getpid()) + "_" + name))
      .string();
}

// Runs build/bin/hsbridge with the arguments (already shell-quoted).
Outcome hsbridge(const std::string& arguments) {
  const std::string out = temp_path("out"), err = temp_path("err");
  const std::string command =
      std::string(HS_BIN_DIR) + "/hsbridge " + arguments + " >" + out + " 2>" + err + " </dev/null";
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  outcome.out = slurp(out);
  outcome.err = slurp(err);
  std::filesystem::remove(out);
  std::filesystem::remove(err);
  return outcome;
}

std::string scenario(const std::string& name) {
  return std::string(HS_TEST_DATA) + "/tools/scenarios/" + name;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(HsbridgeHelp, FollowsTheUsualConventions) {
  const Outcome top = hsbridge("--help");
  EXPECT_EQ(top.status, 0) << top.err;
  EXPECT_TRUE(contains(top.out, "Usage:")) << top.out;
  EXPECT_TRUE(contains(top.out, "demo")) << top.out;
  EXPECT_TRUE(contains(top.out, "run")) << top.out;
  const Outcome run = hsbridge("run --help");
  EXPECT_EQ(run.status, 0);
  for (const char* option : {"--seed", "--policy", "--trace", "--trace-file", "--svg", "FILE",
                             "expect status", "Exit status"})
    EXPECT_TRUE(contains(run.out, option)) << option;
  EXPECT_EQ(hsbridge("--version").status, 0);
  const Outcome demo = hsbridge("demo --scenario");
  EXPECT_EQ(demo.status, 0);
  EXPECT_TRUE(contains(demo.out, "ioctl SET_BAUD_RATE 115200")) << demo.out;
}

TEST(HsbridgeExitStatus, UsageAndScenarioErrorsAreTwoAndRunNothing) {
  struct Case {
    std::string arguments;
    std::string message;  // part of standard error
  };
  const Case cases[] = {
      {"", "subcommand"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"run --time-limit soon " + scenario("hang.hsb"), "soon"},
      {"run", "FILE"},
      {"run /nonexistent/x.hsb", "/nonexistent/x.hsb: cannot read the scenario file"},
      {"run " + scenario("bad.hsb"), scenario("bad.hsb") + ":4:21: expected BaudRate, got 'fast'"},
      {"run --trace xml " + scenario("hang.hsb"), "xml"},
      {"run --policy pct:x " + scenario("hang.hsb"), "pct:DEPTH"},
      {"run --seed many " + scenario("hang.hsb"), "many"},
      {"run --bogus " + scenario("hang.hsb"), "--bogus"},
      {"run --trace-file /nonexistent/dir/t " + scenario("hang.hsb"), "cannot write"},
      {"demo --svg /nonexistent/dir/x.svg", "cannot write"},
      {"run " + scenario("broken_node.hsb"),
       scenario("broken_node.hsb") + ":1: broken.inf:1: no [Manufacturer] section"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = hsbridge(c.arguments);
    EXPECT_EQ(outcome.status, 2) << c.arguments << "\n" << outcome.err;
    EXPECT_TRUE(contains(outcome.err, c.message)) << c.arguments << "\n" << outcome.err;
    EXPECT_FALSE(contains(outcome.out, "Summary")) << c.arguments << ": nothing may run";
  }
}

TEST(HsbridgeExitStatus, FailedExpectIsOneAndNamesFileLineAndDifference) {
  const Outcome outcome = hsbridge("run --trace none " + scenario("expect_fail.hsb"));
  EXPECT_EQ(outcome.status, 1) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, scenario("expect_fail.hsb") +
                                        ":6: ioctl GET_BAUD_RATE: status CANCELLED expected, got "
                                        "SUCCESS"))
      << outcome.err;
  EXPECT_FALSE(contains(outcome.err, ":5:")) << "the first expect held";
}

TEST(HsbridgeExitStatus, HangIsThreeWithTheReport) {
  const Outcome outcome = hsbridge("run --trace none " + scenario("hang.hsb"));
  EXPECT_EQ(outcome.status, 3) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "run stopped")) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "client")) << "the report names the waiting thread";
  EXPECT_TRUE(contains(outcome.err, "run seed 1")) << "the policy and seed to replay it";
}

TEST(HsbridgeExitStatus, VerifierViolationIsThreeWithItsRule) {
  struct Case {
    const char* file;
    const char* rule;
  };
  const Case cases[] = {{"complete_twice.hsb", "VERIFIER: request used after it was freed"},
                        {"pool_leak.hsb", "VERIFIER: pool still held at unload"}};
  for (const Case& c : cases) {
    const Outcome outcome = hsbridge("run --trace none " + scenario(c.file));
    EXPECT_EQ(outcome.status, 3) << c.file << outcome.err;
    EXPECT_TRUE(contains(outcome.err, c.rule)) << c.file << outcome.err;
  }
}

TEST(HsbridgeExitStatus, PassingTheTimeLimitIsAHang) {
  const Outcome outcome =
      hsbridge("run --trace none --time-limit 3s " + scenario("endless_read.hsb"));
  EXPECT_EQ(outcome.status, 3) << outcome.err;
  EXPECT_TRUE(contains(outcome.err, "time limit")) << outcome.err;
}

TEST(HsbridgeRun, NodeFilesRegistryValuesAndFurtherPorts) {
  for (const char* name : {"node_file.hsb", "registry.hsb"}) {
    const Outcome outcome = hsbridge("run " + scenario(name));
    EXPECT_EQ(outcome.status, 0) << name << outcome.err;
    EXPECT_TRUE(contains(outcome.out, "_VCOMM_OpenComm(\"COM3\"")) << name << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "line: 0 bytes to the handset")) << name;
  }
}

TEST(HsbridgeRun, CarriesOutEveryKindOfStep) {
  for (const char* name : {"all_steps.hsb", "pnp.hsb"}) {
    const Outcome outcome = hsbridge("run " + scenario(name));
    EXPECT_EQ(outcome.status, 0) << name << outcome.err << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "Result: every expect held")) << name << outcome.out;
    EXPECT_TRUE(contains(outcome.out, "pool left: none")) << name << outcome.out;
  }
}

// The line bytes of the negotiation, as the handset received them, in order.
std::string bytes_to_handset(const std::string& jsonl) {
  std::string bytes;
  std::istringstream lines(jsonl);
  std::string line;
  while (std::getline(lines, line)) {
    const auto event = nlohmann::json::parse(line);
    if (event["ev"] != "line" || event["dir"] != "tx") continue;
    std::istringstream hex(event["hex"].get<std::string>());
    unsigned byte = 0;
    while (hex >> std::hex >> byte) bytes.push_back(static_cast<char>(byte));
  }
  return bytes;
}

TEST(HsbridgeDemo, NegotiatesThenTalksAt115200AndLeavesNothing) {
  const std::string svg = temp_path("demo.svg");
  const Outcome text = hsbridge("demo --svg " + svg);
  ASSERT_EQ(text.status, 0) << text.err << text.out;
  EXPECT_TRUE(contains(text.out, "Rate: 115200")) << text.out;
  EXPECT_TRUE(contains(text.out, "pool left: none")) << text.out;

  const Outcome json = hsbridge("demo --trace jsonl");
  ASSERT_EQ(json.status, 0) << json.err;
  std::istringstream lines(json.out);
  std::string line;
  bool negotiated_rate_on_line = false;
  while (std::getline(lines, line)) {
    nlohmann::json event;
    ASSERT_NO_THROW(event = nlohmann::json::parse(line)) << line;
    ASSERT_TRUE(event.contains("t") && event["t"].is_number_integer()) << line;
    ASSERT_TRUE(event.contains("ev")) << line;
    if (event["ev"] == "line" && event["rate"] == 115200) negotiated_rate_on_line = true;
  }
  EXPECT_TRUE(negotiated_rate_on_line);
  const std::string sent = bytes_to_handset(json.out);
  const size_t probe = sent.find("AT\rAT\r");
  const size_t rate = sent.find("AT+IPR=115200\r");
  const size_t ati = sent.find("ATI\r");
  ASSERT_NE(probe, std::string::npos) << sent;
  ASSERT_NE(rate, std::string::npos) << sent;
  ASSERT_NE(ati, std::string::npos) << sent;
  EXPECT_LT(probe, rate);
  EXPECT_LT(rate, ati);
  EXPECT_TRUE(contains(json.err, "Summary")) << "the summary leaves standard output to JSON";

  const std::string picture = slurp(svg);
  XML_Parser parser = XML_ParserCreate("UTF-8");
  EXPECT_EQ(XML_Parse(parser, picture.data(), static_cast<int>(picture.size()), 1), XML_STATUS_OK)
      << XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  EXPECT_TRUE(contains(picture, "AT+IPR=115200"));
  std::filesystem::remove(svg);
}

TEST(HsbridgeDemo, SameSeedSameTraceByteForByte) {
  const Outcome first = hsbridge("demo --policy random --seed 7 --trace jsonl");
  const Outcome second = hsbridge("demo --policy random --seed 7 --trace jsonl");
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(hsbridge("demo --seed 3").out, hsbridge("demo --seed 3").out) << "text too";
}

TEST(HsbridgeRun, TraceFileTakesTheTraceAndScenarioFromStandardInput) {
  const std::string trace = temp_path("trace.txt");
  const std::string out = temp_path("o");
  const std::string command = std::string(HS_BIN_DIR) + "/hsbridge run --trace-file " + trace +
                              " - >" + out + " <<'EOF'\nstart\nopen\nclose\nEOF\n";
  const int raw = std::system(command.c_str());
  EXPECT_EQ(WEXITSTATUS(raw), 0);
  EXPECT_TRUE(contains(slurp(trace), "IRP_MJ_CREATE"));
  EXPECT_FALSE(contains(slurp(out), "IRP_MJ_CREATE")) << "the trace went to the file";
  std::filesystem::remove(trace);
  std::filesystem::remove(out);
}

}  // namespace
