// The stack between real file descriptors, no hardware: `hsbridge handset
// --pty` on one pseudo-terminal, `hsbridge serve --port COM2=` that one,
// and clients on the served pseudo-terminal: a plain termios client,
// python3-serial and chat (both unmodified, installed by scripts/install-deps).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "process.h"

namespace hs::test {
namespace {

const std::string kHsbridge = std::string(HS_BIN_DIR) + "/hsbridge";
constexpr milliseconds kStart(5000);
constexpr milliseconds kAnswer(5000);
constexpr milliseconds kExit(5000);

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Where each of `needles` first occurs, in order; npos when missing.
std::vector<size_t> positions(const std::string& text, const std::vector<std::string>& needles) {
  std::vector<size_t> out;
  for (const auto& n : needles) out.push_back(text.find(n));
  return out;
}

class RealStack : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kHsbridge)) << "build the hsbridge target first";
    trace_ = std::filesystem::temp_directory_path() /
             ("realport-" + std::to_string(getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".trace");
  }
  void TearDown() override {
    if (serve_) {
      serve_->signal(SIGTERM);
      EXPECT_EQ(serve_->wait_exit(kExit), 0) << serve_->err();
    }
    if (handset_) {
      handset_->signal(SIGTERM);
      EXPECT_EQ(handset_->wait_exit(kExit), 0) << handset_->err();
    }
    std::filesystem::remove(trace_);
  }

  void start_handset(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{kHsbridge, "handset", "--pty"};
    argv.insert(argv.end(), options.begin(), options.end());
    handset_ = std::make_unique<Process>(argv);
    auto path = handset_->first_line(kStart);
    ASSERT_TRUE(path) << handset_->err();
    handset_path_ = *path;
  }
  void start_serve(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{kHsbridge,      "serve",        "--port", "COM2=" + handset_path_,
                                  "--trace-file", trace_.string()};
    argv.insert(argv.end(), options.begin(), options.end());
    serve_ = std::make_unique<Process>(argv);
    auto path = serve_->first_line(kStart);
    ASSERT_TRUE(path) << serve_->err();
    served_ = *path;
  }
  void start_both() {
    start_handset();
    if (HasFatalFailure()) return;
    start_serve();
  }
  std::string trace() { return read_file(trace_.string()); }

  std::unique_ptr<Process> handset_;
  std::unique_ptr<Process> serve_;
  std::string handset_path_;
  std::string served_;
  std::filesystem::path trace_;
};

TEST_F(RealStack, APlainClientSets115200SendsAtAndReadsOkAfterTheNegotiation) {
  start_both();
  ASSERT_FALSE(HasFatalFailure());
  {
    SerialClient client(served_);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.set_rate(B115200));
    ASSERT_TRUE(client.write_all("AT\r"));
    std::string answer = client.read_until("OK\r\n", kAnswer);
    EXPECT_NE(answer.find("\r\nOK\r\n"), std::string::npos) << answer << "\n" << serve_->err();
  }
  ASSERT_TRUE(serve_->wait_for_error("the program hung up", kAnswer)) << serve_->err();
  // The rate request reached the filter, which had the handset switch
  // before the port did; then the client's bytes went out, and closing the
  // program closed the stack.
  const std::string text = trace();
  auto at = positions(
      text, {"ratefilter  > IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200",
             "AT+IPR=115200",
             "portbridge  > IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200",
             "portbridge  > IRP_MJ_WRITE  Length: 3", "portbridge  > IRP_MJ_CLOSE"});
  for (size_t i = 0; i < at.size(); ++i) ASSERT_NE(at[i], std::string::npos) << "step " << i;
  for (size_t i = 1; i < at.size(); ++i) EXPECT_LT(at[i - 1], at[i]) << "step " << i;
}

TEST_F(RealStack, Python3SerialTalksToTheHandsetThroughTheStack) {
  start_both();
  ASSERT_FALSE(HasFatalFailure());
  const char* script = R"(
import sys, serial
port = serial.Serial(sys.argv[1], 115200, timeout=5)
port.write(b"ATI\r")
answer = port.read_until(b"OK\r\n")
port.close()
print(repr(answer))
sys.exit(0 if answer.endswith(b"OK\r\n") and b"GSM handset" in answer else 1)
)";
  Process python({"/usr/bin/python3", "-c", script, served_});
  int status = python.wait_exit(milliseconds(15000));
  EXPECT_EQ(status, 0) << python.out() << python.err()
                       << "(python3-serial comes with scripts/install-deps)\n"
                       << serve_->err();
  EXPECT_TRUE(serve_->wait_for_error("the program hung up", kAnswer));
  EXPECT_NE(trace().find("AT+IPR=115200"), std::string::npos);
}

TEST_F(RealStack, ChatGetsOkOnTheServedPortInRawMode) {
  // chat sends one AT per try, seconds apart: a handset that sleeps after
  // 500 ms idle would lose each one (the line that wakes it is lost).
  start_handset({"--sleep", "off"});
  ASSERT_FALSE(HasFatalFailure());
  start_serve();
  ASSERT_FALSE(HasFatalFailure());
  // As with a real port, the line is put in raw mode before chat runs; our
  // descriptor stays open (and reads nothing) so the settings hold.
  SerialClient holder(served_);
  ASSERT_TRUE(holder.ok());
  ASSERT_TRUE(holder.set_rate(B9600));
  Process chat({"/usr/sbin/chat", "-t", "3", "", "AT", "OK"}, served_, served_);
  EXPECT_EQ(chat.wait_exit(milliseconds(15000)), 0)
      << chat.err() << "(chat comes with the ppp package, scripts/install-deps)\n"
      << serve_->err();
}

TEST_F(RealStack, ARateTheHandsetRefusesIsReportedAndPutBack) {
  start_handset({"--rates", "9600,19200"});
  ASSERT_FALSE(HasFatalFailure());
  start_serve();
  ASSERT_FALSE(HasFatalFailure());
  SerialClient client(served_);
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(client.set_rate(B115200));
  EXPECT_TRUE(serve_->wait_for_error("SET_BAUD_RATE 115200 failed", kAnswer)) << serve_->err();
  auto deadline = Clock::now() + kAnswer;
  while (client.rate() != B9600 && Clock::now() < deadline) usleep(10000);
  EXPECT_EQ(client.rate(), static_cast<speed_t>(B9600));
  // The port still works at the rate it kept.
  ASSERT_TRUE(client.write_all("AT\r"));
  EXPECT_NE(client.read_until("OK\r\n", kAnswer).find("OK"), std::string::npos);
}

TEST_F(RealStack, AStopSignalClosesTheStackWhileAProgramIsConnected) {
  start_both();
  ASSERT_FALSE(HasFatalFailure());
  SerialClient client(served_);
  ASSERT_TRUE(client.ok());
  ASSERT_TRUE(serve_->wait_for_error("a program opened", kAnswer));
  serve_->signal(SIGINT);
  EXPECT_EQ(serve_->wait_exit(kExit), 0) << serve_->err();
  EXPECT_NE(serve_->err().find("stopping; COM2 closed"), std::string::npos) << serve_->err();
  EXPECT_NE(trace().find("portbridge  > IRP_MJ_CLOSE"), std::string::npos);
  serve_.reset();
}

// `--tty`: the handset takes a tty it is given; here the other end of a
// pseudo-terminal whose master plays the PC. The tty follows +IPR.
TEST(RealPortCommands, TheHandsetRunsOnAGivenTtyAndSwitchesItsRate) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string tty = ptsname(master);
  Process handset({kHsbridge, "handset", "--tty", tty, "--sleep", "off"});
  ASSERT_EQ(handset.first_line(kStart), tty) << handset.err();
  auto exchange = [&](const std::string& command) {
    EXPECT_EQ(write(master, command.data(), command.size()), static_cast<ssize_t>(command.size()));
    std::string got;
    auto deadline = Clock::now() + kAnswer;
    while (got.find("OK\r\n") == std::string::npos && Clock::now() < deadline) {
      char buffer[256];
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0)
        got.append(buffer, n);
      else
        usleep(5000);
    }
    return got;
  };
  EXPECT_NE(exchange("AT\r").find("OK"), std::string::npos);
  EXPECT_NE(exchange("AT+IPR=57600\r").find("OK"), std::string::npos);
  termios t{};
  auto deadline = Clock::now() + kAnswer;
  while (Clock::now() < deadline && (tcgetattr(master, &t) != 0 || cfgetospeed(&t) != B57600))
    usleep(5000);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
  handset.signal(SIGTERM);
  EXPECT_EQ(handset.wait_exit(kExit), 0) << handset.err();
  close(master);
}

TEST(RealPortCommands, BadPathsAndValuesGiveClearMessages) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"serve", "--port", "COM2=/dev/no-such-tty"},
       "--port COM2=/dev/no-such-tty: /dev/no-such-tty: cannot open: No such file or directory"},
      {{"serve", "--port", "COM2"}, "--port: expected NAME=PATH"},
      {{"serve", "--port", "COM2=/dev/null"}, "/dev/null: not a tty"},
      {{"handset", "--tty", "/dev/no-such-tty"}, "/dev/no-such-tty: cannot open"},
      {{"handset", "--quirk", "shy"}, "--quirk: unknown quirk 'shy'"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{kHsbridge};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Process p(argv);
    EXPECT_EQ(p.wait_exit(kExit), 2) << c.message;
    EXPECT_NE(p.err().find(c.message), std::string::npos) << p.err();
  }
}

}  // namespace
}  // namespace hs::test
