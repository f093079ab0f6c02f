/*
 * read_write.cpp - reads, writes and the purge.
 *
 * A write is one synchronous _VCOMM_WriteComm. A read takes what VCOMM has
 * queued and, while it is not satisfied, arms ReadTimer; the timer routine
 * reads again, until the buffer is full or a rule built on the client's read
 * timeouts ends it. Between polls the read is held only by CurrentRead and
 * ReadTimer: no thread waits for it. Reads run one at a time in arrival order
 * through ReadQueue. IOCTL_SERIAL_PURGE aborts reads and empties the queues.
 *
 * Who owns ReadQueue: while it is busy exactly one read owns it, either as
 * StartingRead (inserted into the idle queue, or handed over to a work item,
 * and not yet started) or as CurrentRead. Both are set and taken at
 * DISPATCH_LEVEL; a read becomes current only under PortMutex, which the purge
 * holds, so a receive abort sees every read in exactly one place (StartingRead,
 * CurrentRead or the queue) and completes each once. The read that ends takes
 * the next one from the queue before it lets go of PortMutex (or, in the timer
 * routine, at DISPATCH_LEVEL), so an abort cannot slip in between and leave
 * the queue idle while a read is about to start; the next read is started by
 * a work item only after the one before it has been completed.
 */
#include "portbridge.h"

/* Constants of the read decision rule. */
#define BRIDGE_ERROR_ENDS_READS 0x80          /* ErrorWord bit that ends every read */
#define BRIDGE_WAIT_WITHOUT_TOTAL (-10000000) /* 1 s, relative, in 100 ns units */

/* Lowers the cached receive count by Count without wrapping below 0; returns the
   remaining count. Any IRQL; interrupts are disabled around the update. */
static ULONG BridgeConsumeReceived(PBRIDGE_EXTENSION Extension, ULONG Count) {
  ULONG remaining;
  _disable();
  remaining = Extension->ComStat.cbInQue > Count ? Extension->ComStat.cbInQue - Count : 0;
  Extension->ComStat.cbInQue = remaining;
  _enable();
  return remaining;
}

/* Milliseconds since the current read started. Any IRQL. */
static LONGLONG BridgeReadElapsed(PBRIDGE_EXTENSION Extension) {
  LARGE_INTEGER now;
  KeQueryTickCount(&now);
  return (now.QuadPart - Extension->ReadStartTick.QuadPart) *
         (LONGLONG)(KeQueryTimeIncrement() / 10000);
}

/*
 * Turns a due time into the line time of the bytes still missing, from the
 * port's settings record: bits per character (no start bit counted) times the
 * missing count, taken in 32 bits, at the rate as the record holds it. When
 * the settings cannot be read, or the rate is 0, the given due time stands.
 * The result is never 0, so a poll always lets time pass. Any IRQL up to
 * DISPATCH_LEVEL.
 */
static LONGLONG BridgeLineDueTime(PBRIDGE_EXTENSION Extension, ULONG Missing, LONGLONG DueTime) {
  DCB dcb;
  ULONG bits;
  LONGLONG due;

  RtlZeroMemory(&dcb, sizeof(dcb));
  if (!_VCOMM_GetCommState(Extension->Port, &dcb) || dcb.BaudRate == 0) {
    return DueTime;
  }
  bits = (ULONG)dcb.ByteSize + (dcb.Parity != 0 ? 1 : 0) + (dcb.StopBits != 0 ? 2 : 1);
  due = -((LONGLONG)(ULONG)(bits * Missing) * 10000000) / (LONGLONG)dcb.BaudRate;
  return due != 0 ? due : -1;
}

/*
 * The read decision rule, applied after every read from VCOMM. Returns TRUE
 * when the read ends (*Status set) and FALSE when it goes on waiting (*DueTime
 * set, relative). Starting: the start step, the only one that makes test 4.
 * Caller holds PortMutex (start step) or runs at DISPATCH_LEVEL (timer).
 */
static BOOLEAN BridgeDecideRead(PBRIDGE_EXTENSION Extension, PIRP Irp, BOOLEAN Starting,
                                NTSTATUS *Status, LONGLONG *DueTime) {
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  ULONG delivered = (ULONG)Irp->IoStatus.Information;
  COMMTIMEOUTS timeouts;
  ULONG errors;
  ULONG total;
  LONGLONG elapsed;

  if (delivered == length) {
    *Status = STATUS_SUCCESS;
    return TRUE;
  }
  _disable();
  errors = Extension->ErrorWord;
  _enable();
  if (errors & BRIDGE_ERROR_ENDS_READS) {
    *Status = STATUS_SUCCESS;
    return TRUE;
  }
  RtlZeroMemory(&timeouts, sizeof(timeouts));
  if (!_VCOMM_GetSetCommTimeouts(Extension->Port, &timeouts, VCOMM_TIMEOUTS_GET)) {
    *Status = STATUS_UNSUCCESSFUL;
    return TRUE;
  }
  if (Starting && timeouts.ReadIntervalTimeout == MAXULONG) {
    *Status = STATUS_SUCCESS;
    return TRUE;
  }
  if (timeouts.ReadIntervalTimeout != 0 && delivered != 0) {
    *Status = STATUS_TIMEOUT;
    return TRUE;
  }
  if (timeouts.ReadTotalTimeoutMultiplier == 0 && timeouts.ReadTotalTimeoutConstant == 0) {
    *DueTime = BRIDGE_WAIT_WITHOUT_TOTAL;
  } else {
    total = length * timeouts.ReadTotalTimeoutMultiplier + timeouts.ReadTotalTimeoutConstant;
    elapsed = BridgeReadElapsed(Extension);
    if (elapsed >= (LONGLONG)total) {
      *Status = STATUS_TIMEOUT;
      return TRUE;
    }
    *DueTime = (elapsed - (LONGLONG)total) * 10000;
  }
  *DueTime = BridgeLineDueTime(Extension, length - delivered, *DueTime);
  return FALSE;
}

/* Arms ReadTimer for the current read. Caller holds PortMutex or runs at DISPATCH_LEVEL. */
static VOID BridgeArmReadTimer(PBRIDGE_EXTENSION Extension, LONGLONG DueTime) {
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  KeSetTimer(&Extension->ReadTimer, due, &Extension->ReadTimerDpc);
}

/*
 * Takes the next read out of ReadQueue, if any, and makes it the owner of the
 * queue (StartingRead), which stays busy for it. DISPATCH_LEVEL; the caller
 * owns the queue (its read has just ended).
 */
static PIRP BridgeTakeNextRead(PBRIDGE_EXTENSION Extension) {
  PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Extension->ReadQueue);
  if (entry == NULL) {
    return NULL;
  }
  Extension->StartingRead = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
  return Extension->StartingRead;
}

/*
 * Takes the next read, if any, and hands it to a work item, which starts it:
 * the next read is never started within the call that ended the previous one.
 * DISPATCH_LEVEL; the caller owns the queue.
 */
VOID BridgeStartNextRead(PBRIDGE_EXTENSION Extension) {
  PIRP next = BridgeTakeNextRead(Extension);
  if (next != NULL) {
    BridgeDeferRequest(Extension, next, BridgeStartReadWorkRoutine);
  }
}

/* Completes a read that has ended; its I/O reference goes with it. Up to DISPATCH_LEVEL. */
static VOID BridgeCompleteRead(PBRIDGE_EXTENSION Extension, PIRP Irp, NTSTATUS Status,
                               CCHAR Boost) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, Boost);
  BridgeIoDecrement(Extension);
}

/*
 * Starts a read that owns ReadQueue: makes it current, takes what VCOMM has
 * queued and applies the decision rule. PASSIVE_LEVEL, any thread; non-paged.
 * Returns STATUS_PENDING when the read waits on ReadTimer, or when a receive
 * abort took the read before it could start (the abort completed it); any
 * other status means that the read has been completed here with it, after the
 * next read (if any) was handed over.
 */
NTSTATUS BridgeStartRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PIO_STACK_LOCATION stack;
  KIRQL irql;
  BOOLEAN owned;
  ULONG taken = 0;
  ULONG remaining;
  BOOLEAN probeFailed = FALSE;
  NTSTATUS status;
  LONGLONG due = 0;
  PIRP next;

  KeWaitForSingleObject(&extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  owned = extension->StartingRead == Irp;
  if (owned) {
    extension->StartingRead = NULL;
    extension->CurrentRead = Irp;
  }
  KeLowerIrql(irql);
  if (!owned) {
    KeReleaseMutex(&extension->PortMutex, FALSE);
    return STATUS_PENDING;
  }

  BridgeIoIncrement(extension);
  KeQueryTickCount(&extension->ReadStartTick);
  Irp->IoStatus.Information = 0;
  stack = IoGetCurrentIrpStackLocation(Irp);

  _VCOMM_ReadComm(extension->Port, (PUCHAR)Irp->AssociatedIrp.SystemBuffer,
                  stack->Parameters.Read.Length, &taken);
  remaining = BridgeConsumeReceived(extension, taken);
  if (taken != 0) {
    Irp->IoStatus.Information += taken;
  } else if (remaining != 0) {
    /* The cached count says bytes are queued, yet none came: ask the port. */
    DCB probe;
    COMSTAT comStat;
    ULONG scratch = 0;
    RtlZeroMemory(&comStat, sizeof(comStat));
    probeFailed = !_VCOMM_GetCommState(extension->Port, &probe);
    if (_VCOMM_ClearCommError(extension->Port, &comStat, &scratch)) {
      _disable();
      extension->ComStat = comStat;
      _enable();
    }
  }

  if (!BridgeDecideRead(extension, Irp, TRUE, &status, &due)) {
    if (!probeFailed) {
      KeInitializeDpc(&extension->ReadTimerDpc, BridgeReadTimerRoutine, extension);
      BridgeArmReadTimer(extension, due);
      KeReleaseMutex(&extension->PortMutex, FALSE);
      return STATUS_PENDING;
    }
    status = STATUS_UNSUCCESSFUL;
  }

  /*
   * The read has ended. The next one takes over the queue while no abort can
   * run; it is handed to a work item only once this read is completed, so
   * reads complete in their order. The reference taken meanwhile keeps the
   * count from touching rest between the two (a removal waits for both).
   */
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  extension->CurrentRead = NULL;
  next = BridgeTakeNextRead(extension);
  if (next != NULL) {
    BridgeIoIncrement(extension);
  }
  KeLowerIrql(irql);
  KeReleaseMutex(&extension->PortMutex, FALSE);
  BridgeCompleteRead(extension, Irp, status, IO_SERIAL_INCREMENT);
  if (next != NULL) {
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    if (extension->StartingRead == next) {
      /* Not taken by a receive abort meanwhile. */
      BridgeDeferRequest(extension, next, BridgeStartReadWorkRoutine);
    }
    KeLowerIrql(irql);
    BridgeIoDecrement(extension);
  }
  return status;
}

/*
 * Deferred routine of ReadTimerDpc: polls the current read again. DISPATCH_LEVEL;
 * calls VCOMM without PortMutex. Completes the read when a decision test ends
 * it, then hands over the next one.
 */
VOID BridgeReadTimerRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                            PVOID SystemArgument2) {
  PBRIDGE_EXTENSION extension = (PBRIDGE_EXTENSION)DeferredContext;
  PIRP irp = extension->CurrentRead;
  PIO_STACK_LOCATION stack;
  ULONG delivered;
  ULONG taken = 0;
  NTSTATUS status;
  LONGLONG due = 0;

  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(SystemArgument1);
  UNREFERENCED_PARAMETER(SystemArgument2);

  if (extension->ReadAborted) {
    /* This expiry belonged to a read that a purge has completed already. */
    extension->ReadAborted = FALSE;
    return;
  }
  if (irp == NULL) {
    return;
  }

  stack = IoGetCurrentIrpStackLocation(irp);
  delivered = (ULONG)irp->IoStatus.Information;
  _VCOMM_ReadComm(extension->Port, (PUCHAR)irp->AssociatedIrp.SystemBuffer + delivered,
                  stack->Parameters.Read.Length - delivered, &taken);
  BridgeConsumeReceived(extension, taken);
  irp->IoStatus.Information += taken;

  if (!BridgeDecideRead(extension, irp, FALSE, &status, &due)) {
    BridgeArmReadTimer(extension, due);
    return;
  }
  /* Hand over first: the worker cannot run before this routine returns, and the
     hand-over's reference keeps the count from resting in between. */
  extension->CurrentRead = NULL;
  BridgeStartNextRead(extension);
  BridgeCompleteRead(extension, irp, status, IO_SERIAL_INCREMENT);
}

/* Carries out a write: one _VCOMM_WriteComm under PortMutex. PASSIVE_LEVEL. */
static NTSTATUS BridgeWrite(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG written = 0;
  ULONG result;
  NTSTATUS status;

  BridgeIoIncrement(Extension);
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  result = _VCOMM_WriteComm(Extension->Port, (PUCHAR)Irp->AssociatedIrp.SystemBuffer,
                            stack->Parameters.Write.Length, &written);
  KeReleaseMutex(&Extension->PortMutex, FALSE);

  status = result != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  Irp->IoStatus.Information = written;
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_SERIAL_INCREMENT);
  BridgeIoDecrement(Extension);
  return status;
}

/*
 * Carries out IRP_MJ_READ and IRP_MJ_WRITE. PASSIVE_LEVEL; pageable. Parks the
 * request while QueueMode is hold. A write is completed here and its status
 * returned. A read is marked pending and queued; if it finds ReadQueue idle it
 * is started in this thread. Every read returns STATUS_PENDING and is
 * completed by whoever ends it (start step, timer routine or receive abort).
 */
NTSTATUS BridgeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  KIRQL irql;
  BOOLEAN busy;

  if (extension->QueueMode == BRIDGE_HOLD_REQUESTS) {
    return BridgeHoldRequest(extension, Irp);
  }
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE) {
    return BridgeWrite(extension, Irp);
  }

  IoMarkIrpPending(Irp);
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  busy = KeInsertDeviceQueue(&extension->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
  if (!busy) {
    extension->StartingRead = Irp;
  }
  KeLowerIrql(irql);
  /* From here the read may be completed by others: only its pointer is passed on. */
  if (!busy) {
    BridgeStartRead(DeviceObject, Irp);
  }
  return STATUS_PENDING;
}

/*
 * Receive abort, part of the purge: completes the current read, a read that
 * owns the queue but has not started, and every queued read, with
 * STATUS_CANCELLED; the queue is idle afterwards. Caller holds PortMutex at
 * PASSIVE_LEVEL. The current read's pending poll is called off (timer or DPC);
 * only if neither can be called off does ReadAborted tell that expiry to do
 * nothing.
 */
static VOID BridgeAbortReads(PBRIDGE_EXTENSION Extension) {
  PIRP current;
  PIRP starting;
  PIRP queuedHead = NULL;
  PIRP queuedTail = NULL;
  PKDEVICE_QUEUE_ENTRY entry;
  KIRQL irql;

  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  current = Extension->CurrentRead;
  if (current != NULL) {
    if (!KeCancelTimer(&Extension->ReadTimer) && !KeRemoveQueueDpc(&Extension->ReadTimerDpc)) {
      Extension->ReadAborted = TRUE;
    }
    Extension->CurrentRead = NULL;
  }
  starting = Extension->StartingRead;
  Extension->StartingRead = NULL;
  while (Extension->ReadQueue.Busy &&
         (entry = KeRemoveDeviceQueue(&Extension->ReadQueue)) != NULL) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.DeviceQueueEntry);
    irp->Tail.Overlay.ListEntry.Flink = NULL;
    if (queuedTail != NULL) {
      queuedTail->Tail.Overlay.ListEntry.Flink = &irp->Tail.Overlay.ListEntry;
    } else {
      queuedHead = irp;
    }
    queuedTail = irp;
  }
  KeLowerIrql(irql);

  if (current != NULL) {
    BridgeCompleteRead(Extension, current, STATUS_CANCELLED, IO_NO_INCREMENT);
  }
  if (starting != NULL) {
    /* Not started yet: it holds no I/O reference. */
    starting->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(starting, IO_NO_INCREMENT);
  }
  while (queuedHead != NULL) {
    PIRP irp = queuedHead;
    PLIST_ENTRY next = irp->Tail.Overlay.ListEntry.Flink;
    queuedHead = next != NULL ? CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry) : NULL;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

/*
 * BridgeAbortHandleReads - ends the reads in progress and queued with
 * STATUS_CANCELLED, as a receive-abort purge does: the cleanup of the handle
 * that holds the port open. PASSIVE_LEVEL; takes PortMutex.
 */
VOID BridgeAbortHandleReads(PBRIDGE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  if (Extension->PortOpen) {
    BridgeAbortReads(Extension);
  }
  KeReleaseMutex(&Extension->PortMutex, FALSE);
}

/*
 * IOCTL_SERIAL_PURGE, under the handler contract (the caller completes the
 * request). PASSIVE_LEVEL; non-paged. Steps run in the order transmit clear,
 * receive abort, receive clear, whatever the order of the bits; TXABORT has no
 * effect. A port purge that fails makes the purge fail with
 * STATUS_UNSUCCESSFUL (Information unchanged), after the remaining steps.
 */
NTSTATUS BridgePurge(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG mask;
  BOOLEAN failed = FALSE;

  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
  if ((mask & SERIAL_PURGE_TXCLEAR) && !_VCOMM_PurgeComm(Extension->Port, VCOMM_PURGE_TX)) {
    failed = TRUE;
  }
  if (mask & SERIAL_PURGE_RXABORT) {
    BridgeAbortReads(Extension);
  }
  if (mask & SERIAL_PURGE_RXCLEAR) {
    if (_VCOMM_PurgeComm(Extension->Port, VCOMM_PURGE_RX)) {
      Extension->ComStat.cbInQue = 0;
    } else {
      failed = TRUE;
    }
  }
  KeReleaseMutex(&Extension->PortMutex, FALSE);
  if (failed) {
    return STATUS_UNSUCCESSFUL;
  }
  /* No output record: Information counts output bytes, and the I/O manager
     copies that many back to the caller's (here absent) output buffer. */
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}
