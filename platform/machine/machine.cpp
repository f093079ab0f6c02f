// The emulated machine: one processor shared by emulated threads, each a
// fiber of its own on the host thread that called run(), whose own stack is
// the idle context, the place where time moves on. Exactly one context runs
// at a time, so a switch is a jump between stacks: no host thread, lock or
// condition variable is involved.
//
// Fibers are Boost.Context's fcontext jumps. AddressSanitizer is told of
// every switch (__sanitizer_start/finish_switch_fiber) and valgrind of every
// fiber stack, so both follow the jumps; a debugger sees each fiber's frames
// while it runs.
#include "machine/machine.h"

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <boost/context/detail/fcontext.hpp>
#include <cassert>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>
#include <unordered_map>

#if defined(__SANITIZE_ADDRESS__)
#define HS_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HS_ASAN_FIBERS 1
#endif
#endif
#ifdef HS_ASAN_FIBERS
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define HS_VALGRIND_STACKS 1
#endif

namespace hs {
namespace {

constexpr uint8_t kDispatchLevel = 2;
constexpr uint8_t kDeviceLevel = 12;  // SERIAL_DEVICE_LEVEL of wdm.h
constexpr int kMaxInterruptNesting = 3;
constexpr uint64_t kPctSteps = 4000;  // estimated scheduling points of a run

Machine* g_machine = nullptr;  // the one machine

namespace fc = boost::context::detail;

// As much as a host thread had; the host commits only the pages touched.
constexpr size_t kFiberStackSize = 8 * 1024 * 1024;
constexpr size_t kGuardSize = 4096;  // below the stack, never mapped in

// A context of execution: an emulated thread's fiber, or the idle context
// (the stack of the host thread that runs the machine).
struct Fiber {
  fc::fcontext_t context = nullptr;  // where it resumes; null while it runs or before it starts
  void* mapping = nullptr;           // stack with its guard page; null for the idle context
  size_t mapping_size = 0;
  const void* stack_bottom = nullptr;  // lowest stack address, for AddressSanitizer
  size_t stack_size = 0;
  void* fake_stack = nullptr;  // AddressSanitizer's fake stack while switched out
  unsigned valgrind_id = 0;

  Fiber() = default;
  Fiber(const Fiber&) = delete;
  Fiber& operator=(const Fiber&) = delete;
  ~Fiber() { release(); }

  void allocate() {
    mapping_size = kFiberStackSize + kGuardSize;
    mapping = mmap(nullptr, mapping_size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("no memory for a fiber stack");
    mprotect(mapping, kGuardSize, PROT_NONE);
    stack_bottom = static_cast<char*>(mapping) + kGuardSize;
    stack_size = kFiberStackSize;
#ifdef HS_ASAN_FIBERS
    // The shadow of an earlier fiber's stack at this address may still hold
    // its frames' red zones.
    __asan_unpoison_memory_region(stack_bottom, stack_size);
#endif
#ifdef HS_VALGRIND_STACKS
    valgrind_id =
        VALGRIND_STACK_REGISTER(stack_bottom, static_cast<const char*>(stack_bottom) + stack_size);
#endif
  }
  void release() {
    if (mapping == nullptr) return;
#ifdef HS_VALGRIND_STACKS
    VALGRIND_STACK_DEREGISTER(valgrind_id);
#endif
    munmap(mapping, mapping_size);
    mapping = nullptr;
    context = nullptr;
  }
  void* stack_top() const { return static_cast<char*>(mapping) + mapping_size; }
};

struct DpcEntry {
  const void* key;
  std::function<void()> routine;
};

struct TimedEvent {
  std::function<void()> action;
  std::string label;
};

struct InterruptRequest {
  std::function<void()> isr;
  std::string label;
};

}  // namespace

struct Machine::Impl {
  MachineOptions options;
  std::mt19937_64 rng;

  // `holder` is the context that owns the processor: a thread, or null
  // for the idle context.
  EmuThread* holder = nullptr;
  Fiber idle_fiber;
  Fiber* finished_fiber =
      nullptr;  // a thread's fiber that ended; its stack goes at the next switch

  std::vector<std::unique_ptr<EmuThread>> threads;
  std::deque<EmuThread*> ready;
  uint32_t next_thread_id = 1;

  // Processor state of the context that runs now.
  uint8_t irql = 0;
  bool interrupts_on = true;
  int interrupt_depth = 0;
  bool draining_dpcs = false;
  bool in_world = false;  // timed events are firing

  std::deque<DpcEntry> dpcs;
  std::deque<InterruptRequest> interrupts;
  std::deque<std::function<void()>> global_events;
  uint32_t next_global_event = 1;

  VTime now = 0;
  std::map<std::pair<VTime, uint64_t>, TimedEvent> events;
  std::unordered_map<uint64_t, VTime> event_times;
  uint64_t next_event_id = 1;

  Trace trace;
  FaultPlan faults;
  std::vector<std::pair<std::string, std::function<std::string()>>> report_sections;
  std::unordered_map<std::type_index, std::shared_ptr<void>> service_states;

  bool run_active = false;
  bool stopping = false;
  bool stopped = false;
  RunResult result;
  uint64_t steps = 0;

  // PCT.
  std::vector<uint64_t> change_points;
  int next_low_priority = 0;
  int world_priority = 0;

  // Real time.
  std::chrono::steady_clock::time_point real_start;
  std::map<int, std::function<void()>> fds;
  int wake_pipe[2] = {-1, -1};
  std::mutex host_mu;
  std::deque<std::function<void()>> host_posts;

  Fiber& fiber(EmuThread* t) { return t ? *static_cast<Fiber*>(t->host_) : idle_fiber; }

  // Leaves the running context `from` for `to` and returns once some
  // context jumps back to `from`. A `from` that has ended (`last`) never
  // comes back. The jump carries `from`, so that the context resumed learns
  // where `from` resumes.
  void jump(Fiber& from, Fiber& to, bool last = false);
  static void fiber_entry(fc::transfer_t transfer);
  // The half of a switch that runs in the context switched to.
  void arrived(fc::transfer_t transfer, Fiber& self);
};

// ------------------------------------------------------------------ basics

Machine::Machine(MachineOptions options) : impl_(std::make_unique<Impl>()) {
  if (g_machine != nullptr) throw std::logic_error("only one machine may exist at a time");
  g_machine = this;
  impl_->options = options;
  impl_->rng.seed(options.policy.seed);
  impl_->trace.set_clock([this] { return now(); });  // real time: the host's clock
  if (options.policy.kind == PolicyKind::Pct) {
    std::uniform_int_distribution<uint64_t> pick(1, kPctSteps);
    for (int i = 1; i < options.policy.depth; ++i) impl_->change_points.push_back(pick(impl_->rng));
    std::sort(impl_->change_points.begin(), impl_->change_points.end());
    impl_->world_priority = static_cast<int>(impl_->rng() % 1000) + 1000;
  }
  if (options.real_time) {
    impl_->real_start = std::chrono::steady_clock::now();
    if (pipe(impl_->wake_pipe) != 0) throw std::runtime_error("pipe");
  }
}

Machine::~Machine() {
  stop_all_threads();
  for (auto& t : impl_->threads) delete &impl_->fiber(t.get());
  if (impl_->wake_pipe[0] >= 0) {
    close(impl_->wake_pipe[0]);
    close(impl_->wake_pipe[1]);
  }
  g_machine = nullptr;
}

Machine& Machine::current() {
  if (g_machine == nullptr) {
    // A service called with no machine: nothing sane can happen.
    fprintf(stderr, "hs: a platform service was called with no machine\n");
    abort();
  }
  return *g_machine;
}

Machine* Machine::current_or_null() { return g_machine; }

std::shared_ptr<void>& Machine::state_slot(std::type_index type) {
  return impl_->service_states[type];
}

Trace& Machine::trace() { return impl_->trace; }
FaultPlan& Machine::faults() { return impl_->faults; }
const SchedulePolicy& Machine::policy() const { return impl_->options.policy; }
uint64_t Machine::steps() const { return impl_->steps; }
bool Machine::running() const { return impl_->run_active; }

VTime Machine::now() const {
  if (impl_->options.real_time) {
    auto elapsed = std::chrono::steady_clock::now() - impl_->real_start;
    VTime real = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
    return std::max(real, impl_->now);
  }
  return impl_->now;
}

// ----------------------------------------------------------------- threads

EmuThread& Machine::create_thread(std::string name, std::function<void()> body, bool daemon) {
  auto owned = std::make_unique<EmuThread>();
  EmuThread* t = owned.get();
  t->name_ = std::move(name);
  t->id_ = impl_->next_thread_id++;
  t->daemon_ = daemon;
  t->body_ = std::move(body);
  t->priority_ = static_cast<int>(impl_->rng() % 1000) + 1000;
  t->host_ = new Fiber;  // its stack is made when it first runs
  impl_->threads.push_back(std::move(owned));
  t->state_ = EmuThread::State::Ready;
  impl_->ready.push_back(t);
  return *t;
}

EmuThread* Machine::current_thread() { return impl_->holder; }

std::string Machine::current_context_name() {
  std::string base = impl_->holder ? impl_->holder->name_ : std::string("idle");
  if (impl_->interrupt_depth > 0) return base + " (interrupt)";
  if (impl_->draining_dpcs) return base + " (DPC)";
  return base;
}

void Machine::thread_main(EmuThread* t) {
  if (!t->kill_) {
    t->state_ = EmuThread::State::Running;
    try {
      t->body_();
      if (impl_->irql != 0) {
        violation("thread exit at raised IRQL",
                  "thread '" + t->name_ + "' ended at IRQL " + std::to_string(impl_->irql));
      }
    } catch (const RunStopped&) {
      // The run is over; unwind quietly.
    } catch (const std::exception& e) {
      record_stop(RunOutcome::Violation,
                  std::string("unhandled exception in thread '") + t->name_ + "': " + e.what());
    }
  }
  t->state_ = EmuThread::State::Done;
  t->waiting_on_.clear();
  t->body_ = nullptr;
  impl_->irql = 0;
  impl_->interrupts_on = true;
  EmuThread* next = impl_->stopping || impl_->stopped ? nullptr : pick_ready();
  hand_over_locked(next);
  impl_->jump(impl_->fiber(t), impl_->fiber(next), true);  // never comes back
}

void Machine::Impl::jump(Fiber& from, Fiber& to, bool last) {
  if (&from == &to) return;
  if (to.context == nullptr) {
    // First run of a thread's fiber: it starts in fiber_entry.
    to.allocate();
    to.context = fc::make_fcontext(to.stack_top(), to.stack_size, &Impl::fiber_entry);
  }
#ifdef HS_ASAN_FIBERS
  __sanitizer_start_switch_fiber(last ? nullptr : &from.fake_stack, to.stack_bottom, to.stack_size);
#endif
  if (last) finished_fiber = &from;
  fc::fcontext_t target = to.context;
  to.context = nullptr;
  fc::transfer_t transfer = fc::jump_fcontext(target, &from);
  arrived(transfer, from);
}

void Machine::Impl::arrived(fc::transfer_t transfer, Fiber& self) {
  Fiber& came_from = *static_cast<Fiber*>(transfer.data);
#ifdef HS_ASAN_FIBERS
  __sanitizer_finish_switch_fiber(self.fake_stack, &came_from.stack_bottom, &came_from.stack_size);
#else
  (void)self;
#endif
  if (finished_fiber == &came_from) {
    came_from.release();
    finished_fiber = nullptr;
  } else {
    came_from.context = transfer.fctx;
  }
}

void Machine::Impl::fiber_entry(fc::transfer_t transfer) {
  Machine& m = *g_machine;
  EmuThread* t = m.impl_->holder;
  m.impl_->arrived(transfer, m.impl_->fiber(t));
  m.thread_main(t);
}

// Chooses the next ready thread by the policy and takes it off the ready
// queue; null when none is ready.
EmuThread* Machine::pick_ready() {
  auto& ready = impl_->ready;
  if (ready.empty()) return nullptr;
  size_t index = 0;
  switch (impl_->options.policy.kind) {
    case PolicyKind::RunUntilBlock:
      break;
    case PolicyKind::Random:
      index = impl_->rng() % ready.size();
      break;
    case PolicyKind::Pct:
      for (size_t i = 1; i < ready.size(); ++i)
        if (ready[i]->priority_ > ready[index]->priority_) index = i;
      break;
  }
  EmuThread* t = ready[index];
  ready.erase(ready.begin() + static_cast<long>(index));
  return t;
}

// Gives the processor to `next` (a thread, or the idle context when null):
// its processor state. The caller then jumps to it.
void Machine::hand_over_locked(EmuThread* next) {
  impl_->holder = next;
  if (next) {
    impl_->irql = next->saved_irql_;
    impl_->interrupts_on = next->saved_if_;
    next->state_ = EmuThread::State::Running;
  } else {
    impl_->irql = 0;
    impl_->interrupts_on = true;
  }
}

// The current context gives the processor to `next` and waits until it is
// handed back. `self` is the current thread, or null for the idle context.
void Machine::switch_to(EmuThread* self, EmuThread* next) {
  if (self) {
    self->saved_irql_ = impl_->irql;
    self->saved_if_ = impl_->interrupts_on;
  }
  if (self == next) {
    // Nothing to switch: it keeps the processor.
    if (self) self->state_ = EmuThread::State::Running;
    return;
  }
  hand_over_locked(next);
  impl_->jump(impl_->fiber(self), impl_->fiber(next));
  if (self && self->kill_) throw RunStopped{"machine stopped"};
}

WakeReason Machine::block(std::string what, std::optional<VTime> deadline) {
  EmuThread* self = impl_->holder;
  if (self == nullptr || impl_->interrupt_depth > 0 || impl_->draining_dpcs) {
    violation("blocking wait in a context that cannot block",
              "a wait on " + what + " from " + current_context_name());
  }
  if (impl_->irql >= kDispatchLevel) {
    violation("blocking wait at DISPATCH_LEVEL",
              "a wait on " + what + " at IRQL " + std::to_string(impl_->irql));
  }
  if (!impl_->interrupts_on) {
    violation("blocking wait with interrupts disabled", "a wait on " + what);
  }
  self->state_ = EmuThread::State::Blocked;
  self->waiting_on_ = std::move(what);
  self->wake_reason_ = static_cast<int>(WakeReason::Signalled);
  self->timeout_event_ = 0;
  if (deadline) {
    self->timeout_event_ = at(
        *deadline,
        [this, self] {
          if (self->state_ == EmuThread::State::Blocked) {
            self->wake_reason_ = static_cast<int>(WakeReason::Timeout);
            self->timeout_event_ = 0;
            wake(*self);
          }
        },
        "timeout of " + self->name_);
  }
  switch_to(self, pick_ready());
  if (self->timeout_event_ != 0) cancel(self->timeout_event_);
  self->timeout_event_ = 0;
  self->waiting_on_.clear();
  return static_cast<WakeReason>(self->wake_reason_);
}

void Machine::wake(EmuThread& thread) {
  if (thread.state_ != EmuThread::State::Blocked) return;
  thread.state_ = EmuThread::State::Ready;
  impl_->ready.push_back(&thread);
}

void Machine::sleep_for(VTime duration) {
  service_point("sleep");
  block("sleep " + format_vtime(duration), now() + std::max<VTime>(duration, 0));
}

// ------------------------------------------------------------------- run

RunResult Machine::run() {
  if (impl_->holder != nullptr) throw std::logic_error("run() from an emulated thread");
  impl_->run_active = true;
  impl_->stopped = false;
  impl_->result = RunResult{};
  while (!impl_->stopped) {
    try {
      idle_turn();
    } catch (const RunStopped&) {
      // The report is recorded; fall through to the stop.
    }
  }
  impl_->run_active = false;
  impl_->result.end_time = impl_->now;
  // After a finished run only system threads are left, waiting for work;
  // they stay for the next run. A stopped run unwinds every thread.
  if (impl_->result.outcome != RunOutcome::Finished) stop_all_threads();
  return impl_->result;
}

// One turn of the idle context: interrupts, DPCs, a ready thread, or time.
void Machine::idle_turn() {
  impl_->irql = 0;
  impl_->interrupts_on = true;
  take_host_posts();
  deliver_interrupts();
  drain_dpcs();
  if (EmuThread* next = pick_ready()) {
    switch_to(nullptr, next);
    return;
  }
  bool waiting = false;
  for (auto& t : impl_->threads)
    if (!t->daemon_ && t->state_ != EmuThread::State::Done) waiting = true;
  if (!waiting) {
    record_stop(RunOutcome::Finished, "");
    return;
  }
  if (impl_->options.real_time) {
    wait_real_time();
    return;
  }
  if (impl_->events.empty()) {
    record_stop(RunOutcome::Hang, "HANG: no thread can run and nothing is due\n" + state_report());
    return;
  }
  VTime next = impl_->events.begin()->first.first;
  if (next > impl_->options.time_limit) {
    record_stop(RunOutcome::Hang, "HANG: virtual time limit " +
                                      format_vtime(impl_->options.time_limit) +
                                      " passed while threads still wait\n" + state_report());
    return;
  }
  fire_next_events();
}

// Moves the clock to the earliest due event and fires every event due then.
void Machine::fire_next_events() {
  if (impl_->events.empty()) return;
  VTime when = impl_->events.begin()->first.first;
  if (when > impl_->now) impl_->now = when;
  fire_due_events();
}

void Machine::fire_due_events() {
  bool was_in_world = impl_->in_world;
  impl_->in_world = true;
  while (!impl_->events.empty() && impl_->events.begin()->first.first <= now()) {
    auto node = impl_->events.extract(impl_->events.begin());
    impl_->event_times.erase(node.key().second);
    node.mapped().action();
  }
  impl_->in_world = was_in_world;
}

void Machine::record_stop(RunOutcome outcome, std::string report) {
  if (impl_->stopped) return;
  impl_->stopped = true;
  impl_->result.outcome = outcome;
  impl_->result.report = std::move(report);
}

void Machine::stop_all_threads() {
  impl_->stopping = true;
  for (auto& t : impl_->threads) {
    if (t->state_ == EmuThread::State::Done) continue;
    t->kill_ = true;
    // It runs until it has unwound and hands the processor back.
    impl_->holder = t.get();
    impl_->jump(impl_->idle_fiber, impl_->fiber(t.get()));
  }
  impl_->ready.clear();
  impl_->stopping = false;
  impl_->irql = 0;
  impl_->interrupts_on = true;
  impl_->interrupt_depth = 0;
  impl_->draining_dpcs = false;
}

void Machine::violation(std::string_view rule, std::string_view detail) {
  std::ostringstream out;
  out << "VERIFIER: " << rule << "\n  " << detail << "\n  in " << current_context_name()
      << " at IRQL " << int(impl_->irql) << ", time " << format_vtime(impl_->now) << ", "
      << impl_->options.policy.describe() << "\n";
  std::string report = out.str() + state_report();
  TraceEvent event;
  event.ev = "violation";
  event.add("rule", std::string(rule));
  event.text = "VERIFIER " + std::string(rule) + ": " + std::string(detail);
  impl_->trace.emit(std::move(event));
  record_stop(RunOutcome::Violation, report);
  throw RunStopped{std::string(rule)};
}

void Machine::add_report_section(std::string title, std::function<std::string()> section) {
  impl_->report_sections.emplace_back(std::move(title), std::move(section));
}

std::string Machine::state_report() {
  std::ostringstream out;
  out << "Threads:\n";
  for (auto& t : impl_->threads) {
    if (t->state_ == EmuThread::State::Done) continue;
    out << "  " << t->name_ << (t->daemon_ ? " (system)" : "") << ": ";
    switch (t->state_) {
      case EmuThread::State::Blocked:
        out << "waits on " << t->waiting_on_;
        break;
      case EmuThread::State::Running:
        out << "running";
        break;
      default:
        out << "ready";
        break;
    }
    out << "\n";
  }
  for (auto& [title, section] : impl_->report_sections) {
    std::string text = section();
    if (!text.empty()) out << title << ":\n" << text;
  }
  return out.str();
}

// ------------------------------------------------------ scheduling points

void Machine::service_point(std::string_view) {
  if (++impl_->steps > impl_->options.step_limit) {
    record_stop(RunOutcome::Hang, "HANG: step limit reached (a livelock?)\n" + state_report());
    throw RunStopped{"step limit"};
  }
  if (impl_->in_world || impl_->stopping) return;
  take_host_posts();
  deliver_interrupts();
  EmuThread* self = impl_->holder;
  if (self == nullptr || impl_->options.policy.kind == PolicyKind::RunUntilBlock) return;
  if (impl_->irql >= kDispatchLevel || impl_->interrupt_depth > 0 || impl_->draining_dpcs) return;

  bool move_time = false;
  EmuThread* next = nullptr;
  if (impl_->options.policy.kind == PolicyKind::Random) {
    uint64_t roll = impl_->rng() % 16;
    if (roll < 2 && !impl_->events.empty()) {
      move_time = true;
    } else if (roll < 6 && !impl_->ready.empty()) {
      size_t index = impl_->rng() % impl_->ready.size();
      next = impl_->ready[index];
      impl_->ready.erase(impl_->ready.begin() + static_cast<long>(index));
    }
  } else {
    // PCT: lower the running thread's priority at the change points; run
    // the highest-priority candidate (the world counts as one).
    while (impl_->next_low_priority < static_cast<int>(impl_->change_points.size()) &&
           impl_->steps >= impl_->change_points[impl_->next_low_priority]) {
      self->priority_ = impl_->next_low_priority++;
    }
    size_t best = impl_->ready.size();
    for (size_t i = 0; i < impl_->ready.size(); ++i)
      if (impl_->ready[i]->priority_ > self->priority_ &&
          (best == impl_->ready.size() ||
           impl_->ready[i]->priority_ > impl_->ready[best]->priority_))
        best = i;
    if (!impl_->events.empty() && impl_->world_priority > self->priority_ &&
        (best == impl_->ready.size() || impl_->world_priority > impl_->ready[best]->priority_)) {
      move_time = true;
      // The world runs once; afterwards it ranks below this thread until the
      // next change of priorities, so a run cannot spin on time alone.
      impl_->world_priority = self->priority_ - 1;
    } else if (best != impl_->ready.size()) {
      next = impl_->ready[best];
      impl_->ready.erase(impl_->ready.begin() + static_cast<long>(best));
    }
  }
  if (move_time) {
    // A running thread may lose the processor for up to one clock tick, as
    // to a higher-priority thread or an interrupt storm; longer stalls are
    // not what a schedule explores (they would, say, let a handset fall
    // asleep in the middle of a command).
    VTime when = impl_->events.begin()->first.first;
    if (when <= impl_->now + kClockTick && when <= impl_->options.time_limit) {
      fire_next_events();
      deliver_interrupts();
      drain_dpcs();
    }
    return;
  }
  if (next) {
    self->state_ = EmuThread::State::Ready;
    impl_->ready.push_back(self);
    switch_to(self, next);
  }
}

// ------------------------------------------------------ processor state

uint8_t Machine::irql() const { return impl_->irql; }

uint8_t Machine::raise_irql(uint8_t new_irql) {
  uint8_t old = impl_->irql;
  if (new_irql < old) {
    violation("IRQL raised to a lower level",
              "KeRaiseIrql to " + std::to_string(new_irql) + " from " + std::to_string(old));
  }
  impl_->irql = new_irql;
  return old;
}

void Machine::lower_irql(uint8_t new_irql) {
  uint8_t old = impl_->irql;
  if (new_irql > old) {
    violation("IRQL lowered to a higher level",
              "KeLowerIrql to " + std::to_string(new_irql) + " from " + std::to_string(old));
  }
  impl_->irql = new_irql;
  if (new_irql < kDispatchLevel) drain_dpcs();
  if (new_irql <= kDeviceLevel) deliver_interrupts();
}

bool Machine::interrupts_enabled() const { return impl_->interrupts_on; }
void Machine::disable_interrupts() { impl_->interrupts_on = false; }
void Machine::enable_interrupts() {
  impl_->interrupts_on = true;
  deliver_interrupts();
}
bool Machine::in_interrupt() const { return impl_->interrupt_depth > 0; }
int Machine::interrupt_depth() const { return impl_->interrupt_depth; }

IrqlGuard::IrqlGuard(uint8_t level) : old_(Machine::current().raise_irql(level)) {}
IrqlGuard::~IrqlGuard() { Machine::current().lower_irql(old_); }

// ---------------------------------------------------------------- DPCs

void Machine::queue_dpc(std::function<void()> routine, const void* key) {
  impl_->dpcs.push_back(DpcEntry{key, std::move(routine)});
}

bool Machine::remove_dpc(const void* key) {
  auto& q = impl_->dpcs;
  auto it = std::find_if(q.begin(), q.end(), [&](const DpcEntry& e) { return e.key == key; });
  if (it == q.end()) return false;
  q.erase(it);
  return true;
}

bool Machine::dpc_queued(const void* key) const {
  const auto& q = impl_->dpcs;
  return std::any_of(q.begin(), q.end(), [&](const DpcEntry& e) { return e.key == key; });
}

std::vector<const void*> Machine::dpcs_queued_in(const void* begin, const void* end) const {
  std::vector<const void*> keys;
  for (const DpcEntry& e : impl_->dpcs)
    if (std::less_equal<const void*>()(begin, e.key) && std::less<const void*>()(e.key, end))
      keys.push_back(e.key);
  return keys;
}

void Machine::drain_dpcs() {
  if (impl_->draining_dpcs || impl_->irql >= kDispatchLevel || impl_->in_world) return;
  if (impl_->dpcs.empty()) return;
  uint8_t old = impl_->irql;
  impl_->irql = kDispatchLevel;
  impl_->draining_dpcs = true;
  while (!impl_->dpcs.empty()) {
    DpcEntry entry = std::move(impl_->dpcs.front());
    impl_->dpcs.pop_front();
    entry.routine();
    if (impl_->irql != kDispatchLevel) {
      impl_->draining_dpcs = false;
      violation("DPC returned at the wrong IRQL",
                "a DPC routine returned at IRQL " + std::to_string(impl_->irql));
    }
  }
  impl_->draining_dpcs = false;
  impl_->irql = old;
}

// ----------------------------------------------------------- time events

Machine::EventId Machine::at(VTime when, std::function<void()> action, std::string label) {
  EventId id = impl_->next_event_id++;
  if (when < impl_->now) when = impl_->now;
  impl_->events.emplace(std::make_pair(when, id), TimedEvent{std::move(action), std::move(label)});
  impl_->event_times.emplace(id, when);
  return id;
}

Machine::EventId Machine::after(VTime delay, std::function<void()> action, std::string label) {
  return at(now() + std::max<VTime>(delay, 0), std::move(action), std::move(label));
}

bool Machine::cancel(EventId id) {
  auto it = impl_->event_times.find(id);
  if (it == impl_->event_times.end()) return false;
  impl_->events.erase(std::make_pair(it->second, id));
  impl_->event_times.erase(it);
  return true;
}

// ------------------------------------------------------------ interrupts

void Machine::post_interrupt(std::function<void()> isr, std::string label) {
  impl_->interrupts.push_back(InterruptRequest{std::move(isr), std::move(label)});
}

uint32_t Machine::schedule_global_event(std::function<void()> routine) {
  impl_->global_events.push_back(std::move(routine));
  uint32_t handle = impl_->next_global_event++;
  if (impl_->interrupt_depth == 0 && !impl_->in_world) run_global_events();
  return handle;
}

void Machine::deliver_interrupts() {
  if (impl_->in_world || impl_->stopping) return;
  while (!impl_->interrupts.empty() && impl_->interrupts_on && impl_->irql <= kDeviceLevel &&
         impl_->interrupt_depth < kMaxInterruptNesting) {
    InterruptRequest request = std::move(impl_->interrupts.front());
    impl_->interrupts.pop_front();
    uint8_t old = impl_->irql;
    impl_->irql = kDeviceLevel;
    ++impl_->interrupt_depth;
    request.isr();
    --impl_->interrupt_depth;
    if (!impl_->interrupts_on) {
      impl_->interrupts_on = true;
      violation("interrupt routine returned with interrupts disabled", request.label);
    }
    impl_->irql = old;
    if (impl_->interrupt_depth == 0) run_global_events();
  }
}

// VMM global events run once the outermost interrupt has returned, at
// DISPATCH_LEVEL; DPCs they queue run when the IRQL falls again.
void Machine::run_global_events() {
  if (impl_->global_events.empty()) return;
  uint8_t old = impl_->irql;
  if (impl_->irql < kDispatchLevel) impl_->irql = kDispatchLevel;
  while (!impl_->global_events.empty()) {
    auto routine = std::move(impl_->global_events.front());
    impl_->global_events.pop_front();
    routine();
  }
  impl_->irql = old;
  if (old < kDispatchLevel) drain_dpcs();
}

// ------------------------------------------------------------ real time

void Machine::watch_fd(int fd, std::function<void()> on_readable) {
  impl_->fds[fd] = std::move(on_readable);
}

void Machine::unwatch_fd(int fd) { impl_->fds.erase(fd); }

void Machine::post_from_host(std::function<void()> action) {
  {
    std::lock_guard lock(impl_->host_mu);
    impl_->host_posts.push_back(std::move(action));
  }
  if (impl_->wake_pipe[1] >= 0) {
    char byte = 1;
    ssize_t written = write(impl_->wake_pipe[1], &byte, 1);
    (void)written;
  }
}

void Machine::take_host_posts() {
  if (!impl_->options.real_time) return;
  std::deque<std::function<void()>> posts;
  {
    std::lock_guard lock(impl_->host_mu);
    posts.swap(impl_->host_posts);
  }
  bool was_in_world = impl_->in_world;
  impl_->in_world = true;
  for (auto& action : posts) action();
  impl_->in_world = was_in_world;
}

// Idle in real time: sleep on the watched descriptors until the next event
// is due by the host's clock.
void Machine::wait_real_time() {
  VTime current = now();
  impl_->now = current;
  int timeout_ms = 1000;
  if (!impl_->events.empty()) {
    VTime due = impl_->events.begin()->first.first;
    if (due <= current) {
      fire_due_events();
      return;
    }
    timeout_ms = static_cast<int>(std::min<VTime>((due - current + 9999) / 10000, 1000));
  }
  std::vector<pollfd> polls;
  polls.push_back(pollfd{impl_->wake_pipe[0], POLLIN, 0});
  for (auto& [fd, _] : impl_->fds) polls.push_back(pollfd{fd, POLLIN, 0});
  poll(polls.data(), polls.size(), timeout_ms);
  impl_->now = now();
  if (polls[0].revents & POLLIN) {
    char buffer[64];
    ssize_t got = read(impl_->wake_pipe[0], buffer, sizeof buffer);
    (void)got;
  }
  bool was_in_world = impl_->in_world;
  impl_->in_world = true;
  for (size_t i = 1; i < polls.size(); ++i) {
    if (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) {
      auto it = impl_->fds.find(polls[i].fd);
      if (it != impl_->fds.end()) {
        auto callback = it->second;
        callback();
      }
    }
  }
  impl_->in_world = was_in_world;
  take_host_posts();
  fire_due_events();
}

// ---------------------------------------------------------------- helpers

std::string format_vtime(VTime t) {
  char buffer[48];
  snprintf(buffer, sizeof buffer, "%lld.%07llds", static_cast<long long>(t / kSecond),
           static_cast<long long>(t % kSecond));
  return buffer;
}

}  // namespace hs
