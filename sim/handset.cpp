#include "sim/handset.h"

#include <algorithm>
#include <cctype>

namespace hs {
namespace {

constexpr size_t kMaxLine = 256;
constexpr size_t kStreamChunk = 4096;
constexpr size_t kRecordLimit = 1 << 20;  // bytes kept in received()/sent()

enum Result { kOk = 0, kConnect = 1, kRing = 2, kNoCarrier = 3, kError = 4 };

const char* result_text(int code) {
  switch (code) {
    case kOk:
      return "OK";
    case kConnect:
      return "CONNECT";
    case kRing:
      return "RING";
    case kNoCarrier:
      return "NO CARRIER";
    default:
      return "ERROR";
  }
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

// The handset's side of the UART interrupt (called in the world's context).
class Handset::Receiver : public UartClient {
 public:
  explicit Receiver(Handset& handset) : handset_(handset) {}
  void uart_interrupt() override { handset_.on_uart(); }

 private:
  Handset& handset_;
};

Handset::Handset(Machine& machine, SerialLine& line, HandsetOptions options)
    : machine_(machine),
      line_(line),
      uart_(line.far()),
      options_(std::move(options)),
      receiver_(std::make_unique<Receiver>(*this)),
      rng_(options_.seed) {
  UartFormat format = uart_.format();
  format.rate = options_.rate;
  uart_.set_format(format);
  uart_.attach(receiver_.get());
  power_on();
}

Handset::~Handset() {
  if (idle_event_) machine_.cancel(idle_event_);
  if (escape_event_) machine_.cancel(escape_event_);
  for (auto id : timers_) machine_.cancel(id);
  uart_.attach(nullptr);
}

// ------------------------------------------------------------ settings

void Handset::set_rate(uint32_t rate) {
  options_.rate = rate;
  UartFormat format = uart_.format();
  format.rate = rate;
  uart_.set_format(format);
}
void Handset::set_echo(bool on) { options_.echo = on; }
void Handset::set_verbose(bool on) { options_.verbose = on; }
void Handset::set_latency(VTime latency) { options_.latency = latency; }
void Handset::set_rates(std::vector<uint32_t> rates) { options_.rates = std::move(rates); }
void Handset::set_sleep_after(VTime idle) {
  options_.sleep_after = idle;
  arm_idle();
}
void Handset::set_quirks(const HandsetQuirks& quirks) { options_.quirks = quirks; }

void Handset::power_off() {
  powered_ = false;
  data_mode_ = false;
  busy_ = false;
  pending_.clear();
  line_buffer_.clear();
  update_lines();
}

void Handset::power_on() {
  powered_ = true;
  asleep_ = options_.asleep_at_power_on && options_.sleep_after > 0;
  losing_line_ = false;
  update_lines();
  update_interest();
  if (!asleep_) arm_idle();
}

void Handset::wake() {
  asleep_ = false;
  losing_line_ = false;
  arm_idle();
}

void Handset::update_lines() {
  ModemLines lines;
  lines.cts = powered_;
  lines.dsr = powered_;
  lines.dcd = powered_ && data_mode_;
  lines.ri = powered_ && ringing_;
  line_.set_far_lines(lines);
}

void Handset::update_interest() {
  UartInterest interest;
  interest.rx_data = true;
  interest.modem = true;
  interest.tx_empty = stream_left_ > 0 || pending_rate_ != 0;
  uart_.set_interest(interest);
}

// ------------------------------------------------------- the far side

void Handset::send(std::string bytes) {
  if (bytes.empty() || !powered_) return;
  if (sent_.size() < kRecordLimit) sent_ += bytes;
  uart_.transmit(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  touch();
}

void Handset::send_raw(std::string_view bytes) { send(std::string(bytes)); }

void Handset::unsolicited(std::string_view code) {
  if (options_.quiet || options_.quirks.silent) return;
  if (options_.verbose)
    answer("\r\n" + std::string(code) + "\r\n");
  else
    answer(std::string(code) + "\r");
}

void Handset::ring() {
  ringing_ = true;
  update_lines();
  timers_.push_back(machine_.after(
      1 * kSecond,
      [this] {
        ringing_ = false;
        update_lines();
      },
      "handset ring"));
  if (options_.verbose)
    unsolicited("RING");
  else
    answer(std::to_string(kRing) + "\r");
}

void Handset::stream(std::string_view pattern, uint64_t count) {
  stream_pattern_ = pattern.empty() ? std::string("U") : std::string(pattern);
  stream_left_ = count;
  stream_pos_ = 0;
  update_interest();
  refill_stream();
}

void Handset::refill_stream() {
  if (stream_left_ == 0 || uart_.tx_pending() > 0) return;
  size_t n = static_cast<size_t>(std::min<uint64_t>(stream_left_, kStreamChunk));
  std::string chunk(n, '\0');
  for (size_t i = 0; i < n; ++i)
    chunk[i] = stream_pattern_[(stream_pos_ + i) % stream_pattern_.size()];
  stream_pos_ = (stream_pos_ + n) % stream_pattern_.size();
  stream_left_ -= n;
  streamed_ += n;
  uart_.transmit(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
  if (stream_left_ == 0) update_interest();
}

// --------------------------------------------------------------- input

void Handset::on_uart() {
  // Rate switch once the answer at the old rate has left.
  if (pending_rate_ != 0 && !uart_.tx_busy()) {
    UartFormat format = uart_.format();
    format.rate = pending_rate_;
    options_.rate = pending_rate_;
    pending_rate_ = 0;
    uart_.set_format(format);
    busy_ = false;
    update_interest();
  }
  if (stream_left_ > 0 && !uart_.tx_busy()) refill_stream();

  // DTR dropped: a call ends.
  bool dtr = uart_.modem_lines().dsr;
  if (data_mode_ && dtr_seen_ && !dtr) {
    data_mode_ = false;
    update_lines();
    answer(result(kNoCarrier));
  }
  dtr_seen_ = dtr;

  uint8_t buffer[512];
  for (;;) {
    uint32_t errors = 0;
    size_t got = uart_.receive(buffer, sizeof buffer, &errors);
    if (got == 0) break;
    if (!powered_) continue;
    if (received_.size() < kRecordLimit) received_.append(reinterpret_cast<char*>(buffer), got);
    if (data_mode_) {
      data(buffer, got);
      continue;
    }
    pending_.insert(pending_.end(), buffer, buffer + got);
  }
  process();
}

void Handset::process() {
  while (powered_ && !busy_ && !data_mode_ && !pending_.empty()) {
    uint8_t c = pending_.front();
    pending_.pop_front();
    parse(c);
  }
}

void Handset::parse(uint8_t c) {
  touch();
  if (asleep_ || losing_line_) {
    // The line that wakes the handset is lost, up to its end.
    if (asleep_) {
      asleep_ = false;
      losing_line_ = true;
    }
    if (c == s3_) {
      losing_line_ = false;
      ++lost_lines_;
      arm_idle();
    }
    return;
  }
  if (options_.echo && !options_.quirks.silent) {
    std::string echo(1, static_cast<char>(c));
    if (options_.quirks.echo_twice) echo += echo;
    send(echo);
  }
  if (c == s3_) {
    std::string line = line_buffer_;
    line_buffer_.clear();
    // Characters before the "AT" prefix are ignored (line noise, garbage).
    size_t start = upper(line).find("AT");
    if (start == std::string::npos) return;  // not a command
    line = line.substr(start);
    busy_ = true;
    timers_.push_back(machine_.after(
        options_.latency, [this, line] { execute(line); }, "handset command"));
    return;
  }
  if (c == 8) {  // S5, backspace
    if (!line_buffer_.empty()) line_buffer_.pop_back();
    return;
  }
  if (c == s4_ || c == 0) return;
  if (line_buffer_.size() < kMaxLine) line_buffer_ += static_cast<char>(c);
}

void Handset::data(const uint8_t* bytes, size_t count) {
  // The far modem echoes data back; "+++" framed by silence escapes.
  VTime now = machine_.now();
  for (size_t i = 0; i < count; ++i) {
    uint8_t c = bytes[i];
    if (c == '+' && (plus_count_ > 0 || now - last_rx_ >= options_.guard_time)) {
      ++plus_count_;
    } else {
      plus_count_ = 0;
    }
    last_rx_ = now;
  }
  if (escape_event_) {
    machine_.cancel(escape_event_);
    escape_event_ = 0;
  }
  if (plus_count_ == 3) {
    escape_event_ = machine_.after(
        options_.guard_time,
        [this] {
          escape_event_ = 0;
          plus_count_ = 0;
          data_mode_ = false;
          answer(result(kOk));
        },
        "handset escape");
  }
  send(std::string(reinterpret_cast<const char*>(bytes), count));
}

// ------------------------------------------------------------ commands

void Handset::execute(std::string line) {
  commands_.push_back(line);
  TraceEvent event;
  event.ev = "handset";
  event.add("cmd", line);
  event.text = "handset  " + line;
  machine_.trace().emit(std::move(event));

  uint32_t new_rate = 0;
  bool connect = false;
  std::string info;
  int code = run_commands(std::string_view(line).substr(2), &info, &new_rate, &connect);
  std::string text = info + result(code);
  if (connect && code == kConnect) {
    data_mode_ = true;
    update_lines();
  }
  answer(text);
  if (code == kOk && new_rate != 0 && new_rate != options_.rate) {
    // Takes effect once the OK has left at the old rate.
    pending_rate_ = new_rate;
    update_interest();
    if (!uart_.tx_busy()) on_uart();
    return;
  }
  busy_ = false;
  process();
}

// Runs the commands after "AT"; returns the result code. Information text
// goes to *info.
int Handset::run_commands(std::string_view body, std::string* info, uint32_t* new_rate,
                          bool* connect) {
  size_t i = 0;
  auto number = [&](int fallback) {
    if (i >= body.size() || !std::isdigit(static_cast<unsigned char>(body[i]))) return fallback;
    int v = 0;
    while (i < body.size() && std::isdigit(static_cast<unsigned char>(body[i])))
      v = v * 10 + (body[i++] - '0');
    return v;
  };
  auto info_line = [&](const std::string& text) {
    *info += options_.verbose ? "\r\n" + text + "\r\n" : text + "\r\n";
  };
  while (i < body.size()) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i++])));
    if (c == ' ' || c == ';') continue;
    switch (c) {
      case 'E': {
        int v = number(0);
        if (v > 1) return kError;
        options_.echo = v == 1;
        break;
      }
      case 'V': {
        int v = number(0);
        if (v > 1) return kError;
        options_.verbose = v == 1;
        break;
      }
      case 'Q': {
        int v = number(0);
        if (v > 1) return kError;
        options_.quiet = v == 1;
        break;
      }
      case 'Z':
        number(0);
        options_.echo = true;
        options_.verbose = true;
        options_.quiet = false;
        break;
      case 'I':
        number(0);
        info_line(options_.identity);
        break;
      case 'H':
        number(0);
        if (data_mode_) data_mode_ = false;
        update_lines();
        break;
      case 'O':
        number(0);
        if (!had_call_) return kNoCarrier;
        *connect = true;
        return kConnect;
      case 'D':
        // The rest of the line is the number.
        i = body.size();
        had_call_ = true;
        *connect = true;
        return kConnect;
      case 'S': {
        int reg = number(-1);
        if (reg < 0) return kError;
        if (i < body.size() && body[i] == '?') {
          ++i;
          int value = reg == 3 ? s3_ : reg == 4 ? s4_ : 0;
          char buffer[8];
          snprintf(buffer, sizeof buffer, "%03d", value);
          info_line(buffer);
        } else if (i < body.size() && body[i] == '=') {
          ++i;
          int value = number(-1);
          if (value < 0 || value > 255) return kError;
          if (reg == 3) s3_ = static_cast<uint8_t>(value);
          if (reg == 4) s4_ = static_cast<uint8_t>(value);
        } else {
          return kError;
        }
        break;
      }
      case '&': {
        if (i >= body.size()) return kError;
        char f = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i++])));
        number(0);
        if (f != 'F') return kError;
        options_.echo = true;
        options_.verbose = true;
        options_.quiet = false;
        s3_ = '\r';
        s4_ = '\n';
        break;
      }
      case '+': {
        size_t end = body.find(';', i);
        std::string command =
            upper(body.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
        i = end == std::string_view::npos ? body.size() : end + 1;
        if (command == "IPR?") {
          info_line("+IPR: " + std::to_string(options_.rate));
        } else if (command == "IPR=?") {
          std::string list;
          for (uint32_t r : options_.rates) list += (list.empty() ? "" : ",") + std::to_string(r);
          info_line("+IPR: (),(" + list + ")");
        } else if (command.rfind("IPR=", 0) == 0) {
          std::string value = command.substr(4);
          if (value.empty() ||
              !std::all_of(value.begin(), value.end(),
                           [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }) ||
              value.size() > 9)
            return kError;
          uint32_t rate = static_cast<uint32_t>(std::stoul(value));
          if (std::find(options_.rates.begin(), options_.rates.end(), rate) == options_.rates.end())
            return kError;
          *new_rate = rate;
        } else if (command == "CGMI" || command == "GMI") {
          info_line("HS");
        } else {
          return kError;
        }
        break;
      }
      default:
        return kError;
    }
  }
  return kOk;
}

std::string Handset::result(int code) const {
  if (options_.quiet) return {};
  const HandsetQuirks& q = options_.quirks;
  std::string text;
  if (options_.verbose) {
    std::string word = result_text(code);
    if (q.lower_case)
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    text = "\r\n" + word + (q.no_final_cr ? "\n" : "\r\n");
  } else {
    text = std::to_string(code) + (q.no_final_cr ? "" : "\r");
  }
  if (!q.extra_line.empty()) text += "\r\n" + q.extra_line + "\r\n";
  return text;
}

void Handset::answer(std::string text) {
  const HandsetQuirks& q = options_.quirks;
  if (q.silent || text.empty()) return;
  if (q.garbage) {
    for (char& c : text) c = static_cast<char>(rng_() & 0xFF);
  }
  if (q.nul_first) text.insert(text.begin(), '\0');
  if (q.split_answers > 0 && text.size() > 1) {
    std::string second = text.substr(text.size() / 2);
    text.resize(text.size() / 2);
    send(text);
    timers_.push_back(machine_.after(
        q.split_answers, [this, second] { send(second); }, "handset answer"));
    return;
  }
  send(text);
}

// --------------------------------------------------------------- power

void Handset::touch() { arm_idle(); }

void Handset::arm_idle() {
  if (idle_event_) machine_.cancel(idle_event_);
  idle_event_ = 0;
  if (options_.sleep_after <= 0 || !powered_) return;
  idle_event_ = machine_.after(
      options_.sleep_after,
      [this] {
        idle_event_ = 0;
        if (busy_ || data_mode_ || uart_.tx_busy() || stream_left_ > 0) {
          arm_idle();
          return;
        }
        asleep_ = true;
      },
      "handset idle");
}

}  // namespace hs
