/*
 * held.cpp - requests parked while the device is not ready for traffic:
 * parking, the drain that re-dispatches or fails them, their cancel routine
 * and IRP_MJ_CLEANUP, which cancels those of one handle.
 *
 * Who completes a held request is settled by IoSetCancelRoutine(irp, NULL):
 * whoever gets the routine back completes it; when it comes back null the
 * cancel routine owns the request, and its list entry is made to point to
 * itself before HeldLock is released so that the routine's unlinking is
 * harmless. Nothing is completed or re-dispatched while HeldLock is held.
 */
#include "portbridge.h"

/*
 * BridgeCompleteCancelledList - completes every request of a local list
 * with STATUS_CANCELLED and Information 0. Any IRQL up to DISPATCH_LEVEL,
 * no lock held.
 */
static VOID BridgeCompleteCancelledList(PLIST_ENTRY List) {
  while (!IsListEmpty(List)) {
    PLIST_ENTRY entry = RemoveHeadList(List);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    irp->IoStatus.Information = 0;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

/*
 * BridgeHoldRequest - parks a read, write or device control at the tail of
 * HeldList, marked pending, with BridgeCancelHeldRequest as its cancel
 * routine. Up to DISPATCH_LEVEL. Called before the caller takes a reference;
 * the caller returns STATUS_PENDING and does nothing else with the request.
 * A request whose cancel came before its cancel routine was set is completed
 * here with STATUS_CANCELLED instead of being left parked.
 */
NTSTATUS BridgeHoldRequest(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->HeldLock, &irql);
  InsertTailList(&Extension->HeldList, &Irp->Tail.Overlay.ListEntry);
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, BridgeCancelHeldRequest);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Extension->HeldLock, irql);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
  }
  KeReleaseSpinLock(&Extension->HeldLock, irql);
  return STATUS_PENDING;
}

/*
 * BridgeProcessHeldRequests - the drain: takes the held requests in arrival
 * order and, by QueueMode, fails them with STATUS_DELETE_PENDING (fail) or
 * re-dispatches them through the driver's own dispatch table (pass).
 * Up to DISPATCH_LEVEL; called after QueueMode was set to pass or fail.
 * Cancelled requests met on the way are completed with STATUS_CANCELLED
 * at the end. When another thread sets QueueMode back to hold meanwhile,
 * the drain stops and leaves the rest parked, in order, for the next drain,
 * instead of re-parking and re-taking the same requests for ever.
 */
VOID BridgeProcessHeldRequests(PBRIDGE_EXTENSION Extension) {
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  PDRIVER_OBJECT driver = Extension->Self->DriverObject;

  KIRQL irql;
  KeAcquireSpinLock(&Extension->HeldLock, &irql);
  while (!IsListEmpty(&Extension->HeldList) && Extension->QueueMode != BRIDGE_HOLD_REQUESTS) {
    PLIST_ENTRY entry = RemoveHeadList(&Extension->HeldList);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    PDRIVER_CANCEL previous = IoSetCancelRoutine(irp, NULL);
    if (previous == NULL) {
      /* Its cancel routine is running and completes it. */
      InitializeListHead(entry);
      continue;
    }
    if (irp->Cancel) {
      InsertTailList(&cancelled, entry);
      continue;
    }
    KeReleaseSpinLock(&Extension->HeldLock, irql);

    if (Extension->QueueMode == BRIDGE_FAIL_REQUESTS) {
      irp->IoStatus.Information = 0;
      irp->IoStatus.Status = STATUS_DELETE_PENDING;
      IofCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
      UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
      driver->MajorFunction[major](Extension->Self, irp);
    }

    KeAcquireSpinLock(&Extension->HeldLock, &irql);
  }
  KeReleaseSpinLock(&Extension->HeldLock, irql);

  BridgeCompleteCancelledList(&cancelled);
}

/*
 * BridgeCancelHeldRequest - cancel routine of a held request; entered with
 * the cancel spin lock held. Unlinks the request under HeldLock and
 * completes it with STATUS_CANCELLED. Returns at the IRQL the cancel began at.
 */
VOID NTAPI BridgeCancelHeldRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);

  KeAcquireSpinLockAtDpcLevel(&extension->HeldLock);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&extension->HeldLock, Irp->CancelIrql);

  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
}

/*
 * BridgeDispatchCleanup - IRP_MJ_CLEANUP: cancels the held requests of the
 * cleaned-up handle (same FileObject) and leaves all others parked. When
 * that handle holds the port open, its reads in progress and its pending
 * wait end too (STATUS_CANCELLED): the close that would end them comes only
 * once every request of the handle has ended, and a read with no time-outs
 * or a wait for an event that never comes would otherwise keep the handle
 * for ever. That part needs PASSIVE_LEVEL (the port mutex); a cleanup at
 * DISPATCH_LEVEL cancels the held requests only. Never held, not passed
 * down. Completes the cleanup request itself with STATUS_SUCCESS.
 */
NTSTATUS NTAPI BridgeDispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  BridgeIoIncrement(extension);

  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);

  KIRQL irql;
  KeAcquireSpinLock(&extension->HeldLock, &irql);
  PLIST_ENTRY entry = extension->HeldList.Flink;
  while (entry != &extension->HeldList) {
    PLIST_ENTRY next = entry->Flink;
    PIRP held = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoGetCurrentIrpStackLocation(held)->FileObject == fileObject) {
      RemoveEntryList(entry);
      if (IoSetCancelRoutine(held, NULL) == NULL) {
        InitializeListHead(entry);
      } else {
        InsertTailList(&cancelled, entry);
      }
    }
    entry = next;
  }
  KeReleaseSpinLock(&extension->HeldLock, irql);

  BridgeCompleteCancelledList(&cancelled);

  if (KeGetCurrentIrql() < DISPATCH_LEVEL && extension->OpenFileObject == fileObject &&
      fileObject != NULL) {
    BridgeCancelWait(extension);
    BridgeAbortHandleReads(extension);
  }

  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  BridgeIoDecrement(extension);
  return STATUS_SUCCESS;
}
