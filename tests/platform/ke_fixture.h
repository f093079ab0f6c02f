// A small machine + kernel for the kernel's tests: a built-in bus driver
// whose PDOs answer every request with success, device-node installation
// through it, and a way to send a request from an emulated thread and see
// how it completes.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel/kernel.h"
#include "kernel/kernel_parts.h"
#include "machine/machine.h"

namespace hs::test {

// A request sent by a test thread, until it completes.
struct Request {
  PIRP irp = nullptr;
  NTSTATUS returned = STATUS_PENDING;  // what IofCallDriver returned
  NTSTATUS status = STATUS_PENDING;    // final status
  ULONG_PTR info = 0;
  bool pending_returned = false;  // Irp->PendingReturned at the top
  int completions = 0;
  std::vector<uint8_t> buffer;
  KernelWait wait;
};

// Parameters of a request to send.
struct RequestSpec {
  UCHAR major = IRP_MJ_READ;
  ULONG length = 0;  // read/write length, or the output length of a control
  ULONG ioctl = 0;
  ULONG input = 0;            // input length of a control
  std::vector<uint8_t> data;  // initial buffer contents
};

// Sends a request to `top` and returns at once (from an emulated thread).
std::unique_ptr<Request> start_request(PDEVICE_OBJECT top, const RequestSpec& spec);
// Waits for it to complete, then frees it.
void finish_request(Request& request);
// Both.
std::unique_ptr<Request> send_request(PDEVICE_OBJECT top, const RequestSpec& spec);

// The bus driver's PDO: every request succeeds with no information.
NTSTATUS NTAPI TestBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);

class KernelFixture {
 public:
  explicit KernelFixture(MachineOptions options = {});
  // Queues the node's installation under the test bus driver.
  DeviceNode& install(DeviceNodeSpec spec);
  // Runs `body` in an emulated thread named "client" until the machine stops.
  RunResult run(std::function<void()> body);

  Machine machine;
  Kernel kernel;
  PDRIVER_OBJECT bus = nullptr;
};

DeviceNodeSpec node_spec(std::string function_driver, std::vector<std::string> filters = {},
                         std::vector<RegistryValue> driver_key = {});

// Counts trace events of a kind whose field `key` equals `value`.
int count_events(Machine& machine, std::string_view ev, std::string_view key,
                 std::string_view value);

}  // namespace hs::test
