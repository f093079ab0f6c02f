// Registry: a device node's driver key and hardware key, opened with
// IoOpenDeviceRegistryKey and read with ZwQueryValueKey.
#include <cstring>

#include "kernel/kernel_parts.h"

using hs::Kernel;

namespace hs {
namespace {

constexpr ULONG kFullFixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);  // 20
constexpr ULONG kPartialFixed = 12;  // TitleIndex, Type, DataLength
constexpr ULONG kBasicFixed = 12;    // TitleIndex, Type, NameLength

std::u16string wide(std::string_view text) { return {text.begin(), text.end()}; }

bool same_name(const UNICODE_STRING& name, const std::string& value) {
  size_t count = name.Length / sizeof(WCHAR);
  if (count != value.size()) return false;
  for (size_t i = 0; i < count; ++i) {
    char16_t a = name.Buffer[i];
    char16_t b = static_cast<unsigned char>(value[i]);
    if (a < 0x80) a = static_cast<char16_t>(std::tolower(a));
    if (b < 0x80) b = static_cast<char16_t>(std::tolower(b));
    if (a != b) return false;
  }
  return true;
}

void put32(PVOID buffer, ULONG offset, ULONG value) {
  std::memcpy(static_cast<char*>(buffer) + offset, &value, sizeof value);
}

}  // namespace

NTSTATUS Registry::open(PDEVICE_OBJECT device, ULONG which, PHANDLE handle) {
  DeviceNode* node = kernel_.node_of(device);
  if (node == nullptr || node->pdo != device) return STATUS_INVALID_DEVICE_REQUEST;
  if (which != PLUGPLAY_REGKEY_DEVICE && which != PLUGPLAY_REGKEY_DRIVER) {
    return STATUS_INVALID_PARAMETER;
  }
  if (kernel_.machine().faults().should_fail({"registry", "open"})) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  bool exists = which == PLUGPLAY_REGKEY_DRIVER ? node->spec.driver_key_exists
                                                : node->spec.hardware_key_exists;
  if (!exists) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto key = std::make_unique<Key>();
  key->node = node;
  key->which = which;
  *handle = key.get();
  keys_[key.get()] = std::move(key);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::query(HANDLE handle, PUNICODE_STRING name,
                         KEY_VALUE_INFORMATION_CLASS info_class, PVOID buffer, ULONG length,
                         PULONG result_length) {
  auto it = keys_.find(handle);
  if (it == keys_.end()) {
    ke_violation("bad handle", "ZwQueryValueKey with handle " + pointer_text(handle) +
                                   ", which is not an open key");
  }
  if (buffer == nullptr && length != 0) {
    ke_violation("NULL argument",
                 "ZwQueryValueKey with a NULL buffer of " + std::to_string(length) + " bytes");
  }
  if (kernel_.machine().faults().should_fail({"registry", "read"})) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  const Key& key = *it->second;
  const auto& values =
      key.which == PLUGPLAY_REGKEY_DRIVER ? key.node->spec.driver_key : key.node->spec.hardware_key;
  const RegistryValue* value = nullptr;
  for (const RegistryValue& v : values)
    if (same_name(*name, v.name)) value = &v;
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string value_name = wide(value->name);
  ULONG name_bytes = static_cast<ULONG>(value_name.size() * sizeof(char16_t));
  ULONG data_bytes = static_cast<ULONG>(value->data.size());

  ULONG fixed = 0, total = 0, data_offset = 0, name_offset = 0;
  switch (info_class) {
    case KeyValueFullInformation:
      fixed = kFullFixed;
      name_offset = kFullFixed;
      data_offset = (kFullFixed + name_bytes + sizeof(PVOID) - 1) / sizeof(PVOID) * sizeof(PVOID);
      total = data_offset + data_bytes;
      break;
    case KeyValuePartialInformation:
      fixed = kPartialFixed;
      data_offset = kPartialFixed;
      total = kPartialFixed + data_bytes;
      break;
    case KeyValueBasicInformation:
      fixed = kBasicFixed;
      name_offset = kBasicFixed;
      total = kBasicFixed + name_bytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  *result_length = total;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  // The fixed part always fits from here on.
  put32(buffer, 0, 0);  // TitleIndex
  put32(buffer, 4, value->type);
  if (info_class == KeyValueFullInformation) {
    put32(buffer, 8, data_offset);
    put32(buffer, 12, data_bytes);
    put32(buffer, 16, name_bytes);
  } else if (info_class == KeyValuePartialInformation) {
    put32(buffer, 8, data_bytes);
  } else {
    put32(buffer, 8, name_bytes);
  }
  char* out = static_cast<char*>(buffer);
  if (name_offset != 0) {
    ULONG room = length - name_offset;
    std::memcpy(out + name_offset, value_name.data(), std::min(room, name_bytes));
  }
  if (length < total) return STATUS_BUFFER_OVERFLOW;
  if (data_offset != 0 && data_bytes != 0)
    std::memcpy(out + data_offset, value->data.data(), data_bytes);
  return STATUS_SUCCESS;
}

NTSTATUS Registry::close(HANDLE handle) {
  auto it = keys_.find(handle);
  if (it == keys_.end()) {
    ke_violation("bad handle",
                 "ZwClose of " + pointer_text(handle) + ", which is not open (closed twice?)");
  }
  keys_.erase(it);
  return STATUS_SUCCESS;
}

}  // namespace hs

extern "C" {

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
  (void)DesiredAccess;
  hs::ke_enter("IoOpenDeviceRegistryKey", PASSIVE_LEVEL);
  hs::ke_check_arg("IoOpenDeviceRegistryKey", DeviceObject, "device object");
  hs::ke_check_arg("IoOpenDeviceRegistryKey", DevInstRegKey, "handle pointer");
  return Kernel::current().registry().open(DeviceObject, DevInstKeyType, DevInstRegKey);
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  hs::ke_enter("ZwQueryValueKey", PASSIVE_LEVEL);
  hs::ke_check_arg("ZwQueryValueKey", ValueName, "value name");
  hs::ke_check_arg("ZwQueryValueKey", ResultLength, "result length pointer");
  return Kernel::current().registry().query(KeyHandle, ValueName, KeyValueInformationClass,
                                            KeyValueInformation, Length, ResultLength);
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  hs::ke_enter("ZwClose", PASSIVE_LEVEL);
  return Kernel::current().registry().close(Handle);
}

}  // extern "C"
