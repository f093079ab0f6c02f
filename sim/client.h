// The client: the modem stack's side of the device stack. It opens handles
// (IRP_MJ_CREATE with a file object of its own), sends IRP_MJ_CLEANUP and
// IRP_MJ_CLOSE, device controls with chosen input and output lengths and
// data, reads and writes; from emulated threads at PASSIVE_LEVEL or
// DISPATCH_LEVEL, synchronously or not. It checks that every request it
// sent is completed exactly once and records each completion's status,
// information and data. Each completion is a "request" trace event with
// name, status, info and hex.
//
// Requests are allocated with one stack location more than the device
// needs; the client's own location carries its completion routine, which
// takes the request back (STATUS_MORE_PROCESSING_REQUIRED) and frees it.
//
// Calls that send or wait must come from an emulated thread (Rig::run or
// Client::spawn); a synchronous call blocks that thread until completion.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/kernel.h"

namespace hs {

// A request to send.
struct Request {
  UCHAR major = IRP_MJ_DEVICE_CONTROL;
  ULONG ioctl = 0;
  std::vector<uint8_t> input;  // device-control input, or the bytes to write
  ULONG input_length = 0;      // InputBufferLength (defaults to input.size())
  ULONG output_length = 0;     // OutputBufferLength, or the read length
  KIRQL irql = PASSIVE_LEVEL;  // IRQL the request is sent at
  std::string name;            // for traces and reports (default from the code)

  static Request ioctl_in(ULONG code, std::vector<uint8_t> input, ULONG output_length = 0);
  static Request ioctl_out(ULONG code, ULONG output_length);
  static Request read(ULONG length);
  static Request write(std::string_view bytes);
  static Request write_bytes(std::vector<uint8_t> bytes);
  Request& at(KIRQL level) {
    irql = level;
    return *this;
  }
  Request& input_len(ULONG length) {
    input_length = length;
    return *this;
  }
};

// Little-endian helpers for control records.
std::vector<uint8_t> le32(uint32_t value);
uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t offset = 0);

// One request's outcome.
struct Completion {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;  // final status
  ULONG_PTR info = 0;
  std::vector<uint8_t> data;  // output bytes (Information of them, at most the output length)
  NTSTATUS returned = STATUS_PENDING;  // what IofCallDriver returned
  VTime sent_at = 0;
  VTime done_at = 0;
  int completions = 0;  // times the request came back (1 when correct)

  std::string text() const { return std::string(data.begin(), data.end()); }
  uint32_t u32(size_t offset = 0) const;
};

class Client;
struct RequestState;

// A handle: one FILE_OBJECT, opened by IRP_MJ_CREATE.
struct Handle {
  PFILE_OBJECT file = nullptr;
  NTSTATUS open_status = STATUS_PENDING;
  bool ok() const { return file != nullptr && NT_SUCCESS(open_status); }
};

// A request in flight.
class Pending {
 public:
  const Completion& result() const;
  bool done() const;
  PIRP irp() const;  // null once completed and freed
  bool valid() const { return state_ != nullptr; }

 private:
  friend class Client;
  std::shared_ptr<RequestState> state_;
};

class Client {
 public:
  // Sends to the top of `node`'s stack (re-read at each request).
  Client(Kernel& kernel, DeviceNode* node = nullptr);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void set_node(DeviceNode* node) { node_ = node; }
  void set_target(PDEVICE_OBJECT device) { target_ = device; }  // instead of a node
  PDEVICE_OBJECT target() const;

  // ---- handles (synchronous)
  Handle open(KIRQL irql = PASSIVE_LEVEL);
  Completion cleanup(const Handle& handle, KIRQL irql = PASSIVE_LEVEL);
  Completion close(Handle& handle, KIRQL irql = PASSIVE_LEVEL);

  // ---- requests
  Completion call(const Handle& handle, Request request);  // sends and waits
  Pending send(const Handle& handle, Request request);     // sends, does not wait
  const Completion& wait(const Pending& pending);          // blocks until completed
  // Waits at most `timeout`; false when still pending.
  bool wait_for(const Pending& pending, VTime timeout);
  bool cancel(const Pending& pending);  // IoCancelIrp; its answer

  // Shorthands.
  Completion ioctl(const Handle& handle, ULONG code, std::vector<uint8_t> input = {},
                   ULONG output_length = 0);
  Completion read(const Handle& handle, ULONG length);
  Completion write(const Handle& handle, std::string_view bytes);

  // ---- threads
  // Starts an emulated thread of the client running `body`.
  EmuThread& spawn(std::string name, std::function<void()> body);

  // ---- accounting
  size_t sent() const { return sent_; }
  size_t outstanding() const;  // sent and not completed
  // Requests completed more than once, or still outstanding: empty when
  // every request came back exactly once.
  std::string accounting_report() const;
  bool all_completed_once() const { return accounting_report().empty(); }
  // Every completion in order of completion.
  const std::vector<Completion>& history() const { return history_; }

  // Called by the completion routine.
  void finish(RequestState* state, PIRP irp);

 private:
  Pending submit(const Handle* handle, UCHAR major, Request request);

  Kernel& kernel_;
  DeviceNode* node_ = nullptr;
  PDEVICE_OBJECT target_ = nullptr;
  std::vector<std::shared_ptr<RequestState>> tracked_;
  std::vector<Completion> history_;
  std::vector<std::unique_ptr<FILE_OBJECT>> files_;
  size_t sent_ = 0;
  uint64_t next_id_ = 1;
};

}  // namespace hs
