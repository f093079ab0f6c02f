#include "machine/trace.h"

#include <cstdio>

namespace hs {

TraceEvent& TraceEvent::add(std::string key, int64_t value) {
  fields.push_back(TraceField{std::move(key), value});
  return *this;
}

TraceEvent& TraceEvent::add(std::string key, std::string value) {
  fields.push_back(TraceField{std::move(key), std::move(value)});
  return *this;
}

const TraceField* TraceEvent::find(std::string_view key) const {
  for (const auto& field : fields)
    if (field.key == key) return &field;
  return nullptr;
}

std::string TraceEvent::str(std::string_view key) const {
  const TraceField* field = find(key);
  if (field == nullptr) return {};
  if (auto* text = std::get_if<std::string>(&field->value)) return *text;
  return std::to_string(std::get<int64_t>(field->value));
}

int64_t TraceEvent::num(std::string_view key, int64_t fallback) const {
  const TraceField* field = find(key);
  if (field == nullptr) return fallback;
  if (auto* number = std::get_if<int64_t>(&field->value)) return *number;
  return fallback;
}

void Trace::emit(TraceEvent event) {
  event.seq = next_seq_++;
  event.t = clock_ ? clock_() : 0;
  for (auto& [id, sink] : sinks_) sink(event);
  if (recording_) events_.push_back(std::move(event));
}

int Trace::add_sink(TraceSink sink) {
  int id = next_sink_++;
  sinks_.emplace_back(id, std::move(sink));
  return id;
}

void Trace::remove_sink(int id) {
  std::erase_if(sinks_, [id](const auto& entry) { return entry.first == id; });
}

std::string trace_text_line(const TraceEvent& event) {
  char prefix[64];
  snprintf(prefix, sizeof prefix, "%06llu  %s  ", static_cast<unsigned long long>(event.seq),
           format_vtime(event.t).c_str());
  return prefix + event.text;
}

namespace {
void append_json_string(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}
}  // namespace

std::string trace_json_line(const TraceEvent& event) {
  std::string out =
      "{\"seq\":" + std::to_string(event.seq) + ",\"t\":" + std::to_string(event.t) + ",\"ev\":";
  append_json_string(out, event.ev);
  for (const auto& field : event.fields) {
    out += ',';
    append_json_string(out, field.key);
    out += ':';
    if (auto* number = std::get_if<int64_t>(&field.value)) {
      out += std::to_string(*number);
    } else {
      append_json_string(out, std::get<std::string>(field.value));
    }
  }
  out += '}';
  return out;
}

std::string hex_bytes(const uint8_t* data, size_t length) {
  std::string out;
  out.reserve(length * 3);
  static const char digits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < length; ++i) {
    if (i) out += ' ';
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

}  // namespace hs
