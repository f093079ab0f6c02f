// The machine's real-time mode: the clock follows the host's, idle waits
// block on watched descriptors and wake for work posted by host threads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "machine/machine.h"

namespace hs {
namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

MachineOptions real_time() {
  MachineOptions options;
  options.real_time = true;
  return options;
}

TEST(RealTimeMachine, SleepsAndTimedEventsFollowTheHostClock) {
  Machine machine(real_time());
  double slept = 0;
  VTime virtual_slept = 0;
  VTime event_at = -1;
  machine.create_thread("sleeper", [&] {
    machine.after(10 * kMillisecond, [&] { event_at = machine.now(); });
    auto start = Clock::now();
    VTime before = machine.now();
    machine.sleep_for(40 * kMillisecond);
    slept = ms_since(start);
    virtual_slept = machine.now() - before;
  });
  RunResult result = machine.run();
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_GE(slept, 39.0);
  EXPECT_LT(slept, 1000.0);
  EXPECT_GE(virtual_slept, 40 * kMillisecond);
  EXPECT_GE(event_at, 10 * kMillisecond);
}

TEST(RealTimeMachine, TraceTimesAreTheHostClocksToo) {
  Machine machine(real_time());
  machine.create_thread("t", [&] {
    machine.sleep_for(20 * kMillisecond);
    TraceEvent event;
    event.ev = "note";
    machine.trace().emit(event);
  });
  ASSERT_TRUE(machine.run().ok());
  ASSERT_EQ(machine.trace().events().size(), 1u);
  EXPECT_GE(machine.trace().events()[0].t, 20 * kMillisecond);
}

// A thread blocked with a far deadline is woken by what a descriptor brings
// (watch_fd) or a host thread posts (post_from_host), long before it.
TEST(RealTimeMachine, DescriptorsAndHostPostsWakeTheIdleMachine) {
  for (bool by_descriptor : {true, false}) {
    SCOPED_TRACE(by_descriptor ? "watch_fd" : "post_from_host");
    Machine machine(real_time());
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EmuThread* waiter = nullptr;
    bool woken = false;
    machine.watch_fd(fds[0], [&] {
      char byte;
      if (read(fds[0], &byte, 1) == 1 && waiter) {
        woken = true;
        machine.wake(*waiter);
      }
    });
    double waited = 0;
    waiter = &machine.create_thread("waiter", [&] {
      auto start = Clock::now();
      while (!woken && ms_since(start) < 3000)
        machine.block("the host", machine.now() + 2 * kSecond);
      waited = ms_since(start);
    });
    std::thread host([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (by_descriptor) {
        char byte = 1;
        ASSERT_EQ(write(fds[1], &byte, 1), 1);
      } else {
        machine.post_from_host([&] {
          woken = true;
          machine.wake(*waiter);
        });
      }
    });
    RunResult result = machine.run();
    host.join();
    machine.unwatch_fd(fds[0]);
    close(fds[0]);
    close(fds[1]);
    ASSERT_TRUE(result.ok()) << result.report;
    EXPECT_TRUE(woken);
    EXPECT_LT(waited, 1000.0);
  }
}

}  // namespace
}  // namespace hs
