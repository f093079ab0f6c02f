#include "sim/client.h"

#include <ntddser.h>

#include <cstdio>
#include <cstring>
#include <sstream>

namespace hs {

// One request the client sent: its buffer, its outcome, who waits.
struct RequestState {
  Client* client = nullptr;
  uint64_t id = 0;
  std::string name;
  UCHAR major = 0;
  ULONG output_length = 0;
  std::vector<uint8_t> buffer;
  PIRP irp = nullptr;
  Completion result;
  EmuThread* waiter = nullptr;
};

namespace {

const char* const kSerialNames[] = {
    nullptr,         "SET_BAUD_RATE",     "SET_QUEUE_SIZE",    "SET_LINE_CONTROL",
    "SET_BREAK_ON",  "SET_BREAK_OFF",     "IMMEDIATE_CHAR",    "SET_TIMEOUTS",
    "GET_TIMEOUTS",  "SET_DTR",           "CLR_DTR",           "RESET_DEVICE",
    "SET_RTS",       "CLR_RTS",           "SET_XOFF",          "SET_XON",
    "GET_WAIT_MASK", "SET_WAIT_MASK",     "WAIT_ON_MASK",      "PURGE",
    "GET_BAUD_RATE", "GET_LINE_CONTROL",  "GET_CHARS",         "SET_CHARS",
    "GET_HANDFLOW",  "SET_HANDFLOW",      "GET_MODEMSTATUS",   "GET_COMMSTATUS",
    "XOFF_COUNTER",  "GET_PROPERTIES",    "GET_DTRRTS",        "LSRMST_INSERT",
    "CONFIG_SIZE",   "GET_COMMCONFIG",    "SET_COMMCONFIG",    "GET_STATS",
    "CLEAR_STATS",   "GET_MODEM_CONTROL", "SET_MODEM_CONTROL", "SET_FIFO_CONTROL",
};

std::string request_name(UCHAR major, ULONG ioctl) {
  switch (major) {
    case IRP_MJ_CREATE:
      return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE:
      return "IRP_MJ_CLOSE";
    case IRP_MJ_CLEANUP:
      return "IRP_MJ_CLEANUP";
    case IRP_MJ_READ:
      return "IRP_MJ_READ";
    case IRP_MJ_WRITE:
      return "IRP_MJ_WRITE";
    default:
      break;
  }
  if (major == IRP_MJ_DEVICE_CONTROL) {
    ULONG function = (ioctl >> 2) & 0xFFF;
    if ((ioctl >> 16) == FILE_DEVICE_SERIAL_PORT && function < std::size(kSerialNames) &&
        kSerialNames[function] != nullptr)
      return std::string("IOCTL_SERIAL_") + kSerialNames[function];
    char buffer[32];
    snprintf(buffer, sizeof buffer, "IOCTL 0x%08X", ioctl);
    return buffer;
  }
  return "IRP_MJ 0x" + std::to_string(major);
}

std::string status_text(NTSTATUS status) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%08X", static_cast<ULONG>(status));
  return buffer;
}

NTSTATUS NTAPI client_completion(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
  auto* state = static_cast<RequestState*>(context);
  state->client->finish(state, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

// -------------------------------------------------------------- helpers

Request Request::ioctl_in(ULONG code, std::vector<uint8_t> input, ULONG output_length) {
  Request r;
  r.major = IRP_MJ_DEVICE_CONTROL;
  r.ioctl = code;
  r.input_length = static_cast<ULONG>(input.size());
  r.input = std::move(input);
  r.output_length = output_length;
  return r;
}

Request Request::ioctl_out(ULONG code, ULONG output_length) {
  return ioctl_in(code, {}, output_length);
}

Request Request::read(ULONG length) {
  Request r;
  r.major = IRP_MJ_READ;
  r.output_length = length;
  return r;
}

Request Request::write(std::string_view bytes) {
  return write_bytes(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

Request Request::write_bytes(std::vector<uint8_t> bytes) {
  Request r;
  r.major = IRP_MJ_WRITE;
  r.input_length = static_cast<ULONG>(bytes.size());
  r.input = std::move(bytes);
  return r;
}

std::vector<uint8_t> le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4 && offset + i < bytes.size(); ++i)
    value |= static_cast<uint32_t>(bytes[offset + i]) << (8 * i);
  return value;
}

uint32_t Completion::u32(size_t offset) const { return le32_at(data, offset); }

const Completion& Pending::result() const { return state_->result; }
bool Pending::done() const { return state_ && state_->result.done; }
PIRP Pending::irp() const { return state_ ? state_->irp : nullptr; }

// --------------------------------------------------------------- client

Client::Client(Kernel& kernel, DeviceNode* node) : kernel_(kernel), node_(node) {}

Client::~Client() = default;

PDEVICE_OBJECT Client::target() const {
  if (target_ != nullptr) return target_;
  return node_ != nullptr ? node_->top() : nullptr;
}

Pending Client::submit(const Handle* handle, UCHAR major, Request request) {
  Machine& machine = kernel_.machine();
  auto state = std::make_shared<RequestState>();
  state->client = this;
  state->id = next_id_++;
  state->major = major;
  state->name = request.name.empty() ? request_name(major, request.ioctl) : request.name;
  state->output_length = request.output_length;
  state->result.sent_at = machine.now();
  // Requests completed once need no more watching.
  if (tracked_.size() >= 256)
    std::erase_if(tracked_, [](const auto& s) { return s->result.completions == 1; });
  tracked_.push_back(state);
  ++sent_;
  Pending pending;
  pending.state_ = state;

  PDEVICE_OBJECT device = target();
  if (device == nullptr) {
    state->result.done = true;
    state->result.status = state->result.returned = STATUS_NO_SUCH_DEVICE;
    state->result.completions = 1;
    history_.push_back(state->result);
    return pending;
  }
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  if (irp == nullptr) {
    state->result.done = true;
    state->result.status = state->result.returned = STATUS_INSUFFICIENT_RESOURCES;
    state->result.completions = 1;
    history_.push_back(state->result);
    return pending;
  }
  state->irp = irp;
  irp->RequestorMode = KernelMode;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PFILE_OBJECT file = handle ? handle->file : nullptr;
  irp->Tail.Overlay.OriginalFileObject = file;

  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = 0;
  stack->FileObject = file;
  ULONG in_length =
      request.input_length ? request.input_length : static_cast<ULONG>(request.input.size());
  bool buffered = (device->Flags & DO_BUFFERED_IO) != 0;
  switch (major) {
    case IRP_MJ_DEVICE_CONTROL: {
      size_t size = std::max<size_t>(std::max<size_t>(in_length, request.output_length),
                                     request.input.size());
      state->buffer.assign(size, 0);
      if (!request.input.empty())
        std::memcpy(state->buffer.data(), request.input.data(), request.input.size());
      stack->Parameters.DeviceIoControl.IoControlCode = request.ioctl;
      stack->Parameters.DeviceIoControl.InputBufferLength = in_length;
      stack->Parameters.DeviceIoControl.OutputBufferLength = request.output_length;
      if ((request.ioctl & 3) == 3) {  // METHOD_NEITHER
        stack->Parameters.DeviceIoControl.Type3InputBuffer = size ? state->buffer.data() : nullptr;
        irp->UserBuffer = size ? state->buffer.data() : nullptr;
      } else {
        irp->AssociatedIrp.SystemBuffer = size ? state->buffer.data() : nullptr;
      }
      break;
    }
    case IRP_MJ_READ:
      state->buffer.assign(request.output_length, 0);
      stack->Parameters.Read.Length = request.output_length;
      if (buffered)
        irp->AssociatedIrp.SystemBuffer = request.output_length ? state->buffer.data() : nullptr;
      irp->UserBuffer = request.output_length ? state->buffer.data() : nullptr;
      break;
    case IRP_MJ_WRITE:
      state->buffer = request.input;
      stack->Parameters.Write.Length = in_length;
      if (buffered)
        irp->AssociatedIrp.SystemBuffer = state->buffer.empty() ? nullptr : state->buffer.data();
      irp->UserBuffer = state->buffer.empty() ? nullptr : state->buffer.data();
      break;
    default:
      break;
  }
  IoSetCompletionRoutine(irp, &client_completion, state.get(), TRUE, TRUE, TRUE);

  uint8_t old = machine.irql();
  bool raise = request.irql > old;
  if (raise) machine.raise_irql(request.irql);
  NTSTATUS returned = IofCallDriver(device, irp);
  if (raise) machine.lower_irql(old);
  state->result.returned = returned;
  return pending;
}

void Client::finish(RequestState* state, PIRP irp) {
  Machine& machine = kernel_.machine();
  Completion& result = state->result;
  ++result.completions;
  if (result.completions > 1) {
    // Recorded for the accounting report; the kernel's verifier stops the
    // run on its own.
    return;
  }
  result.done = true;
  result.status = irp->IoStatus.Status;
  result.info = irp->IoStatus.Information;
  result.done_at = machine.now();
  size_t shown = 0;
  if (state->major == IRP_MJ_READ || state->major == IRP_MJ_DEVICE_CONTROL) {
    shown = std::min<size_t>(result.info, state->output_length);
    shown = std::min(shown, state->buffer.size());
    if (!NT_SUCCESS(result.status) && result.status != static_cast<NTSTATUS>(0x80000005)) shown = 0;
  }
  result.data.assign(state->buffer.begin(), state->buffer.begin() + static_cast<long>(shown));
  state->irp = nullptr;
  IoFreeIrp(irp);
  std::vector<uint8_t>().swap(state->buffer);

  if (state->waiter != nullptr) machine.wake(*state->waiter);
  if (!machine.trace().active()) {
    history_.push_back(result);
    return;
  }
  TraceEvent event;
  event.ev = "request";
  event.add("name", state->name);
  event.add("status", status_text(result.status));
  event.add("info", static_cast<int64_t>(result.info));
  event.add("hex", hex_bytes(result.data.data(), result.data.size()));
  event.text = "client  " + state->name + "  " + status_text(result.status) +
               "  Info: " + std::to_string(result.info) +
               (result.data.empty() ? ""
                                    : "  " + hex_bytes(result.data.data(),
                                                       std::min<size_t>(result.data.size(), 48)));
  machine.trace().emit(std::move(event));
  history_.push_back(result);
}

const Completion& Client::wait(const Pending& pending) {
  Machine& machine = kernel_.machine();
  RequestState* state = pending.state_.get();
  while (!state->result.done) {
    state->waiter = machine.current_thread();
    machine.block("completion of " + state->name, std::nullopt);
  }
  state->waiter = nullptr;
  return state->result;
}

bool Client::wait_for(const Pending& pending, VTime timeout) {
  Machine& machine = kernel_.machine();
  RequestState* state = pending.state_.get();
  VTime deadline = machine.now() + timeout;
  while (!state->result.done && machine.now() < deadline) {
    state->waiter = machine.current_thread();
    machine.block("completion of " + state->name, deadline);
  }
  state->waiter = nullptr;
  return state->result.done;
}

bool Client::cancel(const Pending& pending) {
  if (!pending.state_ || pending.state_->irp == nullptr) return false;
  return IoCancelIrp(pending.state_->irp) != FALSE;
}

Pending Client::send(const Handle& handle, Request request) {
  UCHAR major = request.major;
  return submit(&handle, major, std::move(request));
}

Completion Client::call(const Handle& handle, Request request) {
  Pending pending = send(handle, std::move(request));
  return wait(pending);
}

Completion Client::ioctl(const Handle& handle, ULONG code, std::vector<uint8_t> input,
                         ULONG output_length) {
  return call(handle, Request::ioctl_in(code, std::move(input), output_length));
}

Completion Client::read(const Handle& handle, ULONG length) {
  return call(handle, Request::read(length));
}

Completion Client::write(const Handle& handle, std::string_view bytes) {
  return call(handle, Request::write(bytes));
}

Handle Client::open(KIRQL irql) {
  auto file = std::make_unique<FILE_OBJECT>();
  std::memset(file.get(), 0, sizeof(FILE_OBJECT));
  file->Type = 5;  // IO_TYPE_FILE
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = target();
  Handle handle;
  handle.file = file.get();
  files_.push_back(std::move(file));
  Request request;
  request.major = IRP_MJ_CREATE;
  request.irql = irql;
  Pending pending = submit(&handle, IRP_MJ_CREATE, request);
  handle.open_status = wait(pending).status;
  return handle;
}

Completion Client::cleanup(const Handle& handle, KIRQL irql) {
  Request request;
  request.major = IRP_MJ_CLEANUP;
  request.irql = irql;
  return wait(submit(&handle, IRP_MJ_CLEANUP, request));
}

Completion Client::close(Handle& handle, KIRQL irql) {
  Request request;
  request.major = IRP_MJ_CLOSE;
  request.irql = irql;
  Completion result = wait(submit(&handle, IRP_MJ_CLOSE, request));
  handle.open_status = STATUS_PENDING;
  return result;
}

EmuThread& Client::spawn(std::string name, std::function<void()> body) {
  return kernel_.machine().create_thread(std::move(name), std::move(body));
}

size_t Client::outstanding() const {
  size_t n = 0;
  for (const auto& state : tracked_)
    if (!state->result.done) ++n;
  return n;
}

std::string Client::accounting_report() const {
  std::ostringstream out;
  for (const auto& state : tracked_) {
    if (state->result.completions == 1) continue;
    out << "  request " << state->id << " " << state->name << " sent at "
        << format_vtime(state->result.sent_at) << ": ";
    if (state->result.completions == 0)
      out << "never completed\n";
    else
      out << "completed " << state->result.completions << " times\n";
  }
  return out.str();
}

}  // namespace hs
