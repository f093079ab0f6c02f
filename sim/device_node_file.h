// Device-node files: the INF-style description of the handset's device
// node that the Plug and Play manager installs.
//
//   [Version]
//   Signature="$Chicago$"
//   Class=Modem
//   Provider=%Mfg%
//
//   [Manufacturer]
//   %Mfg%=Models
//
//   [Models]
//   %Handset%=Handset.Install, SERENUM\HSB0001
//
//   [Handset.Install]
//   AddReg=Handset.AddReg                 ; the driver key
//
//   [Handset.AddReg]
//   HKR,,AttachedTo,,"COM2"
//
//   [Handset.Install.HW]
//   AddReg=Handset.HW.AddReg              ; the hardware key
//
//   [Handset.HW.AddReg]
//   HKR,,UpperFilters,0x00010000,"ratefilter"
//   HKR,,TraceScope,0x00010001,1
//   HKR,,Breakpoints,0x00010001,0
//
//   [Handset.Install.Services]
//   AddService=portbridge,0x00000002,Bridge.Service   ; 2: the function driver
//
//   [Bridge.Service]
//   ServiceType=1
//   StartType=3
//   ErrorControl=1
//   ServiceBinary=%12%\portbridge.sys
//
//   [Strings]
//   Mfg="Handset Maker"
//   Handset="GSM handset on a serial cable"
//
// AddReg lines: root (HKR only), subkey (empty), value name, flags
// (0 or 0x00000000 REG_SZ, 0x00010001 REG_DWORD, 0x00000001 or 0x00010001
// with bytes REG_BINARY, 0x00010000 REG_MULTI_SZ), value. "UpperFilters"
// in the hardware key names the filters (bottom to top) and is kept as a
// registry value too. A service's binary names the driver image: its base
// name without extension ("portbridge"). %strkey% is replaced from
// [Strings]; ';' starts a comment; a line ending in '\' continues.
//
// Errors name the file and line: "handset.inf:12: AddReg line needs at
// least 4 fields".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kernel/kernel.h"

namespace hs {

struct DeviceNodeParse {
  std::optional<DeviceNodeSpec> spec;
  std::string error;  // "file:line: message" when the file was refused
  std::string model;  // the description of the model installed
  bool ok() const { return spec.has_value(); }
};

// Parses the text of a device-node file. `file_name` is used in messages.
// `hardware_id` chooses the model when the file has several (empty: the
// first one).
DeviceNodeParse parse_device_node_file(std::string_view text, std::string_view file_name,
                                       std::string_view hardware_id = {});
DeviceNodeParse load_device_node_file(const std::string& path, std::string_view hardware_id = {});

}  // namespace hs
