/*
 * placeholders.cpp - stand-ins for the transfer, control and event routines
 * until their own files land. Each is a weak definition, so the real routine
 * replaces it as soon as it is linked in; this file is then deleted.
 */
#include "portbridge.h"

/*
 * BridgePlaceholderDispatch - parks the request while QueueMode is hold,
 * otherwise fails it with STATUS_INVALID_DEVICE_REQUEST. Up to
 * DISPATCH_LEVEL. Completes the request or leaves it parked.
 */
static NTSTATUS BridgePlaceholderDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  if (extension->QueueMode == BRIDGE_HOLD_REQUESTS) {
    return BridgeHoldRequest(extension, Irp);
  }
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

/* BridgeDispatchReadWrite - stand-in for IRP_MJ_READ and IRP_MJ_WRITE. */
__attribute__((weak)) NTSTATUS NTAPI BridgeDispatchReadWrite(PDEVICE_OBJECT DeviceObject,
                                                             PIRP Irp) {
  return BridgePlaceholderDispatch(DeviceObject, Irp);
}

/* BridgeDispatchDeviceControl - stand-in for IRP_MJ_DEVICE_CONTROL. */
__attribute__((weak)) NTSTATUS NTAPI BridgeDispatchDeviceControl(PDEVICE_OBJECT DeviceObject,
                                                                 PIRP Irp) {
  return BridgePlaceholderDispatch(DeviceObject, Irp);
}

/* BridgeCommNotify - stand-in notification routine: ignores every event. */
__attribute__((weak)) VOID NTAPI BridgeCommNotify(ULONG Port, PVOID Data, ULONG Event,
                                                  ULONG SubEvent) {
  UNREFERENCED_PARAMETER(Port);
  UNREFERENCED_PARAMETER(Data);
  UNREFERENCED_PARAMETER(Event);
  UNREFERENCED_PARAMETER(SubEvent);
}
