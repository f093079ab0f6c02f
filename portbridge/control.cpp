/*
 * control.cpp - IRP_MJ_DEVICE_CONTROL below DISPATCH_LEVEL: the table of
 * serial control codes, and the handlers that turn one request into one
 * VCOMM call (modem status, DTR and RTS, break, XON and XOFF, timeouts,
 * properties, the immediate character).
 *
 * Handler contract, for every handler of the driver: it takes the extension
 * and the request, reads its input record from and writes its output record
 * to AssociatedIrp.SystemBuffer, checks the buffer lengths of the current
 * stack location before it takes PortMutex or calls the port, sets
 * IoStatus.Information where its table says so, and returns a status. It
 * never completes the request: BridgeDeviceControl does, unless the handler
 * returned STATUS_PENDING and kept the request (only BridgeWaitOnMask).
 */
#include "portbridge.h"

typedef NTSTATUS BRIDGE_HANDLER(PBRIDGE_EXTENSION Extension, PIRP Irp);
typedef BRIDGE_HANDLER *PBRIDGE_HANDLER;

static BRIDGE_HANDLER BridgeNotImplemented;

/* Serial control codes by function number: a handler, BridgeNotImplemented,
   or null for STATUS_INVALID_DEVICE_REQUEST. */
static PBRIDGE_HANDLER const BridgeControlTable[] = {
    NULL,                 /* 0 */
    BridgeSetBaudRate,    /* 1 SET_BAUD_RATE */
    BridgeSetQueueSize,   /* 2 SET_QUEUE_SIZE */
    BridgeSetLineControl, /* 3 SET_LINE_CONTROL */
    BridgeSetBreakOn,     /* 4 SET_BREAK_ON */
    BridgeSetBreakOff,    /* 5 SET_BREAK_OFF */
    BridgeImmediateChar,  /* 6 IMMEDIATE_CHAR */
    BridgeSetTimeouts,    /* 7 SET_TIMEOUTS */
    BridgeGetTimeouts,    /* 8 GET_TIMEOUTS */
    BridgeSetDtr,         /* 9 SET_DTR */
    BridgeClrDtr,         /* 10 CLR_DTR */
    BridgeNotImplemented, /* 11 RESET_DEVICE */
    BridgeSetRts,         /* 12 SET_RTS */
    BridgeClrRts,         /* 13 CLR_RTS */
    BridgeSetXoff,        /* 14 SET_XOFF */
    BridgeSetXon,         /* 15 SET_XON */
    BridgeGetWaitMask,    /* 16 GET_WAIT_MASK */
    BridgeSetWaitMask,    /* 17 SET_WAIT_MASK */
    BridgeWaitOnMask,     /* 18 WAIT_ON_MASK */
    BridgePurge,          /* 19 PURGE */
    BridgeGetBaudRate,    /* 20 GET_BAUD_RATE */
    BridgeGetLineControl, /* 21 GET_LINE_CONTROL */
    BridgeGetChars,       /* 22 GET_CHARS */
    BridgeSetChars,       /* 23 SET_CHARS */
    BridgeGetHandflow,    /* 24 GET_HANDFLOW */
    BridgeSetHandflow,    /* 25 SET_HANDFLOW */
    BridgeGetModemStatus, /* 26 GET_MODEMSTATUS */
    BridgeGetCommStatus,  /* 27 GET_COMMSTATUS */
    BridgeNotImplemented, /* 28 XOFF_COUNTER */
    BridgeGetProperties,  /* 29 GET_PROPERTIES */
    BridgeGetDtrRts,      /* 30 GET_DTRRTS */
    BridgeNotImplemented, /* 31 LSRMST_INSERT */
    BridgeNotImplemented, /* 32 CONFIG_SIZE */
    NULL,                 /* 33 GET_COMMCONFIG */
    NULL,                 /* 34 SET_COMMCONFIG */
    BridgeNotImplemented, /* 35 GET_STATS */
    BridgeNotImplemented, /* 36 CLEAR_STATS */
    BridgeNotImplemented, /* 37 GET_MODEM_CONTROL */
    BridgeNotImplemented, /* 38 SET_MODEM_CONTROL */
    BridgeNotImplemented, /* 39 SET_FIFO_CONTROL */
};

/* Function number field of a control code, and the code with it cleared. */
#define BRIDGE_FUNCTION(code) (((code) >> 2) & 0xFFF)
#define BRIDGE_SERIAL_BASE HS_SERIAL_CODE(0)

/* Codes that have no handler here; Information is left as it came. */
static NTSTATUS BridgeNotImplemented(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  UNREFERENCED_PARAMETER(Extension);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_NOT_IMPLEMENTED;
}

/*
 * Serves IRP_MJ_DEVICE_CONTROL. PASSIVE_LEVEL; pageable. Parks the request
 * while QueueMode is hold (no I/O reference taken). Otherwise routes it by
 * its control code and completes it with the handler's status, unless the
 * handler left it pending, in which case its I/O reference stays with it.
 */
NTSTATUS BridgeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  ULONG code;
  ULONG function;
  PBRIDGE_HANDLER handler = NULL;
  NTSTATUS status;

  if (extension->QueueMode == BRIDGE_HOLD_REQUESTS) {
    return BridgeHoldRequest(extension, Irp);
  }
  BridgeIoIncrement(extension);

  code = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;
  function = BRIDGE_FUNCTION(code);
  if ((code & ~((ULONG)0xFFF << 2)) == BRIDGE_SERIAL_BASE &&
      function < RTL_NUMBER_OF(BridgeControlTable)) {
    handler = BridgeControlTable[function];
  }
  status = handler != NULL ? handler(extension, Irp) : STATUS_INVALID_DEVICE_REQUEST;

  if (status != STATUS_PENDING) {
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    BridgeIoDecrement(extension);
  }
  return status;
}

/* Length of the request's input record. Any IRQL. */
static ULONG BridgeInputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
}

/* Length of the request's output buffer. Any IRQL. */
static ULONG BridgeOutputLength(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

/* Waits for PortMutex. PASSIVE_LEVEL. */
static VOID BridgeLockPort(PBRIDGE_EXTENSION Extension) {
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
}

/* Releases PortMutex. PASSIVE_LEVEL. */
static VOID BridgeUnlockPort(PBRIDGE_EXTENSION Extension) {
  KeReleaseMutex(&Extension->PortMutex, FALSE);
}

/*
 * A line control: one escape function under PortMutex. On success LineState
 * gains Set and loses Clear (DTR and RTS only). Information 0 either way.
 * PASSIVE_LEVEL.
 */
static NTSTATUS BridgeLineControl(PBRIDGE_EXTENSION Extension, PIRP Irp, ULONG Function, ULONG Set,
                                  ULONG Clear) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;

  BridgeLockPort(Extension);
  if (_VCOMM_EscapeCommFunction(Extension->Port, Function, 0, NULL)) {
    Extension->LineState = (Extension->LineState & ~Clear) | Set;
    status = STATUS_SUCCESS;
  }
  BridgeUnlockPort(Extension);
  Irp->IoStatus.Information = 0;
  return status;
}

/* IOCTL_SERIAL_SET_DTR. PASSIVE_LEVEL. */
NTSTATUS BridgeSetDtr(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, SETDTR, SERIAL_DTR_STATE, 0);
}

/* IOCTL_SERIAL_CLR_DTR. PASSIVE_LEVEL. */
NTSTATUS BridgeClrDtr(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, CLRDTR, 0, SERIAL_DTR_STATE);
}

/* IOCTL_SERIAL_SET_RTS. PASSIVE_LEVEL. */
NTSTATUS BridgeSetRts(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, SETRTS, SERIAL_RTS_STATE, 0);
}

/* IOCTL_SERIAL_CLR_RTS. PASSIVE_LEVEL. */
NTSTATUS BridgeClrRts(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, CLRRTS, 0, SERIAL_RTS_STATE);
}

/* IOCTL_SERIAL_SET_BREAK_ON. PASSIVE_LEVEL. */
NTSTATUS BridgeSetBreakOn(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, SETBREAK, 0, 0);
}

/* IOCTL_SERIAL_SET_BREAK_OFF. PASSIVE_LEVEL. */
NTSTATUS BridgeSetBreakOff(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, CLRBREAK, 0, 0);
}

/* IOCTL_SERIAL_SET_XON: the port acts as if XON was received. PASSIVE_LEVEL. */
NTSTATUS BridgeSetXon(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, SETXON, 0, 0);
}

/* IOCTL_SERIAL_SET_XOFF: the port acts as if XOFF was received. PASSIVE_LEVEL. */
NTSTATUS BridgeSetXoff(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  return BridgeLineControl(Extension, Irp, SETXOFF, 0, 0);
}

/*
 * IOCTL_SERIAL_GET_MODEMSTATUS: the port's modem-status bits. PASSIVE_LEVEL.
 * Information 4, or 0 when the port refuses.
 */
NTSTATUS BridgeGetModemStatus(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  ULONG modemStatus = 0;
  ULONG result;

  if (BridgeOutputLength(Irp) < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  result = _VCOMM_GetModemStatus(Extension->Port, &modemStatus);
  BridgeUnlockPort(Extension);
  if (!result) {
    Irp->IoStatus.Information = 0;
    return STATUS_UNSUCCESSFUL;
  }
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = modemStatus;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_GET_DTRRTS: LineState, not the port. PASSIVE_LEVEL; no mutex. */
NTSTATUS BridgeGetDtrRts(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  if (BridgeOutputLength(Irp) < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Extension->LineState;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_SET_TIMEOUTS: stored by the port, read back at every read decision.
   PASSIVE_LEVEL. */
NTSTATUS BridgeSetTimeouts(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  COMMTIMEOUTS timeouts;
  ULONG result;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_TIMEOUTS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(&timeouts, Irp->AssociatedIrp.SystemBuffer, sizeof(timeouts));
  BridgeLockPort(Extension);
  result = _VCOMM_GetSetCommTimeouts(Extension->Port, &timeouts, VCOMM_TIMEOUTS_SET);
  BridgeUnlockPort(Extension);
  if (!result) {
    return STATUS_UNSUCCESSFUL;
  }
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_GET_TIMEOUTS. PASSIVE_LEVEL. */
NTSTATUS BridgeGetTimeouts(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  COMMTIMEOUTS timeouts;
  ULONG result;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_TIMEOUTS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(&timeouts, sizeof(timeouts));
  BridgeLockPort(Extension);
  result = _VCOMM_GetSetCommTimeouts(Extension->Port, &timeouts, VCOMM_TIMEOUTS_GET);
  BridgeUnlockPort(Extension);
  if (!result) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &timeouts, sizeof(SERIAL_TIMEOUTS));
  Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_GET_PROPERTIES: the port's 64-byte record, copied whole. PASSIVE_LEVEL. */
NTSTATUS BridgeGetProperties(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  COMMPROP properties;
  ULONG result;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_COMMPROP)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(&properties, sizeof(properties));
  BridgeLockPort(Extension);
  result = _VCOMM_GetCommProperties(Extension->Port, &properties);
  BridgeUnlockPort(Extension);
  if (!result) {
    return STATUS_UNSUCCESSFUL;
  }
  RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &properties, sizeof(SERIAL_COMMPROP));
  Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_IMMEDIATE_CHAR: sent ahead of the transmit queue. PASSIVE_LEVEL.
   A refusal answers STATUS_INVALID_PARAMETER. Information 0: there is no output. */
NTSTATUS BridgeImmediateChar(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  ULONG result;

  if (BridgeInputLength(Irp) < sizeof(UCHAR)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  result = _VCOMM_TransmitCommChar(Extension->Port, *(PUCHAR)Irp->AssociatedIrp.SystemBuffer);
  BridgeUnlockPort(Extension);
  if (!result) {
    return STATUS_INVALID_PARAMETER;
  }
  /* The character is input, not output: nothing comes back to the caller. */
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

static_assert(sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS), "timeouts records differ");
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP), "properties records differ");
static_assert(sizeof(SERIAL_COMMPROP) == 64, "properties record is 64 bytes");
