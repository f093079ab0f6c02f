// Requests as the kernel moves them: the IRP's layout after IoAllocateIrp,
// what IofCallDriver and IofCompleteRequest do to the stack locations, the
// completion-routine rules, cancel, forced pending, device queues and work
// items. Two built-in test devices, "upper" above "lower", whose dispatch
// routines each test supplies.
#include "ke_fixture.h"

namespace hs::test {
namespace {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
Dispatch* g_upper = nullptr;  // the current test's dispatch routines
Dispatch* g_lower = nullptr;

NTSTATUS NTAPI upper_dispatch(PDEVICE_OBJECT d, PIRP irp) { return (*g_upper)(d, irp); }
NTSTATUS NTAPI lower_dispatch(PDEVICE_OBJECT d, PIRP irp) { return (*g_lower)(d, irp); }
NTSTATUS NTAPI upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = upper_dispatch;
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI lower_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_READ] = lower_dispatch;
  return STATUS_SUCCESS;
}

NTSTATUS complete_with(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = info;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class KernelRequests : public ::testing::Test {
 protected:
  KernelRequests() {
    g_upper = &upper;
    g_lower = &lower;
    f.kernel.register_builtin_driver("upper", upper_entry);
    f.kernel.register_builtin_driver("lower", lower_entry);
    IoCreateDevice(f.kernel.load_driver("lower"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &lower_device);
    IoCreateDevice(f.kernel.load_driver("upper"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &upper_device);
    IoAttachDeviceToDeviceStack(upper_device, lower_device);
    upper_device->Flags &= ~DO_DEVICE_INITIALIZING;
    lower_device->Flags &= ~DO_DEVICE_INITIALIZING;
    // By default the upper device passes requests down untouched.
    upper = [this](PDEVICE_OBJECT, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(lower_device, irp);
    };
  }
  ~KernelRequests() override { g_upper = g_lower = nullptr; }

  KernelFixture f;
  Dispatch upper, lower;
  PDEVICE_OBJECT upper_device = nullptr;
  PDEVICE_OBJECT lower_device = nullptr;
};

class KernelIrpLayout : public ::testing::TestWithParam<int> {};

TEST_P(KernelIrpLayout, NewIrpStandsAboveItsLastStackLocation) {
  KernelFixture f;
  CCHAR n = static_cast<CCHAR>(GetParam());
  PIRP irp = IoAllocateIrp(n, FALSE);
  ASSERT_NE(irp, nullptr);
  auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  EXPECT_EQ(irp->Type, 6);
  EXPECT_EQ(irp->Size, sizeof(IRP) + n * sizeof(IO_STACK_LOCATION));
  EXPECT_EQ(irp->StackCount, n);
  EXPECT_EQ(irp->CurrentLocation, n + 1);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + n);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + n - 1);
  EXPECT_EQ(irp->IoStatus.Status, 0);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  EXPECT_FALSE(irp->PendingReturned);
  for (int i = 0; i < n; ++i) EXPECT_EQ(first[i].Control, 0);
  IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(StackSizes, KernelIrpLayout, ::testing::Values(1, 2, 5));

TEST_F(KernelRequests, CallDriverMovesDownAndCompletionWalksBackUp) {
  struct Seen {
    PDEVICE_OBJECT routine_device = nullptr;
    int routine_location = 0;
    int upper_location = 0, lower_location = 0;
    PDEVICE_OBJECT lower_stack_device = nullptr;
  } seen;
  auto routine = [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
    auto* s = static_cast<Seen*>(context);
    s->routine_device = device;
    s->routine_location = irp->CurrentLocation;
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  upper = [&](PDEVICE_OBJECT, PIRP irp) {
    seen.upper_location = irp->CurrentLocation;
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, upper_device);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, &seen, TRUE, TRUE, TRUE);
    return IoCallDriver(lower_device, irp);
  };
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    seen.lower_location = irp->CurrentLocation;
    seen.lower_stack_device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length, 5u);  // copied down
    return complete_with(irp, STATUS_SUCCESS, 5);
  };
  RunResult result = f.run([&] {
    auto r = send_request(upper_device, {IRP_MJ_READ, 5});
    EXPECT_EQ(r->returned, STATUS_SUCCESS);
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->info, 5u);
    EXPECT_EQ(r->completions, 1);
    EXPECT_FALSE(r->pending_returned);
  });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(seen.upper_location, 2);
  EXPECT_EQ(seen.lower_location, 1);
  EXPECT_EQ(seen.lower_stack_device, lower_device);
  EXPECT_EQ(seen.routine_device, upper_device);  // the device of the location above
  EXPECT_EQ(seen.routine_location, 2);
}

TEST_F(KernelRequests, MoreProcessingRequiredStopsCompletionUntilTheDriverCompletesAgain) {
  int routine_calls = 0;
  auto routine = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
    ++*static_cast<int*>(context);
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  upper = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, &routine_calls, TRUE, TRUE, TRUE);
    IoCallDriver(lower_device, irp);
    EXPECT_EQ(routine_calls, 1);
    EXPECT_EQ(irp->CurrentLocation, 2);  // back at the upper device's location
    EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
    return complete_with(irp, STATUS_SUCCESS, 1);
  };
  lower = [&](PDEVICE_OBJECT, PIRP irp) { return complete_with(irp, STATUS_UNSUCCESSFUL); };
  RunResult result = f.run([&] {
    auto r = send_request(upper_device, {IRP_MJ_READ, 1});
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->completions, 1);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST_F(KernelRequests, PendingReturnedIsCarriedUpWhenNoRoutineIntervenes) {
  PIRP held = nullptr;
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  RunResult result = f.run([&] {
    auto r = start_request(upper_device, {IRP_MJ_READ, 1});
    EXPECT_EQ(r->returned, STATUS_PENDING);
    EXPECT_EQ(r->completions, 0);
    complete_with(held, STATUS_SUCCESS, 1);  // later, as the device finishes
    finish_request(*r);
    EXPECT_TRUE(r->pending_returned);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

// A routine that marks its own location pending keeps the rule; see the
// verifier tests for one that does not.
TEST_F(KernelRequests, CompletionRoutineMarkingPendingKeepsTheRule) {
  PIRP held = nullptr;
  auto routine = [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  upper = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(lower_device, irp);
  };
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    held = irp;
    return STATUS_PENDING;
  };
  RunResult result = f.run([&] {
    auto r = start_request(upper_device, {IRP_MJ_READ, 1});
    complete_with(held, STATUS_SUCCESS, 1);
    finish_request(*r);
    EXPECT_TRUE(r->pending_returned);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  bool on_success, on_error, on_cancel;
  bool called;
};

class KernelCompletionInvoke : public KernelRequests,
                               public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(KernelCompletionInvoke, RoutineRunsExactlyWhenItsFlagMatches) {
  const InvokeCase& c = GetParam();
  int calls = 0;
  auto routine = [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
    ++*static_cast<int*>(context);
    return STATUS_SUCCESS;
  };
  upper = [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, &calls, c.on_success, c.on_error, c.on_cancel);
    return IoCallDriver(lower_device, irp);
  };
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    if (c.cancel) irp->Cancel = TRUE;
    return complete_with(irp, c.status);
  };
  RunResult result = f.run([&] { send_request(upper_device, {IRP_MJ_READ, 1}); });
  ASSERT_TRUE(result.ok()) << result.report;
  EXPECT_EQ(calls, c.called ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, KernelCompletionInvoke,
    ::testing::Values(InvokeCase{STATUS_SUCCESS, false, true, false, false, true},
                      InvokeCase{STATUS_SUCCESS, false, false, true, true, false},
                      // STATUS_TIMEOUT is a success code: a success-only routine runs.
                      InvokeCase{STATUS_TIMEOUT, false, true, false, false, true},
                      // STATUS_BUFFER_OVERFLOW is a warning, not a success.
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
                      InvokeCase{STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
                      InvokeCase{STATUS_UNSUCCESSFUL, false, false, true, false, true},
                      InvokeCase{STATUS_CANCELLED, true, false, false, true, true},
                      InvokeCase{STATUS_CANCELLED, false, false, false, true, false}));

TEST_F(KernelRequests, ForcedPendingReturnsPendingAndCompletesLater) {
  f.kernel.set_forced_pending(lower_device, true, 3 * kMillisecond);
  lower = [&](PDEVICE_OBJECT, PIRP irp) { return complete_with(irp, STATUS_TIMEOUT, 2); };
  RunResult result = f.run([&] {
    VTime sent = f.machine.now();
    auto r = start_request(upper_device, {IRP_MJ_READ, 2});
    EXPECT_EQ(r->returned, STATUS_PENDING);
    EXPECT_EQ(r->completions, 0);
    finish_request(*r);
    EXPECT_EQ(r->status, STATUS_TIMEOUT);
    EXPECT_EQ(r->info, 2u);
    EXPECT_TRUE(r->pending_returned);
    EXPECT_EQ(f.machine.now() - sent, 3 * kMillisecond);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST_F(KernelRequests, CancelCallsTheRoutineWithTheCancelLockHeld) {
  PIRP held = nullptr;
  struct Seen {
    int calls = 0;
    KIRQL irql = 0;
    KIRQL cancel_irql = 0;
  } seen;
  static Seen* s_seen;
  s_seen = &seen;
  auto cancel = [](PDEVICE_OBJECT, PIRP irp) {
    s_seen->calls++;
    s_seen->irql = KeGetCurrentIrql();
    s_seen->cancel_irql = irp->CancelIrql;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    complete_with(irp, STATUS_CANCELLED);
  };
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    held = irp;
    return STATUS_PENDING;
  };
  RunResult result = f.run([&] {
    auto r = start_request(upper_device, {IRP_MJ_READ, 1});
    EXPECT_TRUE(IoCancelIrp(held));
    finish_request(*r);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(seen.cancel_irql, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // Without a cancel routine the request is only flagged.
    auto again = start_request(upper_device, {IRP_MJ_READ, 1});
    IoSetCancelRoutine(held, nullptr);
    EXPECT_FALSE(IoCancelIrp(held));
    EXPECT_TRUE(held->Cancel);
    complete_with(held, STATUS_SUCCESS);
    finish_request(*again);
  });
  ASSERT_TRUE(result.ok()) << result.report;
}

TEST_F(KernelRequests, CancelRoutineKeepingTheCancelLockStopsTheRun) {
  PIRP held = nullptr;
  auto cancel = [](PDEVICE_OBJECT, PIRP) {};
  lower = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, cancel);
    held = irp;
    return STATUS_PENDING;
  };
  std::unique_ptr<Request> request;
  RunResult result = f.run([&] {
    request = start_request(upper_device, {IRP_MJ_READ, 1});
    IoCancelIrp(held);
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("cancel routine returned holding the cancel spin lock"),
            std::string::npos);
}

TEST(KernelDeviceQueue, BusyAfterFirstInsertIdleAfterLastRemove) {
  KernelFixture f;
  RunResult result = f.run([&] {
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY a{}, b{};
    KeInitializeDeviceQueue(&queue);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(KeInsertDeviceQueue(&queue, &a));  // idle: the caller starts it
    EXPECT_TRUE(queue.Busy);
    EXPECT_TRUE(KeInsertDeviceQueue(&queue, &b));  // busy: queued
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), &b);
    EXPECT_TRUE(queue.Busy);
    EXPECT_EQ(KeRemoveDeviceQueue(&queue), nullptr);
    EXPECT_FALSE(queue.Busy);
    KeLowerIrql(old);
    KeInsertDeviceQueue(&queue, &a);  // at PASSIVE_LEVEL: a report
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("KeInsertDeviceQueue at IRQL 0"), std::string::npos);
}

TEST(KernelWorkItems, RunAtPassiveLevelInASystemThreadAndMayNotBeQueuedTwice) {
  KernelFixture f;
  struct Seen {
    int runs = 0;
    KIRQL irql = 99;
    std::string thread;
  } seen;
  WORK_QUEUE_ITEM item;
  auto routine = [](PVOID parameter) {
    auto* s = static_cast<Seen*>(parameter);
    ++s->runs;
    s->irql = KeGetCurrentIrql();
    s->thread = Machine::current().current_context_name();
  };
  RunResult result = f.run([&] {
    ExInitializeWorkItem(&item, routine, &seen);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    KeLowerIrql(old);
    f.machine.sleep_for(kMillisecond);
    EXPECT_EQ(seen.runs, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.thread.rfind("worker", 0), 0u) << seen.thread;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExQueueWorkItem(&item, DelayedWorkQueue);
    ExQueueWorkItem(&item, DelayedWorkQueue);
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("work item queued twice"), std::string::npos);
}

}  // namespace
}  // namespace hs::test
