/*
 * pnp_power.cpp - Plug and Play and power life of the filter device: start
 * with its capabilities query, stop, surprise removal, removal, and the
 * device power changes that move PnpState between started and powered down.
 */
#include "ratefilter.h"

/*
 * FilterSetPnpState - the one place PnpState changes hands between states.
 */
static VOID FilterSetPnpState(PFILTER_EXTENSION Extension, FILTER_PNP_STATE State) {
  Extension->PnpState = State;
}

/*
 * FilterCompletePnp - completes a Plug and Play request with Status.
 */
static NTSTATUS FilterCompletePnp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/*
 * FilterQueryCapabilities - asks the lower driver for the device's
 * capabilities on a request of the filter's own. PASSIVE_LEVEL. A lower
 * driver that leaves the request untouched leaves STATUS_NOT_SUPPORTED.
 */
NTSTATUS FilterQueryCapabilities(PFILTER_EXTENSION Extension) {
  PIRP irp;
  PIO_STACK_LOCATION next;
  NTSTATUS status;

  PAGED_CODE();

  irp = IoAllocateIrp(Extension->LowerDevice->StackSize, FALSE);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  RtlZeroMemory(&Extension->Capabilities, sizeof(Extension->Capabilities));
  Extension->Capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  Extension->Capabilities.Version = 1;

  next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = &Extension->Capabilities;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

  status = FilterCallLowerSync(Extension, irp);
  IoFreeIrp(irp);
  return status;
}

/*
 * FilterDispatchPnp - Plug and Play requests, after the gate. PASSIVE_LEVEL.
 * Start and a stop while powered down are completed here; every other
 * request is passed down and completed below. After IRP_MN_REMOVE_DEVICE the
 * device object is gone when this returns.
 */
NTSTATUS FilterDispatchPnp(PFILTER_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;

  PAGED_CODE();

  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      FilterSetPnpState(Extension, FILTER_STARTING);
      IoCopyCurrentIrpStackLocationToNext(Irp);
      status = FilterCallLowerSync(Extension, Irp);
      if (NT_SUCCESS(status)) {
        status = FilterQueryCapabilities(Extension);
      }
      FilterSetPnpState(Extension, NT_SUCCESS(status) ? FILTER_STARTED : FILTER_START_FAILED);
      return FilterCompletePnp(Irp, status);

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return FilterPassDown(Extension, Irp);

    case IRP_MN_STOP_DEVICE:
      if (Extension->PnpState == FILTER_POWERED_DOWN) {
        return FilterCompletePnp(Irp, STATUS_DEVICE_POWER_FAILURE);
      }
      if (Extension->PnpState == FILTER_STARTED) {
        FilterSetPnpState(Extension, FILTER_STOPPED);
      }
      return FilterPassDown(Extension, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      FilterSetPnpState(Extension, FILTER_SURPRISE_REMOVED);
      return FilterPassDown(Extension, Irp);

    case IRP_MN_REMOVE_DEVICE:
      if (Extension->PnpState == FILTER_REMOVED) {
        return FilterPassDown(Extension, Irp);
      }
      FilterSetPnpState(Extension, FILTER_REMOVED);
      status = FilterPassDown(Extension, Irp);
      FilterIoDecrement(Extension);
      KeWaitForSingleObject(&Extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
      IoDetachDevice(Extension->LowerDevice);
      IoDeleteDevice(Extension->Self);
      return status;

    default:
      return FilterPassDown(Extension, Irp);
  }
}

/*
 * FilterIsDevicePowerTo - whether the request sets the device power state to
 * one of the states from Low to High.
 */
static BOOLEAN FilterIsDevicePowerTo(PIO_STACK_LOCATION Stack, DEVICE_POWER_STATE Low,
                                     DEVICE_POWER_STATE High) {
  return Stack->MinorFunction == IRP_MN_SET_POWER &&
         Stack->Parameters.Power.Type == DevicePowerState &&
         Stack->Parameters.Power.State.DeviceState >= Low &&
         Stack->Parameters.Power.State.DeviceState <= High;
}

/*
 * FilterDispatchPower - every power request goes down with FilterPowerComplete
 * and a reference that lasts until that routine runs. Up to DISPATCH_LEVEL;
 * never blocks. The lower driver completes the request.
 */
NTSTATUS FilterDispatchPower(PFILTER_EXTENSION Extension, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (FilterIsDevicePowerTo(stack, PowerDeviceD1, PowerDeviceD3) &&
      Extension->PnpState == FILTER_STARTED) {
    FilterSetPnpState(Extension, FILTER_POWERED_DOWN);
  }

  FilterIoIncrement(Extension);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FilterPowerComplete, Extension, TRUE, TRUE, TRUE);
  return PoCallDriver(Extension->LowerDevice, Irp);
}

/*
 * FilterPowerComplete - completion routine of power requests: a successful
 * return to D0 ends the powered-down state; starts the next power request
 * and drops the request's reference. Up to DISPATCH_LEVEL.
 */
NTSTATUS NTAPI FilterPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PFILTER_EXTENSION extension = (PFILTER_EXTENSION)Context;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  UNREFERENCED_PARAMETER(DeviceObject);

  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (NT_SUCCESS(Irp->IoStatus.Status) &&
      FilterIsDevicePowerTo(stack, PowerDeviceD0, PowerDeviceD0) &&
      extension->PnpState == FILTER_POWERED_DOWN) {
    FilterSetPnpState(extension, FILTER_STARTED);
  }
  PoStartNextPowerIrp(Irp);
  FilterIoDecrement(extension);
  return STATUS_SUCCESS;
}
