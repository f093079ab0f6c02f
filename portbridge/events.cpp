/*
 * events.cpp - the wait mask, event waits and the communication status.
 *
 * BridgeCommNotify is called by VCOMM when an enabled event occurs on the
 * port, possibly at interrupt time and nested in itself. It fetches the
 * events, keeps ComStat and ErrorWord current, and hands the events to the
 * pending WAIT_ON_MASK or notes them in EventHistory. It completes nothing
 * itself: a delivered wait is completed by WaitDpc, reached through a VMM
 * global event.
 *
 * The wait slot is empty, pending (WaitIrp set, NotifyDepth 0 as seen from
 * thread or DPC code) or delivered (WaitIrp set, event word written, NotifyDepth
 * raised until WaitDpc has run). Thread code looks at and moves WaitIrp only
 * with interrupts disabled; a delivered wait belongs to WaitDpc alone, so
 * SET_WAIT_MASK and close take only a pending one, and a second WAIT_ON_MASK
 * is refused while the slot is in use.
 */
#include "portbridge.h"

/* Event bits the port is asked for, and those a wait may report. */
#define BRIDGE_PORT_EVENTS 0x3FE
#define BRIDGE_WAIT_EVENTS 0x3FF
#define BRIDGE_VALID_WAIT_MASK 0x7FF

/* Length of the request's input record. Any IRQL. */
static ULONG BridgeInputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

/* Length of the request's output buffer. Any IRQL. */
static ULONG BridgeOutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/*
 * IOCTL_SERIAL_SET_WAIT_MASK. PASSIVE_LEVEL. A pending wait is completed first
 * with event word 0; a delivered one is left to WaitDpc. The port always
 * reports received characters and never SERIAL_EV_RX80FULL; WaitMask keeps
 * what the client asked for. Information is not set.
 */
/*
 * BridgeCancelWait - ends a pending WAIT_ON_MASK with STATUS_CANCELLED and
 * drops its reference; a wait whose completion is already scheduled belongs
 * to WaitDpc and is left to it. Up to DISPATCH_LEVEL.
 */
VOID BridgeCancelWait(PBRIDGE_EXTENSION Extension) {
  PIRP wait = NULL;
  _disable();
  if (Extension->WaitIrp != NULL && Extension->NotifyDepth == 0) {
    wait = Extension->WaitIrp;
    Extension->WaitIrp = NULL;
  }
  _enable();
  if (wait != NULL) {
    wait->IoStatus.Information = 0;
    wait->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(wait, IO_NO_INCREMENT);
    BridgeIoDecrement(Extension);
  }
}

NTSTATUS BridgeSetWaitMask(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  ULONG mask;
  PIRP wait = NULL;
  NTSTATUS status;

  if (BridgeInputLength(Irp) < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  if (mask & ~(ULONG)BRIDGE_VALID_WAIT_MASK) {
    return STATUS_INVALID_PARAMETER;
  }

  _disable();
  Extension->WaitMaskChanging = TRUE;
  if (Extension->WaitIrp != NULL && Extension->NotifyDepth == 0) {
    wait = Extension->WaitIrp;
    Extension->WaitIrp = NULL;
  }
  _enable();

  if (wait != NULL) {
    KIRQL irql;
    *(PULONG)wait->AssociatedIrp.SystemBuffer = 0;
    wait->IoStatus.Information = sizeof(ULONG);
    wait->IoStatus.Status = STATUS_SUCCESS;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    IofCompleteRequest(wait, IO_NO_INCREMENT);
    KeLowerIrql(irql);
    BridgeIoDecrement(Extension);
  }

  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  if (_VCOMM_SetCommEventMask(Extension->Port, (mask & BRIDGE_PORT_EVENTS) | EV_RXCHAR, NULL)) {
    Extension->WaitMask = mask;
    status = STATUS_SUCCESS;
  } else {
    status = STATUS_UNSUCCESSFUL;
  }
  KeReleaseMutex(&Extension->PortMutex, FALSE);
  return status;
}

/* IOCTL_SERIAL_GET_WAIT_MASK: the mask as the client set it. PASSIVE_LEVEL. */
NTSTATUS BridgeGetWaitMask(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  if (BridgeOutputLength(Irp) < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->WaitMask;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

/*
 * IOCTL_SERIAL_WAIT_ON_MASK. PASSIVE_LEVEL. Answers at once from EventHistory
 * when it holds events; otherwise leaves the request pending in WaitIrp (no
 * cancel routine) and returns STATUS_PENDING: WaitDpc, SET_WAIT_MASK or close
 * completes it. A wait that arrives while the slot holds one is refused with
 * STATUS_INVALID_PARAMETER, so that neither is left without completion.
 */
NTSTATUS BridgeWaitOnMask(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  ULONG events;

  if (BridgeOutputLength(Irp) < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }

  _disable();
  if (Extension->WaitIrp != NULL) {
    _enable();
    return STATUS_INVALID_PARAMETER;
  }
  events = Extension->EventHistory;
  Extension->EventHistory = 0;
  if (events == 0) {
    /* Published last: from here a notification may deliver to it. */
    Irp->IoStatus.Information = 0;
    Extension->WaitMaskChanging = FALSE;
    IoMarkIrpPending(Irp);
    Extension->WaitIrp = Irp;
  }
  _enable();

  if (events == 0) {
    return STATUS_PENDING;
  }
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = events;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

/*
 * IOCTL_SERIAL_GET_COMMSTATUS: the last snapshot of ComStat and ErrorWord,
 * which is cleared. Any IRQL (also called at DISPATCH_LEVEL and above by the
 * dispatch routine); the port is not asked.
 */
NTSTATUS BridgeGetCommStatus(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_STATUS out;
  COMSTAT comStat;
  ULONG errors;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_STATUS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  _disable();
  comStat = Extension->ComStat;
  errors = Extension->ErrorWord;
  Extension->ErrorWord = 0;
  _enable();

  out = (PSERIAL_STATUS)Irp->AssociatedIrp.SystemBuffer;
  RtlZeroMemory(out, sizeof(SERIAL_STATUS));
  if (errors & CE_RXOVER) out->Errors |= SERIAL_ERROR_QUEUEOVERRUN;
  if (errors & CE_OVERRUN) out->Errors |= SERIAL_ERROR_OVERRUN;
  if (errors & CE_RXPARITY) out->Errors |= SERIAL_ERROR_PARITY;
  if (errors & CE_FRAME) out->Errors |= SERIAL_ERROR_FRAMING;
  if (errors & CE_BREAK) out->Errors |= SERIAL_ERROR_BREAK;
  out->HoldReasons = comStat.BitMask & 0x1F;
  out->EofReceived = (comStat.BitMask & fEof) ? TRUE : FALSE;
  out->WaitForImmediate = (comStat.BitMask & fTxim) ? TRUE : FALSE;
  out->AmountInInQueue = comStat.cbInQue;
  out->AmountInOutQueue = comStat.cbOutQue;
  Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
  return STATUS_SUCCESS;
}

/*
 * VCOMM's notification routine, registered by create with the extension as
 * its data. Runs in VCOMM's context, possibly at interrupt time and nested;
 * calls only VCOMM and interlocked services and completes no request. Only
 * the outermost call (depth 1) may deliver to the pending wait; it then
 * leaves NotifyDepth raised for WaitDpc to lower.
 */
VOID BridgeCommNotify(ULONG Port, PVOID Data, ULONG Event, ULONG SubEvent) {
  PBRIDGE_EXTENSION extension = (PBRIDGE_EXTENSION)Data;
  LONG depth;
  ULONG events = 0;

  if (Event != CN_EVENT) {
    return;
  }
  depth = InterlockedIncrement(&extension->NotifyDepth);
  _VCOMM_GetCommEventMask(Port, SubEvent, &events);

  if (events & EV_ERR) {
    COMSTAT comStat;
    ULONG errors = 0;
    if (_VCOMM_ClearCommError(Port, &comStat, &errors)) {
      _disable();
      extension->ComStat = comStat;
      extension->ErrorWord |= errors;
      _enable();
    }
  } else if (events & EV_RXCHAR) {
    COMSTAT comStat;
    if (_VCOMM_GetCommQueueStatus(Port, &comStat)) {
      _disable();
      extension->ComStat = comStat;
      _enable();
    }
  }

  if (depth == 1 && !extension->WaitMaskChanging && extension->WaitIrp != NULL) {
    *(PULONG)extension->WaitIrp->AssociatedIrp.SystemBuffer = events & BRIDGE_WAIT_EVENTS;
    if (Schedule_Global_Event(BridgeWaitEventCallback, extension) != 0) {
      return;
    }
    /* No event to carry the completion: the wait stays for the next one. */
  }
  if (extension->HistoryArmed) {
    /* Always with interrupts disabled: a nested call must not lose its bits. */
    _disable();
    extension->EventHistory |= events;
    _enable();
  }
  InterlockedDecrement(&extension->NotifyDepth);
}

/* VMM global event of a delivered wait: queues WaitDpc. Runs once, after the
   notification has returned. */
VOID BridgeWaitEventCallback(PVOID RefData) {
  PBRIDGE_EXTENSION extension = (PBRIDGE_EXTENSION)RefData;
  KeInitializeDpc(&extension->WaitDpc, BridgeWaitDpcRoutine, extension);
  KeInsertQueueDpc(&extension->WaitDpc, NULL, NULL);
}

/*
 * Deferred routine of WaitDpc: completes the delivered wait (its event word
 * was written by BridgeCommNotify) and arms EventHistory. DISPATCH_LEVEL. The
 * delivered wait is still in WaitIrp: nothing else takes a delivered wait.
 */
VOID BridgeWaitDpcRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                          PVOID SystemArgument2) {
  PBRIDGE_EXTENSION extension = (PBRIDGE_EXTENSION)DeferredContext;
  PIRP wait;

  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);

  _disable();
  wait = extension->WaitIrp;
  extension->WaitIrp = NULL;
  extension->HistoryArmed = TRUE;
  _enable();
  InterlockedDecrement(&extension->NotifyDepth);

  if (wait != NULL) {
    wait->IoStatus.Information = sizeof(ULONG);
    wait->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(wait, IO_NO_INCREMENT);
    BridgeIoDecrement(extension);
  }
}
