/*
 * power.cpp - IRP_MJ_POWER. System power requests go to the lower drivers
 * first and are then turned into device power requests through the
 * capabilities map. Device power requests decide whether traffic flows:
 * before D1, D2 or D3 new requests are held and those in progress are
 * given time to finish in a worker thread (the drain); on the return to D0
 * the held requests are released. No power path touches the port.
 *
 * PoStartNextPowerIrp is called exactly once for every power request the
 * bridge sees, always before the request leaves the bridge. All of this
 * code is non-pageable: completion routines and the request callback run
 * at the lower driver's IRQL, up to DISPATCH_LEVEL.
 */
#include "portbridge.h"

/*
 * BridgeAllowTraffic - the device is back in D0: lets requests flow again
 * and releases the held ones, unless Plug and Play holds them (a stop or
 * removal pending, or stopped), in which case its start or cancel releases
 * them. After a surprise removal or removal the held ones are failed. Up to
 * DISPATCH_LEVEL.
 */
static VOID BridgeAllowTraffic(PBRIDGE_EXTENSION Extension) {
  switch (Extension->PnpState) {
    case BRIDGE_STARTED:
      Extension->QueueMode = BRIDGE_PASS_REQUESTS;
      break;
    case BRIDGE_SURPRISE_REMOVED:
    case BRIDGE_DELETED:
      Extension->QueueMode = BRIDGE_FAIL_REQUESTS;
      break;
    default:
      return;
  }
  BridgeProcessHeldRequests(Extension);
}

/*
 * BridgeDispatchPower - IRP_MJ_POWER. PASSIVE_LEVEL (the device object is
 * power-pageable). Before the first start a request is passed down without
 * a reference; once the device is deleted it is completed with
 * STATUS_DELETE_PENDING. Otherwise a reference is taken and dropped where
 * the request ends.
 */
NTSTATUS NTAPI BridgeDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (extension->PnpState == BRIDGE_DELETED) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  if (extension->PnpState == BRIDGE_NOT_STARTED) {
    return BridgePassPowerDown(DeviceObject, Irp);
  }

  BridgeIoIncrement(extension);
  switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
      return BridgeSetPower(DeviceObject, Irp);
    case IRP_MN_QUERY_POWER:
      return BridgeQueryPower(DeviceObject, Irp);
    default: {
      NTSTATUS status = BridgePassPowerDown(DeviceObject, Irp);
      BridgeIoDecrement(extension);
      return status;
    }
  }
}

/*
 * BridgePassPowerDown - starts the next power request and hands this one to
 * the lower driver unchanged. Up to DISPATCH_LEVEL. The lower drivers
 * complete it; the caller drops its reference if it holds one. A request
 * that the bridge marked pending (held back by the drain) keeps that mark
 * on the bridge's own stack location: the lower driver gets a copy without
 * it, so that it is not taken for the lower driver's own.
 */
NTSTATUS BridgePassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (IoGetCurrentIrpStackLocation(Irp)->Control & SL_PENDING_RETURNED) {
    IoCopyCurrentIrpStackLocationToNext(Irp);
  } else {
    IoSkipCurrentIrpStackLocation(Irp);
  }
  return PoCallDriver(BridgeExtension(DeviceObject)->LowerDevice, Irp);
}

/*
 * BridgeSetPower - IRP_MN_SET_POWER, routed by the power type.
 * PASSIVE_LEVEL, reference held.
 */
NTSTATUS BridgeSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.Type == SystemPowerState) {
    return BridgeSystemPower(DeviceObject, Irp);
  }
  return BridgeSetDevicePower(DeviceObject, Irp);
}

/*
 * BridgeQueryPower - IRP_MN_QUERY_POWER, routed by the power type.
 * PASSIVE_LEVEL, reference held.
 */
NTSTATUS BridgeQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.Type == SystemPowerState) {
    return BridgeSystemPower(DeviceObject, Irp);
  }
  return BridgeQueryDevicePower(DeviceObject, Irp);
}

/*
 * BridgeSystemPower - a system set or query: records a new system state
 * (set only) and sends the request down with BridgeSystemPowerComplete.
 * PASSIVE_LEVEL, reference held. STATUS_PENDING: the request completes
 * once the device request derived from it has.
 */
NTSTATUS BridgeSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  IoMarkIrpPending(Irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    extension->SystemPowerState = stack->Parameters.Power.State.SystemState;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, BridgeSystemPowerComplete, NULL, TRUE, TRUE, TRUE);
  PoCallDriver(extension->LowerDevice, Irp);
  return STATUS_PENDING;
}

/*
 * BridgeSystemPowerComplete - the lower drivers are done with a system
 * request. Up to DISPATCH_LEVEL. An error goes upward unchanged; success
 * asks for the device request and keeps the system request until then.
 */
NTSTATUS NTAPI BridgeSystemPowerComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    if (Irp->PendingReturned) {
      IoMarkIrpPending(Irp);
    }
    PoStartNextPowerIrp(Irp);
    BridgeIoDecrement(BridgeExtension(DeviceObject));
    return STATUS_SUCCESS;
  }
  BridgeRequestDevicePower(Irp, DeviceObject);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * BridgeRequestDevicePower - asks the power manager for the device request
 * that the capabilities map gives for the system request's state; it enters
 * at the top of the stack. Up to DISPATCH_LEVEL. Drops the system request's
 * reference either way: when no request can be made, after completing the
 * system request with the failure; otherwise once the device request is
 * under way (BridgeDevicePowerCallback then completes the system request).
 * A return to PowerSystemWorking whose request cannot be made still lets
 * traffic flow again.
 */
VOID BridgeRequestDevicePower(PIRP SystemIrp, PDEVICE_OBJECT DeviceObject) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(SystemIrp);
  SYSTEM_POWER_STATE systemState = stack->Parameters.Power.State.SystemState;

  POWER_STATE state;
  state.DeviceState = PowerDeviceUnspecified;
  if ((ULONG)systemState < RTL_NUMBER_OF(extension->Capabilities.DeviceState)) {
    state.DeviceState = extension->Capabilities.DeviceState[systemState];
  }

  NTSTATUS status;
  PBRIDGE_POWER_CONTEXT context = (PBRIDGE_POWER_CONTEXT)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(BRIDGE_POWER_CONTEXT), BRIDGE_QUERY_TAG);
  if (context == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    context->DeviceObject = DeviceObject;
    context->SystemIrp = SystemIrp;
    status = PoRequestPowerIrp(extension->Pdo, stack->MinorFunction, state,
                               BridgeDevicePowerCallback, context, NULL);
    if (NT_SUCCESS(status)) {
      /* From here the system request only waits for the device request,
         whose drain must not count it as a request in progress. */
      BridgeIoDecrement(extension);
      return;
    }
    ExFreePool(context);
  }

  /* The system is back at work but the device request for D0 cannot be
     made: traffic must not stay held with nothing left to release it. The
     bridge returns to D0 on its own account (no power path touches the
     port); the system request still reports the failure. */
  if (stack->MinorFunction == IRP_MN_SET_POWER && systemState == PowerSystemWorking) {
    if (extension->DevicePowerState != PowerDeviceD0) {
      state.DeviceState = PowerDeviceD0;
      extension->DevicePowerState = PowerDeviceD0;
      PoSetPowerState(DeviceObject, DevicePowerState, state);
    }
    BridgeAllowTraffic(extension);
  }
  PoStartNextPowerIrp(SystemIrp);
  SystemIrp->IoStatus.Status = status;
  IofCompleteRequest(SystemIrp, IO_NO_INCREMENT);
  BridgeIoDecrement(extension);
}

/*
 * BridgeDevicePowerCallback - the device request derived from a system
 * request has completed: the system request completes with its status.
 * Up to DISPATCH_LEVEL. Frees the context before completing; the system
 * request's reference was dropped when the device request was made, so the
 * extension is not touched here.
 */
VOID NTAPI BridgeDevicePowerCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                     POWER_STATE PowerState, PVOID Context,
                                     PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PBRIDGE_POWER_CONTEXT context = (PBRIDGE_POWER_CONTEXT)Context;
  PIRP systemIrp = context->SystemIrp;

  /* Freed first: once the system request has completed, the removal may
     go ahead and unload the driver before this thread runs again. */
  ExFreePool(context);
  systemIrp->IoStatus.Status = IoStatus->Status;
  PoStartNextPowerIrp(systemIrp);
  IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

/*
 * BridgeQueryDevicePower - a device query: D0 is passed down at once; any
 * other state holds new traffic and is passed down after the drain.
 * PASSIVE_LEVEL, reference held. DevicePowerState does not change.
 */
NTSTATUS BridgeQueryDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  if (state == PowerDeviceD0) {
    return BridgeFinishDevicePower(DeviceObject, Irp, BRIDGE_PHASE_BEFORE_LOWER, STATUS_SUCCESS);
  }
  NTSTATUS status = BridgeQueueDrain(DeviceObject, Irp, BRIDGE_PHASE_BEFORE_LOWER,
                                     BridgeExtension(DeviceObject)->DevicePowerState);
  if (status == STATUS_PENDING) {
    return status;
  }
  return BridgeFinishDevicePower(DeviceObject, Irp, BRIDGE_PHASE_BEFORE_LOWER, status);
}

/*
 * BridgeSetDevicePower - a device set: a step down (or no change) is
 * applied before the lower drivers see it, a step up after they have
 * powered up. PASSIVE_LEVEL, reference held.
 */
NTSTATUS BridgeSetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;
  if (state >= extension->DevicePowerState) {
    return BridgeApplyDevicePower(DeviceObject, Irp, BRIDGE_PHASE_BEFORE_LOWER);
  }
  IoMarkIrpPending(Irp);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, BridgeDevicePowerUpComplete, NULL, TRUE, TRUE, TRUE);
  PoCallDriver(extension->LowerDevice, Irp);
  return STATUS_PENDING;
}

/*
 * BridgeDevicePowerUpComplete - the lower drivers have carried out a step
 * up. Up to DISPATCH_LEVEL. An error goes upward with nothing changed;
 * success is applied here and the bridge completes the request anew.
 */
NTSTATUS NTAPI BridgeDevicePowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    PoStartNextPowerIrp(Irp);
    BridgeIoDecrement(BridgeExtension(DeviceObject));
    return STATUS_SUCCESS;
  }
  BridgeApplyDevicePower(DeviceObject, Irp, BRIDGE_PHASE_AFTER_LOWER);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

/*
 * BridgeApplyDevicePower - records a new device state. D1 to D3: reported,
 * then traffic held and the request finished by the drain. D0: reported,
 * traffic released. Up to DISPATCH_LEVEL (Phase 2 runs in a completion
 * routine). Returns STATUS_PENDING when the drain finishes the request,
 * otherwise what BridgeFinishDevicePower returns.
 */
NTSTATUS BridgeApplyDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
  DEVICE_POWER_STATE old = extension->DevicePowerState;
  NTSTATUS status = STATUS_SUCCESS;

  extension->DevicePowerState = state.DeviceState;
  /* Reported before the lower drivers see a power-down, the drain included. */
  if (state.DeviceState != old) {
    PoSetPowerState(DeviceObject, DevicePowerState, state);
  }
  if (state.DeviceState > PowerDeviceD0) {
    status = BridgeQueueDrain(DeviceObject, Irp, Phase, old);
    if (status == STATUS_PENDING) {
      return STATUS_PENDING;
    }
  } else if (state.DeviceState == PowerDeviceD0) {
    BridgeAllowTraffic(extension);
    status = STATUS_SUCCESS;
  }
  return BridgeFinishDevicePower(DeviceObject, Irp, Phase, status);
}

/*
 * BridgeFinishDevicePower - ends the bridge's part of a device request: in
 * Phase 2, or on failure, completes it here; otherwise passes it down.
 * Up to DISPATCH_LEVEL. Drops the request's reference and returns the
 * status.
 */
NTSTATUS BridgeFinishDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase,
                                 NTSTATUS Status) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  if (Phase == BRIDGE_PHASE_AFTER_LOWER || !NT_SUCCESS(Status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
  } else {
    Irp->IoStatus.Status = Status;
    Status = BridgePassPowerDown(DeviceObject, Irp);
  }
  BridgeIoDecrement(extension);
  return Status;
}

/*
 * BridgeQueueDrain - holds new traffic and queues the drain work item that
 * finishes the request once the requests in progress have (nearly) ended.
 * PreviousState is the device state before the request, restored if the
 * lower drivers refuse the power-down.
 * Up to DISPATCH_LEVEL: both blocks come from non-paged pool, since a step
 * up to D1 or D2 arrives here from a completion routine. Returns
 * STATUS_PENDING (request marked pending) or STATUS_INSUFFICIENT_RESOURCES,
 * with nothing left allocated; QueueMode stays hold either way.
 */
NTSTATUS BridgeQueueDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase,
                          DEVICE_POWER_STATE PreviousState) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  extension->QueueMode = BRIDGE_HOLD_REQUESTS;

  PBRIDGE_POWER_DRAIN drain = (PBRIDGE_POWER_DRAIN)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(BRIDGE_POWER_DRAIN), BRIDGE_QUERY_TAG);
  if (drain == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PWORK_QUEUE_ITEM item = (PWORK_QUEUE_ITEM)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(WORK_QUEUE_ITEM), BRIDGE_QUERY_TAG);
  if (item == NULL) {
    ExFreePool(drain);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  drain->DeviceObject = DeviceObject;
  drain->Irp = Irp;
  drain->Phase = Phase;
  drain->WorkItem = item;
  drain->PreviousState = PreviousState;

  IoMarkIrpPending(Irp);
  ExInitializeWorkItem(item, BridgeDrainWorkRoutine, drain);
  ExQueueWorkItem(item, DelayedWorkQueue);
  return STATUS_PENDING;
}

/*
 * BridgeDrainWorkRoutine - worker thread, PASSIVE_LEVEL. Lends out the
 * device's own reference and the power request's, so that StopEvent is
 * signalled when at most one other request is in progress (a pending
 * WAIT_ON_MASK does not hold up a power-down), waits for that, takes both
 * back and finishes the request. While the references are lent the count
 * may touch 0 and signal RemoveEvent; DrainLending tells the removal that
 * this signal is not its own. Frees the work item and the drain block
 * before it finishes the request: in Phase 2 completes it, in Phase 1
 * passes it down with BridgeDevicePowerDownComplete.
 */
VOID NTAPI BridgeDrainWorkRoutine(PVOID Parameter) {
  PBRIDGE_POWER_DRAIN drain = (PBRIDGE_POWER_DRAIN)Parameter;
  PDEVICE_OBJECT device = drain->DeviceObject;
  PBRIDGE_EXTENSION extension = BridgeExtension(device);

  InterlockedIncrement(&extension->DrainLending);
  BridgeIoDecrement(extension);
  BridgeIoDecrement(extension);
  do {
    KeWaitForSingleObject(&extension->StopEvent, Executive, KernelMode, FALSE, NULL);
  } while (extension->OutstandingIo > 1);
  BridgeIoIncrement(extension);
  BridgeIoIncrement(extension);
  InterlockedDecrement(&extension->DrainLending);

  /* Freed before the request is finished: finishing drops a reference,
   * which may be the last one, and the removal may then unload the driver
   * while this thread has not run again. */
  PIRP irp = drain->Irp;
  ULONG phase = drain->Phase;
  DEVICE_POWER_STATE previous = drain->PreviousState;
  ExFreePool(drain->WorkItem);
  ExFreePool(drain);
  if (phase == BRIDGE_PHASE_AFTER_LOWER) {
    BridgeFinishDevicePower(device, irp, phase, STATUS_SUCCESS);
    return;
  }
  /* Passed down with a completion routine that undoes the power-down if the
     lower drivers refuse it; that routine drops the request's reference. */
  irp->IoStatus.Status = STATUS_SUCCESS;
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, BridgeDevicePowerDownComplete, (PVOID)(ULONG_PTR)previous, TRUE, TRUE,
                         TRUE);
  PoCallDriver(extension->LowerDevice, irp);
}

/*
 * BridgeDevicePowerDownComplete - the lower drivers are done with a device
 * query or set for D1 to D3 that the drain passed down. Up to
 * DISPATCH_LEVEL. If they refused it the device has not gone down: the
 * state before the request (Context) is restored and reported, and traffic
 * flows again when that state is D0. Drops the request's reference; the
 * request completes upward with the lower drivers' status.
 */
NTSTATUS NTAPI BridgeDevicePowerDownComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  PBRIDGE_EXTENSION extension = BridgeExtension(DeviceObject);
  if (Irp->PendingReturned) {
    IoMarkIrpPending(Irp);
  }
  if (!NT_SUCCESS(Irp->IoStatus.Status)) {
    POWER_STATE previous;
    previous.DeviceState = (DEVICE_POWER_STATE)(ULONG_PTR)Context;
    if (extension->DevicePowerState != previous.DeviceState) {
      extension->DevicePowerState = previous.DeviceState;
      PoSetPowerState(DeviceObject, DevicePowerState, previous);
    }
    if (previous.DeviceState == PowerDeviceD0) {
      BridgeAllowTraffic(extension);
    }
  }
  BridgeIoDecrement(extension);
  return STATUS_SUCCESS;
}
