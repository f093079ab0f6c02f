/*
 * pnp.cpp - IRP_MJ_PNP: start, query-stop, stop, cancel-stop, query-remove,
 * cancel-remove, surprise removal, removal, the capabilities query and the
 * device-state query. Everything else goes to the lower driver unchanged.
 *
 * Every request takes a reference on entry (none once the device is
 * deleted) and drops it where it ends; query-stop and query-remove drop it
 * before they wait, removal drops it together with the device's own.
 */
#include "portbridge.h"

/*
 * BridgePnpComplete - completes a Plug and Play request with the status
 * given, drops its reference and returns the status. PASSIVE_LEVEL.
 */
static NTSTATUS BridgePnpComplete(PBRIDGE_EXTENSION Extension, PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  BridgeIoDecrement(Extension);
  return Status;
}

/*
 * BridgePnpPassDown - hands a Plug and Play request to the lower driver,
 * drops its reference and returns what the lower driver returned.
 * PASSIVE_LEVEL; the lower drivers complete the request.
 */
static NTSTATUS BridgePnpPassDown(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IofCallDriver(Extension->LowerDevice, Irp);
  BridgeIoDecrement(Extension);
  return status;
}

/*
 * BridgeResumeRequests - lets traffic flow again and re-dispatches the held
 * requests, unless the device is powered down (D1 to D3): then requests
 * stay held until the return to D0 releases them. PASSIVE_LEVEL.
 */
static VOID BridgeResumeRequests(PBRIDGE_EXTENSION Extension) {
  if (Extension->DevicePowerState > PowerDeviceD0) {
    return;
  }
  Extension->QueueMode = BRIDGE_PASS_REQUESTS;
  BridgeProcessHeldRequests(Extension);
}

/*
 * BridgeQueryWait - second half of query-stop and query-remove: drops the
 * request's reference, waits until no request is in progress, then passes
 * the request down with STATUS_SUCCESS. A request in progress may never end
 * by itself (a pending WAIT_ON_MASK, a read with no time-outs), and the
 * Plug and Play thread must not wait for it for ever: when requests are
 * still in progress after BRIDGE_QUERY_WAIT_LIMIT, the query is refused
 * with STATUS_DEVICE_BUSY, the state before it restored and the held
 * requests released. PASSIVE_LEVEL. The lower drivers complete an accepted
 * request, the bridge a refused one.
 */
static NTSTATUS BridgeQueryWait(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  LARGE_INTEGER limit;
  NTSTATUS wait;

  limit.QuadPart = -(LONGLONG)BRIDGE_QUERY_WAIT_LIMIT;
  BridgeIoDecrement(Extension);
  /* StopEvent's signal is not atomic with the count; look at the count
     again so that a stale signal does not end the wait early. */
  do {
    wait = KeWaitForSingleObject(&Extension->StopEvent, Executive, KernelMode, FALSE, &limit);
  } while (wait != STATUS_TIMEOUT && Extension->OutstandingIo > 1);
  if (Extension->OutstandingIo > 1) {
    BridgeIoIncrement(Extension);
    Extension->PnpState = Extension->PreviousPnpState;
    BridgeResumeRequests(Extension);
    return BridgePnpComplete(Extension, Irp, STATUS_DEVICE_BUSY);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Extension->LowerDevice, Irp);
}

/*
 * BridgeCancelQuery - cancel-stop and cancel-remove: if the matching query
 * was accepted, lets the lower drivers cancel first, then returns to the
 * state before the query and releases the held requests. PASSIVE_LEVEL.
 * Completes the request.
 */
static NTSTATUS BridgeCancelQuery(PBRIDGE_EXTENSION Extension, PIRP Irp,
                                  BRIDGE_PNP_STATE PendingState) {
  if (Extension->PnpState != PendingState) {
    return BridgePnpComplete(Extension, Irp, STATUS_SUCCESS);
  }
  NTSTATUS status = BridgeForwardAndWait(Extension->LowerDevice, Irp);
  if (!NT_SUCCESS(status)) {
    return BridgePnpComplete(Extension, Irp, status);
  }
  Extension->PnpState = Extension->PreviousPnpState;
  BridgeResumeRequests(Extension);
  return BridgePnpComplete(Extension, Irp, status);
}

/*
 * BridgeRemoveDevice - IRP_MN_REMOVE_DEVICE: fails the held requests (unless
 * a surprise removal did), drops the request's and the device's own
 * references, waits until every request in progress has finished, passes
 * closes the port if a handle still holds it open, passes the removal
 * down, detaches and deletes the device. PASSIVE_LEVEL. The extension is
 * gone when this returns.
 */
static NTSTATUS BridgeRemoveDevice(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  if (Extension->PnpState != BRIDGE_SURPRISE_REMOVED) {
    Extension->QueueMode = BRIDGE_FAIL_REQUESTS;
    BridgeProcessHeldRequests(Extension);
    BridgeReleaseResources(Extension->Self);
  }
  Extension->PreviousPnpState = Extension->PnpState;
  Extension->PnpState = BRIDGE_DELETED;

  BridgeIoDecrement(Extension);
  BridgeIoDecrement(Extension);
  /* RemoveEvent may carry a signal from a power-down drain that lent out
     the device's reference; only a count of 0 with no drain lending it
     means that nothing is inside any more. */
  for (;;) {
    KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
    if (Extension->OutstandingIo == 0 && Extension->DrainLending == 0) {
      break;
    }
  }
  BridgeClosePortAtRemoval(Extension);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  PDEVICE_OBJECT lower = Extension->LowerDevice;
  PDEVICE_OBJECT self = Extension->Self;
  NTSTATUS status = IofCallDriver(lower, Irp);
  IoDetachDevice(lower);
  IoDeleteDevice(self);
  return status;
}

/*
 * BridgeStartDevice - carried out once the lower drivers have started:
 * initialises the read queue (unless reads still hold it), records the
 * start and releases the held requests. A device the lower drivers have
 * started is working: a power-down received while it was stopped ends
 * here (D0 recorded and reported), or its requests would stay held with
 * nothing to release them. PASSIVE_LEVEL. STATUS_SUCCESS.
 */
NTSTATUS BridgeStartDevice(PBRIDGE_EXTENSION Extension, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  if (!Extension->ReadQueue.Busy) {
    KeInitializeDeviceQueue(&Extension->ReadQueue);
  }
  if (Extension->DevicePowerState != PowerDeviceD0) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    Extension->DevicePowerState = PowerDeviceD0;
    PoSetPowerState(Extension->Self, DevicePowerState, state);
  }
  Extension->PreviousPnpState = Extension->PnpState;
  Extension->PnpState = BRIDGE_STARTED;
  BridgeResumeRequests(Extension);
  return STATUS_SUCCESS;
}

/*
 * BridgeCanStopOrRemove - asked before a query-stop or query-remove is
 * accepted. PASSIVE_LEVEL. The port is opened per handle, so nothing
 * stands in the way: STATUS_SUCCESS.
 */
NTSTATUS BridgeCanStopOrRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_SUCCESS;
}

/*
 * BridgeReleaseResources - called when the device stops, is surprise-removed
 * or removed without a surprise removal. PASSIVE_LEVEL. The start claims no
 * hardware resources, so there is nothing to give back.
 */
NTSTATUS BridgeReleaseResources(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  return STATUS_SUCCESS;
}

/*
 * BridgeDispatchPnp - IRP_MJ_PNP. PASSIVE_LEVEL, Plug and Play thread. Once
 * the device is deleted, every request is completed with
 * STATUS_DELETE_PENDING. Requests are completed here or by the lower
 * drivers, as each case says.
 */
NTSTATUS NTAPI BridgeDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;

  if (extension->PnpState == BRIDGE_DELETED) {
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  BridgeIoIncrement(extension);

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = BridgeForwardAndWait(extension->LowerDevice, Irp);
      if (NT_SUCCESS(status)) {
        status = BridgeStartDevice(extension, Irp);
      }
      return BridgePnpComplete(extension, Irp, status);

    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = BridgeCanStopOrRemove(DeviceObject, Irp);
      if (!NT_SUCCESS(status)) {
        return BridgePnpComplete(extension, Irp, status);
      }
      extension->QueueMode = BRIDGE_HOLD_REQUESTS;
      extension->PreviousPnpState = extension->PnpState;
      extension->PnpState = BRIDGE_REMOVE_PENDING;
      return BridgeQueryWait(extension, Irp);

    case IRP_MN_REMOVE_DEVICE:
      return BridgeRemoveDevice(extension, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return BridgeCancelQuery(extension, Irp, BRIDGE_REMOVE_PENDING);

    case IRP_MN_STOP_DEVICE:
      BridgeReleaseResources(DeviceObject);
      extension->PreviousPnpState = extension->PnpState;
      extension->PnpState = BRIDGE_STOPPED;
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return BridgePnpPassDown(extension, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
      status = BridgeCanStopOrRemove(DeviceObject, Irp);
      if (!NT_SUCCESS(status)) {
        return BridgePnpComplete(extension, Irp, status);
      }
      extension->PreviousPnpState = extension->PnpState;
      extension->PnpState = BRIDGE_STOP_PENDING;
      extension->QueueMode = BRIDGE_HOLD_REQUESTS;
      return BridgeQueryWait(extension, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE:
      return BridgeCancelQuery(extension, Irp, BRIDGE_STOP_PENDING);

    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == NULL || capabilities->Version != 1 ||
          capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return BridgePnpComplete(extension, Irp, STATUS_UNSUCCESSFUL);
      }
      status = BridgeForwardAndWait(extension->LowerDevice, Irp);
      if (NT_SUCCESS(status)) {
        RtlCopyMemory(&extension->Capabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
      }
      return BridgePnpComplete(extension, Irp, status);
    }

    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      BridgeForwardAndWait(extension->LowerDevice, Irp);
      return BridgePnpComplete(extension, Irp, STATUS_SUCCESS);

    case IRP_MN_SURPRISE_REMOVAL:
      extension->QueueMode = BRIDGE_FAIL_REQUESTS;
      BridgeProcessHeldRequests(extension);
      extension->PreviousPnpState = extension->PnpState;
      extension->PnpState = BRIDGE_SURPRISE_REMOVED;
      BridgeReleaseResources(DeviceObject);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return BridgePnpPassDown(extension, Irp);

    default:
      return BridgePnpPassDown(extension, Irp);
  }
}
