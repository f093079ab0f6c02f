/*
 * deferral.cpp - requests that arrive at DISPATCH_LEVEL.
 *
 * BridgeReadWrite and BridgeDeviceControl wait for PortMutex and so run only
 * below DISPATCH_LEVEL. The two dispatch routines here call them in the
 * caller's thread when they can; otherwise they hand the request to a system
 * worker thread through one of the three work slots of the extension. The
 * transfer path uses the same slots to start the next read when one ends.
 *
 * A slot is queued from the moment it is filled until its work routine has
 * begun, and a queued slot is never filled again. When the slot whose turn
 * it is is still queued, the request goes on the overflow list instead (a
 * hand-over only counts in StartReadOwed) and holds its I/O reference there;
 * each work routine, as it begins, fills its own slot again with the oldest
 * waiting request. So a burst of deferrals is never refused, never blocks,
 * and reaches the workers in the order it arrived.
 */
#include "portbridge.h"

/* Fills a free slot and queues its work item. DISPATCH_LEVEL. */
static VOID BridgeFillWorkSlot(PBRIDGE_EXTENSION Extension, PBRIDGE_WORK_SLOT Slot, PIRP Irp,
                               PWORKER_THREAD_ROUTINE Routine) {
  Slot->Queued = TRUE;
  Slot->Irp = Irp;
  Slot->DeviceObject = Extension->Self;
  ExInitializeWorkItem(&Slot->WorkItem, Routine, Slot);
  ExQueueWorkItem(&Slot->WorkItem, DelayedWorkQueue);
}

/*
 * Hands a request to a system worker thread. DISPATCH_LEVEL (one processor:
 * nothing else touches the slots meanwhile). Takes an I/O reference that the
 * work routine drops. A request is marked pending here; a read handed over by
 * the transfer path was marked when it was queued and is not touched at all,
 * since a receive abort may complete it before its work routine runs.
 */
VOID BridgeDeferRequest(PBRIDGE_EXTENSION Extension, PIRP Irp, PWORKER_THREAD_ROUTINE Routine) {
  PBRIDGE_WORK_SLOT slot = &Extension->WorkSlots[Extension->NextWorkSlot];
  BOOLEAN handOver = Routine == BridgeStartReadWorkRoutine;

  BridgeIoIncrement(Extension);
  if (!handOver) {
    IoMarkIrpPending(Irp);
  }

  if (slot->Queued || Extension->OverflowHead != NULL || Extension->StartReadOwed != 0) {
    /* Every slot is taken in turn, so the one whose turn it is waited longest;
       and nothing overtakes what already waits. */
    if (handOver) {
      Extension->StartReadOwed++;
    } else {
      Irp->Tail.Overlay.ListEntry.Flink = NULL;
      if (Extension->OverflowTail != NULL) {
        Extension->OverflowTail->Tail.Overlay.ListEntry.Flink = &Irp->Tail.Overlay.ListEntry;
      } else {
        Extension->OverflowHead = Irp;
      }
      Extension->OverflowTail = Irp;
    }
    return;
  }

  Extension->NextWorkSlot = (Extension->NextWorkSlot + 1) % BRIDGE_WORK_SLOT_COUNT;
  BridgeFillWorkSlot(Extension, slot, Irp, Routine);
}

/*
 * Dispatch routine of IRP_MJ_READ and IRP_MJ_WRITE, at any IRQL up to
 * DISPATCH_LEVEL. Below it, BridgeReadWrite carries the request out here;
 * at DISPATCH_LEVEL a worker does, and STATUS_PENDING is returned.
 */
NTSTATUS BridgeDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    return BridgeReadWrite(DeviceObject, Irp);
  }
  BridgeDeferRequest(BridgeExtension(DeviceObject), Irp, BridgeReadWriteWorkRoutine);
  return STATUS_PENDING;
}

/*
 * Dispatch routine of IRP_MJ_DEVICE_CONTROL, at any IRQL up to
 * DISPATCH_LEVEL. Below it, BridgeDeviceControl serves the request here. At
 * DISPATCH_LEVEL, GET_COMMSTATUS is answered and completed at once, also while
 * requests are held (it needs no mutex); any other code goes to a worker.
 */
NTSTATUS BridgeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  NTSTATUS status;

  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    return BridgeDeviceControl(DeviceObject, Irp);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode ==
      IOCTL_SERIAL_GET_COMMSTATUS) {
    BridgeIoIncrement(extension);
    status = BridgeGetCommStatus(extension, Irp);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    BridgeIoDecrement(extension);
    return status;
  }
  BridgeDeferRequest(extension, Irp, BridgeDeviceControlWorkRoutine);
  return STATUS_PENDING;
}

/*
 * Frees a slot as its work routine begins (the routine has taken Irp and
 * DeviceObject out of it), and fills it again at once with what waits for a
 * slot: an owed read hand-over first, then the oldest overflowed request,
 * whose I/O reference moves with it. So waiting requests reach the worker
 * queue in the order they were deferred. PASSIVE_LEVEL.
 */
static VOID BridgeBeginWork(PBRIDGE_WORK_SLOT Slot) {
  PBRIDGE_EXTENSION extension = BridgeExtension(Slot->DeviceObject);
  KIRQL irql;

  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  Slot->Queued = FALSE;
  if (extension->StartReadOwed != 0) {
    extension->StartReadOwed--;
    BridgeFillWorkSlot(extension, Slot, extension->StartingRead, BridgeStartReadWorkRoutine);
  } else if (extension->OverflowHead != NULL) {
    PIRP irp = extension->OverflowHead;
    PLIST_ENTRY next = irp->Tail.Overlay.ListEntry.Flink;
    extension->OverflowHead =
        next != NULL ? CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry) : NULL;
    if (extension->OverflowHead == NULL) {
      extension->OverflowTail = NULL;
    }
    BridgeFillWorkSlot(extension, Slot, irp,
                       IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL
                           ? BridgeDeviceControlWorkRoutine
                           : BridgeReadWriteWorkRoutine);
  }
  KeLowerIrql(irql);
}

/*
 * Work routine of a read or write deferred from DISPATCH_LEVEL. PASSIVE_LEVEL,
 * system worker thread; BridgeReadWrite completes the request.
 */
VOID BridgeReadWriteWorkRoutine(PVOID Parameter) {
  PAGED_CODE();
  PBRIDGE_WORK_SLOT slot = (PBRIDGE_WORK_SLOT)Parameter;
  PDEVICE_OBJECT device = slot->DeviceObject;
  PIRP irp = slot->Irp;
  PBRIDGE_EXTENSION extension = BridgeExtension(device);

  BridgeBeginWork(slot);
  BridgeReadWrite(device, irp);
  BridgeIoDecrement(extension);
}

/*
 * Work routine of a device control deferred from DISPATCH_LEVEL. PASSIVE_LEVEL,
 * system worker thread; BridgeDeviceControl completes the request (or parks
 * it, or leaves a wait pending).
 */
VOID BridgeDeviceControlWorkRoutine(PVOID Parameter) {
  PAGED_CODE();
  PBRIDGE_WORK_SLOT slot = (PBRIDGE_WORK_SLOT)Parameter;
  PDEVICE_OBJECT device = slot->DeviceObject;
  PIRP irp = slot->Irp;
  PBRIDGE_EXTENSION extension = BridgeExtension(device);

  BridgeBeginWork(slot);
  BridgeDeviceControl(device, irp);
  BridgeIoDecrement(extension);
}

/*
 * Work routine of a read handed over from ReadQueue when the previous read
 * ended. PASSIVE_LEVEL, system worker thread. The read is not looked at here:
 * BridgeStartRead starts it only if it still owns the queue (a receive abort
 * may have completed it meanwhile), and it does not pass the QueueMode test or
 * ReadQueue again.
 */
VOID BridgeStartReadWorkRoutine(PVOID Parameter) {
  PAGED_CODE();
  PBRIDGE_WORK_SLOT slot = (PBRIDGE_WORK_SLOT)Parameter;
  PDEVICE_OBJECT device = slot->DeviceObject;
  PIRP irp = slot->Irp;
  PBRIDGE_EXTENSION extension = BridgeExtension(device);

  BridgeBeginWork(slot);
  if (irp != NULL) {
    BridgeStartRead(device, irp);
  }
  BridgeIoDecrement(extension);
}
