/*
 * frame.cpp - the spine of portbridge: driver entry and unload, add-device,
 * the outstanding-request count and the synchronous call of the lower driver.
 */
#include "portbridge.h"

UNICODE_STRING BridgeRegistryPath;

/*
 * DriverEntry - keeps a copy of the registry path and fills the dispatch
 * table. PASSIVE_LEVEL, system thread; discarded after initialisation.
 * Fails with STATUS_INSUFFICIENT_RESOURCES, registering nothing, when the
 * copy cannot be allocated.
 */
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  BridgeRegistryPath.Length = RegistryPath->Length;
  BridgeRegistryPath.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
  BridgeRegistryPath.Buffer =
      (PWSTR)ExAllocatePoolWithTag(PagedPool, BridgeRegistryPath.MaximumLength, BRIDGE_POOL_TAG);
  if (BridgeRegistryPath.Buffer == NULL) {
    BridgeRegistryPath.Length = 0;
    BridgeRegistryPath.MaximumLength = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(BridgeRegistryPath.Buffer, BridgeRegistryPath.MaximumLength);
  RtlCopyUnicodeString(&BridgeRegistryPath, RegistryPath);

  DriverObject->MajorFunction[IRP_MJ_CREATE] = BridgeDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = BridgeDispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = BridgeDispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = BridgeDispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BridgeDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = BridgeDispatchCleanup;
  DriverObject->MajorFunction[IRP_MJ_POWER] = BridgeDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = BridgeDispatchPnp;
  DriverObject->DriverExtension->AddDevice = BridgeAddDevice;
  DriverObject->DriverUnload = BridgeUnload;
  return STATUS_SUCCESS;
}

/*
 * BridgeUnload - frees the registry-path copy. PASSIVE_LEVEL; every device
 * object of the driver is gone by now.
 */
VOID NTAPI BridgeUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
  if (BridgeRegistryPath.Buffer != NULL) {
    ExFreePool(BridgeRegistryPath.Buffer);
    BridgeRegistryPath.Buffer = NULL;
    BridgeRegistryPath.Length = 0;
    BridgeRegistryPath.MaximumLength = 0;
  }
}

/*
 * BridgeAddDevice - creates the bridge's unnamed device object for a device
 * node and attaches it above the physical device object. PASSIVE_LEVEL,
 * Plug and Play thread. The device starts not started, holding reads,
 * writes and controls. A failed attach deletes the device object and answers
 * STATUS_NO_SUCH_DEVICE.
 */
NTSTATUS NTAPI BridgeAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BRIDGE_EXTENSION), NULL,
                                   FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PBRIDGE_EXTENSION extension = BridgeExtension(device);
  extension->Pdo = PhysicalDeviceObject;
  extension->PnpState = BRIDGE_NOT_STARTED;
  extension->PreviousPnpState = BRIDGE_NOT_STARTED;
  KeInitializeMutex(&extension->PortMutex, 0);
  extension->WaitIrp = NULL;
  extension->WaitMask = 0;
  extension->LineState = 0;
  extension->RxBuffer = NULL;
  extension->RxBufferSize = 0;
  extension->TxBuffer = NULL;
  extension->TxBufferSize = 0;
  extension->NotifyDepth = 0;
  extension->NextWorkSlot = 0;
  extension->CurrentRead = NULL;
  KeInitializeTimer(&extension->ReadTimer);
  extension->QueueMode = BRIDGE_HOLD_REQUESTS;
  extension->Self = device;
  InitializeListHead(&extension->HeldList);
  extension->LowerDevice = NULL;
  KeInitializeSpinLock(&extension->HeldLock);

  KeInitializeEvent(&extension->RemoveEvent, SynchronizationEvent, FALSE);
  KeInitializeEvent(&extension->StopEvent, SynchronizationEvent, TRUE);
  extension->OutstandingIo = 1;

  device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;

  extension->DevicePowerState = PowerDeviceD0;
  extension->SystemPowerState = PowerSystemWorking;
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PoSetPowerState(device, DevicePowerState, state);

  extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (extension->LowerDevice == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }

  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

/*
 * BridgeIoIncrement - takes one outstanding-request reference. Any IRQL up
 * to DISPATCH_LEVEL, no lock. The caller whose increment makes the count 2
 * clears StopEvent. Returns the new count.
 */
LONG BridgeIoIncrement(PBRIDGE_EXTENSION Extension) {
  LONG count = InterlockedIncrement(&Extension->OutstandingIo);
  if (count == 2) {
    KeClearEvent(&Extension->StopEvent);
  }
  return count;
}

/*
 * BridgeIoDecrement - drops one outstanding-request reference. Any IRQL up
 * to DISPATCH_LEVEL, no lock. The caller whose decrement makes the count 1
 * signals StopEvent; the one that makes it 0 signals RemoveEvent. Returns
 * the new count.
 */
LONG BridgeIoDecrement(PBRIDGE_EXTENSION Extension) {
  LONG count = InterlockedDecrement(&Extension->OutstandingIo);
  if (count == 1) {
    KeSetEvent(&Extension->StopEvent, IO_NO_INCREMENT, FALSE);
  }
  if (count == 0) {
    KeSetEvent(&Extension->RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  return count;
}

/*
 * BridgeSyncComplete - completion routine of BridgeForwardAndWait: signals
 * the waiting caller's event and keeps the request for it. Any IRQL up to
 * DISPATCH_LEVEL.
 */
NTSTATUS NTAPI BridgeSyncComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * BridgeForwardAndWait - sends the request to the lower driver with the
 * current stack location copied and waits until it comes back. PASSIVE_LEVEL
 * only. Returns the lower drivers' final status; the request is the
 * caller's again and the caller completes it.
 */
NTSTATUS BridgeForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, BridgeSyncComplete, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IofCallDriver(LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}
