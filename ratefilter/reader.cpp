/*
 * reader.cpp - reads the handset's answer to an AT command through the
 * lower driver and classifies it by its V.25ter result code, after the
 * handset's echo of the command.
 */
#include "ratefilter.h"

/* Result codes in the order they are compared, each with its NUL. */
typedef struct _FILTER_RESULT_CODE {
  PCSTR Text;
  ULONG Length; /* bytes compared, the NUL included */
  BOOLEAN Ok;
} FILTER_RESULT_CODE;

static const FILTER_RESULT_CODE FilterResultCodes[] = {
    {"\r\nOK\r\n", 7, TRUE},
    {"0\r", 3, TRUE},
    {"\r\nERROR\r\n", 10, FALSE},
    {"4\r", 3, FALSE},
};

/* The longest result code without its NUL: the room left after the echo. */
#define FILTER_LONGEST_RESULT 9

/*
 * FilterTextLength - length of a NUL-terminated text.
 */
static ULONG FilterTextLength(PCSTR Text) {
  ULONG length = 0;

  PAGED_CODE();

  while (Text[length] != '\0') {
    length++;
  }
  return length;
}

/*
 * FilterClassify - compares the received text, after the echo when it
 * begins with it, with the result codes. Returns TRUE on a match and sets
 * *Ok. Every comparison stays inside the buffer of EchoLength + 10 bytes.
 */
static BOOLEAN FilterClassify(const UCHAR *Buffer, PCSTR Echo, ULONG EchoLength, PBOOLEAN Ok) {
  const UCHAR *text = Buffer;

  PAGED_CODE();

  if (RtlCompareMemory(Buffer, Echo, EchoLength) == EchoLength) {
    text += EchoLength;
  }
  for (ULONG i = 0; i < RTL_NUMBER_OF(FilterResultCodes); i++) {
    const FILTER_RESULT_CODE *code = &FilterResultCodes[i];
    if (RtlCompareMemory(text, code->Text, code->Length) == code->Length) {
      *Ok = code->Ok;
      return TRUE;
    }
  }
  return FALSE;
}

/*
 * FilterReadResponse - reads the answer to the command Echo on the client's
 * IRP, which the negotiation re-uses, and classifies it. PASSIVE_LEVEL;
 * blocks in each read. Returns TRUE when the handset answered (the last read
 * succeeded and at least one byte other than a leading NUL arrived);
 * *AnsweredOk is TRUE when that answer was a success code, *AnsweredError
 * (when given) when it was an error code. On return
 * AssociatedIrp.SystemBuffer is as on entry; the request stays the caller's.
 * The one pool block, sized from the echo, is freed before returning.
 */
BOOLEAN FilterReadResponse(PFILTER_EXTENSION Extension, PIRP Irp, PCSTR Echo, PBOOLEAN AnsweredOk,
                           PBOOLEAN AnsweredError) {
  ULONG echoLength;
  PUCHAR buffer;
  PVOID savedBuffer;
  ULONG filled = 0;
  ULONG room;
  ULONG received;
  PIO_STACK_LOCATION next;
  NTSTATUS status;
  BOOLEAN ok = FALSE;

  PAGED_CODE();

  echoLength = FilterTextLength(Echo);
  buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, echoLength + FILTER_LONGEST_RESULT + 1,
                                         FILTER_POOL_TAG);
  if (buffer == NULL) {
    return FALSE;
  }
  RtlZeroMemory(buffer, echoLength + FILTER_LONGEST_RESULT + 1);
  savedBuffer = Irp->AssociatedIrp.SystemBuffer;
  *AnsweredOk = FALSE;
  if (AnsweredError != NULL) {
    *AnsweredError = FALSE;
  }
  room = echoLength + FILTER_LONGEST_RESULT;

  for (;;) {
    next = FilterPrepareLowerRequest(Irp, IRP_MJ_READ);
    next->Parameters.Read.Length = room;
    Irp->AssociatedIrp.SystemBuffer = buffer + filled;

    status = FilterCallLowerSync(Extension, Irp);
    if (!NT_SUCCESS(status)) {
      break;
    }
    /* A lower driver never delivers more than it was asked for;
     * whatever it claims, the count stays inside the buffer. */
    received = (ULONG)Irp->IoStatus.Information;
    if (received > room) {
      received = room;
    }
    filled += received;
    room -= received;

    if (FilterClassify(buffer, Echo, echoLength, &ok)) {
      *AnsweredOk = ok;
      if (AnsweredError != NULL) {
        *AnsweredError = !ok;
      }
      break;
    }
    if (received == 0) {
      break;
    }
  }

  if (buffer[0] == '\0') {
    status = STATUS_UNSUCCESSFUL;
  }
  Irp->AssociatedIrp.SystemBuffer = savedBuffer;
  ExFreePoolWithTag(buffer, FILTER_POOL_TAG);
  return NT_SUCCESS(status) ? TRUE : FALSE;
}
