// The port-service entry points the drivers call, and the host side of
// VCOMM: ports by name, fault injection, the "vcomm" trace.
#include <cstdio>
#include <string>

#include "vcomm/port_services.h"
#include "vcomm/vcomm_port.h"

namespace hs {
namespace {

struct VcommSlot {
  Vcomm* vcomm = nullptr;
};

std::string hex32(ULONG value) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%X", value);
  return buffer;
}

std::string preview(const UCHAR* data, ULONG length) {
  if (data == nullptr || length == 0) return {};
  ULONG shown = length > 32 ? 32 : length;
  std::string text = hex_bytes(data, shown);
  if (shown < length) text += " ...";
  return text;
}

const char* escape_name(ULONG function) {
  switch (function) {
    case SETXOFF:
      return "SETXOFF";
    case SETXON:
      return "SETXON";
    case SETRTS:
      return "SETRTS";
    case CLRRTS:
      return "CLRRTS";
    case SETDTR:
      return "SETDTR";
    case CLRDTR:
      return "CLRDTR";
    case SETBREAK:
      return "SETBREAK";
    case CLRBREAK:
      return "CLRBREAK";
    case ESCAPE_AFTER_BAUD_CHANGE:
      return "16";
    default:
      return nullptr;
  }
}

// One service call: entry checks, the work, the trace event.
class Call {
 public:
  Call(const char* service, ULONG port) : service_(service), port_handle_(port) {
    vcomm_ = Vcomm::current_or_null();
    if (vcomm_ == nullptr) return;
    failed_ = vcomm_->enter(service);
    port_ = vcomm_->port_by_handle(port);
  }
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // The port to work on, or null when the call fails (fault, bad handle).
  VcommPort* port() const { return failed_ ? nullptr : port_; }
  bool failed() const { return failed_ || vcomm_ == nullptr; }
  std::string port_name() const {
    if (port_ != nullptr) return port_->name();
    return hex32(port_handle_);
  }

  // Whether the trace wants the event (the text is built only then).
  bool traced() const { return vcomm_ != nullptr && vcomm_->machine().trace().active(); }

  ULONG done(ULONG ret, const std::string& args, const std::string& after = {}) {
    if (vcomm_ == nullptr) return ret;
    if (!traced()) {
      if (port_ != nullptr && !failed_) port_->finish_service();
      return ret;
    }
    TraceEvent event;
    event.ev = "vcomm";
    event.add("svc", std::string(service_));
    event.add("port", port_name());
    event.add("ret", static_cast<int64_t>(static_cast<LONG>(ret)));
    if (failed_) event.add("fault", int64_t{1});
    event.text = std::string("_VCOMM_") + service_ + "(" + args +
                 ") = " + std::to_string(static_cast<LONG>(ret)) +
                 (after.empty() ? "" : "  " + after) + (failed_ ? "  [injected failure]" : "");
    vcomm_->machine().trace().emit(std::move(event));
    if (port_ != nullptr && !failed_) port_->finish_service();
    return ret;
  }

 private:
  const char* service_;
  ULONG port_handle_;
  Vcomm* vcomm_ = nullptr;
  VcommPort* port_ = nullptr;
  bool failed_ = false;
};

}  // namespace

// ------------------------------------------------------------------ Vcomm

Vcomm::Vcomm(Machine& machine) : machine_(machine) {
  machine_.service_state<VcommSlot>().vcomm = this;
}

Vcomm::~Vcomm() {
  ports_.clear();
  if (Machine::current_or_null() == &machine_) machine_.service_state<VcommSlot>().vcomm = nullptr;
}

Vcomm& Vcomm::current() {
  Vcomm* vcomm = current_or_null();
  if (vcomm == nullptr)
    Machine::current().violation("no VCOMM",
                                 "a port service was called on a machine without VCOMM");
  return *vcomm;
}

Vcomm* Vcomm::current_or_null() {
  Machine* machine = Machine::current_or_null();
  if (machine == nullptr) return nullptr;
  return machine->service_state<VcommSlot>().vcomm;
}

void Vcomm::add_port(std::string name, Uart& uart) {
  auto port = std::make_unique<VcommPort>(*this, name, uart);
  ports_[std::move(name)] = std::move(port);
}

void Vcomm::remove_port(std::string_view name) {
  auto it = ports_.find(name);
  if (it != ports_.end()) ports_.erase(it);
}

std::optional<PortSnapshot> Vcomm::snapshot(std::string_view name) const {
  auto it = ports_.find(name);
  if (it == ports_.end()) return std::nullopt;
  return it->second->snapshot();
}

void Vcomm::set_service_hook(std::function<void(std::string_view)> hook) {
  hook_ = std::move(hook);
}

uint64_t Vcomm::calls(std::string_view service) const {
  auto it = calls_.find(service);
  return it == calls_.end() ? 0 : it->second;
}

VcommPort* Vcomm::port_by_handle(ULONG handle) {
  if (handle == 0) return nullptr;
  for (auto& [name, port] : ports_)
    if (port->is_open() && port->handle() == handle) return port.get();
  return nullptr;
}

VcommPort* Vcomm::port_by_name(std::string_view name) {
  auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second.get();
}

bool Vcomm::enter(std::string_view service, bool can_fail) {
  auto it = calls_.find(service);
  if (it == calls_.end())
    calls_.emplace(std::string(service), 1);
  else
    ++it->second;
  machine_.service_point(service);
  bool fail = can_fail && machine_.faults().should_fail(FaultSite{"vcomm", std::string(service)});
  if (hook_) {
    auto hook = hook_;  // the hook may replace itself
    hook(service);
  }
  return fail;
}

void Vcomm::notify_enter() {
  ++notify_depth_;
  if (notify_depth_ > max_notify_depth_) max_notify_depth_ = notify_depth_;
}

void Vcomm::notify_leave() { --notify_depth_; }

uint32_t dcb_rate(ULONG baud_rate) {
  switch (baud_rate) {
    case CBR_110:
      return 110;
    case CBR_300:
      return 300;
    case CBR_600:
      return 600;
    case CBR_1200:
      return 1200;
    case CBR_2400:
      return 2400;
    case CBR_4800:
      return 4800;
    case CBR_9600:
      return 9600;
    case CBR_14400:
      return 14400;
    case CBR_19200:
      return 19200;
    case CBR_38400:
      return 38400;
    case CBR_56000:
      return 56000;
    case CBR_128000:
      return 128000;
    case CBR_256000:
      return 256000;
    default:
      break;
  }
  if (baud_rate >= 0xFF00 && baud_rate <= 0xFFFF) return 0;  // an unknown index code
  return baud_rate;
}

std::string describe_dcb(const DCB& dcb, ULONG mask) {
  static const char kParity[] = "NOEMS";
  std::string text;
  if (mask & (fBaudRate | fByteSize | fbParity | fStopBits)) {
    char buffer[96];
    const char* stop = dcb.StopBits == 0 ? "1" : dcb.StopBits == 1 ? "1.5" : "2";
    char parity = dcb.Parity < 5 ? kParity[dcb.Parity] : '?';
    if (dcb.BaudRate >= 0xFF00 && dcb.BaudRate <= 0xFFFF)
      snprintf(buffer, sizeof buffer, "Rate: %u (0x%X) %u%c%s", dcb_rate(dcb.BaudRate),
               dcb.BaudRate, dcb.ByteSize, parity, stop);
    else
      snprintf(buffer, sizeof buffer, "Rate: %u %u%c%s", dcb.BaudRate, dcb.ByteSize, parity, stop);
    text = buffer;
  }
  if (mask & fBitMask)
    text += (text.empty() ? "" : " ") + std::string("Flags: ") + hex32(dcb.BitMask);
  if (mask & (fXonChar | fXoffChar | fErrorChar | fEofChar | fEvtChar1)) {
    char buffer[96];
    snprintf(buffer, sizeof buffer,
             "Chars: Xon 0x%02X Xoff 0x%02X Err 0x%02X Eof 0x%02X Evt 0x%02X", dcb.XonChar,
             dcb.XoffChar, dcb.ErrorChar, dcb.EofChar, dcb.EvtChar1);
    text += (text.empty() ? "" : " ") + std::string(buffer);
  }
  return text + (text.empty() ? "" : " ") + "Mask: " + hex32(mask);
}

}  // namespace hs

using hs::Call;
using hs::escape_name;
using hs::hex32;
using hs::preview;

// ---------------------------------------------------------- the services

HS_EXTERN_C_BEGIN

ULONG NTAPI _VCOMM_OpenComm(PCHAR Name, ULONG Vm) {
  hs::Vcomm* vcomm = hs::Vcomm::current_or_null();
  if (vcomm == nullptr) return IE_BADID;
  bool fail = vcomm->enter("OpenComm");
  std::string name = Name ? std::string(Name) : std::string();
  ULONG ret;
  hs::VcommPort* port = Name ? vcomm->port_by_name(name) : nullptr;
  if (fail || port == nullptr)
    ret = IE_BADID;
  else if (port->is_open())
    ret = IE_OPEN;
  else
    ret = port->open(vcomm->allocate_handle());
  hs::TraceEvent event;
  event.ev = "vcomm";
  event.add("svc", std::string("OpenComm"));
  event.add("port", name);
  event.add("ret", static_cast<int64_t>(static_cast<LONG>(ret)));
  char vm[16];
  snprintf(vm, sizeof vm, "%d", static_cast<LONG>(Vm));
  event.text = "_VCOMM_OpenComm(\"" + name + "\", " + vm +
               ") = " + std::to_string(static_cast<LONG>(ret)) +
               (fail ? "  [injected failure]" : "");
  vcomm->machine().trace().emit(std::move(event));
  return ret;
}

ULONG NTAPI _VCOMM_SetCommState(ULONG Port, PDCB Dcb, ULONG ActionMask) {
  Call call("SetCommState", Port);
  ULONG ret = call.port() && Dcb ? call.port()->set_state(*Dcb, ActionMask) : 0;
  return call.done(ret,
                   call.port_name() + ", " + (Dcb ? hs::describe_dcb(*Dcb, ActionMask) : "null"));
}

ULONG NTAPI _VCOMM_GetCommState(ULONG Port, PDCB Dcb) {
  Call call("GetCommState", Port);
  ULONG ret = call.port() && Dcb ? call.port()->get_state(Dcb) : 0;
  return call.done(ret, call.port_name(), ret ? hs::describe_dcb(*Dcb, 0x1E0FF) : "");
}

ULONG NTAPI _VCOMM_SetupComm(ULONG Port, PUCHAR RxBuffer, ULONG RxSize, PUCHAR TxBuffer,
                             ULONG TxSize, PVOID Reserved8) {
  (void)Reserved8;
  Call call("SetupComm", Port);
  ULONG ret = call.port() ? call.port()->setup(RxBuffer, RxSize, TxBuffer, TxSize) : 0;
  return call.done(ret, call.port_name() + ", Rx: " + std::to_string(RxSize) +
                            ", Tx: " + std::to_string(TxSize));
}

ULONG NTAPI _VCOMM_TransmitCommChar(ULONG Port, ULONG Char) {
  Call call("TransmitCommChar", Port);
  ULONG ret = call.port() ? call.port()->transmit_char(static_cast<UCHAR>(Char)) : 0;
  char text[16];
  snprintf(text, sizeof text, "0x%02X", Char & 0xFF);
  return call.done(ret, call.port_name() + ", " + text);
}

ULONG NTAPI _VCOMM_CloseComm(ULONG Port) {
  Call call("CloseComm", Port);
  ULONG ret = call.port() ? call.port()->close() : 0;
  return call.done(ret, call.port_name());
}

ULONG NTAPI _VCOMM_GetCommQueueStatus(ULONG Port, PCOMSTAT ComStat) {
  Call call("GetCommQueueStatus", Port);
  ULONG ret = call.port() && ComStat ? call.port()->queue_status(ComStat) : 0;
  if (!call.traced()) return call.done(ret, {});
  std::string after;
  if (ret)
    after = "Status: " + hex32(ComStat->BitMask) + " In: " + std::to_string(ComStat->cbInQue) +
            " Out: " + std::to_string(ComStat->cbOutQue);
  return call.done(ret, call.port_name(), after);
}

ULONG NTAPI _VCOMM_ClearCommError(ULONG Port, PCOMSTAT ComStat, PULONG Errors) {
  Call call("ClearCommError", Port);
  ULONG errors = 0;
  ULONG ret = call.port() ? call.port()->clear_error(ComStat, &errors) : 0;
  if (ret && Errors) *Errors = errors;
  if (!call.traced()) return call.done(ret, {});
  std::string after;
  if (ret) {
    after = "Errors: " + hex32(errors);
    if (ComStat)
      after +=
          " In: " + std::to_string(ComStat->cbInQue) + " Out: " + std::to_string(ComStat->cbOutQue);
  }
  return call.done(ret, call.port_name(), after);
}

ULONG NTAPI _VCOMM_GetModemStatus(ULONG Port, PULONG ModemStatus) {
  Call call("GetModemStatus", Port);
  ULONG ret = call.port() && ModemStatus ? call.port()->modem_status(ModemStatus) : 0;
  if (!call.traced()) return call.done(ret, {});
  return call.done(ret, call.port_name(), ret ? "Status: " + hex32(*ModemStatus) : "");
}

ULONG NTAPI _VCOMM_GetCommProperties(ULONG Port, PCOMMPROP CommProp) {
  Call call("GetCommProperties", Port);
  ULONG ret = call.port() && CommProp ? call.port()->properties(CommProp) : 0;
  return call.done(ret, call.port_name());
}

ULONG NTAPI _VCOMM_EscapeCommFunction(ULONG Port, ULONG Function, ULONG InData, PVOID OutData) {
  (void)InData;
  (void)OutData;
  Call call("EscapeCommFunction", Port);
  ULONG ret = call.port() ? call.port()->escape(Function) : 0;
  const char* name = escape_name(Function);
  return call.done(ret, call.port_name() + ", " + (name ? name : std::to_string(Function)));
}

ULONG NTAPI _VCOMM_PurgeComm(ULONG Port, ULONG Queue) {
  Call call("PurgeComm", Port);
  ULONG ret = call.port() ? call.port()->purge(Queue) : 0;
  return call.done(ret,
                   call.port_name() + (Queue == VCOMM_PURGE_TX   ? ", tx"
                                       : Queue == VCOMM_PURGE_RX ? ", rx"
                                                                 : ", " + std::to_string(Queue)));
}

ULONG NTAPI _VCOMM_SetCommEventMask(ULONG Port, ULONG Mask, PULONG Events) {
  (void)Events;
  Call call("SetCommEventMask", Port);
  ULONG ret = call.port() ? call.port()->set_event_mask(Mask) : 0;
  if (!call.traced()) return call.done(ret, {});
  return call.done(ret, call.port_name() + ", " + hex32(Mask));
}

ULONG NTAPI _VCOMM_GetCommEventMask(ULONG Port, ULONG EventsToClear, PULONG Events) {
  Call call("GetCommEventMask", Port);
  ULONG ret = call.port() && Events ? call.port()->get_event_mask(EventsToClear, Events) : 0;
  if (!call.traced()) return call.done(ret, {});
  return call.done(ret, call.port_name() + ", clear " + hex32(EventsToClear),
                   ret ? "Events: " + hex32(*Events) : "");
}

ULONG NTAPI _VCOMM_WriteComm(ULONG Port, PUCHAR Buffer, ULONG Length, PULONG Written) {
  Call call("WriteComm", Port);
  ULONG written = 0;
  ULONG ret = call.port() && (Buffer || Length == 0) && Written
                  ? call.port()->write(Buffer, Length, &written)
                  : 0;
  if (ret) *Written = written;
  return call.done(
      ret, call.port_name() + ", " + std::to_string(Length),
      ret ? "Written: " + std::to_string(written) + "  " + preview(Buffer, written) : "");
}

ULONG NTAPI _VCOMM_ReadComm(ULONG Port, PUCHAR Buffer, ULONG Length, PULONG Read) {
  Call call("ReadComm", Port);
  ULONG got = 0;
  ULONG ret =
      call.port() && (Buffer || Length == 0) && Read ? call.port()->read(Buffer, Length, &got) : 0;
  if (ret) *Read = got;
  if (!call.traced()) return call.done(ret, {});
  return call.done(ret, call.port_name() + ", " + std::to_string(Length),
                   ret ? "Read: " + std::to_string(got) + "  " + preview(Buffer, got) : "");
}

ULONG NTAPI _VCOMM_EnableCommNotification(ULONG Port, PVCOMM_NOTIFY_ROUTINE Routine, PVOID Data) {
  Call call("EnableCommNotification", Port);
  ULONG ret = call.port() ? call.port()->enable_notification(Routine, Data) : 0;
  return call.done(ret, call.port_name() + (Routine ? ", on" : ", off"));
}

ULONG NTAPI _VCOMM_GetSetCommTimeouts(ULONG Port, PCOMMTIMEOUTS Timeouts, ULONG Action) {
  Call call("GetSetCommTimeouts", Port);
  ULONG ret = call.port() && Timeouts ? call.port()->timeouts(Timeouts, Action) : 0;
  if (!call.traced()) return call.done(ret, {});
  std::string values;
  if (ret) {
    char buffer[96];
    snprintf(buffer, sizeof buffer, "RI:%u RM:%u RC:%u WM:%u WC:%u", Timeouts->ReadIntervalTimeout,
             Timeouts->ReadTotalTimeoutMultiplier, Timeouts->ReadTotalTimeoutConstant,
             Timeouts->WriteTotalTimeoutMultiplier, Timeouts->WriteTotalTimeoutConstant);
    values = buffer;
  }
  return call.done(ret, call.port_name() + (Action == VCOMM_TIMEOUTS_SET ? ", set" : ", get"),
                   values);
}

ULONG NTAPI Schedule_Global_Event(PVMM_EVENT_ROUTINE Routine, PVOID RefData) {
  hs::Vcomm* vcomm = hs::Vcomm::current_or_null();
  if (vcomm == nullptr || Routine == nullptr) return 0;
  // VMM's service has no failure return: it always schedules the event.
  bool fail = vcomm->enter("Schedule_Global_Event", /*can_fail=*/false);
  ULONG handle = 0;
  if (!fail)
    handle = vcomm->machine().schedule_global_event([Routine, RefData] { Routine(RefData); });
  hs::TraceEvent event;
  event.ev = "vcomm";
  event.add("svc", std::string("Schedule_Global_Event"));
  event.add("ret", static_cast<int64_t>(handle));
  event.text =
      "Schedule_Global_Event() = " + std::to_string(handle) + (fail ? "  [injected failure]" : "");
  vcomm->machine().trace().emit(std::move(event));
  return handle;
}

HS_EXTERN_C_END
