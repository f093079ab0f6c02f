/*
 * faulty - a function driver that breaks one kernel rule on demand, so the
 * platform's tests can show that the verifier catches each. The rule is
 * chosen by the REG_DWORD "Fault" of the device's driver key (FAULT_*);
 * without it the driver behaves: create, close and reads succeed, Plug and
 * Play and power requests go down.
 */
#include <ntddser.h>
#include <wdm.h>

#define FAULT_TAG 0x544C5546 /* "FULT" */
#define OTHER_TAG 0x52485446 /* "FTHR" */

enum FAULT_KIND {
  FAULT_NONE = 0,
  FAULT_COMPLETE_TWICE = 1,
  FAULT_COMPLETE_PENDING = 2,
  FAULT_COMPLETE_WITH_CANCEL = 3,
  FAULT_PENDING_NOT_MARKED = 4,
  FAULT_MARKED_NOT_PENDING = 5,
  FAULT_STATUS_MISMATCH = 6,
  FAULT_INFO_IOCTL = 7,
  FAULT_INFO_READ = 8,
  FAULT_CALL_WITH_CANCEL = 9,
  FAULT_STACK_OVERRUN = 10,
  FAULT_CALL_RAISED = 11,
  FAULT_NO_PENDING_PROPAGATION = 12,
  FAULT_FILTER_FLAGS = 13,
  FAULT_LEFT_INITIALIZING = 14,
  FAULT_POOL_DOUBLE_FREE = 15,
  FAULT_POOL_WRONG_TAG = 16,
  FAULT_POOL_LEAK = 17,
  FAULT_TIMER_IN_FREED_POOL = 18,
  FAULT_TIMER_AT_UNLOAD = 19,
  FAULT_WORK_ITEM_FREED = 20,
  FAULT_DELETE_TWICE = 21,
  FAULT_DELETE_ATTACHED = 22,
  FAULT_NO_START_NEXT_POWER = 23,
  FAULT_START_NEXT_TWICE = 24,
  FAULT_DPC_FREED = 25,
};

typedef struct _FAULT_EXTENSION {
  PDEVICE_OBJECT Lower; /* the device below; set in AddDevice */
  ULONG Fault;          /* the rule to break (FAULT_*); read-only after AddDevice */
  PVOID Kept;           /* pool kept on purpose (FAULT_POOL_LEAK); PASSIVE */
} FAULT_EXTENSION, *PFAULT_EXTENSION;

/* A timer in the image, left set at unload by FAULT_TIMER_AT_UNLOAD. */
static KTIMER FaultImageTimer;

/* FaultNoCancel - a cancel routine that is never meant to run. */
static VOID NTAPI FaultNoCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
}

/* FaultWork, FaultDpc - routines that are never meant to run. */
static VOID NTAPI FaultWork(PVOID Parameter) { UNREFERENCED_PARAMETER(Parameter); }
static VOID NTAPI FaultDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}

/* FaultComplete - completes a request. DISPATCH or below. */
static VOID FaultComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/* FaultForgetPending - a completion routine that ignores PendingReturned. */
static NTSTATUS NTAPI FaultForgetPending(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Context);
  return STATUS_SUCCESS;
}

/*
 * FaultDispatchRead - serves a read, or breaks a request rule.
 * IRQL: PASSIVE. Completes the request or passes it down.
 */
static NTSTATUS NTAPI FaultDispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  ULONG length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  KIRQL irql;
  PIRP own;
  switch (extension->Fault) {
    case FAULT_COMPLETE_TWICE:
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case FAULT_COMPLETE_PENDING:
      FaultComplete(Irp, STATUS_PENDING, 0);
      return STATUS_PENDING;
    case FAULT_COMPLETE_WITH_CANCEL:
      IoSetCancelRoutine(Irp, FaultNoCancel);
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case FAULT_PENDING_NOT_MARKED:
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      return STATUS_PENDING;
    case FAULT_MARKED_NOT_PENDING:
      IoMarkIrpPending(Irp);
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      return STATUS_SUCCESS;
    case FAULT_STATUS_MISMATCH:
      FaultComplete(Irp, STATUS_SUCCESS, 0);
      return STATUS_UNSUCCESSFUL;
    case FAULT_INFO_READ:
      FaultComplete(Irp, STATUS_SUCCESS, length + 1);
      return STATUS_SUCCESS;
    case FAULT_CALL_WITH_CANCEL:
      IoSetCancelRoutine(Irp, FaultNoCancel);
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(extension->Lower, Irp);
    case FAULT_STACK_OVERRUN:
      /* A request of its own with too few stack locations for the stack. */
      own = IoAllocateIrp(1, FALSE);
      IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
      IoCallDriver(DeviceObject, own);
      break;
    case FAULT_CALL_RAISED:
      KeRaiseIrql(SERIAL_DEVICE_LEVEL, &irql);
      IoSkipCurrentIrpStackLocation(Irp);
      return IoCallDriver(extension->Lower, Irp);
    case FAULT_NO_PENDING_PROPAGATION:
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, FaultForgetPending, NULL, TRUE, TRUE, TRUE);
      return IoCallDriver(extension->Lower, Irp);
  }
  FaultComplete(Irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

/* FaultDispatchFlush - passes its own request down without a location for the lower device. */
static NTSTATUS NTAPI FaultDispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  return IoCallDriver(extension->Lower, Irp);
}

/* FaultDispatchControl - reports more output than the buffer holds (FAULT_INFO_IOCTL). */
static NTSTATUS NTAPI FaultDispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  ULONG out = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  FaultComplete(Irp, STATUS_SUCCESS, extension->Fault == FAULT_INFO_IOCTL ? out + 16 : 0);
  return STATUS_SUCCESS;
}

/* FaultDispatchCreate - opens, or breaks a pool or object rule. PASSIVE. Completes it. */
static NTSTATUS NTAPI FaultDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  LARGE_INTEGER due;
  KIRQL irql;
  PVOID block;
  due.QuadPart = -10000000; /* one second */
  switch (extension->Fault) {
    case FAULT_POOL_DOUBLE_FREE:
      block = ExAllocatePoolWithTag(NonPagedPool, 32, FAULT_TAG);
      ExFreePoolWithTag(block, FAULT_TAG);
      ExFreePoolWithTag(block, FAULT_TAG);
      break;
    case FAULT_POOL_WRONG_TAG:
      block = ExAllocatePoolWithTag(NonPagedPool, 32, FAULT_TAG);
      ExFreePoolWithTag(block, OTHER_TAG);
      break;
    case FAULT_POOL_LEAK:
      extension->Kept = ExAllocatePoolWithTag(PagedPool, 48, FAULT_TAG);
      break;
    case FAULT_TIMER_IN_FREED_POOL:
      block = ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), FAULT_TAG);
      KeInitializeTimer((PKTIMER)block);
      KeSetTimer((PKTIMER)block, due, NULL);
      ExFreePoolWithTag(block, FAULT_TAG);
      break;
    case FAULT_TIMER_AT_UNLOAD:
      KeInitializeTimer(&FaultImageTimer);
      KeSetTimer(&FaultImageTimer, due, NULL);
      break;
    case FAULT_WORK_ITEM_FREED:
      block = ExAllocatePoolWithTag(NonPagedPool, sizeof(WORK_QUEUE_ITEM), FAULT_TAG);
      ExInitializeWorkItem((PWORK_QUEUE_ITEM)block, FaultWork, NULL);
      KeRaiseIrql(DISPATCH_LEVEL, &irql);
      ExQueueWorkItem((PWORK_QUEUE_ITEM)block, DelayedWorkQueue);
      ExFreePoolWithTag(block, FAULT_TAG);
      KeLowerIrql(irql);
      break;
    case FAULT_DPC_FREED:
      block = ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), FAULT_TAG);
      KeInitializeDpc((PKDPC)block, FaultDpc, NULL);
      KeRaiseIrql(DISPATCH_LEVEL, &irql);
      KeInsertQueueDpc((PKDPC)block, NULL, NULL);
      ExFreePoolWithTag(block, FAULT_TAG);
      KeLowerIrql(irql);
      break;
  }
  FaultComplete(Irp, STATUS_SUCCESS, 0);
  return STATUS_SUCCESS;
}

/* FaultDispatchPnp - passes requests down; remove breaks a device rule if asked. PASSIVE. */
static NTSTATUS NTAPI FaultDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  PDEVICE_OBJECT lower = extension->Lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  ULONG fault = extension->Fault;
  NTSTATUS status;
  PAGED_CODE();
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    if (fault != FAULT_DELETE_ATTACHED) IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    if (fault == FAULT_DELETE_TWICE) IoDeleteDevice(DeviceObject);
  }
  return status;
}

/* FaultDispatchPower - passes power requests down, starting the next one as asked. */
static NTSTATUS NTAPI FaultDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFAULT_EXTENSION extension = (PFAULT_EXTENSION)DeviceObject->DeviceExtension;
  if (extension->Fault != FAULT_NO_START_NEXT_POWER) PoStartNextPowerIrp(Irp);
  if (extension->Fault == FAULT_START_NEXT_TWICE) PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->Lower, Irp);
}

/* FaultReadFault - the "Fault" value of the driver key, 0 without one. PASSIVE. */
static ULONG FaultReadFault(PDEVICE_OBJECT Pdo) {
  static const WCHAR name[] = {'F', 'a', 'u', 'l', 't', 0};
  UCHAR buffer[64];
  PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)buffer;
  UNICODE_STRING value;
  HANDLE key;
  ULONG length;
  ULONG fault = FAULT_NONE;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(Pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key)))
    return FAULT_NONE;
  RtlInitUnicodeString(&value, name);
  if (NT_SUCCESS(
          ZwQueryValueKey(key, &value, KeyValueFullInformation, buffer, sizeof buffer, &length)) &&
      info->Type == REG_DWORD) {
    RtlCopyMemory(&fault, buffer + info->DataOffset, sizeof(ULONG));
  }
  ZwClose(key);
  return fault;
}

/* FaultAddDevice - creates and attaches the device, or breaks a device rule. PASSIVE. */
static NTSTATUS NTAPI FaultAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  PFAULT_EXTENSION extension;
  NTSTATUS status;
  PAGED_CODE();
  status = IoCreateDevice(DriverObject, sizeof(FAULT_EXTENSION), NULL, FILE_DEVICE_SERIAL_PORT, 0,
                          FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (PFAULT_EXTENSION)device->DeviceExtension;
  extension->Fault = FaultReadFault(Pdo);
  extension->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  if (extension->Lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (extension->Fault != FAULT_FILTER_FLAGS) device->Flags |= DO_BUFFERED_IO;
  if (extension->Fault != FAULT_LEFT_INITIALIZING) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* FaultUnload - nothing to give back (on purpose, in some modes). PASSIVE. */
static VOID NTAPI FaultUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

/* DriverEntry - fills the dispatch table. PASSIVE. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = FaultDispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_READ] = FaultDispatchRead;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = FaultDispatchFlush;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = FaultDispatchControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = FaultDispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = FaultDispatchPower;
  DriverObject->DriverExtension->AddDevice = FaultAddDevice;
  DriverObject->DriverUnload = FaultUnload;
  return STATUS_SUCCESS;
}
