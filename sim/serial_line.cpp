// The serial line: each direction is a channel of segments, runs of frames
// sent back to back at one format (or a break). A frame's times follow from
// its index by exact integer arithmetic, so bytes are computed when someone
// looks (a receive, a due interrupt), never bit by bit in time.
//
// The receiving end takes bytes by arithmetic when its format equals the
// sender's (the fast path); otherwise it samples the sender's waveform at
// its own bit times from each falling edge, as a UART does, which gives
// deterministic garbage, framing and parity errors.
#include "sim/serial_line.h"

#include <vcomm.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <vector>

namespace hs {
namespace {

constexpr VTime kForever = std::numeric_limits<VTime>::max() / 4;

// A run of frames sent back to back at one format, or a break.
struct Segment {
  VTime t0 = 0;       // start of frame 0 of the run
  UartFormat format;  // the sender's
  int64_t num = 1;    // one frame lasts num / den
  int64_t den = 1;
  int64_t first = 0;  // frames already dropped from the front
  std::vector<uint8_t> bytes;
  bool brk = false;  // a break: the line is low from t0 to brk_end
  VTime brk_end = kForever;
  bool brk_taken = false;

  static Segment frames(VTime t0, const UartFormat& format) {
    Segment s;
    s.t0 = t0;
    s.format = format;
    s.num = static_cast<int64_t>(format.frame_half_bits()) * kSecond;
    s.den = 2 * static_cast<int64_t>(format.rate);
    return s;
  }
  VTime start(size_t i) const { return t0 + ((first + static_cast<int64_t>(i)) * num) / den; }
  VTime end(size_t i) const { return start(i + 1); }
  VTime end_time() const { return brk ? brk_end : start(bytes.size()); }
  // Frames whose start is at or before `now`.
  size_t started_by(VTime now) const {
    if (bytes.empty() || now < start(0)) return 0;
    int64_t d = now - t0;
    int64_t k = ((d + 1) * den + num - 1) / num;  // first index with start > now
    int64_t i = k - first;
    if (i < 0) i = 0;
    return std::min(static_cast<size_t>(i), bytes.size());
  }
  // Frames whose end is at or before `now`.
  size_t ended_by(VTime now) const {
    size_t n = started_by(now);
    while (n > 0 && end(n - 1) > now) --n;
    return n;
  }
  void drop_front(size_t n) {
    if (n == 0) return;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(n));
    first += static_cast<int64_t>(n);
    if (first >= den) {
      int64_t k = first / den;
      t0 += k * num;
      first -= k * den;
    }
  }
  // Line level at t (true: mark, the idle level).
  bool level(VTime t) const {
    if (brk) return !(t >= t0 && t < brk_end);
    if (bytes.empty() || t < start(0) || t >= end_time()) return true;
    size_t i = started_by(t) - 1;
    int64_t half = (t - start(i)) * 2 * static_cast<int64_t>(format.rate) / kSecond;
    int bit = static_cast<int>(half / 2);
    uint8_t b = bytes[i];
    if (bit == 0) return false;  // start bit
    if (bit <= format.data_bits) return (b >> (bit - 1)) & 1;
    if (format.parity != 0 && bit == format.data_bits + 1) {
      int ones = __builtin_popcount(b & ((1u << format.data_bits) - 1));
      switch (format.parity) {
        case 1:
          return (ones % 2) == 0;  // odd
        case 2:
          return (ones % 2) == 1;  // even
        case 3:
          return true;  // mark
        default:
          return false;  // space
      }
    }
    return true;  // stop bits
  }
};

// Bit time in 100 ns units, as a fraction kSecond / rate.
VTime bit_offset(const UartFormat& f, int64_t half_bits) {
  return half_bits * kSecond / (2 * static_cast<int64_t>(f.rate));
}

}  // namespace

DecodedFrame decode_frame(const std::function<bool(VTime)>& levels, VTime edge,
                          const UartFormat& receiver) {
  DecodedFrame frame;
  int data = receiver.data_bits;
  int k = 1;
  uint8_t byte = 0;
  bool all_low = true;
  for (int i = 0; i < data; ++i, ++k) {
    bool bit = levels(edge + bit_offset(receiver, 2 * k + 1));
    if (bit) {
      byte |= static_cast<uint8_t>(1u << i);
      all_low = false;
    }
  }
  if (receiver.parity != 0) {
    bool bit = levels(edge + bit_offset(receiver, 2 * k + 1));
    int ones = __builtin_popcount(byte);
    bool expected = receiver.parity == 1   ? (ones % 2) == 0
                    : receiver.parity == 2 ? (ones % 2) == 1
                                           : receiver.parity == 3;
    if (bit != expected) frame.errors |= CE_RXPARITY;
    if (bit) all_low = false;
    ++k;
  }
  bool stop = levels(edge + bit_offset(receiver, 2 * k + 1));
  if (!stop) {
    frame.errors |= CE_FRAME;
    if (all_low) frame.errors |= CE_BREAK;
  }
  frame.byte = byte;
  frame.done = edge + bit_offset(receiver, 2 * k + 1);
  return frame;
}

// ------------------------------------------------------------- the channel

// One direction of the line: what the sender put on it, and where the
// receiver stands.
class Channel {
 public:
  std::deque<Segment> segments;
  size_t pos = 0;  // next frame of segments.front() the receiver takes (fast path)
  VTime scan = 0;  // the receiver looks for its next start edge from here

  bool level(VTime t) const {
    for (const auto& s : segments) {
      if (s.brk) {
        if (t >= s.t0 && t < s.brk_end) return false;
        continue;
      }
      if (s.bytes.empty()) continue;
      if (t < s.start(0)) return true;
      if (t < s.end_time()) return s.level(t);
    }
    return true;
  }

  // The first falling edge at or after t and before `horizon`.
  std::optional<VTime> next_edge(VTime t, VTime horizon) const {
    for (const auto& s : segments) {
      if (s.end_time() <= t) continue;
      if (s.brk) {
        if (s.t0 >= t && s.t0 < horizon && level(s.t0 - 1)) return s.t0;
        continue;
      }
      size_t i = s.started_by(t);
      if (i > 0) --i;
      for (; i < s.bytes.size(); ++i) {
        VTime st = s.start(i);
        if (st >= horizon) return std::nullopt;
        int bits = 1 + s.format.data_bits + (s.format.parity ? 1 : 0);
        bool prev = true;
        for (int b = 0; b < bits; ++b) {
          VTime when = st + bit_offset(s.format, 2 * b);
          bool lvl = s.level(when);
          if (prev && !lvl && when >= t) {
            if (b == 0 && !level(when - 1)) {
              prev = lvl;
              continue;
            }
            if (when >= horizon) return std::nullopt;
            return when;
          }
          prev = lvl;
        }
      }
    }
    return std::nullopt;
  }

  VTime busy_until() const {
    VTime end = 0;
    for (const auto& s : segments) end = std::max(end, s.end_time());
    return end;
  }

  // Drops segments the receiver has fully passed.
  void trim() {
    while (segments.size() > 1) {
      Segment& s = segments.front();
      bool passed = s.brk ? (s.brk_end <= scan && s.brk_taken) : pos >= s.bytes.size();
      if (!passed) break;
      segments.pop_front();
      pos = 0;
    }
    if (!segments.empty() && !segments.front().brk && pos > 4096) {
      segments.front().drop_front(pos);
      pos = 0;
    }
  }
};

// ------------------------------------------------------------ one end

class LineUart : public Uart {
 public:
  LineUart(SerialLine& line, bool is_pc, int fifo_trigger)
      : line_(line), machine_(line.machine_), is_pc_(is_pc), fifo_trigger_(fifo_trigger) {}
  ~LineUart() override { cancel_due(); }

  void connect(LineUart* peer, Channel* out, Channel* in) {
    peer_ = peer;
    out_ = out;
    in_ = in;
  }

  // ---- Uart
  void attach(UartClient* client) override {
    client_ = client;
    if (client_ == nullptr) {
      interest_ = UartInterest{};
      cancel_due();
    }
  }
  bool supports(const UartFormat& f) const override {
    return f.rate >= line_.options_.min_rate && f.rate <= line_.options_.max_rate &&
           f.data_bits >= 5 && f.data_bits <= 8 && f.parity <= 4 && f.stop_bits <= 2 &&
           !(f.stop_bits == 1 && f.data_bits != 5) && !(f.stop_bits == 2 && f.data_bits == 5);
  }
  bool set_format(const UartFormat& f) override {
    if (!supports(f)) return false;
    if (f == format_) return true;
    // What arrived so far was received at the old format; a frame under
    // way is cut off.
    VTime now = machine_.now();
    uint8_t buffer[256];
    for (;;) {
      uint32_t errors = 0;
      size_t got = take(now, buffer, sizeof buffer, &errors);
      if (got == 0) break;
      for (size_t i = 0; i < got; ++i) fifo_.push_back({buffer[i], i + 1 == got ? errors : 0});
    }
    in_->scan = std::max(in_->scan, now);
    std::vector<uint8_t> unsent = retract();
    format_ = f;
    push(unsent.data(), unsent.size(), false);
    changed();
    peer_->changed();
    return true;
  }
  UartFormat format() const override { return format_; }
  uint32_t max_rate() const override { return line_.options_.max_rate; }

  void set_control(const UartControl& c) override {
    UartControl old = control_;
    control_ = c;
    if (c.brk != old.brk) set_break(c.brk);
    if (c.dtr != old.dtr || c.rts != old.rts) peer_->lines_changed();
  }
  UartControl control() const override { return control_; }
  ModemLines modem_lines() const override {
    if (is_pc_) return line_.far_lines_;
    ModemLines lines;
    lines.cts = peer_->control_.rts;
    lines.dsr = peer_->control_.dtr;
    return lines;
  }

  void transmit(const uint8_t* bytes, size_t count) override {
    if (count == 0) return;
    sent_ += count;
    trace_tx(bytes, count);
    if (held()) {
      held_.insert(held_.end(), bytes, bytes + count);
    } else {
      push(bytes, count, true);
    }
    changed();
    peer_->changed();
  }
  void transmit_first(uint8_t byte) override {
    sent_ += 1;
    trace_tx(&byte, 1);
    std::vector<uint8_t> unsent = retract();
    unsent.insert(unsent.begin(), byte);
    if (held()) {
      held_.insert(held_.begin(), unsent.begin(), unsent.end());
    } else {
      push(unsent.data(), unsent.size(), false);
    }
    changed();
    peer_->changed();
  }
  size_t tx_pending() const override {
    VTime now = machine_.now();
    size_t n = held_.size();
    for (const auto& s : out_->segments)
      if (!s.brk) n += s.bytes.size() - s.started_by(now);
    return n;
  }
  bool tx_busy() const override { return !held_.empty() || out_->busy_until() > machine_.now(); }
  size_t purge_tx() override {
    size_t n = retract().size();
    changed();
    peer_->changed();
    return n;
  }
  void hold_tx(bool on) override {
    if (on == xoff_) return;
    xoff_ = on;
    resync_hold();
  }

  size_t receive(uint8_t* out, size_t max, uint32_t* errors) override {
    *errors = 0;
    if (!fifo_.empty()) {
      size_t got = 0;
      while (got < max && !fifo_.empty()) {
        auto [byte, byte_errors] = fifo_.front();
        fifo_.pop_front();
        out[got++] = byte;
        if (byte_errors) {
          *errors = byte_errors;
          break;
        }
      }
      changed();
      return got;
    }
    size_t got = take(machine_.now(), out, max, errors);
    if (got > 0) last_take_ = machine_.now();
    changed();
    return got;
  }
  size_t rx_pending() override {
    // Counts without taking: decode into a scratch copy of the channel.
    Channel copy = *in_;
    size_t n = fifo_.size();
    uint8_t scratch[512];
    for (;;) {
      uint32_t errors = 0;
      size_t got = take_from(copy, machine_.now(), scratch, sizeof scratch, &errors);
      if (got == 0) break;
      n += got;
    }
    return n;
  }
  void purge_rx() override {
    fifo_.clear();
    uint8_t scratch[512];
    uint32_t errors = 0;
    while (take(machine_.now(), scratch, sizeof scratch, &errors) > 0) {
    }
    changed();
  }
  void set_interest(const UartInterest& interest) override {
    interest_ = interest;
    changed();
  }

  // ---- the line's side
  // Something about this end's reception or transmission changed: work out
  // when the next interrupt is due.
  void changed() {
    if (client_ == nullptr) return;
    std::optional<VTime> due = next_due();
    if (due == due_time_ && due_event_ != 0) return;
    cancel_due();
    if (!due) return;
    due_time_ = due;
    due_event_ = machine_.at(
        std::max(*due, machine_.now()),
        [this] {
          due_event_ = 0;
          due_time_.reset();
          fire();
        },
        is_pc_ ? "uart interrupt" : "far end receive");
  }
  void lines_changed() {
    if (client_ == nullptr || !interest_.modem) return;
    if (is_pc_) {
      post();
    } else {
      machine_.after(
          0, [this] { fire(); }, "far end modem lines");
    }
  }
  uint64_t sent() const { return sent_; }

 private:
  bool held() const { return xoff_ || control_.brk; }

  void fire() {
    if (client_ == nullptr) return;
    if (is_pc_) {
      post();
    } else {
      client_->uart_interrupt();
      changed();
    }
  }
  void post() {
    machine_.post_interrupt(
        [this] {
          if (client_ != nullptr) client_->uart_interrupt();
        },
        "uart");
  }
  void cancel_due() {
    if (due_event_ != 0) machine_.cancel(due_event_);
    due_event_ = 0;
    due_time_.reset();
  }

  // Puts bytes on the wire after what is there.
  void push(const uint8_t* bytes, size_t count, bool /*fresh*/) {
    if (count == 0) return;
    VTime now = machine_.now();
    VTime start = std::max(now, out_->busy_until());
    Segment* last = out_->segments.empty() ? nullptr : &out_->segments.back();
    if (last == nullptr || last->brk || !(last->format == format_) || last->end_time() != start ||
        last->bytes.empty()) {
      out_->segments.push_back(Segment::frames(start, format_));
      last = &out_->segments.back();
    }
    last->bytes.insert(last->bytes.end(), bytes, bytes + count);
  }
  // Takes back every byte not yet started, in order.
  std::vector<uint8_t> retract() {
    VTime now = machine_.now();
    std::vector<uint8_t> unsent;
    for (auto& s : out_->segments) {
      if (s.brk) continue;
      size_t started = s.started_by(now);
      unsent.insert(unsent.end(), s.bytes.begin() + static_cast<long>(started), s.bytes.end());
      s.bytes.resize(started);
    }
    // Segments that became empty and lie ahead of the receiver go away.
    while (out_->segments.size() > 1 && !out_->segments.back().brk &&
           out_->segments.back().bytes.empty())
      out_->segments.pop_back();
    unsent.insert(unsent.end(), held_.begin(), held_.end());
    held_.clear();
    return unsent;
  }
  void resync_hold() {
    if (held()) {
      std::vector<uint8_t> unsent = retract();
      held_.assign(unsent.begin(), unsent.end());
    } else if (!held_.empty()) {
      std::vector<uint8_t> bytes(held_.begin(), held_.end());
      held_.clear();
      push(bytes.data(), bytes.size(), false);
    }
    changed();
    peer_->changed();
  }
  void set_break(bool on) {
    VTime now = machine_.now();
    if (on) {
      std::vector<uint8_t> unsent = retract();
      held_.assign(unsent.begin(), unsent.end());
      Segment s;
      s.brk = true;
      s.t0 = std::max(now, out_->busy_until());
      s.format = format_;
      out_->segments.push_back(s);
    } else {
      for (auto& s : out_->segments)
        if (s.brk && s.brk_end == kForever) s.brk_end = std::max(now, s.t0 + 1);
      if (!xoff_ && !held_.empty()) {
        std::vector<uint8_t> bytes(held_.begin(), held_.end());
        held_.clear();
        push(bytes.data(), bytes.size(), false);
      }
    }
    if (line_.options_.trace && line_.trace_on_) {
      TraceEvent event;
      event.ev = "line";
      event.add("dir", std::string(is_pc_ ? "tx" : "rx"));
      event.add("break", int64_t{on ? 1 : 0});
      event.add("hex", std::string());
      event.add("rate", static_cast<int64_t>(format_.rate));
      event.text =
          std::string(is_pc_ ? "PC -> far " : "far -> PC ") + (on ? "break on" : "break off");
      machine_.trace().emit(std::move(event));
    }
    changed();
    peer_->changed();
  }

  void trace_tx(const uint8_t* bytes, size_t count) {
    if (!line_.options_.trace || !line_.trace_on_) return;
    TraceEvent event;
    event.ev = "line";
    event.add("dir", std::string(is_pc_ ? "tx" : "rx"));
    event.add("hex", hex_bytes(bytes, count));
    event.add("rate", static_cast<int64_t>(format_.rate));
    event.add("format", format_.describe());
    VTime start = std::max(machine_.now(), out_->busy_until());
    if (start != machine_.now()) event.add("start", start);
    std::string text;
    for (size_t i = 0; i < count && i < 64; ++i) {
      char c = static_cast<char>(bytes[i]);
      if (c == '\r')
        text += "\\r";
      else if (c == '\n')
        text += "\\n";
      else if (c >= 32 && c < 127)
        text += c;
      else {
        char buffer[8];
        snprintf(buffer, sizeof buffer, "\\x%02X", bytes[i]);
        text += buffer;
      }
    }
    if (count > 64) text += "...";
    event.text = std::string(is_pc_ ? "PC -> far " : "far -> PC ") + format_.describe() + "  \"" +
                 text + "\"  (" + std::to_string(count) + " bytes)";
    machine_.trace().emit(std::move(event));
  }

  // ---- reception
  size_t take(VTime now, uint8_t* out, size_t max, uint32_t* errors) {
    size_t got = take_from(*in_, now, out, max, errors);
    in_->trim();
    return got;
  }

  // Takes arrived frames from a channel: a run of clean bytes, stopping
  // after the first byte with errors.
  size_t take_from(Channel& ch, VTime now, uint8_t* out, size_t max, uint32_t* errors) const {
    size_t got = 0;
    *errors = 0;
    while (got < max && !ch.segments.empty()) {
      Segment& s = ch.segments.front();
      if (s.brk) {
        if (!s.brk_taken && ch.scan <= s.t0) {
          VTime when = s.t0 + format_.frame_time();
          if (when > now || (s.brk_end < when)) {
            if (s.brk_end < when && s.brk_end <= now) {
              // Too short for a break: a framing error.
              s.brk_taken = true;
              ch.scan = s.brk_end;
              out[got++] = 0;
              *errors = CE_FRAME;
              return got;
            }
            return got;
          }
          s.brk_taken = true;
          ch.scan = std::max(ch.scan, s.brk_end == kForever ? when : s.brk_end);
          out[got++] = 0;
          *errors = CE_BREAK | CE_FRAME;
          return got;
        }
        if (s.brk_end > now) return got;  // still low
        ch.scan = std::max(ch.scan, s.brk_end);
        if (ch.segments.size() == 1) return got;
        ch.segments.pop_front();
        ch.pos = 0;
        continue;
      }
      bool fast = s.format == format_ && ch.pos < s.bytes.size() && ch.scan <= s.start(ch.pos);
      if (fast) {
        size_t arrived = s.ended_by(now);
        if (arrived <= ch.pos) return got;
        size_t n = std::min(arrived - ch.pos, max - got);
        std::memcpy(out + got, s.bytes.data() + ch.pos, n);
        got += n;
        ch.pos += n;
        ch.scan = s.end(ch.pos - 1);
        continue;
      }
      if (ch.pos >= s.bytes.size() && ch.scan >= s.end_time()) {
        if (ch.segments.size() == 1) return got;
        ch.segments.pop_front();
        ch.pos = 0;
        continue;
      }
      // Sample the waveform.
      std::optional<VTime> edge = ch.next_edge(ch.scan, now);
      if (!edge) return got;
      DecodedFrame frame = decode_frame([&ch](VTime t) { return ch.level(t); }, *edge, format_);
      if (frame.done > now) return got;
      ch.scan = frame.done;
      // Frames the receiver has passed are done with.
      while (ch.pos < s.bytes.size() && s.start(ch.pos) < ch.scan) ++ch.pos;
      out[got++] = frame.byte;
      if (frame.errors) {
        *errors = frame.errors;
        return got;
      }
    }
    return got;
  }

  // When the next interrupt is due for the current interest.
  std::optional<VTime> next_due() const {
    std::optional<VTime> due;
    auto consider = [&due](VTime t) {
      if (!due || t < *due) due = t;
    };
    VTime now = machine_.now();
    const UartInterest& in = interest_;
    if (in.tx_empty && tx_busy() && held_.empty()) consider(out_->busy_until());
    bool rx = in.rx_data || in.rx_char >= 0 || in.rx_errors || in.rx_count > 0;
    if (!rx) return due;
    if (!fifo_.empty()) {
      consider(now);
      return due;
    }
    VTime timeout = format_.frame_time() * line_.options_.rx_timeout_chars;
    const Channel& ch = *in_;
    // Walk the frames to come in order, as far as the interest needs.
    size_t seen = 0;
    VTime last_arrival = -1;
    size_t pos = ch.pos;
    VTime scan = ch.scan;
    bool fifo_done = !in.rx_data;
    for (const auto& s : ch.segments) {
      if (s.brk) {
        // As the receiver takes it: a break that began while it was still
        // inside a frame is not reported, only waited out.
        if (!s.brk_taken && scan <= s.t0) {
          VTime when = std::max(s.t0 + format_.frame_time(), scan);
          if (s.brk_end < s.t0 + format_.frame_time()) when = s.brk_end;
          if (in.rx_errors || in.rx_data) consider(when);
          if (!fifo_done && last_arrival >= 0) consider(last_arrival + timeout);
          return due;
        }
        if (s.brk_end == kForever) return due;  // still low: nothing arrives
        scan = std::max(scan, s.brk_end);
        pos = 0;
        continue;
      }
      bool fast = s.format == format_ && pos < s.bytes.size() && scan <= s.start(pos);
      if (!fast) {
        if (pos >= s.bytes.size() && scan >= s.end_time()) {
          pos = 0;
          continue;
        }
        // Another format: every frame may bring anything; be due when the
        // next one can be complete.
        std::optional<VTime> edge = ch.next_edge(scan, kForever);
        if (edge) consider(*edge + format_.frame_time());
        if (!fifo_done && last_arrival >= 0) consider(last_arrival + timeout);
        return due;
      }
      size_t count = s.bytes.size() - pos;
      if (in.rx_char >= 0) {
        const void* hit = std::memchr(s.bytes.data() + pos, in.rx_char, count);
        if (hit) {
          size_t i = static_cast<const uint8_t*>(hit) - s.bytes.data();
          consider(s.end(i));
        }
      }
      if (in.rx_count > 0 && seen < in.rx_count && seen + count >= in.rx_count)
        consider(s.end(pos + (in.rx_count - seen) - 1));
      if (!fifo_done) {
        for (size_t i = pos; i < s.bytes.size(); ++i) {
          VTime arrival = s.end(i);
          if (last_arrival >= 0 && arrival > last_arrival + timeout) {
            consider(last_arrival + timeout);
            fifo_done = true;
            break;
          }
          last_arrival = arrival;
          if (seen + (i - pos) + 1 >= static_cast<size_t>(fifo_trigger_)) {
            consider(arrival);
            fifo_done = true;
            break;
          }
        }
      }
      seen += count;
      pos = 0;
      scan = s.end_time();
      if (fifo_done && in.rx_char < 0 && (in.rx_count == 0 || seen >= in.rx_count)) break;
    }
    if (!fifo_done && last_arrival >= 0) consider(last_arrival + timeout);
    return due;
  }

  SerialLine& line_;
  Machine& machine_;
  bool is_pc_;
  int fifo_trigger_;
  LineUart* peer_ = nullptr;
  Channel* out_ = nullptr;
  Channel* in_ = nullptr;
  UartClient* client_ = nullptr;
  UartFormat format_;
  UartControl control_;
  UartInterest interest_;
  std::deque<std::pair<uint8_t, uint32_t>> fifo_;  // received at a format since left
  std::deque<uint8_t> held_;  // bytes waiting while XOFF or break holds the transmitter
  bool xoff_ = false;
  Machine::EventId due_event_ = 0;
  std::optional<VTime> due_time_;
  VTime last_take_ = 0;
  uint64_t sent_ = 0;
};

// ------------------------------------------------------------- the line

struct SerialLineChannels {
  Channel to_far;
  Channel to_pc;
};

SerialLine::SerialLine(Machine& machine, SerialLineOptions options)
    : machine_(machine), options_(options) {
  channels_ = std::make_unique<SerialLineChannels>();
  pc_ = std::make_unique<LineUart>(*this, true, options_.pc_fifo_trigger);
  far_ = std::make_unique<LineUart>(*this, false, options_.far_fifo_trigger);
  pc_->connect(far_.get(), &channels_->to_far, &channels_->to_pc);
  far_->connect(pc_.get(), &channels_->to_pc, &channels_->to_far);
}

SerialLine::~SerialLine() = default;

Uart& SerialLine::pc() { return *pc_; }
Uart& SerialLine::far() { return *far_; }

void SerialLine::set_far_lines(const ModemLines& lines) {
  if (lines == far_lines_) return;
  far_lines_ = lines;
  pc_->lines_changed();
}

ModemLines SerialLine::far_lines() const { return far_lines_; }
void SerialLine::set_trace(bool on) { trace_on_ = on; }
uint64_t SerialLine::bytes_sent_by_pc() const { return pc_->sent(); }
uint64_t SerialLine::bytes_sent_by_far() const { return far_->sent(); }

}  // namespace hs
