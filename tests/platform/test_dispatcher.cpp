// Dispatcher objects, waits, spin locks, timers and DPCs as drivers see them.
#include <gtest/gtest.h>
#include <wdm.h>

#include <string>

#include "machine/machine.h"

namespace hs {
namespace {

LARGE_INTEGER relative(VTime t) {
  LARGE_INTEGER value;
  value.QuadPart = -t;
  return value;
}

TEST(KernelEvents, SynchronizationEventReleasesOneWaiterAndResets) {
  Machine m;
  KEVENT event;
  int woken = 0;
  m.create_thread("setup", [&] { KeInitializeEvent(&event, SynchronizationEvent, FALSE); });
  ASSERT_TRUE(m.run().ok());
  for (int i = 0; i < 2; ++i)
    m.create_thread("waiter", [&] {
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                STATUS_SUCCESS);
      ++woken;
    });
  m.create_thread("setter", [&] {
    m.sleep_for(kMillisecond);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    m.sleep_for(kMillisecond);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(woken, 2);
}

TEST(KernelEvents, NotificationEventReleasesAllAndStaysSignalled) {
  Machine m;
  KEVENT event;
  int woken = 0;
  m.create_thread("setter", [&] {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (int i = 0; i < 3; ++i)
      m.create_thread("waiter", [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
      });
    m.sleep_for(kMillisecond);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    m.sleep_for(kMillisecond);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(woken, 3);
}

TEST(KernelWaits, TimeoutsZeroRelativeAndAbsolute) {
  Machine m;
  m.create_thread("t", [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(m.now(), 0);
    LARGE_INTEGER rel = relative(200 * kMillisecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &rel), STATUS_TIMEOUT);
    EXPECT_EQ(m.now(), 200 * kMillisecond);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    LARGE_INTEGER absolute;
    absolute.QuadPart = now.QuadPart + kSecond;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &absolute),
              STATUS_TIMEOUT);
    EXPECT_EQ(m.now(), 1200 * kMillisecond);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  });
  ASSERT_TRUE(m.run().ok());
}

TEST(KernelWaits, ZeroTimeoutIsAllowedAtDispatchLevelABlockingWaitIsNot) {
  Machine m;
  m.create_thread("t", [&] {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("blocking wait at DISPATCH_LEVEL"), std::string::npos);
}

TEST(KernelMutex, OwnerReacquiresRecursivelyOthersWaitUntilFullyReleased) {
  Machine m;
  KMUTEX mutex;
  std::string log;
  m.create_thread("owner", [&] {
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    m.create_thread("other", [&] {
      KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      log += "other;";
      KeReleaseMutex(&mutex, FALSE);
    });
    m.sleep_for(kMillisecond);
    KeReleaseMutex(&mutex, FALSE);
    m.sleep_for(kMillisecond);
    log += "released once;";
    KeReleaseMutex(&mutex, FALSE);
    m.sleep_for(kMillisecond);
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(log, "released once;other;");
}

TEST(KernelMutex, ReleaseByANonOwnerStopsTheRun) {
  Machine m;
  KMUTEX mutex;
  m.create_thread("owner", [&] {
    KeInitializeMutex(&mutex, 0);
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    m.create_thread("thief", [&] { KeReleaseMutex(&mutex, FALSE); });
    m.sleep_for(kMillisecond);
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("does not own it"), std::string::npos) << result.report;
}

TEST(KernelLocks, SpinLockRaisesToDispatchAndCatchesDoubleRelease) {
  Machine m;
  m.create_thread("t", [&] {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLockFromDpcLevel(&lock);
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("spin lock released twice"), std::string::npos);
}

TEST(KernelLocks, LockOrderInversionIsReported) {
  Machine m;
  m.create_thread("t", [&] {
    KMUTEX a, b;
    KeInitializeMutex(&a, 0);
    KeInitializeMutex(&b, 0);
    KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
    KeReleaseMutex(&b, FALSE);
    KeReleaseMutex(&a, FALSE);
    KeWaitForSingleObject(&b, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&a, Executive, KernelMode, FALSE, nullptr);
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("lock order inversion"), std::string::npos);
}

struct TimerLog {
  std::string text;
};

VOID NTAPI LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* log = static_cast<std::pair<TimerLog*, char>*>(context);
  log->first->text += log->second;
  log->first->text += "@" + std::to_string(Machine::current().now() / kMillisecond) + ";";
}

TEST(KernelTimers, ExpireInDueOrderResetCancelAndSignal) {
  Machine m;
  TimerLog log;
  std::pair<TimerLog*, char> ca{&log, 'a'}, cb{&log, 'b'}, cc{&log, 'c'};
  KTIMER ta, tb, tc;
  KDPC da, db, dc;
  m.create_thread("t", [&] {
    KeInitializeTimer(&ta);
    KeInitializeTimer(&tb);
    KeInitializeTimer(&tc);
    KeInitializeDpc(&da, LogDpc, &ca);
    KeInitializeDpc(&db, LogDpc, &cb);
    KeInitializeDpc(&dc, LogDpc, &cc);
    EXPECT_FALSE(KeSetTimer(&ta, relative(30 * kMillisecond), &da));
    KeSetTimer(&tb, relative(10 * kMillisecond), &db);
    KeSetTimer(&tc, relative(20 * kMillisecond), &dc);
    EXPECT_TRUE(KeSetTimer(&tb, relative(40 * kMillisecond), &db));  // moved
    EXPECT_TRUE(KeCancelTimer(&tc));
    EXPECT_FALSE(KeCancelTimer(&tc));
    EXPECT_EQ(KeWaitForSingleObject(&ta, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&ta));
    m.sleep_for(20 * kMillisecond);
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(log.text, "a@30;b@40;");
}

TEST(KernelTimers, ReinitialisingASetTimerOrQueuedDpcIsReported) {
  Machine m;
  m.create_thread("t", [&] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, relative(kSecond), nullptr);
    KeInitializeTimer(&timer);
  });
  RunResult result = m.run();
  EXPECT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("timer re-initialised while set"), std::string::npos);
}

TEST(KernelTimers, TenVirtualSecondsOfTickTimersWithAWaitingThread) {
  Machine m;
  int ticks = 0;
  m.create_thread("waiter", [&] {
    KTIMER timer;
    KeInitializeTimer(&timer);
    for (int i = 0; i < 1000; ++i) {
      KeSetTimer(&timer, relative(10 * kMillisecond), nullptr);
      KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
      ++ticks;
    }
  });
  ASSERT_TRUE(m.run().ok());
  EXPECT_EQ(ticks, 1000);
  EXPECT_EQ(m.now(), 10 * kSecond);
  LARGE_INTEGER count;
  KeQueryTickCount(&count);
  EXPECT_EQ(count.QuadPart, 1000);
  EXPECT_EQ(KeQueryTimeIncrement(), 100000u);
}

}  // namespace
}  // namespace hs
