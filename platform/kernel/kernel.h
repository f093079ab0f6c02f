// The kernel of the emulated machine: device and driver objects, requests,
// pool, registry, system worker threads, the driver loader and the Plug and
// Play and power managers. One Kernel per Machine; the services of wdm.h find
// it through Kernel::current().
//
// Host code (the world, the rig, tests) uses this interface; drivers see
// only wdm.h. Everything here runs on the machine's one processor, so
// nothing needs a host lock.
//
// Fault sites (Machine::faults()): "pool" <tag>, "irp" "alloc" (IoAllocateIrp),
// "attach" <driver> (IoAttachDeviceToDeviceStack), "create" <driver>
// (IoCreateDevice), "registry" "open"/"read", "power" "request"
// (PoRequestPowerIrp). The kernel's own requests are not fault sites.
//
// Pool tags are four characters in memory order, as pool tools show them:
// the ULONG 'GRBP' (or the bytes "PBRG" read as a little-endian ULONG) is
// the tag "PBRG".
#pragma once

#include <wdm.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.h"

namespace hs {

class PoolManager;
class IoManager;
class Registry;
class WorkQueue;
class DriverLoader;
class PnpManager;

// One registry value of a device node's driver or hardware key.
struct RegistryValue {
  std::string name;
  ULONG type = REG_SZ;
  std::vector<uint8_t> data;  // as stored: REG_SZ is UTF-16LE with its terminator

  static RegistryValue string(std::string name, std::string_view text);
  static RegistryValue dword(std::string name, uint32_t value);
  static RegistryValue binary(std::string name, std::vector<uint8_t> bytes);
};

// What the Plug and Play manager installs: a device node with its drivers
// and registry keys (the world builds it from an INF-style file).
struct DeviceNodeSpec {
  std::string instance = "ROOT\\PORTS\\0000";  // names the node in reports
  std::string hardware_id;
  // Service names of the drivers. A name is a built-in driver
  // (register_builtin_driver) or the image "<name>.so" in the driver
  // directory; a name containing '/' is an image path.
  std::string function_driver;
  std::vector<std::string> upper_filters;   // bottom to top
  std::vector<RegistryValue> driver_key;    // PLUGPLAY_REGKEY_DRIVER
  std::vector<RegistryValue> hardware_key;  // PLUGPLAY_REGKEY_DEVICE
  bool driver_key_exists = true;
  bool hardware_key_exists = true;
  bool start = true;  // send IRP_MN_START_DEVICE after the drivers are added
};

// How the Plug and Play manager reaches the node's bus driver.
struct BusDriverHooks {
  // Creates the node's physical device object (PASSIVE_LEVEL, in the Plug
  // and Play thread). Null fails the installation.
  std::function<PDEVICE_OBJECT(const DeviceNodeSpec&)> create_pdo;
  // Called once IRP_MN_REMOVE_DEVICE has left the stack and the drivers
  // above have gone; the bus driver deletes its PDO. May be empty.
  std::function<void(PDEVICE_OBJECT)> pdo_removed;
};

enum class NodeState {
  Installing,       // queued, drivers not yet added
  Added,            // AddDevice done, not started
  Started,          // IRP_MN_START_DEVICE succeeded
  StopPending,      // IRP_MN_QUERY_STOP_DEVICE succeeded
  Stopped,          // IRP_MN_STOP_DEVICE sent
  RemovePending,    // IRP_MN_QUERY_REMOVE_DEVICE succeeded
  SurpriseRemoved,  // IRP_MN_SURPRISE_REMOVAL sent
  Removed,          // IRP_MN_REMOVE_DEVICE sent, devices gone, drivers unloaded
  Failed,           // installation or start failed
};
std::string_view node_state_name(NodeState state);

// One Plug and Play or power request the manager sent, with its result.
struct NodeRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS status = STATUS_PENDING;
};

// A device node installed by the Plug and Play manager. Owned by the kernel;
// its address stays valid while the kernel lives.
struct DeviceNode {
  DeviceNodeSpec spec;
  BusDriverHooks bus;
  PDEVICE_OBJECT pdo = nullptr;
  std::vector<PDRIVER_OBJECT> drivers;  // function driver, then filters
  NodeState state = NodeState::Installing;
  std::vector<NodeRequest> history;  // every PnP and system power request sent
  NTSTATUS last_status = STATUS_SUCCESS;
  SYSTEM_POWER_STATE system_state = PowerSystemWorking;

  // The device at the top of the stack (the PDO when nothing is attached).
  PDEVICE_OBJECT top() const;
};

// Pool use under one tag.
struct TagUsage {
  uint64_t allocations = 0;
  uint64_t frees = 0;
  uint64_t failures = 0;  // injected allocation failures
  uint64_t blocks_held = 0;
  uint64_t bytes_held = 0;
  uint64_t peak_bytes = 0;
};

struct KernelOptions {
  std::string driver_directory;  // empty: the directory of the running program
  int worker_threads = 3;        // system worker threads serving DelayedWorkQueue
};

class Kernel {
 public:
  explicit Kernel(Machine& machine, KernelOptions options = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel& current();
  static Kernel* current_or_null();
  Machine& machine() { return machine_; }

  // ---- drivers
  void register_builtin_driver(std::string name, PDRIVER_INITIALIZE entry);
  // Loads a driver (once; later calls return the same object) and runs its
  // DriverEntry with the registry path of its service key
  // (...\CurrentControlSet\Services\<name>). PASSIVE_LEVEL, emulated thread.
  // Null when the image cannot be loaded or DriverEntry fails.
  PDRIVER_OBJECT load_driver(const std::string& name);
  // Calls DriverUnload once the driver has no device left, then reports pool
  // still held by the driver (by tag) and queued timers, DPCs or work items
  // in its image as verifier violations. False when devices remain.
  bool unload_driver(PDRIVER_OBJECT driver);
  PDRIVER_OBJECT find_driver(std::string_view name) const;
  std::string driver_name(const DRIVER_OBJECT* driver) const;
  // The name of the device's driver ("ratefilter", "portbridge", "bus").
  std::string device_name(const DEVICE_OBJECT* device) const;

  // ---- Plug and Play and power managers
  // Queues the installation of a node for the Plug and Play thread: create
  // the PDO, load the drivers, AddDevice (function driver, then filters),
  // then IRP_MN_START_DEVICE at the top of the stack.
  DeviceNode& install(DeviceNodeSpec spec, BusDriverHooks bus);
  // Queues a Plug and Play request (IRP_MN_QUERY_STOP_DEVICE ...
  // IRP_MN_SURPRISE_REMOVAL) for the node. After IRP_MN_REMOVE_DEVICE the
  // manager tells the bus driver, then unloads drivers without devices.
  void queue_pnp(DeviceNode& node, UCHAR minor);
  // Queues a system power request (IRP_MN_QUERY_POWER or IRP_MN_SET_POWER)
  // sent to the top of the node's stack.
  void queue_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                          POWER_ACTION action = PowerActionSleep);
  // The same, sent from the calling emulated thread (PASSIVE_LEVEL), which
  // waits for the request to complete. Returns its final status.
  NTSTATUS send_pnp(DeviceNode& node, UCHAR minor);
  NTSTATUS send_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                             POWER_ACTION action = PowerActionSleep);
  // Blocks the calling emulated thread until the Plug and Play queue is empty.
  void wait_pnp_idle();
  bool pnp_idle() const;
  std::vector<DeviceNode*> nodes() const;
  DeviceNode* node_of(PDEVICE_OBJECT device) const;  // any device of the stack

  // ---- devices
  PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT device) const;
  PDEVICE_OBJECT lower_device(PDEVICE_OBJECT device) const;  // what it is attached to
  DEVICE_POWER_STATE device_power_state(PDEVICE_OBJECT device) const;
  SYSTEM_POWER_STATE system_power_state(PDEVICE_OBJECT device) const;
  // Forced pending: a request that this device would complete inside its
  // dispatch routine comes back STATUS_PENDING and is completed `delay`
  // later from a DPC, with the status and information the driver gave it.
  void set_forced_pending(PDEVICE_OBJECT device, bool on, VTime delay = kMillisecond);

  // ---- requests
  size_t outstanding_requests() const;  // allocated and not freed
  std::string requests_report() const;  // every request and who holds it

  // ---- pool
  TagUsage pool_usage(std::string_view tag) const;
  std::map<std::string, TagUsage> pool_usage() const;
  uint64_t pool_blocks_held() const;
  std::string pool_report() const;  // blocks held, by tag
  static std::string tag_name(ULONG tag);

  // ---- debugger
  // Whether DbgBreakPoint stops in a host debugger (SIGTRAP). Off by default:
  // a breakpoint is then only a "break" trace event.
  void set_break_into_debugger(bool on) { break_into_debugger_ = on; }
  bool break_into_debugger() const { return break_into_debugger_; }
  uint64_t breakpoints() const { return breakpoints_; }
  void count_breakpoint() { ++breakpoints_; }

  // ---- the parts (platform/kernel internals; see kernel_parts.h)
  PoolManager& pool() { return *pool_; }
  IoManager& io() { return *io_; }
  Registry& registry() { return *registry_; }
  WorkQueue& workers() { return *workers_; }
  DriverLoader& loader() { return *loader_; }
  PnpManager& pnp() { return *pnp_; }
  const KernelOptions& options() const { return options_; }

 private:
  Machine& machine_;
  KernelOptions options_;
  std::unique_ptr<PoolManager> pool_;
  std::unique_ptr<IoManager> io_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<WorkQueue> workers_;
  std::unique_ptr<DriverLoader> loader_;
  std::unique_ptr<PnpManager> pnp_;
  bool break_into_debugger_ = false;
  uint64_t breakpoints_ = 0;
};

}  // namespace hs
