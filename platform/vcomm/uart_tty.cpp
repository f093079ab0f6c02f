#include "vcomm/uart_tty.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vcomm.h>

#include <algorithm>
#include <cstring>

namespace hs {
namespace {

constexpr size_t kRxLimit = 64 * 1024;  // stop reading the tty beyond this
constexpr size_t kChunk = 4096;
constexpr VTime kPollPeriod = 2 * kMillisecond;  // writes pending, drain, modem lines

struct SpeedCode {
  uint32_t rate;
  speed_t code;
};
constexpr SpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t size_flag(uint8_t data_bits) {
  switch (data_bits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t parity_flags(uint8_t parity) {
  switch (parity) {
    case 1:
      return PARENB | PARODD;  // odd
    case 2:
      return PARENB;  // even
    case 3:
      return PARENB | PARODD | CMSPAR;  // mark
    case 4:
      return PARENB | CMSPAR;  // space
    default:
      return 0;
  }
}

constexpr tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

std::string errno_text(int error) { return std::strerror(error); }

}  // namespace

// ------------------------------------------------------------ marks

void TtyMarkDecoder::feed(const uint8_t* data, size_t length, uint32_t error_bits,
                          std::vector<TtyByte>& out) {
  for (size_t i = 0; i < length; ++i) {
    uint8_t c = data[i];
    switch (state_) {
      case 0:
        if (c == 0xFF)
          state_ = 1;
        else
          out.push_back(TtyByte{c, 0});
        break;
      case 1:
        if (c == 0xFF) {
          out.push_back(TtyByte{0xFF, 0});
          state_ = 0;
        } else if (c == 0) {
          state_ = 2;
        } else {
          // Not a mark the tty makes; keep both bytes as they came.
          out.push_back(TtyByte{0xFF, 0});
          out.push_back(TtyByte{c, 0});
          state_ = 0;
        }
        break;
      default:
        if (c == 0)
          out.push_back(TtyByte{0, CE_BREAK | CE_FRAME});
        else
          out.push_back(TtyByte{c, error_bits});
        state_ = 0;
        break;
    }
  }
}

speed_t tty_speed_code(uint32_t rate) {
  for (const auto& s : kSpeeds)
    if (s.rate == rate) return s.code;
  return 0;
}

uint32_t tty_speed_rate(speed_t code) {
  for (const auto& s : kSpeeds)
    if (s.code == code) return s.rate;
  return 0;
}

UartFormat tty_format(const termios& t) {
  UartFormat f;
  f.rate = tty_speed_rate(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      f.data_bits = 5;
      break;
    case CS6:
      f.data_bits = 6;
      break;
    case CS7:
      f.data_bits = 7;
      break;
    default:
      f.data_bits = 8;
      break;
  }
  f.parity = 0;
  if (t.c_cflag & PARENB) {
    const bool odd = (t.c_cflag & PARODD) != 0;
    if (t.c_cflag & CMSPAR)
      f.parity = odd ? 3 : 4;
    else
      f.parity = odd ? 1 : 2;
  }
  f.stop_bits = (t.c_cflag & CSTOPB) ? (f.data_bits == 5 ? 1 : 2) : 0;
  return f;
}

// ------------------------------------------------------------ open, close

std::unique_ptr<TtyUart> TtyUart::open(Machine& machine, const std::string& path,
                                       std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": cannot open: " + errno_text(errno);
    return nullptr;
  }
  termios original{};
  if (tcgetattr(fd, &original) != 0) {
    *error = path + ": not a tty: " + errno_text(errno);
    ::close(fd);
    return nullptr;
  }
  std::unique_ptr<TtyUart> uart(new TtyUart(machine, path, fd, original));
  std::string why;
  if (!uart->apply(UartFormat{}, &why)) {
    *error = path + ": " + why;
    return nullptr;
  }
  return uart;
}

TtyUart::TtyUart(Machine& machine, std::string path, int fd, const termios& original)
    : machine_(machine),
      path_(std::move(path)),
      fd_(fd),
      original_(original),
      alive_(std::make_shared<bool>(true)) {
  termios t = original;
  cfmakeraw(&t);
  // Marked errors and breaks (PARMRK); no signals, no flow control by the
  // tty, modem lines not consulted for reading. Everything else is off, the
  // external-processing bit too, which would stop the marking.
  t.c_iflag = PARMRK;
  t.c_oflag = 0;
  t.c_lflag = 0;
  t.c_cflag = (t.c_cflag & ~(kFormatFlags | CRTSCTS | HUPCL)) | CREAD | CLOCAL | CS8;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  tcsetattr(fd_, TCSANOW, &t);
  tcflush(fd_, TCIOFLUSH);
  int bits = 0;
  has_lines_ = ioctl(fd_, TIOCMGET, &bits) == 0;
  serial_icounter_struct counts{};
  if (ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
    frame_count_ = counts.frame;
    parity_count_ = counts.parity;
    overrun_count_ = static_cast<int64_t>(counts.overrun) + counts.buf_overrun;
    break_count_ = counts.brk;
  }
  last_lines_ = modem_lines();
  watch(true);
}

TtyUart::~TtyUart() {
  *alive_ = false;
  watch(false);
  if (poll_event_ != 0) machine_.cancel(poll_event_);
  if (fd_ >= 0) {
    if (!hung_up_) tcsetattr(fd_, TCSANOW, &original_);
    ::close(fd_);
  }
}

void TtyUart::watch(bool on) {
  if (on == watching_) return;
  watching_ = on;
  if (on) {
    std::shared_ptr<bool> alive = alive_;
    machine_.watch_fd(fd_, [this, alive] {
      if (!*alive) return;
      size_t before = rx_.size();
      pull();
      check_due(before);
    });
  } else {
    machine_.unwatch_fd(fd_);
  }
}

void TtyUart::hang_up(const char* why) {
  if (hung_up_) return;
  hung_up_ = true;
  watch(false);
  tx_.clear();
  TraceEvent event;
  event.ev = "note";
  event.add("port", path_);
  event.text = path_ + ": " + why;
  machine_.trace().emit(std::move(event));
  if (interest_.modem) raise_interrupt();
  if (on_hang_up_) {
    auto action = std::move(on_hang_up_);
    on_hang_up_ = nullptr;
    action();
  }
}

// ------------------------------------------------------------ format

bool TtyUart::supports(const UartFormat& f) const {
  return tty_speed_code(f.rate) != 0 && f.data_bits >= 5 && f.data_bits <= 8 && f.parity <= 4 &&
         (f.stop_bits == 0 || (f.stop_bits == 1 && f.data_bits == 5) ||
          (f.stop_bits == 2 && f.data_bits != 5));
}

bool TtyUart::apply(const UartFormat& f, std::string* why) {
  if (hung_up_) {
    *why = "the far side has hung up";
    return false;
  }
  termios old{};
  if (tcgetattr(fd_, &old) != 0) {
    *why = "cannot read the settings: " + errno_text(errno);
    return false;
  }
  termios t = old;
  speed_t speed = tty_speed_code(f.rate);
  t.c_cflag = (t.c_cflag & ~kFormatFlags) | size_flag(f.data_bits) | parity_flags(f.parity) |
              (f.stop_bits != 0 ? CSTOPB : 0);
  // Parity is checked and marked only when there is one.
  if (f.parity != 0)
    t.c_iflag |= INPCK;
  else
    t.c_iflag &= ~INPCK;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  const std::string wanted = f.describe();
  if (tcsetattr(fd_, TCSANOW, &t) != 0) {
    *why = "the tty refuses " + wanted + ": " + errno_text(errno);
    return false;
  }
  // tcsetattr succeeds when any part was taken: read back what holds now.
  termios now{};
  tcgetattr(fd_, &now);
  if ((now.c_cflag & kFormatFlags) != (t.c_cflag & kFormatFlags) || cfgetospeed(&now) != speed ||
      cfgetispeed(&now) != speed) {
    tcsetattr(fd_, TCSANOW, &old);
    *why = "the tty refuses " + wanted;
    return false;
  }
  format_ = f;
  return true;
}

bool TtyUart::set_format(const UartFormat& f) {
  refusal_.clear();
  if (!supports(f)) {
    refusal_ = path_ + ": the tty cannot run " + f.describe();
    return false;
  }
  if (f == format_) return true;
  std::string why;
  if (!apply(f, &why)) {
    refusal_ = path_ + ": " + why;
    TraceEvent event;
    event.ev = "note";
    event.add("port", path_);
    event.text = refusal_;
    machine_.trace().emit(std::move(event));
    return false;
  }
  return true;
}

// ------------------------------------------------------------ lines

void TtyUart::set_control(const UartControl& c) {
  UartControl old = control_;
  control_ = c;
  if (hung_up_) return;
  if (has_lines_ && (c.dtr != old.dtr || c.rts != old.rts)) {
    int set = (c.dtr && !old.dtr ? TIOCM_DTR : 0) | (c.rts && !old.rts ? TIOCM_RTS : 0);
    int clear = (!c.dtr && old.dtr ? TIOCM_DTR : 0) | (!c.rts && old.rts ? TIOCM_RTS : 0);
    if (set) ioctl(fd_, TIOCMBIS, &set);
    if (clear) ioctl(fd_, TIOCMBIC, &clear);
  }
  if (c.brk != old.brk) {
    // A tty without break (a pseudo-terminal) just holds the transmitter.
    ioctl(fd_, c.brk ? TIOCSBRK : TIOCCBRK);
    if (!c.brk) push();
  }
}

ModemLines TtyUart::modem_lines() const {
  ModemLines lines;
  if (hung_up_) return lines;
  if (!has_lines_) {
    lines.cts = lines.dsr = lines.dcd = true;
    return lines;
  }
  int bits = 0;
  if (ioctl(fd_, TIOCMGET, &bits) != 0) return lines;
  lines.cts = (bits & TIOCM_CTS) != 0;
  lines.dsr = (bits & TIOCM_DSR) != 0;
  lines.ri = (bits & TIOCM_RI) != 0;
  lines.dcd = (bits & TIOCM_CD) != 0;
  return lines;
}

// ------------------------------------------------------------ transmit

void TtyUart::transmit(const uint8_t* bytes, size_t count) {
  if (count == 0 || hung_up_) return;
  was_busy_ = true;  // the drain is worth an interrupt once it comes
  tx_.insert(tx_.end(), bytes, bytes + count);
  push();
}

void TtyUart::transmit_first(uint8_t byte) {
  if (hung_up_) return;
  was_busy_ = true;
  tx_.push_front(byte);
  push();
}

size_t TtyUart::out_queue() const {
  if (hung_up_) return 0;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<size_t>(queued);
}

// Bytes in the tty's own output buffer have not left either.
size_t TtyUart::tx_pending() const { return tx_.size() + out_queue(); }
bool TtyUart::tx_busy() const { return tx_pending() != 0; }

size_t TtyUart::purge_tx() {
  size_t n = tx_.size() + out_queue();
  tx_.clear();
  if (!hung_up_) tcflush(fd_, TCOFLUSH);
  return n;
}

void TtyUart::hold_tx(bool on) {
  xoff_ = on;
  if (!on) push();
}

void TtyUart::push() {
  if (hung_up_ || xoff_ || control_.brk) return;
  uint8_t chunk[kChunk];
  while (!tx_.empty()) {
    size_t n = std::min(tx_.size(), sizeof chunk);
    std::copy_n(tx_.begin(), n, chunk);
    ssize_t done = ::write(fd_, chunk, n);
    if (done < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      hang_up("write failed, the far side is gone");
      return;
    }
    if (done == 0) break;
    trace_bytes("tx", chunk, static_cast<size_t>(done));
    written_ += static_cast<uint64_t>(done);
    tx_.erase(tx_.begin(), tx_.begin() + done);
  }
  check_due(rx_.size());  // a transmitter that drained at once
  arm_poll();
}

// ------------------------------------------------------------ receive

uint32_t TtyUart::error_bits_for_mark() {
  if (frame_count_ < 0) return format_.parity != 0 ? CE_RXPARITY : CE_FRAME;
  serial_icounter_struct counts{};
  if (ioctl(fd_, TIOCGICOUNT, &counts) != 0) return CE_FRAME;
  uint32_t bits = 0;
  if (counts.parity != parity_count_) bits |= CE_RXPARITY;
  if (counts.frame != frame_count_) bits |= CE_FRAME;
  return bits != 0 ? bits : CE_FRAME;
}

void TtyUart::pull() {
  if (hung_up_) return;
  uint8_t chunk[kChunk];
  while (rx_.size() < kRxLimit) {
    ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) break;
    if (got == 0) {
      // In raw mode with no minimum a read of nothing is not the end; a
      // hang-up also polls as one.
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) {
        hang_up("the far side hung up");
        return;
      }
      break;
    }
    if (got < 0) {
      hang_up("read failed, the far side is gone");
      return;
    }
    std::vector<TtyByte> bytes;
    bytes.reserve(static_cast<size_t>(got));
    const bool marked = std::memchr(chunk, 0xFF, static_cast<size_t>(got)) != nullptr;
    decoder_.feed(chunk, static_cast<size_t>(got), marked ? error_bits_for_mark() : CE_FRAME,
                  bytes);
    if (frame_count_ >= 0) {
      serial_icounter_struct counts{};
      if (ioctl(fd_, TIOCGICOUNT, &counts) == 0) {
        int64_t overruns = static_cast<int64_t>(counts.overrun) + counts.buf_overrun;
        if (overruns != overrun_count_ && !bytes.empty()) bytes.back().errors |= CE_OVERRUN;
        frame_count_ = counts.frame;
        parity_count_ = counts.parity;
        overrun_count_ = overruns;
        break_count_ = counts.brk;
      }
    }
    if (bytes.empty()) continue;
    std::vector<uint8_t> plain;
    plain.reserve(bytes.size());
    for (const TtyByte& b : bytes) plain.push_back(b.byte);
    trace_bytes("rx", plain.data(), plain.size());
    received_ += bytes.size();
    rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  }
  // A full buffer stops the reading; the tty's own buffer holds the rest.
  watch(!hung_up_ && rx_.size() < kRxLimit);
}

size_t TtyUart::receive(uint8_t* out, size_t max, uint32_t* errors) {
  *errors = 0;
  pull();
  size_t got = 0;
  while (got < max && !rx_.empty()) {
    TtyByte b = rx_.front();
    rx_.pop_front();
    out[got++] = b.byte;
    if (b.errors != 0) {
      *errors = b.errors;
      break;
    }
  }
  if (!hung_up_ && !watching_ && rx_.size() < kRxLimit) watch(true);
  return got;
}

size_t TtyUart::rx_pending() {
  pull();
  return rx_.size();
}

void TtyUart::purge_rx() {
  if (!hung_up_) tcflush(fd_, TCIFLUSH);
  pull();
  rx_.clear();
  decoder_.reset();
  if (!hung_up_) watch(true);
}

// ------------------------------------------------------------ interrupts

void TtyUart::attach(UartClient* client) {
  client_ = client;
  if (client == nullptr) interest_ = UartInterest{};
  last_lines_ = modem_lines();
}

void TtyUart::set_interest(const UartInterest& interest) {
  interest_ = interest;
  check_due(0);
  arm_poll();
}

// Raises the interrupt when a cause of interest is due; `fresh_from` is the
// first byte of rx_ not yet looked at for a received-character cause.
void TtyUart::check_due(size_t fresh_from) {
  if (client_ == nullptr) return;
  const UartInterest& in = interest_;
  bool due = false;
  if (!rx_.empty()) {
    if (in.rx_data) due = true;
    if (in.rx_count > 0 && rx_.size() >= in.rx_count) due = true;
    for (size_t i = std::min(fresh_from, rx_.size()); i < rx_.size() && !due; ++i) {
      if (in.rx_char >= 0 && rx_[i].byte == in.rx_char) due = true;
      if (in.rx_errors && rx_[i].errors != 0) due = true;
    }
  }
  if (in.tx_empty && was_busy_ && !tx_busy()) {
    was_busy_ = false;
    due = true;
  }
  if (in.modem) {
    ModemLines now = modem_lines();
    if (!(now == last_lines_)) {
      last_lines_ = now;
      due = true;
    }
  }
  if (due) raise_interrupt();
}

void TtyUart::raise_interrupt() {
  if (client_ == nullptr || interrupt_posted_) return;
  interrupt_posted_ = true;
  std::shared_ptr<bool> alive = alive_;
  machine_.post_interrupt(
      [this, alive] {
        if (!*alive) return;
        interrupt_posted_ = false;
        if (client_ != nullptr) client_->uart_interrupt();
      },
      "uart " + path_);
}

// Writes waiting, a transmitter to watch drain, modem lines to watch: the
// tty has no descriptor event for these, so look again shortly.
void TtyUart::arm_poll() {
  if (poll_event_ != 0 || hung_up_) return;
  bool needed = !tx_.empty() || (interest_.tx_empty && client_ != nullptr && tx_busy()) ||
                (interest_.modem && client_ != nullptr && has_lines_);
  if (!needed) return;
  std::shared_ptr<bool> alive = alive_;
  poll_event_ = machine_.after(
      kPollPeriod,
      [this, alive] {
        if (!*alive) return;
        poll_event_ = 0;
        poll_tick();
      },
      "tty poll");
}

void TtyUart::poll_tick() {
  push();
  check_due(rx_.size());
  arm_poll();
}

void TtyUart::trace_bytes(const char* dir, const uint8_t* bytes, size_t count) {
  TraceEvent event;
  event.ev = "line";
  event.add("dir", std::string(dir));
  event.add("hex", hex_bytes(bytes, count));
  event.add("rate", static_cast<int64_t>(format_.rate));
  event.add("format", format_.describe());
  std::string text;
  for (size_t i = 0; i < count && i < 64; ++i) {
    uint8_t c = bytes[i];
    if (c == '\r') {
      text += "\\r";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c >= 32 && c < 127) {
      text += static_cast<char>(c);
    } else {
      char buffer[8];
      snprintf(buffer, sizeof buffer, "\\x%02X", c);
      text += buffer;
    }
  }
  if (count > 64) text += "...";
  event.text = std::string(dir[0] == 't' ? "PC -> " : "PC <- ") + path_ + " " + format_.describe() +
               "  \"" + text + "\"  (" + std::to_string(count) + " bytes)";
  machine_.trace().emit(std::move(event));
}

}  // namespace hs
