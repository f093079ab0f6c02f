/*
 * mini_fdo - a minimal function driver for the platform's tests. Opens and
 * closes, answers IOCTL_SERIAL_GET/SET_BAUD_RATE, and serves reads with
 * 'A' bytes: at once, or (driver key value "HoldReads" = n ms) held in a
 * cancellable queue until a timer's DPC completes them. With driver key
 * value "BreakOnOpen" = 1 it breaks into the debugger on every open.
 */
#include <ntddser.h>
#include <wdm.h>

#define MINI_TAG 0x494E494D /* "MINI" */

typedef struct _MINI_EXTENSION {
  PDEVICE_OBJECT Self;  /* this device; set in AddDevice */
  PDEVICE_OBJECT Lower; /* the device below; set in AddDevice */
  PVOID Block;          /* pool held while the device exists ("MINI"); PASSIVE */
  ULONG BaudRate;       /* last rate set; PASSIVE */
  ULONG HoldMs;         /* reads wait this long (0: served at once); read-only after AddDevice */
  ULONG BreakOnOpen;    /* DbgBreakPoint on each open; read-only after AddDevice */
  KSPIN_LOCK QueueLock; /* guards HeldReads; DISPATCH */
  LIST_ENTRY HeldReads; /* reads waiting for the timer; QueueLock */
  KTIMER Timer;         /* completes the held reads; DISPATCH */
  KDPC TimerDpc;        /* the timer's DPC */
} MINI_EXTENSION, *PMINI_EXTENSION;

/* MiniComplete - completes a request. Any IRQL up to DISPATCH. */
static NTSTATUS MiniComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/* MiniFillRead - fills a read with 'A' bytes and completes it. DISPATCH or below. */
static VOID MiniFillRead(PIRP Irp) {
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  if (length != 0) RtlFillMemory(Irp->AssociatedIrp.SystemBuffer, length, 'A');
  MiniComplete(Irp, STATUS_SUCCESS, length);
}

/*
 * MiniCancelRead - cancel routine of a held read. Called with the cancel
 * spin lock held at DISPATCH_LEVEL; completes the read with STATUS_CANCELLED.
 */
static VOID NTAPI MiniCancelRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  KIRQL irql;
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  KeAcquireSpinLock(&extension->QueueLock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&extension->QueueLock, irql);
  MiniComplete(Irp, STATUS_CANCELLED, 0);
}

/*
 * MiniTimerDpc - completes every held read whose cancel routine it can
 * still take back; a read whose cancel routine already runs is left to it.
 * DISPATCH_LEVEL.
 */
static VOID NTAPI MiniTimerDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)Context;
  LIST_ENTRY ready;
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  InitializeListHead(&ready);
  KeAcquireSpinLockAtDpcLevel(&extension->QueueLock);
  while (!IsListEmpty(&extension->HeldReads)) {
    PLIST_ENTRY entry = RemoveHeadList(&extension->HeldReads);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
      InitializeListHead(entry); /* its cancel routine removes and completes it */
      continue;
    }
    InsertTailList(&ready, entry);
  }
  KeReleaseSpinLockFromDpcLevel(&extension->QueueLock);
  while (!IsListEmpty(&ready)) {
    PLIST_ENTRY entry = RemoveHeadList(&ready);
    MiniFillRead(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
  }
}

/*
 * MiniDispatchRead - serves a read at once or holds it (cancellable) for
 * the timer. IRQL: PASSIVE or DISPATCH. Completes the request, now or later.
 */
static NTSTATUS NTAPI MiniDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  LARGE_INTEGER due;
  KIRQL irql;
  if (extension->HoldMs == 0) {
    MiniFillRead(Irp);
    return STATUS_SUCCESS;
  }
  KeAcquireSpinLock(&extension->QueueLock, &irql);
  IoSetCancelRoutine(Irp, MiniCancelRead);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&extension->QueueLock, irql);
    return MiniComplete(Irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&extension->HeldReads, &Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&extension->QueueLock, irql);
  due.QuadPart = -(LONGLONG)extension->HoldMs * 10000;
  KeSetTimer(&extension->Timer, due, &extension->TimerDpc);
  return STATUS_PENDING;
}

/* MiniDispatchControl - the baud-rate controls. PASSIVE. Completes the request. */
static NTSTATUS NTAPI MiniDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PSERIAL_BAUD_RATE rate = (PSERIAL_BAUD_RATE)Irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SERIAL_GET_BAUD_RATE:
      if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(SERIAL_BAUD_RATE))
        return MiniComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      rate->BaudRate = extension->BaudRate;
      return MiniComplete(Irp, STATUS_SUCCESS, sizeof(SERIAL_BAUD_RATE));
    case IOCTL_SERIAL_SET_BAUD_RATE:
      if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SERIAL_BAUD_RATE))
        return MiniComplete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      extension->BaudRate = rate->BaudRate;
      return MiniComplete(Irp, STATUS_SUCCESS, 0);
    default:
      return MiniComplete(Irp, STATUS_NOT_SUPPORTED, 0);
  }
}

/* MiniDispatchOpenClose - create, close and cleanup succeed. PASSIVE. */
static NTSTATUS NTAPI MiniDispatchOpenClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  if (extension->BreakOnOpen && IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE)
    DbgBreakPoint();
  return MiniComplete(Irp, STATUS_SUCCESS, 0);
}

/* MiniStartDone - completion routine of the forwarded start: wakes the dispatch. */
static NTSTATUS NTAPI MiniStartDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * MiniDispatchPnp - start: the lower device first, then completes it here;
 * remove: passes it down, detaches and deletes the device; the rest goes
 * down. PASSIVE. Completes start; the lower driver completes the rest.
 */
static NTSTATUS NTAPI MiniDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  PDEVICE_OBJECT lower = extension->Lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS status;
  KEVENT done;
  PAGED_CODE();
  if (minor == IRP_MN_START_DEVICE) {
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, MiniStartDone, &done, TRUE, TRUE, TRUE);
    status = IoCallDriver(lower, Irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  if (minor == IRP_MN_REMOVE_DEVICE) {
    KeCancelTimer(&extension->Timer);
    Irp->IoStatus.Status = STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    ExFreePoolWithTag(extension->Block, MINI_TAG);
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

/* MiniDispatchPower - lets the next power request start and passes this one down. */
static NTSTATUS NTAPI MiniDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMINI_EXTENSION extension = (PMINI_EXTENSION)DeviceObject->DeviceExtension;
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->Lower, Irp);
}

/* MiniReadDword - reads a REG_DWORD of the driver key, 0 without one. PASSIVE. */
static ULONG MiniReadDword(PDEVICE_OBJECT Pdo, PCWSTR name) {
  UCHAR buffer[64];
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)buffer;
  UNICODE_STRING value;
  HANDLE key;
  ULONG length;
  ULONG number = 0;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key))) return 0;
  RtlInitUnicodeString(&value, name);
  if (NT_SUCCESS(
          ZwQueryValueKey(key, &value, KeyValueFullInformation, buffer, sizeof buffer, &length)) &&
      info->Type == REG_DWORD && info->DataLength == sizeof(ULONG)) {
    RtlCopyMemory(&number, buffer + info->DataOffset, sizeof(ULONG));
  }
  ZwClose(key);
  return number;
}

/* MiniAddDevice - creates and attaches the device. PASSIVE. */
static NTSTATUS NTAPI MiniAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  PMINI_EXTENSION extension;
  NTSTATUS status;
  PAGED_CODE();
  status = IoCreateDevice(DriverObject, sizeof(MINI_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0,
                          FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (PMINI_EXTENSION)device->DeviceExtension;
  extension->Self = device;
  extension->BaudRate = 9600;
  static const WCHAR hold_reads[] = {'H', 'o', 'l', 'd', 'R', 'e', 'a', 'd', 's', 0};
  static const WCHAR break_on_open[] = {'B', 'r', 'e', 'a', 'k', 'O', 'n', 'O', 'p', 'e', 'n', 0};
  extension->HoldMs = MiniReadDword(Pdo, hold_reads);
  extension->BreakOnOpen = MiniReadDword(Pdo, break_on_open);
  KeInitializeSpinLock(&extension->QueueLock);
  InitializeListHead(&extension->HeldReads);
  KeInitializeTimer(&extension->Timer);
  KeInitializeDpc(&extension->TimerDpc, MiniTimerDpc, extension);
  extension->Block = ExAllocatePoolWithTag(NonPagedPool, 64, MINI_TAG);
  if (extension->Block == NULL) {
    IoDeleteDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  extension->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  if (extension->Lower == NULL) {
    ExFreePoolWithTag(extension->Block, MINI_TAG);
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* MiniUnload - nothing left to give back. PASSIVE. */
static VOID NTAPI MiniUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

/* DriverEntry - fills the dispatch table; other requests stay invalid. PASSIVE. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = MiniDispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = MiniDispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = MiniDispatchOpenClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = MiniDispatchRead;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MiniDispatchControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = MiniDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = MiniDispatchPower;
  DriverObject->DriverExtension->AddDevice = MiniAddDevice;
  DriverObject->DriverUnload = MiniUnload;
  return STATUS_SUCCESS;
}
