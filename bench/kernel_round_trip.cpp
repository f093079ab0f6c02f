// A request round trip through two pass-through devices on the bare
// kernel: the request allocated, sent to the upper device, which skips its
// location and passes it to the lower one, which completes it; then freed.
// The trace is off, as in a run that does not ask for it.
#include <benchmark/benchmark.h>
#include <wdm.h>

#include "kernel/kernel.h"
#include "machine/machine.h"

namespace {

PDEVICE_OBJECT g_lower = nullptr;

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_lower, irp);
}

NTSTATUS NTAPI CompleteAtOnce(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = PassDown;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LowerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& f : driver->MajorFunction) f = CompleteAtOnce;
  return STATUS_SUCCESS;
}

void BM_PassThroughRoundTrip(benchmark::State& state) {
  hs::Machine machine;
  machine.trace().set_recording(false);
  hs::Kernel kernel(machine);
  kernel.register_builtin_driver("upper", UpperEntry);
  kernel.register_builtin_driver("lower", LowerEntry);
  bool failed = false;
  machine.create_thread("client", [&] {
    PDEVICE_OBJECT upper = nullptr;
    IoCreateDevice(kernel.load_driver("lower"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                   &g_lower);
    IoCreateDevice(kernel.load_driver("upper"), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    IoAttachDeviceToDeviceStack(upper, g_lower);
    upper->Flags &= ~DO_DEVICE_INITIALIZING;
    g_lower->Flags &= ~DO_DEVICE_INITIALIZING;
    for (auto _ : state) {
      PIRP irp = IoAllocateIrp(upper->StackSize, FALSE);
      PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
      stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
      stack->Parameters.DeviceIoControl.IoControlCode = 0x1B004C;  // GET_COMMSTATUS
      if (IoCallDriver(upper, irp) != STATUS_SUCCESS) failed = true;
      IoFreeIrp(irp);
    }
    IoDetachDevice(g_lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(g_lower);
  });
  hs::RunResult result = machine.run();
  if (!result.ok() || failed) {
    state.SkipWithError(("the run failed: " + result.report).c_str());
    return;
  }
  state.counters["round_trips_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PassThroughRoundTrip)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
