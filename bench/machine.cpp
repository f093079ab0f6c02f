// Costs of the emulated machine: a thread switch, a timer DPC, and virtual
// seconds simulated per real second for a timer-driven run.
#include <benchmark/benchmark.h>
#include <wdm.h>

#include "machine/machine.h"

namespace {

using hs::kMillisecond;
using hs::Machine;

LARGE_INTEGER relative(hs::VTime t) {
  LARGE_INTEGER value;
  value.QuadPart = -t;
  return value;
}

// Two threads hand the processor to each other through a synchronization
// event pair: each iteration is two switches.
void BM_ThreadSwitch(benchmark::State& state) {
  Machine m;
  KEVENT ping, pong;
  bool stop = false;
  m.create_thread("setup", [&] {
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  });
  m.run();
  m.create_thread(
      "ponger",
      [&] {
        for (;;) {
          KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
          if (stop) return;
          KeSetEvent(&pong, 0, FALSE);
        }
      },
      true);
  m.create_thread("pinger", [&] {
    for (auto _ : state) {
      KeSetEvent(&ping, 0, FALSE);
      KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, 0, FALSE);
  });
  m.run();
  state.counters["switches"] = benchmark::Counter(2.0 * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThreadSwitch);

VOID NTAPI CountDpc(PKDPC, PVOID context, PVOID, PVOID) { ++*static_cast<int64_t*>(context); }

// A periodic 10 ms timer whose DPC re-arms it, with a thread that waits for
// the whole run: the DPCs run in the idle context without switches.
void BM_TimerDpc(benchmark::State& state) {
  Machine m;
  KTIMER timer;
  KDPC dpc;
  int64_t fired = 0;
  m.create_thread("setup", [&] {
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, CountDpc, &fired);
  });
  m.run();
  for (auto _ : state) {
    m.create_thread("t", [&] {
      KeSetTimer(&timer, relative(10 * kMillisecond), &dpc);
      KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    });
    m.run();
  }
  state.counters["dpcs"] = benchmark::Counter(static_cast<double>(fired), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TimerDpc);

// Virtual seconds per real second: a thread waits on a 10 ms timer 100
// times a virtual second, as a polling driver would.
void BM_VirtualSecondsPerRealSecond(benchmark::State& state) {
  Machine m;
  for (auto _ : state) {
    m.create_thread("waiter", [&] {
      KTIMER timer;
      KeInitializeTimer(&timer);
      for (int i = 0; i < 100; ++i) {
        KeSetTimer(&timer, relative(10 * kMillisecond), nullptr);
        KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
      }
    });
    m.run();
  }
  state.counters["virtual_s_per_s"] =
      benchmark::Counter(static_cast<double>(m.now()) / hs::kSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VirtualSecondsPerRealSecond);

}  // namespace

BENCHMARK_MAIN();
