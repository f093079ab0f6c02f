// Plug and Play and power managers: install a device node (PDO from the bus
// driver, drivers loaded, AddDevice function driver first then filters,
// IRP_MN_START_DEVICE at the top), send Plug and Play and system power
// requests on demand, and after IRP_MN_REMOVE_DEVICE unload drivers that
// have no device left. Everything runs in emulated threads at
// PASSIVE_LEVEL: the queued actions in the manager's own "pnp" thread.
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

NTSTATUS NTAPI kernel_wait_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* wait = static_cast<KernelWait*>(context);
  wait->status = irp->IoStatus.Status;
  wait->information = irp->IoStatus.Information;
  wait->signal();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr ULONG kTakenOverFlags = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE;

std::string flags_text(ULONG flags) {
  std::string out;
  if (flags & DO_BUFFERED_IO) out += "DO_BUFFERED_IO ";
  if (flags & DO_DIRECT_IO) out += "DO_DIRECT_IO ";
  if (flags & DO_POWER_PAGABLE) out += "DO_POWER_PAGABLE ";
  if (out.empty()) return "none";
  out.pop_back();
  return out;
}

void require_thread(const char* what) {
  Machine& m = Machine::current();
  if (m.current_thread() == nullptr || m.irql() != PASSIVE_LEVEL || m.in_interrupt()) {
    throw std::logic_error(std::string(what) + " needs an emulated thread at PASSIVE_LEVEL");
  }
}

}  // namespace

DeviceNode& PnpManager::install(DeviceNodeSpec spec, BusDriverHooks bus) {
  auto node = std::make_unique<DeviceNode>();
  node->spec = std::move(spec);
  node->bus = std::move(bus);
  DeviceNode& ref = *node;
  nodes_.push_back(std::move(node));
  queue([this, &ref] { do_install(ref); });
  return ref;
}

void PnpManager::queue(std::function<void()> action) {
  actions_.push_back(std::move(action));
  if (thread_ == nullptr) {
    thread_ = &kernel_.machine().create_thread("pnp", [this] { thread_body(); });
  }
}

void PnpManager::thread_body() {
  struct Done {
    PnpManager& manager;
    ~Done() {
      manager.thread_ = nullptr;
      for (EmuThread* t : manager.idle_waiters_) Machine::current().wake(*t);
      manager.idle_waiters_.clear();
    }
  } done{*this};
  while (!actions_.empty()) {
    std::function<void()> action = std::move(actions_.front());
    actions_.pop_front();
    action();
  }
}

void PnpManager::wait_idle() {
  require_thread("wait_pnp_idle");
  Machine& m = kernel_.machine();
  if (m.current_thread() == thread_) throw std::logic_error("wait_pnp_idle from the pnp thread");
  while (!idle()) {
    idle_waiters_.push_back(m.current_thread());
    m.block("Plug and Play queue", std::nullopt);
  }
}

std::vector<DeviceNode*> PnpManager::nodes() const {
  std::vector<DeviceNode*> out;
  for (auto& n : nodes_) out.push_back(n.get());
  return out;
}

DeviceNode* PnpManager::node_of(PDEVICE_OBJECT device) const {
  for (auto& n : nodes_) {
    for (PDEVICE_OBJECT d = n->pdo; d != nullptr; d = d->AttachedDevice)
      if (d == device) return n.get();
  }
  return nullptr;
}

void PnpManager::do_install(DeviceNode& node) {
  if (!node.bus.create_pdo) throw std::logic_error("device node without a bus driver");
  PDEVICE_OBJECT pdo = node.bus.create_pdo(node.spec);
  if (pdo == nullptr) {
    node.state = NodeState::Failed;
    node.last_status = STATUS_UNSUCCESSFUL;
    return;
  }
  node.pdo = pdo;
  std::vector<std::pair<std::string, bool>> drivers{{node.spec.function_driver, false}};
  for (const std::string& filter : node.spec.upper_filters) drivers.emplace_back(filter, true);
  for (auto& [name, filter] : drivers) {
    PDRIVER_OBJECT driver = kernel_.load_driver(name);
    if (driver == nullptr) {
      node.last_status = STATUS_UNSUCCESSFUL;
      fail_install(node);
      return;
    }
    node.drivers.push_back(driver);
    if (!add_device(node, driver, filter)) {
      fail_install(node);
      return;
    }
  }
  node.state = NodeState::Added;
  if (node.spec.start) send_pnp(node, IRP_MN_START_DEVICE);
}

bool PnpManager::add_device(DeviceNode& node, PDRIVER_OBJECT driver, bool filter) {
  Machine& m = kernel_.machine();
  std::string name = kernel_.driver_name(driver);
  PDRIVER_ADD_DEVICE add = driver->DriverExtension->AddDevice;
  if (add == nullptr) {
    node.last_status = STATUS_INVALID_DEVICE_REQUEST;
    return false;
  }
  PDEVICE_OBJECT below = kernel_.top_of_stack(node.pdo);
  NTSTATUS status = add(driver, node.pdo);
  if (m.irql() != PASSIVE_LEVEL) {
    ke_violation("driver routine returned at raised IRQL",
                 "AddDevice of " + name + " returned at IRQL " + std::to_string(m.irql()));
  }
  if (!NT_SUCCESS(status)) {
    node.last_status = status;
    return false;
  }
  for (PDEVICE_OBJECT d = below->AttachedDevice; d != nullptr; d = d->AttachedDevice) {
    if (d->Flags & DO_DEVICE_INITIALIZING) {
      ke_violation("device left initializing",
                   name + " did not clear DO_DEVICE_INITIALIZING of its device in AddDevice");
    }
    PDEVICE_OBJECT lower = kernel_.lower_device(d);
    if (filter && lower != nullptr &&
        (d->Flags & kTakenOverFlags) != (lower->Flags & kTakenOverFlags)) {
      ke_violation("filter did not take over its lower device's flags",
                   name + " has " + flags_text(d->Flags & kTakenOverFlags) + ", the device below " +
                       flags_text(lower->Flags & kTakenOverFlags));
    }
  }
  return true;
}

NTSTATUS PnpManager::send_and_wait(DeviceNode& node, UCHAR major, UCHAR minor,
                                   const std::function<void(PIO_STACK_LOCATION)>& fill) {
  PDEVICE_OBJECT top = node.top();
  if (top == nullptr) return STATUS_NO_SUCH_DEVICE;
  PIRP irp = kernel_.io().allocate_irp(top->StackSize,
                                       major == IRP_MJ_PNP ? "pnp manager" : "power manager");
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (fill) fill(next);
  KernelWait wait;
  IoSetCompletionRoutine(irp, kernel_wait_done, &wait, TRUE, TRUE, TRUE);
  IofCallDriver(top, irp);
  wait.wait(minor_name(major, minor) + " of " + node.spec.instance);
  IoFreeIrp(irp);
  node.history.push_back(NodeRequest{major, minor, wait.status});
  node.last_status = wait.status;
  return wait.status;
}

NTSTATUS PnpManager::send_pnp(DeviceNode& node, UCHAR minor) {
  require_thread("send_pnp");
  NTSTATUS status = send_and_wait(node, IRP_MJ_PNP, minor, nullptr);
  bool ok = NT_SUCCESS(status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (ok) {
        node.state = NodeState::Started;
      } else {
        // A stack that fails to start is torn down.
        send_and_wait(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
        after_remove(node, /*failed=*/true);
        node.last_status = status;
      }
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      if (ok) node.state = NodeState::StopPending;
      break;
    case IRP_MN_STOP_DEVICE:
      node.state = NodeState::Stopped;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (node.state == NodeState::StopPending || node.state == NodeState::RemovePending)
        node.state = NodeState::Started;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (ok) node.state = NodeState::RemovePending;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      node.state = NodeState::SurpriseRemoved;
      break;
    case IRP_MN_REMOVE_DEVICE:
      after_remove(node, /*failed=*/false);
      break;
  }
  return status;
}

NTSTATUS PnpManager::send_system_power(DeviceNode& node, UCHAR minor, SYSTEM_POWER_STATE state,
                                       POWER_ACTION action) {
  require_thread("send_system_power");
  NTSTATUS status = send_and_wait(node, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = action;
  });
  if (minor == IRP_MN_SET_POWER && NT_SUCCESS(status)) node.system_state = state;
  return status;
}

// Tears down what an installation that failed half-way has built.
void PnpManager::fail_install(DeviceNode& node) {
  NTSTATUS status = node.last_status;
  if (node.pdo != nullptr && node.pdo->AttachedDevice != nullptr) {
    send_and_wait(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
  }
  after_remove(node, /*failed=*/true);
  node.last_status = status;
}

void PnpManager::after_remove(DeviceNode& node, bool failed) {
  if (node.pdo != nullptr) {
    if (PDEVICE_OBJECT above = node.pdo->AttachedDevice) {
      ke_violation("device still attached after IRP_MN_REMOVE_DEVICE",
                   kernel_.device_name(above) + " did not detach and delete its device");
    }
    if (node.bus.pdo_removed) node.bus.pdo_removed(node.pdo);
  }
  for (auto it = node.drivers.rbegin(); it != node.drivers.rend(); ++it) {
    PDRIVER_OBJECT driver = *it;
    if (kernel_.loader().loaded(driver)->unloaded) continue;
    if (driver->DeviceObject == nullptr) {
      kernel_.unload_driver(driver);
      continue;
    }
    bool elsewhere = false;
    for (auto& other : nodes_) {
      if (other.get() == &node) continue;
      for (PDEVICE_OBJECT d = other->pdo; d != nullptr; d = d->AttachedDevice)
        if (d->DriverObject == driver) elsewhere = true;
    }
    if (!elsewhere) {
      ke_violation("device not deleted after IRP_MN_REMOVE_DEVICE",
                   kernel_.driver_name(driver) + " still has a device object");
    }
  }
  node.pdo = nullptr;
  node.state = failed ? NodeState::Failed : NodeState::Removed;
}

}  // namespace hs
