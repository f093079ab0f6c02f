/*
 * ratefilter.h - the handset rate filter: an upper filter on the handset's
 * device node that passes every request down and negotiates a new baud rate
 * with the handset by AT commands before the change reaches the port.
 *
 * Files: frame.cpp (entry, add-device, reference count, synchronous lower
 * call, debug switches), dispatch.cpp (the dispatch routine and its gate),
 * pnp_power.cpp (Plug and Play and power), negotiation.cpp (baud-rate
 * negotiation, timeouts, held wait), reader.cpp (the handset's answers).
 *
 * Locks and their order: NegotiationLock (a synchronization event, PASSIVE
 * only) before the I/O cancel spin lock, which guards GateQueue (the filter
 * has no spin lock of its own and imports nothing from the HAL). No lock is
 * held while a request is sent down or completed. OutstandingIo,
 * GateUsers and HeldWaitIrp are changed only by interlocked operations.
 */
#ifndef RATEFILTER_H
#define RATEFILTER_H

#include <ntddser.h>
#include <wdm.h>

static_assert(sizeof(DEVICE_CAPABILITIES) == 64, "the published capabilities record");

/* "QX42" in memory order: the pool tag of every allocation of the filter. */
#define FILTER_POOL_TAG ((ULONG)'Q' | ((ULONG)'X' << 8) | ((ULONG)'4' << 16) | ((ULONG)'2' << 24))

/* Debugger-break switches of the "Breakpoints" registry value. */
#define FILTER_BREAK_ON_ADD_DEVICE 0x1
#define FILTER_BREAK_ON_CREATE 0x2
#define FILTER_BREAK_ON_NEGOTIATION 0x4

/* Wait events that the negotiation's own traffic raises. */
#define FILTER_TRAFFIC_EVENTS \
  (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY | SERIAL_EV_RX80FULL)

typedef enum _FILTER_PNP_STATE {
  FILTER_NOT_STARTED = 0,      /* device added, never started */
  FILTER_STARTING = 1,         /* IRP_MN_START_DEVICE is being handled */
  FILTER_STARTED = 2,          /* started and in D0 */
  FILTER_START_FAILED = 3,     /* the last start failed */
  FILTER_STOPPED = 4,          /* stopped by IRP_MN_STOP_DEVICE */
  FILTER_POWERED_DOWN = 5,     /* started, then set to device power D1, D2 or D3 */
  FILTER_SURPRISE_REMOVED = 6, /* IRP_MN_SURPRISE_REMOVAL received */
  FILTER_REMOVED = 7           /* IRP_MN_REMOVE_DEVICE received; being deleted */
} FILTER_PNP_STATE;

typedef struct _FILTER_EXTENSION {
  /* "QX42"; written once at add-device, never tested. */
  UCHAR Signature[4];
  /* FILTER_PNP_STATE; written by PnP (PASSIVE) and power (up to DISPATCH) paths. */
  ULONG PnpState;
  /* The filter's own device object; constant after add-device. */
  PDEVICE_OBJECT Self;
  /* The physical device object of the node; constant; opens the hardware key. */
  PDEVICE_OBJECT Pdo;
  /* The device below the filter; every request the filter sends goes here; constant. */
  PDEVICE_OBJECT LowerDevice;
  /* Filled by the capabilities query at start (PASSIVE); read by nothing else. */
  DEVICE_CAPABILITIES Capabilities;
  /* References held by requests inside the filter; rests at 0; interlocked, any IRQL. */
  volatile LONG OutstandingIo;
  /* Notification event set when OutstandingIo falls below zero; any IRQL up to DISPATCH. */
  KEVENT RemoveEvent;
  /* The gate: notification event, signalled while no negotiation runs; up to DISPATCH. */
  KEVENT IdleEvent;
  /* Handset and port speeds are known; negotiation thread (NegotiationLock), PASSIVE. */
  BOOLEAN RateKnown;
  /* Speed the filter takes the port to be at; NegotiationLock, PASSIVE. */
  ULONG PortRate;
  /* Speed the handset last confirmed; NegotiationLock, PASSIVE. */
  ULONG HandsetRate;
  /* SavedTimeouts holds the client's timeouts; behind the gate, PASSIVE. */
  BOOLEAN TimeoutsSaved;
  /* The client's read and write timeouts; behind the gate, PASSIVE. */
  SERIAL_TIMEOUTS SavedTimeouts;
  /* Wait request completed below during a negotiation; interlocked, up to DISPATCH. */
  PIRP volatile HeldWaitIrp;
  /* Trace switches from the registry; kept, no behaviour depends on them; PASSIVE. */
  ULONG TraceScope;
  /* Debugger-break switches (FILTER_BREAK_*); PASSIVE. */
  ULONG Breakpoints;

  /* Serialises negotiations: synchronization event, signalled while none runs; PASSIVE. */
  KEVENT NegotiationLock;
  /* Requests past the gate still on their way down the stack; interlocked, up to DISPATCH. */
  volatile LONG GateUsers;
  /* Notification event set whenever GateUsers falls to 0; up to DISPATCH. */
  KEVENT GateDrainedEvent;
  /* Requests that met the closed gate at DISPATCH_LEVEL; the cancel spin lock. */
  LIST_ENTRY GateQueue;
  /* Held wait being sent down again by the release; releasing thread, read up to DISPATCH. */
  PIRP volatile ResendingWaitIrp;
} FILTER_EXTENSION, *PFILTER_EXTENSION;

/* ---------------------------------------------------------------- frame.cpp */

HS_EXTERN_C NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_UNLOAD FilterUnload;
DRIVER_ADD_DEVICE FilterAddDevice;
VOID FilterIoIncrement(PFILTER_EXTENSION Extension);
VOID FilterIoDecrement(PFILTER_EXTENSION Extension);
PIO_STACK_LOCATION FilterPrepareLowerRequest(PIRP Irp, UCHAR MajorFunction);
NTSTATUS FilterCallLowerSync(PFILTER_EXTENSION Extension, PIRP Irp);
IO_COMPLETION_ROUTINE FilterSyncComplete;
VOID FilterReadDebugSettings(PFILTER_EXTENSION Extension, PDEVICE_OBJECT Pdo);
NTSTATUS FilterQueryRegistryValue(HANDLE Key, PCWSTR ValueName, PVOID Buffer, ULONG Length);

/* ------------------------------------------------------------- dispatch.cpp */

DRIVER_DISPATCH FilterDispatch;
NTSTATUS FilterPassDown(PFILTER_EXTENSION Extension, PIRP Irp);
VOID FilterCloseGate(PFILTER_EXTENSION Extension);
VOID FilterOpenGate(PFILTER_EXTENSION Extension);
BOOLEAN FilterGateIsOpen(PFILTER_EXTENSION Extension);

/* ------------------------------------------------------------ pnp_power.cpp */

NTSTATUS FilterDispatchPnp(PFILTER_EXTENSION Extension, PIRP Irp);
NTSTATUS FilterDispatchPower(PFILTER_EXTENSION Extension, PIRP Irp);
IO_COMPLETION_ROUTINE FilterPowerComplete;
NTSTATUS FilterQueryCapabilities(PFILTER_EXTENSION Extension);

/* ---------------------------------------------------------- negotiation.cpp */

NTSTATUS FilterNegotiateBaudRate(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown);
NTSTATUS FilterSaveTimeouts(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown);
IO_COMPLETION_ROUTINE FilterTimeoutsComplete;
NTSTATUS FilterSendWaitOnMask(PFILTER_EXTENSION Extension, PIRP Irp, PBOOLEAN PassDown);
IO_COMPLETION_ROUTINE FilterWaitOnMaskComplete;

/* --------------------------------------------------------------- reader.cpp */

BOOLEAN FilterReadResponse(PFILTER_EXTENSION Extension, PIRP Irp, PCSTR Echo, PBOOLEAN AnsweredOk,
                           PBOOLEAN AnsweredError);

#endif /* RATEFILTER_H */
