// A scripted serial function driver for the filter's tests: a built-in
// driver ("rfport") that sits where portbridge sits and answers the serial
// requests from a script instead of a real port. It records every request
// that reaches it, answers reads from chunks queued by the test or produced
// by a small AT responder when a command is written, keeps timeouts and a
// rate, pends IOCTL_SERIAL_WAIT_ON_MASK, and can fail chosen control codes.
//
// One ScriptedPort is the current one while it lives (the built-in driver's
// routines find it there); create it before the rig installs the stack.
#pragma once

#include <ntddser.h>
#include <wdm.h>

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace rftest {

inline constexpr const char* kPortDriver = "rfport";

// One request as it reached the scripted port.
struct PortCall {
  UCHAR major = 0;
  UCHAR minor = 0;
  ULONG ioctl = 0;
  std::vector<uint8_t> input;  // control input, or the bytes written
  ULONG length = 0;            // read length, or control output length
  ULONG input_length = 0;      // InputBufferLength of a control
  KIRQL irql = PASSIVE_LEVEL;
  PFILE_OBJECT file = nullptr;

  // "PURGE 0F", "GET_TIMEOUTS", "SET_TIMEOUTS 20,0,200,0,2000", "BAUD 9600",
  // "WRITE AT\rAT\r", "READ 12", "WAIT", "CREATE", ... (controls by name).
  std::string text() const;
};

class ScriptedPort {
 public:
  ScriptedPort();
  ~ScriptedPort();
  ScriptedPort(const ScriptedPort&) = delete;
  ScriptedPort& operator=(const ScriptedPort&) = delete;

  static ScriptedPort* current();
  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

  // ---- script
  // Chunks that the next reads deliver, one chunk (or its first Length
  // bytes) per read; no chunk: a read ends with nothing (STATUS_TIMEOUT).
  std::deque<std::string> reads;
  // What the "handset" answers a command written to the port (chunks
  // appended to `reads`). Default: the echo, then "\r\nOK\r\n", for "AT"
  // probes and "AT+IPR=" commands. Null: nothing answers.
  std::function<std::vector<std::string>(const std::string& written)> responder;
  // Control codes failed with the given status.
  std::map<ULONG, NTSTATUS> fail_ioctl;
  NTSTATUS write_status = STATUS_SUCCESS;
  NTSTATUS read_status = STATUS_SUCCESS;  // a negative value fails reads
  // Asked for every read, write and control before it is answered: a
  // negative status fails that request.
  std::function<NTSTATUS(const PortCall&)> fail_when;
  // Told of every request as it arrives, Plug and Play and power included.
  std::function<void(const PortCall&)> on_call;
  // Reads are left pending until data is queued or the device is removed.
  bool pend_reads = false;
  // Power requests are left pending until complete_power().
  // A pending wait completes with SERIAL_EV_RXCHAR when a read delivers
  // bytes and the mask has it.
  bool rxchar_completes_wait = true;

  // ---- state
  SERIAL_TIMEOUTS timeouts{};
  ULONG rate = 9600;
  ULONG wait_mask = 0;
  PIRP pending_wait = nullptr;
  PIRP pending_read = nullptr;
  PIRP pending_power = nullptr;
  bool pend_power = false;
  std::vector<PortCall> calls;
  PDEVICE_OBJECT device = nullptr;

  // Every call's text, in order; optionally only calls after `from`.
  std::vector<std::string> texts(size_t from = 0) const;
  // Texts of the calls that touch the line or its settings (no CREATE,
  // CLOSE, CLEANUP, PnP or power), consecutive reads folded into "READ".
  std::vector<std::string> line_texts(size_t from = 0) const;
  // Completes the pending wait with `events` (any IRQL up to DISPATCH).
  bool complete_wait(ULONG events, NTSTATUS status = STATUS_SUCCESS);
  // Completes the pending power request with `status` (any IRQL up to DISPATCH).
  bool complete_power(NTSTATUS status = STATUS_SUCCESS);
  // Index of the first call whose text starts with `prefix`, from `from`; -1 if none.
  long find(const std::string& prefix, size_t from = 0) const;
  size_t count(const std::string& prefix) const;

  // The default responder: a handset at `rate` with echo on or off.
  static std::vector<std::string> ok_responder(const std::string& written, bool echo);

 private:
  NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS control(PIRP irp, PIO_STACK_LOCATION stack, PortCall& call);
  ULONG fill_read(PIRP irp, ULONG length);
  static NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp);
  static VOID NTAPI Unload(PDRIVER_OBJECT driver);

  PDEVICE_OBJECT lower_ = nullptr;
};

}  // namespace rftest
