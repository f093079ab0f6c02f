// I/O manager, requests: allocating and freeing IRPs, passing them to a
// device (IofCallDriver) and completing them (IofCompleteRequest), with the
// verifier's request rules and forced pending.
//
// Completion walks up from the current stack location exactly as the
// kernel does: PendingReturned is taken from the location being left, a
// due completion routine is called with the device of the location above
// (NULL above the top), STATUS_MORE_PROCESSING_REQUIRED stops the walk, and
// without a routine a pending flag is carried up one location.
#include <cstdlib>
#include <cstring>

#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr size_t kIrpQuarantine = 1024;

bool is_error(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

std::string request_text(const IrpRecord& rec) {
  std::string text = "request #" + std::to_string(rec.id) + " (" + major_name(rec.major);
  if (rec.major == IRP_MJ_DEVICE_CONTROL) text += " " + ioctl_name(rec.ioctl);
  if (rec.major == IRP_MJ_PNP || rec.major == IRP_MJ_POWER)
    text += " " + minor_name(rec.major, rec.minor);
  return text + ")";
}

std::string name_of(const DEVICE_OBJECT* device) {
  return device ? Kernel::current().device_name(device) : std::string("(none)");
}

IrpRecord& live_irp(const IRP* irp, std::string_view service) {
  IrpRecord* rec = Kernel::current().io().irp_record(irp);
  if (rec == nullptr) {
    ke_violation("not a request", std::string(service) + " of " + pointer_text(irp) +
                                      ", which IoAllocateIrp did not return");
  }
  if (rec->freed) {
    ke_violation("request used after it was freed",
                 std::string(service) + " of " + request_text(*rec) + ", freed before");
  }
  return *rec;
}

}  // namespace

IoManager::IoManager(Kernel& kernel) : kernel_(kernel) {}

IoManager::~IoManager() {
  for (auto& [irp, rec] : irps_) std::free(const_cast<IRP*>(irp));
  for (auto& [device, rec] : devices_) std::free(const_cast<DEVICE_OBJECT*>(device));
}

IrpRecord* IoManager::irp_record(const IRP* irp) const {
  auto it = irps_.find(irp);
  return it == irps_.end() ? nullptr : it->second.get();
}

PIRP IoManager::allocate_irp(CCHAR stack_size, std::string allocator) {
  size_t size = sizeof(IRP) + static_cast<size_t>(stack_size) * sizeof(IO_STACK_LOCATION);
  auto* irp = static_cast<PIRP>(std::aligned_alloc(16, (size + 15) / 16 * 16));
  if (irp == nullptr) return nullptr;
  std::memset(irp, 0, size);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(size);
  irp->StackCount = stack_size;
  irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
  irp->Tail.Overlay.CurrentStackLocation =
      reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
  auto rec = std::make_unique<IrpRecord>();
  rec->irp = irp;
  rec->id = next_irp_id_++;
  rec->size = size;
  rec->allocator = std::move(allocator);
  irps_[irp] = std::move(rec);
  return irp;
}

void IoManager::retire_irp(IrpRecord& rec) {
  rec.freed = true;
  std::memset(rec.irp, 0xDF, rec.size);
  irp_quarantine_.push_back(&rec);
  while (irp_quarantine_.size() > kIrpQuarantine) {
    IrpRecord* old = irp_quarantine_.front();
    irp_quarantine_.pop_front();
    PIRP memory = old->irp;
    irps_.erase(memory);
    std::free(memory);
  }
}

std::vector<const IrpRecord*> IoManager::outstanding() const {
  std::vector<const IrpRecord*> out;
  for (auto& [irp, rec] : irps_)
    if (!rec->freed) out.push_back(rec.get());
  std::sort(out.begin(), out.end(),
            [](const IrpRecord* a, const IrpRecord* b) { return a->id < b->id; });
  return out;
}

std::string IoManager::report() const {
  std::string out;
  for (const IrpRecord* rec : outstanding()) {
    PIRP irp = rec->irp;
    out += "  " + request_text(*rec) + ", allocated by " + rec->allocator + ": ";
    if (irp->CurrentLocation <= irp->StackCount) {
      PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
      out += "held by " + name_of(stack->DeviceObject) + " (location " +
             std::to_string(irp->CurrentLocation) + " of " + std::to_string(irp->StackCount) + ")";
      if (stack->Control & SL_PENDING_RETURNED) out += ", marked pending";
    } else if (rec->completed) {
      out += "completed, not freed";
    } else {
      out += "not sent";
    }
    if (irp->CancelRoutine != nullptr) out += ", cancel routine set";
    if (irp->Cancel) out += ", cancelled";
    out += "\n";
  }
  return out;
}

NTSTATUS IoManager::call_driver(PDEVICE_OBJECT device, PIRP irp, std::string_view service) {
  ke_enter(service, DISPATCH_LEVEL);
  ke_check_arg(service, device, "device object");
  ke_check_arg(service, irp, "request");
  IrpRecord* rec = &live_irp(irp, service);
  DeviceRecord* target = record(device);
  if (target == nullptr || target->deleted) {
    ke_violation(
        target ? "use of a deleted device" : "not a device object",
        std::string(service) + " of " + request_text(*rec) + " to " + pointer_text(device));
  }
  if (irp->CancelRoutine != nullptr) {
    ke_violation("request passed on with a cancel routine set",
                 std::string(service) + " of " + request_text(*rec) + " to " + target->driver);
  }
  if (rec->completed) {
    rec->completed = false;  // its owner sends it again
    rec->visits.clear();
  }
  if (irp->CurrentLocation <= 1) {
    ke_violation("no more stack locations",
                 std::string(service) + " of " + request_text(*rec) + " to " + target->driver +
                     ": all " + std::to_string(irp->StackCount) + " stack locations are used");
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = device;
  int location = irp->CurrentLocation;
  rec->major = stack->MajorFunction;
  rec->minor = stack->MinorFunction;
  rec->ioctl = stack->Parameters.DeviceIoControl.IoControlCode;
  size_t visit = rec->visits.size();
  rec->visits.push_back(LocationVisit{});
  rec->visits.back().device = device;
  rec->visits.back().location = location;
  uint64_t id = rec->id;
  if (stack->MajorFunction == IRP_MJ_POWER && !rec->power_starts.count(target->driver)) {
    rec->power_starts[target->driver] = 0;
    rec->power_drivers.push_back(target->driver);
  }
  if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    ke_violation("bad major function", std::string(service) + " of a request with major function " +
                                           std::to_string(stack->MajorFunction));
  }
  trace_in(*rec, device, stack);
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  bool forced = target->forced_pending;
  if (forced) rec->forced_frames.emplace_back(location, device);
  NTSTATUS status;
  if (dispatch == nullptr) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    complete(irp, IO_NO_INCREMENT, nullptr);
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    status = dispatch(device, irp);
  }
  rec = irp_record(irp);
  if (rec == nullptr || rec->id != id) return status;  // long gone
  if (forced && !rec->forced_frames.empty()) rec->forced_frames.pop_back();
  if (visit >= rec->visits.size() || rec->visits[visit].device != device) return status;
  LocationVisit& after = rec->visits[visit];
  if (after.deferred) {
    if (status != STATUS_PENDING && status != after.deferred_status) {
      ke_violation("dispatch status differs from the completed request's",
                   target->driver + " completed " + request_text(*rec) + " with " +
                       hex32(static_cast<ULONG>(after.deferred_status)) + " but returned " +
                       hex32(static_cast<ULONG>(status)));
    }
    status = STATUS_PENDING;  // the kernel holds it pending for the driver
  }
  after.returned = true;
  after.returned_status = status;
  if (after.left) check_visit(*rec, visit);
  return status;
}

void IoManager::check_visit(const IrpRecord& rec, size_t visit) {
  const LocationVisit& v = rec.visits[visit];
  auto who = [&] { return name_of(v.device); };
  if (v.pending_bit && v.returned_status != STATUS_PENDING) {
    ke_violation("request marked pending but STATUS_PENDING not returned",
                 who() + " marked " + request_text(rec) + " pending and returned " +
                     hex32(static_cast<ULONG>(v.returned_status)));
  }
  if (!v.pending_bit && v.returned_status == STATUS_PENDING) {
    ke_violation(
        "STATUS_PENDING returned for a request not marked pending",
        who() + " returned STATUS_PENDING for " + request_text(rec) + " without IoMarkIrpPending");
  }
  if (!v.pending_bit && v.returned_status != v.status_at_leave) {
    ke_violation("dispatch status differs from the completed request's",
                 who() + " returned " + hex32(static_cast<ULONG>(v.returned_status)) + " for " +
                     request_text(rec) + ", completed with " +
                     hex32(static_cast<ULONG>(v.status_at_leave)));
  }
}

void IoManager::complete(PIRP irp, CCHAR boost, const void* caller) {
  (void)caller;
  ke_enter("IofCompleteRequest", DISPATCH_LEVEL);
  ke_check_arg("IofCompleteRequest", irp, "request");
  IrpRecord& rec = live_irp(irp, "IofCompleteRequest");
  if (rec.completed) {
    ke_violation("request completed twice",
                 "IofCompleteRequest of " + request_text(rec) + ", which was completed before");
  }
  if (irp->CurrentLocation > irp->StackCount) {
    ke_violation("request completed by no device",
                 "IofCompleteRequest of " + request_text(rec) + ", which no device holds");
  }
  PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
  auto who = [&] { return name_of(stack->DeviceObject); };
  NTSTATUS status = irp->IoStatus.Status;
  if (status == STATUS_PENDING) {
    ke_violation("request completed with STATUS_PENDING",
                 who() + " completed " + request_text(rec) + " with STATUS_PENDING");
  }
  if (irp->CancelRoutine != nullptr) {
    ke_violation("request completed with a cancel routine set",
                 who() + " completed " + request_text(rec) + " with its cancel routine still set");
  }
  if (!is_error(status)) {
    ULONG_PTR info = irp->IoStatus.Information;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
        (stack->Parameters.DeviceIoControl.IoControlCode & 3) == 0 /* METHOD_BUFFERED */ &&
        info > stack->Parameters.DeviceIoControl.OutputBufferLength) {
      ke_violation("Information larger than the output buffer",
                   who() + " completed " + request_text(rec) + " with Information " +
                       std::to_string(info) + " for an output buffer of " +
                       std::to_string(stack->Parameters.DeviceIoControl.OutputBufferLength) +
                       " bytes");
    }
    if (stack->MajorFunction == IRP_MJ_READ && info > stack->Parameters.Read.Length) {
      ke_violation("Information larger than the output buffer",
                   who() + " completed " + request_text(rec) + " with Information " +
                       std::to_string(info) + " for a read of " +
                       std::to_string(stack->Parameters.Read.Length) + " bytes");
    }
  }
  rec.boost = boost;
  int location = irp->CurrentLocation;
  if (!rec.forced_frames.empty() && rec.forced_frames.back().first == location &&
      rec.forced_frames.back().second == stack->DeviceObject) {
    LocationVisit* found = nullptr;
    for (auto it = rec.visits.rbegin(); it != rec.visits.rend() && !found; ++it)
      if (it->location == location && it->device == stack->DeviceObject && !it->left) found = &*it;
    if (found != nullptr && !found->returned && !found->deferred) {
      LocationVisit& visit = *found;
      // Forced pending: the request comes back pending and completes later.
      visit.deferred = true;
      visit.deferred_status = status;
      stack->Control |= SL_PENDING_RETURNED;
      DeviceRecord* device = record(stack->DeviceObject);
      Machine& m = Machine::current();
      uint64_t id = rec.id;
      IrpRecord* key = &rec;
      m.after(
          device ? device->forced_delay : kMillisecond,
          [irp, id, key] {
            Machine::current().queue_dpc(
                [irp, id] {
                  Kernel* k = Kernel::current_or_null();
                  if (k == nullptr) return;
                  IrpRecord* r = k->io().irp_record(irp);
                  if (r == nullptr || r->id != id || r->freed) return;
                  k->io().complete_walk(*r, irp);
                },
                key);
          },
          "forced pending completion");
      return;
    }
  }
  complete_walk(rec, irp);
}

void IoManager::complete_walk(IrpRecord& start, PIRP irp) {
  IrpRecord* rec = &start;
  uint64_t id = rec->id;
  while (irp->CurrentLocation <= irp->StackCount) {
    int location = irp->CurrentLocation;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    PDEVICE_OBJECT device = stack->DeviceObject;
    bool pending = (stack->Control & SL_PENDING_RETURNED) != 0;
    irp->PendingReturned = pending;
    // Every device that entered at this location leaves now, the lowest
    // (the last to enter) first.
    std::vector<size_t> checks;
    bool traced = false;
    for (size_t i = rec->visits.size(); i-- > 0;) {
      LocationVisit& visit = rec->visits[i];
      if (visit.location != location || visit.left) continue;
      trace_out(*rec, visit.device, stack);
      traced = true;
      visit.left = true;
      visit.pending_bit = pending;
      visit.status_at_leave = irp->IoStatus.Status;
      if (visit.returned) checks.push_back(i);
    }
    if (!traced) trace_out(*rec, device, stack);
    NTSTATUS status = irp->IoStatus.Status;
    UCHAR control = stack->Control;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    bool due = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                      (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                      (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    std::memset(stack, 0, sizeof *stack);
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    for (size_t i : checks) check_visit(*rec, i);
    bool above = irp->CurrentLocation <= irp->StackCount;
    if (!above) {
      // The request has left the stack; it belongs to whoever allocated it.
      rec->completed = true;
      for (const std::string& driver : rec->power_drivers) {
        if (rec->power_starts[driver] == 0) {
          ke_violation("PoStartNextPowerIrp not called",
                       driver + " passed on or completed " + request_text(*rec) +
                           " without calling PoStartNextPowerIrp");
        }
      }
    }
    if (due) {
      PDEVICE_OBJECT upper = above ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      std::string owner = above ? name_of(upper) : rec->allocator;
      NTSTATUS result = routine(upper, irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
      rec = irp_record(irp);
      if (rec == nullptr || rec->id != id || rec->freed) {
        ke_violation("request freed by a completion routine that let completion go on",
                     "a completion routine of " + owner +
                         " freed the request and did not return "
                         "STATUS_MORE_PROCESSING_REQUIRED");
      }
      if (irp->PendingReturned && above &&
          !(irp->Tail.Overlay.CurrentStackLocation->Control & SL_PENDING_RETURNED)) {
        ke_violation("completion routine did not propagate PendingReturned",
                     "the completion routine of " + owner + " for " + request_text(*rec) +
                         " saw PendingReturned and did not call IoMarkIrpPending");
      }
    } else if (pending && above) {
      irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
    }
  }
}

}  // namespace hs

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  hs::ke_enter("IoAllocateIrp", DISPATCH_LEVEL);
  Kernel& k = Kernel::current();
  if (StackSize < 1) {
    hs::ke_violation("bad stack size",
                     "IoAllocateIrp with " + std::to_string(StackSize) + " stack locations");
  }
  if (k.machine().faults().should_fail({"irp", "alloc"})) return nullptr;
  std::string owner = k.loader().owner_of(HS_CALLER());
  return k.io().allocate_irp(StackSize, owner.empty() ? "host" : owner);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  hs::ke_enter("IoFreeIrp", DISPATCH_LEVEL);
  hs::ke_check_arg("IoFreeIrp", Irp, "request");
  Kernel& k = Kernel::current();
  hs::IrpRecord* rec = k.io().irp_record(Irp);
  if (rec == nullptr) {
    hs::ke_violation("not a request", "IoFreeIrp of " + hs::pointer_text(Irp) +
                                          ", which IoAllocateIrp did not return");
  }
  if (rec->freed) {
    hs::ke_violation("request freed twice",
                     "IoFreeIrp of " + hs::request_text(*rec) + ", freed before");
  }
  if (Irp->CurrentLocation <= Irp->StackCount) {
    hs::ke_violation("request freed while a driver holds it",
                     "IoFreeIrp of " + hs::request_text(*rec) + ", held by " +
                         hs::name_of(Irp->Tail.Overlay.CurrentStackLocation->DeviceObject));
  }
  k.io().retire_irp(*rec);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return Kernel::current().io().call_driver(DeviceObject, Irp, "IofCallDriver");
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  Kernel::current().io().complete(Irp, PriorityBoost, HS_CALLER());
}

}  // extern "C"
