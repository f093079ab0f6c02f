/*
 * settings.cpp - translation between the serial interface's settings
 * records and the port's 48-byte DCB and queue buffers: baud rate, line
 * control, special characters, handshake and flow control, queue sizes.
 * Handlers under the contract of control.cpp. Values are copied unchanged;
 * the port refuses what it cannot do.
 */
#include "portbridge.h"

/* Handshake flags that map one to one onto a BitMask bit, both ways. */
typedef struct _BRIDGE_FLAG_BIT {
  BOOLEAN FlowReplace; /* FALSE: ControlHandShake */
  ULONG Flag;
  ULONG Bit;
} BRIDGE_FLAG_BIT;

static const BRIDGE_FLAG_BIT BridgeFlagBits[] = {
    {FALSE, SERIAL_CTS_HANDSHAKE, fOutXCTSFlow},
    {FALSE, SERIAL_DSR_HANDSHAKE, fOutXDSRFlow},
    {TRUE, SERIAL_ERROR_CHAR, fPErrChar},
    {TRUE, SERIAL_NULL_STRIPPING, fNullStrip},
    {FALSE, SERIAL_DTR_HANDSHAKE, fDTRFlow},
    {TRUE, SERIAL_RTS_HANDSHAKE, fRTSFlow},
    {FALSE, SERIAL_DSR_SENSITIVITY, fDSRSensitivity},
    {TRUE, SERIAL_XOFF_CONTINUE, fTxContinueOnXoff},
    {FALSE, SERIAL_ERROR_ABORT, fAbortOnError},
};

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

/* Reads the port's settings record. FALSE when the port refuses. Any IRQL up to
   DISPATCH_LEVEL. */
static BOOLEAN BridgeReadDcb(PBRIDGE_EXTENSION Extension, PDCB Dcb) {
  RtlZeroMemory(Dcb, sizeof(*Dcb));
  return _VCOMM_GetCommState(Extension->Port, Dcb) != 0;
}

/*
 * IOCTL_SERIAL_SET_BAUD_RATE. PASSIVE_LEVEL. Sets the rate with the whole line
 * format, then (all under PortMutex) issues the after-rate-change escape,
 * empties both queues, drops the port's pending errors and zeroes the cached
 * receive count: a rate change always discards unsent and unread data.
 */
NTSTATUS BridgeSetBaudRate(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  DCB dcb;
  COMSTAT comStat;
  ULONG errors = 0;
  NTSTATUS status = STATUS_UNSUCCESSFUL;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_BAUD_RATE)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  if (BridgeReadDcb(Extension, &dcb)) {
    dcb.BaudRate = ((PSERIAL_BAUD_RATE)Irp->AssociatedIrp.SystemBuffer)->BaudRate;
    if (_VCOMM_SetCommState(Extension->Port, &dcb, VCOMM_ACTION_LINE_FORMAT)) {
      _VCOMM_EscapeCommFunction(Extension->Port, ESCAPE_AFTER_BAUD_CHANGE, 0, NULL);
      _VCOMM_PurgeComm(Extension->Port, VCOMM_PURGE_TX);
      _VCOMM_PurgeComm(Extension->Port, VCOMM_PURGE_RX);
      _VCOMM_ClearCommError(Extension->Port, &comStat, &errors);
      Extension->ComStat.cbInQue = 0;
      status = STATUS_SUCCESS;
    }
  }
  BridgeUnlockPort(Extension);
  if (NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
  }
  return status;
}

/* IOCTL_SERIAL_GET_BAUD_RATE: the rate as the settings record holds it.
   PASSIVE_LEVEL; no mutex. */
NTSTATUS BridgeGetBaudRate(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  DCB dcb;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_BAUD_RATE)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (!BridgeReadDcb(Extension, &dcb)) {
    return STATUS_UNSUCCESSFUL;
  }
  ((PSERIAL_BAUD_RATE)Irp->AssociatedIrp.SystemBuffer)->BaudRate = dcb.BaudRate;
  Irp->IoStatus.Information = sizeof(SERIAL_BAUD_RATE);
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_SET_LINE_CONTROL: read, modify, write under PortMutex. PASSIVE_LEVEL. */
NTSTATUS BridgeSetLineControl(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_LINE_CONTROL in = (PSERIAL_LINE_CONTROL)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  NTSTATUS status = STATUS_UNSUCCESSFUL;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_LINE_CONTROL)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  if (BridgeReadDcb(Extension, &dcb)) {
    dcb.StopBits = in->StopBits;
    dcb.Parity = in->Parity;
    dcb.ByteSize = in->WordLength;
    if (_VCOMM_SetCommState(Extension->Port, &dcb, VCOMM_ACTION_LINE_FORMAT)) {
      status = STATUS_SUCCESS;
    }
  }
  BridgeUnlockPort(Extension);
  if (NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
  }
  return status;
}

/* IOCTL_SERIAL_GET_LINE_CONTROL. PASSIVE_LEVEL. */
NTSTATUS BridgeGetLineControl(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_LINE_CONTROL out = (PSERIAL_LINE_CONTROL)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  BOOLEAN read;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_LINE_CONTROL)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  read = BridgeReadDcb(Extension, &dcb);
  BridgeUnlockPort(Extension);
  if (!read) {
    return STATUS_UNSUCCESSFUL;
  }
  out->StopBits = dcb.StopBits;
  out->Parity = dcb.Parity;
  out->WordLength = dcb.ByteSize;
  Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
  return STATUS_SUCCESS;
}

/*
 * IOCTL_SERIAL_SET_CHARS: writes the five characters the port keeps, with the
 * special-characters action mask, without reading the record first. BreakChar
 * has no place in the port and is ignored. PASSIVE_LEVEL.
 */
NTSTATUS BridgeSetChars(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_CHARS in = (PSERIAL_CHARS)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  ULONG result;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_CHARS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlZeroMemory(&dcb, sizeof(dcb));
  dcb.DCBLength = sizeof(DCB);
  dcb.EofChar = in->EofChar;
  dcb.ErrorChar = in->ErrorChar;
  dcb.EvtChar1 = in->EventChar;
  dcb.XonChar = in->XonChar;
  dcb.XoffChar = in->XoffChar;
  BridgeLockPort(Extension);
  result = _VCOMM_SetCommState(Extension->Port, &dcb, VCOMM_ACTION_SPECIAL_CHARS);
  BridgeUnlockPort(Extension);
  if (!result) {
    return STATUS_UNSUCCESSFUL;
  }
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}

/* IOCTL_SERIAL_GET_CHARS; BreakChar reads as 0. PASSIVE_LEVEL. */
NTSTATUS BridgeGetChars(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_CHARS out = (PSERIAL_CHARS)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  BOOLEAN read;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_CHARS)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  read = BridgeReadDcb(Extension, &dcb);
  BridgeUnlockPort(Extension);
  if (!read) {
    return STATUS_UNSUCCESSFUL;
  }
  out->EofChar = dcb.EofChar;
  out->ErrorChar = dcb.ErrorChar;
  out->BreakChar = 0;
  out->EventChar = dcb.EvtChar1;
  out->XonChar = dcb.XonChar;
  out->XoffChar = dcb.XoffChar;
  Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
  return STATUS_SUCCESS;
}

/*
 * The BitMask that SET_HANDFLOW writes: binary mode, DTR and RTS each as a
 * pair of opposite bits, and the one-to-one flags; every other bit 0. Flags
 * without a bit (automatic XON/XOFF, DCD handshake, break char) are dropped.
 */
static ULONG BridgeHandflowToBitMask(const SERIAL_HANDFLOW *Handflow) {
  ULONG mask = fBinary;
  ULONG i;

  mask |= (Handflow->ControlHandShake & SERIAL_DTR_CONTROL) ? fDtrEnable : fDTRDisable;
  mask |= (Handflow->FlowReplace & SERIAL_RTS_CONTROL) ? fRtsEnable : fRTSDisable;
  for (i = 0; i < RTL_NUMBER_OF(BridgeFlagBits); i++) {
    ULONG flags =
        BridgeFlagBits[i].FlowReplace ? Handflow->FlowReplace : Handflow->ControlHandShake;
    if (flags & BridgeFlagBits[i].Flag) {
      mask |= BridgeFlagBits[i].Bit;
    }
  }
  return mask;
}

/* The two flag words GET_HANDFLOW builds; DTR and RTS read from their "off" bits. */
static VOID BridgeBitMaskToHandflow(ULONG Mask, SERIAL_HANDFLOW *Handflow) {
  ULONG i;

  Handflow->ControlHandShake = (Mask & fDTRDisable) ? 0 : SERIAL_DTR_CONTROL;
  Handflow->FlowReplace = (Mask & fRTSDisable) ? 0 : SERIAL_RTS_CONTROL;
  for (i = 0; i < RTL_NUMBER_OF(BridgeFlagBits); i++) {
    if (Mask & BridgeFlagBits[i].Bit) {
      if (BridgeFlagBits[i].FlowReplace) {
        Handflow->FlowReplace |= BridgeFlagBits[i].Flag;
      } else {
        Handflow->ControlHandShake |= BridgeFlagBits[i].Flag;
      }
    }
  }
}

/* IOCTL_SERIAL_SET_HANDFLOW: replaces BitMask, XonLim and XoffLim. PASSIVE_LEVEL. */
NTSTATUS BridgeSetHandflow(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_HANDFLOW in = (PSERIAL_HANDFLOW)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  NTSTATUS status = STATUS_UNSUCCESSFUL;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_HANDFLOW)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  if (BridgeReadDcb(Extension, &dcb)) {
    dcb.BitMask = BridgeHandflowToBitMask(in);
    dcb.XonLim = (ULONG)in->XonLimit;
    dcb.XoffLim = (ULONG)in->XoffLimit;
    if (_VCOMM_SetCommState(Extension->Port, &dcb, VCOMM_ACTION_LINE_FORMAT)) {
      status = STATUS_SUCCESS;
    }
  }
  BridgeUnlockPort(Extension);
  if (NT_SUCCESS(status)) {
    Irp->IoStatus.Information = 0;
  }
  return status;
}

/* IOCTL_SERIAL_GET_HANDFLOW. PASSIVE_LEVEL. */
NTSTATUS BridgeGetHandflow(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_HANDFLOW out = (PSERIAL_HANDFLOW)Irp->AssociatedIrp.SystemBuffer;
  DCB dcb;
  BOOLEAN read;

  if (BridgeOutputLength(Irp) < sizeof(SERIAL_HANDFLOW)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BridgeLockPort(Extension);
  read = BridgeReadDcb(Extension, &dcb);
  BridgeUnlockPort(Extension);
  if (!read) {
    return STATUS_UNSUCCESSFUL;
  }
  BridgeBitMaskToHandflow(dcb.BitMask, out);
  out->XonLimit = (LONG)dcb.XonLim;
  out->XoffLimit = (LONG)dcb.XoffLim;
  Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
  return STATUS_SUCCESS;
}

/*
 * IOCTL_SERIAL_SET_QUEUE_SIZE. PASSIVE_LEVEL. Buffers only grow. Both new
 * buffers are allocated first, outside PortMutex; if either allocation fails
 * nothing has changed (the port keeps its buffers) and the request fails with
 * STATUS_INSUFFICIENT_RESOURCES. Then, under PortMutex at DISPATCH_LEVEL with
 * interrupts disabled (no byte arrives and no poll reads meanwhile), the old
 * contents are copied to the start of the new buffers and the port is given
 * them with _VCOMM_SetupComm, which is made also when nothing grew. The old
 * buffers are freed only after that call has returned and succeeded; if the
 * port refuses, it keeps its buffers and the new ones are freed instead. The
 * port never uses freed memory, and the extension always names the buffers
 * the port has.
 */
NTSTATUS BridgeSetQueueSize(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PSERIAL_QUEUE_SIZE in = (PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer;
  PUCHAR newRx = NULL;
  PUCHAR newTx = NULL;
  PUCHAR unusedRx = NULL;
  PUCHAR unusedTx = NULL;
  PUCHAR rx;
  PUCHAR tx;
  ULONG rxSize;
  ULONG txSize;
  UCHAR scratch[8];
  ULONG result;
  KIRQL irql;

  if (BridgeInputLength(Irp) < sizeof(SERIAL_QUEUE_SIZE)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  if (in->InSize > Extension->RxBufferSize) {
    newRx = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, in->InSize, BRIDGE_POOL_TAG);
    if (newRx == NULL) {
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (in->OutSize > Extension->TxBufferSize) {
    newTx = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, in->OutSize, BRIDGE_POOL_TAG);
    if (newTx == NULL) {
      if (newRx != NULL) {
        ExFreePoolWithTag(newRx, BRIDGE_POOL_TAG);
      }
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  BridgeLockPort(Extension);
  rx = newRx != NULL ? newRx : Extension->RxBuffer;
  rxSize = newRx != NULL ? in->InSize : Extension->RxBufferSize;
  tx = newTx != NULL ? newTx : Extension->TxBuffer;
  txSize = newTx != NULL ? in->OutSize : Extension->TxBufferSize;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  _disable();
  if (newRx != NULL && Extension->RxBuffer != NULL) {
    RtlCopyMemory(newRx, Extension->RxBuffer, Extension->RxBufferSize);
  }
  if (newTx != NULL && Extension->TxBuffer != NULL) {
    RtlCopyMemory(newTx, Extension->TxBuffer, Extension->TxBufferSize);
  }
  result = _VCOMM_SetupComm(Extension->Port, rx, rxSize, tx, txSize, scratch);
  if (result) {
    /* The port has the new buffers: the old ones are free to go. */
    if (newRx != NULL) {
      unusedRx = Extension->RxBuffer;
      Extension->RxBuffer = newRx;
      Extension->RxBufferSize = rxSize;
    }
    if (newTx != NULL) {
      unusedTx = Extension->TxBuffer;
      Extension->TxBuffer = newTx;
      Extension->TxBufferSize = txSize;
    }
  } else {
    /* Refused (or the port is closed): it keeps what it had. */
    unusedRx = newRx;
    unusedTx = newTx;
  }
  _enable();
  KeLowerIrql(irql);
  BridgeUnlockPort(Extension);

  if (unusedRx != NULL) {
    ExFreePoolWithTag(unusedRx, BRIDGE_POOL_TAG);
  }
  if (unusedTx != NULL) {
    ExFreePoolWithTag(unusedTx, BRIDGE_POOL_TAG);
  }
  if (!result) {
    return STATUS_UNSUCCESSFUL;
  }
  Irp->IoStatus.Information = 0;
  return STATUS_SUCCESS;
}
