// I/O manager, devices: creating, attaching, detaching and deleting device
// objects. A deleted device object stays allocated (its extension poisoned)
// until the kernel goes, so that a second delete or a late use is reported
// rather than landing in reused memory.
#include <cstdlib>
#include <cstring>

#include "kernel/ke_internal.h"
#include "kernel/kernel_parts.h"

using hs::Kernel;
using hs::Machine;

namespace hs {
namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr size_t kExtensionAlignment = 16;

std::string device_text(const DEVICE_OBJECT* device) {
  Kernel* k = Kernel::current_or_null();
  return (k ? k->device_name(device) : std::string("?")) + " device " + pointer_text(device);
}

DeviceRecord& live_record(const DEVICE_OBJECT* device, std::string_view service) {
  DeviceRecord* r = Kernel::current().io().record(device);
  if (r == nullptr) {
    ke_violation("not a device object", std::string(service) + " on " + pointer_text(device) +
                                            ", which IoCreateDevice did not return");
  }
  if (r->deleted) {
    ke_violation("use of a deleted device",
                 std::string(service) + " on " + device_text(device) + ", deleted before");
  }
  return *r;
}

}  // namespace

DeviceRecord* IoManager::record(const DEVICE_OBJECT* device) const {
  auto it = devices_.find(device);
  return it == devices_.end() ? nullptr : it->second.get();
}

DeviceRecord& IoManager::add_device(PDEVICE_OBJECT device, size_t size, std::string driver) {
  auto r = std::make_unique<DeviceRecord>();
  r->device = device;
  r->size = size;
  r->driver = std::move(driver);
  DeviceRecord& ref = *r;
  devices_[device] = std::move(r);
  device_order_.push_back(device);
  return ref;
}

std::vector<DeviceRecord*> IoManager::devices() const {
  std::vector<DeviceRecord*> out;
  for (PDEVICE_OBJECT d : device_order_) out.push_back(record(d));
  return out;
}

}  // namespace hs

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
  hs::ke_enter("IoCreateDevice", PASSIVE_LEVEL);
  hs::ke_check_arg("IoCreateDevice", DriverObject, "driver object");
  hs::ke_check_arg("IoCreateDevice", DeviceObject, "device object pointer");
  (void)DeviceName;  // devices are unnamed here; nothing opens them by name
  Kernel& k = Kernel::current();
  hs::LoadedDriver* driver = k.loader().loaded(DriverObject);
  if (driver == nullptr) {
    hs::ke_violation("not a driver object",
                     "IoCreateDevice with " + hs::pointer_text(DriverObject));
  }
  *DeviceObject = nullptr;
  if (k.machine().faults().should_fail({"create", driver->name})) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  size_t head = (sizeof(DEVICE_OBJECT) + hs::kExtensionAlignment - 1) / hs::kExtensionAlignment *
                hs::kExtensionAlignment;
  size_t size = head + DeviceExtensionSize;
  auto* device = static_cast<PDEVICE_OBJECT>(std::aligned_alloc(
      hs::kExtensionAlignment,
      (size + hs::kExtensionAlignment - 1) / hs::kExtensionAlignment * hs::kExtensionAlignment));
  if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(device, 0, size);
  device->Type = hs::kIoTypeDevice;
  device->Size = static_cast<USHORT>(size);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char*>(device) + head : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  InitializeListHead(&device->DeviceQueue.DeviceListHead);
  hs::DeviceRecord& record = k.io().add_device(device, size, driver->name);
  device->DeviceObjectExtension = &record;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  hs::ke_enter("IoDeleteDevice", PASSIVE_LEVEL);
  hs::ke_check_arg("IoDeleteDevice", DeviceObject, "device object");
  Kernel& k = Kernel::current();
  hs::DeviceRecord* r = k.io().record(DeviceObject);
  if (r == nullptr) {
    hs::ke_violation("not a device object", "IoDeleteDevice of " + hs::pointer_text(DeviceObject) +
                                                ", which IoCreateDevice did not return");
  }
  if (r->deleted) {
    hs::ke_violation("device deleted twice",
                     "IoDeleteDevice of " + hs::device_text(DeviceObject) + ", deleted before");
  }
  // A device still attached above may go on: on removal the driver above
  // detaches only after the request has come back up from this one.
  if (r->lower != nullptr) {
    hs::ke_violation("device deleted while attached",
                     "IoDeleteDevice of " + hs::device_text(DeviceObject) + ": still attached to " +
                         hs::device_text(r->lower) + " (IoDetachDevice first)");
  }
  const char* begin = reinterpret_cast<const char*>(DeviceObject);
  std::string live = hs::ke_live_objects_in(begin, begin + r->size);
  live += k.workers().queued_in(begin, begin + r->size);
  if (!live.empty()) {
    hs::ke_violation("device deleted while a kernel object in it is in use",
                     "IoDeleteDevice of " + hs::device_text(DeviceObject) + ": " + live);
  }
  hs::ke_forget_objects_in(begin, begin + r->size);
  // Unlink from the driver's device list.
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  r->deleted = true;
  if (DeviceObject->DeviceExtension != nullptr) {
    size_t extension =
        r->size - static_cast<size_t>(static_cast<char*>(DeviceObject->DeviceExtension) -
                                      reinterpret_cast<char*>(DeviceObject));
    std::memset(DeviceObject->DeviceExtension, 0xDF, extension);
  }
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
  hs::ke_enter("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
  hs::ke_check_arg("IoAttachDeviceToDeviceStack", SourceDevice, "source device");
  hs::ke_check_arg("IoAttachDeviceToDeviceStack", TargetDevice, "target device");
  Kernel& k = Kernel::current();
  hs::DeviceRecord& source = hs::live_record(SourceDevice, "IoAttachDeviceToDeviceStack");
  hs::live_record(TargetDevice, "IoAttachDeviceToDeviceStack");
  if (source.lower != nullptr || SourceDevice->AttachedDevice != nullptr) {
    hs::ke_violation("device attached twice", "IoAttachDeviceToDeviceStack of " +
                                                  hs::device_text(SourceDevice) +
                                                  ", which is already in a stack");
  }
  if (k.machine().faults().should_fail({"attach", source.driver})) return nullptr;
  PDEVICE_OBJECT top = k.top_of_stack(TargetDevice);
  top->AttachedDevice = SourceDevice;
  source.lower = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  hs::ke_enter("IoDetachDevice", PASSIVE_LEVEL);
  hs::ke_check_arg("IoDetachDevice", TargetDevice, "target device");
  Kernel& k = Kernel::current();
  // The device below may be deleted already (its driver handled the removal
  // first); detaching from it is how the one above lets go.
  if (k.io().record(TargetDevice) == nullptr) {
    hs::ke_violation("not a device object", "IoDetachDevice(" + hs::pointer_text(TargetDevice) +
                                                "), which IoCreateDevice did not return");
  }
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper == nullptr) {
    hs::ke_violation(
        "detach of a device with nothing attached",
        "IoDetachDevice(" + hs::device_text(TargetDevice) + "): no device is attached to it");
  }
  if (hs::DeviceRecord* r = k.io().record(upper)) r->lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

}  // extern "C"
