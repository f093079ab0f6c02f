// The emulated single-processor machine: processor state (IRQL, interrupt
// flag), emulated threads that take turns on the one processor, the DPC
// queue, virtual time with its timed events, device interrupts, the
// scheduler policies, hang detection, the verifier's stop and the trace.
//
// Exactly one emulated thread (or the machine's own idle context) runs at a
// time. Every platform service is a scheduling point (service_point), where
// pending interrupts are delivered and, under the random and PCT policies,
// another thread may be given the processor or time may move on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

#include "machine/faults.h"
#include "machine/policy.h"
#include "machine/trace.h"
#include "machine/vtime.h"

namespace hs {

class Machine;

// An emulated thread. Its body runs on a host thread of its own, but only
// while the machine hands it the processor; exactly one context runs at a
// time.
class EmuThread {
 public:
  const std::string& name() const { return name_; }
  uint32_t id() const { return id_; }
  bool finished() const { return state_ == State::Done; }
  bool daemon() const { return daemon_; }
  // What the thread waits on, empty when it is not blocked.
  const std::string& waiting_on() const { return waiting_on_; }

 private:
  friend class Machine;
  enum class State { Created, Ready, Running, Blocked, Done };
  std::string name_;
  uint32_t id_ = 0;
  bool daemon_ = false;
  State state_ = State::Created;
  std::string waiting_on_;
  uint8_t saved_irql_ = 0;
  bool saved_if_ = true;
  bool kill_ = false;
  int wake_reason_ = 0;
  uint64_t timeout_event_ = 0;
  int priority_ = 0;  // PCT
  std::function<void()> body_;
  void* host_ = nullptr;  // the host thread and its baton, owned by the machine
};

// Thrown through emulated code to end a run (verifier violation, hang,
// machine shut down). Emulated thread bodies must let it pass.
struct RunStopped {
  std::string reason;
};

enum class RunOutcome { Finished, Violation, Hang };

struct RunResult {
  RunOutcome outcome = RunOutcome::Finished;
  std::string report;  // the verifier's or the hang detector's report
  VTime end_time = 0;
  bool ok() const { return outcome == RunOutcome::Finished; }
};

struct MachineOptions {
  SchedulePolicy policy;              // run-until-block by default
  VTime time_limit = 3600 * kSecond;  // a run whose clock passes this is a hang
  uint64_t step_limit = 50'000'000;   // scheduling points before a run is a hang
  bool real_time = false;             // clock follows the host (real ports)
};

// Why a blocked thread was made ready again.
enum class WakeReason { Signalled, Timeout };

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The one machine; valid while it exists. Kernel services find it here.
  static Machine& current();
  static Machine* current_or_null();

  // ---- threads
  // Creates an emulated thread that runs `body` at PASSIVE_LEVEL once the
  // scheduler gives it the processor. Daemon threads (system workers) do not
  // keep run() going. The machine owns the thread.
  EmuThread& create_thread(std::string name, std::function<void()> body, bool daemon = false);
  EmuThread* current_thread();  // null in the idle context
  std::string current_context_name();

  // Runs until every non-daemon thread has finished, a violation stops the
  // run, or nothing can run while threads still wait (a hang).
  RunResult run();
  bool running() const;

  // Blocks the current thread until wake() or the deadline. `what` names
  // the object waited on for hang reports. Only below DISPATCH_LEVEL.
  WakeReason block(std::string what, std::optional<VTime> deadline);
  // Makes a blocked thread ready again (it runs when the scheduler picks it).
  void wake(EmuThread& thread);
  // Blocks the current thread for a virtual duration.
  void sleep_for(VTime duration);

  // ---- processor state
  uint8_t irql() const;
  uint8_t raise_irql(uint8_t new_irql);  // returns the old IRQL
  void lower_irql(uint8_t new_irql);     // runs DPCs when it falls below DISPATCH
  bool interrupts_enabled() const;
  void disable_interrupts();
  void enable_interrupts();  // delivers pending interrupts
  bool in_interrupt() const;
  int interrupt_depth() const;

  // ---- scheduling points
  // Called on entry to every platform service: delivers interrupts and lets
  // the policy preempt or move time on.
  void service_point(std::string_view service);

  // ---- DPCs (the kernel's KDPC queue runs through these)
  void queue_dpc(std::function<void()> routine, const void* key);
  bool remove_dpc(const void* key);
  bool dpc_queued(const void* key) const;
  // The keys of queued DPCs that lie in [begin, end), in queue order.
  std::vector<const void*> dpcs_queued_in(const void* begin, const void* end) const;
  void drain_dpcs();  // runs queued DPCs if the IRQL allows

  // ---- time and timed events (the world moving on)
  VTime now() const;
  using EventId = uint64_t;
  // Runs `action` when the clock reaches `when` (in the world's context: no
  // emulated thread, no kernel blocking). Returns an id for cancel().
  EventId at(VTime when, std::function<void()> action, std::string label = {});
  EventId after(VTime delay, std::function<void()> action, std::string label = {});
  bool cancel(EventId id);

  // ---- interrupts
  // A device asks for its interrupt service routine to run. It runs at
  // SERIAL_DEVICE_LEVEL in whatever context holds the processor, as soon as
  // the interrupt flag is set; it may nest.
  void post_interrupt(std::function<void()> isr, std::string label = {});
  // VMM global event: runs once after the outermost interrupt has returned,
  // at DISPATCH_LEVEL. Returns a handle.
  uint32_t schedule_global_event(std::function<void()> routine);

  // ---- diagnostics
  Trace& trace();
  FaultPlan& faults();
  const SchedulePolicy& policy() const;
  // Stops the run with a verifier report naming the rule. Never returns.
  [[noreturn]] void violation(std::string_view rule, std::string_view detail);
  // Adds a section to hang and violation reports (e.g. outstanding requests).
  void add_report_section(std::string title, std::function<std::string()> section);
  std::string state_report();
  // Host-side hooks that run when a run ends (verifier leak checks etc.).
  uint64_t steps() const;

  // Per-machine state of a service family (timers of the kernel, ports of
  // VCOMM, ...), created on first use and destroyed with the machine.
  template <class T>
  T& service_state() {
    std::shared_ptr<void>& slot = state_slot(std::type_index(typeid(T)));
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

  // Real-time mode: the clock follows the host's, idle waits block on file
  // descriptors registered here.
  void watch_fd(int fd, std::function<void()> on_readable);
  void unwatch_fd(int fd);
  // Another host thread hands the machine work (real-time mode); it runs in
  // the world's context at the next scheduling point or idle turn.
  void post_from_host(std::function<void()> action);

 private:
  std::shared_ptr<void>& state_slot(std::type_index type);
  void thread_main(EmuThread* t);
  EmuThread* pick_ready();
  void hand_over_locked(EmuThread* next);
  void switch_to(EmuThread* self, EmuThread* next);
  void idle_turn();
  void fire_next_events();
  void fire_due_events();
  void record_stop(RunOutcome outcome, std::string report);
  void stop_all_threads();
  void deliver_interrupts();
  void run_global_events();
  void take_host_posts();
  void wait_real_time();
  friend class EmuThread;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Raises the IRQL for a scope and lowers it again.
class IrqlGuard {
 public:
  explicit IrqlGuard(uint8_t level);
  ~IrqlGuard();
  IrqlGuard(const IrqlGuard&) = delete;
  IrqlGuard& operator=(const IrqlGuard&) = delete;

 private:
  uint8_t old_;
};

}  // namespace hs
