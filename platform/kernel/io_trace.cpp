// Trace of requests: an "irp" event as a request enters a device and as
// completion leaves it, rendered like the classic serial port monitors:
//   portbridge  IRP_MJ_DEVICE_CONTROL IOCTL_SERIAL_SET_BAUD_RATE  Rate: 115200
#include <ntddser.h>

#include <cstdarg>
#include <cstdio>

#include "kernel/kernel_parts.h"

using hs::Kernel;

namespace hs {
namespace {

constexpr size_t kMaxTraceData = 4096;

const char* const kMajorNames[] = {"IRP_MJ_CREATE",
                                   "IRP_MJ_CREATE_NAMED_PIPE",
                                   "IRP_MJ_CLOSE",
                                   "IRP_MJ_READ",
                                   "IRP_MJ_WRITE",
                                   "IRP_MJ_QUERY_INFORMATION",
                                   "IRP_MJ_SET_INFORMATION",
                                   "IRP_MJ_QUERY_EA",
                                   "IRP_MJ_SET_EA",
                                   "IRP_MJ_FLUSH_BUFFERS",
                                   "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                   "IRP_MJ_SET_VOLUME_INFORMATION",
                                   "IRP_MJ_DIRECTORY_CONTROL",
                                   "IRP_MJ_FILE_SYSTEM_CONTROL",
                                   "IRP_MJ_DEVICE_CONTROL",
                                   "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                   "IRP_MJ_SHUTDOWN",
                                   "IRP_MJ_LOCK_CONTROL",
                                   "IRP_MJ_CLEANUP",
                                   "IRP_MJ_CREATE_MAILSLOT",
                                   "IRP_MJ_QUERY_SECURITY",
                                   "IRP_MJ_SET_SECURITY",
                                   "IRP_MJ_POWER",
                                   "IRP_MJ_SYSTEM_CONTROL",
                                   "IRP_MJ_DEVICE_CHANGE",
                                   "IRP_MJ_QUERY_QUOTA",
                                   "IRP_MJ_SET_QUOTA",
                                   "IRP_MJ_PNP"};

const char* const kPnpNames[] = {"IRP_MN_START_DEVICE",
                                 "IRP_MN_QUERY_REMOVE_DEVICE",
                                 "IRP_MN_REMOVE_DEVICE",
                                 "IRP_MN_CANCEL_REMOVE_DEVICE",
                                 "IRP_MN_STOP_DEVICE",
                                 "IRP_MN_QUERY_STOP_DEVICE",
                                 "IRP_MN_CANCEL_STOP_DEVICE",
                                 "IRP_MN_QUERY_DEVICE_RELATIONS",
                                 "IRP_MN_QUERY_INTERFACE",
                                 "IRP_MN_QUERY_CAPABILITIES",
                                 "IRP_MN_QUERY_RESOURCES",
                                 "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                 "IRP_MN_QUERY_DEVICE_TEXT",
                                 "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                 "IRP_MN_0x0E",
                                 "IRP_MN_READ_CONFIG",
                                 "IRP_MN_WRITE_CONFIG",
                                 "IRP_MN_EJECT",
                                 "IRP_MN_SET_LOCK",
                                 "IRP_MN_QUERY_ID",
                                 "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                 "IRP_MN_QUERY_BUS_INFORMATION",
                                 "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                 "IRP_MN_SURPRISE_REMOVAL"};

const char* const kPowerNames[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                   "IRP_MN_QUERY_POWER"};

const char* const kSerialNames[] = {
    nullptr,
    "IOCTL_SERIAL_SET_BAUD_RATE",
    "IOCTL_SERIAL_SET_QUEUE_SIZE",
    "IOCTL_SERIAL_SET_LINE_CONTROL",
    "IOCTL_SERIAL_SET_BREAK_ON",
    "IOCTL_SERIAL_SET_BREAK_OFF",
    "IOCTL_SERIAL_IMMEDIATE_CHAR",
    "IOCTL_SERIAL_SET_TIMEOUTS",
    "IOCTL_SERIAL_GET_TIMEOUTS",
    "IOCTL_SERIAL_SET_DTR",
    "IOCTL_SERIAL_CLR_DTR",
    "IOCTL_SERIAL_RESET_DEVICE",
    "IOCTL_SERIAL_SET_RTS",
    "IOCTL_SERIAL_CLR_RTS",
    "IOCTL_SERIAL_SET_XOFF",
    "IOCTL_SERIAL_SET_XON",
    "IOCTL_SERIAL_GET_WAIT_MASK",
    "IOCTL_SERIAL_SET_WAIT_MASK",
    "IOCTL_SERIAL_WAIT_ON_MASK",
    "IOCTL_SERIAL_PURGE",
    "IOCTL_SERIAL_GET_BAUD_RATE",
    "IOCTL_SERIAL_GET_LINE_CONTROL",
    "IOCTL_SERIAL_GET_CHARS",
    "IOCTL_SERIAL_SET_CHARS",
    "IOCTL_SERIAL_GET_HANDFLOW",
    "IOCTL_SERIAL_SET_HANDFLOW",
    "IOCTL_SERIAL_GET_MODEMSTATUS",
    "IOCTL_SERIAL_GET_COMMSTATUS",
    "IOCTL_SERIAL_XOFF_COUNTER",
    "IOCTL_SERIAL_GET_PROPERTIES",
    "IOCTL_SERIAL_GET_DTRRTS",
    "IOCTL_SERIAL_LSRMST_INSERT",
    "IOCTL_SERIAL_CONFIG_SIZE",
    "IOCTL_SERIAL_GET_COMMCONFIG",
    "IOCTL_SERIAL_SET_COMMCONFIG",
    "IOCTL_SERIAL_GET_STATS",
    "IOCTL_SERIAL_CLEAR_STATS",
    "IOCTL_SERIAL_GET_MODEM_CONTROL",
    "IOCTL_SERIAL_SET_MODEM_CONTROL",
    "IOCTL_SERIAL_SET_FIFO_CONTROL",
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buffer[256];
  va_list args;
  va_start(args, fmt);
  vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  return buffer;
}

std::string status_text(NTSTATUS status) {
  switch (status) {
    case STATUS_SUCCESS:
      return "SUCCESS";
    case STATUS_TIMEOUT:
      return "TIMEOUT";
    case STATUS_CANCELLED:
      return "CANCELLED";
    case STATUS_NOT_SUPPORTED:
      return "NOT_SUPPORTED";
    case STATUS_INVALID_DEVICE_REQUEST:
      return "INVALID_DEVICE_REQUEST";
    case STATUS_INVALID_PARAMETER:
      return "INVALID_PARAMETER";
    case STATUS_BUFFER_TOO_SMALL:
      return "BUFFER_TOO_SMALL";
    default:
      return hex32(static_cast<ULONG>(status));
  }
}

const void* buffer_of(PIRP irp) {
  return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

template <class T>
const T* record_in(PIRP irp, ULONG length) {
  const void* p = irp->AssociatedIrp.SystemBuffer;
  return (p != nullptr && length >= sizeof(T)) ? static_cast<const T*>(p) : nullptr;
}

// Decodes the records of the serial control codes the port monitors show.
std::string decode_ioctl(PIRP irp, PIO_STACK_LOCATION stack, bool out) {
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG length = out ? static_cast<ULONG>(irp->IoStatus.Information)
                     : stack->Parameters.DeviceIoControl.InputBufferLength;
  if (!out) {
    switch (code) {
      case IOCTL_SERIAL_SET_BAUD_RATE:
        if (auto* r = record_in<SERIAL_BAUD_RATE>(irp, length))
          return format("Rate: %u", r->BaudRate);
        break;
      case IOCTL_SERIAL_SET_LINE_CONTROL:
        if (auto* r = record_in<SERIAL_LINE_CONTROL>(irp, length))
          return format("StopBits: %u, Parity: %u, WordLength: %u", r->StopBits, r->Parity,
                        r->WordLength);
        break;
      case IOCTL_SERIAL_SET_TIMEOUTS:
        if (auto* r = record_in<SERIAL_TIMEOUTS>(irp, length))
          return format("RI: %u, RM: %u, RC: %u, WM: %u, WC: %u", r->ReadIntervalTimeout,
                        r->ReadTotalTimeoutMultiplier, r->ReadTotalTimeoutConstant,
                        r->WriteTotalTimeoutMultiplier, r->WriteTotalTimeoutConstant);
        break;
      case IOCTL_SERIAL_SET_WAIT_MASK:
        if (auto* r = record_in<ULONG>(irp, length)) return format("Mask: 0x%08X", *r);
        break;
      case IOCTL_SERIAL_PURGE:
        if (auto* r = record_in<ULONG>(irp, length)) return format("Purge: 0x%08X", *r);
        break;
      case IOCTL_SERIAL_SET_QUEUE_SIZE:
        if (auto* r = record_in<SERIAL_QUEUE_SIZE>(irp, length))
          return format("InSize: %u, OutSize: %u", r->InSize, r->OutSize);
        break;
      case IOCTL_SERIAL_SET_CHARS:
        if (auto* r = record_in<SERIAL_CHARS>(irp, length))
          return format("EOF: %02X, ERR: %02X, BRK: %02X, EVT: %02X, XON: %02X, XOFF: %02X",
                        r->EofChar, r->ErrorChar, r->BreakChar, r->EventChar, r->XonChar,
                        r->XoffChar);
        break;
      case IOCTL_SERIAL_SET_HANDFLOW:
        if (auto* r = record_in<SERIAL_HANDFLOW>(irp, length))
          return format("Shake: %X, Replace: %X, XonLimit: %d, XoffLimit: %d", r->ControlHandShake,
                        r->FlowReplace, r->XonLimit, r->XoffLimit);
        break;
      case IOCTL_SERIAL_IMMEDIATE_CHAR:
        if (auto* r = record_in<UCHAR>(irp, length)) return format("Char: %02X", *r);
        break;
    }
    return "";
  }
  if (!NT_SUCCESS(irp->IoStatus.Status)) return "";
  switch (code) {
    case IOCTL_SERIAL_GET_BAUD_RATE:
      if (auto* r = record_in<SERIAL_BAUD_RATE>(irp, length))
        return format("Rate: %u", r->BaudRate);
      break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      if (auto* r = record_in<SERIAL_LINE_CONTROL>(irp, length))
        return format("StopBits: %u, Parity: %u, WordLength: %u", r->StopBits, r->Parity,
                      r->WordLength);
      break;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      if (auto* r = record_in<SERIAL_TIMEOUTS>(irp, length))
        return format("RI: %u, RM: %u, RC: %u, WM: %u, WC: %u", r->ReadIntervalTimeout,
                      r->ReadTotalTimeoutMultiplier, r->ReadTotalTimeoutConstant,
                      r->WriteTotalTimeoutMultiplier, r->WriteTotalTimeoutConstant);
      break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
      if (auto* r = record_in<ULONG>(irp, length)) return format("Mask: 0x%08X", *r);
      break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_DTRRTS:
      if (auto* r = record_in<ULONG>(irp, length)) return format("Status: 0x%08X", *r);
      break;
    case IOCTL_SERIAL_GET_COMMSTATUS:
      if (auto* r = record_in<SERIAL_STATUS>(irp, length))
        return format("Errors: 0x%X, HoldReasons: 0x%X, InQueue: %u, OutQueue: %u", r->Errors,
                      r->HoldReasons, r->AmountInInQueue, r->AmountInOutQueue);
      break;
  }
  return "";
}

std::string data_hex(const void* data, size_t length) {
  if (data == nullptr || length == 0) return "";
  return hex_bytes(static_cast<const uint8_t*>(data), std::min(length, kMaxTraceData));
}

void emit_irp(const IrpRecord& rec, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack, bool out) {
  Kernel& k = Kernel::current();
  PIRP irp = rec.irp;
  TraceEvent event;
  event.ev = "irp";
  std::string dev = device ? k.device_name(device) : std::string("?");
  event.add("dev", dev);
  event.add("phase", std::string(out ? "out" : "in"));
  event.add("irp", static_cast<int64_t>(rec.id));
  std::string major = major_name(stack->MajorFunction);
  event.add("major", major);
  std::string line = dev + "  " + major;
  if (stack->MajorFunction == IRP_MJ_PNP || stack->MajorFunction == IRP_MJ_POWER) {
    std::string minor = minor_name(stack->MajorFunction, stack->MinorFunction);
    event.add("minor", minor);
    line += " " + minor;
    if (stack->MajorFunction == IRP_MJ_POWER && !out &&
        (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)) {
      bool system = stack->Parameters.Power.Type == SystemPowerState;
      int state = system ? static_cast<int>(stack->Parameters.Power.State.SystemState)
                         : static_cast<int>(stack->Parameters.Power.State.DeviceState);
      std::string text = system ? format("S%d", state - 1) : format("D%d", state - 1);
      event.add("state", text);
      line += "  " + text;
    }
  }
  std::string detail;
  std::string hex;
  switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL: {
      std::string ioctl = ioctl_name(stack->Parameters.DeviceIoControl.IoControlCode);
      event.add("ioctl", ioctl);
      line += " " + ioctl;
      if (!out) {
        event.add("inlen", stack->Parameters.DeviceIoControl.InputBufferLength);
        event.add("outlen", stack->Parameters.DeviceIoControl.OutputBufferLength);
      }
      detail = decode_ioctl(irp, stack, out);
      break;
    }
    case IRP_MJ_WRITE:
      if (!out) {
        event.add("len", stack->Parameters.Write.Length);
        detail = format("Length: %u", stack->Parameters.Write.Length);
        hex = data_hex(buffer_of(irp), stack->Parameters.Write.Length);
      }
      break;
    case IRP_MJ_READ:
      if (!out) {
        event.add("len", stack->Parameters.Read.Length);
        detail = format("Length: %u", stack->Parameters.Read.Length);
      } else if (NT_SUCCESS(irp->IoStatus.Status)) {
        hex = data_hex(buffer_of(irp), irp->IoStatus.Information);
      }
      break;
  }
  if (out) {
    NTSTATUS status = irp->IoStatus.Status;
    event.add("status", hex32(static_cast<ULONG>(status)));
    event.add("info", static_cast<int64_t>(irp->IoStatus.Information));
    line += "  -> " + status_text(status) +
            format(" (%lu)", static_cast<unsigned long>(irp->IoStatus.Information));
  }
  if (!hex.empty()) event.add("hex", hex);
  if (!detail.empty()) line += "  " + detail;
  if (!hex.empty()) line += "  " + hex;
  event.text = std::move(line);
  k.machine().trace().emit(std::move(event));
}

}  // namespace

std::string major_name(UCHAR major) {
  if (major < RTL_NUMBER_OF(kMajorNames)) return kMajorNames[major];
  return format("IRP_MJ_0x%02X", major);
}

std::string minor_name(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_PNP && minor < RTL_NUMBER_OF(kPnpNames)) return kPnpNames[minor];
  if (major == IRP_MJ_POWER && minor < RTL_NUMBER_OF(kPowerNames)) return kPowerNames[minor];
  return format("IRP_MN_0x%02X", minor);
}

std::string ioctl_name(ULONG code) {
  ULONG function = (code >> 2) & 0xFFF;
  if ((code >> 16) == FILE_DEVICE_SERIAL_PORT && (code & 3) == METHOD_BUFFERED &&
      function < RTL_NUMBER_OF(kSerialNames) && kSerialNames[function] != nullptr) {
    return kSerialNames[function];
  }
  return format("IOCTL_0x%08X", code);
}

void IoManager::trace_in(const IrpRecord& rec, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack) {
  if (kernel_.machine().trace().active()) emit_irp(rec, device, stack, false);
}

void IoManager::trace_out(const IrpRecord& rec, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack) {
  if (kernel_.machine().trace().active()) emit_irp(rec, device, stack, true);
}

}  // namespace hs
