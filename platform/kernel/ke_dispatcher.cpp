// Dispatcher objects and waits: notification and synchronization events,
// mutexes with owners and recursion, timers as waitable objects, and
// KeWaitForSingleObject with no, zero and finite timeouts.
//
// A waiting thread links a wait block, kept on its own stack, into the
// object's WaitListHead. Whoever satisfies the wait (KeSetEvent,
// KeReleaseMutex, a timer's expiry) acquires the object on the waiter's
// behalf, unlinks the block and makes the thread ready.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "kernel/ke_internal.h"

using hs::Machine;

namespace hs {
namespace {

struct WaitBlock {
  LIST_ENTRY entry;  // first: the list holds &entry
  EmuThread* thread;
  bool satisfied;
};

std::string object_name(const DISPATCHER_HEADER* header) {
  const char* kind = "object";
  switch (header->Type) {
    case HS_OBJECT_NOTIFICATION_EVENT:
      kind = "notification event";
      break;
    case HS_OBJECT_SYNCHRONIZATION_EVENT:
      kind = "synchronization event";
      break;
    case HS_OBJECT_MUTEX:
      kind = "mutex";
      break;
    case HS_OBJECT_TIMER:
      kind = "timer";
      break;
  }
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%s %p", kind, static_cast<const void*>(header));
  return buffer;
}

void require_initialised(const void* object, const char* service) {
  Machine& m = Machine::current();
  if (object == nullptr) m.violation("NULL argument", std::string(service) + " with a NULL object");
  if (!ke_state().dispatcher_objects.count(object)) {
    char buffer[96];
    snprintf(buffer, sizeof buffer, "%s on %p, which was never initialised", service, object);
    m.violation("uninitialised dispatcher object", buffer);
  }
}

bool is_signalled_for(const DISPATCHER_HEADER* header, EmuThread* thread) {
  if (header->Type == HS_OBJECT_MUTEX) {
    auto* mutex = reinterpret_cast<const KMUTEX*>(header);
    return header->SignalState > 0 || mutex->OwnerThread == reinterpret_cast<PKTHREAD>(thread);
  }
  return header->SignalState > 0;
}

// Takes the object for `thread` as its satisfied wait does.
void acquire_for(DISPATCHER_HEADER* header, EmuThread* thread) {
  if (header->Type == HS_OBJECT_SYNCHRONIZATION_EVENT) {
    header->SignalState = 0;
  } else if (header->Type == HS_OBJECT_MUTEX) {
    auto* mutex = reinterpret_cast<KMUTEX*>(header);
    if (mutex->OwnerThread == nullptr) ke_lock_taken(mutex, "mutex");
    mutex->OwnerThread = reinterpret_cast<PKTHREAD>(thread);
    header->SignalState--;
  }
}

}  // namespace

// Satisfies waiters of a signalled object: all of them for notification
// objects, one for synchronization events and mutexes.
void ke_satisfy_waiters(DISPATCHER_HEADER* header) {
  Machine& m = Machine::current();
  while (!IsListEmpty(&header->WaitListHead) && header->SignalState > 0) {
    auto* block = reinterpret_cast<WaitBlock*>(header->WaitListHead.Flink);
    RemoveEntryList(&block->entry);
    block->satisfied = true;
    acquire_for(header, block->thread);
    m.wake(*block->thread);
  }
}

void ke_init_header(DISPATCHER_HEADER* header, UCHAR type, LONG state) {
  header->Type = type;
  header->Absolute = 0;
  header->Size = 0;
  header->Inserted = 0;
  header->SignalState = state;
  InitializeListHead(&header->WaitListHead);
  ke_state().dispatcher_objects.insert(header);
}

// Memory that held an object may be re-used (a stack event of a returned
// frame): only a list that leads to a live wait block counts as waiters.
bool ke_has_waiters(const DISPATCHER_HEADER* header) {
  return !IsListEmpty(&header->WaitListHead) &&
         ke_state().wait_blocks.count(header->WaitListHead.Flink) != 0;
}

}  // namespace hs

using namespace hs;

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Machine& m = Machine::current();
  m.service_point("KeInitializeEvent");
  if (Event == nullptr) m.violation("NULL argument", "KeInitializeEvent with a NULL event");
  if (ke_state().dispatcher_objects.count(Event) && ke_has_waiters(&Event->Header)) {
    m.violation("event re-initialised while threads wait on it", object_name(&Event->Header));
  }
  ke_init_header(
      &Event->Header,
      Type == NotificationEvent ? HS_OBJECT_NOTIFICATION_EVENT : HS_OBJECT_SYNCHRONIZATION_EVENT,
      State ? 1 : 0);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  Machine& m = Machine::current();
  m.service_point("KeSetEvent");
  require_initialised(Event, "KeSetEvent");
  if (m.irql() > DISPATCH_LEVEL) {
    m.violation("service called above its IRQL", "KeSetEvent at IRQL " + std::to_string(m.irql()));
  }
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  ke_satisfy_waiters(&Event->Header);
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  Machine::current().service_point("KeClearEvent");
  require_initialised(Event, "KeClearEvent");
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  Machine::current().service_point("KeResetEvent");
  require_initialised(Event, "KeResetEvent");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  Machine::current().service_point("KeReadStateEvent");
  require_initialised(Event, "KeReadStateEvent");
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  Machine& m = Machine::current();
  m.service_point("KeInitializeMutex");
  if (Mutex == nullptr) m.violation("NULL argument", "KeInitializeMutex with a NULL mutex");
  if (m.irql() > PASSIVE_LEVEL) {
    m.violation("service called above its IRQL",
                "KeInitializeMutex at IRQL " + std::to_string(m.irql()));
  }
  ke_init_header(&Mutex->Header, HS_OBJECT_MUTEX, 1);
  Mutex->OwnerThread = nullptr;
  Mutex->Abandoned = FALSE;
  Mutex->ApcDisable = 1;
  Mutex->Level = Level;
  InitializeListHead(&Mutex->MutantListEntry);
}

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
  Machine& m = Machine::current();
  m.service_point("KeReleaseMutex");
  require_initialised(Mutex, "KeReleaseMutex");
  EmuThread* self = m.current_thread();
  if (Mutex->OwnerThread == nullptr || Mutex->OwnerThread != reinterpret_cast<PKTHREAD>(self)) {
    m.violation("mutex released by a thread that does not own it",
                object_name(&Mutex->Header) + " released by " + m.current_context_name());
  }
  LONG previous = Mutex->Header.SignalState;
  Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    ke_lock_released(Mutex);
    ke_satisfy_waiters(&Mutex->Header);
  }
  return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
  Machine& m = Machine::current();
  m.service_point("KeWaitForSingleObject");
  require_initialised(Object, "KeWaitForSingleObject");
  auto* header = static_cast<DISPATCHER_HEADER*>(Object);
  bool zero_timeout = Timeout != nullptr && Timeout->QuadPart == 0;
  if (m.irql() > DISPATCH_LEVEL || (m.irql() == DISPATCH_LEVEL && !zero_timeout)) {
    m.violation("blocking wait at DISPATCH_LEVEL",
                "KeWaitForSingleObject on " + object_name(header) + " at IRQL " +
                    std::to_string(m.irql()) + (Timeout ? " with a non-zero timeout" : ""));
  }
  EmuThread* self = m.current_thread();
  if (is_signalled_for(header, self)) {
    if (header->Type == HS_OBJECT_MUTEX && self == nullptr) {
      m.violation("mutex acquired outside a thread",
                  object_name(header) + " taken from " + m.current_context_name());
    }
    acquire_for(header, self);
    return STATUS_SUCCESS;
  }
  if (zero_timeout) return STATUS_TIMEOUT;
  std::optional<VTime> deadline;
  if (Timeout != nullptr) deadline = ke_deadline(Timeout->QuadPart);
  WaitBlock block{{nullptr, nullptr}, self, false};
  if (self == nullptr) {
    m.violation(
        "blocking wait in a context that cannot block",
        "KeWaitForSingleObject on " + object_name(header) + " from " + m.current_context_name());
  }
  InsertTailList(&header->WaitListHead, &block.entry);
  ke_state().wait_blocks.insert(&block.entry);
  m.block(object_name(header), deadline);
  ke_state().wait_blocks.erase(&block.entry);
  if (block.satisfied) return STATUS_SUCCESS;
  RemoveEntryList(&block.entry);
  return STATUS_TIMEOUT;
}

}  // extern "C"

namespace hs {

KeState& ke_state() { return Machine::current().service_state<KeState>(); }

VTime ke_deadline(LONGLONG timeout) {
  Machine& m = Machine::current();
  if (timeout < 0) return m.now() - timeout;
  return std::max<VTime>(timeout - kBootSystemTime, m.now());
}

void ke_forget_objects_in(const void* begin, const void* end) {
  auto& objects = ke_state().dispatcher_objects;
  std::erase_if(objects, [&](const void* p) { return p >= begin && p < end; });
}

// Lock order: a lock taken while others are held adds an edge from each of
// them; an edge that closes a cycle is an inversion.
void ke_lock_taken(const void* lock, const char* kind) {
  KeState& state = ke_state();
  Machine& m = Machine::current();
  auto& held = state.held_locks[m.current_thread()];
  char name[64];
  snprintf(name, sizeof name, "%s %p", kind, lock);
  state.lock_names[lock] = name;
  for (const void* before : held) {
    if (before == lock) continue;
    // Is `before` reachable from `lock`? Then taking lock after it is a cycle.
    std::vector<const void*> stack{lock};
    std::unordered_set<const void*> seen{lock};
    while (!stack.empty()) {
      const void* at = stack.back();
      stack.pop_back();
      if (at == before) {
        m.violation("lock order inversion", state.lock_names[lock] + " taken while holding " +
                                                state.lock_names[before] +
                                                ", which elsewhere is taken after it");
      }
      for (const void* next : state.lock_after[at])
        if (seen.insert(next).second) stack.push_back(next);
    }
    state.lock_after[before].insert(lock);
  }
  held.push_back(lock);
}

void ke_lock_released(const void* lock) {
  KeState& state = ke_state();
  auto& held = state.held_locks[Machine::current().current_thread()];
  auto it = std::find(held.rbegin(), held.rend(), lock);
  if (it != held.rend()) held.erase(std::next(it).base());
}

}  // namespace hs
