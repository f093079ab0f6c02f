#include "ke_fixture.h"

namespace hs::test {
namespace {

NTSTATUS NTAPI request_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* request = static_cast<Request*>(context);
  ++request->completions;
  request->status = irp->IoStatus.Status;
  request->info = irp->IoStatus.Information;
  request->pending_returned = irp->PendingReturned;
  request->wait.signal();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI bus_dispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  bool known = stack->MajorFunction != IRP_MJ_PNP ||
               stack->MinorFunction <= IRP_MN_CANCEL_STOP_DEVICE ||
               stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL;
  if (known) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS NTAPI TestBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& dispatch : driver->MajorFunction) dispatch = bus_dispatch;
  return STATUS_SUCCESS;
}

std::unique_ptr<Request> start_request(PDEVICE_OBJECT top, const RequestSpec& spec) {
  auto request = std::make_unique<Request>();
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  request->irp = irp;
  request->buffer = spec.data;
  request->buffer.resize(std::max<size_t>({spec.length, spec.input, spec.data.size(), 1}));
  irp->AssociatedIrp.SystemBuffer = request->buffer.data();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = spec.major;
  if (spec.major == IRP_MJ_READ) next->Parameters.Read.Length = spec.length;
  if (spec.major == IRP_MJ_WRITE) next->Parameters.Write.Length = spec.length;
  if (spec.major == IRP_MJ_DEVICE_CONTROL) {
    next->Parameters.DeviceIoControl.IoControlCode = spec.ioctl;
    next->Parameters.DeviceIoControl.InputBufferLength = spec.input;
    next->Parameters.DeviceIoControl.OutputBufferLength = spec.length;
  }
  IoSetCompletionRoutine(irp, request_done, request.get(), TRUE, TRUE, TRUE);
  request->returned = IofCallDriver(top, irp);
  return request;
}

void finish_request(Request& request) {
  request.wait.wait("test request");
  IoFreeIrp(request.irp);
  request.irp = nullptr;
}

std::unique_ptr<Request> send_request(PDEVICE_OBJECT top, const RequestSpec& spec) {
  auto request = start_request(top, spec);
  finish_request(*request);
  return request;
}

KernelFixture::KernelFixture(MachineOptions options) : machine(options), kernel(machine) {
  kernel.register_builtin_driver("bus", TestBusEntry);
  bus = kernel.load_driver("bus");
}

DeviceNode& KernelFixture::install(DeviceNodeSpec spec) {
  BusDriverHooks hooks;
  hooks.create_pdo = [this](const DeviceNodeSpec&) {
    PDEVICE_OBJECT pdo = nullptr;
    IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
    if (pdo) pdo->Flags = (pdo->Flags | DO_POWER_PAGABLE) & ~DO_DEVICE_INITIALIZING;
    return pdo;
  };
  hooks.pdo_removed = [](PDEVICE_OBJECT pdo) { IoDeleteDevice(pdo); };
  return kernel.install(std::move(spec), std::move(hooks));
}

RunResult KernelFixture::run(std::function<void()> body) {
  machine.create_thread("client", std::move(body));
  return machine.run();
}

DeviceNodeSpec node_spec(std::string function_driver, std::vector<std::string> filters,
                         std::vector<RegistryValue> driver_key) {
  DeviceNodeSpec spec;
  spec.function_driver = std::move(function_driver);
  spec.upper_filters = std::move(filters);
  spec.driver_key = std::move(driver_key);
  return spec;
}

int count_events(Machine& machine, std::string_view ev, std::string_view key,
                 std::string_view value) {
  int n = 0;
  for (const TraceEvent& e : machine.trace().events())
    if (e.ev == ev && e.str(key) == value) ++n;
  return n;
}

}  // namespace hs::test
