/*
 * negotiation.cpp - the baud-rate negotiation with the handset, the client's
 * timeouts it restores, and the wait request it holds back meanwhile.
 *
 * Before the client's IOCTL_SERIAL_SET_BAUD_RATE reaches the port, the filter
 * takes the line (closes the gate), checks at 9600 baud that the handset
 * answers "AT", tells it the new rate with "AT+IPR=<rate>" and only then lets
 * the client's request down. Every request it sends travels on the client's
 * own IRP, re-armed each time; nothing is allocated here.
 */
#include "ratefilter.h"

#define FILTER_PROBE_RATE 9600
#define FILTER_MAX_ATTEMPTS 2
#define FILTER_COMMAND_SIZE 64
#define FILTER_PURGE_ALL \
  (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)
#define FILTER_PURGE_QUEUES (SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

/* Two AT commands in one write, so that a handset that loses the first to
 * its speed detection still answers the second. Written without the NUL. */
static const CHAR FilterProbeCommand[] = "AT\rAT\r";
#define FILTER_PROBE_LENGTH 6
/* The probe's second try, to a handset that is awake: one command. */
#define FILTER_SINGLE_PROBE_LENGTH 3
/* Reads at most spent letting an answer that did not match run out. */
#define FILTER_DRAIN_READS 8
static const CHAR FilterProbeEcho[] = "AT\r";

/* The negotiation's own timeouts: a read ends 20 ms after the last byte and
 * after 200 ms at the latest; a write gives up after 2 seconds. */
static const SERIAL_TIMEOUTS FilterOwnTimeouts = {20, 0, 200, 0, 2000};

/*
 * FilterSendControl - sends one device control on the client's IRP and
 * waits for it. PASSIVE_LEVEL. Returns its final status.
 */
static NTSTATUS FilterSendControl(PFILTER_EXTENSION Extension, PIRP Irp, ULONG Code, PVOID Buffer,
                                  ULONG InputLength, ULONG OutputLength) {
  PIO_STACK_LOCATION next;

  PAGED_CODE();

  next = FilterPrepareLowerRequest(Irp, IRP_MJ_DEVICE_CONTROL);
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  next->Parameters.DeviceIoControl.InputBufferLength = InputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
  Irp->AssociatedIrp.SystemBuffer = Buffer;
  return FilterCallLowerSync(Extension, Irp);
}

/*
 * FilterPurge - IOCTL_SERIAL_PURGE with Mask. PASSIVE_LEVEL.
 */
static NTSTATUS FilterPurge(PFILTER_EXTENSION Extension, PIRP Irp, ULONG Mask) {
  ULONG mask = Mask;

  PAGED_CODE();
  return FilterSendControl(Extension, Irp, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), 0);
}

/*
 * FilterSetTimeouts - IOCTL_SERIAL_SET_TIMEOUTS with Timeouts. PASSIVE_LEVEL.
 */
static NTSTATUS FilterSetTimeouts(PFILTER_EXTENSION Extension, PIRP Irp,
                                  const SERIAL_TIMEOUTS *Timeouts) {
  SERIAL_TIMEOUTS timeouts = *Timeouts;

  PAGED_CODE();
  return FilterSendControl(Extension, Irp, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts),
                           0);
}

/*
 * FilterWriteCommand - writes Length bytes of Command to the handset.
 * PASSIVE_LEVEL. Only the final status counts, not the bytes written.
 */
static NTSTATUS FilterWriteCommand(PFILTER_EXTENSION Extension, PIRP Irp, PCHAR Command,
                                   ULONG Length) {
  PIO_STACK_LOCATION next;

  PAGED_CODE();

  next = FilterPrepareLowerRequest(Irp, IRP_MJ_WRITE);
  next->Parameters.Write.Length = Length;
  Irp->AssociatedIrp.SystemBuffer = Command;
  return FilterCallLowerSync(Extension, Irp);
}

/*
 * FilterReleaseLine - the end of every negotiation: opens the gate (sending
 * on what queued there), sends a held wait request down again and lets the
 * next negotiation in. PASSIVE_LEVEL, NegotiationLock held on entry.
 * The gate opens before HeldWaitIrp is taken: a wait completion that tested
 * the gate before it opened has stored its request by then or takes it back
 * itself (FilterWaitOnMaskComplete), so none stays held.
 */
static VOID FilterReleaseLine(PFILTER_EXTENSION Extension) {
  PIRP held;
  BOOLEAN passDown = TRUE;

  PAGED_CODE();

  FilterOpenGate(Extension);
  held = (PIRP)InterlockedExchangePointer((PVOID volatile *)&Extension->HeldWaitIrp, NULL);
  if (held == NULL) {
    KeSetEvent(&Extension->NegotiationLock, IO_NO_INCREMENT, FALSE);
    return;
  }
  /* The lower driver may have kept the traffic events of the negotiation
   * for the next wait: a wait they answer at once is sent down once more. */
  InterlockedExchangePointer((PVOID volatile *)&Extension->ResendingWaitIrp, held);
  (VOID) FilterSendWaitOnMask(Extension, held, &passDown);
  InterlockedExchangePointer((PVOID volatile *)&Extension->ResendingWaitIrp, NULL);
  held = (PIRP)InterlockedExchangePointer((PVOID volatile *)&Extension->HeldWaitIrp, NULL);
  if (held != NULL) {
    (VOID) FilterSendWaitOnMask(Extension, held, &passDown);
  }
  KeSetEvent(&Extension->NegotiationLock, IO_NO_INCREMENT, FALSE);
}

/*
 * FilterCompleteRate - completes the client's SET_BAUD_RATE with Status.
 * Information is cleared: the internal requests left their counts there.
 */
static NTSTATUS FilterCompleteRate(PIRP Irp, NTSTATUS Status) {
  PAGED_CODE();

  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/*
 * FilterDrainLine - reads and drops what the handset still sends, until a
 * read brings nothing (the line has been quiet for the read timeouts) or a
 * bound is reached. PASSIVE_LEVEL. Scratch is the negotiation's command
 * buffer; the client's buffer pointer is restored by the caller.
 */
static VOID FilterDrainLine(PFILTER_EXTENSION Extension, PIRP Irp, PCHAR Scratch, ULONG Size) {
  PIO_STACK_LOCATION next;

  PAGED_CODE();

  for (ULONG i = 0; i < FILTER_DRAIN_READS; i++) {
    next = FilterPrepareLowerRequest(Irp, IRP_MJ_READ);
    next->Parameters.Read.Length = Size;
    Irp->AssociatedIrp.SystemBuffer = Scratch;
    if (!NT_SUCCESS(FilterCallLowerSync(Extension, Irp)) || Irp->IoStatus.Information == 0) {
      return;
    }
  }
}

/*
 * FilterProbe - sets the port to 9600 baud and checks that the handset
 * answers "AT" with a success code. PASSIVE_LEVEL. Returns the running
 * status: STATUS_UNSUCCESSFUL for a probe that got no OK (the queues are
 * then cleared), or success; or the status of a set-speed or write that
 * failed, with *Abort set: the attempts end there.
 * The probe's two commands serve a handset that sleeps and loses the line
 * that wakes it; one that is awake answers both, which no result code
 * matches. So an answer other than OK to the two commands is let run out
 * and the queues cleared, and one "AT\r" follows.
 */
static NTSTATUS FilterProbe(PFILTER_EXTENSION Extension, PIRP Irp, PSERIAL_BAUD_RATE ClientRate,
                            PCHAR Command, PBOOLEAN Abort) {
  NTSTATUS status;
  BOOLEAN ok = FALSE;
  BOOLEAN answered;
  ULONG length = FILTER_PROBE_LENGTH;

  PAGED_CODE();

  *Abort = TRUE;
  ClientRate->BaudRate = FILTER_PROBE_RATE;
  status = FilterSendControl(Extension, Irp, IOCTL_SERIAL_SET_BAUD_RATE, ClientRate,
                             sizeof(SERIAL_BAUD_RATE), 0);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  for (;;) {
    RtlCopyMemory(Command, FilterProbeCommand, length);
    status = FilterWriteCommand(Extension, Irp, Command, length);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    *Abort = FALSE;
    answered = FilterReadResponse(Extension, Irp, FilterProbeEcho, &ok, NULL);
    if (answered && ok) {
      Extension->RateKnown = TRUE;
      Extension->PortRate = FILTER_PROBE_RATE;
      Extension->HandsetRate = FILTER_PROBE_RATE;
      return status;
    }
    if (answered) {
      /* The rest of an answer may still be arriving: let it end first. */
      FilterDrainLine(Extension, Irp, Command, FILTER_COMMAND_SIZE);
    }
    (VOID) FilterPurge(Extension, Irp, FILTER_PURGE_QUEUES);
    if (!answered || length == FILTER_SINGLE_PROBE_LENGTH) {
      return STATUS_UNSUCCESSFUL;
    }
    length = FILTER_SINGLE_PROBE_LENGTH;
  }
}

/*
 * FilterFormatRateCommand - writes "AT+IPR=<rate>\r" with the rate as a
 * signed decimal number and a terminating NUL into Command (at most 20
 * bytes); returns the length without the NUL.
 */
static ULONG FilterFormatRateCommand(PCHAR Command, ULONG Rate) {
  static const CHAR prefix[] = "AT+IPR=";
  CHAR digits[11];
  ULONG count = 0;
  ULONG length = sizeof(prefix) - 1;
  LONG value = (LONG)Rate;
  ULONG magnitude = value < 0 ? 0U - Rate : Rate;

  PAGED_CODE();

  RtlCopyMemory(Command, prefix, length);
  if (value < 0) {
    Command[length++] = '-';
  }
  do {
    digits[count++] = (CHAR)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (count > 0) {
    Command[length++] = digits[--count];
  }
  Command[length++] = '\r';
  Command[length] = '\0';
  return length;
}

/*
 * FilterSendRateCommand - tells the handset the new rate with "AT+IPR".
 * PASSIVE_LEVEL. No answer forgets the known state; an answer other than OK
 * fails, and an error result code (the handset refuses the rate) also sets
 * *Refused; OK records the handset's new rate.
 */
static NTSTATUS FilterSendRateCommand(PFILTER_EXTENSION Extension, PIRP Irp, ULONG Rate,
                                      PCHAR Command, NTSTATUS Status, PBOOLEAN Refused) {
  NTSTATUS status;
  ULONG length;
  BOOLEAN ok = FALSE;
  BOOLEAN error = FALSE;

  PAGED_CODE();

  length = FilterFormatRateCommand(Command, Rate);
  status = FilterWriteCommand(Extension, Irp, Command, length);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (!FilterReadResponse(Extension, Irp, Command, &ok, &error)) {
    Extension->RateKnown = FALSE;
    return Status;
  }
  if (!ok) {
    *Refused = error;
    return STATUS_UNSUCCESSFUL;
  }
  Extension->HandsetRate = Rate;
  return Status;
}

/*
 * FilterNegotiateBaudRate - IOCTL_SERIAL_SET_BAUD_RATE: negotiates the rate
 * with the handset, then lets the client's request down. PASSIVE_LEVEL, in
 * the client's thread; blocks. Always disposes of the request itself (sets
 * *PassDown FALSE): it completes the request, after the lower driver when
 * the request went down. Negotiations are serialised by NegotiationLock.
 */
NTSTATUS FilterNegotiateBaudRate(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PSERIAL_BAUD_RATE clientRate;
  ULONG rate;
  NTSTATUS status;
  BOOLEAN ownTimeouts = FALSE;
  BOOLEAN refused = FALSE;
  BOOLEAN stop = FALSE;
  ULONG attempt;
  CHAR command[FILTER_COMMAND_SIZE];

  PAGED_CODE();

  *PassDown = FALSE;
  if (Extension->Breakpoints & FILTER_BREAK_ON_NEGOTIATION) {
    DbgBreakPoint();
  }
  if (stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(SERIAL_BAUD_RATE)) {
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  clientRate = (PSERIAL_BAUD_RATE)Irp->AssociatedIrp.SystemBuffer;
  rate = clientRate->BaudRate;

  KeWaitForSingleObject(&Extension->NegotiationLock, Executive, KernelMode, FALSE, NULL);

  if (Extension->RateKnown && Extension->HandsetRate == Extension->PortRate &&
      rate == Extension->HandsetRate) {
    KeSetEvent(&Extension->NegotiationLock, IO_NO_INCREMENT, FALSE);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  FilterCloseGate(Extension);

  status = FilterPurge(Extension, Irp, FILTER_PURGE_ALL);
  if (NT_SUCCESS(status)) {
    /* The client's own timeouts serve when they bound a read. */
    if (!Extension->TimeoutsSaved || Extension->SavedTimeouts.ReadIntervalTimeout == MAXULONG ||
        Extension->SavedTimeouts.ReadTotalTimeoutConstant == 0) {
      if (!Extension->TimeoutsSaved &&
          NT_SUCCESS(FilterSendControl(Extension, Irp, IOCTL_SERIAL_GET_TIMEOUTS,
                                       &Extension->SavedTimeouts, 0, sizeof(SERIAL_TIMEOUTS)))) {
        Extension->TimeoutsSaved = TRUE;
      }
      status = FilterSetTimeouts(Extension, Irp, &FilterOwnTimeouts);
      ownTimeouts = NT_SUCCESS(status);
    }
  }
  if (!NT_SUCCESS(status)) {
    Irp->AssociatedIrp.SystemBuffer = clientRate;
    FilterCompleteRate(Irp, STATUS_UNSUCCESSFUL);
    FilterReleaseLine(Extension);
    return STATUS_UNSUCCESSFUL;
  }

  for (attempt = 1; attempt <= FILTER_MAX_ATTEMPTS; attempt++) {
    if (!(Extension->RateKnown && Extension->HandsetRate == Extension->PortRate)) {
      status = FilterProbe(Extension, Irp, clientRate, command, &stop);
      if (stop) {
        break;
      }
    }
    if (Extension->RateKnown) {
      if (Extension->HandsetRate == Extension->PortRate) {
        status = FilterSendRateCommand(Extension, Irp, rate, command, status, &refused);
      }
      if (Extension->RateKnown || refused) {
        break;
      }
    }
  }

  if (ownTimeouts) {
    if (!Extension->TimeoutsSaved) {
      Extension->SavedTimeouts.ReadIntervalTimeout = MAXULONG;
      Extension->SavedTimeouts.ReadTotalTimeoutMultiplier = 0;
      Extension->SavedTimeouts.ReadTotalTimeoutConstant = 0;
      Extension->SavedTimeouts.WriteTotalTimeoutMultiplier = 0;
      Extension->SavedTimeouts.WriteTotalTimeoutConstant = 0;
      Extension->TimeoutsSaved = TRUE;
    }
    status = FilterSetTimeouts(Extension, Irp, &Extension->SavedTimeouts);
    /* A rate the handset refused with an error code never goes to the port:
     * the two ends would no longer understand each other. */
    if (NT_SUCCESS(status) && refused) {
      status = STATUS_UNSUCCESSFUL;
    }
  }

  Irp->AssociatedIrp.SystemBuffer = clientRate;
  if (!NT_SUCCESS(status)) {
    status = FilterCompleteRate(Irp, STATUS_UNSUCCESSFUL);
  } else {
    clientRate->BaudRate = rate;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    status = FilterCallLowerSync(Extension, Irp);
    if (NT_SUCCESS(status)) {
      Extension->PortRate = rate;
    }
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
  }

  FilterReleaseLine(Extension);
  return status;
}

/*
 * FilterSaveTimeouts - IOCTL_SERIAL_SET_TIMEOUTS: remembers the client's
 * timeouts for the negotiation to restore and sends the request down with
 * FilterTimeoutsComplete. PASSIVE_LEVEL, after the gate. An input shorter
 * than a SERIAL_TIMEOUTS record is not read: nothing is remembered and the
 * lower driver answers the request as it sees fit. Returns what the lower
 * driver returned; sets *PassDown FALSE.
 */
NTSTATUS FilterSaveTimeouts(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  PAGED_CODE();

  if (stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof(SERIAL_TIMEOUTS) &&
      Irp->AssociatedIrp.SystemBuffer != NULL) {
    RtlCopyMemory(&Extension->SavedTimeouts, Irp->AssociatedIrp.SystemBuffer,
                  sizeof(SERIAL_TIMEOUTS));
    Extension->TimeoutsSaved = TRUE;
  }
  *PassDown = FALSE;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FilterTimeoutsComplete, Extension, TRUE, TRUE, TRUE);
  return IofCallDriver(Extension->LowerDevice, Irp);
}

/*
 * FilterTimeoutsComplete - the lower driver has answered a client's
 * SET_TIMEOUTS. Up to DISPATCH_LEVEL. Timeouts it refused are not the
 * port's: they are forgotten, so that the negotiation asks the port for
 * the ones it has instead of trusting a bound on reads that does not hold.
 * The request completes upward unchanged.
 */
NTSTATUS NTAPI FilterTimeoutsComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    ((PFILTER_EXTENSION)Context)->TimeoutsSaved = FALSE;
  }
  return STATUS_SUCCESS;
}

/*
 * FilterSendWaitOnMask - IOCTL_SERIAL_WAIT_ON_MASK, and a held wait sent
 * down again at the end of a negotiation. PASSIVE_LEVEL. The request goes
 * down with FilterWaitOnMaskComplete (on success only); it is marked pending
 * and STATUS_PENDING returned, since that routine may keep it even when the
 * lower driver completes it at once. Sets *PassDown FALSE.
 */
NTSTATUS FilterSendWaitOnMask(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown) {
  PAGED_CODE();

  *PassDown = FALSE;
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FilterWaitOnMaskComplete, Extension, TRUE, FALSE, FALSE);
  (VOID) IofCallDriver(Extension->LowerDevice, Irp);
  return STATUS_PENDING;
}

/*
 * FilterOnlyTrafficEvents - whether a completed wait reports nothing but
 * events that line traffic raises. Up to DISPATCH_LEVEL.
 */
static BOOLEAN FilterOnlyTrafficEvents(PIRP Irp) {
  ULONG events;

  if (Irp->IoStatus.Information < sizeof(ULONG) || Irp->AssociatedIrp.SystemBuffer == NULL) {
    return FALSE;
  }
  events = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
  return events != 0 && (events & ~(ULONG)FILTER_TRAFFIC_EVENTS) == 0;
}

/*
 * FilterWaitOnMaskComplete - completion routine of wait requests, on success
 * only. Up to DISPATCH_LEVEL; never blocks. While a negotiation runs the
 * event was most likely the handset's answer: the request is kept in
 * HeldWaitIrp (completion stops here) and sent down again when the
 * negotiation ends. If the gate opens while it is being stored, the routine
 * takes it back unless the release already has it; a request it cannot
 * hold (one is held already) reaches the client. While the release sends a
 * held wait down again, an answer of traffic events only (kept below during
 * the negotiation) is held once more for a second sending.
 */
NTSTATUS NTAPI FilterWaitOnMaskComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)Context;
  PVOID volatile *held = (PVOID volatile *)&extension->HeldWaitIrp;

  UNREFERENCED_PARAMETER(DeviceObject);

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (extension->ResendingWaitIrp == Irp && FilterOnlyTrafficEvents(Irp) &&
      InterlockedCompareExchangePointer(held, Irp, NULL) == NULL) {
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (!FilterGateIsOpen(extension) && InterlockedCompareExchangePointer(held, Irp, NULL) == NULL) {
    if (!FilterGateIsOpen(extension) || InterlockedCompareExchangePointer(held, NULL, Irp) != Irp) {
      return STATUS_MORE_PROCESSING_REQUIRED;
    }
  }
  return STATUS_SUCCESS;
}
