// One COM port of VCOMM: the settings record, the receive and transmit
// queues in the caller's buffers, the event mask with its pending events,
// the error word and the notification routine, over the UART behind it.
#pragma once

#include <vcomm.h>

#include <string>

#include "vcomm/port_services.h"
#include "vcomm/uart.h"

namespace hs {

class VcommPort : public UartClient {
 public:
  VcommPort(Vcomm& vcomm, std::string name, Uart& uart);
  ~VcommPort() override;

  const std::string& name() const { return name_; }
  bool is_open() const { return open_; }
  ULONG handle() const { return handle_; }
  PortSnapshot snapshot() const;

  // The services, each after the entry checks; results as the services'.
  ULONG open(ULONG handle);
  ULONG close();
  ULONG set_state(const DCB& dcb, ULONG mask);
  ULONG get_state(DCB* dcb);
  ULONG setup(UCHAR* rx, ULONG rx_size, UCHAR* tx, ULONG tx_size);
  ULONG transmit_char(UCHAR c);
  ULONG queue_status(COMSTAT* stat);
  ULONG clear_error(COMSTAT* stat, ULONG* errors);
  ULONG modem_status(ULONG* out);
  ULONG properties(COMMPROP* prop);
  ULONG escape(ULONG function);
  ULONG purge(ULONG queue);
  ULONG set_event_mask(ULONG mask);
  ULONG get_event_mask(ULONG clear, ULONG* out);
  ULONG write(const UCHAR* buffer, ULONG length, ULONG* written);
  ULONG read(UCHAR* buffer, ULONG length, ULONG* got);
  ULONG enable_notification(PVCOMM_NOTIFY_ROUTINE routine, PVOID data);
  ULONG timeouts(COMMTIMEOUTS* timeouts, ULONG action);

  // Brings the port up to date with the UART (arrived bytes, drained
  // transmitter, modem lines) and, at the end of a service, delivers the
  // notification for events that became pending.
  void settle();
  void finish_service();

  void uart_interrupt() override;

 private:
  void take_received();
  void occur(ULONG events);
  void notify_now();
  void update_interest();
  ULONG rx_free() const { return rx_size_ - rx_count_; }
  ULONG tx_queued() const;
  ULONG status_bits() const;
  bool apply_format(const DCB& merged);

  Vcomm& vcomm_;
  std::string name_;
  Uart& uart_;
  bool open_ = false;
  ULONG handle_ = 0;

  DCB dcb_{};
  COMMTIMEOUTS timeouts_{};

  UCHAR* rx_ = nullptr;  // the receive queue: a ring in the caller's buffer
  ULONG rx_size_ = 0;
  ULONG rx_head_ = 0;  // next byte to read
  ULONG rx_count_ = 0;
  UCHAR* tx_ = nullptr;  // the transmit queue: a ring in the caller's buffer
  ULONG tx_size_ = 0;
  ULONG tx_tail_ = 0;  // where the next written byte goes

  ULONG mask_ = 0;        // enabled events
  ULONG events_ = 0;      // pending events (enabled ones only)
  ULONG unnotified_ = 0;  // pending events the routine has not been told of
  ULONG errors_ = 0;      // CE_* bits
  bool eof_ = false;      // EofChar received
  bool xoff_hold_ = false;
  bool tx_active_ = false;  // bytes were queued since the transmitter was last empty
  ModemLines lines_;        // modem lines as last seen
  UartControl control_;

  PVCOMM_NOTIFY_ROUTINE notify_ = nullptr;
  PVOID notify_data_ = nullptr;
  bool interrupt_posted_ = false;
};

}  // namespace hs
