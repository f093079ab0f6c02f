// `hsbridge demo` and `hsbridge run` with `--port COM2=PATH`: the scenario
// meets the handset through a real tty (here `hsbridge handset --pty`), the
// machine runs on the host's clock, bad values are refused before anything
// runs, and a stop signal or the time limit winds the run down cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "process.h"

namespace hs::test {
namespace {

const std::string kHsbridge = std::string(HS_BIN_DIR) + "/hsbridge";
constexpr milliseconds kStart(5000);
constexpr milliseconds kExit(10000);

// A scenario file in the temporary directory, removed with the object.
class ScenarioFile {
 public:
  explicit ScenarioFile(const std::string& text)
      : path_(std::filesystem::temp_directory_path() / ("realport-run-" + std::to_string(getpid()) +
                                                        "-" + std::to_string(next_++) + ".hsb")) {
    std::ofstream(path_) << text;
  }
  ~ScenarioFile() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  static inline int next_ = 0;
  std::filesystem::path path_;
};

class RunOnPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kHsbridge)) << "build the hsbridge target first";
  }
  void TearDown() override {
    if (handset_) {
      handset_->signal(SIGTERM);
      EXPECT_EQ(handset_->wait_exit(kExit), 0) << handset_->err();
    }
  }
  void start_handset(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{kHsbridge, "handset", "--pty"};
    argv.insert(argv.end(), options.begin(), options.end());
    handset_ = std::make_unique<Process>(argv);
    auto path = handset_->first_line(kStart);
    ASSERT_TRUE(path) << handset_->err();
    pty_ = *path;
  }
  // Standard output until it holds `text`, at most `limit`.
  static bool wait_for_output(Process& p, const std::string& text, milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (p.out().find(text) != std::string::npos) return true;
      if (!p.running()) return false;
      usleep(10000);
    }
    return false;
  }

  std::unique_ptr<Process> handset_;
  std::string pty_;
};

TEST_F(RunOnPort, TheDemoNegotiatesWithTheHandsetOnTheTty) {
  start_handset();
  ASSERT_FALSE(HasFatalFailure());
  Process demo({kHsbridge, "demo", "--port", "COM2=" + pty_});
  ASSERT_EQ(demo.wait_exit(kExit), 0) << demo.out() << demo.err();
  const std::string& out = demo.out();
  // The negotiation went out on the real tty and the answer came back
  // from the handset's process; the simulated handset took no part.
  EXPECT_NE(out.find("PC -> handset @9600  Length 14: 41 54 2B 49 50 52 3D 31 31 35 32 30 30 0D  "
                     "\"AT+IPR=115200\\r\""),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("handset -> PC @115200"), std::string::npos) << out;
  EXPECT_NE(out.find("HS-1 GSM handset"), std::string::npos) << out;
  EXPECT_NE(out.find("pool left: none"), std::string::npos) << out;
  EXPECT_EQ(out.find("line: 0 bytes"), std::string::npos) << "the summary counts the tty's bytes";
  EXPECT_NE(out.find("Result: every expect held"), std::string::npos) << out;
}

TEST_F(RunOnPort, BadValuesAreRefusedBeforeAnythingRuns) {
  const ScenarioFile raw_bytes("start\nopen\nline send \"RING\\r\\n\"\nclose\n");
  const ScenarioFile two_ports("port COM3\nstart\nopen\nclose\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"demo", "--port", "COM2"}, "--port: expected NAME=PATH (COM2=/dev/ttyUSB0), got 'COM2'"},
      {{"demo", "--port", "=/dev/ptmx"}, "--port: expected NAME=PATH"},
      {{"demo", "--port", "COM2=/dev/no-such-tty"},
       "--port COM2=/dev/no-such-tty: /dev/no-such-tty: cannot open: No such file or directory"},
      {{"demo", "--port", "COM2=/dev/null"}, "/dev/null: not a tty"},
      {{"demo", "--port", "COM5=/dev/ptmx"}, "--port COM5=/dev/ptmx: demo has no port COM5"},
      {{"run", two_ports.path(), "--port", "COM4=/dev/ptmx"}, "(it has COM2, COM3)"},
      {{"demo", "--port", "COM2=/dev/ptmx", "--port", "com2=/dev/ptmx"},
       "--port COM2: the port is given twice"},
      {{"demo", "--port", "COM2=/dev/ptmx", "--policy", "pct:3"},
       "--policy pct:3 with --port: a run on a real port follows the host's clock"},
      {{"run", raw_bytes.path(), "--port", "COM2=/dev/ptmx"},
       ":3: `line send` needs the simulated handset, but COM2 is on /dev/ptmx"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{kHsbridge};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p(argv);
    EXPECT_EQ(p.wait_exit(kExit), 2) << c.message << "\n" << p.err();
    EXPECT_NE(p.err().find(c.message), std::string::npos) << p.err();
    EXPECT_EQ(p.out(), "") << "nothing runs: " << c.message;
  }
}

// A read that no byte will end (the handset is silent, the read has no
// timeouts), waited for in the request itself or after a long sleep: a stop
// signal, or the time limit on the host's clock, ends the run with the read
// aborted, the handle closed, the device removed and the drivers unloaded
// with their pool given back.
TEST_F(RunOnPort, AStopSignalOrTheTimeLimitWindsTheRunDown) {
  start_handset({"--quirk", "silent"});
  ASSERT_FALSE(HasFatalFailure());
  const ScenarioFile in_read(
      "start\nopen\nioctl SET_TIMEOUTS 0 0 0 0 0\nread 10\nexpect status SUCCESS\nclose\n");
  const ScenarioFile in_sleep(
      "start\nopen\nioctl SET_TIMEOUTS 0 0 0 0 0\nread 10 async=r\nsleep 60s\nwait r\nclose\n");
  struct Case {
    const ScenarioFile& scenario;
    int signal;  // 0: none, the time limit ends it
    std::vector<std::string> options;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {in_read,
       SIGINT,
       {},
       130,
       ":5: stopped by SIGINT; this step and those after it were not run"},
      {in_sleep, SIGTERM, {}, 143, ":6: stopped by SIGTERM"},
      {in_read, 0, {"--time-limit", "1s"}, 3, "HANG: the time limit 1.0000000s passed (host time)"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{kHsbridge, "run", c.scenario.path(), "--port", "COM2=" + pty_};
    argv.insert(argv.end(), c.options.begin(), c.options.end());
    Process run(argv);
    ASSERT_TRUE(wait_for_output(run, "portbridge  > IRP_MJ_READ", kStart)) << run.err();
    if (c.signal != 0) run.signal(c.signal);
    EXPECT_EQ(run.wait_exit(kExit), c.status) << run.err();
    EXPECT_NE(run.err().find(c.message), std::string::npos) << run.err();
    const std::string& out = run.out();
    const char* const ends[] = {"client      done read  CANCELLED", "portbridge  > IRP_MJ_CLOSE",
                                "IRP_MN_REMOVE_DEVICE  -> SUCCESS", "driver portbridge unloaded",
                                "pool left: none"};
    size_t at = 0;
    for (const char* end : ends) {
      const size_t found = out.find(end, at);
      EXPECT_NE(found, std::string::npos) << end << " (in order)\n" << out.substr(at);
      if (found != std::string::npos) at = found;
    }
  }
}

}  // namespace
}  // namespace hs::test
