// VCOMM's ring-0 port services and VMM's Schedule_Global_Event on the
// emulated machine. The drivers call the services declared in
// portbridge/vcomm.h; this is the host side: which COM ports exist, the UART
// behind each, and what tests may look at.
//
// One Vcomm per machine (Vcomm::current()). Every service call is a
// scheduling point, may be failed by the fault plan (family "vcomm", the
// service's name without prefix: "OpenComm", "ReadComm", ...), and emits a
// "vcomm" trace event with fields svc, port and ret, rendered as
//   _VCOMM_SetCommState(COM2, Rate: 9600 8N1 ...) = 1
#pragma once

#include <vcomm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "machine/machine.h"
#include "vcomm/uart.h"

namespace hs {

class VcommPort;

// What a test may see of a port.
struct PortSnapshot {
  bool open = false;
  ULONG handle = 0;
  DCB dcb{};
  ULONG event_mask = 0;              // enabled events
  ULONG events = 0;                  // pending events
  ULONG errors = 0;                  // CE_* bits not yet cleared
  ULONG status = 0;                  // COMSTAT status bits
  ULONG rx_queued = 0;               // bytes in the receive queue
  ULONG tx_queued = 0;               // bytes in the transmit queue
  const UCHAR* rx_buffer = nullptr;  // the caller's buffers given by SetupComm
  ULONG rx_size = 0;
  const UCHAR* tx_buffer = nullptr;
  ULONG tx_size = 0;
  bool notification = false;  // a notification routine is registered
  UartControl control;        // DTR, RTS, break as driven
  COMMTIMEOUTS timeouts{};
};

class Vcomm {
 public:
  explicit Vcomm(Machine& machine);
  ~Vcomm();
  Vcomm(const Vcomm&) = delete;
  Vcomm& operator=(const Vcomm&) = delete;

  static Vcomm& current();
  static Vcomm* current_or_null();
  Machine& machine() { return machine_; }

  // Makes a COM port `name` ("COM2") backed by `uart`, which must outlive
  // the Vcomm or be removed first.
  void add_port(std::string name, Uart& uart);
  void remove_port(std::string_view name);
  std::optional<PortSnapshot> snapshot(std::string_view name) const;

  // Called at the entry of every service (after its fault check) with the
  // service's name: lets a test change the world in the middle of a call,
  // e.g. raise a modem-status change inside a notification.
  void set_service_hook(std::function<void(std::string_view service)> hook);

  // Number of calls of a service so far ("ReadComm").
  uint64_t calls(std::string_view service) const;
  // Notification routines running now (nesting depth) and the deepest seen.
  int notify_depth() const { return notify_depth_; }
  int max_notify_depth() const { return max_notify_depth_; }

  // ---- used by the service entry points (services.cpp)
  VcommPort* port_by_handle(ULONG handle);
  VcommPort* port_by_name(std::string_view name);
  // Counts the call, runs the scheduling point, the fault check (unless the
  // service cannot fail) and the hook. True when the call must fail.
  bool enter(std::string_view service, bool can_fail = true);
  ULONG allocate_handle() { return next_handle_++; }
  void notify_enter();
  void notify_leave();

 private:
  Machine& machine_;
  std::map<std::string, std::unique_ptr<VcommPort>, std::less<>> ports_;
  std::map<std::string, uint64_t, std::less<>> calls_;
  std::function<void(std::string_view)> hook_;
  ULONG next_handle_ = 0x00C0FF10;
  int notify_depth_ = 0;
  int max_notify_depth_ = 0;
  friend class VcommPort;
};

// "Rate: 9600 8N1 ..." rendering of a DCB for traces.
std::string describe_dcb(const DCB& dcb, ULONG action_mask);
// The literal rate of a DCB BaudRate (index codes resolved); 0 when unknown.
uint32_t dcb_rate(ULONG baud_rate);

}  // namespace hs
