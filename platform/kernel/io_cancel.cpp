// I/O manager: cancel (the cancel spin lock, IoSetCancelRoutine, IoCancelIrp)
// and device queues.
#include "kernel/ke_internal.h"
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {

void IoManager::acquire_cancel_lock(PKIRQL irql) {
  Machine& m = Machine::current();
  if (cancel_lock_held_) {
    ke_violation("spin lock acquired twice",
                 "the cancel spin lock is already held; on one processor this never returns");
  }
  *irql = m.raise_irql(DISPATCH_LEVEL);
  cancel_lock_held_ = true;
  ke_lock_taken(&cancel_lock_held_, "cancel spin lock");
}

void IoManager::release_cancel_lock(KIRQL irql) {
  Machine& m = Machine::current();
  if (!cancel_lock_held_)
    ke_violation("spin lock released twice", "the cancel spin lock is not held");
  if (m.irql() != DISPATCH_LEVEL) {
    ke_violation("spin lock released at the wrong IRQL",
                 "the cancel spin lock released at IRQL " + std::to_string(m.irql()));
  }
  if (irql > DISPATCH_LEVEL) {
    ke_violation("spin lock released at the wrong IRQL",
                 "IoReleaseCancelSpinLock to IRQL " + std::to_string(irql));
  }
  cancel_lock_held_ = false;
  ke_lock_released(&cancel_lock_held_);
  m.lower_irql(irql);
}

}  // namespace hs

extern "C" {

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
  hs::ke_enter("IoAcquireCancelSpinLock", DISPATCH_LEVEL);
  hs::ke_check_arg("IoAcquireCancelSpinLock", Irql, "IRQL pointer");
  Kernel::current().io().acquire_cancel_lock(Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
  Kernel::current().io().release_cancel_lock(Irql);
  Machine::current().service_point("IoReleaseCancelSpinLock");
}

PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  hs::ke_enter("IoSetCancelRoutine", DISPATCH_LEVEL);
  hs::ke_check_arg("IoSetCancelRoutine", Irp, "request");
  hs::IrpRecord* rec = Kernel::current().io().irp_record(Irp);
  if (rec == nullptr || rec->freed) {
    hs::ke_violation(rec ? "request used after it was freed" : "not a request",
                     "IoSetCancelRoutine on " + hs::pointer_text(Irp));
  }
  return reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine),
                                 reinterpret_cast<PVOID>(CancelRoutine)));
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  hs::ke_enter("IoCancelIrp", DISPATCH_LEVEL);
  hs::ke_check_arg("IoCancelIrp", Irp, "request");
  Kernel& k = Kernel::current();
  hs::IrpRecord* rec = k.io().irp_record(Irp);
  if (rec == nullptr || rec->freed) {
    hs::ke_violation(rec ? "request used after it was freed" : "not a request",
                     "IoCancelIrp of " + hs::pointer_text(Irp));
  }
  KIRQL irql;
  k.io().acquire_cancel_lock(&irql);
  Irp->Cancel = TRUE;
  auto routine = reinterpret_cast<PDRIVER_CANCEL>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Irp->CancelRoutine), nullptr));
  if (routine == nullptr) {
    k.io().release_cancel_lock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                              ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                              : nullptr;
  routine(device, Irp);
  if (k.io().cancel_lock_held()) {
    hs::ke_violation(
        "cancel routine returned holding the cancel spin lock",
        "the cancel routine of " + k.device_name(device) + " did not call IoReleaseCancelSpinLock");
  }
  return TRUE;
}

VOID NTAPI KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  hs::ke_enter("KeInitializeDeviceQueue", DISPATCH_LEVEL);
  hs::ke_check_arg("KeInitializeDeviceQueue", DeviceQueue, "device queue");
  DeviceQueue->Type = 0x14;
  DeviceQueue->Size = sizeof(KDEVICE_QUEUE);
  InitializeListHead(&DeviceQueue->DeviceListHead);
  DeviceQueue->Lock = 0;
  DeviceQueue->Busy = FALSE;
}

BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                  PKDEVICE_QUEUE_ENTRY DeviceQueueEntry) {
  Machine& m = Machine::current();
  m.service_point("KeInsertDeviceQueue");
  hs::ke_check_arg("KeInsertDeviceQueue", DeviceQueue, "device queue");
  hs::ke_check_arg("KeInsertDeviceQueue", DeviceQueueEntry, "entry");
  if (m.irql() != DISPATCH_LEVEL) {
    hs::ke_violation(
        "service called at the wrong IRQL",
        "KeInsertDeviceQueue at IRQL " + std::to_string(m.irql()) + " (DISPATCH_LEVEL only)");
  }
  if (DeviceQueueEntry->Inserted) {
    hs::ke_violation("device queue entry inserted twice",
                     "KeInsertDeviceQueue of an entry that is already queued");
  }
  if (!DeviceQueue->Busy) {
    DeviceQueue->Busy = TRUE;
    DeviceQueueEntry->Inserted = FALSE;
    return FALSE;
  }
  InsertTailList(&DeviceQueue->DeviceListHead, &DeviceQueueEntry->DeviceListEntry);
  DeviceQueueEntry->Inserted = TRUE;
  return TRUE;
}

PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue) {
  Machine& m = Machine::current();
  m.service_point("KeRemoveDeviceQueue");
  hs::ke_check_arg("KeRemoveDeviceQueue", DeviceQueue, "device queue");
  if (m.irql() != DISPATCH_LEVEL) {
    hs::ke_violation(
        "service called at the wrong IRQL",
        "KeRemoveDeviceQueue at IRQL " + std::to_string(m.irql()) + " (DISPATCH_LEVEL only)");
  }
  if (!DeviceQueue->Busy) {
    hs::ke_violation("device queue not busy", "KeRemoveDeviceQueue of an idle device queue");
  }
  if (IsListEmpty(&DeviceQueue->DeviceListHead)) {
    DeviceQueue->Busy = FALSE;
    return nullptr;
  }
  PLIST_ENTRY entry = RemoveHeadList(&DeviceQueue->DeviceListHead);
  auto* queued = CONTAINING_RECORD(entry, KDEVICE_QUEUE_ENTRY, DeviceListEntry);
  queued->Inserted = FALSE;
  return queued;
}

}  // extern "C"
