// The UART behind a COM port as a host tty, met through a pseudo-terminal
// whose master end the test plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>
#include <vcomm.h>

#include <chrono>
#include <functional>
#include <string>

#include "machine/machine.h"
#include "vcomm/uart_tty.h"

namespace hs {
namespace {

// ------------------------------------------------------------ pure parts

TEST(TtyMarkDecoder, UndoesTheTtysMarksAcrossReads) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    std::string bytes;
    std::vector<uint32_t> errors;  // per byte
  };
  const uint32_t f = CE_FRAME;
  const uint32_t brk = CE_BREAK | CE_FRAME;
  const Case cases[] = {
      {"plain", {"AT\r"}, "AT\r", {0, 0, 0}},
      {"doubled 0xFF", {std::string("a\xFF\xFFz")}, "a\xFFz", {0, 0, 0}},
      {"break", {std::string("x\xFF\0\0", 4)}, std::string("x\0", 2), {0, brk}},
      {"marked byte", {std::string("\xFF\0Q", 3)}, "Q", {f}},
      {"mark split over reads",
       {std::string("\xFF"), std::string("\0", 1), std::string("Q")},
       "Q",
       {f}},
      {"0xFF doubled over reads", {std::string("\xFF"), std::string("\xFF")}, "\xFF", {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TtyMarkDecoder decoder;
    std::vector<TtyByte> out;
    for (const auto& read : c.reads)
      decoder.feed(reinterpret_cast<const uint8_t*>(read.data()), read.size(), CE_FRAME, out);
    ASSERT_EQ(out.size(), c.bytes.size());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].byte, static_cast<uint8_t>(c.bytes[i])) << "byte " << i;
      EXPECT_EQ(out[i].errors, c.errors[i]) << "byte " << i;
    }
  }
}

TEST(TtyUartFormats, SupportsWhatTermiosCanExpress) {
  struct Case {
    UartFormat format;
    bool supported;
  };
  const Case cases[] = {
      {{9600, 8, 0, 0}, true},   {{115200, 8, 0, 0}, true}, {{921600, 8, 0, 0}, true},
      {{14400, 8, 0, 0}, false},  // a Windows rate termios has no code for
      {{115200, 7, 2, 0}, true},  // 7E1: termios can say it (a pty then refuses it)
      {{9600, 8, 0, 1}, false},   // 1.5 stop bits only with 5 data bits
      {{9600, 5, 0, 1}, true},   {{9600, 5, 0, 2}, false},  {{9600, 4, 0, 0}, false},
      {{9600, 8, 5, 0}, false},
  };
  Machine machine([] {
    MachineOptions o;
    o.real_time = true;
    return o;
  }());
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string error;
  auto uart = TtyUart::open(machine, ptsname(master), &error);
  ASSERT_TRUE(uart) << error;
  for (const Case& c : cases)
    EXPECT_EQ(uart->supports(c.format), c.supported) << c.format.describe();
  uart.reset();
  close(master);
}

TEST(TtyUartOpen, AMissingOrWrongPathGivesAClearMessage) {
  Machine machine([] {
    MachineOptions o;
    o.real_time = true;
    return o;
  }());
  std::string error;
  EXPECT_EQ(TtyUart::open(machine, "/dev/no-such-tty", &error), nullptr);
  EXPECT_EQ(error, "/dev/no-such-tty: cannot open: No such file or directory");
  EXPECT_EQ(TtyUart::open(machine, "/dev/null", &error), nullptr);
  EXPECT_NE(error.find("/dev/null: not a tty"), std::string::npos) << error;
}

// ------------------------------------------------------------ on a pty

class Interrupts : public UartClient {
 public:
  void uart_interrupt() override { ++count; }
  int count = 0;
};

class TtyUartOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    MachineOptions options;
    options.real_time = true;
    machine_ = std::make_unique<Machine>(options);
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    std::string error;
    uart_ = TtyUart::open(*machine_, ptsname(master_), &error);
    ASSERT_TRUE(uart_) << error;
  }
  void TearDown() override {
    uart_.reset();
    if (master_ >= 0) close(master_);
    machine_.reset();
  }

  // Runs `body` in an emulated thread until it returns.
  void run(std::function<void()> body) {
    machine_->create_thread("test", std::move(body));
    RunResult result = machine_->run();
    ASSERT_TRUE(result.ok()) << result.report;
  }
  // Sleeps in 1 ms steps until `done` or 2 s have passed.
  bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 2000 && !done(); ++i) machine_->sleep_for(kMillisecond);
    return done();
  }
  std::string read_master() {
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(master_, buffer, sizeof buffer)) > 0) out.append(buffer, n);
    return out;
  }
  termios master_settings() {
    termios t{};
    tcgetattr(master_, &t);
    return t;
  }

  std::unique_ptr<Machine> machine_;
  int master_ = -1;
  std::unique_ptr<TtyUart> uart_;
  Interrupts interrupts_;
};

TEST_F(TtyUartOnPty, ArrivingBytesBecomeReceivedBytesWithAnInterrupt) {
  std::string got;
  uint32_t errors = 1;
  run([&] {
    uart_->attach(&interrupts_);
    UartInterest interest;
    interest.rx_data = true;
    uart_->set_interest(interest);
    const std::string sent("AT\xFF\r", 4);  // 0xFF comes through as one byte
    ASSERT_EQ(write(master_, sent.data(), sent.size()), 4);
    ASSERT_TRUE(eventually([&] { return interrupts_.count > 0; }));
    EXPECT_EQ(uart_->rx_pending(), 4u);
    uint8_t buffer[16];
    size_t n = uart_->receive(buffer, sizeof buffer, &errors);
    got.assign(reinterpret_cast<char*>(buffer), n);
    uart_->attach(nullptr);
  });
  EXPECT_EQ(got, std::string("AT\xFF\r", 4));
  EXPECT_EQ(errors, 0u);
}

TEST_F(TtyUartOnPty, WrittenBytesReachTheFarEndAndTheTransmitterDrains) {
  std::string got;
  run([&] {
    uart_->attach(&interrupts_);
    UartInterest interest;
    interest.tx_empty = true;
    uart_->set_interest(interest);
    uart_->transmit(reinterpret_cast<const uint8_t*>("ATI\r"), 4);
    uart_->transmit_first('!');
    ASSERT_TRUE(eventually([&] {
      got += read_master();
      return got.size() >= 5;
    }));
    EXPECT_TRUE(eventually([&] { return !uart_->tx_busy(); }));
    EXPECT_TRUE(eventually([&] { return interrupts_.count > 0; }));  // the drain is told
    uart_->attach(nullptr);
  });
  EXPECT_EQ(got, "ATI\r!");  // the first byte had left before transmit_first
  EXPECT_EQ(uart_->bytes_written(), 5u);
}

TEST_F(TtyUartOnPty, FormatsGoToTheTtyAndWhatItRefusesKeepsTheOld) {
  UartFormat fast{115200, 8, 0, 2};
  ASSERT_TRUE(uart_->set_format(fast));
  termios t = master_settings();
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(uart_->format(), fast);

  // A pseudo-terminal runs only 8 data bits without parity.
  EXPECT_FALSE(uart_->set_format(UartFormat{115200, 7, 2, 0}));
  EXPECT_NE(uart_->refusal().find("refuses 115200 7E1"), std::string::npos) << uart_->refusal();
  EXPECT_EQ(uart_->format(), fast);
  t = master_settings();
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));

  EXPECT_FALSE(uart_->set_format(UartFormat{14400, 8, 0, 0}));
  EXPECT_EQ(uart_->format(), fast);
}

TEST_F(TtyUartOnPty, APtyHasNoModemLinesSoTheHandshakeLinesReadOn) {
  EXPECT_FALSE(uart_->has_modem_lines());
  ModemLines lines = uart_->modem_lines();
  EXPECT_TRUE(lines.cts);
  EXPECT_TRUE(lines.dsr);
  EXPECT_TRUE(lines.dcd);
  EXPECT_FALSE(lines.ri);
  uart_->set_control(UartControl{true, true, true});  // no lines, no break: no failure either
  uart_->set_control(UartControl{false, false, false});
}

TEST_F(TtyUartOnPty, AHangUpDropsTheLinesOnceAndEndsTheReading) {
  int hang_ups = 0;
  uart_->on_hang_up([&] { ++hang_ups; });
  run([&] {
    uart_->attach(&interrupts_);
    UartInterest interest;
    interest.modem = true;
    interest.rx_data = true;
    uart_->set_interest(interest);
    close(master_);
    master_ = -1;
    ASSERT_TRUE(eventually([&] { return uart_->hung_up(); }));
    EXPECT_TRUE(eventually([&] { return interrupts_.count > 0; }));
    // Nothing spins on the dead descriptor: the machine idles through a sleep.
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    machine_->sleep_for(100 * kMillisecond);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpu_ms = (after.tv_sec - before.tv_sec) * 1e3 + (after.tv_nsec - before.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 50.0);
    uart_->transmit(reinterpret_cast<const uint8_t*>("AT\r"), 3);
    EXPECT_FALSE(uart_->tx_busy());
    uart_->attach(nullptr);
  });
  EXPECT_EQ(hang_ups, 1);
  EXPECT_EQ(uart_->modem_lines(), ModemLines{});
  EXPECT_FALSE(uart_->set_format(UartFormat{19200, 8, 0, 0}));
}

}  // namespace
}  // namespace hs
