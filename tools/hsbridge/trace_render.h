// Renders the machine's trace events for people (one line per event in the
// style of the classic serial port monitors) and for tools (JSON lines).
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "machine/trace.h"

namespace hs::tool {

enum class TraceFormat { Text, Jsonl, None };

// "000012  0.012345s  portbridge  > DEVICE_CONTROL SET_BAUD_RATE  Rate: 115200"
std::string render_text(const TraceEvent& event);
// {"seq":12,"t":123450,"ev":"irp","dev":"portbridge",...}
std::string render_json(const TraceEvent& event);

// The parameters of a serial request in words, from its input or output
// bytes: "Rate: 115200", "Mask: RXCHAR", "Length 3: 41 54 0D".
std::string describe_ioctl_data(std::string_view ioctl, const std::string& bytes);
// "Length 3: 41 54 0D"
std::string describe_bytes(const std::string& bytes);
// A request's name from an "irp" event: "DEVICE_CONTROL SET_BAUD_RATE",
// "PNP START_DEVICE", "POWER SET_POWER D3".
std::string request_words(const TraceEvent& event);
// The parameters the kernel wrote into an "irp" event's text after the
// request's name ("Rate: 115200"), or "".
std::string irp_details(const TraceEvent& event);
// "AT\rOK\r\n" rendered printable with C escapes.
std::string escape_bytes(std::string_view bytes);
// The bytes of a "41 54 0D" field ("" when malformed).
std::string bytes_of_hex(std::string_view hex);

// Writes each event it is given in one format to one stream.
class TraceWriter {
 public:
  TraceWriter(std::ostream& out, TraceFormat format) : out_(out), format_(format) {}
  void operator()(const TraceEvent& event);

 private:
  std::ostream& out_;
  TraceFormat format_;
};

}  // namespace hs::tool
