#include "scripted_port.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace rftest {
namespace {

ScriptedPort* g_current = nullptr;

const char* control_name(ULONG code) {
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      return "BAUD";
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return "GET_BAUD";
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return "SET_TIMEOUTS";
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return "GET_TIMEOUTS";
    case IOCTL_SERIAL_PURGE:
      return "PURGE";
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return "WAIT";
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return "SET_WAIT_MASK";
    case IOCTL_SERIAL_GET_MODEMSTATUS:
      return "GET_MODEMSTATUS";
    case IOCTL_SERIAL_SET_DTR:
      return "SET_DTR";
    default:
      return nullptr;
  }
}

uint32_t u32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t v = 0;
  if (bytes.size() >= offset + 4) std::memcpy(&v, bytes.data() + offset, 4);
  return v;
}

}  // namespace

std::string PortCall::text() const {
  char buf[96];
  switch (major) {
    case IRP_MJ_CREATE:
      return "CREATE";
    case IRP_MJ_CLOSE:
      return "CLOSE";
    case IRP_MJ_CLEANUP:
      return "CLEANUP";
    case IRP_MJ_PNP:
      std::snprintf(buf, sizeof buf, "PNP %02X", minor);
      return buf;
    case IRP_MJ_POWER:
      std::snprintf(buf, sizeof buf, "POWER %02X", minor);
      return buf;
    case IRP_MJ_READ:
      return "READ " + std::to_string(length);
    case IRP_MJ_WRITE:
      return "WRITE " + std::string(input.begin(), input.end());
    case IRP_MJ_DEVICE_CONTROL:
      break;
    default:
      std::snprintf(buf, sizeof buf, "MJ %02X", major);
      return buf;
  }
  const char* name = control_name(ioctl);
  std::string text = name ? name : [&] {
    std::snprintf(buf, sizeof buf, "IOCTL %06X", ioctl);
    return std::string(buf);
  }();
  if (ioctl == IOCTL_SERIAL_PURGE) {
    std::snprintf(buf, sizeof buf, " %02X", u32(input, 0));
    text += buf;
  } else if (ioctl == IOCTL_SERIAL_SET_BAUD_RATE) {
    text += " " + std::to_string(u32(input, 0));
  } else if (ioctl == IOCTL_SERIAL_SET_TIMEOUTS && input.size() >= 20) {
    text += " " + std::to_string(u32(input, 0));
    for (size_t i = 4; i < 20; i += 4) text += "," + std::to_string(u32(input, i));
  }
  return text;
}

ScriptedPort::ScriptedPort() {
  if (g_current) throw std::logic_error("one ScriptedPort at a time");
  g_current = this;
  responder = [](const std::string& written) { return ok_responder(written, true); };
}

ScriptedPort::~ScriptedPort() { g_current = nullptr; }

ScriptedPort* ScriptedPort::current() { return g_current; }

std::vector<std::string> ScriptedPort::ok_responder(const std::string& written, bool echo) {
  std::vector<std::string> answer;
  if (written.rfind("AT", 0) != 0) return answer;
  // The probe holds two commands; a handset that is awake answers the first
  // only before the second is parsed. This one answers once per write.
  std::string echoed = written.substr(0, written.find('\r') + 1);
  if (echo) answer.push_back(echoed);
  answer.push_back("\r\nOK\r\n");
  return answer;
}

std::vector<std::string> ScriptedPort::texts(size_t from) const {
  std::vector<std::string> out;
  for (size_t i = from; i < calls.size(); ++i) out.push_back(calls[i].text());
  return out;
}

std::vector<std::string> ScriptedPort::line_texts(size_t from) const {
  std::vector<std::string> out;
  for (size_t i = from; i < calls.size(); ++i) {
    const PortCall& c = calls[i];
    if (c.major == IRP_MJ_CREATE || c.major == IRP_MJ_CLOSE || c.major == IRP_MJ_CLEANUP ||
        c.major == IRP_MJ_PNP || c.major == IRP_MJ_POWER)
      continue;
    if (c.major == IRP_MJ_READ) {
      if (out.empty() || out.back() != "READ") out.push_back("READ");
      continue;
    }
    out.push_back(c.text());
  }
  return out;
}

bool ScriptedPort::complete_wait(ULONG events, NTSTATUS status) {
  PIRP irp = pending_wait;
  if (!irp) return false;
  pending_wait = nullptr;
  if (NT_SUCCESS(status)) {
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &events, sizeof events);
    irp->IoStatus.Information = sizeof events;
  } else {
    irp->IoStatus.Information = 0;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

bool ScriptedPort::complete_power(NTSTATUS status) {
  PIRP irp = pending_power;
  if (!irp) return false;
  pending_power = nullptr;
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

long ScriptedPort::find(const std::string& prefix, size_t from) const {
  for (size_t i = from; i < calls.size(); ++i)
    if (calls[i].text().rfind(prefix, 0) == 0) return static_cast<long>(i);
  return -1;
}

size_t ScriptedPort::count(const std::string& prefix) const {
  size_t n = 0;
  for (const auto& c : calls) n += c.text().rfind(prefix, 0) == 0;
  return n;
}

ULONG ScriptedPort::fill_read(PIRP irp, ULONG length) {
  ULONG n = 0;
  if (!reads.empty() && length > 0) {
    std::string& chunk = reads.front();
    n = static_cast<ULONG>(std::min<size_t>(chunk.size(), length));
    std::memcpy(irp->AssociatedIrp.SystemBuffer, chunk.data(), n);
    chunk.erase(0, n);
    if (chunk.empty()) reads.pop_front();
  }
  irp->IoStatus.Information = n;
  if (n > 0 && rxchar_completes_wait && (wait_mask & SERIAL_EV_RXCHAR))
    complete_wait(SERIAL_EV_RXCHAR);
  return n;
}

NTSTATUS NTAPI ScriptedPort::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

VOID NTAPI ScriptedPort::Unload(PDRIVER_OBJECT) {}

NTSTATUS NTAPI ScriptedPort::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ScriptedPort* port = g_current;
  if (!port) return STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  port->lower_ = IoAttachDeviceToDeviceStack(device, pdo);
  if (!port->lower_) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  port->device = device;
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ScriptedPort::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  return g_current->dispatch(device, irp);
}

NTSTATUS ScriptedPort::dispatch(PDEVICE_OBJECT self, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PortCall call;
  call.major = stack->MajorFunction;
  call.minor = stack->MinorFunction;
  call.irql = KeGetCurrentIrql();
  call.file = stack->FileObject;
  if (on_call) on_call(call);

  if (call.major == IRP_MJ_PNP) {
    calls.push_back(call);
    if (call.minor == IRP_MN_REMOVE_DEVICE || call.minor == IRP_MN_SURPRISE_REMOVAL) {
      if (PIRP read = pending_read) {
        pending_read = nullptr;
        read->IoStatus.Status = STATUS_CANCELLED;
        read->IoStatus.Information = 0;
        IofCompleteRequest(read, IO_NO_INCREMENT);
      }
      complete_wait(0, STATUS_CANCELLED);
    }
    PDEVICE_OBJECT lower = lower_;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (call.minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(self);
      device = nullptr;
    }
    return status;
  }
  if (call.major == IRP_MJ_POWER) {
    calls.push_back(call);
    PoStartNextPowerIrp(irp);
    if (pend_power && !pending_power) {
      IoMarkIrpPending(irp);
      pending_power = irp;
      return STATUS_PENDING;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lower_, irp);
  }

  NTSTATUS status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
  switch (call.major) {
    case IRP_MJ_WRITE: {
      call.input.assign(buffer, buffer + stack->Parameters.Write.Length);
      calls.push_back(call);
      status = fail_when ? fail_when(call) : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) status = write_status;
      if (NT_SUCCESS(status)) {
        irp->IoStatus.Information = stack->Parameters.Write.Length;
        if (responder) {
          for (auto& chunk : responder(std::string(call.input.begin(), call.input.end())))
            reads.push_back(chunk);
        }
        if (pending_read && !reads.empty()) {
          PIRP read = pending_read;
          pending_read = nullptr;
          ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
          ULONG n = fill_read(read, length);
          read->IoStatus.Status = n == length ? STATUS_SUCCESS : STATUS_TIMEOUT;
          IofCompleteRequest(read, IO_NO_INCREMENT);
        }
      }
      break;
    }
    case IRP_MJ_READ: {
      call.length = stack->Parameters.Read.Length;
      calls.push_back(call);
      status = fail_when ? fail_when(call) : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) status = read_status;
      if (!NT_SUCCESS(status)) break;
      if (pend_reads && reads.empty() && call.length > 0 && !pending_read) {
        IoMarkIrpPending(irp);
        pending_read = irp;
        return STATUS_PENDING;
      }
      ULONG n = fill_read(irp, call.length);
      status = (n == call.length) ? STATUS_SUCCESS : STATUS_TIMEOUT;
      break;
    }
    case IRP_MJ_DEVICE_CONTROL:
      call.ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
      call.input_length = stack->Parameters.DeviceIoControl.InputBufferLength;
      call.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
      if (buffer && call.input_length > 0) call.input.assign(buffer, buffer + call.input_length);
      calls.push_back(call);
      status = control(irp, stack, calls.back());
      if (status == STATUS_PENDING) return status;
      break;
    default:
      calls.push_back(call);
      break;
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS ScriptedPort::control(PIRP irp, PIO_STACK_LOCATION stack, PortCall& call) {
  auto it = fail_ioctl.find(call.ioctl);
  if (it != fail_ioctl.end()) return it->second;
  if (fail_when) {
    NTSTATUS injected = fail_when(call);
    if (!NT_SUCCESS(injected)) return injected;
  }
  void* buffer = irp->AssociatedIrp.SystemBuffer;
  switch (call.ioctl) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      if (call.input_length < 4) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(&rate, buffer, 4);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (call.input_length < sizeof(SERIAL_TIMEOUTS)) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(&timeouts, buffer, sizeof timeouts);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_TIMEOUTS:
      if (call.length < sizeof(SERIAL_TIMEOUTS)) return STATUS_BUFFER_TOO_SMALL;
      std::memcpy(buffer, &timeouts, sizeof timeouts);
      irp->IoStatus.Information = sizeof timeouts;
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
      if (call.input_length < 4) return STATUS_BUFFER_TOO_SMALL;
      ULONG mask = 0;
      std::memcpy(&mask, buffer, 4);
      if (mask & SERIAL_PURGE_RXCLEAR) reads.clear();
      return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
      if (call.input_length < 4) return STATUS_BUFFER_TOO_SMALL;
      complete_wait(0);
      std::memcpy(&wait_mask, buffer, 4);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_WAIT_ON_MASK:
      if (pending_wait || wait_mask == 0) return STATUS_INVALID_PARAMETER;
      IoMarkIrpPending(irp);
      pending_wait = irp;
      return STATUS_PENDING;
    default:
      (void)stack;
      return STATUS_SUCCESS;
  }
}

}  // namespace rftest
