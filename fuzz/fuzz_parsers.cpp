// The scenario parser and the device-node file parser take any text: each
// mistake is a located error, never a crash. The first byte chooses the
// parser.
#include <string_view>

#include "sim/device_node_file.h"
#include "tools/hsbridge/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    const auto parsed = hs::tool::parse_scenario(text, "fuzz.hsb", "");
    for (const auto& error : parsed.errors) (void)error.str();
  } else {
    const auto parsed = hs::parse_device_node_file(text, "fuzz.inf");
    (void)parsed.ok();
  }
  return 0;
}
