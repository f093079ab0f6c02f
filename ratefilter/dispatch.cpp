/*
 * dispatch.cpp - FilterDispatch, the one dispatch routine of every major
 * function, and the gate that keeps client requests off the line while a
 * baud-rate negotiation runs.
 *
 * The gate is IdleEvent, signalled while no negotiation runs. A request that
 * passes it and will be sent down counts in GateUsers until the lower
 * driver's dispatch has returned; the negotiation closes the gate and then
 * waits for GateUsers to drain, so no request that slipped past the open gate
 * reaches the port in the middle of the negotiation. A request that meets the
 * closed gate at DISPATCH_LEVEL cannot wait: it is queued pending in
 * GateQueue, cancellable, and sent down when the gate opens again.
 */
#include "ratefilter.h"

static DRIVER_CANCEL FilterGateCancel;

/*
 * FilterCurrentIrql - the IRQL of the caller, read from the cancel spin
 * lock's saved IRQL (the kernel's own export; the HAL is not imported).
 * Up to DISPATCH_LEVEL.
 */
static KIRQL FilterCurrentIrql(VOID) {
  KIRQL irql;

  IoAcquireCancelSpinLock(&irql);
  IoReleaseCancelSpinLock(irql);
  return irql;
}

/*
 * FilterPassDown - sends Irp on to LowerDevice with the current stack
 * location copied and no completion routine; returns the lower driver's
 * status. Up to DISPATCH_LEVEL. The lower driver completes the request.
 */
NTSTATUS FilterPassDown(PFILTER_EXTENSION Extension, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IofCallDriver(Extension->LowerDevice, Irp);
}

/*
 * FilterGateIsOpen - tests IdleEvent with a zero timeout, which never
 * blocks. Up to DISPATCH_LEVEL.
 */
BOOLEAN FilterGateIsOpen(PFILTER_EXTENSION Extension) {
  LARGE_INTEGER zero;

  zero.QuadPart = 0;
  return KeWaitForSingleObject(&Extension->IdleEvent, Executive, KernelMode, FALSE, &zero) !=
         STATUS_TIMEOUT;
}

/*
 * FilterGateLeave - a counted request has been handed to the lower driver.
 * Up to DISPATCH_LEVEL.
 */
static VOID FilterGateLeave(PFILTER_EXTENSION Extension) {
  if (InterlockedDecrement(&Extension->GateUsers) == 0) {
    KeSetEvent(&Extension->GateDrainedEvent, IO_NO_INCREMENT, FALSE);
  }
}

/*
 * FilterGateHold - queues a request that met the closed gate at
 * DISPATCH_LEVEL. Returns FALSE when the gate has opened meanwhile (the
 * caller goes on as usual), TRUE when the request now belongs to the queue
 * (pending, with its dispatch reference) or has been completed as cancelled.
 */
static BOOLEAN FilterGateHold(PFILTER_EXTENSION Extension, PIRP Irp) {
  KIRQL irql;

  IoAcquireCancelSpinLock(&irql);
  if (FilterGateIsOpen(Extension)) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&Extension->GateQueue, &Irp->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(Irp, FilterGateCancel);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    FilterIoDecrement(Extension);
    return TRUE;
  }
  IoReleaseCancelSpinLock(irql);
  return TRUE;
}

/*
 * FilterGateCancel - cancel routine of a request held in GateQueue. Called
 * with the cancel spin lock held (DISPATCH_LEVEL), which guards the queue;
 * completes the request as cancelled and drops its dispatch reference.
 */
static VOID NTAPI FilterGateCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;

  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irp->CancelIrql);

  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  FilterIoDecrement(extension);
}

/*
 * FilterGateEnter - step 4 of the dispatch: waits while a negotiation runs.
 * Counted requests join GateUsers before they test the gate. Returns TRUE
 * when the request may go on, FALSE when it has been queued at
 * DISPATCH_LEVEL (the gate's release sends it on). Up to DISPATCH_LEVEL;
 * blocks only below it.
 */
static BOOLEAN FilterGateEnter(PFILTER_EXTENSION Extension, PIRP Irp, BOOLEAN Counted) {
  for (;;) {
    if (Counted) {
      InterlockedIncrement(&Extension->GateUsers);
    }
    if (FilterGateIsOpen(Extension)) {
      return TRUE;
    }
    if (Counted) {
      FilterGateLeave(Extension);
    }
    if (FilterCurrentIrql() >= DISPATCH_LEVEL) {
      if (FilterGateHold(Extension, Irp)) {
        return FALSE;
      }
      continue;
    }
    KeWaitForSingleObject(&Extension->IdleEvent, Executive, KernelMode, FALSE, NULL);
  }
}

/*
 * FilterCloseGate - a negotiation takes the line: clears IdleEvent, then
 * waits until every request that passed the gate before has been handed to
 * the lower driver. PASSIVE_LEVEL, negotiation thread, NegotiationLock held.
 */
VOID FilterCloseGate(PFILTER_EXTENSION Extension) {
  PAGED_CODE();

  KeClearEvent(&Extension->IdleEvent);
  for (;;) {
    KeClearEvent(&Extension->GateDrainedEvent);
    if (InterlockedCompareExchange(&Extension->GateUsers, 0, 0) == 0) {
      return;
    }
    KeWaitForSingleObject(&Extension->GateDrainedEvent, Executive, KernelMode, FALSE, NULL);
  }
}

/*
 * FilterOpenGate - the negotiation gives the line back: signals IdleEvent and
 * sends on the requests queued at the closed gate, each with the dispatch
 * reference it kept. PASSIVE_LEVEL, negotiation thread, NegotiationLock held,
 * so no other negotiation can close the gate before they have gone down.
 */
VOID FilterOpenGate(PFILTER_EXTENSION Extension) {
  LIST_ENTRY ready;
  PLIST_ENTRY entry;
  PIRP irp;
  KIRQL irql;

  KeSetEvent(&Extension->IdleEvent, IO_NO_INCREMENT, FALSE);

  InitializeListHead(&ready);
  IoAcquireCancelSpinLock(&irql);
  while (!IsListEmpty(&Extension->GateQueue)) {
    entry = RemoveHeadList(&Extension->GateQueue);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      /* Its cancel routine is running and will complete it. */
      InitializeListHead(entry);
      continue;
    }
    InsertTailList(&ready, entry);
  }
  IoReleaseCancelSpinLock(irql);

  while (!IsListEmpty(&ready)) {
    entry = RemoveHeadList(&ready);
    irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    (VOID) FilterPassDown(Extension, irp);
    FilterIoDecrement(Extension);
  }
}

/*
 * FilterNeedsPassive - requests whose handling blocks or lies in pageable
 * code: open and the three device controls of the negotiation.
 */
static BOOLEAN FilterNeedsPassive(UCHAR Major, ULONG Code) {
  if (Major == IRP_MJ_CREATE) {
    return TRUE;
  }
  return Major == IRP_MJ_DEVICE_CONTROL &&
         (Code == IOCTL_SERIAL_SET_BAUD_RATE || Code == IOCTL_SERIAL_SET_TIMEOUTS ||
          Code == IOCTL_SERIAL_WAIT_ON_MASK);
}

/*
 * FilterRoute - step 5 and 6 of the dispatch, after the gate: hands the
 * request to its handler or passes it down. Returns the dispatch's result.
 */
static NTSTATUS FilterRoute(PFILTER_EXTENSION Extension, PIRP Irp, UCHAR Major, ULONG Code) {
  BOOLEAN passDown = TRUE;
  NTSTATUS status = STATUS_SUCCESS;

  switch (Major) {
    case IRP_MJ_CREATE:
      FilterReadDebugSettings(Extension, Extension->Pdo);
      if (Extension->Breakpoints & FILTER_BREAK_ON_CREATE) {
        DbgBreakPoint();
      }
      Extension->RateKnown = FALSE;
      Extension->TimeoutsSaved = FALSE;
      /* HeldWaitIrp is not touched: it is empty whenever no negotiation
       * runs, and while one is about to take the line it may hold a
       * client's wait that only the release may send on. */
      break;
    case IRP_MJ_DEVICE_CONTROL:
      if (Code == IOCTL_SERIAL_SET_BAUD_RATE) {
        status = FilterNegotiateBaudRate(Extension, Irp, &passDown);
      } else if (Code == IOCTL_SERIAL_SET_TIMEOUTS) {
        status = FilterSaveTimeouts(Extension, Irp, &passDown);
      } else if (Code == IOCTL_SERIAL_WAIT_ON_MASK) {
        status = FilterSendWaitOnMask(Extension, Irp, &passDown);
      }
      break;
    case IRP_MJ_PNP:
      return FilterDispatchPnp(Extension, Irp);
    default:
      break;
  }

  if (passDown) {
    status = FilterPassDown(Extension, Irp);
  }
  return status;
}

/*
 * FilterDispatch - the dispatch routine of all 28 major functions. Below
 * DISPATCH_LEVEL for open, Plug and Play and the negotiation's three device
 * controls; up to DISPATCH_LEVEL otherwise. Requests are passed down (the
 * lower driver completes them) unless a handler disposes of them; requests
 * after surprise removal, and pageable ones sent at DISPATCH_LEVEL, are
 * completed here. Power requests do not wait at the gate: a negotiation may
 * itself be waiting for the port to return to D0.
 */
NTSTATUS NTAPI FilterDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR major = stack->MajorFunction;
  UCHAR minor = stack->MinorFunction;
  ULONG code =
      (major == IRP_MJ_DEVICE_CONTROL) ? stack->Parameters.DeviceIoControl.IoControlCode : 0;
  BOOLEAN isRemove = (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE);
  BOOLEAN counted;
  NTSTATUS status;

  if (!isRemove) {
    FilterIoIncrement(extension);
  }

  /* Cleanup goes down like close: it is what ends a handle's requests in
     the driver below, and after a surprise removal they must still end. */
  if (major != IRP_MJ_PNP && major != IRP_MJ_CLOSE && major != IRP_MJ_CLEANUP) {
    if (extension->PnpState == FILTER_SURPRISE_REMOVED || extension->PnpState == FILTER_REMOVED) {
      if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(Irp);
      }
      Irp->IoStatus.Status = STATUS_DELETE_PENDING;
      IofCompleteRequest(Irp, IO_NO_INCREMENT);
      FilterIoDecrement(extension);
      return STATUS_DELETE_PENDING;
    }
  }

  if (major == IRP_MJ_POWER) {
    status = FilterDispatchPower(extension, Irp);
    FilterIoDecrement(extension);
    return status;
  }

  if (FilterCurrentIrql() >= DISPATCH_LEVEL && FilterNeedsPassive(major, code)) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    FilterIoDecrement(extension);
    return STATUS_INVALID_DEVICE_REQUEST;
  }

  /* Requests that may touch the line count as gate users; the negotiation's
   * own request and Plug and Play requests do not. */
  counted = major != IRP_MJ_PNP && code != IOCTL_SERIAL_SET_BAUD_RATE;
  if (!FilterGateEnter(extension, Irp, counted)) {
    return STATUS_PENDING;
  }

  status = FilterRoute(extension, Irp, major, code);

  if (counted) {
    FilterGateLeave(extension);
  }
  if (!isRemove) {
    FilterIoDecrement(extension);
  }
  return status;
}
