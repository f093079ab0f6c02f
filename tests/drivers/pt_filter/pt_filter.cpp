/*
 * pt_filter - a pass-through upper filter: every request goes down with the
 * filter's stack location skipped. Used by the platform's tests and
 * benchmarks as the simplest well-behaved filter.
 */
#include <wdm.h>

typedef struct _PT_EXTENSION {
  PDEVICE_OBJECT Lower; /* the device below; set in AddDevice, read at any IRQL */
} PT_EXTENSION, *PPT_EXTENSION;

/*
 * PtDispatchAny - passes any request down unchanged.
 * IRQL: the caller's. The lower driver completes the request.
 */
static NTSTATUS NTAPI PtDispatchAny(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPT_EXTENSION extension = (PPT_EXTENSION)DeviceObject->DeviceExtension;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(extension->Lower, Irp);
}

/*
 * PtDispatchPower - passes a power request down after letting the next one
 * start. IRQL: PASSIVE or DISPATCH. The lower driver completes it.
 */
static NTSTATUS NTAPI PtDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPT_EXTENSION extension = (PPT_EXTENSION)DeviceObject->DeviceExtension;
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(extension->Lower, Irp);
}

/*
 * PtDispatchPnp - passes Plug and Play requests down; on removal detaches
 * and deletes the filter's device. IRQL: PASSIVE. The lower driver
 * completes the request.
 */
static NTSTATUS NTAPI PtDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPT_EXTENSION extension = (PPT_EXTENSION)DeviceObject->DeviceExtension;
  PDEVICE_OBJECT lower = extension->Lower;
  UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  NTSTATUS status;
  PAGED_CODE();
  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

/*
 * PtAddDevice - creates the filter's device and attaches it above the
 * stack, taking over the lower device's buffering and power flags.
 * IRQL: PASSIVE.
 */
static NTSTATUS NTAPI PtAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device;
  PPT_EXTENSION extension;
  NTSTATUS status;
  PAGED_CODE();
  status = IoCreateDevice(DriverObject, sizeof(PT_EXTENSION), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE,
                          &device);
  if (!NT_SUCCESS(status)) return status;
  extension = (PPT_EXTENSION)device->DeviceExtension;
  extension->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
  if (extension->Lower == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->DeviceType = extension->Lower->DeviceType;
  device->Flags |= extension->Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

/* PtUnload - nothing to give back. IRQL: PASSIVE. */
static VOID NTAPI PtUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

/* DriverEntry - fills the dispatch table. IRQL: PASSIVE. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  ULONG i;
  UNREFERENCED_PARAMETER(RegistryPath);
  for (i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) DriverObject->MajorFunction[i] = PtDispatchAny;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PtDispatchPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = PtDispatchPnp;
  DriverObject->DriverExtension->AddDevice = PtAddDevice;
  DriverObject->DriverUnload = PtUnload;
  return STATUS_SUCCESS;
}
