// Power manager services for drivers: PoCallDriver, PoStartNextPowerIrp,
// PoSetPowerState and PoRequestPowerIrp.
#include <optional>

#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

// A device power request created by PoRequestPowerIrp, until it completes.
struct PowerRequest {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  PREQUEST_POWER_COMPLETE function;
  PVOID context;
  LoadedDriver* image;  // holds `function`; kept mapped until it has returned
};

NTSTATUS power_request_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  std::unique_ptr<PowerRequest> request(static_cast<PowerRequest*>(context));
  IO_STATUS_BLOCK status = irp->IoStatus;
  if (request->function != nullptr) {
    // What the function completes may let the driver's removal and unload
    // go ahead before the function has returned.
    request->function(request->device, request->minor, request->state, request->context, &status);
  }
  Kernel::current().loader().unpin(request->image);
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace
}  // namespace hs

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Kernel::current().io().call_driver(DeviceObject, Irp, "PoCallDriver");
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  hs::ke_enter("PoStartNextPowerIrp", DISPATCH_LEVEL);
  hs::ke_check_arg("PoStartNextPowerIrp", Irp, "request");
  Kernel& k = Kernel::current();
  hs::IrpRecord* rec = k.io().irp_record(Irp);
  if (rec == nullptr || rec->freed) {
    hs::ke_violation(rec ? "request used after it was freed" : "not a request",
                     "PoStartNextPowerIrp of " + hs::pointer_text(Irp));
  }
  // The calling driver: its image, or for a built-in driver the device at
  // the current stack location.
  std::string driver = k.loader().owner_of(HS_CALLER());
  if (driver.empty() && Irp->CurrentLocation <= Irp->StackCount) {
    driver = k.device_name(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject);
  }
  auto it = rec->power_starts.find(driver);
  if (it == rec->power_starts.end()) {
    hs::ke_violation("PoStartNextPowerIrp on a request that is not a power request of this driver",
                     driver + " called PoStartNextPowerIrp on request #" + std::to_string(rec->id));
  }
  if (++it->second > 1) {
    hs::ke_violation(
        "PoStartNextPowerIrp called twice",
        driver + " called PoStartNextPowerIrp twice for request #" + std::to_string(rec->id));
  }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State) {
  hs::ke_enter("PoSetPowerState", DISPATCH_LEVEL);
  hs::ke_check_arg("PoSetPowerState", DeviceObject, "device object");
  hs::DeviceRecord* r = Kernel::current().io().record(DeviceObject);
  if (r == nullptr || r->deleted) {
    hs::ke_violation(r ? "use of a deleted device" : "not a device object",
                     "PoSetPowerState of " + hs::pointer_text(DeviceObject));
  }
  POWER_STATE previous;
  if (Type == DevicePowerState) {
    previous.DeviceState = r->device_state;
    r->device_state = State.DeviceState;
  } else {
    previous.SystemState = r->system_state;
    r->system_state = State.SystemState;
  }
  return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP* Irp) {
  hs::ke_enter("PoRequestPowerIrp", DISPATCH_LEVEL);
  hs::ke_check_arg("PoRequestPowerIrp", DeviceObject, "device object");
  Kernel& k = Kernel::current();
  hs::DeviceRecord* r = k.io().record(DeviceObject);
  if (r == nullptr || r->deleted) {
    hs::ke_violation(r ? "use of a deleted device" : "not a device object",
                     "PoRequestPowerIrp for " + hs::pointer_text(DeviceObject));
  }
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE) {
    return STATUS_INVALID_PARAMETER_2;
  }
  PDEVICE_OBJECT top = k.top_of_stack(DeviceObject);
  PIRP irp = nullptr;
  {
    // Failures are injected into the drivers' requests; the world's own
    // (the power manager's, sent from host code) always go out.
    std::optional<hs::FaultPlan::Exempt> exempt;
    if (k.loader().owner_of(HS_CALLER()).empty()) exempt.emplace(k.machine().faults());
    if (k.machine().faults().should_fail({"power", "request"}))
      return STATUS_INSUFFICIENT_RESOURCES;
    irp = IoAllocateIrp(top->StackSize, FALSE);
  }
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (hs::IrpRecord* rec = k.io().irp_record(irp)) rec->allocator = "power manager";
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = MinorFunction;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State = PowerState;
  next->Parameters.Power.ShutdownType = PowerActionNone;
  auto* request = new hs::PowerRequest{
      DeviceObject, MinorFunction,
      PowerState,   CompletionFunction,
      Context,      k.loader().pin(reinterpret_cast<const void*>(CompletionFunction))};
  IoSetCompletionRoutine(irp, hs::power_request_done, request, TRUE, TRUE, TRUE);
  if (Irp != nullptr) *Irp = irp;
  Machine& m = k.machine();
  if (m.irql() == PASSIVE_LEVEL && m.current_thread() != nullptr && !m.in_interrupt()) {
    PoCallDriver(top, irp);
  } else {
    // Sent at PASSIVE_LEVEL by a system worker, as power-pageable drivers need.
    k.workers().queue([top, irp] { PoCallDriver(top, irp); }, "device power request");
  }
  return STATUS_PENDING;
}

}  // extern "C"
