#include "sim/handset_pty.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "vcomm/uart_tty.h"

namespace hs {
namespace {

constexpr VTime kTick = 2 * kMillisecond;  // format, pace and output checks
constexpr size_t kLineWindow = 512;        // bytes taken ahead of the line
constexpr size_t kOutputLimit = 8192;      // handset bytes the descriptor has not taken

std::string errno_text() { return std::strerror(errno); }

// Raw 8N1 at `rate`, nothing interpreted.
void make_raw(int fd, uint32_t rate) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  speed_t speed = tty_speed_code(rate);
  if (speed != 0) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  tcsetattr(fd, TCSANOW, &t);
}

}  // namespace

// The PC end of the simulated line, as seen from the descriptor: its
// interrupts say the handset has sent something.
class HandsetPty::Port : public UartClient {
 public:
  explicit Port(HandsetPty& owner) : owner_(owner) {}
  void uart_interrupt() override { owner_.deliver(); }

 private:
  HandsetPty& owner_;
};

std::unique_ptr<HandsetPty> HandsetPty::open(Machine& machine, HandsetPtyOptions options,
                                             std::string* error) {
  std::unique_ptr<HandsetPty> pty(new HandsetPty(machine, std::move(options)));
  if (!pty->start(error)) return nullptr;
  return pty;
}

HandsetPty::HandsetPty(Machine& machine, HandsetPtyOptions options)
    : machine_(machine), options_(std::move(options)), alive_(std::make_shared<bool>(true)) {}

HandsetPty::~HandsetPty() {
  *alive_ = false;
  if (tick_event_ != 0) machine_.cancel(tick_event_);
  if (watching_) machine_.unwatch_fd(fd_);
  if (line_) line_->pc().attach(nullptr);
  handset_.reset();
  line_.reset();
  if (!options_.link.empty()) {
    std::error_code ignored;
    if (std::filesystem::is_symlink(options_.link, ignored))
      std::filesystem::remove(options_.link, ignored);
  }
  if (keep_fd_ >= 0) ::close(keep_fd_);
  if (fd_ >= 0) ::close(fd_);
}

bool HandsetPty::start(std::string* error) {
  is_pty_ = options_.tty.empty();
  if (is_pty_) {
    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
      *error = "cannot make a pseudo-terminal: " + errno_text();
      return false;
    }
    char name[128];
    if (ptsname_r(fd_, name, sizeof name) != 0) {
      *error = "cannot name the pseudo-terminal: " + errno_text();
      return false;
    }
    path_ = name;
    // Holding the other end ourselves keeps its settings between the
    // program's opens and keeps the descriptor from reading as hung up.
    keep_fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (keep_fd_ < 0) {
      *error = path_ + ": cannot open: " + errno_text();
      return false;
    }
    make_raw(keep_fd_, options_.handset.rate);
  } else {
    path_ = options_.tty;
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
      *error = path_ + ": cannot open: " + errno_text();
      return false;
    }
    termios probe{};
    if (tcgetattr(fd_, &probe) != 0) {
      *error = path_ + ": not a tty: " + errno_text();
      return false;
    }
    if (tty_speed_code(options_.handset.rate) == 0) {
      *error = path_ + ": the tty cannot run " + std::to_string(options_.handset.rate) + " baud";
      return false;
    }
    make_raw(fd_, options_.handset.rate);
    tcflush(fd_, TCIOFLUSH);
  }
  if (!options_.link.empty()) {
    std::error_code failed;
    if (std::filesystem::is_symlink(options_.link, failed))
      std::filesystem::remove(options_.link, failed);
    std::filesystem::create_symlink(path_, options_.link, failed);
    if (failed) {
      *error = options_.link + ": cannot make the link: " + failed.message();
      options_.link.clear();
      return false;
    }
  }

  SerialLineOptions line;
  line.max_rate = 4000000;  // whatever the program sets; the handset refuses what it cannot do
  line.min_rate = 50;
  line_ = std::make_unique<SerialLine>(machine_, line);
  handset_ = std::make_unique<Handset>(machine_, *line_, options_.handset);
  port_ = std::make_unique<Port>(*this);
  Uart& pc = line_->pc();
  UartFormat format = pc.format();
  format.rate = options_.handset.rate;
  pc.set_format(format);
  pc.set_control(UartControl{true, true, false});  // the program's DTR and RTS
  pc.attach(port_.get());
  UartInterest interest;
  interest.rx_data = true;
  pc.set_interest(interest);
  follow_format();
  take_input();
  tick();
  return true;
}

// The line's PC end runs at the program's settings (pseudo-terminal), or
// the tty at the handset's (tty).
void HandsetPty::follow_format() {
  Uart& pc = line_->pc();
  if (is_pty_) {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return;
    UartFormat wanted = tty_format(t);
    if (wanted.rate != 0 && !(wanted == pc.format())) pc.set_format(wanted);
    return;
  }
  UartFormat far = line_->far().format();
  if (!(far == pc.format()) && !pc.tx_busy()) {
    pc.set_format(far);
    make_raw(fd_, far.rate);
  }
}

// Takes what the program wrote, no further ahead of the line than a
// window, so that its writes go at the line's pace.
void HandsetPty::take_input() {
  if (gone_) return;
  Uart& pc = line_->pc();
  uint8_t buffer[kLineWindow];
  for (;;) {
    size_t queued = pc.tx_pending();
    if (queued >= kLineWindow) break;
    ssize_t got = ::read(fd_, buffer, kLineWindow - queued);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    if (got <= 0) {
      pollfd p{fd_, POLLIN, 0};
      if (got < 0 || (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP))) {
        gone_ = true;  // the tty went away: the handset talks to nobody now
        if (watching_) machine_.unwatch_fd(fd_);
        watching_ = false;
        return;
      }
      break;
    }
    follow_format();
    pc.transmit(buffer, static_cast<size_t>(got));
    from_program_ += static_cast<uint64_t>(got);
  }
  bool want = pc.tx_pending() < kLineWindow;
  if (want != watching_) {
    watching_ = want;
    if (want) {
      std::shared_ptr<bool> alive = alive_;
      machine_.watch_fd(fd_, [this, alive] {
        if (*alive) take_input();
      });
    } else {
      machine_.unwatch_fd(fd_);
    }
  }
}

// The handset sent something: hand it to the descriptor.
void HandsetPty::deliver() {
  Uart& pc = line_->pc();
  uint8_t buffer[1024];
  while (output_.size() < kOutputLimit) {
    uint32_t errors = 0;
    size_t got = pc.receive(buffer, sizeof buffer, &errors);
    if (got == 0) break;
    output_.append(reinterpret_cast<char*>(buffer), got);
  }
  flush_output();
}

void HandsetPty::flush_output() {
  while (!output_.empty()) {
    ssize_t done = ::write(fd_, output_.data(), output_.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    to_program_ += static_cast<uint64_t>(done);
    output_.erase(0, static_cast<size_t>(done));
  }
  // While the program does not take its bytes, leave the handset's on the line.
  UartInterest interest;
  interest.rx_data = output_.size() < kOutputLimit;
  line_->pc().set_interest(interest);
}

void HandsetPty::tick() {
  follow_format();
  take_input();
  if (!output_.empty()) deliver();
  std::shared_ptr<bool> alive = alive_;
  tick_event_ = machine_.after(
      kTick,
      [this, alive] {
        if (!*alive) return;
        tick_event_ = 0;
        tick();
      },
      "handset pty");
}

}  // namespace hs
