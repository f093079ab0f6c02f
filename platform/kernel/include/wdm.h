/*
 * wdm.h - the kernel-API header of the emulated machine.
 *
 * Declares the kernel, HAL and executive services that the drivers call,
 * with the names and record shapes that WDM drivers know. Written from the
 * published behaviour of each service; the implementation lives under
 * platform/kernel and platform/machine.
 *
 * Drivers include this header and nothing else of the platform. It pulls in
 * no C or C++ library header, so driver code sees exactly what a kernel
 * driver sees.
 */
#ifndef HS_WDM_H
#define HS_WDM_H

#ifdef __cplusplus
#define HS_EXTERN_C extern "C"
#define HS_EXTERN_C_BEGIN extern "C" {
#define HS_EXTERN_C_END }
#else
#define HS_EXTERN_C
#define HS_EXTERN_C_BEGIN
#define HS_EXTERN_C_END
#endif

/* Calling convention of driver routines on the target; nothing on Linux. */
#ifndef NTAPI
#define NTAPI
#endif
#define DDKAPI NTAPI
#define FASTCALL

#define IN
#define OUT
#define OPTIONAL
#define UNREFERENCED_PARAMETER(P) ((void)(P))

/* ---------------------------------------------------------------- types */

typedef void VOID;
typedef void *PVOID;
typedef char CHAR;
typedef CHAR *PCHAR;
typedef const CHAR *PCSTR;
typedef CHAR *PSTR;
typedef unsigned char UCHAR;
typedef UCHAR *PUCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef USHORT *PUSHORT;
typedef int LONG;
typedef LONG *PLONG;
typedef unsigned int ULONG;
typedef ULONG *PULONG;
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
typedef ULONGLONG ULONG64;
typedef unsigned long ULONG_PTR;
typedef long LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR *PULONG_PTR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN *PBOOLEAN;
typedef CHAR CCHAR;
typedef SHORT CSHORT;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;
typedef PVOID HANDLE;
typedef HANDLE *PHANDLE;
typedef UCHAR KIRQL;
typedef KIRQL *PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef LONG KPRIORITY;
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK *PKSPIN_LOCK;

#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR; /* drivers are built with a 16-bit wchar_t */
#else
typedef char16_t WCHAR; /* the platform's own translation units */
#endif
typedef WCHAR *PWCHAR;
typedef WCHAR *PWSTR;
typedef const WCHAR *PCWSTR;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#ifdef __cplusplus
#define NULL nullptr
#else
#define NULL ((void *)0)
#endif
#endif
#define MAXULONG 0xFFFFFFFFU
#define MAXLONG 0x7FFFFFFF

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define FIELD_OFFSET(type, field) ((LONG)__builtin_offsetof(type, field))
#define CONTAINING_RECORD(address, type, field)                                \
    ((type *)((PCHAR)(address) - (ULONG_PTR)__builtin_offsetof(type, field)))
#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))

/* --------------------------------------------------------------- status */

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_DEVICE_BUSY ((NTSTATUS)0x80000011L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_POWER_FAILURE ((NTSTATUS)0xC000009EL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_INVALID_PARAMETER_2 ((NTSTATUS)0xC00000F0L)

/* ----------------------------------------------------------------- IRQL */

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define PROFILE_LEVEL 27
#define HIGH_LEVEL 31
/* The UART's interrupt level on the emulated machine. */
#define SERIAL_DEVICE_LEVEL 12

#define IO_NO_INCREMENT 0
#define IO_SERIAL_INCREMENT 2

#define KernelMode 0
#define UserMode 1

/* ----------------------------------------------------------------- lists */

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY *Flink;
    struct _LIST_ENTRY *Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _SINGLE_LIST_ENTRY {
    struct _SINGLE_LIST_ENTRY *Next;
} SINGLE_LIST_ENTRY, *PSINGLE_LIST_ENTRY;

static inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
static inline BOOLEAN IsListEmpty(const LIST_ENTRY *head) { return head->Flink == head; }
static inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry)
{
    PLIST_ENTRY flink = entry->Flink;
    PLIST_ENTRY blink = entry->Blink;
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink;
}
static inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
static inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
static inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY blink = head->Blink;
    entry->Flink = head;
    entry->Blink = blink;
    blink->Flink = entry;
    head->Blink = entry;
}
static inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY flink = head->Flink;
    entry->Flink = flink;
    entry->Blink = head;
    flink->Blink = entry;
    head->Flink = entry;
}

/* ----------------------------------------------------------- interlocked */
/* One processor: a locked instruction is atomic against interrupts too. */

static inline LONG InterlockedIncrement(volatile LONG *addend)
{
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedDecrement(volatile LONG *addend)
{
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchange(volatile LONG *target, LONG value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedExchangeAdd(volatile LONG *addend, LONG value)
{
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
static inline LONG InterlockedCompareExchange(volatile LONG *dest, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(dest, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
static inline PVOID InterlockedExchangePointer(PVOID volatile *target, PVOID value)
{
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
static inline PVOID InterlockedCompareExchangePointer(PVOID volatile *dest, PVOID exchange,
                                                      PVOID comparand)
{
    __atomic_compare_exchange_n(dest, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}

/* --------------------------------------------------------------- strings */

typedef struct _UNICODE_STRING {
    USHORT Length;        /* bytes, without a terminator */
    USHORT MaximumLength; /* bytes */
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING *PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;

/* ------------------------------------------------------- forward records */

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _FILE_OBJECT;
struct _KDPC;
struct _IO_STACK_LOCATION;
typedef struct _KTHREAD *PKTHREAD, *PETHREAD, *PRKTHREAD;
typedef struct _MDL *PMDL;

/* ---------------------------------------------------- dispatcher objects */

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;

/* Dispatcher object types kept in DISPATCHER_HEADER.Type. */
#define HS_OBJECT_NOTIFICATION_EVENT 0
#define HS_OBJECT_SYNCHRONIZATION_EVENT 1
#define HS_OBJECT_MUTEX 2
#define HS_OBJECT_TIMER 8

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead; /* the platform's wait blocks */
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KMUTANT {
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    PKTHREAD OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
    ULONG Level;
} KMUTANT, KMUTEX, *PKMUTANT, *PKMUTEX, *PRKMUTEX;

typedef VOID NTAPI KDEFERRED_ROUTINE(struct _KDPC *Dpc, PVOID DeferredContext,
                                     PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE *PKDEFERRED_ROUTINE;

typedef struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PULONG_PTR Lock; /* non-null while queued */
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header; /* Header.Inserted: an expiry is pending */
    LARGE_INTEGER DueTime;    /* absolute virtual time of the expiry */
    LIST_ENTRY TimerListEntry;
    struct _KDPC *Dpc;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY, *PKDEVICE_QUEUE_ENTRY;

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE, *PKDEVICE_QUEUE;

/* ----------------------------------------------------------- work items */

typedef VOID NTAPI WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE *PWORKER_THREAD_ROUTINE;

typedef struct _WORK_QUEUE_ITEM {
    LIST_ENTRY List; /* Flink non-null while queued */
    PWORKER_THREAD_ROUTINE WorkerRoutine;
    PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;

typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue } WORK_QUEUE_TYPE;

#define ExInitializeWorkItem(Item, Routine, Context)                                               \
    do {                                                                                           \
        (Item)->WorkerRoutine = (Routine);                                                         \
        (Item)->Parameter = (Context);                                                             \
        (Item)->List.Flink = NULL;                                                                 \
    } while (0)

/* ----------------------------------------------------------------- pool */

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

/* ------------------------------------------------------------ power */

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6,
    PowerSystemMaximum = 7
} SYSTEM_POWER_STATE, *PSYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4,
    PowerDeviceMaximum = 5
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE, *PPOWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;

typedef enum _POWER_ACTION {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject
} POWER_ACTION;

/* The published 64-byte capabilities record. */
typedef struct _DEVICE_CAPABILITIES {
    USHORT Size;
    USHORT Version;
    ULONG DeviceD1 : 1;
    ULONG DeviceD2 : 1;
    ULONG LockSupported : 1;
    ULONG EjectSupported : 1;
    ULONG Removable : 1;
    ULONG DockDevice : 1;
    ULONG UniqueID : 1;
    ULONG SilentInstall : 1;
    ULONG RawDeviceOK : 1;
    ULONG SurpriseRemovalOK : 1;
    ULONG WakeFromD0 : 1;
    ULONG WakeFromD1 : 1;
    ULONG WakeFromD2 : 1;
    ULONG WakeFromD3 : 1;
    ULONG HardwareDisabled : 1;
    ULONG NonDynamic : 1;
    ULONG WarmEjectSupported : 1;
    ULONG NoDisplayInUI : 1;
    ULONG Reserved : 14;
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[PowerSystemMaximum];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
} DEVICE_CAPABILITIES, *PDEVICE_CAPABILITIES;

/* ------------------------------------------------------------- requests */

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef NTSTATUS NTAPI IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT *DeviceObject,
                                             struct _IRP *Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE *PIO_COMPLETION_ROUTINE;

typedef VOID NTAPI DRIVER_CANCEL(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_CANCEL *PDRIVER_CANCEL;

typedef NTSTATUS NTAPI DRIVER_DISPATCH(struct _DEVICE_OBJECT *DeviceObject, struct _IRP *Irp);
typedef DRIVER_DISPATCH *PDRIVER_DISPATCH;

typedef NTSTATUS NTAPI DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT *DriverObject,
                                         struct _DEVICE_OBJECT *PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE *PDRIVER_ADD_DEVICE;

typedef VOID NTAPI DRIVER_UNLOAD(struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT *DriverObject,
                                         PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT *DeviceObject;
    PVOID FsContext;
    PVOID FsContext2;
    ULONG Flags;
} FILE_OBJECT, *PFILE_OBJECT;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_QUERY_EA 0x07
#define IRP_MJ_SET_EA 0x08
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_QUERY_VOLUME_INFORMATION 0x0a
#define IRP_MJ_SET_VOLUME_INFORMATION 0x0b
#define IRP_MJ_DIRECTORY_CONTROL 0x0c
#define IRP_MJ_FILE_SYSTEM_CONTROL 0x0d
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_LOCK_CONTROL 0x11
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_CREATE_MAILSLOT 0x13
#define IRP_MJ_QUERY_SECURITY 0x14
#define IRP_MJ_SET_SECURITY 0x15
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_DEVICE_CHANGE 0x18
#define IRP_MJ_QUERY_QUOTA 0x19
#define IRP_MJ_SET_QUOTA 0x1a
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct {
            ULONG Type;
        } QueryDeviceRelations;
        struct {
            PVOID AllocatedResources;
            PVOID AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT *DeviceObject;
    struct _FILE_OBJECT *FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP *MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                struct {
                    PVOID DriverContext[4];
                };
            };
            PETHREAD Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION *CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            struct _FILE_OBJECT *OriginalFileObject;
        } Overlay;
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

/* ------------------------------------------------------ device objects */

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_MAP_IO_BUFFER 0x00000020
#define DO_DEVICE_HAS_NAME 0x00000040
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a

#define FILE_REMOVABLE_MEDIA 0x00000001
#define FILE_DEVICE_SECURE_OPEN 0x00000100
#define FILE_AUTOGENERATED_DEVICE_NAME 0x00000080

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT *DriverObject;
    struct _DEVICE_OBJECT *NextDevice;
    struct _DEVICE_OBJECT *AttachedDevice;
    struct _IRP *CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension; /* the platform's own record of the device */
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT *DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

/* ----------------------------------------------------------- registry */

#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

#define KEY_QUERY_VALUE 0x0001
#define KEY_READ 0x20019
#define KEY_ALL_ACCESS 0xF003F

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

/* --------------------------------------------------------- power requests */

typedef VOID NTAPI REQUEST_POWER_COMPLETE(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                          POWER_STATE PowerState, PVOID Context,
                                          PIO_STATUS_BLOCK IoStatus);
typedef REQUEST_POWER_COMPLETE *PREQUEST_POWER_COMPLETE;

/* ============================================================ services */

HS_EXTERN_C_BEGIN

/* I/O manager: devices and drivers */
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);

/* I/O manager: requests */
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
PDRIVER_CANCEL NTAPI IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine);
BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);
NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);

/* Dispatcher objects and waits */
VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);

/* IRQL and spin locks (HAL on the target) */
KIRQL NTAPI KeGetCurrentIrql(VOID);
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
#define KeRaiseIrql(NewIrql, OldIrql) (*(OldIrql) = KfRaiseIrql(NewIrql))
#define KeLowerIrql(NewIrql) KfLowerIrql(NewIrql)
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KfAcquireSpinLock(SpinLock))
#define KeReleaseSpinLock(SpinLock, NewIrql) KfReleaseSpinLock(SpinLock, NewIrql)
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

/* The processor's interrupt flag: the drivers' lock against interrupt-time code. */
void _disable(void);
void _enable(void);

/* DPCs, timers, time */
VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc);
VOID NTAPI KeInitializeTimer(PKTIMER Timer);
BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer);
BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer);
VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG NTAPI KeQueryTimeIncrement(VOID);
VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime);

/* Device queues */
VOID NTAPI KeInitializeDeviceQueue(PKDEVICE_QUEUE DeviceQueue);
BOOLEAN NTAPI KeInsertDeviceQueue(PKDEVICE_QUEUE DeviceQueue,
                                  PKDEVICE_QUEUE_ENTRY DeviceQueueEntry);
PKDEVICE_QUEUE_ENTRY NTAPI KeRemoveDeviceQueue(PKDEVICE_QUEUE DeviceQueue);

/* Executive: pool and work items */
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePool(PVOID P);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

/* Run-time library */
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString);
VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length);
VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID *Source, SIZE_T Length);
VOID NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill);
SIZE_T NTAPI RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length);

/* Registry */
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSTATUS NTAPI ZwClose(HANDLE Handle);

/* Power manager */
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                                  POWER_STATE State);
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                 POWER_STATE PowerState, PREQUEST_POWER_COMPLETE CompletionFunction,
                                 PVOID Context, PIRP *Irp);

/* Debugger */
VOID NTAPI DbgBreakPoint(VOID);
ULONG DbgPrint(PCSTR Format, ...);

/* Checks that the caller may touch pageable code at the current IRQL. */
VOID NTAPI HsCheckPagedCode(PCSTR Routine);

HS_EXTERN_C_END

#define PAGED_CODE() HsCheckPagedCode(__func__)

/* The kernel's C run-time exports. The platform's own sources use the C++
 * library's declarations instead. */
#ifndef HS_PLATFORM_SOURCE
HS_EXTERN_C_BEGIN
int sprintf(char *Buffer, const char *Format, ...);
char *strstr(const char *Haystack, const char *Needle);
char *strrchr(const char *String, int Character);
HS_EXTERN_C_END
#endif

/* ------------------------------------------------------- inline helpers */

static inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

static inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

static inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

static inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(next, current, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

static inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                          PVOID Context, BOOLEAN InvokeOnSuccess,
                                          BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

static inline VOID IoMarkIrpPending(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

#endif /* HS_WDM_H */
