// hs::Kernel: owns the parts of the kernel and answers the host's questions
// about them. Also the helpers every service uses on entry.
#include "kernel/kernel.h"

#include <cstdio>

#include "kernel/kernel_parts.h"

namespace hs {
namespace {

Kernel* g_kernel = nullptr;  // the one kernel of the one machine

}  // namespace

// ------------------------------------------------------------ helpers

void ke_violation(std::string_view rule, std::string_view detail) {
  Machine::current().violation(rule, detail);
}

void ke_check_irql(std::string_view service, KIRQL max_irql) {
  Machine& m = Machine::current();
  if (m.irql() > max_irql) {
    m.violation("service called above its IRQL", std::string(service) + " at IRQL " +
                                                     std::to_string(m.irql()) + " (at most " +
                                                     std::to_string(max_irql) + ")");
  }
}

void ke_check_arg(std::string_view service, const void* arg, std::string_view name) {
  if (arg == nullptr) {
    ke_violation("NULL argument", std::string(service) + " with a NULL " + std::string(name));
  }
}

void ke_enter(std::string_view service, KIRQL max_irql) {
  Machine::current().service_point(service);
  ke_check_irql(service, max_irql);
}

std::string hex32(uint32_t value) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "0x%08X", value);
  return buffer;
}

std::string pointer_text(const void* p) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%p", p);
  return buffer;
}

void KernelWait::wait(std::string what) {
  Machine& m = Machine::current();
  while (!done) {
    waiter = m.current_thread();
    m.block(what, std::nullopt);
  }
  waiter = nullptr;
}

void KernelWait::signal() {
  done = true;
  if (waiter != nullptr) Machine::current().wake(*waiter);
}

// ------------------------------------------------------------ values

RegistryValue RegistryValue::string(std::string name, std::string_view text) {
  RegistryValue value;
  value.name = std::move(name);
  value.type = REG_SZ;
  for (unsigned char c : text) {
    value.data.push_back(c);
    value.data.push_back(0);
  }
  value.data.push_back(0);
  value.data.push_back(0);
  return value;
}

RegistryValue RegistryValue::dword(std::string name, uint32_t number) {
  RegistryValue value;
  value.name = std::move(name);
  value.type = REG_DWORD;
  for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<uint8_t>(number >> (8 * i)));
  return value;
}

RegistryValue RegistryValue::binary(std::string name, std::vector<uint8_t> bytes) {
  RegistryValue value;
  value.name = std::move(name);
  value.type = REG_BINARY;
  value.data = std::move(bytes);
  return value;
}

std::string_view node_state_name(NodeState state) {
  switch (state) {
    case NodeState::Installing:
      return "installing";
    case NodeState::Added:
      return "added";
    case NodeState::Started:
      return "started";
    case NodeState::StopPending:
      return "stop pending";
    case NodeState::Stopped:
      return "stopped";
    case NodeState::RemovePending:
      return "remove pending";
    case NodeState::SurpriseRemoved:
      return "surprise removed";
    case NodeState::Removed:
      return "removed";
    case NodeState::Failed:
      return "failed";
  }
  return "?";
}

PDEVICE_OBJECT DeviceNode::top() const {
  if (pdo == nullptr) return nullptr;
  return Kernel::current().top_of_stack(pdo);
}

// ------------------------------------------------------------ the kernel

Kernel::Kernel(Machine& machine, KernelOptions options)
    : machine_(machine), options_(std::move(options)) {
  if (g_kernel != nullptr) throw std::logic_error("only one kernel may exist at a time");
  g_kernel = this;
  pool_ = std::make_unique<PoolManager>(*this);
  io_ = std::make_unique<IoManager>(*this);
  registry_ = std::make_unique<Registry>(*this);
  loader_ = std::make_unique<DriverLoader>(*this);
  pnp_ = std::make_unique<PnpManager>(*this);
  workers_ = std::make_unique<WorkQueue>(*this, options_.worker_threads);
  machine_.add_report_section("Requests", [] {
    Kernel* k = Kernel::current_or_null();
    return k ? k->requests_report() : std::string();
  });
}

Kernel::~Kernel() {
  pnp_.reset();
  loader_.reset();  // before devices and pool: images go
  registry_.reset();
  io_.reset();
  pool_.reset();
  g_kernel = nullptr;
}

Kernel& Kernel::current() {
  if (g_kernel == nullptr) {
    fprintf(stderr, "no kernel: construct hs::Kernel on the machine first\n");
    std::abort();
  }
  return *g_kernel;
}

Kernel* Kernel::current_or_null() { return g_kernel; }

void Kernel::register_builtin_driver(std::string name, PDRIVER_INITIALIZE entry) {
  loader_->register_builtin(std::move(name), entry);
}
PDRIVER_OBJECT Kernel::load_driver(const std::string& name) { return loader_->load(name); }
bool Kernel::unload_driver(PDRIVER_OBJECT driver) { return loader_->unload(driver); }
PDRIVER_OBJECT Kernel::find_driver(std::string_view name) const { return loader_->find(name); }

std::string Kernel::driver_name(const DRIVER_OBJECT* driver) const {
  if (LoadedDriver* d = loader_->loaded(driver)) return d->name;
  return "?";
}

std::string Kernel::device_name(const DEVICE_OBJECT* device) const {
  if (DeviceRecord* r = io_->record(device)) return r->driver;
  return "?";
}

DeviceNode& Kernel::install(DeviceNodeSpec spec, BusDriverHooks bus) {
  return pnp_->install(std::move(spec), std::move(bus));
}

void Kernel::queue_pnp(DeviceNode& node, UCHAR minor) {
  pnp_->queue([this, &node, minor] { pnp_->send_pnp(node, minor); });
}

void Kernel::queue_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                                POWER_ACTION action) {
  pnp_->queue(
      [this, &node, minor, state, action] { pnp_->send_system_power(node, minor, state, action); });
}

NTSTATUS Kernel::send_pnp(DeviceNode& node, UCHAR minor) { return pnp_->send_pnp(node, minor); }

NTSTATUS Kernel::send_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                                   POWER_ACTION action) {
  return pnp_->send_system_power(node, minor, state, action);
}

void Kernel::wait_pnp_idle() { pnp_->wait_idle(); }
bool Kernel::pnp_idle() const { return pnp_->idle(); }
std::vector<DeviceNode*> Kernel::nodes() const { return pnp_->nodes(); }
DeviceNode* Kernel::node_of(PDEVICE_OBJECT device) const { return pnp_->node_of(device); }

PDEVICE_OBJECT Kernel::top_of_stack(PDEVICE_OBJECT device) const {
  while (device != nullptr && device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT Kernel::lower_device(PDEVICE_OBJECT device) const {
  DeviceRecord* r = io_->record(device);
  return r ? r->lower : nullptr;
}

DEVICE_POWER_STATE Kernel::device_power_state(PDEVICE_OBJECT device) const {
  DeviceRecord* r = io_->record(device);
  return r ? r->device_state : PowerDeviceUnspecified;
}

SYSTEM_POWER_STATE Kernel::system_power_state(PDEVICE_OBJECT device) const {
  DeviceRecord* r = io_->record(device);
  return r ? r->system_state : PowerSystemUnspecified;
}

void Kernel::set_forced_pending(PDEVICE_OBJECT device, bool on, VTime delay) {
  DeviceRecord* r = io_->record(device);
  if (r == nullptr) throw std::invalid_argument("set_forced_pending: not a device");
  r->forced_pending = on;
  r->forced_delay = delay;
}

size_t Kernel::outstanding_requests() const { return io_->outstanding().size(); }
std::string Kernel::requests_report() const { return io_->report(); }

TagUsage Kernel::pool_usage(std::string_view tag) const { return pool_->usage(tag); }
std::map<std::string, TagUsage> Kernel::pool_usage() const {
  return {pool_->usage().begin(), pool_->usage().end()};
}
uint64_t Kernel::pool_blocks_held() const { return pool_->blocks_held(); }
std::string Kernel::pool_report() const { return pool_->report(); }

std::string Kernel::tag_name(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return name;
}

}  // namespace hs
