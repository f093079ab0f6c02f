// DPCs, timers and the clock.
//
// A queued DPC runs at DISPATCH_LEVEL as soon as the IRQL falls below it.
// A set timer is one timed event of the machine; at expiry the timer is
// signalled (it is a notification object) and its DPC queued.
#include <cstdio>
#include <string>

#include "kernel/ke_internal.h"

using hs::Machine;

namespace hs {
void ke_init_header(DISPATCHER_HEADER* header, UCHAR type, LONG state);
void ke_satisfy_waiters(DISPATCHER_HEADER* header);
}  // namespace hs

namespace {

std::string dpc_name(const KDPC* dpc) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "DPC %p", static_cast<const void*>(dpc));
  return buffer;
}

std::string timer_name(const KTIMER* timer) {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "timer %p", static_cast<const void*>(timer));
  return buffer;
}

// Queues `dpc` on the machine; FALSE when it is queued already.
BOOLEAN queue_dpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
  Machine& m = Machine::current();
  if (m.dpc_queued(dpc)) return FALSE;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  // Lock is non-null while the DPC is queued, as drivers may look.
  dpc->Lock = reinterpret_cast<PULONG_PTR>(&dpc->Lock);
  m.queue_dpc(
      [dpc] {
        dpc->Lock = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        routine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
      },
      dpc);
  return TRUE;
}

void expire(PKTIMER timer) {
  hs::ke_state().timer_events.erase(timer);
  timer->Header.Inserted = FALSE;
  timer->Header.SignalState = 1;
  hs::ke_satisfy_waiters(&timer->Header);
  if (timer->Dpc != nullptr) {
    queue_dpc(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(timer->DueTime.u.LowPart)),
              reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(timer->DueTime.u.HighPart)));
  }
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Machine& m = Machine::current();
  m.service_point("KeInitializeDpc");
  if (Dpc == nullptr || DeferredRoutine == nullptr)
    m.violation("NULL argument", "KeInitializeDpc with a NULL DPC or routine");
  if (m.dpc_queued(Dpc)) m.violation("DPC re-initialised while queued", dpc_name(Dpc));
  Dpc->Type = 0x13;
  Dpc->Number = 0;
  Dpc->Importance = 1;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->Lock = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  Machine& m = Machine::current();
  m.service_point("KeInsertQueueDpc");
  if (Dpc == nullptr || Dpc->DeferredRoutine == nullptr)
    m.violation("NULL argument", "KeInsertQueueDpc with a NULL or uninitialised DPC");
  BOOLEAN queued = queue_dpc(Dpc, SystemArgument1, SystemArgument2);
  m.drain_dpcs();
  return queued;
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
  Machine& m = Machine::current();
  m.service_point("KeRemoveQueueDpc");
  if (Dpc == nullptr) m.violation("NULL argument", "KeRemoveQueueDpc with a NULL DPC");
  if (!m.remove_dpc(Dpc)) return FALSE;
  Dpc->Lock = nullptr;
  return TRUE;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
  Machine& m = Machine::current();
  m.service_point("KeInitializeTimer");
  if (Timer == nullptr) m.violation("NULL argument", "KeInitializeTimer with a NULL timer");
  if (m.irql() > DISPATCH_LEVEL) m.violation("service called above its IRQL", "KeInitializeTimer");
  if (hs::ke_state().timer_events.count(Timer))
    m.violation("timer re-initialised while set", timer_name(Timer));
  hs::ke_init_header(&Timer->Header, HS_OBJECT_TIMER, 0);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  InitializeListHead(&Timer->TimerListEntry);
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  Machine& m = Machine::current();
  m.service_point("KeSetTimer");
  if (Timer == nullptr || !hs::ke_state().dispatcher_objects.count(Timer))
    m.violation("uninitialised dispatcher object", "KeSetTimer on an uninitialised timer");
  if (m.irql() > DISPATCH_LEVEL)
    m.violation("service called above its IRQL", "KeSetTimer at IRQL " + std::to_string(m.irql()));
  auto& events = hs::ke_state().timer_events;
  BOOLEAN was_set = FALSE;
  if (auto it = events.find(Timer); it != events.end()) {
    m.cancel(it->second);
    events.erase(it);
    was_set = TRUE;
  }
  hs::VTime when = hs::ke_deadline(DueTime.QuadPart);
  Timer->DueTime.QuadPart = when + hs::kBootSystemTime;
  Timer->Dpc = Dpc;
  Timer->Header.SignalState = 0;
  Timer->Header.Inserted = TRUE;
  events[Timer] = m.at(
      when, [Timer] { expire(Timer); }, timer_name(Timer));
  return was_set;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  Machine& m = Machine::current();
  m.service_point("KeCancelTimer");
  if (Timer == nullptr) m.violation("NULL argument", "KeCancelTimer with a NULL timer");
  auto& events = hs::ke_state().timer_events;
  auto it = events.find(Timer);
  if (it == events.end()) return FALSE;
  m.cancel(it->second);
  events.erase(it);
  Timer->Header.Inserted = FALSE;
  return TRUE;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  Machine::current().service_point("KeReadStateTimer");
  return Timer->Header.SignalState > 0;
}

VOID NTAPI KeQueryTickCount(PLARGE_INTEGER TickCount) {
  Machine& m = Machine::current();
  if (TickCount == nullptr) m.violation("NULL argument", "KeQueryTickCount");
  TickCount->QuadPart = m.now() / hs::kClockTick;
}

ULONG NTAPI KeQueryTimeIncrement(VOID) { return static_cast<ULONG>(hs::kClockTick); }

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = hs::kBootSystemTime + Machine::current().now();
}

}  // extern "C"

namespace hs {

std::string ke_live_objects_in(const void* begin, const void* end) {
  std::string found;
  KeState& state = ke_state();
  Machine& m = Machine::current();
  auto inside = [&](const void* p) { return p >= begin && p < end; };
  for (auto& [timer, _] : state.timer_events)
    if (inside(timer)) found += timer_name(timer) + " is still set; ";
  for (const void* p : m.dpcs_queued_in(begin, end))
    found += dpc_name(static_cast<const KDPC*>(p)) + " is still queued; ";
  return found;
}

}  // namespace hs
