// Names of the serial control codes, their argument records and default
// output lengths, NTSTATUS names, and the names used to render request
// majors, minors and event masks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hs::tool {

// One field of an argument record: its width in bytes and its name.
struct ArgField {
  int width;  // 1 or 4, little-endian
  std::string_view name;
};

struct IoctlInfo {
  std::string_view name;  // suffix of IOCTL_SERIAL_, e.g. "SET_BAUD_RATE"
  uint32_t code;
  std::vector<ArgField> args;  // the input record the words encode, empty: none
  uint32_t out_length;         // default output buffer length
};

const std::vector<IoctlInfo>& ioctl_table();
const IoctlInfo* find_ioctl(std::string_view name);  // with or without "IOCTL_SERIAL_"
const IoctlInfo* find_ioctl(uint32_t code);
// "SET_BAUD_RATE", or "0x002D0000" for a code outside the table.
std::string ioctl_name(uint32_t code);
// The input record's bytes for argument values (one per field).
std::string encode_args(const IoctlInfo& info, const std::vector<uint64_t>& values);

std::optional<uint32_t> find_status(std::string_view name);  // "SUCCESS", "STATUS_TIMEOUT"
std::string status_name(uint32_t status);                    // "SUCCESS" or "0xC0001234"

std::string major_name(int major);            // "CREATE", "DEVICE_CONTROL"
std::string pnp_minor_name(int minor);        // "START_DEVICE"
std::string power_minor_name(int minor);      // "SET_POWER"
std::string wait_mask_words(uint32_t mask);   // "RXCHAR TXEMPTY"
std::string purge_mask_words(uint32_t mask);  // "TXABORT RXCLEAR"

}  // namespace hs::tool
