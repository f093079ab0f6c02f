/*
 * vxd_services.cpp - the VCOMM and VMM services of vcomm.h as INT 20h
 * service calls, linked into the i686 image of portbridge.
 *
 * A service call is INT 20h followed by a 32-bit service word: the device id
 * in the high half, the service number in the low half. VMM replaces the six
 * bytes by a call or a jump to the service the first time they run.
 *
 * VCOMM services: one stub per service in the jump form (0x8000 in the low
 * half). The caller's C call reaches the stub, the stub becomes a jump, and
 * the service finds the caller's stack arguments and returns its 32-bit result
 * straight to the caller, who removes the arguments.
 *
 * Schedule_Global_Event: VMM takes the routine in ESI and the reference data
 * in EDX, returns the event handle in ESI, and later calls the routine with
 * the reference data in EDX. The wrapper loads the registers; a register-entry
 * thunk per distinct routine turns VMM's call into the C call
 * Routine(RefData).
 */
#include <wdm.h>

#include "vcomm.h"

#define HS_STRINGIFY2(x) #x
#define HS_STRINGIFY(x) HS_STRINGIFY2(x)
#define HS_SYMBOL(name) HS_STRINGIFY(__USER_LABEL_PREFIX__) #name

#define HS_VXD_JUMP_FORM 0x8000

/* Distinct routines that may be given to Schedule_Global_Event; portbridge
 * has one. */
#define HS_EVENT_ROUTINES 4

HS_EXTERN_C_BEGIN

/* The routine each thunk calls; a slot, once claimed, keeps its routine for
 * the life of the image. Claimed by interlocked compare-exchange at any IRQL,
 * read by the thunks at event time. */
PVMM_EVENT_ROUTINE HsEventRoutines[HS_EVENT_ROUTINES];

/* The register-entry thunks, one per slot of HsEventRoutines. */
VOID HsEventThunk0(VOID);
VOID HsEventThunk1(VOID);
VOID HsEventThunk2(VOID);
VOID HsEventThunk3(VOID);

HS_EXTERN_C_END

// clang-format off

/* A function symbol in .text. */
#define HS_ASM_FUNCTION(symbol)                                                \
    ".balign 4\n"                                                              \
    ".globl " symbol "\n"                                                      \
    ".def " symbol "; .scl 2; .type 32; .endef\n"                              \
    symbol ":\n"

/* A VCOMM service stub: the service call in the jump form, nothing else. */
#define HS_VCOMM_STUB(name)                                                    \
    HS_ASM_FUNCTION(HS_SYMBOL(_VCOMM_##name))                                  \
    "int $0x20\n"                                                              \
    ".long (" HS_STRINGIFY(VCOMM_DEVICE_ID) " << 16) | "                       \
        HS_STRINGIFY(HS_VXD_JUMP_FORM) " | "                                   \
        HS_STRINGIFY(VCOMM_SERVICE_##name) "\n"

/* A thunk, entered by VMM with EDX = reference data: calls the routine of
 * its slot with the C convention, keeping every register and flag VMM gave
 * it. */
#define HS_EVENT_THUNK(index)                                                  \
    HS_ASM_FUNCTION(HS_SYMBOL(HsEventThunk##index))                            \
    "pushfl\n"                                                                 \
    "pushal\n"                                                                 \
    "cld\n"                                                                    \
    "pushl %edx\n"                                                             \
    "call *" HS_SYMBOL(HsEventRoutines) " + 4 * " #index "\n"                  \
    "addl $4, %esp\n"                                                          \
    "popal\n"                                                                  \
    "popfl\n"                                                                  \
    "ret\n"

__asm__(".text\n"
        HS_VCOMM_STUB(OpenComm)
        HS_VCOMM_STUB(SetCommState)
        HS_VCOMM_STUB(GetCommState)
        HS_VCOMM_STUB(SetupComm)
        HS_VCOMM_STUB(TransmitCommChar)
        HS_VCOMM_STUB(CloseComm)
        HS_VCOMM_STUB(GetCommQueueStatus)
        HS_VCOMM_STUB(ClearCommError)
        HS_VCOMM_STUB(GetModemStatus)
        HS_VCOMM_STUB(GetCommProperties)
        HS_VCOMM_STUB(EscapeCommFunction)
        HS_VCOMM_STUB(PurgeComm)
        HS_VCOMM_STUB(SetCommEventMask)
        HS_VCOMM_STUB(GetCommEventMask)
        HS_VCOMM_STUB(WriteComm)
        HS_VCOMM_STUB(ReadComm)
        HS_VCOMM_STUB(EnableCommNotification)
        HS_VCOMM_STUB(GetSetCommTimeouts)
        HS_EVENT_THUNK(0)
        HS_EVENT_THUNK(1)
        HS_EVENT_THUNK(2)
        HS_EVENT_THUNK(3)
        ".text\n");

// clang-format on

static VOID (*const HsEventThunks[HS_EVENT_ROUTINES])(VOID) = {HsEventThunk0, HsEventThunk1,
                                                               HsEventThunk2, HsEventThunk3};

/*
 * Schedule_Global_Event: has VMM run Routine(RefData) once, later, outside
 * the current interrupt-time code. Any IRQL, interrupt time included.
 * Returns the event handle, or 0 when Routine is NULL or more distinct
 * routines than HS_EVENT_ROUTINES were ever given (nothing is scheduled).
 */
ULONG Schedule_Global_Event(PVMM_EVENT_ROUTINE Routine, PVOID RefData) {
  ULONG slot;
  ULONG handle;

  if (Routine == NULL) {
    return 0;
  }
  for (slot = 0; slot < HS_EVENT_ROUTINES; slot++) {
    PVOID owner = InterlockedCompareExchangePointer((PVOID volatile *)&HsEventRoutines[slot],
                                                    (PVOID)Routine, NULL);
    if (owner == NULL || owner == (PVOID)Routine) {
      break;
    }
  }
  if (slot == HS_EVENT_ROUTINES) {
    return 0;
  }

  /* ESI: the thunk in, the event handle out; EDX: the reference data. VMM
   * changes nothing else but the flags. */
  handle = (ULONG)(ULONG_PTR)HsEventThunks[slot];
  __asm__ __volatile__(
      "int $0x20\n\t"
      ".long %c[service]"
      : "+S"(handle)
      : "d"(RefData), [service] "i"((VMM_DEVICE_ID << 16) | VMM_SERVICE_Schedule_Global_Event)
      : "cc", "memory");
  return handle;
}
