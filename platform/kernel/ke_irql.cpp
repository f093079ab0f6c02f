// IRQL, spin locks, the interrupt flag and the pageable-code check.
//
// One processor: a spin lock is the raised IRQL. The lock word still
// records its owner so that the verifier sees a lock taken twice, released
// twice, or released at the wrong IRQL.
#include <cstdio>
#include <string>

#include "kernel/ke_internal.h"

using hs::Machine;

namespace {

constexpr ULONG_PTR kLockHeld = 1;

std::string lock_name(const void* lock) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "spin lock %p", lock);
  return buffer;
}

void take_spin_lock(PKSPIN_LOCK lock, const char* service) {
  Machine& m = Machine::current();
  if (lock == nullptr) m.violation("NULL argument", std::string(service) + " with a NULL lock");
  if (*lock == kLockHeld) {
    m.violation("spin lock acquired twice",
                lock_name(lock) + " is already held; on one processor this never returns");
  }
  *lock = kLockHeld;
  hs::ke_lock_taken(lock, "spin lock");
}

void give_spin_lock(PKSPIN_LOCK lock, const char* service) {
  Machine& m = Machine::current();
  if (lock == nullptr) m.violation("NULL argument", std::string(service) + " with a NULL lock");
  if (*lock != kLockHeld) m.violation("spin lock released twice", lock_name(lock) + " is not held");
  *lock = 0;
  hs::ke_lock_released(lock);
}

}  // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Machine::current().irql(); }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  Machine& m = Machine::current();
  m.service_point("KfRaiseIrql");
  return m.raise_irql(NewIrql);
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  Machine& m = Machine::current();
  m.lower_irql(NewIrql);
  m.service_point("KfLowerIrql");
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  if (SpinLock == nullptr) Machine::current().violation("NULL argument", "KeInitializeSpinLock");
  *SpinLock = 0;
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  Machine& m = Machine::current();
  m.service_point("KfAcquireSpinLock");
  if (m.irql() > DISPATCH_LEVEL) {
    m.violation("spin lock acquired above DISPATCH_LEVEL",
                "KeAcquireSpinLock at IRQL " + std::to_string(m.irql()));
  }
  KIRQL old = m.raise_irql(DISPATCH_LEVEL);
  take_spin_lock(SpinLock, "KeAcquireSpinLock");
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  Machine& m = Machine::current();
  if (m.irql() != DISPATCH_LEVEL) {
    m.violation("spin lock released at the wrong IRQL",
                "KeReleaseSpinLock at IRQL " + std::to_string(m.irql()));
  }
  give_spin_lock(SpinLock, "KeReleaseSpinLock");
  if (NewIrql > DISPATCH_LEVEL) {
    m.violation("spin lock released to a raised IRQL",
                "KeReleaseSpinLock to IRQL " + std::to_string(NewIrql));
  }
  m.lower_irql(NewIrql);
  m.service_point("KfReleaseSpinLock");
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  Machine& m = Machine::current();
  m.service_point("KeAcquireSpinLockAtDpcLevel");
  if (m.irql() != DISPATCH_LEVEL) {
    m.violation("spin lock acquired at DPC level from another IRQL",
                "KeAcquireSpinLockAtDpcLevel at IRQL " + std::to_string(m.irql()));
  }
  take_spin_lock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  Machine& m = Machine::current();
  if (m.irql() != DISPATCH_LEVEL) {
    m.violation("spin lock released at the wrong IRQL",
                "KeReleaseSpinLockFromDpcLevel at IRQL " + std::to_string(m.irql()));
  }
  give_spin_lock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
  m.service_point("KeReleaseSpinLockFromDpcLevel");
}

void _disable(void) {
  Machine& m = Machine::current();
  m.service_point("_disable");
  m.disable_interrupts();
}

void _enable(void) {
  Machine& m = Machine::current();
  m.enable_interrupts();
  m.service_point("_enable");
}

VOID NTAPI HsCheckPagedCode(PCSTR Routine) {
  Machine& m = Machine::current();
  if (m.irql() > APC_LEVEL) {
    m.violation("pageable code at raised IRQL",
                std::string(Routine ? Routine : "?") + " runs at IRQL " + std::to_string(m.irql()));
  }
}

}  // extern "C"
