/*
 * portbridge.h - the device extension of portbridge and every routine of the
 * driver.
 *
 * portbridge is the function driver of the handset's device node. It opens
 * the COM port named by the device's AttachedTo value through VCOMM's ring-0
 * port services and serves the WDM serial requests by calling them.
 *
 * Lock order (outermost first); no other nesting is allowed:
 *
 *     PortMutex  ->  HeldLock  ->  interrupts disabled (_disable/_enable)
 *
 * - PortMutex (KMUTEX, PASSIVE_LEVEL only) serialises the VCOMM calls of
 *   create, close, the control handlers and the transfer path.
 * - HeldLock (spin lock, DISPATCH_LEVEL) guards HeldList. It is never held
 *   while a request is completed, re-dispatched or passed down, and never
 *   together with the cancel spin lock (the cancel routine releases that one
 *   before it takes HeldLock).
 * - Disabling interrupts guards ComStat, ErrorWord, EventHistory and the
 *   hand-over of WaitIrp against BridgeCommNotify, which may run at interrupt
 *   time (the target has one processor). Whoever takes WaitIrp out sets it to
 *   null with interrupts disabled; a wait whose completion has already been
 *   scheduled (NotifyDepth above 0 while WaitIrp is set) belongs to WaitDpc,
 *   and close leaves it to that DPC.
 * - ReadQueue's own lock is taken only inside the Ke device-queue services.
 * - OutstandingIo, NotifyDepth and DrainLending are changed only by
 *   interlocked operations and need no lock.
 */
#ifndef HS_PORTBRIDGE_H
#define HS_PORTBRIDGE_H

#include <ntddser.h>
#include <wdm.h>

#include "vcomm.h"

/* Pool tags, as the four characters appear in memory. */
#define BRIDGE_TAG(a, b, c, d)                                                \
  ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | \
   ((ULONG)(UCHAR)(d) << 24))
#define BRIDGE_POOL_TAG BRIDGE_TAG('P', 'B', 'R', 'G')  /* registry-path copy, queue buffers */
#define BRIDGE_QUERY_TAG BRIDGE_TAG('W', 'd', 'm', ' ') /* registry query record, power blocks */

/* Queue sizes handed to VCOMM by every open. */
/* How long query-stop and query-remove wait for the requests in progress
   (a pending WAIT_ON_MASK or a read with no time-outs may never end) before
   they refuse with STATUS_DEVICE_BUSY, in 100 ns units: 5 s. */
#define BRIDGE_QUERY_WAIT_LIMIT 50000000

#define BRIDGE_RX_BUFFER_SIZE 2048
#define BRIDGE_TX_BUFFER_SIZE 1024

/* Size of the ANSI port name buffer, terminator included. */
#define BRIDGE_PORT_NAME_ANSI 128
/* Size of PortName in bytes (UTF-16 text). */
#define BRIDGE_PORT_NAME_BYTES 256

/* Action mask under which create writes the initial port settings. */
#define BRIDGE_OPEN_ACTION_MASK 0x1E05F

/* Power phases of BridgeApplyDevicePower, BridgeFinishDevicePower and the drain. */
#define BRIDGE_PHASE_BEFORE_LOWER 1 /* the lower drivers have not seen the request yet */
#define BRIDGE_PHASE_AFTER_LOWER 2  /* the lower drivers have completed the request */

#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif

/* Plug and Play state of the bridge device. */
typedef enum _BRIDGE_PNP_STATE {
  BRIDGE_NOT_STARTED = 0,      /* added, never started */
  BRIDGE_STARTED = 1,          /* started */
  BRIDGE_STOP_PENDING = 2,     /* a query-stop was accepted */
  BRIDGE_STOPPED = 3,          /* stopped */
  BRIDGE_REMOVE_PENDING = 4,   /* a query-remove was accepted */
  BRIDGE_SURPRISE_REMOVED = 5, /* surprise removal received */
  BRIDGE_DELETED = 6           /* remove received; the device object is going or gone */
} BRIDGE_PNP_STATE;

/* What happens to reads, writes and device controls. */
typedef enum _BRIDGE_QUEUE_MODE {
  BRIDGE_HOLD_REQUESTS = 0, /* parked on HeldList */
  BRIDGE_PASS_REQUESTS = 1, /* carried out; a drain re-dispatches the held ones */
  BRIDGE_FAIL_REQUESTS = 2  /* a drain fails the held ones; new ones are carried out */
} BRIDGE_QUEUE_MODE;

/* One request deferred from DISPATCH_LEVEL to a system worker thread. */
typedef struct _BRIDGE_WORK_SLOT {
  WORK_QUEUE_ITEM WorkItem;    /* List.Flink null, WorkerRoutine, Parameter = this slot */
  PIRP Irp;                    /* the deferred request */
  PDEVICE_OBJECT DeviceObject; /* the bridge device object that received it */
  BOOLEAN Queued;              /* filled, work routine not yet begun; DISPATCH_LEVEL */
} BRIDGE_WORK_SLOT, *PBRIDGE_WORK_SLOT;

#define BRIDGE_WORK_SLOT_COUNT 3

/*
 * Per-device state. Zero-filled by IoCreateDevice; BridgeAddDevice sets the
 * initial values. Each comment: meaning; lock; highest IRQL at which the
 * field is touched.
 */
typedef struct _BRIDGE_EXTENSION {
  /* own device object; set once by add-device; any IRQL */
  PDEVICE_OBJECT Self;
  /* physical device object given to add-device; set once; any IRQL */
  PDEVICE_OBJECT Pdo;
  /* result of the attach, target of passed requests; set once; any IRQL */
  PDEVICE_OBJECT LowerDevice;
  /* current Plug and Play state, 0..6; plain field; DISPATCH_LEVEL */
  BRIDGE_PNP_STATE PnpState;
  /* state before the last transition; plain field; PASSIVE_LEVEL */
  BRIDGE_PNP_STATE PreviousPnpState;
  /* hold / pass / fail; plain 32-bit field; DISPATCH_LEVEL */
  BRIDGE_QUEUE_MODE QueueMode;
  /* parked requests in arrival order (Tail.Overlay.ListEntry); HeldLock; DISPATCH_LEVEL */
  LIST_ENTRY HeldList;
  /* guards HeldList and the held requests' links; DISPATCH_LEVEL */
  KSPIN_LOCK HeldLock;
  /* synchronization event: OutstandingIo fell to 0; DISPATCH_LEVEL */
  KEVENT RemoveEvent;
  /* synchronization event: OutstandingIo fell to 1, cleared when it rose to 2; DISPATCH_LEVEL */
  KEVENT StopEvent;
  /* requests in progress plus 1 for the device itself; interlocked; DISPATCH_LEVEL */
  LONG OutstandingIo;
  /* last system power state set; plain field; DISPATCH_LEVEL */
  SYSTEM_POWER_STATE SystemPowerState;
  /* current device power state; plain field; DISPATCH_LEVEL */
  DEVICE_POWER_STATE DevicePowerState;
  /* copy of the last successful capabilities answer; PnP thread; DISPATCH_LEVEL */
  DEVICE_CAPABILITIES Capabilities;
  /* AttachedTo as last read, 256 bytes of UTF-16; create only; PASSIVE_LEVEL */
  WCHAR PortName[BRIDGE_PORT_NAME_BYTES / sizeof(WCHAR)];
  /* VCOMM handle of the last open (IE_BADID/IE_OPEN: none); PortMutex; DISPATCH_LEVEL */
  ULONG Port;
  /* serialises the VCOMM calls made at PASSIVE_LEVEL; level 0 */
  KMUTEX PortMutex;
  /* a wait mask is being replaced; interrupts disabled; interrupt time */
  BOOLEAN WaitMaskChanging;
  /* pending WAIT_ON_MASK; moved only with interrupts disabled; interrupt time */
  PIRP WaitIrp;
  /* client's wait mask as last accepted; PortMutex; PASSIVE_LEVEL */
  ULONG WaitMask;
  /* events that no wait could take; interrupts disabled; interrupt time */
  ULONG EventHistory;
  /* EventHistory collects events only while set; interrupts disabled; interrupt time */
  BOOLEAN HistoryArmed;
  /* accumulated VCOMM error bits; interrupts disabled; interrupt time */
  ULONG ErrorWord;
  /* last COMSTAT (status bits, rx count, tx count); interrupts disabled; interrupt time */
  COMSTAT ComStat;
  /* completes WaitIrp; initialised before each use; DISPATCH_LEVEL */
  KDPC WaitDpc;
  /* deferral slots, used in turn; DISPATCH_LEVEL (one processor) */
  BRIDGE_WORK_SLOT WorkSlots[BRIDGE_WORK_SLOT_COUNT];
  /* slot the next deferral takes, 0..2; touched at DISPATCH_LEVEL only */
  ULONG NextWorkSlot;
  /* BridgeCommNotify calls in progress, +1 while a delivered wait awaits WaitDpc; interlocked */
  LONG NotifyDepth;
  /* reads waiting their turn; its own lock; initialised at start; DISPATCH_LEVEL */
  KDEVICE_QUEUE ReadQueue;
  /* read in progress or null; owned by the ReadQueue holder; DISPATCH_LEVEL */
  PIRP CurrentRead;
  /* current read was aborted by a purge; PortMutex / timer routine; DISPATCH_LEVEL */
  BOOLEAN ReadAborted;
  /* tick count when the current read started; read owner; DISPATCH_LEVEL */
  LARGE_INTEGER ReadStartTick;
  /* re-polls the current read; initialised by add-device; DISPATCH_LEVEL */
  KTIMER ReadTimer;
  /* deferred routine of ReadTimer; initialised before use; DISPATCH_LEVEL */
  KDPC ReadTimerDpc;
  /* SERIAL_DTR_STATE / SERIAL_RTS_STATE as last set; PortMutex; PASSIVE_LEVEL */
  ULONG LineState;
  /* receive queue handed to VCOMM, NonPagedPool "PBRG"; PortMutex; PASSIVE_LEVEL */
  PUCHAR RxBuffer;
  /* size of RxBuffer in bytes, 0 while closed; PortMutex; PASSIVE_LEVEL */
  ULONG RxBufferSize;
  /* transmit queue handed to VCOMM, NonPagedPool "PBRG"; PortMutex; PASSIVE_LEVEL */
  PUCHAR TxBuffer;
  /* size of TxBuffer in bytes, 0 while closed; PortMutex; PASSIVE_LEVEL */
  ULONG TxBufferSize;

  /* Kept by this implementation besides the fields above. */

  /* Port is an open handle, from a successful create to its close; PortMutex; PASSIVE_LEVEL */
  BOOLEAN PortOpen;
  /* file object whose create opened the port; PortMutex; PASSIVE_LEVEL */
  PFILE_OBJECT OpenFileObject;
  /* power-down drains that have lent out the device's own reference; interlocked */
  LONG DrainLending;
  /* read that owns ReadQueue but is not yet current (just inserted into the idle queue, or
     handed over); a receive abort takes it; set and taken at DISPATCH_LEVEL */
  PIRP StartingRead;
  /* hand-overs that found every work slot queued, each holding an I/O reference; a work
     routine starts StartingRead for them; DISPATCH_LEVEL */
  ULONG StartReadOwed;
  /* first and last request deferred while every work slot was queued, linked through
     Tail.Overlay.ListEntry.Flink, each holding an I/O reference; DISPATCH_LEVEL */
  PIRP OverflowHead;
  PIRP OverflowTail;
} BRIDGE_EXTENSION, *PBRIDGE_EXTENSION;

/* Context of a device power request derived from a system power request. */
typedef struct _BRIDGE_POWER_CONTEXT {
  PDEVICE_OBJECT DeviceObject; /* the bridge device object */
  PIRP SystemIrp;              /* the system power request waiting for the device request */
} BRIDGE_POWER_CONTEXT, *PBRIDGE_POWER_CONTEXT;

/* Context of the power-down drain work item. */
typedef struct _BRIDGE_POWER_DRAIN {
  PDEVICE_OBJECT DeviceObject;      /* the bridge device object */
  PIRP Irp;                         /* the device power request held back */
  ULONG Phase;                      /* BRIDGE_PHASE_BEFORE_LOWER or BRIDGE_PHASE_AFTER_LOWER */
  PWORK_QUEUE_ITEM WorkItem;        /* separate NonPagedPool block, tag "Wdm " */
  DEVICE_POWER_STATE PreviousState; /* DevicePowerState before the request, restored if the
                                       lower drivers refuse a power-down */
} BRIDGE_POWER_DRAIN, *PBRIDGE_POWER_DRAIN;

static inline PBRIDGE_EXTENSION BridgeExtension(PDEVICE_OBJECT DeviceObject) {
  return (PBRIDGE_EXTENSION)DeviceObject->DeviceExtension;
}

/* Driver-wide: copy of the registry path given to DriverEntry ("PBRG", PagedPool). */
extern UNICODE_STRING BridgeRegistryPath;

HS_EXTERN_C_BEGIN
DRIVER_INITIALIZE DriverEntry;
HS_EXTERN_C_END

/* ------------------------------------------------ frame (frame.cpp) */
DRIVER_UNLOAD BridgeUnload;
DRIVER_ADD_DEVICE BridgeAddDevice;
LONG BridgeIoIncrement(PBRIDGE_EXTENSION Extension);
LONG BridgeIoDecrement(PBRIDGE_EXTENSION Extension);
NTSTATUS BridgeForwardAndWait(PDEVICE_OBJECT LowerDevice, PIRP Irp);
IO_COMPLETION_ROUTINE BridgeSyncComplete;

/* ---------------------------------------- open and close (create_close.cpp) */
DRIVER_DISPATCH BridgeDispatchCreateClose;
NTSTATUS BridgeQueryRegistryValue(HANDLE KeyHandle, PCWSTR ValueName, PVOID Buffer,
                                  ULONG BufferLength);
VOID BridgeClosePortAtRemoval(PBRIDGE_EXTENSION Extension);

/* ------------------------------------------- control dispatch (control.cpp) */
NTSTATUS BridgeDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeGetModemStatus(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetDtrRts(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetDtr(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeClrDtr(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetRts(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeClrRts(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetBreakOn(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetBreakOff(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetXon(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetXoff(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetTimeouts(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetTimeouts(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetProperties(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeImmediateChar(PBRIDGE_EXTENSION Extension, PIRP Irp);

/* ----------------------------------------------- settings (settings.cpp) */
NTSTATUS BridgeSetBaudRate(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetBaudRate(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetLineControl(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetLineControl(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetChars(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetChars(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetHandflow(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetHandflow(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeSetQueueSize(PBRIDGE_EXTENSION Extension, PIRP Irp);

/* ------------------------------------------------ transfer (read_write.cpp) */
NTSTATUS BridgeReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeStartRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID BridgeStartNextRead(PBRIDGE_EXTENSION Extension);
KDEFERRED_ROUTINE BridgeReadTimerRoutine;
NTSTATUS BridgePurge(PBRIDGE_EXTENSION Extension, PIRP Irp);
VOID BridgeAbortHandleReads(PBRIDGE_EXTENSION Extension);

/* ---------------------------------------- events and status (events.cpp) */
NTSTATUS BridgeSetWaitMask(PBRIDGE_EXTENSION Extension, PIRP Irp);
VOID BridgeCancelWait(PBRIDGE_EXTENSION Extension);
NTSTATUS BridgeGetWaitMask(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeWaitOnMask(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeGetCommStatus(PBRIDGE_EXTENSION Extension, PIRP Irp);
VCOMM_NOTIFY_ROUTINE BridgeCommNotify;
VMM_EVENT_ROUTINE BridgeWaitEventCallback;
KDEFERRED_ROUTINE BridgeWaitDpcRoutine;

/* --------------------------------------------- deferral (deferral.cpp) */
DRIVER_DISPATCH BridgeDispatchReadWrite;
DRIVER_DISPATCH BridgeDispatchDeviceControl;
WORKER_THREAD_ROUTINE BridgeReadWriteWorkRoutine;
WORKER_THREAD_ROUTINE BridgeDeviceControlWorkRoutine;
WORKER_THREAD_ROUTINE BridgeStartReadWorkRoutine;
VOID BridgeDeferRequest(PBRIDGE_EXTENSION Extension, PIRP Irp, PWORKER_THREAD_ROUTINE Routine);

/* -------------------------------------------- Plug and Play (pnp.cpp) */
DRIVER_DISPATCH BridgeDispatchPnp;
NTSTATUS BridgeStartDevice(PBRIDGE_EXTENSION Extension, PIRP Irp);
NTSTATUS BridgeCanStopOrRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeReleaseResources(PDEVICE_OBJECT DeviceObject);

/* ---------------------------------------- held requests (held.cpp) */
NTSTATUS BridgeHoldRequest(PBRIDGE_EXTENSION Extension, PIRP Irp);
VOID BridgeProcessHeldRequests(PBRIDGE_EXTENSION Extension);
DRIVER_CANCEL BridgeCancelHeldRequest;
DRIVER_DISPATCH BridgeDispatchCleanup;

/* ------------------------------------------------------ power (power.cpp) */
DRIVER_DISPATCH BridgeDispatchPower;
NTSTATUS BridgePassPowerDown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeSetPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeQueryPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeSystemPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE BridgeSystemPowerComplete;
VOID BridgeRequestDevicePower(PIRP SystemIrp, PDEVICE_OBJECT DeviceObject);
REQUEST_POWER_COMPLETE BridgeDevicePowerCallback;
NTSTATUS BridgeQueryDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BridgeSetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
IO_COMPLETION_ROUTINE BridgeDevicePowerUpComplete;
IO_COMPLETION_ROUTINE BridgeDevicePowerDownComplete;
NTSTATUS BridgeApplyDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase);
NTSTATUS BridgeFinishDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase,
                                 NTSTATUS Status);
NTSTATUS BridgeQueueDrain(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG Phase,
                          DEVICE_POWER_STATE PreviousState);
WORKER_THREAD_ROUTINE BridgeDrainWorkRoutine;

#endif /* HS_PORTBRIDGE_H */
