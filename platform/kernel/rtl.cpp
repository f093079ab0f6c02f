// Run-time library (counted strings, memory) and the debugger services.
// The memory routines are inline code on the target, so they are no
// scheduling point here either.
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  hs::ke_enter("RtlInitUnicodeString", DISPATCH_LEVEL);
  hs::ke_check_arg("RtlInitUnicodeString", DestinationString, "destination");
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (SourceString == nullptr) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t count = 0;
  while (SourceString[count] != 0) ++count;
  if (count * sizeof(WCHAR) > 0xFFFC) {
    hs::ke_violation("string too long",
                     "RtlInitUnicodeString of " + std::to_string(count) + " characters");
  }
  DestinationString->Length = static_cast<USHORT>(count * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
  hs::ke_enter("RtlCopyUnicodeString", DISPATCH_LEVEL);
  hs::ke_check_arg("RtlCopyUnicodeString", DestinationString, "destination");
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    return;
  }
  USHORT length = SourceString->Length < DestinationString->MaximumLength
                      ? SourceString->Length
                      : DestinationString->MaximumLength;
  length &= static_cast<USHORT>(~1u);
  if (length > 0) {
    hs::ke_check_arg("RtlCopyUnicodeString", DestinationString->Buffer, "destination buffer");
    std::memmove(DestinationString->Buffer, SourceString->Buffer, length);
  }
  DestinationString->Length = length;
  if (length + sizeof(WCHAR) <= DestinationString->MaximumLength) {
    DestinationString->Buffer[length / sizeof(WCHAR)] = 0;
  }
}

NTSTATUS NTAPI RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString,
                                            PCUNICODE_STRING SourceString,
                                            BOOLEAN AllocateDestinationString) {
  hs::ke_enter("RtlUnicodeStringToAnsiString", PASSIVE_LEVEL);
  hs::ke_check_arg("RtlUnicodeStringToAnsiString", DestinationString, "destination");
  hs::ke_check_arg("RtlUnicodeStringToAnsiString", SourceString, "source");
  if (AllocateDestinationString) {
    // The drivers convert into their own buffers; an allocated string would
    // need RtlFreeAnsiString, which this kernel does not export.
    return STATUS_NOT_IMPLEMENTED;
  }
  size_t count = SourceString->Length / sizeof(WCHAR);
  if (count + 1 > DestinationString->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  hs::ke_check_arg("RtlUnicodeStringToAnsiString", DestinationString->Buffer, "destination buffer");
  for (size_t i = 0; i < count; ++i) {
    WCHAR c = SourceString->Buffer[i];
    DestinationString->Buffer[i] = c < 0x100 ? static_cast<CHAR>(c) : '?';
  }
  DestinationString->Buffer[count] = 0;
  DestinationString->Length = static_cast<USHORT>(count);
  return STATUS_SUCCESS;
}

VOID NTAPI RtlZeroMemory(PVOID Destination, SIZE_T Length) {
  if (Length) std::memset(Destination, 0, Length);
}

VOID NTAPI RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length) {
  if (Length) std::memcpy(Destination, Source, Length);
}

VOID NTAPI RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
  if (Length) std::memset(Destination, Fill, Length);
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto* a = static_cast<const unsigned char*>(Source1);
  auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

VOID NTAPI DbgBreakPoint(VOID) {
  Machine& m = Machine::current();
  m.service_point("DbgBreakPoint");
  Kernel& k = Kernel::current();
  std::string driver = k.loader().owner_of(HS_CALLER());
  if (driver.empty()) driver = "kernel";
  k.count_breakpoint();
  hs::TraceEvent event;
  event.ev = "break";
  event.add("dev", driver);
  event.text = driver + "  DbgBreakPoint";
  m.trace().emit(std::move(event));
  if (k.break_into_debugger()) std::raise(SIGTRAP);
}

ULONG DbgPrint(PCSTR Format, ...) {
  Machine& m = Machine::current();
  m.service_point("DbgPrint");
  char buffer[512];
  va_list args;
  va_start(args, Format);
  vsnprintf(buffer, sizeof buffer, Format, args);
  va_end(args);
  std::string text = buffer;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  hs::TraceEvent event;
  event.ev = "debug";
  event.add("text", text);
  event.text = "DbgPrint  " + text;
  m.trace().emit(std::move(event));
  return 0;
}

}  // extern "C"
