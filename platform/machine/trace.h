// The trace: every request as it enters and leaves a device, every port
// call, every byte on the line, breakpoints and pool use. Events are
// records of ordered fields; sinks render them as text lines in the style of
// the classic serial port monitors, or as JSON lines.
//
// JSON field names are a contract for tools: t (virtual time, 100 ns), ev,
// and per kind: "line" dir/hex/rate; "irp" dev/phase/major/minor/ioctl/
// status/info; "vcomm" svc/ret; "break" dev; "request" name/status/info/hex.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "machine/vtime.h"

namespace hs {

struct TraceField {
  std::string key;
  std::variant<int64_t, std::string> value;
};

struct TraceEvent {
  uint64_t seq = 0;
  VTime t = 0;
  std::string ev;  // "irp", "vcomm", "line", "break", "request", "pool", "note", ...
  std::vector<TraceField> fields;
  std::string text;  // the human rendering, after the sequence number and time

  TraceEvent& add(std::string key, int64_t value);
  TraceEvent& add(std::string key, std::string value);
  const TraceField* find(std::string_view key) const;
  std::string str(std::string_view key) const;  // "" when absent
  int64_t num(std::string_view key, int64_t fallback = 0) const;
};

using TraceSink = std::function<void(const TraceEvent&)>;

class Trace {
 public:
  // Stamps seq and t and hands the event to every sink; keeps it when
  // recording is on.
  void emit(TraceEvent event);
  int add_sink(TraceSink sink);
  void remove_sink(int id);
  void set_recording(bool on) { recording_ = on; }
  // Whether an event would go anywhere (recorded or a sink): emitters may
  // skip building one when not.
  bool active() const { return recording_ || !sinks_.empty(); }
  const std::vector<TraceEvent>& events() const { return events_; }
  void clear() { events_.clear(); }
  void set_clock(std::function<VTime()> clock) { clock_ = std::move(clock); }

 private:
  std::function<VTime()> clock_;
  std::vector<std::pair<int, TraceSink>> sinks_;
  std::vector<TraceEvent> events_;
  uint64_t next_seq_ = 1;
  int next_sink_ = 1;
  bool recording_ = true;
};

// Renderers.
std::string trace_text_line(const TraceEvent& event);       // "000012  0.012345s  text"
std::string trace_json_line(const TraceEvent& event);       // {"seq":..,"t":..,"ev":..,...}
std::string hex_bytes(const uint8_t* data, size_t length);  // "41 54 0D"

}  // namespace hs
