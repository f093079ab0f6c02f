#include "tools/hsbridge/codes.h"

#include <array>
#include <cstdio>
#include <cstring>

// The serial interface header brings the kernel-API header with it, whose
// short macro names (IN, OUT, OPTIONAL) stay inside this file.
#include <ntddser.h>

namespace hs::tool {
namespace {

static_assert(sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3);
static_assert(sizeof(SERIAL_CHARS) == 6);
static_assert(sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8);

std::vector<ArgField> ulong_arg(std::string_view name) { return {{4, name}}; }

std::vector<IoctlInfo> build_table() {
  const std::vector<ArgField> none;
  return {
      {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, ulong_arg("BaudRate"), 0},
      {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, {{4, "InSize"}, {4, "OutSize"}}, 0},
      {"SET_LINE_CONTROL",
       IOCTL_SERIAL_SET_LINE_CONTROL,
       {{1, "StopBits"}, {1, "Parity"}, {1, "WordLength"}},
       0},
      {"SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON, none, 0},
      {"SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF, none, 0},
      {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, {{1, "Char"}}, 0},
      {"SET_TIMEOUTS",
       IOCTL_SERIAL_SET_TIMEOUTS,
       {{4, "ReadIntervalTimeout"},
        {4, "ReadTotalTimeoutMultiplier"},
        {4, "ReadTotalTimeoutConstant"},
        {4, "WriteTotalTimeoutMultiplier"},
        {4, "WriteTotalTimeoutConstant"}},
       0},
      {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, none, sizeof(SERIAL_TIMEOUTS)},
      {"SET_DTR", IOCTL_SERIAL_SET_DTR, none, 0},
      {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, none, 0},
      {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE, none, 0},
      {"SET_RTS", IOCTL_SERIAL_SET_RTS, none, 0},
      {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, none, 0},
      {"SET_XOFF", IOCTL_SERIAL_SET_XOFF, none, 0},
      {"SET_XON", IOCTL_SERIAL_SET_XON, none, 0},
      {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, none, sizeof(ULONG)},
      {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, ulong_arg("Mask"), 0},
      {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, none, sizeof(ULONG)},
      {"PURGE", IOCTL_SERIAL_PURGE, ulong_arg("Mask"), 0},
      {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, none, sizeof(SERIAL_BAUD_RATE)},
      {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, none, sizeof(SERIAL_LINE_CONTROL)},
      {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, none, sizeof(SERIAL_CHARS)},
      {"SET_CHARS",
       IOCTL_SERIAL_SET_CHARS,
       {{1, "EofChar"},
        {1, "ErrorChar"},
        {1, "BreakChar"},
        {1, "EventChar"},
        {1, "XonChar"},
        {1, "XoffChar"}},
       0},
      {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, none, sizeof(SERIAL_HANDFLOW)},
      {"SET_HANDFLOW",
       IOCTL_SERIAL_SET_HANDFLOW,
       {{4, "ControlHandShake"}, {4, "FlowReplace"}, {4, "XonLimit"}, {4, "XoffLimit"}},
       0},
      {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, none, sizeof(ULONG)},
      {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, none, sizeof(SERIAL_STATUS)},
      {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, none, 0},
      {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, none, 64},
      {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, none, sizeof(ULONG)},
      {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, {{1, "EscapeChar"}}, 0},
      {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, none, sizeof(ULONG)},
      {"GET_COMMCONFIG", IOCTL_SERIAL_GET_COMMCONFIG, none, 0},
      {"SET_COMMCONFIG", IOCTL_SERIAL_SET_COMMCONFIG, none, 0},
      {"GET_STATS", IOCTL_SERIAL_GET_STATS, none, 4 * sizeof(ULONG)},
      {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS, none, 0},
      {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, none, sizeof(ULONG)},
      {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, ulong_arg("ModemControl"), 0},
      {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL, ulong_arg("FifoControl"), 0},
  };
}

struct StatusName {
  std::string_view name;
  uint32_t value;
};

constexpr std::array kStatuses = {
    StatusName{"SUCCESS", 0x00000000},
    StatusName{"TIMEOUT", 0x00000102},
    StatusName{"PENDING", 0x00000103},
    StatusName{"BUFFER_OVERFLOW", 0x80000005},
    StatusName{"DEVICE_BUSY", 0x80000011},
    StatusName{"UNSUCCESSFUL", 0xC0000001},
    StatusName{"NOT_IMPLEMENTED", 0xC0000002},
    StatusName{"INVALID_PARAMETER", 0xC000000D},
    StatusName{"NO_SUCH_DEVICE", 0xC000000E},
    StatusName{"INVALID_DEVICE_REQUEST", 0xC0000010},
    StatusName{"MORE_PROCESSING_REQUIRED", 0xC0000016},
    StatusName{"NO_MEMORY", 0xC0000017},
    StatusName{"BUFFER_TOO_SMALL", 0xC0000023},
    StatusName{"OBJECT_NAME_NOT_FOUND", 0xC0000034},
    StatusName{"DELETE_PENDING", 0xC0000056},
    StatusName{"INSUFFICIENT_RESOURCES", 0xC000009A},
    StatusName{"DEVICE_POWER_FAILURE", 0xC000009E},
    StatusName{"DEVICE_NOT_READY", 0xC00000A3},
    StatusName{"NOT_SUPPORTED", 0xC00000BB},
    StatusName{"CANCELLED", 0xC0000120},
};

std::string_view strip_prefix(std::string_view text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) == prefix) text.remove_prefix(prefix.size());
  return text;
}

std::string hex32(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

std::string mask_words(uint32_t mask,
                       const std::vector<std::pair<uint32_t, std::string_view>>& bits) {
  std::string words;
  for (const auto& [bit, name] : bits) {
    if (!(mask & bit)) continue;
    if (!words.empty()) words += ' ';
    words += name;
    mask &= ~bit;
  }
  if (mask != 0) {
    if (!words.empty()) words += ' ';
    words += hex32(mask);
  }
  return words.empty() ? "none" : words;
}

}  // namespace

const std::vector<IoctlInfo>& ioctl_table() {
  static const std::vector<IoctlInfo> table = build_table();
  return table;
}

const IoctlInfo* find_ioctl(std::string_view name) {
  name = strip_prefix(name, "IOCTL_SERIAL_");
  for (const auto& info : ioctl_table())
    if (info.name == name) return &info;
  return nullptr;
}

const IoctlInfo* find_ioctl(uint32_t code) {
  for (const auto& info : ioctl_table())
    if (info.code == code) return &info;
  return nullptr;
}

std::string ioctl_name(uint32_t code) {
  if (const IoctlInfo* info = find_ioctl(code)) return std::string(info->name);
  return hex32(code);
}

std::string encode_args(const IoctlInfo& info, const std::vector<uint64_t>& values) {
  std::string bytes;
  for (size_t i = 0; i < info.args.size() && i < values.size(); ++i)
    for (int b = 0; b < info.args[i].width; ++b)
      bytes.push_back(static_cast<char>((values[i] >> (8 * b)) & 0xFF));
  return bytes;
}

std::optional<uint32_t> find_status(std::string_view name) {
  name = strip_prefix(name, "STATUS_");
  for (const auto& status : kStatuses)
    if (status.name == name) return status.value;
  return std::nullopt;
}

std::string status_name(uint32_t status) {
  for (const auto& entry : kStatuses)
    if (entry.value == status) return std::string(entry.name);
  return hex32(status);
}

std::string major_name(int major) {
  static constexpr std::array<std::string_view, 28> kNames = {"CREATE",
                                                              "CREATE_NAMED_PIPE",
                                                              "CLOSE",
                                                              "READ",
                                                              "WRITE",
                                                              "QUERY_INFORMATION",
                                                              "SET_INFORMATION",
                                                              "QUERY_EA",
                                                              "SET_EA",
                                                              "FLUSH_BUFFERS",
                                                              "QUERY_VOLUME_INFORMATION",
                                                              "SET_VOLUME_INFORMATION",
                                                              "DIRECTORY_CONTROL",
                                                              "FILE_SYSTEM_CONTROL",
                                                              "DEVICE_CONTROL",
                                                              "INTERNAL_DEVICE_CONTROL",
                                                              "SHUTDOWN",
                                                              "LOCK_CONTROL",
                                                              "CLEANUP",
                                                              "CREATE_MAILSLOT",
                                                              "QUERY_SECURITY",
                                                              "SET_SECURITY",
                                                              "POWER",
                                                              "SYSTEM_CONTROL",
                                                              "DEVICE_CHANGE",
                                                              "QUERY_QUOTA",
                                                              "SET_QUOTA",
                                                              "PNP"};
  if (major >= 0 && major < static_cast<int>(kNames.size())) return std::string(kNames[major]);
  return "MAJOR_" + std::to_string(major);
}

std::string pnp_minor_name(int minor) {
  static constexpr std::array<std::string_view, 24> kNames = {"START_DEVICE",
                                                              "QUERY_REMOVE_DEVICE",
                                                              "REMOVE_DEVICE",
                                                              "CANCEL_REMOVE_DEVICE",
                                                              "STOP_DEVICE",
                                                              "QUERY_STOP_DEVICE",
                                                              "CANCEL_STOP_DEVICE",
                                                              "QUERY_DEVICE_RELATIONS",
                                                              "QUERY_INTERFACE",
                                                              "QUERY_CAPABILITIES",
                                                              "QUERY_RESOURCES",
                                                              "QUERY_RESOURCE_REQUIREMENTS",
                                                              "QUERY_DEVICE_TEXT",
                                                              "FILTER_RESOURCE_REQUIREMENTS",
                                                              "MINOR_0x0E",
                                                              "READ_CONFIG",
                                                              "WRITE_CONFIG",
                                                              "EJECT",
                                                              "SET_LOCK",
                                                              "QUERY_ID",
                                                              "QUERY_PNP_DEVICE_STATE",
                                                              "QUERY_BUS_INFORMATION",
                                                              "DEVICE_USAGE_NOTIFICATION",
                                                              "SURPRISE_REMOVAL"};
  if (minor >= 0 && minor < static_cast<int>(kNames.size())) return std::string(kNames[minor]);
  return "MINOR_" + std::to_string(minor);
}

std::string power_minor_name(int minor) {
  static constexpr std::array<std::string_view, 4> kNames = {"WAIT_WAKE", "POWER_SEQUENCE",
                                                             "SET_POWER", "QUERY_POWER"};
  if (minor >= 0 && minor < static_cast<int>(kNames.size())) return std::string(kNames[minor]);
  return "MINOR_" + std::to_string(minor);
}

std::string wait_mask_words(uint32_t mask) {
  return mask_words(mask, {{SERIAL_EV_RXCHAR, "RXCHAR"},
                           {SERIAL_EV_RXFLAG, "RXFLAG"},
                           {SERIAL_EV_TXEMPTY, "TXEMPTY"},
                           {SERIAL_EV_CTS, "CTS"},
                           {SERIAL_EV_DSR, "DSR"},
                           {SERIAL_EV_RLSD, "RLSD"},
                           {SERIAL_EV_BREAK, "BREAK"},
                           {SERIAL_EV_ERR, "ERR"},
                           {SERIAL_EV_RING, "RING"},
                           {SERIAL_EV_PERR, "PERR"},
                           {SERIAL_EV_RX80FULL, "RX80FULL"},
                           {SERIAL_EV_EVENT1, "EVENT1"},
                           {SERIAL_EV_EVENT2, "EVENT2"}});
}

std::string purge_mask_words(uint32_t mask) {
  return mask_words(mask, {{SERIAL_PURGE_TXABORT, "TXABORT"},
                           {SERIAL_PURGE_RXABORT, "RXABORT"},
                           {SERIAL_PURGE_TXCLEAR, "TXCLEAR"},
                           {SERIAL_PURGE_RXCLEAR, "RXCLEAR"}});
}

}  // namespace hs::tool
