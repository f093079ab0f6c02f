#include "vcomm/vcomm_port.h"

#include <ntddser.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace hs {
namespace {

// Published COMMPROP values of a serial port.
constexpr ULONG kSpSerialComm = 0x00000001;
constexpr ULONG kPstRs232 = 0x00000001;
constexpr ULONG kProvCapabilities = 0x000000FF;  // DTR/DSR .. interval timeouts
constexpr ULONG kSettableParams = 0x0000007F;    // parity .. RLSD
constexpr USHORT kSettableData = 0x000F;         // 5 to 8 data bits
constexpr USHORT kSettableStopParity = 0x1F07;   // 1, 1.5, 2 stop bits; every parity

struct BaudFlag {
  uint32_t rate;
  ULONG flag;
};
constexpr BaudFlag kBaudFlags[] = {
    {75, 0x1},         {110, 0x2},        {150, 0x8},       {300, 0x10},     {600, 0x20},
    {1200, 0x40},      {1800, 0x80},      {2400, 0x100},    {4800, 0x200},   {7200, 0x400},
    {9600, 0x800},     {14400, 0x1000},   {19200, 0x2000},  {38400, 0x4000}, {56000, 0x8000},
    {128000, 0x10000}, {115200, 0x20000}, {57600, 0x40000},
};

constexpr ULONG kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

}  // namespace

VcommPort::VcommPort(Vcomm& vcomm, std::string name, Uart& uart)
    : vcomm_(vcomm), name_(std::move(name)), uart_(uart) {}

VcommPort::~VcommPort() {
  if (open_) uart_.attach(nullptr);
}

PortSnapshot VcommPort::snapshot() const {
  PortSnapshot s;
  s.open = open_;
  s.handle = handle_;
  s.dcb = dcb_;
  s.event_mask = mask_;
  s.events = events_;
  s.errors = errors_;
  s.status = status_bits();
  s.rx_queued = rx_count_;
  s.tx_queued = open_ ? tx_queued() : 0;
  s.rx_buffer = rx_;
  s.rx_size = rx_size_;
  s.tx_buffer = tx_;
  s.tx_size = tx_size_;
  s.notification = notify_ != nullptr;
  s.control = control_;
  s.timeouts = timeouts_;
  return s;
}

// ------------------------------------------------------------ open, close

ULONG VcommPort::open(ULONG handle) {
  open_ = true;
  handle_ = handle;
  RtlZeroMemory(&dcb_, sizeof dcb_);
  UartFormat format = uart_.format();
  dcb_.DCBLength = sizeof(DCB);
  dcb_.BaudRate = format.rate;
  dcb_.BitMask = fBinary;
  dcb_.ByteSize = format.data_bits;
  dcb_.Parity = format.parity;
  dcb_.StopBits = format.stop_bits;
  dcb_.XonChar = 0x11;
  dcb_.XoffChar = 0x13;
  RtlZeroMemory(&timeouts_, sizeof timeouts_);
  rx_ = tx_ = nullptr;
  rx_size_ = tx_size_ = rx_head_ = rx_count_ = tx_tail_ = 0;
  mask_ = events_ = unnotified_ = errors_ = 0;
  eof_ = xoff_hold_ = tx_active_ = false;
  notify_ = nullptr;
  notify_data_ = nullptr;
  control_ = uart_.control();
  uart_.purge_rx();
  uart_.hold_tx(false);
  lines_ = uart_.modem_lines();
  uart_.attach(this);
  update_interest();
  return handle;
}

ULONG VcommPort::close() {
  uart_.purge_tx();
  uart_.attach(nullptr);
  uart_.set_interest(UartInterest{});
  open_ = false;
  notify_ = nullptr;
  notify_data_ = nullptr;
  rx_ = tx_ = nullptr;  // the caller may free its buffers now
  rx_size_ = tx_size_ = rx_head_ = rx_count_ = tx_tail_ = 0;
  handle_ = 0;
  return 1;
}

// -------------------------------------------------------------- settings

bool VcommPort::apply_format(const DCB& merged) {
  UartFormat format;
  format.rate = dcb_rate(merged.BaudRate);
  format.data_bits = merged.ByteSize;
  format.parity = merged.Parity;
  format.stop_bits = merged.StopBits;
  if (format.rate == 0 || !uart_.supports(format)) return false;
  if (format == uart_.format()) return true;
  settle();
  return uart_.set_format(format);
}

ULONG VcommPort::set_state(const DCB& dcb, ULONG mask) {
  DCB merged = dcb_;
  if (mask & fBaudRate) merged.BaudRate = dcb.BaudRate;
  if (mask & fBitMask) merged.BitMask = dcb.BitMask;
  if (mask & fXonLim) merged.XonLim = dcb.XonLim;
  if (mask & fXoffLim) merged.XoffLim = dcb.XoffLim;
  if (mask & fByteSize) merged.ByteSize = dcb.ByteSize;
  // The line format is applied whole: callers set ByteSize and StopBits
  // (0x1E05F) and rely on Parity coming with them.
  if (mask & (fbParity | fByteSize | fStopBits)) merged.Parity = dcb.Parity;
  if (mask & fStopBits) merged.StopBits = dcb.StopBits;
  if (mask & fXonChar) merged.XonChar = dcb.XonChar;
  if (mask & fXoffChar) merged.XoffChar = dcb.XoffChar;
  if (mask & fErrorChar) merged.ErrorChar = dcb.ErrorChar;
  if (mask & fEofChar) merged.EofChar = dcb.EofChar;
  if (mask & fEvtChar1) merged.EvtChar1 = dcb.EvtChar1;
  if (mask & fEvtChar2) merged.EvtChar2 = dcb.EvtChar2;
  if (mask & fRlsTimeout) merged.RlsTimeout = dcb.RlsTimeout;
  if (mask & fCtsTimeout) merged.CtsTimeout = dcb.CtsTimeout;
  if (mask & fDsrTimeout) merged.DsrTimeout = dcb.DsrTimeout;
  if (mask & fTxDelay) merged.TxDelay = dcb.TxDelay;
  if (mask & (fBaudRate | fByteSize | fbParity | fStopBits)) {
    if (!apply_format(merged)) return 0;  // refused: nothing changed
  }
  dcb_ = merged;
  dcb_.DCBLength = sizeof(DCB);
  if (mask & fBitMask) {
    UartControl control = control_;
    if (dcb_.BitMask & fDTRDisable)
      control.dtr = false;
    else if (dcb_.BitMask & fDtrEnable)
      control.dtr = true;
    if (dcb_.BitMask & fRTSDisable)
      control.rts = false;
    else if (dcb_.BitMask & fRtsEnable)
      control.rts = true;
    if (!(control == control_)) {
      control_ = control;
      uart_.set_control(control_);
    }
  }
  update_interest();
  return 1;
}

ULONG VcommPort::get_state(DCB* dcb) {
  *dcb = dcb_;
  return 1;
}

ULONG VcommPort::setup(UCHAR* rx, ULONG rx_size, UCHAR* tx, ULONG tx_size) {
  if (rx == nullptr || rx_size == 0 || tx == nullptr || tx_size == 0) return 0;
  settle();
  // Bytes still queued move into the new receive buffer (which may be the
  // old one again); the old buffers are not touched once this call returns.
  std::vector<UCHAR> queued(rx_count_);
  for (ULONG i = 0; i < rx_count_; ++i) queued[i] = rx_[(rx_head_ + i) % rx_size_];
  ULONG keep = std::min(rx_count_, rx_size);
  if (keep > 0) std::memcpy(rx, queued.data(), keep);
  if (keep < rx_count_) {
    errors_ |= CE_RXOVER;
    occur(EV_ERR);
  }
  rx_ = rx;
  rx_size_ = rx_size;
  rx_head_ = 0;
  rx_count_ = keep;
  ULONG pending = std::min<ULONG>(tx_queued(), tx_size);
  tx_ = tx;
  tx_size_ = tx_size;
  tx_tail_ = pending % tx_size;
  update_interest();
  return 1;
}

ULONG VcommPort::timeouts(COMMTIMEOUTS* timeouts, ULONG action) {
  if (action == VCOMM_TIMEOUTS_GET) {
    *timeouts = timeouts_;
    return 1;
  }
  if (action == VCOMM_TIMEOUTS_SET) {
    timeouts_ = *timeouts;
    return 1;
  }
  return 0;
}

ULONG VcommPort::properties(COMMPROP* prop) {
  RtlZeroMemory(prop, sizeof(COMMPROP));
  prop->wPacketLength = sizeof(COMMPROP);
  prop->wPacketVersion = 2;
  prop->dwServiceMask = kSpSerialComm;
  prop->dwMaxTxQueue = 0;  // no limit but the caller's buffer
  prop->dwMaxRxQueue = 0;
  prop->dwProvSubType = kPstRs232;
  prop->dwProvCapabilities = kProvCapabilities;
  prop->dwSettableParams = kSettableParams;
  ULONG settable = 0;
  ULONG max_flag = 0;
  for (const auto& b : kBaudFlags) {
    UartFormat f = uart_.format();
    f.rate = b.rate;
    if (uart_.supports(f)) {
      settable |= b.flag;
      if (b.rate == uart_.max_rate()) max_flag = b.flag;
    }
  }
  prop->dwMaxBaud = max_flag;
  prop->dwSettableBaud = settable;
  prop->wSettableData = kSettableData;
  prop->wSettableStopParity = kSettableStopParity;
  prop->dwCurrentTxQueue = tx_size_;
  prop->dwCurrentRxQueue = rx_size_;
  return 1;
}

// ------------------------------------------------------------ transfer

ULONG VcommPort::tx_queued() const { return static_cast<ULONG>(uart_.tx_pending()); }

ULONG VcommPort::write(const UCHAR* buffer, ULONG length, ULONG* written) {
  settle();
  ULONG queued = tx_queued();
  ULONG space = tx_size_ > queued ? tx_size_ - queued : 0;
  ULONG n = std::min(length, space);
  for (ULONG i = 0; i < n; ++i) {
    tx_[tx_tail_] = buffer[i];
    tx_tail_ = (tx_tail_ + 1) % tx_size_;
  }
  if (n > 0) {
    uart_.transmit(buffer, n);
    tx_active_ = true;
  }
  *written = n;
  update_interest();
  return 1;
}

ULONG VcommPort::transmit_char(UCHAR c) {
  settle();
  uart_.transmit_first(c);
  tx_active_ = true;
  update_interest();
  return 1;
}

ULONG VcommPort::read(UCHAR* buffer, ULONG length, ULONG* got) {
  settle();
  ULONG n = std::min(length, rx_count_);
  ULONG first = std::min(n, rx_size_ - rx_head_);
  if (first > 0) std::memcpy(buffer, rx_ + rx_head_, first);
  if (n > first) std::memcpy(buffer + first, rx_, n - first);
  if (n > 0) {
    rx_head_ = (rx_head_ + n) % rx_size_;
    rx_count_ -= n;
  }
  *got = n;
  update_interest();
  return 1;
}

ULONG VcommPort::purge(ULONG queue) {
  settle();
  if (queue == VCOMM_PURGE_TX) {
    uart_.purge_tx();
    tx_tail_ = 0;
  } else if (queue == VCOMM_PURGE_RX) {
    uart_.purge_rx();
    rx_head_ = rx_count_ = 0;
  } else {
    return 0;
  }
  update_interest();
  return 1;
}

ULONG VcommPort::status_bits() const {
  ULONG bits = 0;
  if ((dcb_.BitMask & fOutXCTSFlow) && !lines_.cts) bits |= fCtsHold;
  if ((dcb_.BitMask & fOutXDSRFlow) && !lines_.dsr) bits |= fDsrHold;
  if (xoff_hold_) bits |= fXoffHold;
  if (eof_) bits |= fEof;
  return bits;
}

ULONG VcommPort::queue_status(COMSTAT* stat) {
  settle();
  stat->BitMask = status_bits();
  stat->cbInQue = rx_count_;
  stat->cbOutQue = tx_queued();
  update_interest();
  return 1;
}

ULONG VcommPort::clear_error(COMSTAT* stat, ULONG* errors) {
  settle();
  if (stat != nullptr) {
    stat->BitMask = status_bits();
    stat->cbInQue = rx_count_;
    stat->cbOutQue = tx_queued();
  }
  if (errors != nullptr) *errors = errors_;
  errors_ = 0;
  update_interest();
  return 1;
}

ULONG VcommPort::modem_status(ULONG* out) {
  settle();
  ModemLines lines = uart_.modem_lines();
  ULONG bits = 0;
  if (lines.cts) bits |= MS_CTS_ON;
  if (lines.dsr) bits |= MS_DSR_ON;
  if (lines.ri) bits |= MS_RING_ON;
  if (lines.dcd) bits |= MS_RLSD_ON;
  *out = bits;
  update_interest();
  return 1;
}

ULONG VcommPort::escape(ULONG function) {
  settle();
  UartControl control = control_;
  switch (function) {
    case SETXOFF:
      xoff_hold_ = true;
      uart_.hold_tx(true);
      break;
    case SETXON:
      xoff_hold_ = false;
      uart_.hold_tx(false);
      break;
    case SETRTS:
      control.rts = true;
      break;
    case CLRRTS:
      control.rts = false;
      break;
    case SETDTR:
      control.dtr = true;
      break;
    case CLRDTR:
      control.dtr = false;
      break;
    case SETBREAK:
      control.brk = true;
      break;
    case CLRBREAK:
      control.brk = false;
      break;
    case ESCAPE_AFTER_BAUD_CHANGE:
      // Issued after a rate change; the UART needs nothing more.
      break;
    default:
      return 0;
  }
  if (!(control == control_)) {
    control_ = control;
    uart_.set_control(control_);
  }
  update_interest();
  return 1;
}

// --------------------------------------------------------------- events

ULONG VcommPort::set_event_mask(ULONG mask) {
  settle();
  mask_ = mask;
  events_ &= mask;
  unnotified_ &= mask;
  update_interest();
  return 1;
}

ULONG VcommPort::get_event_mask(ULONG clear, ULONG* out) {
  settle();
  *out = events_;
  events_ &= ~clear;
  unnotified_ &= ~clear;
  update_interest();
  return 1;
}

ULONG VcommPort::enable_notification(PVCOMM_NOTIFY_ROUTINE routine, PVOID data) {
  settle();
  notify_ = routine;
  notify_data_ = routine ? data : nullptr;
  // Events pending before the routine was registered are not reported.
  unnotified_ = 0;
  update_interest();
  return 1;
}

void VcommPort::occur(ULONG events) {
  ULONG enabled = events & mask_;
  ULONG fresh = enabled & ~events_;
  events_ |= enabled;
  unnotified_ |= fresh;
}

// Moves what arrived into the receive queue and notes what changed.
void VcommPort::take_received() {
  uint8_t scratch[256];
  for (;;) {
    uint32_t byte_errors = 0;
    size_t got;
    bool into_ring = rx_size_ > 0 && rx_count_ < rx_size_;
    if (into_ring) {
      ULONG tail = (rx_head_ + rx_count_) % rx_size_;
      ULONG room = std::min(rx_free(), rx_size_ - tail);
      got = uart_.receive(rx_ + tail, room, &byte_errors);
      if (got == 0) break;
      // Filters on what arrived: NUL stripping, event character, EOF.
      UCHAR* start = rx_ + tail;
      size_t kept = got;
      if (byte_errors & CE_BREAK) {
        --kept;  // a break is not data
      } else if ((byte_errors & (CE_FRAME | CE_RXPARITY)) && (dcb_.BitMask & fPErrChar)) {
        start[got - 1] = dcb_.ErrorChar;
      }
      if (dcb_.BitMask & fNullStrip) {
        size_t w = 0;
        for (size_t i = 0; i < kept; ++i)
          if (start[i] != 0) start[w++] = start[i];
        kept = w;
      }
      if (kept > 0) {
        ULONG ev = EV_RXCHAR;
        if ((mask_ & EV_RXFLAG) && std::memchr(start, dcb_.EvtChar1, kept) != nullptr)
          ev |= EV_RXFLAG;
        if (dcb_.EofChar != 0 && std::memchr(start, dcb_.EofChar, kept) != nullptr) eof_ = true;
        rx_count_ += static_cast<ULONG>(kept);
        occur(ev);
      }
    } else {
      got = uart_.receive(scratch, sizeof scratch, &byte_errors);
      if (got == 0) break;
      size_t lost = got - ((byte_errors & CE_BREAK) ? 1 : 0);
      if (lost > 0) {
        errors_ |= CE_RXOVER;
        occur(EV_ERR);
      }
    }
    if (byte_errors != 0) {
      errors_ |= byte_errors;
      occur(EV_ERR | ((byte_errors & CE_BREAK) ? EV_BREAK : 0));
    }
  }
}

void VcommPort::settle() {
  if (!open_) return;
  take_received();
  if (tx_active_ && !uart_.tx_busy()) {
    tx_active_ = false;
    occur(EV_TXEMPTY);
  }
  ModemLines now = uart_.modem_lines();
  if (!(now == lines_)) {
    ULONG ev = 0;
    if (now.cts != lines_.cts) ev |= EV_CTS;
    if (now.dsr != lines_.dsr) ev |= EV_DSR;
    if (now.dcd != lines_.dcd) ev |= EV_RLSD;
    if (lines_.ri && !now.ri) ev |= EV_RING;  // trailing edge of a ring
    lines_ = now;
    occur(ev);
  }
}

void VcommPort::update_interest() {
  if (!open_) return;
  UartInterest interest;
  if (notify_ != nullptr) {
    ULONG waiting = mask_ & ~events_;
    interest.rx_data = (waiting & EV_RXCHAR) != 0;
    if (waiting & EV_RXFLAG) interest.rx_char = dcb_.EvtChar1;
    interest.rx_errors = (waiting & (EV_ERR | EV_BREAK)) != 0;
    if ((waiting & EV_ERR) && rx_size_ > 0) interest.rx_count = rx_free() + 1;
    interest.tx_empty = (waiting & EV_TXEMPTY) != 0 && tx_active_;
    interest.modem = (waiting & kModemEvents) != 0;
  }
  uart_.set_interest(interest);
}

// Called by the service entry after the work: events that became pending
// in a call are reported at interrupt time, as the hardware would.
void VcommPort::finish_service() {
  if (!open_ || notify_ == nullptr || unnotified_ == 0 || interrupt_posted_) return;
  if (vcomm_.machine().in_interrupt()) {
    notify_now();
    return;
  }
  interrupt_posted_ = true;
  vcomm_.machine().post_interrupt(
      [this] {
        interrupt_posted_ = false;
        if (open_) notify_now();
      },
      "vcomm " + name_);
}

void VcommPort::uart_interrupt() {
  if (!open_) return;
  settle();
  notify_now();
  update_interest();
}

void VcommPort::notify_now() {
  while (open_ && notify_ != nullptr && unnotified_ != 0) {
    ULONG events = unnotified_;
    unnotified_ = 0;
    PVCOMM_NOTIFY_ROUTINE routine = notify_;
    PVOID data = notify_data_;
    vcomm_.notify_enter();
    routine(handle_, data, CN_EVENT, events);
    vcomm_.notify_leave();
  }
  update_interest();
}

}  // namespace hs
