// Shared state of the dispatcher, IRQL and DPC/timer services: initialised
// dispatcher objects, set timers, held locks and the lock-order graph.
#pragma once

#include <wdm.h>

#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "machine/machine.h"

namespace hs {

// System time at boot, in 100 ns units since 1601 (absolute due times).
inline constexpr VTime kBootSystemTime = 0x01D0000000000000LL;

struct KeState {
  std::unordered_set<const void*> dispatcher_objects;                   // initialised objects
  std::unordered_set<const void*> wait_blocks;  // wait blocks of threads blocked in a wait now
  std::map<const KTIMER*, Machine::EventId> timer_events;               // set timers
  std::unordered_map<EmuThread*, std::vector<const void*>> held_locks;  // per thread
  std::unordered_map<const void*, std::set<const void*>> lock_after;    // lock order
  std::unordered_map<const void*, std::string> lock_names;
};

KeState& ke_state();
VTime ke_deadline(LONGLONG timeout);
// Forgets dispatcher objects in memory that is given back.
void ke_forget_objects_in(const void* begin, const void* end);
void ke_lock_taken(const void* lock, const char* kind);
void ke_lock_released(const void* lock);
// Timers still set and DPCs still queued in [begin, end), for the verifier.
std::string ke_live_objects_in(const void* begin, const void* end);
void ke_init_header(DISPATCHER_HEADER* header, UCHAR type, LONG state);
void ke_satisfy_waiters(DISPATCHER_HEADER* header);
bool ke_has_waiters(const DISPATCHER_HEADER* header);

}  // namespace hs
