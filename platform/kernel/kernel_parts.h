// The parts of the kernel behind hs::Kernel: pool, I/O manager (devices and
// requests), registry, system worker threads, driver loader and the Plug
// and Play and power managers. Platform code only.
// (Dispatcher objects, IRQL, DPCs and timers keep theirs in ke_internal.h.)
#pragma once

#include <wdm.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernel/kernel.h"
#include "machine/machine.h"

namespace hs {

// The caller of a kernel service, for attributing pool, work items and
// breakpoints to a driver image.
#define HS_CALLER() __builtin_return_address(0)

// Stops the run with a verifier report.
[[noreturn]] void ke_violation(std::string_view rule, std::string_view detail);
// The service's IRQL limit; a call above it is a verifier report.
void ke_check_irql(std::string_view service, KIRQL max_irql);
// A required argument; NULL is a verifier report.
void ke_check_arg(std::string_view service, const void* arg, std::string_view name);
// Entry of every service: scheduling point, IRQL limit.
void ke_enter(std::string_view service, KIRQL max_irql);
std::string hex32(uint32_t value);  // "0x0000ABCD"
std::string pointer_text(const void* p);

// ------------------------------------------------------------------- pool

struct PoolBlock {
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  std::string owner;  // driver image that allocated it, "" for host code
  uint64_t serial = 0;
};

class PoolManager {
 public:
  explicit PoolManager(Kernel& kernel) : kernel_(kernel) {}
  ~PoolManager();
  void* allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller);
  void free(void* p, std::optional<ULONG> tag, const void* caller);
  const PoolBlock* find(const void* p) const;
  // Blocks held by a driver image, "tag: n blocks, m bytes" lines.
  std::string held_by(const std::string& owner) const;
  TagUsage usage(std::string_view tag) const;
  const std::map<std::string, TagUsage, std::less<>>& usage() const { return tags_; }
  uint64_t blocks_held() const { return live_.size(); }
  std::string report() const;

 private:
  Kernel& kernel_;
  std::map<void*, PoolBlock> live_;
  std::map<std::string, TagUsage, std::less<>> tags_;
  // Freed blocks are kept poisoned for a while so a second free or a late
  // use is caught instead of landing in a new block.
  std::deque<std::pair<void*, PoolBlock>> quarantine_;
  std::set<void*> quarantined_;
  uint64_t serial_ = 0;
};

// ----------------------------------------------------------------- devices

struct DeviceRecord {
  PDEVICE_OBJECT device = nullptr;
  size_t size = 0;                 // device object and extension
  std::string driver;              // its driver's name, for traces
  PDEVICE_OBJECT lower = nullptr;  // the device it is attached to
  bool deleted = false;
  DEVICE_POWER_STATE device_state = PowerDeviceD0;
  SYSTEM_POWER_STATE system_state = PowerSystemWorking;
  bool forced_pending = false;
  VTime forced_delay = kMillisecond;
};

// One pass of a request through one device. A device that skips its stack
// location shares it with the device below; both are left together.
struct LocationVisit {
  PDEVICE_OBJECT device = nullptr;
  int location = 0;       // the stack location it used
  bool returned = false;  // the dispatch routine has returned
  NTSTATUS returned_status = 0;
  bool left = false;         // completion has walked past this location
  bool pending_bit = false;  // SL_PENDING_RETURNED as completion left it
  NTSTATUS status_at_leave = 0;
  bool deferred = false;         // forced pending took over the completion
  NTSTATUS deferred_status = 0;  // the status the driver completed with
};

struct IrpRecord {
  PIRP irp = nullptr;
  uint64_t id = 0;
  size_t size = 0;
  std::string allocator;  // who allocated it (driver name or "kernel"/"host")
  bool freed = false;
  bool completed = false;  // completion walked past the top
  CCHAR boost = 0;
  std::vector<LocationVisit> visits;  // every device it entered, in order
  // (location, device) of dispatch routines running under forced pending
  std::vector<std::pair<int, PDEVICE_OBJECT>> forced_frames;
  UCHAR major = 0;  // of the last device it entered, for reports
  UCHAR minor = 0;
  ULONG ioctl = 0;
  // PoStartNextPowerIrp calls per driver that saw this power request.
  std::map<std::string, int> power_starts;
  std::vector<std::string> power_drivers;
};

class IoManager {
 public:
  explicit IoManager(Kernel& kernel);
  ~IoManager();

  // devices
  DeviceRecord* record(const DEVICE_OBJECT* device) const;
  DeviceRecord& add_device(PDEVICE_OBJECT device, size_t size, std::string driver);
  std::vector<DeviceRecord*> devices() const;

  // requests
  IrpRecord* irp_record(const IRP* irp) const;
  // A new request with `stack_size` locations, not fault-injected (the
  // kernel's own requests); IoAllocateIrp checks its fault site first.
  PIRP allocate_irp(CCHAR stack_size, std::string allocator);
  void retire_irp(IrpRecord& rec);  // freed: memory poisoned and quarantined
  std::vector<const IrpRecord*> outstanding() const;
  std::string report() const;

  // completion and dispatch, shared by IofCallDriver, PoCallDriver and
  // IofCompleteRequest
  NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp, std::string_view service);
  void complete(PIRP irp, CCHAR boost, const void* caller);
  void complete_walk(IrpRecord& rec, PIRP irp);

  // the cancel spin lock
  void acquire_cancel_lock(PKIRQL irql);
  void release_cancel_lock(KIRQL irql);
  bool cancel_lock_held() const { return cancel_lock_held_; }

  // trace of a request entering or leaving a device
  void trace_in(const IrpRecord& rec, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack);
  void trace_out(const IrpRecord& rec, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack);

  // Verifier check of one visit once both its dispatch has returned and
  // completion has left its location.
  void check_visit(const IrpRecord& rec, size_t visit);

 private:
  Kernel& kernel_;
  std::unordered_map<const DEVICE_OBJECT*, std::unique_ptr<DeviceRecord>> devices_;
  std::vector<PDEVICE_OBJECT> device_order_;
  std::unordered_map<const IRP*, std::unique_ptr<IrpRecord>> irps_;
  std::deque<IrpRecord*> irp_quarantine_;
  uint64_t next_irp_id_ = 1;
  bool cancel_lock_held_ = false;
};

std::string major_name(UCHAR major);
std::string minor_name(UCHAR major, UCHAR minor);
std::string ioctl_name(ULONG code);

// ---------------------------------------------------------------- registry

class Registry {
 public:
  explicit Registry(Kernel& kernel) : kernel_(kernel) {}
  NTSTATUS open(PDEVICE_OBJECT device, ULONG which, PHANDLE handle);
  NTSTATUS query(HANDLE handle, PUNICODE_STRING name, KEY_VALUE_INFORMATION_CLASS info_class,
                 PVOID buffer, ULONG length, PULONG result_length);
  NTSTATUS close(HANDLE handle);
  size_t open_handles() const { return keys_.size(); }

 private:
  struct Key {
    DeviceNode* node = nullptr;
    ULONG which = 0;
  };
  Kernel& kernel_;
  std::map<HANDLE, std::unique_ptr<Key>> keys_;
};

// ------------------------------------------------------------ work queue

class WorkQueue {
 public:
  WorkQueue(Kernel& kernel, int threads);
  void queue(PWORK_QUEUE_ITEM item, const void* caller);
  // Platform work at PASSIVE_LEVEL in a system worker thread.
  void queue(std::function<void()> work, std::string what);
  size_t queued() const { return items_.size(); }
  // Work items queued whose memory lies in [begin, end), for the verifier.
  std::string queued_in(const void* begin, const void* end) const;

 private:
  struct Item {
    PWORK_QUEUE_ITEM item = nullptr;
    std::function<void()> work;
    std::string what;
  };
  void worker_body(int index);
  Kernel& kernel_;
  std::deque<Item> items_;
  std::deque<EmuThread*> idle_;
};

// ---------------------------------------------------------------- loader

struct LoadedDriver {
  std::string name;
  void* handle = nullptr;  // dlopen handle; null for a built-in driver
  uintptr_t image_begin = 0, image_end = 0;
  DRIVER_OBJECT object{};
  DRIVER_EXTENSION extension{};
  std::u16string name_text;
  std::u16string registry_text;
  UNICODE_STRING registry_path{};
  bool unloaded = false;
  // Callbacks into the image the kernel has yet to return from (a power
  // request's completion function): the image stays mapped until they have
  // returned, even once the driver is unloaded.
  int pins = 0;
};

class DriverLoader {
 public:
  explicit DriverLoader(Kernel& kernel) : kernel_(kernel) {}
  ~DriverLoader();
  void register_builtin(std::string name, PDRIVER_INITIALIZE entry);
  PDRIVER_OBJECT load(const std::string& name);
  bool unload(PDRIVER_OBJECT driver);
  PDRIVER_OBJECT find(std::string_view name) const;
  LoadedDriver* loaded(const DRIVER_OBJECT* driver) const;
  // The loaded image that holds this code or data address; null for host code.
  LoadedDriver* image_at(const void* address) const;
  std::string owner_of(const void* address) const;  // image name or ""
  // Keeps the image that holds `address` mapped until unpin; null (nothing
  // pinned) for host code.
  LoadedDriver* pin(const void* address);
  void unpin(LoadedDriver* image);
  std::vector<LoadedDriver*> drivers() const;

 private:
  Kernel& kernel_;
  std::map<std::string, PDRIVER_INITIALIZE, std::less<>> builtins_;
  std::vector<std::unique_ptr<LoadedDriver>> drivers_;
};

// ------------------------------------------------- Plug and Play and power

class PnpManager {
 public:
  explicit PnpManager(Kernel& kernel) : kernel_(kernel) {}
  DeviceNode& install(DeviceNodeSpec spec, BusDriverHooks bus);
  void queue(std::function<void()> action);
  NTSTATUS send_pnp(DeviceNode& node, UCHAR minor);
  NTSTATUS send_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                             POWER_ACTION action);
  void wait_idle();
  bool idle() const { return actions_.empty() && !thread_; }
  std::vector<DeviceNode*> nodes() const;
  DeviceNode* node_of(PDEVICE_OBJECT device) const;

 private:
  void thread_body();
  void do_install(DeviceNode& node);
  bool add_device(DeviceNode& node, PDRIVER_OBJECT driver, bool filter);
  void fail_install(DeviceNode& node);
  void after_remove(DeviceNode& node, bool failed);
  NTSTATUS send_and_wait(DeviceNode& node, UCHAR major, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION)>& fill);
  Kernel& kernel_;
  std::vector<std::unique_ptr<DeviceNode>> nodes_;
  std::deque<std::function<void()>> actions_;
  EmuThread* thread_ = nullptr;
  std::vector<EmuThread*> idle_waiters_;
};

// A one-shot completion that an emulated thread waits for (the kernel's own
// requests wait this way, not through a driver-visible event).
struct KernelWait {
  bool done = false;
  EmuThread* waiter = nullptr;
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  void wait(std::string what);
  void signal();
};

}  // namespace hs
