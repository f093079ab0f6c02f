// The test rig: one machine with its kernel, VCOMM, a serial line on COM2
// with the handset at its far end, the bus driver and a client. Tests
// install a stack and drive it from the client's thread:
//
//   hs::Rig rig;                                  // fixed seed, virtual time
//   rig.install_file(hs::Rig::data("sim/stack.inf"));
//   auto result = rig.run([&] {
//     auto h = rig.client().open();
//     auto w = rig.client().write(h, "AT\r");
//     auto r = rig.client().read(h, 64);
//     rig.client().close(h);
//   });
//   EXPECT_TRUE(result.ok()) << result.report;
//
// run() starts the body in an emulated thread "client" once the Plug and
// Play manager has installed and started what was queued, runs the
// machine until every thread is done, and checks the client's accounting
// (a request not completed exactly once fails the run).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kernel/kernel.h"
#include "machine/machine.h"
#include "sim/bus_driver.h"
#include "sim/client.h"
#include "sim/device_node_file.h"
#include "sim/handset.h"
#include "sim/serial_line.h"
#include "vcomm/port_services.h"

namespace hs {

struct RigOptions {
  MachineOptions machine;
  KernelOptions kernel;
  std::string port = "COM2";
  SerialLineOptions line;
  HandsetOptions handset;
  bool handset_present = true;  // false: nothing answers at the far end
  bool record_trace = true;     // keep trace events in memory
};

class Rig {
 public:
  explicit Rig(RigOptions options = {});
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  Machine& machine() { return *machine_; }
  Kernel& kernel() { return *kernel_; }
  Vcomm& vcomm() { return *vcomm_; }
  SerialLine& line() { return *line_; }
  Handset& handset();  // only when handset_present
  BusDriver& bus() { return *bus_; }
  Client& client() { return *client_; }
  Trace& trace() { return machine_->trace(); }

  // ---- stacks
  // Queues the installation of a device node (from a file, or a built-in
  // description); the client then talks to its top device. Throws
  // std::runtime_error with the parser's message for a bad file.
  DeviceNode& install_file(const std::string& path);
  DeviceNode& install(DeviceNodeSpec spec);
  // A stack of the given function driver and filters on this rig's port
  // ("AttachedTo" = the port, TraceScope and Breakpoints 0).
  DeviceNodeSpec stack_spec(std::string function_driver,
                            std::vector<std::string> upper_filters = {}) const;
  DeviceNode* node() const { return node_; }

  // ---- running
  // Runs `body` in the client's thread (after pending installations have
  // finished) and the machine until all threads are done. A request the
  // client sent that was not completed exactly once turns a finished run
  // into a violation with the client's report.
  RunResult run(std::function<void()> body);
  // Runs the machine with no body (lets time and queued work go on until
  // every non-system thread is done).
  RunResult run();

  // ---- helpers for tests
#ifdef HS_TEST_DATA
  // The path of a test data file under tests/.
  static std::string data(const std::string& relative) {
    return std::string(HS_TEST_DATA) + "/" + relative;
  }
#endif
  // Trace events of one kind, in order.
  std::vector<TraceEvent> events(std::string_view kind) const;
  // Every byte that went over the line in one direction ("tx" or "rx"),
  // as the sender sent them.
  std::string line_bytes(std::string_view dir) const;

 private:
  RigOptions options_;
  std::unique_ptr<Machine> machine_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<Vcomm> vcomm_;
  std::unique_ptr<SerialLine> line_;
  std::unique_ptr<Handset> handset_;
  std::unique_ptr<BusDriver> bus_;
  std::unique_ptr<Client> client_;
  DeviceNode* node_ = nullptr;
};

}  // namespace hs
