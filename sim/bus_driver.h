// The bus driver that enumerated the handset: a built-in driver whose
// physical device object sits at the bottom of the stack. It answers Plug
// and Play requests (start, stops, removals, capabilities with a
// system-to-device power map, device state) and power requests; each
// answer can be set to fail or to leave the request untouched (completed
// with the status it came with, as a bus driver does with requests it does
// not handle).
#pragma once

#include <wdm.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kernel/kernel.h"

namespace hs {

struct BusAnswer {
  enum class Kind { Default, Succeed, Fail, Untouched };
  Kind kind = Kind::Default;
  NTSTATUS status = STATUS_UNSUCCESSFUL;  // for Fail

  static BusAnswer fail(NTSTATUS status = STATUS_UNSUCCESSFUL) { return {Kind::Fail, status}; }
  static BusAnswer succeed() { return {Kind::Succeed, STATUS_SUCCESS}; }
  static BusAnswer untouched() { return {Kind::Untouched, STATUS_SUCCESS}; }
};

// One request the bus driver saw.
struct BusRequest {
  UCHAR major = 0;
  UCHAR minor = 0;
  NTSTATUS status = 0;    // what it completed the request with
  ULONG power_state = 0;  // for power requests
};

class BusDriver {
 public:
  // Registers the built-in driver `name` with the kernel.
  explicit BusDriver(Kernel& kernel, std::string name = "bus");
  ~BusDriver();
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // What the Plug and Play manager needs to create and delete the PDO.
  BusDriverHooks hooks();

  // Answers. Default: the requests a bus driver handles (start, stops,
  // removals, capabilities, device state, set and query power) succeed,
  // every other one is left untouched.
  void set_pnp_answer(UCHAR minor, BusAnswer answer);
  void set_power_answer(UCHAR minor, BusAnswer answer);
  void reset_answers();

  // The capabilities answered to IRP_MN_QUERY_CAPABILITIES; DeviceState is
  // the system-to-device power map (S0 -> D0, S1..S3 -> D3, S4 -> D3,
  // S5 -> D3 by default).
  DEVICE_CAPABILITIES& capabilities() { return capabilities_; }
  // Answer to IRP_MN_QUERY_PNP_DEVICE_STATE.
  void set_pnp_device_state(ULONG state) { pnp_device_state_ = state; }

  PDEVICE_OBJECT pdo() const { return pdo_; }
  const std::vector<BusRequest>& requests() const { return requests_; }
  DEVICE_POWER_STATE power_state() const { return power_state_; }

  // ---- the driver's routines (static: built-in drivers are plain entry points)
  static NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path);
  static NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp);
  static NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT device, PIRP irp);

 private:
  PDEVICE_OBJECT create_pdo(const DeviceNodeSpec& spec);
  void pdo_removed(PDEVICE_OBJECT pdo);
  NTSTATUS pnp(PIRP irp);
  NTSTATUS power(PIRP irp);
  BusAnswer answer_for(const std::map<UCHAR, BusAnswer>& table, UCHAR minor) const;

  Kernel& kernel_;
  std::string name_;
  std::map<UCHAR, BusAnswer> pnp_answers_;
  std::map<UCHAR, BusAnswer> power_answers_;
  DEVICE_CAPABILITIES capabilities_{};
  ULONG pnp_device_state_ = 0;
  PDEVICE_OBJECT pdo_ = nullptr;
  std::vector<BusRequest> requests_;
  DEVICE_POWER_STATE power_state_ = PowerDeviceD0;
};

}  // namespace hs
