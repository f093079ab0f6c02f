#include "tools/hsbridge/trace_render.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "tools/hsbridge/codes.h"

namespace hs::tool {
namespace {

uint32_t le32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

uint8_t byte_at(const std::string& bytes, size_t offset) {
  return offset < bytes.size() ? static_cast<uint8_t>(bytes[offset]) : 0;
}

std::string strip(std::string text, std::string_view prefix) {
  if (std::string_view(text).substr(0, prefix.size()) == prefix) text.erase(0, prefix.size());
  return text;
}

std::string hex8(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

std::string hex2(uint32_t value) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "0x%02X", value & 0xFF);
  return buffer;
}

std::string parity_name(uint8_t parity) {
  static const char* const kNames[] = {"NONE", "ODD", "EVEN", "MARK", "SPACE"};
  return parity < 5 ? kNames[parity] : std::to_string(parity);
}

std::string stop_bits_name(uint8_t stop) {
  static const char* const kNames[] = {"1", "1.5", "2"};
  return stop < 3 ? kNames[stop] : std::to_string(stop);
}

// The request's name as the monitors show it: major, then the minor or the
// control code.
}  // namespace

std::string request_words(const TraceEvent& event) {
  std::string major = strip(event.str("major"), "IRP_MJ_");
  if (major.empty() && event.find("major_code"))
    major = major_name(static_cast<int>(event.num("major_code")));
  std::string words = major;
  const std::string ioctl = strip(event.str("ioctl"), "IOCTL_SERIAL_");
  if (!ioctl.empty()) {
    words += " " + ioctl;
  } else if (const TraceField* minor = event.find("minor")) {
    if (auto* name = std::get_if<std::string>(&minor->value)) {
      words += " " + strip(*name, "IRP_MN_");
    } else if (major == "PNP") {
      words += " " + pnp_minor_name(static_cast<int>(std::get<int64_t>(minor->value)));
    } else if (major == "POWER") {
      words += " " + power_minor_name(static_cast<int>(std::get<int64_t>(minor->value)));
    }
  }
  const std::string state = event.str("state");
  if (!state.empty()) words += " " + state;
  return words;
}

namespace {

// The first present field among the keys that carry data bytes.
std::string data_bytes(const TraceEvent& event, std::initializer_list<std::string_view> keys) {
  for (auto key : keys)
    if (event.find(key)) return bytes_of_hex(event.str(key));
  return {};
}

bool has_any(const TraceEvent& event, std::initializer_list<std::string_view> keys) {
  for (auto key : keys)
    if (event.find(key)) return true;
  return false;
}

std::string status_words(const TraceEvent& event) {
  const TraceField* field = event.find("status");
  if (!field) return {};
  if (auto* number = std::get_if<int64_t>(&field->value))
    return status_name(static_cast<uint32_t>(*number));
  const std::string& text = std::get<std::string>(field->value);
  unsigned value = 0;
  if (std::sscanf(text.c_str(), "0x%x", &value) == 1) return status_name(value);
  return strip(text, "STATUS_");
}

// The kernel renders each request's parameters into the event's text
// ("portbridge  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200");
// the device already has its own column, so it is dropped from the text.
std::string irp_text(const TraceEvent& event) {
  const bool in = event.str("phase") != "out";
  std::string text = in ? "> " : "< ";
  const std::string dev = event.str("dev");
  if (!event.text.empty() && !has_any(event, {"in"})) {
    std::string_view body = event.text;
    if (body.substr(0, dev.size()) == dev) body.remove_prefix(dev.size());
    while (!body.empty() && body.front() == ' ') body.remove_prefix(1);
    return text + std::string(body);
  }
  text += request_words(event);
  const std::string ioctl = strip(event.str("ioctl"), "IOCTL_SERIAL_");
  const std::string major = strip(event.str("major"), "IRP_MJ_");
  std::string details;
  if (in) {
    if (has_any(event, {"in", "hex"})) {
      const std::string bytes = data_bytes(event, {"in", "hex"});
      details = ioctl.empty() ? describe_bytes(bytes) : describe_ioctl_data(ioctl, bytes);
    } else if (event.find("len")) {
      details = "Length " + event.str("len");
    }
  } else {
    text += "  " + status_words(event);
    if (event.find("info")) text += "  Info " + event.str("info");
    if (has_any(event, {"out", "hex"})) {
      const std::string bytes = data_bytes(event, {"out", "hex"});
      details = ioctl.empty() ? describe_bytes(bytes) : describe_ioctl_data(ioctl, bytes);
    }
  }
  if (!details.empty()) text += "  " + details;
  return text;
}

std::string device_column(const TraceEvent& event) {
  if (event.ev == "irp" || event.ev == "break") return event.str("dev");
  if (event.ev == "vcomm") return "vcomm";
  if (event.ev == "line") return "line";
  if (event.ev == "request") return "client";
  if (event.find("dev")) return event.str("dev");
  return event.ev;
}

std::string body_text(const TraceEvent& event) {
  if (event.ev == "irp") return irp_text(event);
  if (event.ev == "line") {
    const std::string bytes = bytes_of_hex(event.str("hex"));
    const std::string dir = event.str("dir");
    std::string text = dir == "tx" ? "PC -> handset" : dir == "rx" ? "handset -> PC" : dir;
    if (event.find("rate")) text += " @" + event.str("rate");
    text += "  " + describe_bytes(bytes) + "  \"" + escape_bytes(bytes) + "\"";
    if (event.find("error")) text += "  " + event.str("error");
    return text;
  }
  if (event.ev == "request") {
    std::string text = "done " + event.str("name") + "  " + status_words(event);
    if (event.find("info")) text += "  Info " + event.str("info");
    if (event.find("hex") && !event.str("hex").empty())
      text += "  " + describe_bytes(bytes_of_hex(event.str("hex")));
    return text;
  }
  if (event.ev == "pool" && event.find("op")) {
    // Rendered from the fields alone: the block's host address differs
    // from run to run and would make equal runs look different.
    std::string text = event.str("op") + " '" + event.str("tag") + "'";
    if (event.find("size")) text += " " + event.str("size") + " bytes";
    if (event.find("drv")) text += " by " + event.str("drv");
    return text;
  }
  if (event.ev == "break") return "DbgBreakPoint" + (event.text.empty() ? "" : "  " + event.text);
  if (!event.text.empty()) return event.text;
  if (event.ev == "vcomm") return event.str("svc") + " = " + event.str("ret");
  std::string text;
  for (const auto& field : event.fields)
    text += (text.empty() ? "" : " ") + field.key + "=" + event.str(field.key);
  return text;
}

}  // namespace

std::string irp_details(const TraceEvent& event) {
  const std::string ioctl = event.str("ioctl");
  if (event.find("in")) return describe_ioctl_data(ioctl, bytes_of_hex(event.str("in")));
  std::string key = ioctl;
  for (const char* field : {"state", "minor", "major"})
    if (key.empty()) key = event.str(field);
  const size_t at = key.empty() ? std::string::npos : event.text.find(key);
  if (at == std::string::npos) return {};
  std::string_view rest = std::string_view(event.text).substr(at + key.size());
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.substr(0, 2) == "->") return {};
  return std::string(rest);
}

std::string bytes_of_hex(std::string_view hex) {
  std::string bytes;
  int high = -1;
  for (char c : hex) {
    int v = -1;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<char>(high * 16 + v));
      high = -1;
    }
  }
  return bytes;
}

std::string describe_bytes(const std::string& bytes) {
  std::string text = "Length " + std::to_string(bytes.size());
  if (bytes.empty()) return text;
  constexpr size_t kShown = 64;
  text += ": " +
          hex_bytes(reinterpret_cast<const uint8_t*>(bytes.data()), std::min(bytes.size(), kShown));
  if (bytes.size() > kShown) text += " ...";
  return text;
}

std::string escape_bytes(std::string_view bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    switch (c) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\0':
        text += "\\0";
        break;
      case '\\':
        text += "\\\\";
        break;
      case '"':
        text += "\\\"";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
          text += buffer;
        } else {
          text += static_cast<char>(c);
        }
    }
  }
  return text;
}

std::string describe_ioctl_data(std::string_view ioctl, const std::string& bytes) {
  const std::string name = strip(std::string(ioctl), "IOCTL_SERIAL_");
  auto need = [&](size_t size) { return bytes.size() >= size; };
  if ((name == "SET_BAUD_RATE" || name == "GET_BAUD_RATE") && need(4))
    return "Rate: " + std::to_string(le32(bytes, 0));
  if ((name == "SET_WAIT_MASK" || name == "GET_WAIT_MASK") && need(4))
    return "Mask: " + wait_mask_words(le32(bytes, 0));
  if (name == "WAIT_ON_MASK" && need(4)) return "Events: " + wait_mask_words(le32(bytes, 0));
  if (name == "PURGE" && need(4)) return "Purge: " + purge_mask_words(le32(bytes, 0));
  if ((name == "SET_TIMEOUTS" || name == "GET_TIMEOUTS") && need(20))
    return "RI:" + std::to_string(le32(bytes, 0)) + " RM:" + std::to_string(le32(bytes, 4)) +
           " RC:" + std::to_string(le32(bytes, 8)) + " WM:" + std::to_string(le32(bytes, 12)) +
           " WC:" + std::to_string(le32(bytes, 16));
  if ((name == "SET_LINE_CONTROL" || name == "GET_LINE_CONTROL") && need(3))
    return "StopBits: " + stop_bits_name(byte_at(bytes, 0)) +
           " Parity: " + parity_name(byte_at(bytes, 1)) +
           " WordLength: " + std::to_string(byte_at(bytes, 2));
  if (name == "SET_QUEUE_SIZE" && need(8))
    return "InSize: " + std::to_string(le32(bytes, 0)) +
           " OutSize: " + std::to_string(le32(bytes, 4));
  if ((name == "SET_HANDFLOW" || name == "GET_HANDFLOW") && need(16))
    return "Shake:" + hex8(le32(bytes, 0)) + " Replace:" + hex8(le32(bytes, 4)) +
           " XonLimit:" + std::to_string(static_cast<int32_t>(le32(bytes, 8))) +
           " XoffLimit:" + std::to_string(static_cast<int32_t>(le32(bytes, 12)));
  if ((name == "SET_CHARS" || name == "GET_CHARS") && need(6))
    return "EOF:" + hex2(byte_at(bytes, 0)) + " ERR:" + hex2(byte_at(bytes, 1)) +
           " BRK:" + hex2(byte_at(bytes, 2)) + " EVT:" + hex2(byte_at(bytes, 3)) +
           " XON:" + hex2(byte_at(bytes, 4)) + " XOFF:" + hex2(byte_at(bytes, 5));
  if (name == "IMMEDIATE_CHAR" && need(1)) return "Char: " + hex2(byte_at(bytes, 0));
  if (name == "GET_MODEMSTATUS" && need(4)) return "ModemStatus: " + hex8(le32(bytes, 0));
  if (name == "GET_DTRRTS" && need(4)) return "DtrRts: " + hex8(le32(bytes, 0));
  if (name == "GET_COMMSTATUS" && need(16))
    return "Errors:" + hex8(le32(bytes, 0)) + " Hold:" + hex8(le32(bytes, 4)) +
           " InQueue:" + std::to_string(le32(bytes, 8)) +
           " OutQueue:" + std::to_string(le32(bytes, 12));
  return bytes.empty() ? std::string() : describe_bytes(bytes);
}

std::string render_text(const TraceEvent& event) {
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%06llu  %s  %-10s  ",
                static_cast<unsigned long long>(event.seq), format_vtime(event.t).c_str(),
                device_column(event).c_str());
  // Emitters often start their text with the name that has its own column.
  std::string body = body_text(event);
  const std::string column = device_column(event) + "  ";
  if (body.compare(0, column.size(), column) == 0) body.erase(0, column.size());
  return prefix + body;
}

std::string render_json(const TraceEvent& event) {
  nlohmann::ordered_json object;
  object["seq"] = event.seq;
  object["t"] = event.t;
  object["ev"] = event.ev;
  for (const auto& field : event.fields) {
    if (field.key == "seq" || field.key == "t" || field.key == "ev") continue;
    if (auto* number = std::get_if<int64_t>(&field.value))
      object[field.key] = *number;
    else
      object[field.key] = std::get<std::string>(field.value);
  }
  // Invalid UTF-8 in a text field is replaced, never a reason to fail.
  return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void TraceWriter::operator()(const TraceEvent& event) {
  switch (format_) {
    case TraceFormat::Text:
      out_ << render_text(event) << '\n';
      break;
    case TraceFormat::Jsonl:
      out_ << render_json(event) << '\n';
      break;
    case TraceFormat::None:
      break;
  }
}

}  // namespace hs::tool
