/*
 * create_close.cpp - opening and closing the COM port: IRP_MJ_CREATE opens
 * the port that AttachedTo names and puts it into its initial state;
 * IRP_MJ_CLOSE ends a pending wait, closes the port and frees its queues.
 *
 * Create and close hold PortMutex for their whole VCOMM work, so that two
 * creates, or a create and a close, never interleave: one open period at a
 * time, and a second create while the port is open is refused with
 * STATUS_ACCESS_DENIED, leaving the open port's handle and buffers alone.
 */
#include "portbridge.h"

static const WCHAR BridgeAttachedToName[] = {'A', 't', 't', 'a', 'c', 'h', 'e', 'd', 'T', 'o', 0};

/*
 * BridgeQueryRegistryValue - reads the data of one registry value into the
 * caller's buffer. PASSIVE_LEVEL (paged pool). Returns STATUS_NO_MEMORY when
 * the query record cannot be allocated, otherwise the query's status; data
 * longer than BufferLength is not copied and answers STATUS_BUFFER_TOO_SMALL.
 */
NTSTATUS BridgeQueryRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, PVOID Buffer,
                                  ULONG BufferLength) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, ValueName);

  ULONG recordSize = name.MaximumLength + BufferLength + 24;
  PKEY_VALUE_FULL_INFORMATION record =
      (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, recordSize, BRIDGE_QUERY_TAG);
  if (record == NULL) {
    return STATUS_NO_MEMORY;
  }

  ULONG resultLength = 0;
  NTSTATUS status =
      ZwQueryValueKey(KeyHandle, &name, KeyValueFullInformation, record, recordSize, &resultLength);
  if (NT_SUCCESS(status)) {
    /* Trust no offset that points outside the record. */
    if (record->DataLength > BufferLength || record->DataOffset > recordSize ||
        record->DataLength > recordSize - record->DataOffset) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(Buffer, (PUCHAR)record + record->DataOffset, record->DataLength);
    }
  }

  ExFreePool(record);
  return status;
}

/*
 * BridgeReadPortName - refreshes PortName from the driver key's AttachedTo
 * value. PASSIVE_LEVEL, PortMutex held. A missing or unreadable value leaves
 * PortName as it was; a value that is read replaces it whole, so no tail of
 * a longer earlier name survives behind a shorter one. Returns the status
 * of opening the key.
 */
static NTSTATUS BridgeReadPortName(PBRIDGE_EXTENSION Extension) {
  HANDLE key = NULL;
  NTSTATUS status = IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  WCHAR name[BRIDGE_PORT_NAME_BYTES / sizeof(WCHAR)];
  RtlZeroMemory(name, sizeof(name));
  if (NT_SUCCESS(BridgeQueryRegistryValue(key, BridgeAttachedToName, name, sizeof(name)))) {
    RtlCopyMemory(Extension->PortName, name, sizeof(name));
  }
  ZwClose(key);
  return status;
}

/*
 * BridgeFindLast - the last occurrence of Character in the zero-ended Text,
 * or NULL. Any IRQL.
 */
static PCHAR BridgeFindLast(PCHAR Text, CHAR Character) {
  PCHAR found = NULL;
  for (; *Text != 0; Text++) {
    if (*Text == Character) {
      found = Text;
    }
  }
  return found;
}

/*
 * BridgeOpenPort - opens the port named by PortName: first the whole name,
 * then, if VCOMM refuses it, the text between the last "(" and the last ")"
 * after it. PASSIVE_LEVEL, PortMutex held. Sets Port. Returns
 * STATUS_UNSUCCESSFUL when no name opens, also when the name does not fit
 * the 127-character ANSI buffer (no VCOMM call is made then).
 */
static NTSTATUS BridgeOpenPort(PBRIDGE_EXTENSION Extension) {
  CHAR ansiName[BRIDGE_PORT_NAME_ANSI];
  RtlZeroMemory(ansiName, sizeof(ansiName));

  USHORT characters = 0;
  while (characters < RTL_NUMBER_OF(Extension->PortName) && Extension->PortName[characters] != 0) {
    characters++;
  }
  UNICODE_STRING source;
  source.Buffer = Extension->PortName;
  source.Length = (USHORT)(characters * sizeof(WCHAR));
  source.MaximumLength = source.Length;

  ANSI_STRING destination;
  destination.Buffer = ansiName;
  destination.Length = 0;
  destination.MaximumLength = sizeof(ansiName);
  if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&destination, &source, FALSE))) {
    return STATUS_UNSUCCESSFUL;
  }
  ansiName[sizeof(ansiName) - 1] = 0;

  ULONG port = _VCOMM_OpenComm(ansiName, (ULONG)-1);
  if (port == IE_BADID || port == IE_OPEN) {
    PCHAR open = BridgeFindLast(ansiName, '(');
    PCHAR close = open != NULL ? BridgeFindLast(open, ')') : NULL;
    if (close != NULL) {
      *close = 0;
      port = _VCOMM_OpenComm(open + 1, (ULONG)-1);
    }
  }
  Extension->Port = port;
  if (port == IE_BADID || port == IE_OPEN) {
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

/*
 * BridgeSetInitialState - hands VCOMM the queues and writes the initial
 * port settings: 9600 baud, 8 data bits, no parity, 1 stop bit, DTR and RTS
 * raised, no handshake. PASSIVE_LEVEL, PortMutex held, port open. Returns
 * whether the port took the queues; the settings' answers are not looked
 * at. A DCB that cannot be read starts from zeros, so the fields that are
 * not set here are never stack garbage.
 */
static BOOLEAN BridgeSetInitialState(PBRIDGE_EXTENSION Extension) {
  UCHAR queueRecord[8];
  BOOLEAN queues = _VCOMM_SetupComm(Extension->Port, Extension->RxBuffer, Extension->RxBufferSize,
                                    Extension->TxBuffer, Extension->TxBufferSize, queueRecord) != 0;

  DCB dcb;
  RtlZeroMemory(&dcb, sizeof(dcb));
  if (!_VCOMM_GetCommState(Extension->Port, &dcb)) {
    RtlZeroMemory(&dcb, sizeof(dcb));
  }
  dcb.DCBLength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.BitMask = fBinary | 0x00040000 | 0x00100000; /* binary, DTR raised, RTS raised */
  dcb.XonLim = 0;
  dcb.XoffLim = 0;
  dcb.ByteSize = 8;
  dcb.Parity = 0;
  dcb.StopBits = 0;
  dcb.RlsTimeout = 0;
  dcb.CtsTimeout = 0;
  dcb.DsrTimeout = 0;
  dcb.TxDelay = 0;
  _VCOMM_SetCommState(Extension->Port, &dcb, BRIDGE_OPEN_ACTION_MASK);
  return queues;
}

static VOID BridgeShutPort(PBRIDGE_EXTENSION Extension, PUCHAR *RxBuffer, PUCHAR *TxBuffer);
static VOID BridgeFreeQueues(PUCHAR RxBuffer, PUCHAR TxBuffer);

/*
 * BridgeCreate - the create half: reads AttachedTo, opens the port, gives it
 * its queues and initial state and turns notification on last. PASSIVE_LEVEL.
 * Returns the status the create completes with; on failure nothing stays
 * open or allocated.
 */
static NTSTATUS BridgeCreate(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  NTSTATUS status;
  BOOLEAN queues;
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);

  if (Extension->PortOpen) {
    /* One open period at a time: the open port is left untouched. */
    status = STATUS_ACCESS_DENIED;
    goto out;
  }

  /* Without the driver key the configuration is unknown: refuse rather than
     open whatever name an earlier open period left behind. */
  status = BridgeReadPortName(Extension);
  if (!NT_SUCCESS(status)) {
    goto out;
  }

  status = BridgeOpenPort(Extension);
  if (!NT_SUCCESS(status)) {
    goto out;
  }

  Extension->RxBufferSize = BRIDGE_RX_BUFFER_SIZE;
  Extension->RxBuffer =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BRIDGE_RX_BUFFER_SIZE, BRIDGE_POOL_TAG);
  Extension->TxBufferSize = BRIDGE_TX_BUFFER_SIZE;
  Extension->TxBuffer =
      (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BRIDGE_TX_BUFFER_SIZE, BRIDGE_POOL_TAG);
  if (Extension->RxBuffer == NULL || Extension->TxBuffer == NULL) {
    if (Extension->RxBuffer != NULL) {
      ExFreePool(Extension->RxBuffer);
    }
    if (Extension->TxBuffer != NULL) {
      ExFreePool(Extension->TxBuffer);
    }
    Extension->RxBuffer = NULL;
    Extension->RxBufferSize = 0;
    Extension->TxBuffer = NULL;
    Extension->TxBufferSize = 0;
    _VCOMM_CloseComm(Extension->Port);
    status = STATUS_INSUFFICIENT_RESOURCES;
    goto out;
  }

  queues = BridgeSetInitialState(Extension);

  _disable();
  Extension->EventHistory = 0;
  Extension->HistoryArmed = FALSE;
  Extension->ErrorWord = 0;
  _enable();

  _VCOMM_SetCommEventMask(Extension->Port, EV_RXCHAR, NULL);
  Extension->PortOpen = TRUE;
  Extension->OpenFileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (!queues || !_VCOMM_EnableCommNotification(Extension->Port, BridgeCommNotify, Extension)) {
    /* A port without its queues or without notification would take reads
       and waits it can never finish: the create fails, nothing stays open. */
    PUCHAR rx;
    PUCHAR tx;
    BridgeShutPort(Extension, &rx, &tx);
    KeReleaseMutex(&Extension->PortMutex, FALSE);
    BridgeFreeQueues(rx, tx);
    return STATUS_UNSUCCESSFUL;
  }
  status = STATUS_SUCCESS;

out:
  KeReleaseMutex(&Extension->PortMutex, FALSE);
  return status;
}

/*
 * BridgeShutPort - turns notification off, ends a pending wait with
 * STATUS_CANCELLED, closes the port and takes the queue buffers out of the
 * extension. PASSIVE_LEVEL, PortMutex held, port open. The caller frees the
 * buffers returned once it has released the mutex.
 */
static VOID BridgeShutPort(PBRIDGE_EXTENSION Extension, PUCHAR *RxBuffer, PUCHAR *TxBuffer) {
  _VCOMM_EnableCommNotification(Extension->Port, NULL, NULL);
  BridgeCancelWait(Extension);
  _VCOMM_CloseComm(Extension->Port);
  Extension->PortOpen = FALSE;
  Extension->OpenFileObject = NULL;

  *RxBuffer = Extension->RxBuffer;
  *TxBuffer = Extension->TxBuffer;
  Extension->RxBuffer = NULL;
  Extension->RxBufferSize = 0;
  Extension->TxBuffer = NULL;
  Extension->TxBufferSize = 0;
}

/*
 * BridgeFreeQueues - frees queue buffers taken out by BridgeShutPort.
 * PASSIVE_LEVEL, no lock held.
 */
static VOID BridgeFreeQueues(PUCHAR RxBuffer, PUCHAR TxBuffer) {
  if (RxBuffer != NULL) {
    ExFreePool(RxBuffer);
  }
  if (TxBuffer != NULL) {
    ExFreePool(TxBuffer);
  }
}

/*
 * BridgeClose - the close half: notification off, a pending wait ended with
 * STATUS_CANCELLED, the port closed and its queues freed. PASSIVE_LEVEL.
 * A close of a handle whose create did not open the port touches nothing.
 * Always STATUS_SUCCESS.
 */
static NTSTATUS BridgeClose(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PUCHAR rxBuffer = NULL;
  PUCHAR txBuffer = NULL;
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  if (Extension->PortOpen &&
      Extension->OpenFileObject == IoGetCurrentIrpStackLocation(Irp)->FileObject) {
    BridgeShutPort(Extension, &rxBuffer, &txBuffer);
  }
  KeReleaseMutex(&Extension->PortMutex, FALSE);
  BridgeFreeQueues(rxBuffer, txBuffer);
  return STATUS_SUCCESS;
}

/*
 * BridgeClosePortAtRemoval - closes the port that a handle still holds open
 * when the device is removed: no close will reach the device afterwards,
 * and VCOMM must not keep the queues or call back into a deleted extension.
 * PASSIVE_LEVEL, Plug and Play thread, once no request is in progress.
 */
VOID BridgeClosePortAtRemoval(PBRIDGE_EXTENSION Extension) {
  PAGED_CODE();
  PUCHAR rxBuffer = NULL;
  PUCHAR txBuffer = NULL;
  KeWaitForSingleObject(&Extension->PortMutex, Executive, KernelMode, FALSE, NULL);
  if (Extension->PortOpen) {
    BridgeShutPort(Extension, &rxBuffer, &txBuffer);
  }
  KeReleaseMutex(&Extension->PortMutex, FALSE);
  BridgeFreeQueues(rxBuffer, txBuffer);
}

/*
 * BridgeDispatchCreateClose - IRP_MJ_CREATE and IRP_MJ_CLOSE, served in
 * every Plug and Play state and never held. PASSIVE_LEVEL. Holds a
 * reference throughout; completes the request itself with Information 0
 * and returns the status it completed it with.
 */
NTSTATUS NTAPI BridgeDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  BridgeIoIncrement(extension);

  NTSTATUS status;
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
    status = BridgeCreate(extension, Irp);
  } else {
    status = BridgeClose(extension, Irp);
  }

  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  BridgeIoDecrement(extension);
  return status;
}
