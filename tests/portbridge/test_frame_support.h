// Shared set-up of the bridge's frame, open, Plug and Play and power tests:
// a rig with a device node whose stack is portbridge alone (the bus driver
// below it), and small helpers to reach the bridge's device and extension
// and to send the requests the Plug and Play and power managers send.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "portbridge.h"
#include "sim/rig.h"

namespace hs::bridge_test {

struct StackOptions {
  std::string attached_to = "COM2";                // the AttachedTo value ("" : none)
  std::optional<RegistryValue> attached_to_value;  // instead of attached_to, as stored
  bool start = true;                               // start the stack once it is installed
  std::vector<std::string> filters;                // upper filters above the bridge
  RigOptions rig;
};

inline RigOptions seeded(PolicyKind kind, uint64_t seed, int depth = 3) {
  RigOptions options;
  options.machine.policy.kind = kind;
  options.machine.policy.seed = seed;
  options.machine.policy.depth = depth;
  return options;
}

// One rig with a portbridge-only stack queued for installation.
class BridgeStack {
 public:
  explicit BridgeStack(StackOptions options = {}) : rig_(std::make_unique<Rig>(options.rig)) {
    DeviceNodeSpec spec = rig_->stack_spec("portbridge", options.filters);
    spec.start = options.start;
    std::vector<RegistryValue> values;
    for (auto& value : spec.driver_key)
      if (value.name != "AttachedTo") values.push_back(value);
    if (options.attached_to_value)
      values.push_back(*options.attached_to_value);
    else if (!options.attached_to.empty())
      values.push_back(RegistryValue::string("AttachedTo", options.attached_to));
    spec.driver_key = values;
    node_ = &rig_->install(spec);
  }

  Rig& rig() { return *rig_; }
  Kernel& kernel() { return rig_->kernel(); }
  Client& client() { return rig_->client(); }
  BusDriver& bus() { return rig_->bus(); }
  Machine& machine() { return rig_->machine(); }
  FaultPlan& faults() { return rig_->machine().faults(); }
  DeviceNode& node() { return *node_; }

  // The bridge's device object (null once it is gone).
  PDEVICE_OBJECT bridge() {
    if (node_->pdo == nullptr) return nullptr;
    for (PDEVICE_OBJECT device = kernel().top_of_stack(node_->pdo); device != nullptr;
         device = kernel().lower_device(device)) {
      if (kernel().device_name(device) == "portbridge") return device;
      if (device == node_->pdo) break;
    }
    return nullptr;
  }
  PBRIDGE_EXTENSION extension() {
    PDEVICE_OBJECT device = bridge();
    return device != nullptr ? static_cast<PBRIDGE_EXTENSION>(device->DeviceExtension) : nullptr;
  }

  NTSTATUS pnp(UCHAR minor) { return kernel().send_pnp(*node_, minor); }
  NTSTATUS system_power(UCHAR minor, SYSTEM_POWER_STATE state) {
    return kernel().send_system_power(*node_, minor, state);
  }

  // Sends a capabilities query to the top of the stack, as an upper filter
  // does at its start: the bridge keeps the bus driver's power map from it.
  NTSTATUS query_capabilities() {
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Version = 1;
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    return send_capabilities_query(kernel().top_of_stack(node_->pdo), capabilities);
  }

  // A capabilities query built by hand, so that its record may have any
  // version and size. From an emulated thread; answers the final status.
  static NTSTATUS send_capabilities_query(PDEVICE_OBJECT top, DEVICE_CAPABILITIES& capabilities) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    NTSTATUS returned = IofCallDriver(top, irp);
    EXPECT_NE(returned, STATUS_PENDING);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
  }

  uint64_t held(const char* tag) { return kernel().pool_usage(tag).blocks_held; }

  RunResult run(std::function<void()> body) { return rig_->run(std::move(body)); }

 private:
  std::unique_ptr<Rig> rig_;
  DeviceNode* node_ = nullptr;
};

// A device power request sent to the top of the stack, as the power manager
// sends one for PoRequestPowerIrp; records the final status.
struct DevicePowerRequest {
  bool done = false;
  NTSTATUS status = STATUS_PENDING;

  static VOID NTAPI Complete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                             PIO_STATUS_BLOCK io) {
    auto* self = static_cast<DevicePowerRequest*>(context);
    self->done = true;
    self->status = io->Status;
  }
  NTSTATUS send(PDEVICE_OBJECT pdo, UCHAR minor, DEVICE_POWER_STATE state) {
    POWER_STATE power;
    power.DeviceState = state;
    return PoRequestPowerIrp(pdo, minor, power, Complete, this, nullptr);
  }
};

}  // namespace hs::bridge_test
