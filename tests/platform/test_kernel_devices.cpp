// Device and driver objects: what IoCreateDevice hands out, how attaching
// builds a stack, and what a driver object looks like to DriverEntry.
#include "ke_fixture.h"

namespace hs::test {
namespace {

std::u16string g_registry_path;  // as DriverEntry saw it

NTSTATUS NTAPI recording_entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  g_registry_path.assign(reinterpret_cast<const char16_t*>(path->Buffer), path->Length / 2);
  // Every dispatch entry already answers: the kernel's invalid-request routine.
  for (auto dispatch : driver->MajorFunction)
    if (dispatch == nullptr) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

TEST(KernelDevices, DriverEntryGetsItsServiceKeyAndAFilledDispatchTable) {
  KernelFixture f;
  f.kernel.register_builtin_driver("recorder", recording_entry);
  PDRIVER_OBJECT driver = f.kernel.load_driver("recorder");
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(g_registry_path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\recorder");
  EXPECT_EQ(driver->DriverExtension->DriverObject, driver);
}

TEST(KernelDevices, CreateAttachDetachDelete) {
  KernelFixture f;
  f.kernel.register_builtin_driver("recorder", recording_entry);
  PDRIVER_OBJECT driver = f.kernel.load_driver("recorder");
  RunResult result = f.run([&] {
    PDEVICE_OBJECT lower = nullptr, upper = nullptr, third = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &lower),
              STATUS_SUCCESS);
    auto* extension = static_cast<unsigned char*>(lower->DeviceExtension);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(extension[i], 0) << i;
    EXPECT_EQ(lower->Flags, ULONG(DO_DEVICE_INITIALIZING));
    EXPECT_EQ(lower->StackSize, 1);
    EXPECT_EQ(lower->DeviceType, ULONG(FILE_DEVICE_SERIAL_PORT));
    EXPECT_EQ(lower->DriverObject, driver);
    EXPECT_EQ(driver->DeviceObject, lower);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &third);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    EXPECT_EQ(upper->StackSize, 2);
    // Attaching to the bottom lands on the top.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(third, lower), upper);
    EXPECT_EQ(third->StackSize, 3);
    EXPECT_EQ(f.kernel.top_of_stack(lower), third);
    IoDetachDevice(upper);
    IoDeleteDevice(third);
    f.machine.faults().fail_always("attach", "recorder");
    PDEVICE_OBJECT again = nullptr;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &again);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(again, upper), nullptr);
    f.machine.faults().fail_always("create", "recorder");
    PDEVICE_OBJECT none = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none, nullptr);
    IoDeleteDevice(again);
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &none);  // a report
  });
  ASSERT_EQ(result.outcome, RunOutcome::Violation);
  EXPECT_NE(result.report.find("IoCreateDevice with a NULL driver object"), std::string::npos)
      << result.report;
}

}  // namespace
}  // namespace hs::test
