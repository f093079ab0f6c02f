/*
 * sim_fdo - a minimal function driver over the port services, for the
 * world's tests. Create opens the port named by the driver key's
 * "AttachedTo" at 9600 8N1 with DTR and RTS raised; reads poll the port
 * until the length has arrived or the read's total timeout passed (then
 * STATUS_TIMEOUT with what arrived); writes queue at line pace; a few
 * controls (baud rate, timeouts, purge, status) map onto the services.
 * Requests sent at DISPATCH_LEVEL take only what is there at once.
 */
#include <ntddser.h>
#include <wdm.h>

#include "vcomm.h"

#define SIM_TAG 0x4D495353 /* "SSIM" */
#define SIM_RX_SIZE 4096
#define SIM_TX_SIZE 1024

typedef struct _SIM_EXTENSION {
  PDEVICE_OBJECT Self;      /* this device; set in AddDevice */
  PDEVICE_OBJECT Lower;     /* the device below; set in AddDevice */
  PDEVICE_OBJECT Pdo;       /* the node's PDO; set in AddDevice */
  ULONG Port;               /* VCOMM handle, 0 when closed; PASSIVE */
  PUCHAR RxBuffer;          /* receive queue ("SSIM"), while open; PASSIVE */
  PUCHAR TxBuffer;          /* transmit queue ("SSIM"), while open; PASSIVE */
  ULONG Rate;               /* current rate, for pacing polls; PASSIVE */
  SERIAL_TIMEOUTS Timeouts; /* read total timeout used; PASSIVE */
  KEVENT Never;             /* never signalled: waits on it are delays */
} SIM_EXTENSION, *PSIM_EXTENSION;

/* SimComplete - completes a request. DISPATCH or below. */
static NTSTATUS SimComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/* SimDelay - waits a virtual time (100 ns units). PASSIVE. */
static VOID SimDelay(PSIM_EXTENSION Extension, LONGLONG Units) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -(Units < 10000 ? 10000 : Units);
  KeWaitForSingleObject(&Extension->Never, Executive, KernelMode, FALSE, &timeout);
}

/* SimNow - the system time. */
static LONGLONG SimNow(VOID) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart;
}

/* SimFramesTime - Count 10-bit frames at the current rate, in 100 ns units, rounded up. */
static LONGLONG SimFramesTime(PSIM_EXTENSION Extension, ULONG Count) {
  LONGLONG rate = Extension->Rate ? Extension->Rate : 9600;
  return ((LONGLONG)Count * 100000000LL + rate - 1) / rate;
}

/* SimOpen - opens and sets up the port. PASSIVE. */
static NTSTATUS SimOpen(PSIM_EXTENSION Extension) {
  static const WCHAR valueName[] = {'A', 't', 't', 'a', 'c', 'h', 'e', 'd', 'T', 'o', 0};
  UCHAR buffer[256];
  CHAR name[64];
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)buffer;
  UNICODE_STRING value;
  HANDLE key;
  ULONG length;
  ULONG i;
  ULONG port;
  DCB dcb;
  UCHAR queue[8];
  RtlZeroMemory(name, sizeof name);
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Extension->Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key)))
    return STATUS_UNSUCCESSFUL;
  RtlInitUnicodeString(&value, valueName);
  if (NT_SUCCESS(
          ZwQueryValueKey(key, &value, KeyValueFullInformation, buffer, sizeof buffer, &length))) {
    PWCHAR text = (PWCHAR)(buffer + info->DataOffset);
    for (i = 0; i < info->DataLength / 2 && i < sizeof name - 1 && text[i] != 0; ++i)
      name[i] = (CHAR)text[i];
  }
  ZwClose(key);
  port = _VCOMM_OpenComm(name, (ULONG)-1);
  if (port == IE_BADID || port == IE_OPEN) return STATUS_UNSUCCESSFUL;
  Extension->RxBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SIM_RX_SIZE, SIM_TAG);
  Extension->TxBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, SIM_TX_SIZE, SIM_TAG);
  if (Extension->RxBuffer == NULL || Extension->TxBuffer == NULL) {
    if (Extension->RxBuffer) ExFreePoolWithTag(Extension->RxBuffer, SIM_TAG);
    if (Extension->TxBuffer) ExFreePoolWithTag(Extension->TxBuffer, SIM_TAG);
    Extension->RxBuffer = Extension->TxBuffer = NULL;
    _VCOMM_CloseComm(port);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  _VCOMM_SetupComm(port, Extension->RxBuffer, SIM_RX_SIZE, Extension->TxBuffer, SIM_TX_SIZE, queue);
  _VCOMM_GetCommState(port, &dcb);
  dcb.DCBLength = sizeof(DCB);
  dcb.BaudRate = CBR_9600;
  dcb.BitMask = fBinary | fDtrEnable | fRtsEnable;
  dcb.ByteSize = 8;
  dcb.Parity = NO_PARITY;
  dcb.StopBits = STOP_BIT_1;
  _VCOMM_SetCommState(port, &dcb, VCOMM_ACTION_LINE_FORMAT);
  Extension->Port = port;
  Extension->Rate = 9600;
  Extension->Timeouts.ReadTotalTimeoutConstant = 500;
  return STATUS_SUCCESS;
}

/* SimClose - closes the port and frees its queues. PASSIVE. */
static VOID SimClose(PSIM_EXTENSION Extension) {
  if (Extension->Port == 0) return;
  _VCOMM_CloseComm(Extension->Port);
  Extension->Port = 0;
  ExFreePoolWithTag(Extension->RxBuffer, SIM_TAG);
  ExFreePoolWithTag(Extension->TxBuffer, SIM_TAG);
  Extension->RxBuffer = Extension->TxBuffer = NULL;
}

/* SimDispatchCreateClose - create opens the port, close closes it. PASSIVE. */
static NTSTATUS NTAPI SimDispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  if (major == IRP_MJ_CREATE) {
    if (extension->Port != 0) return SimComplete(Irp, STATUS_SUCCESS, 0);
    return SimComplete(Irp, SimOpen(extension), 0);
  }
  if (major == IRP_MJ_CLOSE) SimClose(extension);
  return SimComplete(Irp, STATUS_SUCCESS, 0);
}

/*
 * SimDispatchRead - polls the port until the length arrived or the total
 * timeout passed. PASSIVE (waits) or DISPATCH (takes what is there).
 * Completes the request.
 */
static NTSTATUS NTAPI SimDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  ULONG total = 0;
  LONGLONG deadline = SimNow() + (LONGLONG)extension->Timeouts.ReadTotalTimeoutConstant * 10000;
  if (extension->Port == 0) return SimComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  for (;;) {
    ULONG got = 0;
    if (!_VCOMM_ReadComm(extension->Port, buffer + total, length - total, &got))
      return SimComplete(Irp, STATUS_UNSUCCESSFUL, total);
    total += got;
    if (total == length) return SimComplete(Irp, STATUS_SUCCESS, total);
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL) return SimComplete(Irp, STATUS_SUCCESS, total);
    LONGLONG now = SimNow();
    if (now >= deadline) return SimComplete(Irp, STATUS_TIMEOUT, total);
    LONGLONG wait = SimFramesTime(extension, length - total);
    if (wait > deadline - now) wait = deadline - now;
    SimDelay(extension, wait);
  }
}

/* SimDispatchWrite - queues the bytes at line pace. PASSIVE or DISPATCH. Completes it. */
static NTSTATUS NTAPI SimDispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  ULONG total = 0;
  if (extension->Port == 0) return SimComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  while (total < length) {
    ULONG written = 0;
    if (!_VCOMM_WriteComm(extension->Port, buffer + total, length - total, &written))
      return SimComplete(Irp, STATUS_UNSUCCESSFUL, total);
    total += written;
    if (total == length || KeGetCurrentIrql() >= DISPATCH_LEVEL) break;
    SimDelay(extension, SimFramesTime(extension, length - total));
  }
  return SimComplete(Irp, STATUS_SUCCESS, total);
}

/* SimDispatchControl - baud rate, timeouts, purge and status. PASSIVE. Completes it. */
static NTSTATUS NTAPI SimDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  DCB dcb;
  COMSTAT stat;
  ULONG errors;
  if (extension->Port == 0) return SimComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      if (in < sizeof(SERIAL_BAUD_RATE)) return SimComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      _VCOMM_GetCommState(extension->Port, &dcb);
      dcb.BaudRate = ((PSERIAL_BAUD_RATE)buffer)->BaudRate;
      if (!_VCOMM_SetCommState(extension->Port, &dcb, VCOMM_ACTION_LINE_FORMAT))
        return SimComplete(Irp, STATUS_UNSUCCESSFUL, 0);
      extension->Rate = dcb.BaudRate;
      return SimComplete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_SERIAL_GET_BAUD_RATE:
      if (out < sizeof(SERIAL_BAUD_RATE)) return SimComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      ((PSERIAL_BAUD_RATE)buffer)->BaudRate = extension->Rate;
      return SimComplete(Irp, STATUS_SUCCESS, sizeof(SERIAL_BAUD_RATE));
    case IOCTL_SERIAL_SET_TIMEOUTS:
      if (in < sizeof(SERIAL_TIMEOUTS)) return SimComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      RtlCopyMemory(&extension->Timeouts, buffer, sizeof(SERIAL_TIMEOUTS));
      return SimComplete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_SERIAL_PURGE:
      _VCOMM_PurgeComm(extension->Port, VCOMM_PURGE_TX);
      _VCOMM_PurgeComm(extension->Port, VCOMM_PURGE_RX);
      return SimComplete(Irp, STATUS_SUCCESS, 0);
    case IOCTL_SERIAL_GET_COMMSTATUS:
      if (out < sizeof(SERIAL_STATUS)) return SimComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      if (!_VCOMM_ClearCommError(extension->Port, &stat, &errors))
        return SimComplete(Irp, STATUS_UNSUCCESSFUL, 0);
      RtlZeroMemory(buffer, sizeof(SERIAL_STATUS));
      ((PSERIAL_STATUS)buffer)->Errors = errors;
      ((PSERIAL_STATUS)buffer)->AmountInInQueue = stat.cbInQue;
      ((PSERIAL_STATUS)buffer)->AmountInOutQueue = stat.cbOutQue;
      return SimComplete(Irp, STATUS_SUCCESS, sizeof(SERIAL_STATUS));
    default:
      return SimComplete(Irp, STATUS_NOT_SUPPORTED, 0);
  }
}

/* SimStartDone - completion routine of the forwarded start: wakes the dispatch. */
static NTSTATUS NTAPI SimStartDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * SimDispatchPnp - start goes down first and is completed here; remove
 * closes the port, passes it down, detaches and deletes. PASSIVE. The
 * lower driver completes everything but start.
 */
static NTSTATUS NTAPI SimDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  PDEVICE_OBJECT lower = extension->Lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS status;
  KEVENT done;
  PAGED_CODE();
  if (minor == IRP_MN_START_DEVICE) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SimStartDone, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(lower, Irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    SimClose(extension);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

/* SimDispatchPower - lets the next power request start and passes this one down. */
static NTSTATUS NTAPI SimDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PSIM_EXTENSION extension = (PSIM_EXTENSION)DeviceObject->DeviceExtension;
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->Lower, Irp);
}

/* SimAddDevice - creates and attaches the device. PASSIVE. */
static NTSTATUS NTAPI SimAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  PSIM_EXTENSION extension;
  NTSTATUS status;
  PAGED_CODE();
  status = IoCreateDevice(DriverObject, sizeof(SIM_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0,
                          FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (PSIM_EXTENSION)device->DeviceExtension;
  extension->Self = device;
  extension->Pdo = Pdo;
  KeInitializeEvent(&extension->Never, NotificationEvent, FALSE);
  extension->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  if (extension->Lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* SimUnload - nothing left to give back. PASSIVE. */
static VOID NTAPI SimUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

/* DriverEntry - fills the dispatch table. PASSIVE. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = SimDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = SimDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = SimDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = SimDispatchRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = SimDispatchWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = SimDispatchControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = SimDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = SimDispatchPower;
  DriverObject->DriverExtension->AddDevice = SimAddDevice;
  DriverObject->DriverUnload = SimUnload;
  return STATUS_SUCCESS;
}
